// morvane-services: every outside service of Morvane on loopback ports, with an access log
// on stdout. Stops cleanly on SIGINT or SIGTERM.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include "platform/Files.h"
#include "services/Catalogue.h"
#include "services/StandInIndexer.h"
#include "services/StandInServices.h"
#include "update/UpdateSignature.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: morvane-services [--port-base N] [--catalogue DIR] [--media DIR]\n"
               "                        [--latest-version V] [--update-program FILE]\n"
               "                        [--update-name NAME] [--sign-key FILE]\n"
               "                        [--write-torrents DIR]\n"
               "                        [--extra-media DIR] [--seed-upload-limit BYTES]\n"
               "                        [--stand-in-resolution] [--write-indexers FILE]\n"
               "Ports: publisher N (also the swarm's tracker at /announce), first site N+1,\n"
               "second site N+2, resolution N+3 (only with --stand-in-resolution), player\n"
               "(HTTPS) N+4, live TV N+5, Torznab indexer N+6; N defaults to 47080. The\n"
               "catalogue is seeded over BitTorrent on loopback; --seed-upload-limit caps each\n"
               "torrent's upload.\n"
               "--sign-key: the publisher's private key (as morvane-tool keygen writes it);\n"
               "the version page then carries the served program's signature.\n"
               "--write-indexers: writes an indexers.conf naming the indexer and exits.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace morvane::services;
  ServicesOptions options;
  options.catalogueDir = MORVANE_SERVICES_DATA_DIR "/catalogue";
  options.mediaDir = MORVANE_SERVICES_DATA_DIR "/media";
  options.log = &std::cout;
  options.extraMediaDir = MORVANE_GENERATED_MEDIA_DIR;
  std::string torrentDir;
  std::string indexerFile;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--stand-in-resolution") {
      options.standInResolution = true;
      continue;
    }
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    if (flag == "--port-base") {
      try {
        options.portBase = std::stoi(value);
      } catch (...) {
        return Usage();
      }
      if (options.portBase < 0 || options.portBase > 65535 - kServiceCount) return Usage();
    } else if (flag == "--catalogue") {
      options.catalogueDir = value;
    } else if (flag == "--media") {
      options.mediaDir = value;
    } else if (flag == "--latest-version") {
      options.latestVersion = value;
    } else if (flag == "--update-program") {
      options.updateProgram = value;
    } else if (flag == "--update-name") {
      options.updateName = value;
    } else if (flag == "--sign-key") {
      const auto key = morvane::ReadWholeFile(value);
      if (!key || morvane::PublicKeyOf(*key).empty()) {
        std::fprintf(stderr, "morvane-services: %s holds no Ed25519 private key\n", value.c_str());
        return 2;
      }
      options.signingKey = *key;
    } else if (flag == "--extra-media") {
      options.extraMediaDir = value;
    } else if (flag == "--seed-upload-limit") {
      try {
        options.seedUploadLimit = std::stoi(value);
      } catch (...) {
        return Usage();
      }
      if (options.seedUploadLimit < 0) return Usage();
    } else if (flag == "--write-torrents") {
      torrentDir = value;
    } else if (flag == "--write-indexers") {
      indexerFile = value;
    } else {
      return Usage();
    }
  }

  // Signals are taken by sigwait below, not by whichever server thread happens to run.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const int indexerPort = options.portBase == 0 ? 0 : options.portBase + kServiceCount;
  if (!indexerFile.empty()) {
    if (!morvane::WriteWholeFile(indexerFile, StandInIndexerFile(indexerPort, kStandInIndexerKey))) {
      std::fprintf(stderr, "morvane-services: cannot write %s\n", indexerFile.c_str());
      return 1;
    }
    return 0;
  }

  StandInServices services(options);
  if (!torrentDir.empty()) {
    if (!services.WriteTorrents(torrentDir)) {
      std::fprintf(stderr, "morvane-services: cannot write the torrents into %s\n",
                   torrentDir.c_str());
      return 1;
    }
    return 0;
  }
  if (!services.Start()) {
    std::fprintf(stderr,
                 "morvane-services: cannot start (catalogue in %s empty, or a port from %d on "
                 "in use)\n",
                 options.catalogueDir.c_str(), options.portBase);
    return 1;
  }
  const Catalogue indexed =
      Catalogue::Load(options.catalogueDir, options.mediaDir, options.extraMediaDir,
                      AnnounceAddress(services.Host(Service::Publisher)));
  std::mutex indexerLog;
  StandInIndexer indexer(indexed, kStandInIndexerKey,
                         AnnounceAddress(services.Host(Service::Publisher)), &std::cout,
                         &indexerLog);
  if (!indexer.Start(indexerPort)) {
    std::fprintf(stderr, "morvane-services: cannot start the indexer on port %d\n", indexerPort);
    services.Stop();
    return 1;
  }
  std::cout << "morvane-services: Torznab indexer " << indexer.JackettAddress() << " and "
            << indexer.ProwlarrAddress() << std::endl;
  std::cout << "morvane-services: publisher " << services.Host(Service::Publisher)
            << ", first site " << services.Host(Service::FirstSite) << ", second site "
            << services.Host(Service::SecondSite) << ", resolution "
            << (options.standInResolution ? services.Host(Service::Resolution)
                                          : std::string("not served"))
            << ", seeder 127.0.0.1:" << services.SeederPort() << ", player https://"
            << services.Host(Service::Player) << ", live TV " << services.Host(Service::LiveTv)
            << std::endl;
  if (!options.signingKey.empty() && !options.updateProgram.empty())
    std::cout << "morvane-services: the version page signs " << options.updateName
              << " for the public key " << morvane::PublicKeyOf(options.signingKey) << std::endl;
  int signal = 0;
  sigwait(&stopSignals, &signal);
  std::cout << "morvane-services: stopping" << std::endl;
  indexer.Stop();
  services.Stop();
  return 0;
}
