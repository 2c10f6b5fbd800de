#pragma once
// A main window wired as the program wires it, with its port and state, for one test. Every
// message box is answered by the test and recorded.

#include <QMenu>
#include <memory>
#include <vector>

#include "platform/Program.h"
#include "app/window/Bindings.h"
#include "app/window/MainWindow.h"
#include "app/window/Shell.h"
#include "app/window/UpdateWindow.h"
#include "platform/qt/MessageBoxes.h"
#include "platform/qt/QtControls.h"
#include "web/Text.h"

namespace morvane::testing {

inline Settings WindowTestSettings() {
  Settings settings;
  settings.publisherHost = "127.0.0.1:9";  // nothing listens: pages fail fast
  settings.playerHost = "127.0.0.1:9";
  settings.liveTvHost = "127.0.0.1:9";
  settings.runningVersion = "v4.1.7";
  return settings;
}

// Records every message box and answers it with the next scripted answer (OK when none).
struct MessageRecorder {
  std::vector<MessageRequest> shown;
  std::vector<MessageAnswer> answers;

  MessageRecorder() {
    SetMessageHook([this](const MessageRequest& request) {
      shown.push_back(request);
      if (answers.empty()) return MessageAnswer::Ok;
      MessageAnswer a = answers.front();
      answers.erase(answers.begin());
      return a;
    });
  }
  ~MessageRecorder() { SetMessageHook(nullptr); }
};

struct WindowFixture {
  WindowFixture() {
    ui.AddWindow(&window);
    ui.SetUpdateWindowFactory([] { return new UpdateWindow; });
    BindEvents(window, shell, program);
    shell.trayAvailable = [] { return true; };  // the offscreen platform has none
  }
  ~WindowFixture() { ui.Close(); }

  // Texts of the port in UTF-8, as the tests write them.
  QString Text(std::string_view name) { return QString::fromStdString(LocalToUtf8(ui.Text(name))); }

  MessageRecorder messages;
  QtControls ui;
  Program program{ui, WindowTestSettings()};
  MainWindow window{program.settings};
  Shell shell{window, program};
};

}  // namespace morvane::testing

Q_DECLARE_METATYPE(morvane::MessageAnswer)
