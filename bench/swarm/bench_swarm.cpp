// The loopback swarm of the stand-in services, timed from a plain libtorrent client (no DHT,
// no local discovery: the tracker is the only way to the seeder), on the two-minute MP4:
//   - magnet to metadata (the tracker's answer, the connection, the metadata exchange);
//   - metadata to the first and the last piece, asked for with deadlines, as a streaming
//     player asks for the start of the file and its index at the end;
//   - the whole download, against a plain HTTP download of the same file from the
//     publisher's /media in the same run (reference);
// once with the seeder unlimited and once held to 1 MiB/s per torrent. Medians of five cold
// runs, each with a fresh client session and folder.

#include <stdlib.h>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>

#include <httplib.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "services/Catalogue.h"
#include "services/LoopbackSession.h"
#include "services/StandInServices.h"

namespace {

using namespace morvane::services;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr int kRuns = 5;
constexpr int kSlowSeeder = 1 << 20;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Figures {
  std::vector<double> metadata, endPieces, whole, http;
};

std::string ScratchFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "morvane-swarm-XXXXXX").string();
  return ::mkdtemp(pattern.data()) ? pattern : "";
}

// Waits for an alert of type A; false when the time is up.
template <class A>
bool AwaitAlert(lt::session& s, Clock::time_point deadline) {
  while (Clock::now() < deadline) {
    s.wait_for_alert(50ms);
    std::vector<lt::alert*> alerts;
    s.pop_alerts(&alerts);
    for (lt::alert* a : alerts)
      if (lt::alert_cast<A>(a)) return true;
  }
  return false;
}

bool Run(const StandInServices& services, const CatalogueEntry& entry, Figures& f) {
  const std::string folder = ScratchFolder();
  lt::settings_pack pack = LoopbackSessionSettings();
  pack.set_int(lt::settings_pack::alert_mask,
               lt::alert_category::status | lt::alert_category::piece_progress);
  bool ok = false;
  {
    lt::session client(pack);
    lt::add_torrent_params params =
        lt::parse_magnet_uri("magnet:?xt=urn:btih:" + entry.hash +
                             "&tr=" + AnnounceAddress(services.Host(Service::Publisher)));
    params.save_path = folder;
    const auto start = Clock::now();
    lt::torrent_handle handle = client.add_torrent(std::move(params));
    if (AwaitAlert<lt::metadata_received_alert>(client, start + 60s)) {
      const auto metadata = Clock::now();
      f.metadata.push_back(Ms(metadata - start));
      const auto info = handle.torrent_file();
      const lt::piece_index_t last(info->num_pieces() - 1);
      handle.set_piece_deadline(lt::piece_index_t(0), 0);
      handle.set_piece_deadline(last, 0);
      int have = 0;
      const auto deadline = metadata + 120s;
      while (Clock::now() < deadline && have < 2) {
        client.wait_for_alert(20ms);
        std::vector<lt::alert*> alerts;
        client.pop_alerts(&alerts);
        for (lt::alert* a : alerts)
          if (auto* p = lt::alert_cast<lt::piece_finished_alert>(a))
            if (p->piece_index == lt::piece_index_t(0) || p->piece_index == last) ++have;
      }
      if (have == 2) {
        f.endPieces.push_back(Ms(Clock::now() - metadata));
        ok = AwaitAlert<lt::torrent_finished_alert>(client, start + 120s);
        if (ok) f.whole.push_back(Ms(Clock::now() - start));
      }
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);

  httplib::Client http("127.0.0.1", services.Port(Service::Publisher));
  const auto fetch = Clock::now();
  const auto answer = http.Get("/media/" + entry.media);
  if (answer && answer->status == 200) f.http.push_back(Ms(Clock::now() - fetch));
  return ok;
}

void Print(const char* title, const Figures& f, double bytes) {
  const double whole = Median(f.whole);
  const double http = Median(f.http);
  std::printf("%s\n", title);
  std::printf("  magnet to metadata              %8.0f ms\n", Median(f.metadata));
  std::printf("  metadata to first + last piece  %8.0f ms\n", Median(f.endPieces));
  std::printf("  whole file over BitTorrent      %8.0f ms  (%.1f MiB/s)\n", whole,
              bytes / (1 << 20) / (whole / 1000));
  std::printf("  whole file over HTTP            %8.0f ms  (%.1f MiB/s, reference)\n", http,
              bytes / (1 << 20) / (http / 1000));
}

}  // namespace

int main() {
  const Catalogue catalogue =
      Catalogue::Load(MORVANE_SERVICES_DATA_DIR "/catalogue", MORVANE_SERVICES_DATA_DIR "/media",
                      MORVANE_GENERATED_MEDIA_DIR);
  const CatalogueEntry* entry = nullptr;
  for (const auto& e : catalogue.entries())
    if (e.media == "sintel-long.mp4") entry = &e;
  if (entry == nullptr) {
    std::fprintf(stderr, "no two-minute video: run scripts/make-media.sh\n");
    return 1;
  }
  const double bytes = static_cast<double>(std::filesystem::file_size(entry->mediaPath));
  std::printf("%s, %.1f MiB, %d runs each\n", entry->media.c_str(), bytes / (1 << 20), kRuns);
  int failures = 0;
  for (const int limit : {0, kSlowSeeder}) {
    ServicesOptions options;
    options.portBase = 0;
    options.catalogueDir = MORVANE_SERVICES_DATA_DIR "/catalogue";
    options.mediaDir = MORVANE_SERVICES_DATA_DIR "/media";
    options.extraMediaDir = MORVANE_GENERATED_MEDIA_DIR;
    options.seedUploadLimit = limit;
    StandInServices services(options);
    if (!services.Start()) return 1;
    Figures f;
    for (int i = 0; i < kRuns; ++i) failures += Run(services, *entry, f) ? 0 : 1;
    Print(limit == 0 ? "seeder unlimited" : "seeder held to 1 MiB/s", f, bytes);
  }
  if (failures) std::printf("%d run(s) did not finish\n", failures);
  return failures == 0 ? 0 : 1;
}
