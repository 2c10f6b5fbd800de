#pragma once
// Morvane's own resolution service inside the program. When the resolution host setting
// names a loopback address and nothing answers there yet, the program serves that address
// itself with a streaming service (BitTorrent, played while it downloads); otherwise it uses
// whatever answers there, for example a morvane-stream on a home server.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace morvane {

struct HostPort {
  std::string host;  // a name or an address, IPv6 without brackets
  int port = 80;
  bool operator==(const HostPort&) const = default;
};

// "host", "host:port" or "[v6]:port" as the resolution host setting holds it; nullopt for
// an empty host or a port that is no number within 1-65535.
std::optional<HostPort> SplitHostPort(const std::string& hostPort);

// The resolution host setting may carry a keyed service's key as a path:
// "192.168.1.20:47083/KEY" is the service at "192.168.1.20:47083" and its key "KEY".
struct ServiceAddress {
  std::string hostPort;
  std::string key;  // "" when none
  bool operator==(const ServiceAddress&) const = default;
};
ServiceAddress SplitServiceAddress(const std::string& setting);
// 127.0.0.0/8, ::1 and "localhost".
bool IsLoopbackHost(const std::string& host);
// True when a TCP connection to the address opens within `timeout`.
bool SomethingAnswers(const HostPort& address, std::chrono::milliseconds timeout);

// The resolution host the program uses. A loopback host without a key gets one: the key in
// `keyFile` (made when missing), which a morvane-stream of the same user takes as well, or,
// when that file cannot be used, a key of this run alone. Whatever the program's own
// service answers then carries the key, and a web page that reaches the port without it
// gets nothing done. Another host is used as it stands. What went wrong with the file, and
// what the owner should know of it, is said in `said`.
std::string WithOwnServiceKey(const std::string& resolutionHost, const std::string& keyFile,
                              std::vector<std::string>& said);
// The user's key file: the one morvane-stream uses by default.
std::string OwnServiceKeyFile();

enum class OwnServiceStart {
  NotLoopback,       // the setting names another machine: it is used as it is
  AlreadyAnswering,  // something serves the address already: it is used
  Started,           // the program's own service now answers there
  Failed,            // the address could not be bound, or the key in the setting is unusable
};

struct OwnServiceOptions {
  std::vector<std::string> extraTrackers;  // announce addresses added to every torrent
  std::string cacheDir;                    // "": the service's default under the user's cache
  // DHT, local peer discovery, UPnP and NAT-PMP, and peers on every interface; without
  // them (tests) the service keeps to the loopback swarm: it listens for peers on
  // 127.0.0.1 only and finds them through trackers.
  bool publicDiscovery = true;
  // The service's settings by name (stream/ServiceSettings.h: rate limits, seeding), as the
  // user's settings file gives them; a value that does not fit is left out and said.
  std::map<std::string, std::string> serviceSettings = {};
};

// Decides and starts, waiting for the outcome. A key in the setting is the own service's
// key too, so the addresses the program asks for answer there as well. The service lives until the process ends;
// a second call finds it answering.
OwnServiceStart StartOwnResolutionService(const std::string& resolutionHost,
                                          const OwnServiceOptions& options);

// The same, but what answers at first is watched every `interval`: once it is gone (an
// earlier Morvane that ended, the one a self-update replaces), the program's own service
// takes the address, so playback does not end with the other program. Returns when the
// address is not loopback, the service started, or it cannot start.
OwnServiceStart StartOwnResolutionServiceOnceFree(const std::string& resolutionHost,
                                                  const OwnServiceOptions& options,
                                                  std::chrono::milliseconds interval);

// Opens the program's own service to renderers on the interface with that address
// (casting): the base of the addresses they reach it by, "http://ADDRESS:PORT/KEY"; "" when
// the program runs no service of its own or it has no key.
std::string OpenOwnServiceTo(const std::string& interfaceAddress);
// Closes what OpenOwnServiceTo opened: the service answers on loopback alone again.
void CloseOwnServiceToRenderers();

// Stops the service started above, if any; it runs by itself when the process ends.
void StopOwnResolutionService();

// The same on a worker, for the program's start-up: the window paints without waiting.
// `serviceSettings` come from the user's settings file (Settings::streamServiceSettings).
void StartOwnResolutionServiceInBackground(std::string resolutionHost,
                                           std::vector<std::string> extraTrackers,
                                           std::map<std::string, std::string> serviceSettings);

}  // namespace morvane
