#pragma once
// The player browser's way to the window for watching elsewhere (app/CastCommands.h): an
// object on a QWebChannel that pages in the player browser reach as
//   window.morvaneCast.ask(NAME, ARGUMENTS) -> Promise of the answer (an object)
// (the event "morvanecastready" says it is there). Only the window's own page is answered:
// the player browser must show a page of the own streaming service (its address under
// `pageBase`) when the request comes, else the answer is a refusal and nothing is done. A
// web page in another browser has no way to it at all.

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <string>

class QWebEngineView;

namespace morvane {

class CastCommands;

class CastBridge : public QObject {
  Q_OBJECT
 public:
  // `pageBase` gives the base of the own service's pages ("http://127.0.0.1:47083[/KEY]").
  CastBridge(QWebEngineView* view, std::function<std::string()> pageBase,
             std::shared_ptr<CastCommands> commands);

  // From the page: command `name` with its arguments (JSON); the answer comes as
  // answered(id, JSON) once the command is done, on a worker meanwhile.
  Q_INVOKABLE void request(int id, const QString& name, const QString& arguments);

 signals:
  void answered(int id, const QString& answer);

 private:
  QPointer<QWebEngineView> view_;
  std::function<std::string()> pageBase_;
  std::shared_ptr<CastCommands> commands_;
};

// Puts the bridge on the player browser "超文本浏览框1" of `window`'s children.
void InstallCastBridge(QWidget& window, std::function<std::string()> pageBase,
                       std::shared_ptr<CastCommands> commands);

}  // namespace morvane
