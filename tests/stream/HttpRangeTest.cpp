#include "stream/HttpRange.h"

#include <gtest/gtest.h>

namespace morvane::stream {
namespace {

TEST(HttpRangeTest, ReadsOneRangeOfABody) {
  struct Case {
    const char* header;
    std::int64_t size;
    RangeResult result;
    std::int64_t begin, end;
  } cases[] = {
      {"", 1000, RangeResult::kWhole, 0, 1000},
      {"bytes=0-", 1000, RangeResult::kPartial, 0, 1000},
      {"bytes=0-0", 1000, RangeResult::kPartial, 0, 1},
      {"bytes=10-19", 1000, RangeResult::kPartial, 10, 20},
      {"bytes=990-5000", 1000, RangeResult::kPartial, 990, 1000},
      {"bytes=-100", 1000, RangeResult::kPartial, 900, 1000},
      {"bytes=-5000", 1000, RangeResult::kPartial, 0, 1000},
      {"bytes=999-", 1000, RangeResult::kPartial, 999, 1000},
      {"bytes=1000-", 1000, RangeResult::kUnsatisfiable, 0, 1000},
      {"bytes=-0", 1000, RangeResult::kUnsatisfiable, 0, 1000},
      {"bytes=0-", 0, RangeResult::kUnsatisfiable, 0, 0},
      {"bytes=5-3", 1000, RangeResult::kWhole, 0, 1000},
      {"bytes=0-1,5-6", 1000, RangeResult::kWhole, 0, 1000},
      {"bytes=a-b", 1000, RangeResult::kWhole, 0, 1000},
      {"items=0-1", 1000, RangeResult::kWhole, 0, 1000},
      {"bytes=99999999999999999999-", 1000, RangeResult::kWhole, 0, 1000},
      {"bytes=4294967296-4294967299", 5ll << 30, RangeResult::kPartial, 4294967296, 4294967300},
      // Signs are no digits: none of these is a range, so the body is whole.
      {"bytes=--5", 1000, RangeResult::kWhole, 0, 1000},
      {"bytes=-+5", 1000, RangeResult::kWhole, 0, 1000},
      {"bytes=+5-9", 1000, RangeResult::kWhole, 0, 1000},
      {"bytes=-5-9", 1000, RangeResult::kWhole, 0, 1000},
      {"bytes=5--9", 1000, RangeResult::kWhole, 0, 1000},
      {"bytes=5- 9", 1000, RangeResult::kWhole, 0, 1000},
      {"bytes=-", 1000, RangeResult::kWhole, 0, 1000},
  };
  for (const Case& c : cases) {
    ByteRange range;
    EXPECT_EQ(ParseRange(c.header, c.size, range), c.result) << c.header;
    if (c.result != RangeResult::kUnsatisfiable) {
      EXPECT_EQ(range.begin, c.begin) << c.header;
      EXPECT_EQ(range.end, c.end) << c.header;
    }
  }
}

}  // namespace
}  // namespace morvane::stream
