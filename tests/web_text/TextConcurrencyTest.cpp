// The text routines run on several workers at once: conversions and cut-outs on different
// threads give the same results as on one.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "web/Text.h"

namespace morvane {
namespace {

TEST(TextConcurrency, WorkersConvertAndExtractAtOnce) {
  std::string page;
  for (int row = 0; row < 300; ++row)
    page += "<td>" + std::to_string(row) + " \xD6\xD0\xCE\xC4</td>\xA1\xA1";
  const std::string utf8Page = LocalToUtf8(page);
  const TextList expected = ExtractAll(page, "<TD>", "</TD>");
  ASSERT_EQ(expected.size(), 300u);

  constexpr int kWorkers = 6;
  std::vector<int> failures(kWorkers, 0);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int round = 0; round < 40; ++round) {
        if (Utf8ToLocal(utf8Page) != page) ++failures[w];
        if (LocalToUtf8(page) != utf8Page) ++failures[w];
        if (ExtractAll(page, "<TD>", "</TD>") != expected) ++failures[w];
        if (PercentEncode(Local("中文 " + std::to_string(w)), true, true) !=
            "%E4%B8%AD%E6%96%87%20" + std::to_string(w))
          ++failures[w];
      }
    });
  }
  for (auto& worker : workers) worker.join();
  for (int w = 0; w < kWorkers; ++w) EXPECT_EQ(failures[w], 0) << "worker " << w;
}

}  // namespace
}  // namespace morvane
