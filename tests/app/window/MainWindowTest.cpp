// The main window as it starts, and the shell's handlers: exit, tray, window-system close.

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QWebEngineView>

#include "app/window/FormControls.h"
#include "platform/ControlNames.h"
#include "tests/app/window/WindowFixture.h"

namespace morvane::testing {
namespace {

bool IsUpdateWindowControl(std::string_view name) {
  return name == "进度条1" || name == "标签_已完成百分比" || name == "标签_总大小" ||
         name == "标签_下载速度";
}

bool HasKind(QWidget* w, ControlKind kind) {
  switch (kind) {
    case ControlKind::EditBox:
      return qobject_cast<QLineEdit*>(w);
    case ControlKind::Label:
      return qobject_cast<QLabel*>(w);
    case ControlKind::TransparentLabel:
      return qobject_cast<TransparentLabel*>(w);
    case ControlKind::Button:
      return qobject_cast<QAbstractButton*>(w);
    case ControlKind::ComboBox:
      return qobject_cast<QComboBox*>(w);
    case ControlKind::ReportList:
      return qobject_cast<ReportList*>(w);
    case ControlKind::Browser:
      return qobject_cast<QWebEngineView*>(w);
    case ControlKind::PictureBox:
      return w != nullptr;
    case ControlKind::TabControl:
      return qobject_cast<QTabWidget*>(w);
    case ControlKind::Toolbar:
      return qobject_cast<PictureToolbar*>(w);
    case ControlKind::FileDialog:
      return qobject_cast<QFileDialog*>(w);
    case ControlKind::ProgressBar:
      return qobject_cast<QProgressBar*>(w);
  }
  return false;
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<WindowFixture> f;
  MainWindow& Window() { return f->window; }

 private slots:
  void init() {
    f = std::make_unique<WindowFixture>();
    Window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&Window()));
  }
  void cleanup() { f.reset(); }

  void everyNamedControlIsThereWithItsKind() {
    for (const auto& control : kControlNames) {
      if (IsUpdateWindowControl(control.name)) continue;
      QWidget* w = f->ui.Find(control.name);
      QVERIFY2(w != nullptr, std::string(control.name).c_str());
      QVERIFY2(HasKind(w, control.kind), std::string(control.name).c_str());
    }
    for (auto menu : kMenuNames) QVERIFY(Window().Menu(menu) != nullptr);
  }

  void initialTexts_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    const char* rows[][2] = {
        {"透明标签3", "-"},
        {"透明标签4", "×"},
        {"透明标签1", "当前版本："},
        {"透明标签2", "v4.1.7"},
        {"透明标签5", "最新版本："},
        {"透明标签6", ""},
        {"透明标签7", "如果当前版本号不等于最新版本号，可以点击左面的箭头获取新版本！"},
        {"透明标签8", "论坛:127.0.0.1:9"},
        {"编辑框1", "在此输入视频链接（thunder、ftp、http、ed2k、magnet）,然后播放即可！"},
        {"超级按钮1", "播放"},
        {"超级按钮2", "随机播放"},
        {"超级按钮3", "上传种子"},
        {"超级按钮8", "关闭"},
        {"编辑框_种子关键字", "输入关键字例如（中国合伙人）"},
        {"组合框1", "BT搜索(推荐)"},
        {"超级按钮5", "搜索"},
        {"超级按钮6", "随机播放"},
        {"种子结果标签", ""},
        {"超级按钮7", "加载更多"},
        {"编辑框_高清影库",
         "这里输入播放页面链接地址，支持（搜狐、PPTV、天翼视讯、乐视、奇艺、凤凰、激动网、PPS、优酷"
         "、"
         "土豆）等播放页面地址..."},
        {"超级按钮10", "播放"},
        {"超级按钮11", "关闭页面"},
        {"标签1",
         "说明：高清影库支持免60秒广告等待直接播放国内24家主流视频网的视频,支持免费播放搜狐+PPTV+"
         "天翼视讯+乐视+爱奇艺+凤凰+激动网+PPS的收费视频。"},
        {"超级按钮4", "关闭"},
    };
    for (const auto& row : rows)
      QTest::newRow(row[0]) << QString::fromUtf8(row[0]) << QString::fromUtf8(row[1]);
  }
  void initialTexts() {
    QFETCH(QString, name);
    QFETCH(QString, text);
    QCOMPARE(f->Text(name.toStdString()), text);
  }

  void startsAsDesigned() {
    QCOMPARE(Window().windowTitle(), QStringLiteral("Morvane"));
    QCOMPARE(Window().size(), QSize(960, 608));
    QCOMPARE(Window().pos(), QPoint(50, 50));
    QVERIFY(Window().windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(!Window().windowIcon().isNull());
    for (int size : {16, 32, 48})
      QVERIFY(Window().windowIcon().availableSizes().contains(QSize(size, size)));

    QCOMPARE(f->ui.SelectedIndex("高级选择夹1"), 0);
    QCOMPARE(f->ui.RowCount("超级列表框1"), 0);
    QCOMPARE(f->ui.RowCount("超级列表框3"), 0);
    QCOMPARE(f->ui.SelectedIndex("组合框1"), 0);
    auto* sites = Window().Control<QComboBox>("组合框1");
    QCOMPARE(sites->count(), 2);
    QCOMPARE(sites->itemText(1), QStringLiteral("BP搜索(推荐)"));
    for (auto hidden : {"标签5", "图片框7", "通用对话框1"})
      QVERIFY2(!f->ui.Visible(hidden), hidden);
    for (auto shown : {"种子结果标签", "超级按钮7", "透明标签9", "超文本浏览框1"})
      QVERIFY2(f->ui.Visible(shown), shown);

    QCOMPARE(f->ui.Address("超文本浏览框1"), std::string("http://127.0.0.1:9/adminapi/2.html"));
    QCOMPARE(f->ui.Address("高清影库浏览框"), std::string());
    QCOMPARE(f->ui.Address("电视直播浏览框"), std::string());
  }

  // The user's indexers follow the two designed sites, in the file's order.
  void indexersFollowTheTwoSites() {
    Settings settings;
    settings.indexers = {{"Jackett", "http://j/api", "k"}, {Gbk("中文索引"), "http://p/api", "k"}};
    MainWindow window(settings);
    auto* sites = window.Control<QComboBox>("组合框1");
    QCOMPARE(sites->count(), 4);
    QCOMPARE(sites->itemText(0), QStringLiteral("BT搜索(推荐)"));
    QCOMPARE(sites->itemText(1), QStringLiteral("BP搜索(推荐)"));
    QCOMPARE(sites->itemText(2), QStringLiteral("Jackett"));
    QCOMPARE(sites->itemText(3), QStringLiteral("中文索引"));
    QCOMPARE(sites->currentIndex(), 0);
    QCOMPARE(sites->size(), QSize(144, 27));
  }

  // The link column is there for the program to read but takes no room.
  void reportListColumns() {
    auto* results = Window().Control<ReportList>("超级列表框1");
    QCOMPARE(results->columnCount(), 4);
    QCOMPARE(results->headerItem()->text(2), QStringLiteral("种子连接"));
    const QList<int> widths{30, 535, 0, 70};
    for (int i = 0; i < 4; ++i) QCOMPARE(results->header()->sectionSize(i), widths[i]);
    f->ui.AppendRows("超级列表框1", {{"1", Gbk("名称"), "magnet:?xt=urn:btih:AB", "1GB"}});
    QCOMPARE(f->ui.Cell("超级列表框1", 0, 2), std::string("magnet:?xt=urn:btih:AB"));

    auto* history = Window().Control<ReportList>("超级列表框3");
    QCOMPARE(history->columnCount(), 1);
    QCOMPARE(history->headerItem()->text(0), QStringLiteral("播放记录"));
    QCOMPARE(history->header()->sectionSize(0), 150);
  }

  void popupMenus_data() {
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QStringList>("entries");
    QTest::newRow("results") << QStringLiteral("菜单") << QStringList{"在线播放", "复制", "下载"};
    QTest::newRow("tray") << QStringLiteral("菜单设置") << QStringList{"显示", "退出"};
    QTest::newRow("history") << QStringLiteral("小菜单") << QStringList{"播放", "删除", "全部保存"};
  }
  void popupMenus() {
    QFETCH(QString, menu);
    QFETCH(QStringList, entries);
    QMenu* m = Window().Menu(menu.toStdString());
    QVERIFY(m);
    QStringList texts;
    for (QAction* a : m->actions()) texts << a->text();
    QCOMPARE(texts, entries);
  }

  // The question comes when the button goes down on "×"; only OK ends the program.
  void askExit_data() {
    QTest::addColumn<MessageAnswer>("answer");
    QTest::addColumn<bool>("ends");
    QTest::newRow("OK") << MessageAnswer::Ok << true;
    QTest::newRow("Cancel") << MessageAnswer::Cancel << false;
  }
  void askExit() {
    QFETCH(MessageAnswer, answer);
    QFETCH(bool, ends);
    QSignalSpy exits(&f->shell, &Shell::exitRequested);
    f->messages.answers = {answer};
    QTest::mousePress(Window().Control("透明标签4"), Qt::LeftButton);
    QCOMPARE(f->messages.shown.size(), std::size_t{1});
    const MessageRequest& asked = f->messages.shown.front();
    QCOMPARE(asked.text, QStringLiteral("是否退出Morvane"));
    QCOMPARE(asked.caption, QStringLiteral("信息："));
    QCOMPARE(asked.buttons, MessageButtons::OkCancel);
    QCOMPARE(asked.icon, MessageIcon::Information);
    QCOMPARE(exits.count(), ends ? 1 : 0);
    QCOMPARE(Window().isVisible(), !ends);
  }

  void exitEntryAndWindowSystemCloseAskNothing() {
    QSignalSpy exits(&f->shell, &Shell::exitRequested);
    Window().close();
    QCOMPARE(exits.count(), 1);
    Window().MenuEntry("菜单设置", "退出")->trigger();
    QCOMPARE(exits.count(), 1);  // ends once
    QVERIFY(f->messages.shown.empty());

    WindowFixture other;
    QSignalSpy otherExits(&other.shell, &Shell::exitRequested);
    other.window.MenuEntry("菜单设置", "退出")->trigger();
    QCOMPARE(otherExits.count(), 1);
    QVERIFY(other.messages.shown.empty());
  }

  void minimiseGoesToTheTray() {
    QTest::mousePress(Window().Control("透明标签3"), Qt::LeftButton);
    QVERIFY(Window().windowState() & Qt::WindowMinimized);
    QVERIFY(Window().isHidden());
    QVERIFY(f->shell.Tray().isVisible());
    QCOMPARE(f->shell.Tray().toolTip(), QStringLiteral("Morvane"));
    QVERIFY(!f->shell.Tray().icon().isNull());
  }

  // With no notification area to come back from, minimising does not hide the window.
  void minimiseWithoutNotificationAreaKeepsTheWindow() {
    f->shell.trayAvailable = [] { return false; };
    QTest::mousePress(Window().Control("透明标签3"), Qt::LeftButton);
    QVERIFY(Window().windowState() & Qt::WindowMinimized);
    QVERIFY(!Window().isHidden());
  }

  void trayEvents() {
    QTest::mousePress(Window().Control("透明标签3"), Qt::LeftButton);
    QVERIFY(Window().isHidden());

    f->shell.OnTrayEvent(Shell::TrayEvent::DoubleClick);
    QVERIFY(Window().isHidden());

    f->shell.OnTrayEvent(Shell::TrayEvent::LeftButtonReleased);
    QVERIFY(Window().isVisible());
    QVERIFY(!(Window().windowState() & Qt::WindowMinimized));
    QVERIFY(f->shell.Tray().isVisible());  // the icon stays

    QMenu* menu = Window().Menu("菜单设置");
    QCursor::setPos(500, 400);
    f->shell.OnTrayEvent(Shell::TrayEvent::RightButtonReleased);
    QTRY_VERIFY(menu->isVisible());
    const QPoint expected = Shell::TrayMenuPosition(QCursor::pos(), menu->sizeHint());
    QCOMPARE(menu->pos(), expected);
    menu->hide();
  }

  void trayMenuPosition() {
    QCOMPARE(Shell::TrayMenuPosition(QPoint(500, 400), QSize(80, 50)), QPoint(415, 395));
  }

  // "显示" brings the window back while it stays minimised, and it does not hide again.
  void showEntryLeavesTheWindowMinimised() {
    QTest::mousePress(Window().Control("透明标签3"), Qt::LeftButton);
    QVERIFY(Window().isHidden());
    Window().MenuEntry("菜单设置", "显示")->trigger();
    QCoreApplication::processEvents();
    QVERIFY(Window().isVisible());
    QVERIFY(Window().windowState() & Qt::WindowMinimized);
  }

  void toolbarSwitchesPages() {
    auto* tabs = Window().Control<QTabWidget>("高级选择夹1");
    auto* toolbar = Window().Control<PictureToolbar>("工具条1");
    const auto buttons = toolbar->findChildren<QAbstractButton*>();
    QCOMPARE(buttons.size(), 4);
    for (int i : {1, 2, 0}) {
      buttons[i]->click();
      QCOMPARE(tabs->currentIndex(), i);
    }
  }

  // A right click selects the row under the mouse before the handler runs; on empty space
  // it keeps the selection as it was.
  void rightClickSelectsTheRowUnderTheMouse() {
    auto* list = Window().Control<ReportList>("超级列表框1");
    f->ui.SetSelectedIndex("高级选择夹1", 1);
    f->ui.AppendRows("超级列表框1", {{"1", "a"}, {"2", "b"}, {"3", "c"}});
    QSignalSpy clicks(list, &ReportList::rightClicked);
    const QRect second = list->visualItemRect(list->topLevelItem(1));
    QTest::mouseClick(list->viewport(), Qt::RightButton, {}, second.center());
    QCOMPARE(clicks.count(), 1);
    QCOMPARE(f->ui.SelectedIndex("超级列表框1"), 1);
    QTest::mouseClick(list->viewport(), Qt::RightButton, {},
                      QPoint(10, list->viewport()->height() - 5));
    QCOMPARE(clicks.count(), 2);
    QCOMPARE(f->ui.SelectedIndex("超级列表框1"), 1);

    // A double click counts anywhere on the list, rows or not. (A list of its own: the
    // window's lists would start playbacks that outlive the test.)
    ReportList lone;
    lone.SetColumns({QStringLiteral("播放记录")}, {150});
    lone.resize(152, 200);
    lone.show();
    QSignalSpy doubles(&lone, &ReportList::doubleClicked);
    QTest::mouseDClick(lone.viewport(), Qt::LeftButton, {}, QPoint(10, 150));
    QCOMPARE(doubles.count(), 1);
  }

  // Pictures of the four pages for a person to compare with the form; only when asked for.
  void screenshots() {
    const QString folder = qEnvironmentVariable("MORVANE_SCREENSHOT_DIR");
    if (folder.isEmpty()) QSKIP("MORVANE_SCREENSHOT_DIR not set");
    QDir().mkpath(folder);
    f->ui.SetVisible("标签5", true);
    f->ui.SetVisible("图片框7", true);
    for (int page = 0; page < 4; ++page) {
      f->ui.SetSelectedIndex("高级选择夹1", page);
      QTest::qWait(300);
      QVERIFY(Window().grab().save(folder + QStringLiteral("/page%1.png").arg(page)));
    }
  }
};

}  // namespace morvane::testing

QObject* NewMainWindowTest() {
  return new morvane::testing::MainWindowTest;
}

#include "MainWindowTest.moc"
