// The text routines run on several workers at once: conversions and cut-outs on different
// threads give the same results as on one. The workers are the first to convert, so the code
// page is also set up under contention.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "web/Text.h"

namespace morvane {
namespace {

struct WorkerResults {
  std::string utf8, local;
  TextList values;
  int mismatches = 0;
};

TEST(TextConcurrency, WorkersConvertAndExtractAtOnce) {
  std::string page;  // GBK bytes: "中文" after every number
  for (int row = 0; row < 300; ++row)
    page += "<td>" + std::to_string(row) + " \xD6\xD0\xCE\xC4</td>\xA1\xA1";

  constexpr int kWorkers = 6;
  std::vector<WorkerResults> results(kWorkers);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&page, &result = results[w], w] {
      result.utf8 = LocalToUtf8(page);
      result.local = Utf8ToLocal(result.utf8);
      result.values = ExtractAll(page, "<TD>", "</TD>");
      for (int round = 0; round < 30; ++round) {
        if (LocalToUtf8(page) != result.utf8) ++result.mismatches;
        if (ExtractAll(page, "<TD>", "</TD>") != result.values) ++result.mismatches;
        if (PercentEncode(Gbk("中文 " + std::to_string(w)), true, true) !=
            "%E4%B8%AD%E6%96%87%20" + std::to_string(w))
          ++result.mismatches;
      }
    });
  }
  for (auto& worker : workers) worker.join();

  ASSERT_EQ(results[0].values.size(), 300u);
  EXPECT_EQ(results[0].values[7], "7 \xD6\xD0\xCE\xC4");
  EXPECT_NE(results[0].utf8.find("<td>7 中文</td>"), std::string::npos);
  for (int w = 0; w < kWorkers; ++w) {
    EXPECT_EQ(results[w].local, page) << "worker " << w;
    EXPECT_EQ(results[w].utf8, results[0].utf8) << "worker " << w;
    EXPECT_EQ(results[w].values, results[0].values) << "worker " << w;
    EXPECT_EQ(results[w].mismatches, 0) << "worker " << w;
  }
}

}  // namespace
}  // namespace morvane
