// morvane-tool encode / gbk / utf8: how a keyword travels to the search sites, and the
// program's code page conversions for scripts.

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "tools/Commands.h"
#include "web/Text.h"

namespace morvane::tool {

namespace {

std::string ReadStandardInput() {
  return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

int WriteStandardOutput(const std::string& bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout)) {
    std::perror("morvane-tool");
    return 1;
  }
  return 0;
}

int RunEncode(const Arguments& arguments) {
  if (arguments.size() != 1) {
    std::fprintf(stderr, "usage: morvane-tool encode TEXT\n");
    return 2;
  }
  const std::string encoded = PercentEncode(Utf8ToLocal(arguments[0]), true, true);
  return WriteStandardOutput(encoded + "\n");
}

int RunConversion(const Arguments& arguments, const char* name,
                  std::string (*convert)(std::string_view)) {
  if (!arguments.empty()) {
    std::fprintf(stderr, "usage: morvane-tool %s < INPUT > OUTPUT\n", name);
    return 2;
  }
  std::ios::sync_with_stdio(false);
  return WriteStandardOutput(convert(ReadStandardInput()));
}

int RunGbk(const Arguments& arguments) {
  return RunConversion(arguments, "gbk", &Utf8ToLocal);
}
int RunUtf8(const Arguments& arguments) {
  return RunConversion(arguments, "utf8", &LocalToUtf8);
}

const RegisterCommand kEncode{"encode", "TEXT",
                              "prints TEXT as a keyword is sent: its GBK form converted to "
                              "UTF-8 and percent-encoded",
                              &RunEncode};
const RegisterCommand kGbk{"gbk", "< UTF-8 > GBK", "converts UTF-8 on stdin to GBK on stdout",
                           &RunGbk};
const RegisterCommand kUtf8{"utf8", "< GBK > UTF-8", "converts GBK on stdin to UTF-8 on stdout",
                            &RunUtf8};

}  // namespace

}  // namespace morvane::tool
