// Runs the end-to-end tests in one application.
//
// The program keeps its history file beside itself, and the update puts the new program
// there. So that a run never writes into the build tree and always starts without a
// history, the tests run from a link to this program in a fresh scratch directory, which is
// removed afterwards.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/qt/DesignFonts.h"
#include "tests/e2e/ConvertRoad.h"
#include "tests/e2e/EpisodesRoad.h"
#include "tests/e2e/IndexerRoad.h"
#include "tests/e2e/PlayerSwarmLine.h"
#include "tests/e2e/StreamRoad.h"
#include "tests/e2e/UpdateRoad.h"

extern char** environ;

QObject* NewRoadsTest();

namespace {

constexpr const char* kRelocated = "MORVANE_E2E_RELOCATED";

int RunRelocated(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::string directory = MORVANE_SCRATCH_ROOT "/run-XXXXXX";
  if (::mkdtemp(directory.data()) == nullptr) return 2;
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  const fs::path copy = fs::path(directory) / "e2e_test";
  if (error) return 2;
  fs::create_hard_link(self, copy, error);
  if (error) fs::copy_file(self, copy, error);
  if (error) return 2;

  ::setenv(kRelocated, "1", 1);
  std::vector<std::string> arguments(argv, argv + argc);
  arguments[0] = copy.string();
  std::vector<char*> pointers;
  for (auto& a : arguments) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  pid_t pid = 0;
  int status = 0;
  int code = 2;
  if (::posix_spawn(&pid, pointers[0], nullptr, nullptr, pointers.data(), environ) == 0 &&
      ::waitpid(pid, &status, 0) == pid)
    code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  fs::remove_all(directory, error);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == morvane::e2e::kUpdateRoadFlag)
    return morvane::e2e::RunUpdateRoadProgram(argc, argv);
  if (std::getenv(kRelocated) == nullptr) return RunRelocated(argc, argv);
  ::alarm(600);  // a hung web engine must not hold the test run for ever

  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  app.setFont(morvane::DefaultFont());
  int failed = 0;
  std::vector<QObject*> tests{NewRoadsTest(), morvane::e2e::NewUpdateRoadTest(),
                              morvane::e2e::NewPlayerSwarmLineTest(),
                              morvane::e2e::NewStreamRoadTest(), morvane::e2e::NewConvertRoadTest(),
                              morvane::e2e::NewIndexerRoadTest(),
                              morvane::e2e::NewEpisodesRoadTest()};
  for (QObject* test : tests) {
    failed += QTest::qExec(test, argc, argv);
    delete test;
  }
  std::fflush(nullptr);
  // Workers and browser processes may still be busy: no static destruction under them.
  std::quick_exit(failed == 0 ? 0 : 1);
}
