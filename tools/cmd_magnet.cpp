// morvane-tool magnet FILE...: the magnet link that "上传种子" makes of each file.

#include <cstdio>

#include "tools/Commands.h"
#include "torrent/TorrentFileInfo.h"

namespace morvane::tool {
namespace {

int RunMagnet(const Arguments& files) {
  if (files.empty()) {
    std::fprintf(stderr, "usage: morvane-tool magnet FILE...\n");
    return 2;
  }
  int status = 0;
  for (const std::string& file : files) {
    const auto record = ReadTorrentFileInfo(file);
    // As in the window: a file that is no torrent gives the bare prefix.
    std::printf("magnet:?xt=urn:btih:%s\n", record->infoHash.c_str());
    if (record->infoHash.empty()) {
      std::fprintf(stderr, "morvane-tool: %s: not a readable torrent file\n", file.c_str());
      status = 1;
    }
  }
  return status;
}

const RegisterCommand kMagnet{
    "magnet", "FILE...", "prints the magnet link of each .torrent file, one per line", &RunMagnet};

}  // namespace
}  // namespace morvane::tool
