#include "app/OwnStreamService.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Worker.h"
#include "stream/AccessKey.h"
#include "stream/ServiceSettings.h"
#include "stream/StreamService.h"

namespace morvane {

namespace {

// Connecting on loopback is answered at once; the limit only matters for a filtered port.
constexpr std::chrono::milliseconds kProbeTimeout{500};
// How often the program looks whether a service it uses on loopback is still there.
constexpr std::chrono::milliseconds kWatchInterval{1000};

// The numeric address a host stands for, in `storage`; false for a name other than
// "localhost".
bool NumericAddress(const HostPort& address, sockaddr_storage& storage, socklen_t& length) {
  std::memset(&storage, 0, sizeof storage);
  const std::string host = address.host == "localhost" ? "127.0.0.1" : address.host;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(address.port));
    length = sizeof *v4;
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(address.port));
    length = sizeof *v6;
    return true;
  }
  return false;
}

std::mutex serviceMutex;
stream::StreamService* ownService = nullptr;  // never destroyed: workers may still use it

}  // namespace

std::optional<HostPort> SplitHostPort(const std::string& hostPort) {
  HostPort out;
  std::string portText;
  if (!hostPort.empty() && hostPort.front() == '[') {
    const auto close = hostPort.find(']');
    if (close == std::string::npos) return std::nullopt;
    out.host = hostPort.substr(1, close - 1);
    if (close + 1 < hostPort.size()) {
      if (hostPort[close + 1] != ':') return std::nullopt;
      portText = hostPort.substr(close + 2);
      if (portText.empty()) return std::nullopt;
    }
  } else {
    const auto colon = hostPort.find(':');
    out.host = hostPort.substr(0, colon);
    if (colon != std::string::npos) {
      if (hostPort.find(':', colon + 1) != std::string::npos) return std::nullopt;
      portText = hostPort.substr(colon + 1);
      if (portText.empty()) return std::nullopt;
    }
  }
  if (out.host.empty()) return std::nullopt;
  if (!portText.empty()) {
    int port = 0;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (error != std::errc() || end != portText.data() + portText.size() || port < 1 ||
        port > 65535)
      return std::nullopt;
    out.port = port;
  }
  return out;
}

ServiceAddress SplitServiceAddress(const std::string& setting) {
  const auto slash = setting.find('/');
  if (slash == std::string::npos) return {setting, {}};
  std::string key = setting.substr(slash + 1);
  while (key.ends_with('/')) key.pop_back();
  return {setting.substr(0, slash), key};
}

bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  in_addr v4{};
  return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool SomethingAnswers(const HostPort& address, std::chrono::milliseconds timeout) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (!NumericAddress(address, storage, length)) return false;
  const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0;
  if (!open && errno == EINPROGRESS) {
    pollfd waiting{fd, POLLOUT, 0};
    if (::poll(&waiting, 1, static_cast<int>(timeout.count())) == 1) {
      int error = 0;
      socklen_t size = sizeof error;
      open = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
  }
  ::close(fd);
  return open;
}

std::string WithOwnServiceKey(const std::string& resolutionHost, const std::string& keyFile,
                              std::vector<std::string>& said) {
  const ServiceAddress service = SplitServiceAddress(resolutionHost);
  const auto address = SplitHostPort(service.hostPort);
  if (!address || !IsLoopbackHost(address->host) || !service.key.empty()) return resolutionHost;
  const stream::KeyFile file = stream::LoadOrMakeKey(keyFile);
  if (!file.notice.empty()) said.push_back(file.notice);
  std::string key = file.key;
  if (key.empty()) {
    said.push_back(file.error + "; the streaming service takes a key of this run alone");
    key = stream::NewRandomKey();
  }
  return key.empty() ? resolutionHost : service.hostPort + "/" + key;
}

std::string OwnServiceKeyFile() { return stream::DefaultKeyFile(); }

OwnServiceStart StartOwnResolutionService(const std::string& resolutionHost,
                                          const OwnServiceOptions& own) {
  const ServiceAddress service = SplitServiceAddress(resolutionHost);
  const auto address = SplitHostPort(service.hostPort);
  if (!address || !IsLoopbackHost(address->host)) return OwnServiceStart::NotLoopback;
  if (!service.key.empty() && !stream::IsUsableKey(service.key)) return OwnServiceStart::Failed;
  // Two starts at once must not both find the port free.
  std::lock_guard lock(serviceMutex);
  if (SomethingAnswers(*address, kProbeTimeout)) return OwnServiceStart::AlreadyAnswering;
  stream::StreamOptions options;
  options.bindAddress = address->host == "localhost" ? "127.0.0.1" : address->host;
  options.port = address->port;
  options.extraTrackers = own.extraTrackers;
  options.cacheDir = own.cacheDir;
  for (const auto& [name, value] : own.serviceSettings)
    if (stream::ApplyServiceSetting(options, name, value) == stream::SettingOutcome::kBadValue)
      std::fprintf(stderr, "morvane: \"%s\" does not fit %s; left as it was\n", value.c_str(), name.c_str());
  options.dht = own.publicDiscovery;
  options.localPeerDiscovery = own.publicDiscovery;
  if (!own.publicDiscovery) options.peerInterfaces = "127.0.0.1:0";
  options.accessKey = service.key;
  auto started = std::make_unique<stream::StreamService>(std::move(options));
  if (!started->Start()) return OwnServiceStart::Failed;
  ownService = started.release();
  // The program ends through quick_exit, tests through exit: either way the service stops
  // before the libraries under it are torn down.
  std::at_quick_exit(StopOwnResolutionService);
  std::atexit(StopOwnResolutionService);
  return OwnServiceStart::Started;
}

OwnServiceStart StartOwnResolutionServiceOnceFree(const std::string& resolutionHost,
                                                  const OwnServiceOptions& options,
                                                  std::chrono::milliseconds interval) {
  for (;;) {
    const OwnServiceStart outcome = StartOwnResolutionService(resolutionHost, options);
    if (outcome != OwnServiceStart::AlreadyAnswering) return outcome;
    std::this_thread::sleep_for(interval);
  }
}

void StopOwnResolutionService() {
  std::lock_guard lock(serviceMutex);
  // Stopping saves what was downloaded, so that the next start plays it at once.
  if (ownService != nullptr) ownService->Stop();
}

std::string OpenOwnServiceTo(const std::string& interfaceAddress) {
  std::lock_guard lock(serviceMutex);
  return ownService != nullptr ? ownService->OpenKeyedListener(interfaceAddress) : std::string();
}

void CloseOwnServiceToRenderers() {
  std::lock_guard lock(serviceMutex);
  if (ownService != nullptr) ownService->CloseKeyedListeners();
}

void StartOwnResolutionServiceInBackground(std::string resolutionHost,
                                           std::vector<std::string> extraTrackers,
                                           std::map<std::string, std::string> serviceSettings) {
  StartWorker([host = std::move(resolutionHost), trackers = std::move(extraTrackers),
               settings = std::move(serviceSettings)] {
    const OwnServiceOptions options{trackers, {}, true, settings};
    switch (StartOwnResolutionServiceOnceFree(host, options, kWatchInterval)) {
      case OwnServiceStart::Started:
        std::fprintf(stderr, "morvane: streaming service started on %s\n", host.c_str());
        break;
      case OwnServiceStart::Failed:
        std::fprintf(stderr, "morvane: cannot start the streaming service on %s\n", host.c_str());
        break;
      case OwnServiceStart::NotLoopback:
      case OwnServiceStart::AlreadyAnswering:
        break;
    }
  });
}

}  // namespace morvane
