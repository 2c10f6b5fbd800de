// morvane-tool stream, run as a script would: it prints the media address, then downloads
// the whole video.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "tests/stream/StreamFixture.h"

namespace morvane::testing {
namespace {

struct ToolRun {
  int status = -1;
  std::string output;
};

ToolRun RunTool(const std::string& arguments) {
  ToolRun run;
  std::FILE* pipe = ::popen((std::string(MORVANE_TOOL_PATH) + " stream " + arguments + " 2>/dev/null").c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

using StreamCommandTest = StreamFixture;

TEST_F(StreamCommandTest, PrintsTheAddressAndDownloadsTheWholeVideo) {
  StartService();
  const auto seeder = MakeSeeder("clip.mp4", {{"clip.mp4", (2 << 20) + 777}});
  const std::string out = (Root() / "copy.mp4").string();
  const ToolRun run = RunTool("'" + seeder->MagnetLink() + "' --out '" + out + "' --service 127.0.0.1:" +
                          std::to_string(Port()));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, Base() + "/stream/" + seeder->InfoHashHex() + "/clip.mp4\n");
  EXPECT_TRUE(SameBytes(out, seeder->SourcePath("clip.mp4")));

  const ToolRun refused = RunTool("'ed2k://|file|x.mkv|1|A|/' --service 127.0.0.1:" + std::to_string(Port()));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.output, "");
}

}  // namespace
}  // namespace morvane::testing
