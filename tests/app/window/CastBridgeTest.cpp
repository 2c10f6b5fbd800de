// The player browser's way to the window: the own service's page is answered, any other page
// is refused, and addresses not of the page's service are not handed on.

#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "app/CastCommands.h"
#include "app/window/CastBridge.h"
#include "tests/app/window/WindowFixture.h"
#include "tests/support/LocalServer.h"

namespace morvane {
namespace {

constexpr char kPage[] = R"HTML(<!doctype html><meta charset="utf-8"><title>waiting</title><script>
function go() {
  var own = location.origin + '/KEY/film.mp4';
  Promise.all([
    morvaneCast.ask('state'),
    morvaneCast.ask('player', {entries: [{address: own, title: 'x'}]}),
    morvaneCast.ask('player', {entries: [{address: 'http://127.0.0.2:1/KEY/film.mp4', title: 'x'}]}),
    morvaneCast.ask('cast', {renderer: 'uuid:x', address: 'file:///etc/passwd'})
  ]).then(function (a) {
    document.title = JSON.stringify([a[0].error, a[1].message, a[2].message, a[3].error]);
  });
}
if (window.morvaneCast) go(); else window.addEventListener('morvanecastready', go);
</script>)HTML";

class CastBridgeTest : public QObject {
  Q_OBJECT

 private slots:
  void answersOnlyTheOwnServicesPage() {
    testing::LocalServer own, other;
    for (testing::LocalServer* server : {&own, &other}) {
      server->server().Get(R"(/.*\.html)", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kPage, "text/html; charset=utf-8");
      });
      server->Start();
    }
    testing::WindowFixture f;
    const std::string base = own.base() + "/KEY";
    InstallCastBridge(f.window, [base] { return base; },
                      std::make_shared<CastCommands>(nullptr, nullptr, "no-such-player-x --y"));
    auto* view = f.window.findChild<QWebEngineView*>(QStringLiteral("超文本浏览框1"));
    QVERIFY(view);

    view->load(QUrl(QString::fromStdString(base + "/player.html")));
    QTRY_VERIFY_WITH_TIMEOUT(view->title().startsWith(QLatin1String("[")), 20000);
    const QString answered = view->title();
    QVERIFY2(answered.startsWith(QStringLiteral("[\"nothing is cast\",\"找不到播放器“no-such-player-x”")),
             qPrintable(answered));
    QVERIFY2(answered.contains(QStringLiteral("\"不是本页的影片。\",\"not a film of this page\"]")), qPrintable(answered));

    // The same script on a page that is not the service's: refused, whatever it asks.
    for (const std::string& address : {other.base() + "/KEY/player.html", own.base() + "/KEYX/player.html",
                                       own.base() + "/player.html"}) {
      QSignalSpy loaded(view, &QWebEngineView::loadFinished);
      view->load(QUrl(QString::fromStdString(address)));
      QVERIFY(loaded.wait(20000));
      QTRY_VERIFY_WITH_TIMEOUT(view->title().startsWith(QLatin1String("[")), 20000);
      QCOMPARE(view->title(), QStringLiteral("[\"not the window's own page\",null,null,\"not the window's own page\"]"));
    }
  }
};

}  // namespace
}  // namespace morvane

QObject* NewCastBridgeTest() { return new morvane::CastBridgeTest; }

#include "CastBridgeTest.moc"
