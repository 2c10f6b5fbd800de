#include <gtest/gtest.h>
#include <zlib.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/LocalServer.h"
#include "tests/support/RecordingControls.h"
#include "tests/support/TlsServer.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/RawServer.h"
#include "update/UpdateDownload.h"
#include "web/Text.h"

namespace morvane {
namespace {

using testing::LocalServer;
using testing::RawAnswer;
using testing::RawReply;
using testing::RawServer;
using testing::RecordingControls;
using testing::TlsServer;
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

// zlib's deflate of `bytes`: a gzip stream, or the zlib stream that HTTP calls deflate.
std::string Compressed(const std::string& bytes, bool gzip) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK)
    return {};
  std::string out(deflateBound(&stream, bytes.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// The designed header block goes out byte for byte, and what the server encoded is decoded:
// the file is the program, whatever the encoding.
TEST(DownloadToFile, SendsTheHeaderBlockAndStoresTheDecodedProgram) {
  const std::string program = Pattern(100000);
  const struct {
    const char* name;
    const char* encoding;  // "" for none
    std::string body;
  } cases[] = {
      {"gzip", "gzip", Compressed(program, true)},
      {"deflate", "deflate", Compressed(program, false)},
      {"not encoded", "", program},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawServer server([&](const std::string&) {
      return RawReply{RawAnswer("HTTP/1.1 200 OK",
                                *c.encoding ? "Content-Encoding: " + std::string(c.encoding) + "\r\n"
                                            : "",
                                c.body)};
    });
    Download d;
    ASSERT_EQ(d.Run(server.base() + "/new"), DownloadOutcome::Complete);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0],
              "GET /new HTTP/1.1\r\nHost: " + server.host() +
                  "\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nAccept-Encoding: gzip, "
                  "deflate\r\nUser-Agent: Mozilla/4.0(compatible; MSIE 6.0; Windows NT 5.0; "
                  "MyIE2; .NET CLR 1.1.4322)\r\n\r\n");
    EXPECT_EQ(ReadFile(d.path), program);
    ASSERT_FALSE(d.calls.empty());
    // The announced length is the encoded body's: it is no total of the file.
    EXPECT_EQ(d.calls.back().total, *c.encoding ? 0 : static_cast<std::int64_t>(program.size()));
    EXPECT_EQ(d.calls.back().received, static_cast<std::int64_t>(program.size()));
    EXPECT_TRUE(d.ui.Messages().empty());
    EXPECT_TRUE(d.ui.EndedWith().empty());
  }
}

// The stored file never grows past the cap (a setting), and the body never past its
// announced length: beyond either the download is a failed read and the file is removed.
TEST(DownloadToFile, RefusesMoreThanAnnouncedOrPastTheCap) {
  constexpr std::uint64_t kCap = 50000;
  const std::string atCap = Pattern(kCap);
  const std::string overCap = Pattern(kCap + 1);
  const auto unannounced = [](const std::string& body) {
    return "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body;
  };
  const struct {
    const char* name;
    std::string answer;
    bool complete;
  } cases[] = {
      {"no length, at the cap", unannounced(atCap), true},
      {"no length, one byte past the cap", unannounced(overCap), false},
      {"announced, at the cap", RawAnswer("HTTP/1.1 200 OK", "", atCap), true},
      {"announced past the cap", RawAnswer("HTTP/1.1 200 OK", "", overCap), false},
      {"gzip that decodes to the cap",
       RawAnswer("HTTP/1.1 200 OK", "Content-Encoding: gzip\r\n", Compressed(atCap, true)), true},
      {"gzip that decodes past the cap",
       RawAnswer("HTTP/1.1 200 OK", "Content-Encoding: gzip\r\n", Compressed(overCap, true)),
       false},
      {"chunked past the announced length",
       "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nTransfer-Encoding: chunked\r\nConnection: "
       "close\r\n\r\n14\r\n" + std::string(20, 'x') + "\r\n0\r\n\r\n",
       false},
      {"shorter than announced",
       "HTTP/1.1 200 OK\r\nContent-Length: 20\r\nConnection: close\r\n\r\n" + std::string(10, 'x'),
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawServer server([&](const std::string&) { return RawReply{c.answer}; });
    RecordingControls ui;
    Settings settings;
    settings.mostDownloadBytes = kCap;
    Program program{ui, settings};
    ScratchFolder dir{MORVANE_SCRATCH_ROOT};
    const std::string path = dir.path() + "/download";
    const DownloadOutcome outcome = DownloadToFile(program, server.base() + "/new", path, {});
    if (c.complete) {
      EXPECT_EQ(outcome, DownloadOutcome::Complete);
      EXPECT_EQ(ReadFile(path), atCap);
      EXPECT_TRUE(ui.Messages().empty());
    } else {
      EXPECT_EQ(outcome, DownloadOutcome::Failed);
      ASSERT_EQ(ui.Messages().size(), 1u);
      EXPECT_EQ(LocalToUtf8(ui.Messages()[0].text), "读文件出错!");
      EXPECT_EQ(ui.EndedWith(), std::vector<int>{0});
      EXPECT_FALSE(std::filesystem::exists(path));
    }
  }
}

// A download that started on HTTPS is never carried on in plain HTTP, by a redirect of the
// secure server or after an http → https hop.
TEST(DownloadToFile, NoStepDownFromHttpsToPlainHttp) {
  TlsServer secure;
  std::string clear;
  secure.server().Get("/moved", [&](const httplib::Request&, httplib::Response& res) {
    res.status = 301;
    res.set_header("Location", clear + "/new");
    res.set_content("moved", "text/plain");
  });
  secure.server().Get("/new", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(Pattern(5000), "application/octet-stream");
  });
  secure.Start();
  RawServer plain([&](const std::string& request) {
    if (request.starts_with("GET /up "))
      return RawReply{
          RawAnswer("HTTP/1.1 302 Found", "Location: " + secure.base() + "/moved\r\n", "")};
    return RawReply{RawAnswer("HTTP/1.1 200 OK", "", Pattern(5000))};
  });
  clear = plain.base();
  const struct {
    const char* name;
    std::string address;
    std::size_t sentInClear;
    const char* message;  // "" for a complete download
  } cases[] = {
      {"301 from https to http", secure.base() + "/moved", 0, "不能打开该URL!"},
      {"http to https to http", clear + "/up", 1, "不能打开该URL!"},
      {"https alone", secure.base() + "/new", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    plain.ClearRequests();
    Download d;
    d.Run(c.address);
    std::size_t sent = 0;
    for (const std::string& request : plain.requests()) sent += request.empty() ? 0 : 1;
    EXPECT_EQ(sent, c.sentInClear);
    if (*c.message) {
      ASSERT_EQ(d.ui.Messages().size(), 1u);
      EXPECT_EQ(LocalToUtf8(d.ui.Messages()[0].text), c.message);
      EXPECT_FALSE(std::filesystem::exists(d.path));
    } else {
      EXPECT_TRUE(d.ui.Messages().empty());
      EXPECT_EQ(ReadFile(d.path), Pattern(5000));
    }
  }
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

  const std::string unreachable = "http://" + testing::ClosedHost() + "/new";

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
