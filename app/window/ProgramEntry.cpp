// The program: the window thread's event loop over the main window, and the program-wide
// state that every routine and worker shares.

#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "app/CastCommands.h"
#include "app/HistoryFile.h"
#include "app/OwnStreamService.h"
#include "app/window/Bindings.h"
#include "app/window/CastBridge.h"
#include "app/window/FirstPaint.h"
#include "app/window/MainWindow.h"
#include "app/window/Pictures.h"
#include "app/window/Shell.h"
#include "app/window/UpdateWindow.h"
#include "platform/Files.h"
#include "platform/Program.h"
#include "platform/Settings.h"
#include "platform/UserConfig.h"
#include "platform/qt/DesignFonts.h"
#include "platform/qt/QtControls.h"
#include "search/IndexerFile.h"
#include "update/RemoteTexts.h"
#include "web/FetchPage.h"

namespace {

morvane::Program* globals = nullptr;

// Releases the program-wide texts and lists when the process ends.
void FreeGlobals() {
  if (globals == nullptr) return;
  globals->texts.Clear();
  std::lock_guard lock(globals->search.mutex);
  std::vector<std::string>().swap(globals->search.names);
  std::vector<std::string>().swap(globals->search.hashes);
  std::vector<std::string>().swap(globals->search.sizes);
  std::vector<std::string>().swap(globals->search.links);
  std::string().swap(globals->search.currentPage);
}

// The user's Torznab indexers join the site box; a line that names none is told on the
// terminal, without its address or key.
morvane::Settings WithUserIndexers(morvane::Settings settings) {
  const std::string path = morvane::UserConfigPath(morvane::kIndexerFileName);
  morvane::IndexerFile file = morvane::ReadIndexerFile(path);
  for (const std::string& problem : file.problems)
    std::fprintf(stderr, "morvane: %s: %s\n", path.c_str(), problem.c_str());
  settings.indexers = std::move(file.indexers);
  return settings;
}

// The history file and the update's files live beside the program.
void ChangeToProgramDirectory() {
  std::error_code error;
  std::filesystem::current_path(morvane::ProgramDirectory(), error);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace morvane;
  ChangeToProgramDirectory();
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  // The main window hides in the notification area and the update window closes while the
  // program goes on: only ExitProgram ends the loop.
  app.setQuitOnLastWindowClosed(false);
  app.setApplicationName(QStringLiteral("Morvane"));
  app.setWindowIcon(ProgramIcon());
  app.setFont(DefaultFont());

  // Workers may still run when the loop ends, so the port and the state they reach stay
  // alive until the process is gone: neither is ever destroyed.
  auto* ui = new QtControls;
  // The build's settings, with what the user's settings file changes and the user's indexers.
  Settings settings = BuildSettings();
  for (const std::string& line : ApplyUserSettings(settings, UserConfigPath(kUserSettingsFileName)))
    std::fprintf(stderr, "morvane: %s\n", line.c_str());
  std::vector<std::string> said;
  settings.resolutionHost = WithOwnServiceKey(settings.resolutionHost, OwnServiceKeyFile(), said);
  for (const std::string& line : said) std::fprintf(stderr, "morvane: %s\n", line.c_str());
  auto* program = new Program(*ui, WithUserIndexers(std::move(settings)));
  globals = program;
  SetFetchLimits({program->settings.mostPageBytes, program->settings.pageDeadline});
  StartOwnResolutionServiceInBackground(program->settings.resolutionHost, BuildExtraTrackers(),
                                        program->settings.streamServiceSettings);
  // The process ends through quick_exit (here and in EndProgram): ordinary static
  // destruction would pull the toolkit away from workers that are still running.
  std::at_quick_exit(FreeGlobals);

  auto* window = new MainWindow(program->settings);
  ui->AddWindow(window);
  ui->SetUpdateWindowFactory([] { return new UpdateWindow; });
  auto* shell = new Shell(*window, *program);
  BindEvents(*window, *shell, *program);
  // Watching elsewhere (renderers, the user's own player), for the own service's page only.
  InstallCastBridge(*window, [host = program->settings.resolutionHost] { return "http://" + host; },
                    std::make_shared<CastCommands>(OpenOwnServiceTo, CloseOwnServiceToRenderers,
                                                   program->settings.externalPlayer));
  QObject::connect(shell, &Shell::exitRequested, &app, &QCoreApplication::quit);

  // The created event: reading the information page holds up the window thread, so the
  // window is on the screen first.
  ShowThenRunAfterFirstPaint(*window, [program] { LoadInfoPage(*program, LoadHistory); });
  app.exec();

  ui->Close();
  std::fflush(nullptr);
  std::quick_exit(0);
}
