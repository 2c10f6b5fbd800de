#include "app/Forum.h"

namespace morvane {

void OpenForum(Program& program) {
  // The host is a plain ASCII setting, the same text in UTF-8 and GBK.
  program.ui.OpenInDefaultBrowser("http://" + program.settings.publisherHost);
}

}  // namespace morvane
