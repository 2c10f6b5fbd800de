// The running program of an update test: it runs the version check with a port whose
// update window stays open (or is closed after the first progress) and whose program end
// ends this process for real. It notes messages and its end in a log file.
//
// update_test_old_program VERSION_PAGE_ADDRESS (update|abort) LOG_FILE [PUBLIC_KEY]
// PUBLIC_KEY: the publisher's key the program is built with; none when absent.

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/Files.h"
#include "platform/Process.h"
#include "tests/support/RecordingControls.h"
#include "update/Cipher.h"
#include "update/VersionCheck.h"
#include "web/Text.h"

namespace morvane {
namespace {

class EndingControls : public testing::RecordingControls {
 public:
  EndingControls(std::string log, bool closeAfterProgress)
      : log_(std::move(log)), closeAfterProgress_(closeAfterProgress) {}

  MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                            MessageButtons buttons, MessageIcon icon) override {
    Log("message " + LocalToUtf8(caption) + " " + LocalToUtf8(text));
    return RecordingControls::ShowMessage(text, caption, buttons, icon);
  }
  void SetText(std::string_view control, const std::string& text) override {
    Log("text " + std::string(control) + " " + LocalToUtf8(text));
    RecordingControls::SetText(control, text);
  }
  // Progress figures are not logged: how many arrive depends on the connection.
  void PostText(std::string_view control, const std::string& text) override {
    RecordingControls::SetText(control, text);
  }
  void PostProgress(std::string_view bar, int value) override {
    RecordingControls::PostProgress(bar, value);
    {
      std::lock_guard lock(mutex_);
      progressed_ = true;
    }
    progress_.notify_all();
  }
  void OpenUpdateWindow(std::function<void()> onCreated,
                        std::function<void()> onDestroyed) override {
    Log("window");
    onCreated();
    std::unique_lock lock(mutex_);
    progress_.wait(lock, [&] { return closeAfterProgress_ && progressed_; });
    lock.unlock();
    onDestroyed();
    Log("window gone");
  }
  void EndProgram(int code) override {
    Log("end " + std::to_string(code));
    _exit(code);
  }

 private:
  void Log(const std::string& line) {
    std::lock_guard lock(logMutex_);
    int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::string text = line + "\n";
    (void)!write(fd, text.data(), text.size());
    close(fd);
  }

  std::string log_;
  bool closeAfterProgress_;
  std::mutex logMutex_;
  std::mutex mutex_;
  std::condition_variable progress_;
  bool progressed_ = false;
};

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) {
  using namespace morvane;
  if (argc != 4 && argc != 5) return 2;
  alarm(120);  // never outlive a broken test
  // As the program does at start: work in its own directory.
  if (chdir(SplitPath(RunningProgramPath()).directory.c_str()) != 0) return 2;
  EndingControls ui(argv[3], std::string(argv[2]) == "abort");
  Settings settings;
  settings.versionPageStored = EncipherText(argv[1], "");
  if (argc == 5) settings.updatePublicKey = argv[4];
  Program program(ui, settings);
  ui.SetText("透明标签2", Gbk("v4.1.7"));
  ui.SetText("透明标签6", Gbk("v4.1.8"));
  CheckVersion(program);
  return 3;  // the update always ends the process before this
}
