// ExtractAll over a result page, against glibc's memmem finding the left marker in the same
// bytes: the ratio of their throughputs says how close the scraper's inner loop comes to a
// plain byte search. Prints the ratio after the table.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bench/ThroughputReporter.h"
#include "web/Text.h"

namespace {

constexpr std::size_t kPageSize = 1 << 20;
constexpr int kMatches = 2000;
constexpr char kLeft[] = "<td class=\"name\">";
constexpr char kRight[] = "</td>";

// About 1 MB of table rows as a search site sends them: markup, GBK text and links, with
// one value between the markers per row.
const std::string& Page() {
  static const std::string page = [] {
    // "种子搜索结果 高清 中文字幕" in GBK, as a page would carry it.
    const std::string chinese =
        "\xD6\xD6\xD7\xD3\xCB\xD1\xCB\xF7\xBD\xE1\xB9\xFB \xB8\xDF\xC7\xE5 "
        "\xD6\xD0\xCE\xC4\xD7\xD6\xC4\xBB";
    std::string row;
    std::string result = "<html><head><title>" + chinese + "</title></head><body><table>\n";
    const std::size_t rowSize = (kPageSize - result.size()) / kMatches;
    for (int i = 0; i < kMatches; ++i) {
      row = "<tr class=\"row\"><td class=\"name\"> " + chinese + " " + std::to_string(i) +
            " </td><td class=\"size\">1.4 GB</td><td><a href=\"/detail/" + std::to_string(i) +
            ".html\" title=\"" + chinese + "\">" + chinese + "</a></td>";
      while (row.size() + 6 < rowSize) row += "<span>" + chinese.substr(0, 12) + "</span>";
      row.resize(rowSize - 6, ' ');
      result += row + "</tr>\n";
    }
    result.resize(kPageSize, ' ');
    return result;
  }();
  return page;
}

void BM_MemmemLeftMarker(benchmark::State& state) {
  const std::string& page = Page();
  const std::size_t length = std::strlen(kLeft);
  for (auto _ : state) {
    int found = 0;
    for (const char *at = page.data(), *end = page.data() + page.size();;) {
      const void* hit = memmem(at, end - at, kLeft, length);
      if (!hit) break;
      ++found;
      at = static_cast<const char*>(hit) + length;
    }
    if (found != kMatches) state.SkipWithError("memmem found the wrong number of markers");
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(state.iterations() * page.size());
}

void BM_ExtractAll(benchmark::State& state) {
  const std::string& page = Page();
  morvane::ExtractOptions options;
  options.caseSensitive = state.range(0) != 0;
  for (auto _ : state) {
    const morvane::TextList values = morvane::ExtractAll(page, kLeft, kRight, options);
    if (values.size() != kMatches) state.SkipWithError("ExtractAll found the wrong number");
    benchmark::DoNotOptimize(values.data());
  }
  state.SetBytesProcessed(state.iterations() * page.size());
}

BENCHMARK(BM_MemmemLeftMarker);
BENCHMARK(BM_ExtractAll)->ArgName("caseSensitive")->Arg(0)->Arg(1);

}  // namespace

int main(int argc, char** argv) {
  return morvane::bench::RunAndPrintRatios(argc, argv, [](const morvane::bench::Throughputs& t) {
    const auto reference = t.find("BM_MemmemLeftMarker");
    if (reference == t.end() || reference->second <= 0) return;
    for (const auto& [name, value] : t)
      if (name != reference->first)
        std::printf("ratio %s / memmem: %.3f (target >= 0.2)\n", name.c_str(),
                    value / reference->second);
  });
}
