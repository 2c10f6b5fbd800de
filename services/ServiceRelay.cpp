#include "services/ServiceRelay.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>

namespace morvane::services {

bool IsServiceAddress(const std::string& hostPort) {
  const auto colon = hostPort.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == hostPort.size() ||
      hostPort.size() - colon - 1 > 5)
    return false;
  const std::string host = hostPort.substr(0, colon);
  const std::string port = hostPort.substr(colon + 1);
  const auto hostChar = [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '-'; };
  const auto digit = [](unsigned char c) { return std::isdigit(c) != 0; };
  return std::all_of(host.begin(), host.end(), hostChar) &&
         std::all_of(port.begin(), port.end(), digit) && std::stoi(port) > 0 &&
         std::stoi(port) <= 65535;
}

bool IsHexInfoHash(const std::string& hash) {
  return (hash.size() == 40 || hash.size() == 64) &&
         std::all_of(hash.begin(), hash.end(),
                     [](unsigned char c) { return std::isxdigit(c) != 0; });
}

bool IsKeySegment(const std::string& key) {
  return key.size() <= 256 && key != "." && key != ".." &&
         std::all_of(key.begin(), key.end(), [](unsigned char c) {
           return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~';
         });
}

bool IsFileIndex(const std::string& text) {
  return !text.empty() && text.size() <= 9 &&
         std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::string KeyPath(const std::string& key) {
  return key.empty() ? std::string() : "/" + key;
}

std::unique_ptr<httplib::Client> ServiceClient(const std::string& service, time_t readTimeoutSeconds) {
  const auto colon = service.rfind(':');
  auto client = std::make_unique<httplib::Client>(service.substr(0, colon),
                                                  std::stoi(service.substr(colon + 1)));
  client->set_connection_timeout(2);
  client->set_read_timeout(readTimeoutSeconds);
  return client;
}

void PassOnJson(const httplib::Result& answer, httplib::Response& res) {
  if (!answer) {
    res.status = 502;
    res.set_content("{\"error\":\"the streaming service did not answer\"}", "application/json");
    return;
  }
  res.status = answer->status;
  res.set_header("Cache-Control", "no-store");
  if (!answer->body.empty()) res.set_content(answer->body, "application/json");
}

}  // namespace morvane::services
