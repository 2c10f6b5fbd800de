#include "app/window/CastBridge.h"

#include <QApplication>
#include <QFile>
#include <QMetaObject>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>

#include "app/CastCommands.h"
#include "platform/Worker.h"

namespace morvane {

namespace {

// The page's side: a promise for each request, settled by the answer with its number.
constexpr char kPageSide[] = R"JS(
(function () {
  if (!window.qt || !qt.webChannelTransport || window.morvaneCast) return;
  new QWebChannel(qt.webChannelTransport, function (channel) {
    var bridge = channel.objects.morvaneCast, pending = {}, next = 1;
    bridge.answered.connect(function (id, text) {
      var settle = pending[id];
      delete pending[id];
      if (settle) settle(JSON.parse(text));
    });
    window.morvaneCast = {
      ask: function (name, args) {
        return new Promise(function (resolve) {
          var id = next++;
          pending[id] = resolve;
          bridge.request(id, name, JSON.stringify(args || {}));
        });
      }
    };
    window.dispatchEvent(new Event('morvanecastready'));
  });
})();
)JS";

constexpr char kRefusal[] = "{\"ok\":false,\"error\":\"not the window's own page\"}";

}  // namespace

CastBridge::CastBridge(QWebEngineView* view, std::function<std::string()> pageBase,
                       std::shared_ptr<CastCommands> commands)
    : QObject(view), view_(view), pageBase_(std::move(pageBase)), commands_(std::move(commands)) {}

void CastBridge::request(int id, const QString& name, const QString& arguments) {
  // Whose page asks: the one the browser shows now. A page of the own service has an
  // address under its base; the base and the path's "/" after it are both needed, so
  // "http://127.0.0.1:47083/KEYX…" or a port that merely begins alike does not pass.
  const std::string base = pageBase_ ? pageBase_() : std::string();
  const std::string shown = view_ ? view_->page()->url().toString(QUrl::FullyEncoded).toStdString() : "";
  if (base.empty() || !shown.starts_with(base + "/")) {
    emit answered(id, QString::fromLatin1(kRefusal));
    return;
  }
  QPointer<CastBridge> self(this);
  StartWorker([self, id, commands = commands_, name = name.toStdString(), arguments = arguments.toStdString(), base] {
    const QString answer = QString::fromStdString(commands->Run(name, arguments, base));
    QMetaObject::invokeMethod(
        qApp, [self, id, answer] {
          if (self) emit self->answered(id, answer);
        },
        Qt::QueuedConnection);
  });
}

void InstallCastBridge(QWidget& window, std::function<std::string()> pageBase,
                       std::shared_ptr<CastCommands> commands) {
  auto* view = window.findChild<QWebEngineView*>(QStringLiteral("超文本浏览框1"));
  if (!view) return;
  auto* channel = new QWebChannel(view->page());
  channel->registerObject(QStringLiteral("morvaneCast"),
                          new CastBridge(view, std::move(pageBase), std::move(commands)));
  view->page()->setWebChannel(channel);
  QFile library(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
  if (!library.open(QIODevice::ReadOnly)) return;
  QWebEngineScript script;
  script.setName(QStringLiteral("morvane-cast"));
  script.setSourceCode(QString::fromUtf8(library.readAll()) + QString::fromUtf8(kPageSide));
  script.setInjectionPoint(QWebEngineScript::DocumentCreation);
  script.setWorldId(QWebEngineScript::MainWorld);
  script.setRunsOnSubFrames(false);
  view->page()->scripts().insert(script);
}

}  // namespace morvane
