#include "app/TorrentImport.h"

#include <memory>
#include <string>

#include "app/Playback.h"
#include "torrent/TorrentFileInfo.h"
#include "web/Text.h"

namespace morvane {

void ImportTorrentFile(Program& program) {
  auto record = std::make_unique<TorrentFileInfo>();
  InitTorrentFileInfo(*record);

  // Confirmed or cancelled, the dialog's name is used: after a cancel it is the last
  // confirmed choice, which imports that file again; before any choice it is "".
  const std::string fileName =
      program.ui.ShowOpenFileDialog(Gbk("种子文件(*.torrent)|*.torrent"));
  if (fileName.empty()) {
    program.ui.SetText("编辑框1", "");
    return;
  }

  // The name is the file system's own bytes and opens the file as it is: through GBK a
  // character that GBK lacks would become "?" and name another file, or none.
  std::unique_ptr<TorrentFileInfo> read = ReadTorrentFileInfo(fileName);
  ReleaseTorrentFileInfo(*record);
  record = std::move(read);
  // Only the hash goes into the link: no name, no trackers. A file that is no torrent
  // leaves the bare prefix, and that plays all the same.
  program.ui.SetText("编辑框1", "magnet:?xt=urn:btih:" + record->infoHash);
  StartPlayback(program);
  ReleaseTorrentFileInfo(*record);
}

}  // namespace morvane
