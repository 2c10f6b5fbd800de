// morvane-tool info FILE: every member of the torrent record, one per line. The texts are
// the torrent's own bytes and are printed as they stand; array elements are separated by
// tabs.

#include <cstdio>
#include <string>

#include "tools/Commands.h"
#include "torrent/TorrentFileInfo.h"

namespace morvane::tool {
namespace {

void PrintText(const char* member, const std::string& text) {
  std::printf("%s: ", member);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::printf("\n");
}

int RunInfo(const Arguments& arguments) {
  if (arguments.size() != 1) {
    std::fprintf(stderr, "usage: morvane-tool info FILE\n");
    return 2;
  }
  const auto record = ReadTorrentFileInfo(arguments[0]);
  const TorrentFileInfo& r = *record;
  PrintText("trackers", r.trackers);
  PrintText("comment", r.comment);
  PrintText("createdBy", r.createdBy);
  PrintText("name", r.name);
  std::printf("totalLength: %lld\n", static_cast<long long>(r.totalLength));
  std::printf("pieceLength: %d\n", r.pieceLength);
  std::printf("pieceCount: %d\n", r.pieceCount);
  std::printf("fileLengths:");
  for (std::size_t i = 0; i < r.fileLengths.size(); ++i)
    std::printf("%s%lld", i == 0 ? " " : "\t", static_cast<long long>(r.fileLengths[i]));
  std::printf("\nfilePaths:");
  for (std::size_t i = 0; i < r.filePaths.size(); ++i) {
    std::printf("%s", i == 0 ? " " : "\t");
    std::fwrite(r.filePaths[i].data(), 1, r.filePaths[i].size(), stdout);
  }
  std::printf("\n");
  PrintText("infoHash", r.infoHash);
  // Days since 30 December 1899 with the time of day as the fraction.
  std::printf("creationDate: %.10g\n", r.creationDate);
  ReleaseTorrentFileInfo(*record);
  return 0;
}

const RegisterCommand kInfo{
    "info", "FILE", "prints every member of the torrent record of a .torrent file", &RunInfo};

}  // namespace
}  // namespace morvane::tool
