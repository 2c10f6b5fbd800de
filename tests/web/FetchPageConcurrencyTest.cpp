// Several workers fetching at once: each gets its own page, callers' own cookie texts stay
// apart, and the process-wide cookie store is shared safely.

#include <gtest/gtest.h>
#include <httplib.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/LocalServer.h"
#include "web/FetchPage.h"

namespace morvane {
namespace {

using testing::LocalServer;

TEST(FetchPageConcurrency, WorkersFetchAtOnce) {
  LocalServer server;
  server.server().Get(
      R"(/page/(\d+)/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
        const std::string worker = request.matches[1];
        response.set_header("Set-Cookie", "w" + worker + "=" + std::string(request.matches[2]) +
                                              "; Path=/page/" + worker);
        response.set_content("page " + worker + "/" + std::string(request.matches[2]) + " " +
                                 request.get_header_value("Cookie"),
                             "text/plain");
      });
  server.Start();

  constexpr int kWorkers = 8;
  constexpr int kCalls = 12;
  std::vector<std::vector<std::string>> pages(kWorkers);
  std::vector<std::string> ownCookies(kWorkers);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < kCalls; ++i) {
        const std::string address =
            server.base() + "/page/" + std::to_string(w) + "/" + std::to_string(i);
        // Even workers keep their own cookie text; odd ones leave cookies to the process.
        pages[w].push_back(w % 2 == 0 ? FetchPage(address, {.cookies = &ownCookies[w]})
                                      : FetchPage(address));
      }
    });
  }
  for (std::thread& worker : workers) worker.join();

  for (int w = 0; w < kWorkers; ++w) {
    const std::string name = "w" + std::to_string(w);
    for (int i = 0; i < kCalls; ++i) {
      // Every call after the first sends the cookie that the previous answer set.
      const std::string cookie = i == 0 ? "" : name + "=" + std::to_string(i - 1);
      EXPECT_EQ(pages[w][i], "page " + std::to_string(w) + "/" + std::to_string(i) + " " + cookie);
    }
    if (w % 2 == 0) {
      EXPECT_EQ(ownCookies[w], name + "=" + std::to_string(kCalls - 1));
    }
  }
}

}  // namespace
}  // namespace morvane
