// The search page of the real main window, wired as the program wires it: a keyword typed,
// "搜索" clicked, rows in the result list from a local first site; then "加载更多".

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <mutex>

#include "platform/Program.h"
#include "app/window/Bindings.h"
#include "app/window/MainWindow.h"
#include "app/window/Shell.h"
#include "platform/qt/DesignFonts.h"
#include "platform/qt/QtControls.h"
#include "search/ResultRows.h"
#include "tests/search/SitePages.h"
#include "tests/support/LocalServer.h"
#include "web/Text.h"

namespace morvane {

class SearchWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    server_.server().Get("/", [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(req.target);
      }
      const int page = std::atoi(req.get_param_value("p").c_str());
      res.set_content(
          testing::FirstSitePage(testing::NumberedResults(req.get_param_value("s"), page, 20)),
          "text/html; charset=utf-8");
    });
    server_.Start();
  }
  void cleanupTestCase() { server_.Stop(); }

  void clickSearchThenLoadMore() {
    Settings settings;
    settings.firstSiteBase = server_.base();
    QtControls ui;
    Program program(ui, settings);
    MainWindow window(program.settings);
    Shell shell(window, program);
    ui.AddWindow(&window);
    BindEvents(window, shell, program);
    window.show();
    window.Control<QTabWidget>("高级选择夹1")->setCurrentIndex(1);

    auto* list = window.Control<QTreeWidget>("超级列表框1");
    QVERIFY(list != nullptr);
    window.Control<QLineEdit>("编辑框_种子关键字")->setText(QStringLiteral("中国"));
    window.Control<QComboBox>("组合框1")->setCurrentIndex(0);

    QTest::mouseClick(window.Control<QPushButton>("超级按钮5"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 20, 20000);
    QTRY_COMPARE(window.Control<QLabel>("种子结果标签")->text(),
                 QStringLiteral("搜索完毕,鼠标右键选择播放或者下载,点击\"加载更多\"可以显示更多"));
    QVERIFY(!window.Control<QWidget>("标签5")->isVisible());
    QVERIFY(!window.Control<QWidget>("图片框7")->isVisible());
    QTreeWidgetItem* first = list->topLevelItem(0);
    QCOMPARE(first->text(0), QStringLiteral("1"));
    QCOMPARE(first->text(1), QStringLiteral("【双击播放】中国 第1页 1"));
    QVERIFY(first->text(2).startsWith(QStringLiteral("magnet:?xt=urn:btih:")));
    QCOMPARE(first->text(3), QStringLiteral("101.5 MB"));

    QTest::mouseClick(window.Control<QPushButton>("超级按钮7"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 40, 20000);
    QCOMPARE(list->topLevelItem(20)->text(0), QStringLiteral("21"));
    QCOMPARE(list->topLevelItem(20)->text(1), QStringLiteral("【双击播放】中国 第2页 1"));
    {
      std::lock_guard lock(mutex_);
      QCOMPARE(requests_, (std::vector<std::string>{"/?s=%E4%B8%AD%E5%9B%BD&p=1",
                                                    "/?s=%E4%B8%AD%E5%9B%BD&p=2"}));
    }
    ui.Close();
  }

 private:
  testing::LocalServer server_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

}  // namespace morvane

QObject* NewSearchWindowTest() {
  return new morvane::SearchWindowTest;
}

#include "SearchWindowTest.moc"
