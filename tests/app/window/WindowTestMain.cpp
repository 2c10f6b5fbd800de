// Runs the window's Qt Test classes in one application.

#include <QApplication>
#include <QTest>

#include "platform/qt/DesignFonts.h"

QObject* NewMainWindowTest();
QObject* NewQtControlsTest();
QObject* NewFirstPaintTest();
QObject* NewPlaybackWindowTest();
QObject* NewSearchWindowTest();
QObject* NewUpdateWindowTest();
QObject* NewCastBridgeTest();

int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  app.setFont(morvane::DefaultFont());
  int failed = 0;
  for (QObject* test : {NewMainWindowTest(), NewQtControlsTest(), NewPlaybackWindowTest(),
                         NewSearchWindowTest(), NewFirstPaintTest(), NewUpdateWindowTest(),
                         NewCastBridgeTest()}) {
    failed += QTest::qExec(test, argc, argv);
    delete test;
  }
  return failed == 0 ? 0 : 1;
}
