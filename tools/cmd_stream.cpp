// morvane-tool stream LINK [--out FILE]: resolves LINK as the program does, prints the media
// address, then downloads the whole video with a progress bar (to FILE, or nowhere). Without
// --service it runs the streaming service in-process on a free loopback port.

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "platform/Settings.h"
#include "stream/AccessKey.h"
#include "stream/StreamService.h"
#include "tools/Commands.h"
#include "web/CurlSession.h"
#include "web/FetchPage.h"
#include "web/ResolutionContract.h"

namespace morvane::tool {
namespace {

constexpr char kUsage[] =
    "usage: morvane-tool stream LINK [--out FILE] [--service HOST:PORT] [--cache-dir DIR]\n"
    "                              [--no-dht] [--tracker URL] [--metadata-timeout S]\n";

struct Download {
  std::FILE* out = nullptr;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastDrawn{};
  bool failedWrite = false;
};

std::size_t Write(char* data, std::size_t size, std::size_t count, void* user) {
  auto* download = static_cast<Download*>(user);
  if (download->out && std::fwrite(data, size, count, download->out) != count) {
    download->failedWrite = true;
    return 0;
  }
  return size * count;
}

void DrawBar(curl_off_t now, curl_off_t total, double seconds) {
  constexpr int kWidth = 30;
  const double share = total > 0 ? static_cast<double>(now) / static_cast<double>(total) : 0.0;
  const int filled = static_cast<int>(share * kWidth);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kWidth, ' ');
  std::fprintf(stderr, "\r[%s] %3d%%  %.1f of %.1f MiB  %.1f MiB/s ", bar.c_str(),
               static_cast<int>(share * 100), static_cast<double>(now) / 1048576.0,
               static_cast<double>(total) / 1048576.0,
               seconds > 0 ? static_cast<double>(now) / 1048576.0 / seconds : 0.0);
}

int Progress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
  auto* download = static_cast<Download*>(user);
  const auto time = std::chrono::steady_clock::now();
  if (time - download->lastDrawn < std::chrono::milliseconds(200)) return 0;
  download->lastDrawn = time;
  DrawBar(now, total, std::chrono::duration<double>(time - download->started).count());
  return 0;
}

std::string AddressIn(const std::string& answer) {
  const auto start = answer.find("<file>");
  const auto end = answer.find("</file>");
  if (start == std::string::npos || end == std::string::npos || end < start) return {};
  return ResolutionFileText(answer.substr(start + 6, end - start - 6));
}

int RunStream(const Arguments& args) {
  std::string link, out, serviceHost;
  stream::StreamOptions options;
  options.extraTrackers = BuildExtraTrackers();
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--out" && hasValue) {
      out = args[++i];
    } else if (arg == "--service" && hasValue) {
      serviceHost = args[++i];
    } else if (arg == "--cache-dir" && hasValue) {
      options.cacheDir = args[++i];
    } else if (arg == "--tracker" && hasValue) {
      options.extraTrackers.push_back(args[++i]);
    } else if (arg == "--metadata-timeout" && hasValue) {
      options.metadataTimeout = std::chrono::seconds(std::atoi(args[++i].c_str()));
    } else if (arg == "--no-dht") {
      options.dht = false;
    } else if (link.empty() && !arg.starts_with("--")) {
      link = arg;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (link.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  std::unique_ptr<stream::StreamService> service;
  if (serviceHost.empty()) {
    // The address printed carries the key, so a browser or a player plays it as it is, and
    // a web page that guesses the port gets nothing done.
    options.accessKey = stream::NewRandomKey();
    service = std::make_unique<stream::StreamService>(options);
    if (options.accessKey.empty() || !service->Start()) {
      std::fprintf(stderr, "morvane-tool: the streaming service cannot start\n");
      return 1;
    }
    serviceHost = "127.0.0.1:" + std::to_string(service->Port()) + "/" + options.accessKey;
  }
  const std::string answer = FetchPage("http://" + serviceHost + "/xml.php?url=" + link);
  const std::string address = AddressIn(answer);
  if (address.empty() || address.find("resp") != std::string::npos) {
    std::fprintf(stderr, "morvane-tool: %s\n", address.empty() ? "no answer" : address.c_str());
    return 1;
  }
  std::printf("%s\n", address.c_str());
  std::fflush(stdout);

  Download download;
  if (!out.empty() && !(download.out = std::fopen(out.c_str(), "wb"))) {
    std::fprintf(stderr, "morvane-tool: cannot write %s\n", out.c_str());
    return 1;
  }
  morvane::EnsureCurlReady();
  const morvane::EasyHandle handle(curl_easy_init());
  if (!handle) {
    std::fprintf(stderr, "morvane-tool: no transfer could be started\n");
    return 1;
  }
  CURL* const easy = handle.get();
  curl_easy_setopt(easy, CURLOPT_URL, address.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Write);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &download);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Progress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &download);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  const CURLcode result = curl_easy_perform(easy);
  curl_off_t received = 0, expected = -1;
  curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &received);
  curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
  DrawBar(received, expected > 0 ? expected : received,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - download.started).count());
  std::fputc('\n', stderr);
  const bool closed = !download.out || std::fclose(download.out) == 0;
  if (result != CURLE_OK || download.failedWrite || !closed || (expected >= 0 && received != expected)) {
    std::fprintf(stderr, "morvane-tool: the download ended early: %s\n", curl_easy_strerror(result));
    return 1;
  }
  return 0;
}

const RegisterCommand kStream{"stream", "LINK [--out FILE] [--service HOST:PORT] [--cache-dir DIR]",
                              "resolves LINK, prints the media address and downloads the video "
                              "with a progress bar",
                              &RunStream};

}  // namespace
}  // namespace morvane::tool
