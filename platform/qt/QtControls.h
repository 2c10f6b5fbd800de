#pragma once
// The Qt implementation of the Controls port. It finds controls by objectName among the
// windows registered with it, carries calls from workers over to the window thread and
// waits for them, and stops carrying anything out once the program is closing.

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/Controls.h"
#include "platform/qt/PostBox.h"

class QFileDialog;

namespace morvane {

// The dynamic property in which a browser keeps the address it was last given, as given
// (what it shows may differ after redirects).
inline constexpr char kGivenAddressProperty[] = "morvaneGivenAddress";

// Answers the open-file dialog instead of the user: the confirmed name, or nullopt for a
// cancel. Called on the window thread with the dialog's filter as Qt writes it.
using FileDialogHook = std::function<std::optional<QString>(const QString& filter)>;

class QtControls : public Controls {
 public:
  // Must be created on the window thread; every call is carried out there.
  QtControls();
  ~QtControls() override;

  // ---- wiring, window thread only ------------------------------------------------------
  // A window whose named children the port reaches (the main window; the update window
  // while it exists). The first one added is the main window.
  void AddWindow(QWidget* window);
  void RemoveWindow(QWidget* window);
  // Makes the update window; the port shows it, registers it and waits for it to go.
  void SetUpdateWindowFactory(std::function<QWidget*()> factory);
  void SetFileDialogHook(FileDialogHook hook);
  // Replaces the process end (tests).
  void SetEndProgram(std::function<void(int)> end);
  // From now on every call returns at once with an empty answer (Cancel for message boxes),
  // and workers still waiting for a message box get Cancel. For the end of the run: workers
  // may outlive the event loop.
  void Close();
  bool Closed() const { return closed_; }

  // The widget of a design name, or null. Window thread only.
  QWidget* Find(std::string_view name) const;

  // ---- the port --------------------------------------------------------------------------
  std::string Text(std::string_view control) override;
  void SetText(std::string_view control, const std::string& text) override;
  bool Visible(std::string_view control) override;
  void SetVisible(std::string_view control, bool visible) override;
  int SelectedIndex(std::string_view control) override;
  void SetSelectedIndex(std::string_view control, int index) override;
  int RowCount(std::string_view list) override;
  int InsertRow(std::string_view list, int position) override;
  std::string Cell(std::string_view list, int row, int column) override;
  void SetCell(std::string_view list, int row, int column, const std::string& text) override;
  void DeleteRow(std::string_view list, int row) override;
  void DeleteAllRows(std::string_view list) override;
  void AppendRows(std::string_view list, const std::vector<Row>& rows) override;
  void Navigate(std::string_view browser, const std::string& address) override;
  std::string Address(std::string_view browser) override;
  void ClearWebCache() override;
  void SetProgress(std::string_view bar, int value) override;
  void PostText(std::string_view control, const std::string& text) override;
  void PostProgress(std::string_view bar, int value) override;
  MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                            MessageButtons buttons, MessageIcon icon) override;
  std::string ShowOpenFileDialog(const std::string& filter) override;
  void PopupMenu(std::string_view menu) override;
  void SetClipboardText(const std::string& text) override;
  void OpenInDefaultBrowser(const std::string& address) override;
  void SetMainWindowVisible(bool visible) override;
  void OpenUpdateWindow(std::function<void()> onCreated,
                        std::function<void()> onDestroyed) override;
  void EndProgram(int code) override;

  // Writes whatever PostText/PostProgress left waiting. Window thread only.
  void FlushPosts();

  struct Handover;   // one call carried over to the window thread
  struct ShownText;  // a text as a widget shows it, with the whole bytes when they differ

 private:
  // Asks the window thread to flush the posted values a display frame from now.
  void ScheduleFlush();
  struct PendingAnswer;

  bool OnWindowThread() const;
  // Runs `work` on the window thread and returns its result; `fallback` once closed.
  template <class R, class F>
  R Call(R fallback, F&& work);
  template <class F>
  void Call(F&& work);

  void WriteText(const QString& name, const ShownText& text);
  void WriteProgress(const QString& name, int value);

  std::unique_ptr<QObject> context_;  // lives on the window thread; receives queued calls
  std::vector<QPointer<QWidget>> windows_;
  std::function<QWidget*()> updateWindowFactory_;
  FileDialogHook fileDialogHook_;
  std::function<void(int)> endProgram_;
  PostBox posts_;
  std::atomic<bool> closed_{false};
  std::mutex pendingMutex_;
  std::set<std::shared_ptr<PendingAnswer>> pending_;
};

}  // namespace morvane
