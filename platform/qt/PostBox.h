#pragma once
// Values written "without waiting" (progress labels, the progress bar) wait here until the
// window thread takes them. Only the latest value of each control is kept, and only the
// first write after a take asks for a flush, so a fast download cannot flood the window
// thread with stale updates. Qt-free so that it can be checked under ThreadSanitizer.

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace morvane {

class PostBox {
 public:
  struct Batch {
    std::vector<std::pair<std::string, std::string>> texts;
    std::vector<std::pair<std::string, int>> progress;
  };

  // Both return true when the caller must schedule a flush (none is pending yet).
  bool PutText(std::string_view control, std::string text) {
    std::lock_guard lock(mutex_);
    texts_[std::string(control)] = std::move(text);
    return Schedule();
  }
  bool PutProgress(std::string_view control, int value) {
    std::lock_guard lock(mutex_);
    progress_[std::string(control)] = value;
    return Schedule();
  }

  // A direct write supersedes whatever is still waiting for the same control; without this
  // a later flush would put an older value back over it.
  void Forget(std::string_view control) {
    std::lock_guard lock(mutex_);
    const std::string key(control);
    texts_.erase(key);
    progress_.erase(key);
  }

  // Everything waiting, in no particular order; the next Put schedules a new flush.
  Batch Take() {
    std::lock_guard lock(mutex_);
    Batch batch;
    for (auto& [name, text] : texts_) batch.texts.emplace_back(name, std::move(text));
    for (auto& [name, value] : progress_) batch.progress.emplace_back(name, value);
    texts_.clear();
    progress_.clear();
    flushPending_ = false;
    return batch;
  }

 private:
  bool Schedule() {
    if (flushPending_) return false;
    flushPending_ = true;
    return true;
  }

  std::mutex mutex_;
  std::map<std::string, std::string> texts_;
  std::map<std::string, int> progress_;
  bool flushPending_ = false;
};

}  // namespace morvane
