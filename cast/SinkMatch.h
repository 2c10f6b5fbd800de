#pragma once
// Whether a renderer takes a film as it stands, from the protocolInfo entries of its sink
// (GetProtocolInfo): the container by its MIME type, the picture and sound by the codec
// types or DLNA profiles it lists. What it does not take goes through the converter, which
// makes H.264 and AAC in MP4.

#include <string>
#include <vector>

namespace morvane::cast {

struct FilmFormat {
  std::string mimeType;    // what the service sends it as: "video/x-matroska"
  std::string container;   // libavformat's name: "matroska,webm", "mov,mp4,m4a,3gp,3g2,mj2"
  std::string videoCodec;  // libavcodec's names: "hevc"; "" when unknown
  std::string audioCodec;  // of the sound that plays: "ac3"; "" for none or unknown
};

struct CastChoice {
  bool convert = false;
  // The MIME type to announce, spelt as the sink spells it ("video/quicktime" for MP4 on a
  // sink that lists MP4 so): renderers compare it with their list.
  std::string mimeType;
  std::string reason;  // why the film is converted, in a short English phrase
};

CastChoice ChooseForSink(const FilmFormat& film, const std::vector<std::string>& sink);

}  // namespace morvane::cast
