#pragma once
// A port for tests: it keeps the state of every control in memory, records every call in
// order, answers message boxes and file dialogs from scripts, and lets a test wait until
// workers have brought the controls into an expected state. Safe from any thread.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ControlNames.h"
#include "platform/Controls.h"

namespace morvane::testing {

struct ShownMessage {
  std::string text;
  std::string caption;
  MessageButtons buttons;
  MessageIcon icon;
};

class RecordingControls : public Controls {
 public:
  // ---- what a test scripts --------------------------------------------------------------
  // Answers for the next message boxes, in order; Ok when none is left.
  void AnswerMessages(std::initializer_list<MessageAnswer> answers) {
    std::lock_guard lock(mutex_);
    for (auto a : answers) answers_.push_back(a);
  }
  // The next file dialog is confirmed with this name ("" cancels it).
  void ChooseFiles(std::initializer_list<std::string> names) {
    std::lock_guard lock(mutex_);
    for (const auto& n : names) dialogChoices_.push_back(n);
  }
  // Runs instead of ending the process (after it is recorded).
  std::function<void(int)> onEndProgram;

  // ---- what a test reads ----------------------------------------------------------------
  std::vector<std::string> Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<ShownMessage> Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  // Every address given to a browser, in order.
  std::vector<std::string> Navigations(std::string_view browser) const {
    std::lock_guard lock(mutex_);
    auto it = navigations_.find(std::string(browser));
    return it == navigations_.end() ? std::vector<std::string>{} : it->second;
  }
  std::vector<Row> Rows(std::string_view list) const {
    std::lock_guard lock(mutex_);
    auto it = lists_.find(std::string(list));
    return it == lists_.end() ? std::vector<Row>{} : it->second;
  }
  std::string Clipboard() const {
    std::lock_guard lock(mutex_);
    return clipboard_;
  }
  std::vector<std::string> Menus() const {
    std::lock_guard lock(mutex_);
    return menus_;
  }
  std::vector<std::string> OpenedExternally() const {
    std::lock_guard lock(mutex_);
    return external_;
  }
  std::vector<std::string> Filters() const {
    std::lock_guard lock(mutex_);
    return filters_;
  }
  int Progress(std::string_view bar) const {
    std::lock_guard lock(mutex_);
    auto it = progress_.find(std::string(bar));
    return it == progress_.end() ? 0 : it->second;
  }
  bool MainWindowVisible() const {
    std::lock_guard lock(mutex_);
    return mainVisible_;
  }
  std::vector<int> EndedWith() const {
    std::lock_guard lock(mutex_);
    return ended_;
  }
  int CacheClears() const {
    std::lock_guard lock(mutex_);
    return cacheClears_;
  }

  // Waits until the predicate holds (checked after every change) or the time is up.
  bool WaitUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(waitMutex_);
    while (!done()) {
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) return done();
    }
    return true;
  }

  // ---- the port -------------------------------------------------------------------------
  std::string Text(std::string_view c) override {
    std::lock_guard lock(Check(c));
    return texts_[std::string(c)];
  }
  void SetText(std::string_view c, const std::string& text) override {
    Change([&] {
      Record("SetText", c, text);
      texts_[std::string(c)] = text;
    }, c);
  }
  bool Visible(std::string_view c) override {
    std::lock_guard lock(Check(c));
    auto it = visible_.find(std::string(c));
    return it == visible_.end() ? true : it->second;
  }
  void SetVisible(std::string_view c, bool v) override {
    Change([&] {
      Record("SetVisible", c, v ? "1" : "0");
      visible_[std::string(c)] = v;
    }, c);
  }
  int SelectedIndex(std::string_view c) override {
    std::lock_guard lock(Check(c));
    auto it = selected_.find(std::string(c));
    if (it != selected_.end()) return it->second;
    return KindOf(c) == ControlKind::ReportList ? -1 : 0;
  }
  void SetSelectedIndex(std::string_view c, int index) override {
    Change([&] {
      Record("SetSelectedIndex", c, std::to_string(index));
      selected_[std::string(c)] = index;
    }, c);
  }
  int RowCount(std::string_view list) override {
    std::lock_guard lock(Check(list));
    return static_cast<int>(lists_[std::string(list)].size());
  }
  int InsertRow(std::string_view list, int position) override {
    int index = 0;
    Change([&] {
      auto& rows = lists_[std::string(list)];
      if (position < 0 || position > static_cast<int>(rows.size()))
        position = static_cast<int>(rows.size());
      rows.insert(rows.begin() + position, Row{});
      index = position;
      Record("InsertRow", list, std::to_string(position));
    }, list);
    return index;
  }
  std::string Cell(std::string_view list, int row, int column) override {
    std::lock_guard lock(Check(list));
    auto& rows = lists_[std::string(list)];
    if (row < 0 || row >= static_cast<int>(rows.size()) || column < 0 ||
        column >= static_cast<int>(rows[row].size()))
      return "";
    return rows[row][column];
  }
  void SetCell(std::string_view list, int row, int column, const std::string& text) override {
    Change([&] {
      Record("SetCell", list, std::to_string(row) + "," + std::to_string(column) + "=" + text);
      auto& rows = lists_[std::string(list)];
      if (row < 0 || row >= static_cast<int>(rows.size()) || column < 0) return;
      if (static_cast<int>(rows[row].size()) <= column) rows[row].resize(column + 1);
      rows[row][column] = text;
    }, list);
  }
  void DeleteRow(std::string_view list, int row) override {
    Change([&] {
      Record("DeleteRow", list, std::to_string(row));
      auto& rows = lists_[std::string(list)];
      if (row >= 0 && row < static_cast<int>(rows.size())) rows.erase(rows.begin() + row);
      auto sel = selected_.find(std::string(list));
      if (sel != selected_.end() && sel->second >= static_cast<int>(rows.size()))
        sel->second = -1;
    }, list);
  }
  void DeleteAllRows(std::string_view list) override {
    Change([&] {
      Record("DeleteAllRows", list, "");
      lists_[std::string(list)].clear();
      selected_[std::string(list)] = -1;
    }, list);
  }
  void AppendRows(std::string_view list, const std::vector<Row>& rows) override {
    Change([&] {
      Record("AppendRows", list, std::to_string(rows.size()));
      auto& target = lists_[std::string(list)];
      target.insert(target.end(), rows.begin(), rows.end());
    }, list);
  }
  void Navigate(std::string_view browser, const std::string& address) override {
    Change([&] {
      Record("Navigate", browser, address);
      navigations_[std::string(browser)].push_back(address);
    }, browser);
  }
  std::string Address(std::string_view browser) override {
    std::lock_guard lock(Check(browser));
    auto& n = navigations_[std::string(browser)];
    return n.empty() ? "" : n.back();
  }
  void ClearWebCache() override {
    Change([&] {
      Record("ClearWebCache", "", "");
      ++cacheClears_;
    });
  }
  void SetProgress(std::string_view bar, int value) override {
    Change([&] {
      Record("SetProgress", bar, std::to_string(value));
      progress_[std::string(bar)] = value;
    }, bar);
  }
  void PostText(std::string_view c, const std::string& text) override { SetText(c, text); }
  void PostProgress(std::string_view bar, int value) override { SetProgress(bar, value); }
  MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                            MessageButtons buttons, MessageIcon icon) override {
    MessageAnswer answer = MessageAnswer::Ok;
    Change([&] {
      Record("ShowMessage", caption, text);
      messages_.push_back({text, caption, buttons, icon});
      if (!answers_.empty()) {
        answer = answers_.front();
        answers_.pop_front();
      }
      if (buttons == MessageButtons::Ok) answer = MessageAnswer::Ok;
    });
    return answer;
  }
  std::string ShowOpenFileDialog(const std::string& filter) override {
    std::string name;
    Change([&] {
      Record("ShowOpenFileDialog", "通用对话框1", filter);
      filters_.push_back(filter);
      if (!dialogChoices_.empty()) {
        if (!dialogChoices_.front().empty()) dialogName_ = dialogChoices_.front();
        dialogChoices_.pop_front();
      }
      name = dialogName_;
    });
    return name;
  }
  void PopupMenu(std::string_view menu) override {
    Change([&] {
      Record("PopupMenu", menu, "");
      menus_.emplace_back(menu);
    });
  }
  void SetClipboardText(const std::string& text) override {
    Change([&] {
      Record("SetClipboardText", "", text);
      clipboard_ = text;
    });
  }
  void OpenInDefaultBrowser(const std::string& address) override {
    Change([&] {
      Record("OpenInDefaultBrowser", "", address);
      external_.push_back(address);
    });
  }
  void SetMainWindowVisible(bool visible) override {
    Change([&] {
      Record("SetMainWindowVisible", "", visible ? "1" : "0");
      mainVisible_ = visible;
    });
  }
  void OpenUpdateWindow(std::function<void()> onCreated,
                        std::function<void()> onDestroyed) override {
    Change([&] { Record("OpenUpdateWindow", "", ""); });
    if (onCreated) onCreated();
    // A test decides when the window goes away by calling CloseUpdateWindow().
    std::function<void()> destroyed;
    {
      std::unique_lock lock(waitMutex_);
      changed_.wait(lock, [&] { return closeUpdateWindow_; });
      closeUpdateWindow_ = false;
    }
    if (onDestroyed) onDestroyed();
    Change([&] { Record("UpdateWindowDestroyed", "", ""); });
  }
  // Lets OpenUpdateWindow return (the user closed the window, or the program ended).
  void CloseUpdateWindow() {
    {
      std::lock_guard lock(waitMutex_);
      closeUpdateWindow_ = true;
    }
    changed_.notify_all();
  }
  void EndProgram(int code) override {
    Change([&] {
      Record("EndProgram", "", std::to_string(code));
      ended_.push_back(code);
    });
    if (onEndProgram) onEndProgram(code);
  }

 private:
  static ControlKind KindOf(std::string_view c) {
    for (const auto& n : kControlNames)
      if (n.name == c) return n.kind;
    return ControlKind::Label;
  }
  std::mutex& Check(std::string_view c) {
    if (!c.empty()) {
      EXPECT_TRUE(IsControlName(c) || IsMenu(c)) << "unknown control " << c;
    }
    return mutex_;
  }
  static bool IsMenu(std::string_view c) {
    for (auto m : kMenuNames)
      if (m == c) return true;
    return false;
  }
  void Record(std::string_view op, std::string_view control, const std::string& value) {
    calls_.push_back(std::string(op) + " " + std::string(control) + " " + value);
  }
  template <class F>
  void Change(F&& f, std::string_view control = {}) {
    std::lock_guard wait(waitMutex_);
    {
      std::lock_guard lock(Check(control));
      f();
    }
    // Notified under the wait lock: once WaitUntil has seen the change, the writer no longer
    // touches this object, so a test may destroy it right away.
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::mutex waitMutex_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;
  std::map<std::string, std::string> texts_;
  std::map<std::string, bool> visible_;
  std::map<std::string, int> selected_;
  std::map<std::string, std::vector<Row>> lists_;
  std::map<std::string, std::vector<std::string>> navigations_;
  std::map<std::string, int> progress_;
  std::vector<ShownMessage> messages_;
  std::deque<MessageAnswer> answers_;
  std::deque<std::string> dialogChoices_;
  std::string dialogName_;
  std::string clipboard_;
  std::vector<std::string> menus_;
  std::vector<std::string> external_;
  std::vector<std::string> filters_;
  std::vector<int> ended_;
  int cacheClears_ = 0;
  bool mainVisible_ = true;
  bool closeUpdateWindow_ = false;
};

}  // namespace morvane::testing
