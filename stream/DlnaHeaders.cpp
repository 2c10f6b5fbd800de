#include "stream/DlnaHeaders.h"

#include <algorithm>

namespace morvane::stream {

namespace {

// DLNA.ORG_FLAGS: streaming transfer mode, background transfer mode, connection stall
// allowed, a DLNA 1.5 server (bits 24, 22, 21 and 20), then the 24 reserved digits.
constexpr char kStreamingFlags[] = "01700000000000000000000000000000";

}  // namespace

std::string DlnaContentFeatures(DlnaSource source) {
  // OP=01: byte ranges can be asked for, no time ranges; CI=1: converted from the original.
  return source == DlnaSource::kFile
             ? std::string("DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=") + kStreamingFlags
             : std::string("DLNA.ORG_OP=00;DLNA.ORG_CI=1;DLNA.ORG_FLAGS=") + kStreamingFlags;
}

HttpHeaders DlnaHeaders(DlnaSource source) {
  return {{"transferMode.dlna.org", "Streaming"},
          {"contentFeatures.dlna.org", DlnaContentFeatures(source)}};
}

HttpHeaders CaptionHeaders(std::string_view query, const std::string& base, const std::string& hash) {
  for (std::size_t at = 0; at < query.size();) {
    const std::size_t end = std::min(query.find('&', at), query.size());
    const std::string_view pair = query.substr(at, end - at);
    if (pair.starts_with("caption=")) {
      const std::string_view number = pair.substr(8);
      if (number.empty() || number.size() > 4 ||
          number.find_first_not_of("0123456789") != std::string_view::npos)
        return {};
      return {{"CaptionInfo.sec", base + "/subs/" + hash + "/" + std::string(number) + ".srt"}};
    }
    at = end + 1;
  }
  return {};
}

}  // namespace morvane::stream
