#pragma once
// The parts of a page address that a request is built from. Every part is derived from the
// address text alone, each time it is needed; a missing scheme means plain HTTP.

#include <string>
#include <string_view>

namespace morvane {

// Lower-case host name without the port.
std::string AddressHost(std::string_view address);
// The port after the host's last ":", else 443 for a secure address and 80 otherwise. A port
// text that is not a number gives 0 (callers take 0 as the scheme's default port).
long long AddressPort(std::string_view address);
// Everything from the first "/" after the host to the end, query included and letter case
// unchanged; "/" when the address names no path.
std::string AddressPath(std::string_view address);
// True when the address names the https scheme.
bool AddressIsSecure(std::string_view address);

struct AddressParts {
  std::string host;
  long long port = 80;
  std::string path;
  bool secure = false;
};
AddressParts SplitAddress(std::string_view address);

}  // namespace morvane
