// morvane-tool fetch: reads one page exactly as the program does and writes the result
// bytes (GBK) to standard output, for checking a site or a service by hand.

#include <cstdio>
#include <string>

#include "tools/Commands.h"
#include "web/FetchPage.h"

namespace morvane::tool {

namespace {

int RunFetch(const Arguments& args) {
  std::string address;
  bool bytes = false;
  bool headers = false;
  for (const std::string& arg : args) {
    if (arg == "--bytes") {
      bytes = true;
    } else if (arg == "--headers") {
      headers = true;
    } else if (address.empty() && !arg.starts_with("--")) {
      address = arg;
    } else {
      address.clear();
      break;
    }
  }
  if (address.empty()) {
    std::fprintf(stderr, "usage: morvane-tool fetch [--bytes] [--headers] URL\n");
    return 2;
  }
  std::string rawHeaders;
  FetchOptions options;
  options.rawHeaders = &rawHeaders;
  const std::string page = bytes ? FetchPageBytes(address, options) : FetchPage(address, options);
  if (headers) std::fprintf(stderr, "%s\n", rawHeaders.c_str());
  std::fwrite(page.data(), 1, page.size(), stdout);
  return 0;
}

const RegisterCommand kFetch{"fetch", "[--bytes] [--headers] URL",
                             "writes the page as the program reads it (GBK) to standard output; "
                             "--bytes keeps NUL bytes, --headers prints the response headers to "
                             "standard error",
                             &RunFetch};

}  // namespace

}  // namespace morvane::tool
