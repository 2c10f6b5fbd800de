#pragma once
// Which files of a torrent are videos, what a player is told they are, and which one of them
// plays. A torrent's files are known by their index, as libtorrent numbers them.

#include <cstdint>
#include <string>
#include <vector>

namespace morvane::stream {

// "video/mp4" for "a/b.MP4"; "application/octet-stream" when the extension is unknown.
std::string MediaTypeOf(const std::string& fileName);

// True for the extensions of video files a torrent's video is chosen among.
bool IsVideoName(const std::string& fileName);

struct TorrentFile {
  std::string name;  // the last part of its path
  std::int64_t size = 0;
  bool pad = false;
};

// The index of the video that plays: the largest video file; -1 when there is none.
int ChooseVideo(const std::vector<TorrentFile>& files);

// Whether the name part of a "/stream/HASH/NAME" address (percent-escaped, as the resolution
// gave it; a query may follow) names `fileName`. An address without a name names the video
// chosen for the stream.
bool NamesFile(const std::string& namePart, const std::string& fileName);

}  // namespace morvane::stream
