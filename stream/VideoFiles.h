#pragma once
// Which files of a torrent are videos, what a player is told they are, and which one of them
// plays: the one place where that file is picked. A link may name the files it wants with
// "so=" (select only: indices and ranges, "so=0,2,4-5"); the first listed file that is a
// video plays, and without such a list, or when it lists no video, the largest video. The
// videos of a season pack are listed in episode order, and each is reached at an address of
// its own. A torrent's files are known by their index, as libtorrent numbers them.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morvane::stream {

// "video/mp4" for "a/b.MP4"; "application/octet-stream" when the extension is unknown.
std::string MediaTypeOf(const std::string& fileName);

// True for the extensions of video files a torrent's video is chosen among.
bool IsVideoName(const std::string& fileName);

// One file of a torrent (pad files are never listed).
struct TorrentFile {
  int index = -1;    // its index among the torrent's files
  std::string path;  // inside the torrent, "/" between folders
  std::int64_t size = 0;
};

// A video a player can be given: a video's name, and bytes.
bool IsVideo(const TorrentFile& file);

// The files a link selects, in the order listed: inclusive ranges of file indices.
struct SelectOnly {
  std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
  bool empty() const { return ranges.empty(); }
  bool operator==(const SelectOnly&) const = default;
};

// The "so=" parameter of a magnet link, or of the query or fragment of a .torrent address.
// Items that are not an index or a range from low to high are passed over; nothing when the
// link has no such parameter.
SelectOnly ParseSelectOnly(std::string_view link);

// The index of the video that plays: the first selected video, else the largest video (the
// lowest index of those of one size); -1 when the torrent holds no video.
int ChooseVideo(const std::vector<TorrentFile>& files, const SelectOnly& selection = {});

// The torrent's videos, as indices, in episode order: episodes by season and number, then
// the other videos, then sample clips; names in natural order where numbers say nothing.
std::vector<int> EpisodeOrder(const std::vector<TorrentFile>& files);

// The name a video's address carries ("/stream/HASH/NAME", unescaped): its file name, or its
// whole path in the torrent when another file has the same name.
std::string AddressName(const std::vector<TorrentFile>& files, int index);

// AddressName of every file, in the order of `files`, in one pass.
std::vector<std::string> AddressNames(const std::vector<TorrentFile>& files);

// The video an address's name (unescaped) names, by its whole path or, when that is not
// ambiguous, its file name; -1 when it names none.
int VideoNamed(const std::vector<TorrentFile>& files, std::string_view name);

// The video the name part of a "/stream/HASH/NAME" address (percent-escaped as sent; a query
// may follow) stands for: VideoNamed of it unescaped, or video `playing` when the address
// carries no name; -1 when it names no video.
int VideoOfAddress(const std::vector<TorrentFile>& files, std::string_view namePart, int playing);

}  // namespace morvane::stream
