// The update road: with a newer version on the publisher's server, the arrow, the question,
// the update window with its progress and countdown, the new program put beside the old one
// and started, the old one removed, and the process ended. The program carries the
// publisher's key and the version page the signature of the new program, so the road goes
// through the signature check.

#include "tests/e2e/UpdateRoad.h"

#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <filesystem>

#include "app/HistoryFile.h"
#include "app/window/Bindings.h"
#include "app/window/MainWindow.h"
#include "app/window/Shell.h"
#include "app/window/UpdateWindow.h"
#include "platform/Program.h"
#include "platform/qt/DesignFonts.h"
#include "platform/qt/MessageBoxes.h"
#include "platform/qt/QtControls.h"
#include "tests/e2e/E2eFixture.h"
#include "update/RemoteTexts.h"

namespace morvane::e2e {
namespace {

constexpr int kSettingsFields = 11;
constexpr const char* kNewName = "Morvane-v4.1.8";

QStringList SettingsArguments(const Settings& s) {
  QStringList list;
  for (const std::string* field :
       {&s.publisherHost, &s.firstSiteBase, &s.secondSiteBase, &s.resolutionHost, &s.playerHost,
        &s.liveTvHost, &s.runningVersion, &s.versionPageStored, &s.infoPageStored,
        &s.keywordListStored, &s.updatePublicKey})
    list << QString::fromStdString(*field);
  return list;
}

Settings SettingsFromArguments(char** fields) {
  return Settings{.publisherHost = fields[0],
                  .firstSiteBase = fields[1],
                  .secondSiteBase = fields[2],
                  .resolutionHost = fields[3],
                  .playerHost = fields[4],
                  .liveTvHost = fields[5],
                  .runningVersion = fields[6],
                  .versionPageStored = fields[7],
                  .infoPageStored = fields[8],
                  .keywordListStored = fields[9],
                  .updatePublicKey = fields[10]};
}

void Report(const QString& line) {
  std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
  std::fflush(stdout);
}

// What the user sees of the update, one line whenever it changes.
class UpdateWatcher : public QObject {
 public:
  UpdateWatcher(QtControls& ui, QWidget& mainWindow) : ui_(ui), main_(mainWindow) {
    connect(&timer_, &QTimer::timeout, this, [this] { Look(); });
    timer_.start(10);
  }

 private:
  void Look() {
    Note(QStringLiteral("main window ") +
         (main_.isVisible() ? QStringLiteral("shown") : QStringLiteral("hidden")));
    QWidget* window = ui_.Find("更新窗口");
    if (window == nullptr) return;
    Note(QStringLiteral("update window ") + window->windowTitle());
    // The speed label goes just before the countdown starts: looked at first.
    if (auto* speed = window->findChild<QLabel*>(QStringLiteral("标签_下载速度")))
      Note(QStringLiteral("speed label ") +
           (speed->isVisible() ? QStringLiteral("shown") : QStringLiteral("hidden")));
    if (auto* done = window->findChild<QLabel*>(QStringLiteral("标签_已完成百分比")))
      Note(QStringLiteral("progress ") + done->text());
  }
  // Reports a line when it differs from the last line of its kind.
  void Note(const QString& line) {
    const QString kind = line.section(QLatin1Char(' '), 0, 1);
    if (last_.value(kind) == line) return;
    last_[kind] = line;
    Report(line);
  }

  QtControls& ui_;
  QWidget& main_;
  QTimer timer_;
  QMap<QString, QString> last_;
};

}  // namespace

int RunUpdateRoadProgram(int argc, char** argv) {
  if (argc != 2 + kSettingsFields) return 2;
  ::alarm(120);  // never outlive a broken test
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  app.setFont(DefaultFont());

  // As in the program: neither the port nor the state is ever destroyed.
  auto* ui = new QtControls;
  auto* program = new Program(*ui, SettingsFromArguments(argv + 2));
  auto* window = new MainWindow(program->settings);
  ui->AddWindow(window);
  ui->SetUpdateWindowFactory([] { return new UpdateWindow; });
  auto* shell = new Shell(*window, *program);
  BindEvents(*window, *shell, *program);
  SetMessageHook([](const MessageRequest& request) {
    Report(QStringLiteral("message ") + request.caption + QLatin1Char('|') + request.text);
    return MessageAnswer::Ok;
  });

  window->show();
  LoadInfoPage(*program, LoadHistory);
  Report(QStringLiteral("latest ") + window->Control<QLabel>("透明标签6")->text());
  UpdateWatcher watcher(*ui, *window);
  QTimer::singleShot(0, window, [window] {
    QTest::mouseClick(window->Control<QPushButton>("超级按钮9"), Qt::LeftButton);
  });
  app.exec();
  Report(QStringLiteral("event loop ended"));
  return 3;  // the update ends the process before this
}

class UpdateRoadTest : public QObject {
  Q_OBJECT

 private slots:
  void updateRunsToTheEnd() {
    const QString directory = NewScratchDirectory(QStringLiteral("update"));
    QVERIFY(!directory.isEmpty());
    const QString old = directory + "/morvane";
    std::error_code error;
    std::filesystem::create_hard_link(std::filesystem::read_symlink("/proc/self/exe"),
                                      old.toStdString(), error);
    if (error) QVERIFY(QFile::copy(QStringLiteral("/proc/self/exe"), old));

    const Settings settings = Services().ProgramSettings();
    QVERIFY2(!settings.updatePublicKey.empty(),
             "the publisher's key is missing: the road is unsigned");
    QProcess program;
    program.setWorkingDirectory(directory);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(old, QStringList{kUpdateRoadFlag} + SettingsArguments(settings));
    QVERIFY(program.waitForStarted());
    QVERIFY(program.waitForFinished(100000));
    const QStringList lines =
        QString::fromUtf8(program.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    const QString seen = lines.join(QLatin1Char('\n'));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QVERIFY2(program.exitCode() == 0, qPrintable(seen));

    // What the user saw, in this order.
    const QStringList expected{
        QStringLiteral("latest v4.1.8"),
        QStringLiteral("message 发现新版本|发现新版本：v4.1.8，是否更新？"),
        QStringLiteral("main window hidden"),
        QStringLiteral("update window 发现新版本，正在自动更新……"),
        QStringLiteral("speed label hidden"),
        QStringLiteral("progress 更新完毕，等待3秒自动运行新版本……"),
        QStringLiteral("progress 更新完毕，等待2秒自动运行新版本……"),
        QStringLiteral("progress 更新完毕，等待1秒自动运行新版本……"),
    };
    qsizetype at = 0;
    for (const QString& line : expected) {
      at = lines.indexOf(line, at);
      QVERIFY2(at >= 0, qPrintable(line + "\nnot seen in order in:\n" + seen));
    }
    QVERIFY2(!seen.contains(QStringLiteral("message 信息：")), qPrintable(seen));
    QVERIFY2(!seen.contains(QStringLiteral("event loop ended")), qPrintable(seen));

    // The new program in place, executable, exactly what the server offered, and started;
    // the old program and the clean-up script gone once the old process had ended.
    const QString fresh = directory + "/" + kNewName;
    QFile served(QStringLiteral(NEW_PROGRAM));
    QFile placed(fresh);
    QVERIFY(served.open(QIODevice::ReadOnly) && placed.open(QIODevice::ReadOnly));
    QVERIFY(placed.readAll() == served.readAll());
    QVERIFY(QFileInfo(fresh).isExecutable());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(directory + "/started"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(old), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(directory + "/ .sh"), 20000);
    const QStringList left = QDir(directory).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(left, (QStringList{QString::fromUtf8(kNewName), QStringLiteral("started")}));
    QDir(directory).removeRecursively();
  }
};

QObject* NewUpdateRoadTest() {
  return new UpdateRoadTest;
}

}  // namespace morvane::e2e

#include "UpdateRoad.moc"
