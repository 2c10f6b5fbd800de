#pragma once
// The DIDL-Lite metadata that goes with SetAVTransportURI: the film's title, its address
// with a protocolInfo that carries the DLNA content features, its length, and a subtitle
// the way Samsung's and many Chinese boxes take one (sec:CaptionInfoEx and a second res).

#include <cstdint>
#include <string>

#include "stream/DlnaHeaders.h"

namespace morvane::cast {

struct CastItem {
  std::string title;  // UTF-8
  std::string uri;
  std::string mimeType;
  stream::DlnaSource source = stream::DlnaSource::kFile;
  std::int64_t size = -1;         // bytes, -1 when unknown (a converted film)
  double durationSeconds = 0;     // 0 when unknown
  std::string subtitleUri;        // "" for none
  std::string subtitleType = "srt";
};

std::string DidlLite(const CastItem& item);

}  // namespace morvane::cast
