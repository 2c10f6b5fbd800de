#pragma once
// The record through which a torrent file's metadata reaches the rest of the program.
// Texts are the torrent's bytes as they stand (no code page conversion); an empty text is
// "". Its user either asks ReadTorrentFileInfo for a filled one, or makes one and brings it
// to the initial state with InitTorrentFileInfo; ReleaseTorrentFileInfo gives back the
// memory of its texts and arrays.

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

class CTorrent;

// Date-time values: days since 30 December 1899, the time of day as a fraction of a day
// (subtracted for days before the epoch). The empty date is 1 January of the year 100.
inline constexpr double kEmptyDate = -657434.0;

struct TorrentFileInfo {
  std::string trackers;   // "host:port;" for each tracker endpoint
  std::string comment;    // top-level "comment"
  std::string createdBy;  // top-level "created by"
  std::string name;       // info "name"
  std::int64_t totalLength = 0;
  std::int32_t pieceLength = 0;
  std::int32_t pieceCount = 0;
  std::vector<std::int64_t> fileLengths;  // one per file entry
  std::vector<std::string> filePaths;     // in the same order as fileLengths
  std::string infoHash;                   // 40 lower-case hex digits
  double creationDate = kEmptyDate;       // "creation date" in local time
};

void InitTorrentFileInfo(TorrentFileInfo& record);
// Frees the texts and arrays (leaving them empty); the numbers stay.
void ReleaseTorrentFileInfo(TorrentFileInfo& record);
// A record filled from the file at `path`; in the initial state when the path is empty or
// the file is no torrent.
std::unique_ptr<TorrentFileInfo> ReadTorrentFileInfo(std::string_view path);
// Fills an initial record from a loaded torrent, as ReadTorrentFileInfo does.
void FillTorrentFileInfo(const CTorrent& torrent, TorrentFileInfo& record);

// The date-time value of a calendar date and time of day, or nothing outside years
// 100..9999, months 1-12, the days of that month, hours 0-23 and minutes and seconds 0-59.
std::optional<double> EncodeDateTime(int year, int month, int day, int hour, int minute,
                                     int second);
// The broken-down local time as a date-time value, or nothing when it does not encode.
std::optional<double> EncodeDateTime(const std::tm& time);

}  // namespace morvane
