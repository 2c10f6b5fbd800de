#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/LocalServer.h"
#include "tests/support/RecordingControls.h"
#include "tests/support/ScratchFolder.h"
#include "update/UpdateDownload.h"
#include "web/Text.h"

namespace morvane {
namespace {

using testing::LocalServer;
using testing::RecordingControls;
using testing::ScratchFolder;

struct Call {
  std::int64_t total, received, elapsed, fresh;
};

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Download {
  RecordingControls ui;
  Program program{ui, Settings{}};
  ScratchFolder dir{MORVANE_SCRATCH_ROOT};
  std::string path = dir.path() + "/download";
  std::vector<Call> calls;
  DownloadOutcome Run(const std::string& address) {
    return DownloadToFile(program, address, path,
                          [this](std::int64_t t, std::int64_t r, std::int64_t e, std::int64_t f) {
                            calls.push_back({t, r, e, f});
                          });
  }
};

TEST(DownloadToFile, SendsTheHeaderBlockAndStoresTheBodyUndecoded) {
  LocalServer server;
  httplib::Headers seen;
  // Looks like gzip but is not: any attempt to decode it would fail the download.
  std::string body = "\x1f\x8b" + Pattern(10238);
  server.server().Get("/new", [&](const httplib::Request& req, httplib::Response& res) {
    seen = req.headers;
    res.set_header("Content-Encoding", "gzip");
    res.set_content(body, "application/octet-stream");
  });
  server.Start();

  Download d;
  ASSERT_EQ(d.Run(server.base() + "/new"), DownloadOutcome::Complete);
  server.Stop();

  std::map<std::string, std::string> sent;
  for (const auto& [name, value] : seen)
    if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" &&
        name != "LOCAL_PORT")
      sent[name] = value;
  const std::map<std::string, std::string> expected = {
      {"Host", server.host()},
      {"Accept", "*/*"},
      {"Accept-Language", "zh-cn"},
      {"Accept-Encoding", "gzip, deflate"},
      {"User-Agent", "Mozilla/4.0(compatible; MSIE 6.0; Windows NT 5.0; MyIE2; .NET CLR 1.1.4322)"},
  };
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(ReadFile(d.path), body);
  // Exactly one full read: one report.
  ASSERT_EQ(d.calls.size(), 1u);
  EXPECT_EQ(d.calls[0].total, 10240);
  EXPECT_EQ(d.calls[0].received, 10240);
  EXPECT_EQ(d.calls[0].fresh, 10240);
  EXPECT_GT(d.calls[0].elapsed, 0);
  EXPECT_TRUE(d.ui.Messages().empty());
  EXPECT_TRUE(d.ui.EndedWith().empty());
}

// Bodies arriving in pieces of every size are stored whole and reported once per full read
// of 10240 bytes, with the rest reported at the end.
TEST(DownloadToFile, ReportsEveryFullReadWhateverThePieces) {
  const struct {
    const char* name;
    std::vector<std::size_t> pieces;
    bool chunked;
  } cases[] = {
      {"empty", {}, false},
      {"one byte", {1}, false},
      {"just short of a read", {10239}, false},
      {"a read and a byte", {10241}, false},
      {"short piece in the middle", {10240, 3000, 10240, 10240, 17}, false},
      {"short piece in the middle, chunked", {10240, 3000, 10240, 10240, 17}, true},
      {"many small pieces, chunked", {100, 200, 300, 400, 50000}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t size = 0;
    for (auto p : c.pieces) size += p;
    const std::string body = Pattern(size);

    LocalServer server;
    server.server().Get("/new", [&](const httplib::Request&, httplib::Response& res) {
      auto provide = [&, index = std::size_t{0}, at = std::size_t{0}](
                         std::size_t, httplib::DataSink& sink) mutable {
        if (index == c.pieces.size()) {
          if (c.chunked) sink.done();
          return c.chunked;
        }
        sink.write(body.data() + at, c.pieces[index]);
        at += c.pieces[index++];
        return true;
      };
      if (c.chunked)
        res.set_chunked_content_provider("application/octet-stream", provide);
      else
        res.set_content_provider(
            size, "application/octet-stream",
            [provide](std::size_t offset, std::size_t, httplib::DataSink& sink) mutable {
              return provide(offset, sink);
            });
    });
    server.Start();

    Download d;
    ASSERT_EQ(d.Run(server.base() + "/new"), DownloadOutcome::Complete);
    EXPECT_EQ(ReadFile(d.path), body);
    ASSERT_EQ(d.calls.size(), (size + 10239) / 10240);
    std::int64_t before = 0;
    for (const auto& call : d.calls) {
      EXPECT_EQ(call.total, c.chunked ? 0 : static_cast<std::int64_t>(size));
      EXPECT_EQ(call.fresh, call.received);
      EXPECT_GT(call.elapsed, 0);
      const std::int64_t read = call.received - before;
      EXPECT_TRUE(read == 10240 || call.received == static_cast<std::int64_t>(size)) << read;
      before = call.received;
    }
    EXPECT_TRUE(d.ui.Messages().empty());
  }
}

TEST(DownloadToFile, EveryFailureIsNamedEndsTheProgramAndRemovesTheFile) {
  LocalServer server;
  server.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("<html>not here</html>", "text/html");
  });
  server.server().Get("/broken", [](const httplib::Request&, httplib::Response& res) {
    res.status = 500;
    res.set_content("<html>oops</html>", "text/html");
  });
  server.server().Get("/cut", [](const httplib::Request&, httplib::Response& res) {
    const std::string part = Pattern(20000);
    res.set_content_provider(100000, "application/octet-stream",
                             [part](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               if (offset > 0) return false;  // the connection breaks
                               sink.write(part.data(), part.size());
                               return true;
                             });
  });
  server.server().Get("/new", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(Pattern(5000), "application/octet-stream");
  });
  server.server().Get("/moved", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/missing");
  });
  server.Start();

  LocalServer closed;
  closed.Start();
  const std::string unreachable = closed.base() + "/new";
  closed.Stop();

  const struct {
    const char* name;
    std::string address;
    bool missingDirectory;
    const char* message;
  } cases[] = {
      {"not found", server.base() + "/missing", false, "不能打开该URL!"},
      {"server error", server.base() + "/broken", false, "不能打开该URL!"},
      {"redirected to an error", server.base() + "/moved", false, "不能打开该URL!"},
      {"nobody listening", unreachable, false, "不能打开该URL!"},
      {"not a web address", "ftp://" + server.host() + "/new", false, "不能打开该URL!"},
      {"empty address", "", false, "不能打开该URL!"},
      {"connection cut mid-body", server.base() + "/cut", false, "读文件出错!"},
      {"no such folder", server.base() + "/new", true, "不能打开本地的文件!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Download d;
    if (c.missingDirectory)
      d.path = d.dir.path() + "/gone/download";
    else
      std::ofstream(d.path) << "earlier content";
    EXPECT_EQ(d.Run(c.address), DownloadOutcome::Failed);
    ASSERT_EQ(d.ui.Messages().size(), 1u);
    const auto shown = d.ui.Messages()[0];
    EXPECT_EQ(LocalToUtf8(shown.text), c.message);
    EXPECT_EQ(LocalToUtf8(shown.caption), "信息：");
    EXPECT_EQ(shown.buttons, MessageButtons::Ok);
    EXPECT_EQ(shown.icon, MessageIcon::None);
    EXPECT_EQ(d.ui.EndedWith(), std::vector<int>{0});
    EXPECT_FALSE(std::filesystem::exists(d.path));
  }
}

TEST(DownloadToFile, AbortStopsAStalledDownloadQuietly) {
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  LocalServer server;
  server.server().Get("/new", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(1 << 20, "application/octet-stream",
                             [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                               if (offset == 0) {
                                 const std::string first = Pattern(20480);
                                 sink.write(first.data(), first.size());
                                 return true;
                               }
                               // No further byte until the test is over.
                               std::unique_lock lock(mutex);
                               released.wait(lock, [&] { return release; });
                               return false;
                             });
  });
  server.Start();

  Download d;
  std::string address = server.base() + "/new";
  auto outcome = DownloadToFile(d.program, address, d.path,
                                [&](std::int64_t, std::int64_t, std::int64_t, std::int64_t) {
                                  d.program.update.abortRequested = true;
                                });
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  EXPECT_EQ(outcome, DownloadOutcome::Aborted);
  EXPECT_TRUE(d.ui.Messages().empty());
  EXPECT_TRUE(d.ui.EndedWith().empty());
  EXPECT_FALSE(std::filesystem::exists(d.path));
}

}  // namespace
}  // namespace morvane
