#include "tests/e2e/E2eFixture.h"

#include <stdlib.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QCursor>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QToolButton>
#include <QWebEnginePage>
#include <optional>

#include "app/HistoryFile.h"
#include "app/window/Bindings.h"
#include "app/window/FormControls.h"
#include "app/window/UpdateWindow.h"
#include "update/RemoteTexts.h"
#include "update/UpdateSignature.h"
#include "web/Text.h"

namespace morvane::e2e {
namespace {

QString Utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

services::StandInServices& Services() {
  static services::StandInServices* services = [] {
    services::ServicesOptions options;
    options.portBase = 0;
    options.catalogueDir = MORVANE_SOURCE_DIR "/services/catalogue";
    options.mediaDir = MORVANE_SOURCE_DIR "/services/media";
    options.updateProgram = NEW_PROGRAM;
    // The publisher signs the program it offers, so the program settings carry its public
    // key and the update road is a signed one, as in the run command.
    if (const auto key = GenerateSigningKey()) options.signingKey = key->privateKeyPem;
    options.extraMediaDir = MORVANE_GENERATED_MEDIA_DIR;
    // The roads below play through the stand-in resolution; the streaming road asks a
    // real streaming service on a port of its own.
    options.standInResolution = true;
    // Never destroyed: browser processes may still be fetching media when the run ends.
    auto* s = new services::StandInServices(options);
    if (!s->Start()) qFatal("the stand-in services did not start");
    return s;
  }();
  return *services;
}

QString NewScratchDirectory(const QString& prefix) {
  QByteArray pattern = QByteArray(MORVANE_SCRATCH_ROOT "/") + prefix.toUtf8() + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return QString();
  return QString::fromUtf8(pattern);
}

MessageAnswers::MessageAnswers() {
  SetMessageHook([this](const MessageRequest& request) {
    shown.push_back(request);
    if (script.empty()) return MessageAnswer::Ok;
    const MessageAnswer answer = script.front();
    script.pop_front();
    return answer;
  });
}

MessageAnswers::~MessageAnswers() {
  SetMessageHook(nullptr);
}

QStringList MessageAnswers::Texts() const {
  QStringList texts;
  for (const auto& m : shown) texts << m.caption + QLatin1Char('|') + m.text;
  return texts;
}

void E2eControls::ClearWebCache() {
  ++cacheClears;
  QtControls::ClearWebCache();
}

void E2eControls::Navigate(std::string_view browser, const std::string& address) {
  {
    std::lock_guard lock(mutex_);
    navigations_.emplace_back(browser, address);
  }
  QtControls::Navigate(browser, address);
}

QStringList E2eControls::Navigations(std::string_view browser) {
  std::lock_guard lock(mutex_);
  QStringList addresses;
  for (const auto& [name, address] : navigations_)
    if (name == browser) addresses << Utf8(LocalToUtf8(address));
  return addresses;
}

ProgramWindow::ProgramWindow(Settings settings)
    : ui_(new E2eControls), program_(new Program(*ui_, std::move(settings))) {
  window_ = std::make_unique<MainWindow>(program_->settings);
  ui_->AddWindow(window_.get());
  ui_->SetUpdateWindowFactory([] { return new UpdateWindow; });
  // A test that ends the program must not end the test run.
  ui_->SetEndProgram([](int) {});
  shell_ = std::make_unique<Shell>(*window_, *program_);
  BindEvents(*window_, *shell_, *program_);
}

ProgramWindow::~ProgramWindow() {
  // From here on workers still running get empty answers and reach no widget.
  ui_->Close();
  shell_.reset();
  window_.reset();
}

bool ProgramWindow::Start() {
  window_->show();
  if (!QTest::qWaitForWindowExposed(window_.get())) return false;
  LoadInfoPage(*program_, LoadHistory);
  return !Text("透明标签6").isEmpty();
}

QWebEngineView* ProgramWindow::Browser(std::string_view name) const {
  return Control<QWebEngineView>(name);
}

QString ProgramWindow::Text(std::string_view name) const {
  return Utf8(LocalToUtf8(ui_->Text(name)));
}

int ProgramWindow::CurrentTab() const {
  return ui_->SelectedIndex("高级选择夹1");
}

int ProgramWindow::Rows(std::string_view list) const {
  return ui_->RowCount(list);
}

QString ProgramWindow::Cell(std::string_view list, int row, int column) const {
  return Utf8(LocalToUtf8(ui_->Cell(list, row, column)));
}

void ProgramWindow::Click(std::string_view button) {
  auto* b = Control<QAbstractButton>(button);
  QVERIFY2(b != nullptr && b->isVisible(), std::string(button).c_str());
  QTest::mouseClick(b, Qt::LeftButton);
}

void ProgramWindow::PressLabel(std::string_view label) {
  auto* l = Control<QLabel>(label);
  QVERIFY2(l != nullptr && l->isVisible(), std::string(label).c_str());
  QTest::mousePress(l, Qt::LeftButton);
  QTest::mouseRelease(l, Qt::LeftButton);
}

void ProgramWindow::ClickToolbar(int index) {
  auto* toolbar = Control<PictureToolbar>("工具条1");
  QVERIFY(toolbar != nullptr);
  const auto buttons = toolbar->findChildren<QToolButton*>();
  QVERIFY(index >= 0 && index < buttons.size());
  QTest::mouseClick(buttons[index], Qt::LeftButton);
}

void ProgramWindow::Type(std::string_view editBox, const QString& text) {
  auto* edit = Control<QLineEdit>(editBox);
  QVERIFY2(edit != nullptr && edit->isVisible(), std::string(editBox).c_str());
  edit->setFocus();
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Delete);
  // Typed as one insertion: keyClicks cannot type the Chinese keywords.
  edit->insert(text);
  QCOMPARE(edit->text(), text);
}

void ProgramWindow::ChooseSite(int index) {
  auto* sites = Control<QComboBox>("组合框1");
  QVERIFY(sites != nullptr && sites->isVisible());
  sites->setCurrentIndex(index);
}

void ProgramWindow::DoubleClickRow(std::string_view list, int row) {
  auto* l = Control<ReportList>(list);
  QVERIFY(l != nullptr && l->isVisible());
  QTreeWidgetItem* item = l->topLevelItem(row);
  QVERIFY(item != nullptr);
  l->scrollToItem(item);
  const QPoint at = l->visualItemRect(item).center();
  QTest::mouseDClick(l->viewport(), Qt::LeftButton, {}, at);
}

void ProgramWindow::RightClickRow(std::string_view list, int row) {
  auto* l = Control<ReportList>(list);
  QVERIFY(l != nullptr && l->isVisible());
  QTreeWidgetItem* item = l->topLevelItem(row);
  QVERIFY(item != nullptr);
  l->scrollToItem(item);
  const QPoint at = l->visualItemRect(item).center();
  QCursor::setPos(l->viewport()->mapToGlobal(at));
  QTest::mouseClick(l->viewport(), Qt::RightButton, {}, at);
}

bool ProgramWindow::ChooseMenuEntry(std::string_view menu, std::string_view entry) {
  QMenu* m = window_->Menu(menu);
  QAction* action = window_->MenuEntry(menu, entry);
  if (m == nullptr || action == nullptr) return false;
  if (!Await([m] { return m->isVisible(); }, 5000)) return false;
  QTest::mouseClick(m, Qt::LeftButton, {}, m->actionGeometry(action).center());
  return Await([m] { return !m->isVisible(); }, 5000);
}

QString ProgramWindow::PublisherPage(const QString& path) const {
  return QStringLiteral("http://") + Utf8(program_->settings.publisherHost) + path;
}

QVariant RunScript(QWebEngineView* view, const QString& script, int timeoutMs) {
  auto result = std::make_shared<std::optional<QVariant>>();
  view->page()->runJavaScript(script, [result](const QVariant& v) { *result = v; });
  Await([&] { return result->has_value(); }, timeoutMs);
  return result->value_or(QVariant());
}

bool WaitForPlaying(QWebEngineView* view, const QString& addressPrefix, QString* why,
                    int timeoutMs) {
  const auto atPage = [&] {
    return view->url().toString(QUrl::FullyEncoded).startsWith(addressPrefix);
  };
  const bool reached = Await([&] { return atPage() && view->title() == "playing"; }, timeoutMs);
  // The title says the element fired 'playing'; its clock moving says frames are decoded.
  // Asked of the page at the address: while the next page loads, the view already names it
  // but the previous one still has the title and answers scripts.
  QString quoted = addressPrefix;
  quoted.replace(QLatin1String("\\"), QLatin1String("\\\\")).replace(QLatin1String("'"), QLatin1String("\\'"));
  const QString clock = QStringLiteral(
                            "(() => { const v = document.querySelector('video');"
                            " return location.href.startsWith('%1') && !!v && !v.paused &&"
                            " v.currentTime > 0; })()")
                            .arg(quoted);
  if (reached && Await([&] { return RunScript(view, clock).toBool(); }, timeoutMs)) return true;
  if (why != nullptr) {
    const QVariant state = RunScript(
        view, QStringLiteral("(() => { const v = document.querySelector('video');"
                             " if (!v) return 'no video element';"
                             " return 'src=' + v.currentSrc + ' readyState=' + v.readyState +"
                             " ' networkState=' + v.networkState + ' paused=' + v.paused +"
                             " ' time=' + v.currentTime + ' error=' +"
                             " (v.error ? v.error.code + ' ' + v.error.message : 'none'); })()"));
    *why = QStringLiteral("address %1, title '%2', %3")
               .arg(view->url().toString(QUrl::FullyEncoded), view->title(), state.toString());
  }
  return false;
}

bool WaitForPage(QWebEngineView* view, const QString& address, const QString& title,
                 int timeoutMs) {
  return Await(
      [&] { return view->url().toString(QUrl::FullyEncoded) == address && view->title() == title; },
      timeoutMs);
}

}  // namespace morvane::e2e
