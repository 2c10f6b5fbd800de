#include "torrent/TorrentFileInfo.h"

#include "torrent/Torrent.h"

namespace morvane {

namespace {

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1 January 1970 to the given Gregorian date.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

}  // namespace

std::optional<double> EncodeDateTime(int year, int month, int day, int hour, int minute,
                                     int second) {
  if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59) {
    return std::nullopt;
  }
  // 30 December 1899 is day 0.
  const std::int64_t days = DaysFromCivil(year, month, day) - DaysFromCivil(1899, 12, 30);
  const double fraction = (hour * 3600 + minute * 60 + second) / 86400.0;
  return days < 0 ? static_cast<double>(days) - fraction : static_cast<double>(days) + fraction;
}

std::optional<double> EncodeDateTime(const std::tm& time) {
  return EncodeDateTime(time.tm_year + 1900, time.tm_mon + 1, time.tm_mday, time.tm_hour,
                        time.tm_min, time.tm_sec);
}

void InitTorrentFileInfo(TorrentFileInfo& record) {
  record = TorrentFileInfo{};
}

void ReleaseTorrentFileInfo(TorrentFileInfo& record) {
  std::string().swap(record.trackers);
  std::string().swap(record.comment);
  std::string().swap(record.createdBy);
  std::string().swap(record.name);
  std::string().swap(record.infoHash);
  std::vector<std::int64_t>().swap(record.fileLengths);
  std::vector<std::string>().swap(record.filePaths);
}

std::unique_ptr<TorrentFileInfo> ReadTorrentFileInfo(std::string_view path) {
  auto record = std::make_unique<TorrentFileInfo>();
  InitTorrentFileInfo(*record);
  if (path.empty()) return record;
  CTorrent torrent;
  if (torrent.LoadFile(std::string(path))) FillTorrentFileInfo(torrent, *record);
  return record;
}

void FillTorrentFileInfo(const CTorrent& torrent, TorrentFileInfo& record) {
  torrent.TrackerText(record.trackers);
  record.comment = torrent.CommentText();
  record.createdBy = torrent.CreatorText();
  torrent.FileLengthsAndPaths(record.fileLengths, record.filePaths);
  record.totalLength = torrent.TotalLengthValue(record.fileLengths);
  record.name = torrent.NameText();
  record.pieceLength = torrent.PieceLengthValue();
  record.pieceCount = torrent.PieceCount();
  record.infoHash = torrent.InfoHashText(true);
  if (const auto created = torrent.CreationTime()) {
    if (const auto date = EncodeDateTime(*created)) record.creationDate = *date;
  }
}

}  // namespace morvane
