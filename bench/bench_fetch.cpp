// Reading a 16 MB page from a loopback server with FetchPageBytes, against the curl
// command-line tool fetching the same page in the same run. Each iteration times both, in
// alternating order; the reported time is FetchPageBytes', and "ratio" is its total wall
// time over curl's (1.0: as fast as curl).

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/support/LocalServer.h"
#include "web/FetchPage.h"

extern char** environ;

namespace {

constexpr std::size_t kPageSize = 16u << 20;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs `curl -s -o /dev/null ADDRESS` and waits for it.
bool RunCurl(const std::string& address) {
  const char* argv[] = {"curl", "-s", "-o", "/dev/null", address.c_str(), nullptr};
  pid_t child;
  if (posix_spawnp(&child, "curl", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    return false;
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_FetchPageBytes16MB(benchmark::State& state) {
  morvane::testing::LocalServer server;
  const std::string page(kPageSize, 'x');
  server.server().Get("/big", [&page](const httplib::Request&, httplib::Response& response) {
    response.set_content(page, "application/octet-stream");
  });
  server.Start();
  const std::string address = server.base() + "/big";

  double fetchSeconds = 0;
  double curlSeconds = 0;
  bool fetchFirst = true;
  for (auto _ : state) {
    double fetchTime = 0;
    double curlTime = 0;
    const auto timeFetch = [&] {
      const auto start = Clock::now();
      const std::string bytes = morvane::FetchPageBytes(address);
      fetchTime = SecondsSince(start);
      if (bytes.size() != kPageSize) state.SkipWithError("FetchPageBytes read a short page");
    };
    const auto timeCurl = [&] {
      const auto start = Clock::now();
      if (!RunCurl(address)) state.SkipWithError("the curl tool failed");
      curlTime = SecondsSince(start);
    };
    if (fetchFirst) {
      timeFetch();
      timeCurl();
    } else {
      timeCurl();
      timeFetch();
    }
    fetchFirst = !fetchFirst;
    fetchSeconds += fetchTime;
    curlSeconds += curlTime;
    state.SetIterationTime(fetchTime);
  }
  state.counters["curl_ms"] = benchmark::Counter(curlSeconds * 1000 / state.iterations());
  state.counters["ratio"] = benchmark::Counter(curlSeconds > 0 ? fetchSeconds / curlSeconds : 0);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPageSize));
}
BENCHMARK(BM_FetchPageBytes16MB)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
