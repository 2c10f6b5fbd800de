#pragma once
// The update window: a progress bar and three labels that the update worker fills while it
// downloads the new program. Closing it is the user's way to abort; the port runs the abort
// question once the window is gone.

#include <QWidget>

namespace morvane {

class UpdateWindow : public QWidget {
  Q_OBJECT
 public:
  explicit UpdateWindow(QWidget* parent = nullptr);
};

}  // namespace morvane
