#pragma once
// What the player page's relays to a streaming service share. The page is HTTPS and the
// service plain HTTP, so the page asks its own server, which checks every value it is
// handed before any of it reaches the service's address, then asks the service.

#include <ctime>
#include <memory>
#include <string>

namespace httplib {
class Client;
class Response;
class Result;
}  // namespace httplib

namespace morvane::services {

// True for "HOST:PORT" with a plain host name or dotted address and a port.
bool IsServiceAddress(const std::string& hostPort);
// True for a v1 (40) or v2 (64) info-hash in hex.
bool IsHexInfoHash(const std::string& hash);
// The key a keyed streaming service's addresses begin with, as the relays pass it on: one
// path segment of letters, digits, "-", "_", ".", "~"; "" (none) passes too.
bool IsKeySegment(const std::string& key);
// A file's index in a torrent: up to nine digits.
bool IsFileIndex(const std::string& text);

// What a keyed service's addresses begin with: "/KEY", or "" for none.
std::string KeyPath(const std::string& key);

// A client of the service at `service` (already checked with IsServiceAddress): two seconds
// to connect, `readTimeoutSeconds` for its answer.
std::unique_ptr<httplib::Client> ServiceClient(const std::string& service, time_t readTimeoutSeconds);

// The service's JSON answer passed on as it came, never cached; 502 with a JSON error when
// the service did not answer. An empty body stays empty.
void PassOnJson(const httplib::Result& answer, httplib::Response& res);

}  // namespace morvane::services
