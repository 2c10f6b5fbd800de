#pragma once
// What a DLNA renderer (a TV, a box) wants to read about a film before it plays it: the
// fourth field of a protocolInfo ("DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=…") and the
// headers that say the same on the film's HTTP answers. Many renderers refuse an answer
// without transferMode.dlna.org, or never send a Range request when contentFeatures does
// not say bytes can be sought.

#include <string>
#include <string_view>

#include "web/HttpResponder.h"

namespace morvane::stream {

enum class DlnaSource {
  kFile,       // the film's own bytes, with Range (a seek is a byte range)
  kConverted,  // made while it is sent: no length, no Range (a seek is a new address)
};

// The protocolInfo's fourth field for a film served as `source`.
std::string DlnaContentFeatures(DlnaSource source);

// transferMode.dlna.org ("Streaming") and contentFeatures.dlna.org, for a film's answers.
HttpHeaders DlnaHeaders(DlnaSource source);

// A renderer that shows subtitles (Samsung's and many boxes) reads the address of one in
// CaptionInfo.sec on the film's answer. A film's address asks for one with "caption=N" in
// its query: the service's subtitle N of stream `hash` as SubRip, under `base`
// ("http://HOST:PORT[/KEY]"). Nothing for a query without it.
HttpHeaders CaptionHeaders(std::string_view query, const std::string& base, const std::string& hash);

}  // namespace morvane::stream
