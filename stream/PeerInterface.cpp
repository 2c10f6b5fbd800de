#include "stream/PeerInterface.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <cctype>

namespace morvane::stream {

bool UsePeerInterface(const std::string& nameOrAddress, StreamOptions& options) {
  in_addr v4{};
  in6_addr v6{};
  std::string listen;
  if (::inet_pton(AF_INET, nameOrAddress.c_str(), &v4) == 1) {
    listen = nameOrAddress + ":0";
  } else if (::inet_pton(AF_INET6, nameOrAddress.c_str(), &v6) == 1) {
    listen = "[" + nameOrAddress + "]:0";
  } else {
    // The kernel's own rule for names, less ":" and ",", which would read as a port or a
    // second interface in libtorrent's lists.
    const bool nameChars = std::all_of(nameOrAddress.begin(), nameOrAddress.end(), [](unsigned char c) {
      return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '@';
    });
    if (nameOrAddress.empty() || nameOrAddress.size() >= IFNAMSIZ || !nameChars ||
        nameOrAddress == "." || nameOrAddress == "..")
      return false;
    listen = nameOrAddress + ":0";
  }
  options.peerInterfaces = listen;
  options.peerOutgoingInterfaces = nameOrAddress;
  return true;
}

}  // namespace morvane::stream
