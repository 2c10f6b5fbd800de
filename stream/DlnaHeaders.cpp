#include "stream/DlnaHeaders.h"

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

}  // namespace morvane::stream
