#pragma once

#include "platform/Program.h"

namespace morvane {

// "上传种子": a local .torrent file becomes a magnet link in 编辑框1 and plays.
void ImportTorrentFile(Program& program);

}  // namespace morvane
