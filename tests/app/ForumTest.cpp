#include "app/Forum.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/RecordingControls.h"

namespace morvane {
namespace {

TEST(ForumTest, OpensThePublishersHostWithoutPath) {
  testing::RecordingControls ui;
  Settings settings;
  settings.publisherHost = "127.0.0.1:47080";
  Program program(ui, settings);
  OpenForum(program);
  EXPECT_EQ(ui.OpenedExternally(), std::vector<std::string>{"http://127.0.0.1:47080"});
}

}  // namespace
}  // namespace morvane
