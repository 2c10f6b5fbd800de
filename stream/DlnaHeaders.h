#pragma once
// What a DLNA renderer (a TV, a box) wants to read about a film before it plays it: the
// fourth field of a protocolInfo ("DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=…") and the
// headers that say the same on the film's HTTP answers. Many renderers refuse an answer
// without transferMode.dlna.org, or never send a Range request when contentFeatures does
// not say bytes can be sought.

#include <string>

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

}  // namespace morvane::stream
