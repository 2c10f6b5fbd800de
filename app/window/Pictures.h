#pragma once
// The program's own pictures, drawn at run time: nothing to ship or to get out of step.

#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace morvane {

// The program icon at one size (16, 32 and 48 are the ones the icon carries).
QImage ProgramIconImage(int size);
// The window and tray icon: 16, 32 and 48 pixels.
QIcon ProgramIcon();
// The picture of toolbar button `index` (0..3), 100 x 45: a sign and the page's name.
QPixmap ToolbarPicture(int index);
// The update arrow of the status strip, 24 x 24.
QPixmap ArrowPicture();

}  // namespace morvane
