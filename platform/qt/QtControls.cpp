#include "platform/qt/QtControls.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QCursor>
#include <QDesktopServices>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>

#include "platform/qt/MessageBoxes.h"
#include "platform/qt/QtText.h"
#include "platform/qt/WebProfile.h"

namespace morvane {

// One answer that a worker waits for: a message box's, or the update window's going.
struct QtControls::PendingAnswer {
  std::mutex mutex;
  std::condition_variable ready;
  std::optional<MessageAnswer> answer;

  void Give(MessageAnswer a) {
    {
      std::lock_guard lock(mutex);
      if (answer) return;
      answer = a;
    }
    ready.notify_all();
  }
  bool Given() {
    std::lock_guard lock(mutex);
    return answer.has_value();
  }
  MessageAnswer Wait() {
    std::unique_lock lock(mutex);
    ready.wait(lock, [&] { return answer.has_value(); });
    return *answer;
  }
};

namespace {

QTreeWidget* AsList(QWidget* w) {
  return qobject_cast<QTreeWidget*>(w);
}

// "name|pattern|name|pattern" as Qt's "name (pattern);;name (pattern)".
QString QtFilter(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString pattern = QLatin1Char('(') + parts[i + 1] + QLatin1Char(')');
    // A display name that already shows its pattern keeps it once.
    entries << (parts[i].endsWith(pattern) ? parts[i] : parts[i] + QLatin1Char(' ') + pattern);
  }
  if (parts.size() % 2 == 1 && !parts.back().isEmpty()) entries << parts.back();
  return entries.join(QStringLiteral(";;"));
}

// A list or an edit box lays out its whole text whenever it is drawn or measured: a
// history link of 50 MB held the window for over a minute and took gigabytes. A longer text
// shows its beginning only; the widget keeps the whole bytes beside it.
constexpr std::size_t kShownTextBytes = 8192;
// Where a list cell keeps the program's own bytes when what it shows is not all of them,
// or would not convert back to the same bytes (a text that is not valid GBK).
constexpr int kCellBytesRole = Qt::UserRole + 1;
// The same for an edit box, with the text it was given to show: once the user has edited
// it, the box's own text counts again.
constexpr char kEditBytesProperty[] = "morvaneBytes";
constexpr char kEditShownProperty[] = "morvaneShown";

}  // namespace

// A text as a widget holds it: what it shows, and the bytes when the shown text does not
// give them back.
struct QtControls::ShownText {
  QString shown;
  QVariant bytes;
};

namespace {

using ShownText = QtControls::ShownText;

ShownText Shown(const std::string& local) {
  // Cut after a whole character: a GBK lead byte takes the byte after it along.
  std::size_t cut = 0;
  while (cut < local.size() && cut < kShownTextBytes) {
    const auto byte = static_cast<unsigned char>(local[cut]);
    cut += (byte >= 0x81 && byte <= 0xFE && cut + 1 < local.size()) ? 2 : 1;
  }
  ShownText text;
  text.shown = ToQt(std::string_view(local).substr(0, cut));
  if (cut < local.size()) text.shown += QChar(0x2026);  // "…"
  if (cut < local.size() || FromQt(text.shown) != local)
    text.bytes = QByteArray(local.data(), static_cast<qsizetype>(local.size()));
  return text;
}

void PutCell(QTreeWidgetItem& item, int column, const ShownText& text) {
  item.setText(column, text.shown);
  item.setData(column, kCellBytesRole, text.bytes);
}

std::string CellBytes(const QTreeWidgetItem& item, int column) {
  const QVariant bytes = item.data(column, kCellBytesRole);
  if (bytes.isValid()) return bytes.toByteArray().toStdString();
  return FromQt(item.text(column));
}

}  // namespace

QtControls::QtControls() : context_(std::make_unique<QObject>()) {}

QtControls::~QtControls() {
  Close();
}

bool QtControls::OnWindowThread() const {
  return QThread::currentThread() == context_->thread();
}

// A call carried over to the window thread. Both sides take a standard mutex, so that the
// ordering of the worker's data and the answer is visible to thread checkers (Qt's own
// hand-over is not), and the worker is let go when the queued call is gone, whether it ran
// or was dropped because the event loop ended first.
struct QtControls::Handover {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
};

namespace {

struct HandoverFinisher {
  explicit HandoverFinisher(std::shared_ptr<QtControls::Handover> h) : handover(std::move(h)) {}
  ~HandoverFinisher() {
    {
      std::lock_guard lock(handover->mutex);
      handover->done = true;
    }
    handover->finished.notify_all();
  }
  std::shared_ptr<QtControls::Handover> handover;
};

}  // namespace

template <class R, class F>
R QtControls::Call(R fallback, F&& work) {
  if (closed_) return fallback;
  if (OnWindowThread()) return work();
  R result = fallback;
  auto handover = std::make_shared<Handover>();
  auto finisher = std::make_shared<HandoverFinisher>(handover);
  { std::lock_guard publish(handover->mutex); }
  QMetaObject::invokeMethod(
      context_.get(),
      [&, handover, finisher] {
        std::lock_guard lock(handover->mutex);
        // The window thread checks again: it may have closed the port meanwhile.
        if (!closed_) result = work();
      },
      Qt::QueuedConnection);
  finisher.reset();
  std::unique_lock lock(handover->mutex);
  handover->finished.wait(lock, [&] { return handover->done; });
  return result;
}

template <class F>
void QtControls::Call(F&& work) {
  Call(0, [&] {
    work();
    return 0;
  });
}

void QtControls::AddWindow(QWidget* window) {
  windows_.emplace_back(window);
}

void QtControls::RemoveWindow(QWidget* window) {
  std::erase_if(windows_, [&](const QPointer<QWidget>& w) { return w.isNull() || w == window; });
}

void QtControls::SetUpdateWindowFactory(std::function<QWidget*()> factory) {
  updateWindowFactory_ = std::move(factory);
}

void QtControls::SetFileDialogHook(FileDialogHook hook) {
  fileDialogHook_ = std::move(hook);
}

void QtControls::SetEndProgram(std::function<void(int)> end) {
  endProgram_ = std::move(end);
}

void QtControls::Close() {
  closed_ = true;
  std::set<std::shared_ptr<PendingAnswer>> pending;
  {
    std::lock_guard lock(pendingMutex_);
    pending.swap(pending_);
  }
  for (const auto& p : pending) p->Give(MessageAnswer::Cancel);
}

QWidget* QtControls::Find(std::string_view name) const {
  const QString objectName = NameToQt(name);
  for (const auto& window : windows_) {
    if (!window) continue;
    if (window->objectName() == objectName) return window;
    if (auto* child = window->findChild<QWidget*>(objectName)) return child;
  }
  return nullptr;
}

std::string QtControls::Text(std::string_view control) {
  return Call(std::string(), [&] {
    QWidget* w = Find(control);
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
      const QVariant bytes = e->property(kEditBytesProperty);
      if (bytes.isValid() && e->text() == e->property(kEditShownProperty).toString())
        return bytes.toByteArray().toStdString();
      return FromQt(e->text());
    }
    if (auto* l = qobject_cast<QLabel*>(w)) return FromQt(l->text());
    if (auto* b = qobject_cast<QAbstractButton*>(w)) return FromQt(b->text());
    if (auto* c = qobject_cast<QComboBox*>(w)) return FromQt(c->currentText());
    if (w && w->isWindow()) return FromQt(w->windowTitle());
    return std::string();
  });
}

void QtControls::WriteText(const QString& name, const ShownText& text) {
  QWidget* w = Find(name.toStdString());
  if (auto* e = qobject_cast<QLineEdit*>(w)) {
    e->setText(text.shown);
    e->setCursorPosition(0);
    e->setProperty(kEditBytesProperty, text.bytes);
    e->setProperty(kEditShownProperty, text.bytes.isValid() ? QVariant(text.shown) : QVariant());
  } else if (auto* l = qobject_cast<QLabel*>(w)) {
    l->setText(text.shown);
  } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
    b->setText(text.shown);
  } else if (w && w->isWindow()) {
    w->setWindowTitle(text.shown);
  }
}

void QtControls::SetText(std::string_view control, const std::string& text) {
  posts_.Forget(control);
  const QString name = NameToQt(control);
  const ShownText value = Shown(text);
  Call([&] { WriteText(name, value); });
}

bool QtControls::Visible(std::string_view control) {
  return Call(false, [&] {
    QWidget* w = Find(control);
    return w != nullptr && !w->isHidden();
  });
}

void QtControls::SetVisible(std::string_view control, bool visible) {
  Call([&] {
    if (QWidget* w = Find(control)) w->setVisible(visible);
  });
}

int QtControls::SelectedIndex(std::string_view control) {
  return Call(-1, [&] {
    QWidget* w = Find(control);
    if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentIndex();
    if (auto* t = qobject_cast<QTabWidget*>(w)) return t->currentIndex();
    if (auto* list = AsList(w)) {
      QTreeWidgetItem* item = list->currentItem();
      if (item == nullptr || !item->isSelected()) return -1;
      return list->indexOfTopLevelItem(item);
    }
    return -1;
  });
}

void QtControls::SetSelectedIndex(std::string_view control, int index) {
  Call([&] {
    QWidget* w = Find(control);
    if (auto* c = qobject_cast<QComboBox*>(w)) {
      if (index >= -1 && index < c->count()) c->setCurrentIndex(index);
    } else if (auto* t = qobject_cast<QTabWidget*>(w)) {
      if (index >= 0 && index < t->count()) t->setCurrentIndex(index);
    } else if (auto* list = AsList(w)) {
      QTreeWidgetItem* item = list->topLevelItem(index);
      if (item == nullptr) {
        list->clearSelection();
        list->setCurrentItem(nullptr);
      } else {
        list->setCurrentItem(item);
        item->setSelected(true);
      }
    }
  });
}

int QtControls::RowCount(std::string_view list) {
  return Call(0, [&] {
    auto* l = AsList(Find(list));
    return l ? l->topLevelItemCount() : 0;
  });
}

int QtControls::InsertRow(std::string_view list, int position) {
  return Call(-1, [&] {
    auto* l = AsList(Find(list));
    if (l == nullptr) return -1;
    const int count = l->topLevelItemCount();
    if (position < 0 || position > count) position = count;
    l->insertTopLevelItem(position, new QTreeWidgetItem);
    return position;
  });
}

std::string QtControls::Cell(std::string_view list, int row, int column) {
  return Call(std::string(), [&] {
    auto* l = AsList(Find(list));
    QTreeWidgetItem* item = l ? l->topLevelItem(row) : nullptr;
    if (item == nullptr || column < 0 || column >= l->columnCount()) return std::string();
    return CellBytes(*item, column);
  });
}

void QtControls::SetCell(std::string_view list, int row, int column, const std::string& text) {
  const ShownText cell = Shown(text);
  Call([&] {
    auto* l = AsList(Find(list));
    QTreeWidgetItem* item = l ? l->topLevelItem(row) : nullptr;
    if (item != nullptr && column >= 0 && column < l->columnCount()) PutCell(*item, column, cell);
  });
}

void QtControls::DeleteRow(std::string_view list, int row) {
  Call([&] {
    auto* l = AsList(Find(list));
    if (l != nullptr && row >= 0 && row < l->topLevelItemCount()) delete l->takeTopLevelItem(row);
  });
}

void QtControls::DeleteAllRows(std::string_view list) {
  Call([&] {
    if (auto* l = AsList(Find(list))) l->clear();
  });
}

void QtControls::AppendRows(std::string_view list, const std::vector<Row>& rows) {
  if (rows.empty()) return;
  // Converting on the calling thread keeps the window thread's share to the insertion.
  std::vector<std::vector<ShownText>> cells(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    cells[i].reserve(rows[i].size());
    for (const auto& text : rows[i]) cells[i].push_back(Shown(text));
  }
  Call([&] {
    auto* l = AsList(Find(list));
    if (l == nullptr) return;
    const int columns = l->columnCount();
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(cells.size()));
    for (const auto& row : cells) {
      auto* item = new QTreeWidgetItem;
      const int filled = std::min(columns, static_cast<int>(row.size()));
      for (int column = 0; column < filled; ++column) PutCell(*item, column, row[column]);
      items << item;
    }
    l->setUpdatesEnabled(false);
    l->addTopLevelItems(items);
    l->setUpdatesEnabled(true);
  });
}

void QtControls::Navigate(std::string_view browser, const std::string& address) {
  const QString given = ToQt(address);
  Call([&] {
    auto* view = qobject_cast<QWebEngineView*>(Find(browser));
    if (view == nullptr) return;
    view->setProperty(kGivenAddressProperty, given);
    const QUrl url = QUrl::fromUserInput(given.trimmed());
    view->setUrl(url.isValid() ? url : QUrl(QStringLiteral("about:blank")));
  });
}

std::string QtControls::Address(std::string_view browser) {
  const QString address = Call(QString(), [&] {
    QWidget* w = Find(browser);
    return w ? w->property(kGivenAddressProperty).toString() : QString();
  });
  return FromQt(address);
}

// The browsers' profile keeps no HTTP cache at all (see UseUncachedWebProfile), so no
// resolution can be answered from an earlier one while cookies survive. Clearing a cache
// with clearHttpCache() instead stalls the very next page load in the web engine, often for
// good, which is exactly the player page that follows every resolution.
void QtControls::ClearWebCache() {
  Call([&] { UseUncachedWebProfile(); });
}

void QtControls::WriteProgress(const QString& name, int value) {
  if (auto* bar = qobject_cast<QProgressBar*>(Find(name.toStdString()))) {
    bar->setValue(std::clamp(value, bar->minimum(), bar->maximum()));
  }
}

void QtControls::SetProgress(std::string_view bar, int value) {
  posts_.Forget(bar);
  const QString name = NameToQt(bar);
  Call([&] { WriteProgress(name, value); });
}

void QtControls::FlushPosts() {
  PostBox::Batch batch = posts_.Take();
  if (closed_) return;
  for (const auto& [name, text] : batch.texts) WriteText(NameToQt(name), Shown(text));
  for (const auto& [name, value] : batch.progress) WriteProgress(NameToQt(name), value);
}

// Posted values are shown at most once a display frame: a download reports after every
// read, and waking the window thread for each report slows the download itself.
void QtControls::ScheduleFlush() {
  QMetaObject::invokeMethod(
      context_.get(),
      [this] { QTimer::singleShot(16, context_.get(), [this] { FlushPosts(); }); },
      Qt::QueuedConnection);
}

void QtControls::PostText(std::string_view control, const std::string& text) {
  if (closed_) return;
  if (posts_.PutText(control, text)) ScheduleFlush();
}

void QtControls::PostProgress(std::string_view bar, int value) {
  if (closed_) return;
  if (posts_.PutProgress(bar, value)) ScheduleFlush();
}

MessageAnswer QtControls::ShowMessage(const std::string& text, const std::string& caption,
                                      MessageButtons buttons, MessageIcon icon) {
  const MessageRequest request{ToQt(text), ToQt(caption), buttons, icon};
  if (closed_) return MessageAnswer::Cancel;
  if (OnWindowThread()) return ShowMessageModal(request);

  auto pending = std::make_shared<PendingAnswer>();
  {
    std::lock_guard lock(pendingMutex_);
    pending_.insert(pending);
  }
  if (closed_) pending->Give(MessageAnswer::Cancel);
  { std::lock_guard publish(pending->mutex); }
  QMetaObject::invokeMethod(
      context_.get(),
      [this, request, pending] {
        { std::lock_guard receive(pending->mutex); }
        if (closed_) return pending->Give(MessageAnswer::Cancel);
        ShowMessageModeless(request, [pending](MessageAnswer a) { pending->Give(a); });
      },
      Qt::QueuedConnection);
  const MessageAnswer answer = pending->Wait();
  std::lock_guard lock(pendingMutex_);
  pending_.erase(pending);
  return answer;
}

std::string QtControls::ShowOpenFileDialog(const std::string& filter) {
  const QString qtFilter = QtFilter(ToQt(filter));
  const QString name = Call(QString(), [&] {
    auto* dialog = qobject_cast<QFileDialog*>(Find("通用对话框1"));
    if (dialog == nullptr) return QString();
    dialog->setNameFilter(qtFilter);
    std::optional<QString> chosen;
    if (fileDialogHook_) {
      chosen = fileDialogHook_(qtFilter);
    } else if (dialog->exec() == QDialog::Accepted && !dialog->selectedFiles().isEmpty()) {
      chosen = dialog->selectedFiles().front();
    }
    // The dialog keeps its last confirmed name: a cancel gives the earlier choice again.
    if (chosen) dialog->setProperty("morvaneChosen", *chosen);
    return dialog->property("morvaneChosen").toString();
  });
  // The file system's own bytes: a name may hold characters that GBK has not.
  return QFile::encodeName(name).toStdString();
}

void QtControls::PopupMenu(std::string_view menu) {
  Call([&] {
    const QString name = NameToQt(menu);
    for (const auto& window : windows_) {
      if (auto* m = window ? window->findChild<QMenu*>(name) : nullptr) {
        m->popup(QCursor::pos());
        return;
      }
    }
  });
}

void QtControls::SetClipboardText(const std::string& text) {
  const QString value = ToQt(text);
  Call([&] { QGuiApplication::clipboard()->setText(value); });
}

void QtControls::OpenInDefaultBrowser(const std::string& address) {
  const QUrl url = QUrl::fromUserInput(ToQt(address));
  Call([&] { QDesktopServices::openUrl(url); });
}

void QtControls::SetMainWindowVisible(bool visible) {
  Call([&] {
    if (!windows_.empty() && windows_.front()) windows_.front()->setVisible(visible);
  });
}

void QtControls::OpenUpdateWindow(std::function<void()> onCreated,
                                  std::function<void()> onDestroyed) {
  auto gone = std::make_shared<PendingAnswer>();
  {
    std::lock_guard lock(pendingMutex_);
    pending_.insert(gone);
  }
  const bool shown = Call(false, [&] {
    QWidget* window = updateWindowFactory_ ? updateWindowFactory_() : nullptr;
    if (window == nullptr) return false;
    window->setAttribute(Qt::WA_DeleteOnClose);
    AddWindow(window);
    QObject::connect(window, &QObject::destroyed, context_.get(), [this, gone, window] {
      RemoveWindow(window);
      gone->Give(MessageAnswer::Ok);
    });
    window->show();
    return true;
  });
  if (shown) {
    if (onCreated) onCreated();
    if (OnWindowThread()) {
      QEventLoop loop;
      while (!closed_ && !gone->Given()) loop.processEvents(QEventLoop::WaitForMoreEvents);
    } else {
      gone->Wait();
    }
  }
  {
    std::lock_guard lock(pendingMutex_);
    pending_.erase(gone);
  }
  if (shown && !closed_ && onDestroyed) onDestroyed();
}

void QtControls::EndProgram(int code) {
  if (endProgram_) return endProgram_(code);
  std::fflush(nullptr);
  std::quick_exit(code);
}

}  // namespace morvane
