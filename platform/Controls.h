#pragma once
// The port through which every routine reads and writes the windows. Controls are named
// by their design names (UTF-8, the Qt objectName); every text that crosses the port is a
// GBK byte string, as the program holds its texts. Every operation may be called from any
// thread: the window implementation carries calls from workers over to the window thread
// and waits for them, except the Post* operations, which do not wait.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace morvane {

enum class MessageButtons { Ok, OkCancel };
enum class MessageIcon { None, Information, Question };
enum class MessageAnswer { Ok, Cancel };

using Row = std::vector<std::string>;

class Controls {
 public:
  virtual ~Controls() = default;

  // Edit box content, label or transparent label caption, window title.
  virtual std::string Text(std::string_view control) = 0;
  virtual void SetText(std::string_view control, const std::string& text) = 0;

  virtual bool Visible(std::string_view control) = 0;
  virtual void SetVisible(std::string_view control, bool visible) = 0;

  // Combo box: selected item; report list: selected row (-1 for none); tab control:
  // current page. All 0-based.
  virtual int SelectedIndex(std::string_view control) = 0;
  virtual void SetSelectedIndex(std::string_view control, int index) = 0;

  // Report lists. A cell outside the list reads as "" and writes nowhere. A cell gives back
  // the very bytes written to it, however long and whether or not they are valid GBK; the
  // list may show a long one shortened.
  virtual int RowCount(std::string_view list) = 0;
  // Inserts an empty row at position (or at the end when position is -1 or past the end)
  // and returns its index.
  virtual int InsertRow(std::string_view list, int position) = 0;
  virtual std::string Cell(std::string_view list, int row, int column) = 0;
  virtual void SetCell(std::string_view list, int row, int column, const std::string& text) = 0;
  virtual void DeleteRow(std::string_view list, int row) = 0;
  virtual void DeleteAllRows(std::string_view list) = 0;
  // Appends whole rows (one text per column, missing columns empty) in one window-thread
  // call.
  virtual void AppendRows(std::string_view list, const std::vector<Row>& rows) = 0;

  // Browsers: writing the address navigates. An address without a scheme opens over http.
  virtual void Navigate(std::string_view browser, const std::string& address) = 0;
  // The address last given to the browser.
  virtual std::string Address(std::string_view browser) = 0;
  // Clears the embedded browsers' HTTP cache; cookies survive.
  virtual void ClearWebCache() = 0;

  // Progress bar position.
  virtual void SetProgress(std::string_view bar, int value) = 0;
  // Write without waiting for the window thread; when writes come faster than the window
  // shows them, the latest value of each control wins.
  virtual void PostText(std::string_view control, const std::string& text) = 0;
  virtual void PostProgress(std::string_view bar, int value) = 0;

  // Message box with no owner window. From a worker, the box is shown on the window
  // thread and the worker waits for the answer while the windows stay usable.
  virtual MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                                    MessageButtons buttons, MessageIcon icon) = 0;

  // The open-file dialog 通用对话框1: shows it modally with a filter of the form
  // "display name|pattern" and returns its file name afterwards. The dialog keeps its last
  // confirmed name, so after a cancel this is the earlier choice (or ""). The name is the
  // file system's own bytes, not a GBK text: it opens the file even when it holds
  // characters that GBK lacks.
  virtual std::string ShowOpenFileDialog(const std::string& filter) = 0;

  // Pops up a popup menu ("菜单", "小菜单", "菜单设置") with its top-left corner at the
  // mouse position.
  virtual void PopupMenu(std::string_view menu) = 0;

  virtual void SetClipboardText(const std::string& text) = 0;

  // Opens an address in the user's default web browser; does not wait.
  virtual void OpenInDefaultBrowser(const std::string& address) = 0;

  // The main window as a whole.
  virtual void SetMainWindowVisible(bool visible) = 0;

  // Shows the update window modally, without parent, on the calling thread and returns
  // when it has been destroyed. onCreated runs once the window exists (it starts the update
  // worker); onDestroyed runs while it is being destroyed (it asks whether to abort).
  virtual void OpenUpdateWindow(std::function<void()> onCreated,
                                std::function<void()> onDestroyed) = 0;

  // Ends the process with the exit code. In the program it does not return; a test's port
  // records it and returns, so callers return right after calling it.
  virtual void EndProgram(int code) = 0;
};

}  // namespace morvane
