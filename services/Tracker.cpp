#include "services/Tracker.h"

#include <arpa/inet.h>
#include <httplib.h>

#include <algorithm>
#include <charconv>

namespace morvane::services {

namespace {

// Peers handed out per answer unless the peer asks for fewer.
constexpr int kDefaultWanted = 50;
constexpr int kMostWanted = 200;

std::string ByteString(const std::string& bytes) {
  return std::to_string(bytes.size()) + ":" + bytes;
}

std::string Failure(const std::string& reason) {
  return "d14:failure reason" + ByteString(reason) + "e";
}

const std::string* Find(const Tracker::Parameters& parameters, const std::string& key) {
  const auto it = parameters.find(key);
  return it == parameters.end() ? nullptr : &it->second;
}

// A whole decimal number within [low, high], or `fallback` when absent or anything else.
long long Number(const std::string* text, long long low, long long high, long long fallback) {
  if (text == nullptr) return fallback;
  long long value = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (error != std::errc() || end != text->data() + text->size() || value < low || value > high)
    return fallback;
  return value;
}

}  // namespace

std::string CompactPeer(const std::string& address, int port) {
  in_addr parsed{};
  if (port <= 0 || port > 65535 || ::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return "";
  std::string compact(reinterpret_cast<const char*>(&parsed.s_addr), 4);  // network order
  compact.push_back(static_cast<char>(port >> 8));
  compact.push_back(static_cast<char>(port & 0xff));
  return compact;
}

Tracker::Tracker(std::chrono::seconds interval) : interval_(interval) {}

void Tracker::AddPermanentPeer(const std::string& address, int port) {
  const std::string compact = CompactPeer(address, port);
  std::lock_guard lock(mutex_);
  if (!compact.empty() &&
      std::find(permanent_.begin(), permanent_.end(), compact) == permanent_.end())
    permanent_.push_back(compact);
}

std::string Tracker::Announce(const Parameters& parameters, const std::string& remoteAddress,
                              Clock::time_point now) {
  const std::string* hash = Find(parameters, "info_hash");
  if (hash == nullptr || hash->size() != 20) return Failure("info_hash must be 20 bytes");
  const long long port = Number(Find(parameters, "port"), 1, 65535, 0);
  if (port == 0) return Failure("port missing or out of range");
  const std::string self = CompactPeer(remoteAddress, static_cast<int>(port));
  if (self.empty()) return Failure("only IPv4 peers are tracked");
  const long long left = Number(Find(parameters, "left"), 0, INT64_MAX, -1);
  const std::string* event = Find(parameters, "event");
  const bool stopped = event != nullptr && *event == "stopped";
  const long long wanted =
      stopped ? 0 : Number(Find(parameters, "numwant"), 0, kMostWanted, kDefaultWanted);

  std::lock_guard lock(mutex_);
  auto& swarm = swarms_[*hash];
  std::erase_if(swarm, [now](const auto& entry) { return entry.second.expires <= now; });
  if (stopped)
    swarm.erase(self);
  else
    swarm[self] = Peer{now + 2 * interval_, left == 0};

  std::string peers;
  long long complete = 0;
  long long incomplete = 0;
  const auto list = [&](const std::string& p, bool seed) {
    (seed ? complete : incomplete) += 1;
    if (p != self && static_cast<long long>(peers.size() / 6) < wanted) peers += p;
  };
  for (const std::string& p : permanent_) list(p, true);
  for (const auto& [p, peer] : swarm)
    if (std::find(permanent_.begin(), permanent_.end(), p) == permanent_.end()) list(p, peer.seed);
  if (swarm.empty()) swarms_.erase(*hash);
  // Keys in byte order, as bencoding requires.
  return "d8:completei" + std::to_string(complete) + "e10:incompletei" +
         std::to_string(incomplete) + "e8:intervali" + std::to_string(interval_.count()) +
         "e12:min intervali" + std::to_string(std::max<long long>(1, interval_.count() / 6)) +
         "e5:peers" + ByteString(peers) + "e";
}

void RouteAnnounce(httplib::Server& server, Tracker& tracker) {
  server.Get("/announce", [&tracker](const httplib::Request& req, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(tracker.Announce(req.params, req.remote_addr), "text/plain");
  });
}

}  // namespace morvane::services
