// FetchPage and FetchPageBytes against real servers on 127.0.0.1: the request as it reaches
// the server, the answer's charset and NUL rules, cookies, redirects and time-outs.

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LocalServer.h"
#include "tests/support/TlsServer.h"
#include "tests/support/RawServer.h"
#include "web/FetchPage.h"

namespace morvane {
namespace {

using testing::LocalServer;
using testing::RawAnswer;
using testing::RawReply;
using testing::RawServer;
using testing::TlsServer;

const std::string kDefaultAgent =
    "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1; NX4RD; .NET CLR 2.0.50727; .NET CLR "
    "3.0.04506.648; .NET CLR 3.5.21022)";
const std::string kDefaultLines =
    "\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nContent-Type: application/x-www-form-urlencoded";

// The path of a recorded request line: "GET /a?b HTTP/1.1" gives "/a?b".
std::string RequestPath(const std::string& request) {
  const std::size_t begin = request.find(' ') + 1;
  return request.substr(begin, request.find(' ', begin) - begin);
}

// "http://" + the Host line of a recorded request.
std::string RequestBase(const std::string& request) {
  const std::size_t at = request.find("\r\nHost: ") + 8;
  return "http://" + request.substr(at, request.find("\r\n", at) - at);
}

RawReply Answer(const std::string& body) {
  return {RawAnswer("HTTP/1.1 200 OK", "", body)};
}

class FetchPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetFetchTimeouts({std::chrono::milliseconds(3000), std::chrono::milliseconds(60000)});
  }
  void TearDown() override {
    SetFetchTimeouts({});
    SetFetchLimits({});
  }
};

struct WireCase {
  const char* name;
  std::string path;  // appended to the server's host
  bool withScheme;
  std::string headerText;  // given to the call
  std::string requestLine;
  // The header lines the server receives after Host and before the Referer line.
  std::string leadingLines;
  std::string trailingLines;  // after the Referer line
};

TEST_F(FetchPageTest, SendsTheComposedHeaderTextAsIs) {
  RawServer server([](const std::string&) { return Answer("ok"); });
  const std::string port = std::to_string(server.port());
  const WireCase cases[] = {
      {"plain GET", "/a", true, "", "GET /a HTTP/1.1", "User-Agent: " + kDefaultAgent,
       kDefaultLines},
      {"no scheme", "/a", false, "", "GET /a HTTP/1.1", "User-Agent: " + kDefaultAgent,
       kDefaultLines},
      {"query and escapes unchanged", "/Dir/a?Q=%2f%E4x&b=C", true, "",
       "GET /Dir/a?Q=%2f%E4x&b=C HTTP/1.1", "User-Agent: " + kDefaultAgent, kDefaultLines},
      {"non-ASCII path bytes escaped, query bytes not", "/\xC4\xE3 x?k=\xBA\xC3 y", true, "",
       "GET /%C4%E3%20x?k=\xBA\xC3%20y HTTP/1.1", "User-Agent: " + kDefaultAgent, kDefaultLines},
      {"path escapes unchanged", "/%e4%B8/x", true, "", "GET /%e4%B8/x HTTP/1.1",
       "User-Agent: " + kDefaultAgent, kDefaultLines},
      {"dot segments unchanged", "/a/../b/./c", true, "", "GET /a/../b/./c HTTP/1.1",
       "User-Agent: " + kDefaultAgent, kDefaultLines},
      {"one User-Agent line", "/u", true, "User-Agent: Probe/2.0", "GET /u HTTP/1.1",
       "User-Agent: Probe/2.0", kDefaultLines},
      {"own Accept-Language keeps the default Accept", "/l", true, "Accept-Language: en",
       "GET /l HTTP/1.1", "User-Agent: " + kDefaultAgent + "\r\nAccept-Language: en",
       "\r\nAccept: */*\r\nContent-Type: application/x-www-form-urlencoded"},
      {"line with an empty value is still sent", "/e", true, "X-Empty:", "GET /e HTTP/1.1",
       "User-Agent: " + kDefaultAgent + "\r\nX-Empty:", kDefaultLines},
  };
  for (const WireCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string address = (c.withScheme ? server.base() : server.host()) + c.path;
    std::string headerText = c.headerText;
    EXPECT_EQ(FetchPage(address, {.headerText = &headerText}), "ok");
    // The header text written back is exactly what was composed.
    EXPECT_EQ(headerText, (c.headerText.empty() ? "" : c.headerText + "\r\n") +
                              "Referer: " + address + c.trailingLines);
    EXPECT_EQ(server.requests().back(), c.requestLine + "\r\nHost: 127.0.0.1:" + port + "\r\n" +
                                            c.leadingLines + "\r\nReferer: " + address +
                                            c.trailingLines + "\r\n\r\n");
  }
}

TEST_F(FetchPageTest, UpperCaseHostWithPortIsRequestedLowerCase) {
  RawServer server([](const std::string&) { return Answer("ok"); });
  const std::string address = "HTTP://LOCALHOST:" + std::to_string(server.port());
  EXPECT_EQ(FetchPage(address), "ok");
  const std::string request = server.requests().back();
  EXPECT_TRUE(request.starts_with(
      "GET / HTTP/1.1\r\nHost: localhost:" + std::to_string(server.port()) + "\r\n"))
      << request;
  EXPECT_NE(request.find("\r\nReferer: " + address + "\r\n"), std::string::npos);
}

TEST_F(FetchPageTest, SendsBodiesByMethod) {
  RawServer server([](const std::string&) { return Answer("ok"); });
  struct BodyCase {
    int method;
    std::string verb;
  };
  for (const BodyCase& c : {BodyCase{1, "POST"}, BodyCase{2, "GET"}}) {
    SCOPED_TRACE(c.verb);
    std::string bodyBytes;
    EXPECT_EQ(FetchPage(server.base() + "/form",
                        {.method = c.method, .bodyText = "a=1&b=%E4", .bodyBytes = &bodyBytes}),
              "ok");
    EXPECT_EQ(bodyBytes, "a=1&b=%E4");
    const std::string request = server.requests().back();
    EXPECT_TRUE(request.starts_with(c.verb + " /form HTTP/1.1\r\n")) << request;
    EXPECT_TRUE(request.ends_with("\r\nContent-Length: 9\r\n\r\na=1&b=%E4")) << request;
    EXPECT_EQ(request.find("Expect:"), std::string::npos);
  }
  // Body bytes given by the caller win over the body text.
  std::string bodyBytes = "given";
  FetchPage(server.base() + "/form", {.method = 1, .bodyText = "text", .bodyBytes = &bodyBytes});
  EXPECT_TRUE(server.requests().back().ends_with("\r\n\r\ngiven"));
  // A GET without method sends no body even when one is given.
  FetchPage(server.base() + "/get", {.bodyText = "text"});
  EXPECT_TRUE(server.requests().back().ends_with(
      "Content-Type: application/x-www-form-urlencoded\r\n\r\n"));
}

struct CharsetCase {
  const char* name;
  std::string headerLines;
  std::string body;
  bool converted;
};

TEST_F(FetchPageTest, ConvertsUtf8PagesByTheMarkerRule) {
  const std::string middle = "\xE4\xB8\xAD";  // one character in UTF-8; D6 D0 in GBK
  const auto markerAt = [&](std::size_t position, const std::string& marker) {
    return std::string(position - 1, 'x') + marker + middle;
  };
  const std::vector<CharsetCase> cases = {
      {"marker at 300", "", markerAt(300, "utf-8"), true},
      {"marker at 499", "", markerAt(499, "utf-8"), true},
      {"marker at 500", "", markerAt(500, "utf-8"), false},
      {"upper-case marker in the body only", "", markerAt(10, "UTF-8"), false},
      {"charset header in any case", "Content-Type: text/html; charset=UTF-8\r\n", middle, true},
      {"no marker", "", middle, false},
  };
  RawServer server([&](const std::string& request) {
    const CharsetCase& c = cases[std::stoul(RequestPath(request).substr(1))];
    return RawReply{RawAnswer("HTTP/1.1 200 OK", c.headerLines, c.body)};
  });
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const std::string page = FetchPageBytes(server.base() + "/" + std::to_string(i));
    if (cases[i].converted) {
      EXPECT_TRUE(page.ends_with("\xD6\xD0")) << page.substr(page.size() - 3);
      EXPECT_EQ(page.size(), cases[i].body.size() - 1);
    } else {
      EXPECT_EQ(page, cases[i].body);
    }
  }
}

TEST_F(FetchPageTest, TextEndsAtTheFirstNulBytesKeepEverything) {
  const std::string body = std::string(99, 'a') + '\0' + std::string(50, 'b');
  RawServer server([&](const std::string&) { return Answer(body); });
  EXPECT_EQ(FetchPage(server.base() + "/nul"), std::string(99, 'a'));
  EXPECT_EQ(FetchPageBytes(server.base() + "/nul"), body);
}

TEST_F(FetchPageTest, FailuresGiveTheEmptyResult) {
  // A port nobody listens on: the connection is refused.
  int closedPort;
  {
    RawServer gone([](const std::string&) { return RawReply{}; });
    closedPort = gone.port();
  }
  EXPECT_EQ(FetchPage("http://127.0.0.1:" + std::to_string(closedPort) + "/x"), "");
  EXPECT_EQ(FetchPageBytes("http://127.0.0.1:" + std::to_string(closedPort) + "/x"), "");

  // Addresses no request can be made for leave the caller's variables alone.
  RawServer server([](const std::string&) { return Answer("ok"); });
  for (const std::string& address :
       std::vector<std::string>{server.base() + "/a\r\nX-Injected: 1", server.base() + "/a\nb",
                                "http://127.0.0.1:70000/", std::string("http:///nohost")}) {
    std::string headerText = "untouched";
    std::string raw = "untouched";
    EXPECT_EQ(FetchPage(address, {.headerText = &headerText, .rawHeaders = &raw}), "");
    EXPECT_EQ(headerText, "untouched");
    EXPECT_EQ(raw, "untouched");
  }
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(FetchPageTest, UnansweredConnectionEndsAtTheConnectTimeOut) {
  // A listener whose queue is full: the kernel drops further connection attempts, so a
  // connect only ends by the time-out (without one, the kernel retries for minutes).
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), length);
  }
  SetFetchTimeouts({std::chrono::milliseconds(300), std::chrono::milliseconds(120000)});
  const auto start = std::chrono::steady_clock::now();
  std::string raw;
  EXPECT_EQ(FetchPage("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x",
                      {.rawHeaders = &raw}),
            "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(raw, std::string(5000, ' '));
  for (int filler : fillers) ::close(filler);
  ::close(listener);
}

TEST_F(FetchPageTest, SilentServerEndsAtTheStallTimeOut) {
  SetFetchTimeouts({std::chrono::milliseconds(3000), std::chrono::milliseconds(300)});
  RawServer silent([](const std::string&) { return RawReply{"", true}; });
  std::string raw;
  EXPECT_EQ(FetchPage(silent.base() + "/wait", {.rawHeaders = &raw}), "");
  EXPECT_EQ(raw, std::string(5000, ' '));

  // A body that stops half-way ends the same way; what arrived is the page.
  RawServer halfway([](const std::string&) {
    return RawReply{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial", true};
  });
  EXPECT_EQ(FetchPage(halfway.base() + "/half", {.rawHeaders = &raw}), "partial");
  EXPECT_EQ(raw, "HTTP/1.1 200 OK\r\nContent-Length: 100");
}

TEST_F(FetchPageTest, RawHeadersOfTheLastResponseUpTo5000Bytes) {
  // The header block without its closing blank line is `length` bytes long.
  const auto answerWithHeaders = [](std::size_t length) {
    const std::string fixed =
        RawAnswer("HTTP/1.1 200 OK", "Set-Cookie: big=1; Path=/big\r\nX-Filler: \r\n", "body");
    const std::size_t blockLength = fixed.find("\r\n\r\n");
    const std::string filler(length - blockLength, 'f');
    return RawAnswer("HTTP/1.1 200 OK",
                     "Set-Cookie: big=1; Path=/big\r\nX-Filler: " + filler + "\r\n", "body");
  };
  RawServer server([&](const std::string& request) {
    return RawReply{answerWithHeaders(std::stoul(RequestPath(request).substr(1)))};
  });
  for (const std::size_t length : {4999u, 5000u, 9000u}) {
    SCOPED_TRACE(length);
    std::string raw, newCookies, target;
    EXPECT_EQ(FetchPage(server.base() + "/" + std::to_string(length),
                        {.newCookies = &newCookies, .redirectTarget = &target, .rawHeaders = &raw}),
              "body");
    if (length < 5000) {
      EXPECT_EQ(raw.size(), length);
      EXPECT_TRUE(raw.starts_with("HTTP/1.1 200 OK\r\nSet-Cookie: big=1; Path=/big\r\n"));
      EXPECT_EQ(newCookies, "big=1");
    } else {
      EXPECT_EQ(raw, std::string(5000, ' '));
      EXPECT_EQ(newCookies, "");
      EXPECT_EQ(target, raw);
    }
  }

  // After a redirect followed by the platform, only the final answer's headers count.
  RawServer hops([](const std::string& request) {
    if (RequestPath(request) == "/first") {
      return RawReply{RawAnswer("HTTP/1.1 302 Found",
                                "Location: /final\r\nSet-Cookie: hop=1; Path=/hop\r\n",
                                "this page has moved")};
    }
    return RawReply{RawAnswer("HTTP/1.1 200 OK", "X-Final: yes\r\n", "final page")};
  });
  std::string raw, newCookies;
  EXPECT_EQ(FetchPage(hops.base() + "/first", {.newCookies = &newCookies, .rawHeaders = &raw}),
            "final page");
  EXPECT_EQ(raw, "HTTP/1.1 200 OK\r\nX-Final: yes\r\nContent-Length: 10\r\nConnection: close");
  EXPECT_EQ(newCookies, "");
}

TEST_F(FetchPageTest, ProxyOnlyWhenGiven) {
  RawServer proxy([](const std::string&) { return Answer("via proxy"); });
  RawServer direct([](const std::string&) { return Answer("direct"); });
  EXPECT_EQ(FetchPage("http://Proxied.Example:8080/p?q=1", {.proxy = proxy.host()}), "via proxy");
  ASSERT_EQ(proxy.requests().size(), 1u);
  EXPECT_TRUE(proxy.requests()[0].starts_with("GET http://proxied.example:8080/p?q=1 HTTP/1.1\r\n"))
      << proxy.requests()[0];
  // Without a proxy argument the request goes straight out, whatever the environment says.
  ::setenv("http_proxy", proxy.base().c_str(), 1);
  const std::string page = FetchPage(direct.base() + "/d");
  ::unsetenv("http_proxy");
  EXPECT_EQ(page, "direct");
  EXPECT_EQ(proxy.requests().size(), 1u);
}

TEST_F(FetchPageTest, ProcessCookieStoreCarriesCookiesBetweenCalls) {
  LocalServer server;
  server.server().Get("/store/set", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "storeProbe=1; Path=/store");
    response.set_content("set", "text/plain");
  });
  server.server().Get("/store/echo",
                      [](const httplib::Request& request, httplib::Response& response) {
                        response.set_content(request.get_header_value("Cookie"), "text/plain");
                      });
  server.Start();
  EXPECT_EQ(FetchPage(server.base() + "/store/set"), "set");
  EXPECT_EQ(FetchPage(server.base() + "/store/echo"), "storeProbe=1");
  // A call that handles its cookies itself neither sends nor fills the process store.
  std::string cookies;
  EXPECT_EQ(FetchPage(server.base() + "/store/echo", {.cookies = &cookies}), "");
}

TEST_F(FetchPageTest, OwnCookiesAreMergedAndSentBack) {
  LocalServer server;
  server.server().Get("/own/set", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Set-Cookie", "sid=new; Path=/");
    response.set_header("Set-Cookie", "gone=deleted");
    response.set_content("set", "text/plain");
  });
  server.server().Get("/own/echo",
                      [](const httplib::Request& request, httplib::Response& response) {
                        response.set_content(request.get_header_value("Cookie"), "text/plain");
                      });
  server.Start();
  std::string cookies = "keep=1; sid=old; gone=x";
  std::string newCookies;
  EXPECT_EQ(FetchPage(server.base() + "/own/set", {.cookies = &cookies, .newCookies = &newCookies}),
            "set");
  EXPECT_EQ(newCookies, "sid=new; gone=deleted");
  EXPECT_EQ(cookies, "sid=new; keep=1");
  std::string headerText;
  EXPECT_EQ(
      FetchPage(server.base() + "/own/echo", {.cookies = &cookies, .headerText = &headerText}),
      "sid=new; keep=1");
  EXPECT_TRUE(headerText.ends_with(kDefaultLines + "\r\nCookie: sid=new; keep=1"));
  // The process store does not see cookies that the caller handles.
  EXPECT_EQ(FetchPage(server.base() + "/own/echo"), "");
}

TEST_F(FetchPageTest, Moved301IsRepeatedWithThePathAppended) {
  RawServer server([](const std::string& request) {
    if (RequestPath(request) == "/start?q=1") {
      return RawReply{RawAnswer(
          "HTTP/1.1 301 Moved Permanently",
          "Location: " + RequestBase(request) + "/moved\r\nSet-Cookie: hop=1; path=/\r\n", "old")};
    }
    return Answer("arrived");
  });
  const std::string first = server.base() + "/start?q=1";
  std::string cookies = "a=0";
  std::string headerText, target;
  EXPECT_EQ(FetchPage(first, {.cookies = &cookies,
                              .headerText = &headerText,
                              .redirectTarget = &target,
                              .noAutomaticRedirect = true}),
            "arrived");
  const std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(RequestPath(requests[1]), "/moved/start?q=1");
  EXPECT_NE(requests[1].find("\r\nReferer: " + first + "\r\n"), std::string::npos);
  EXPECT_NE(requests[1].find("\r\nCookie: hop=1; a=0\r\n"), std::string::npos) << requests[1];
  EXPECT_EQ(requests[1].find("Cookie: a=0\r\n"), std::string::npos);
  EXPECT_EQ(headerText, "Referer: " + first + kDefaultLines + "\r\nCookie: hop=1; a=0");
  EXPECT_EQ(cookies, "hop=1; a=0");
}

TEST_F(FetchPageTest, OnlyAnHttp11Answer301IsRepeated) {
  for (const std::string status :
       {"HTTP/1.1 302 Moved Temporarily", "HTTP/1.0 301 Moved Permanently"}) {
    SCOPED_TRACE(status);
    RawServer server([&](const std::string& request) {
      return RawReply{
          RawAnswer(status, "Location: " + RequestBase(request) + "/elsewhere\r\n", "first")};
    });
    std::string target;
    EXPECT_EQ(
        FetchPage(server.base() + "/p", {.redirectTarget = &target, .noAutomaticRedirect = true}),
        "first");
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(target, server.base() + "/elsewhere");
  }
}

TEST_F(FetchPageTest, AsReceivedKeepsTheBodyAndLeavesA301ToTheCaller) {
  const std::string utf8 = "<?xml version=\"1.0\" encoding=\"utf-8\"?><t>\xE4\xB8\xAD</t>";
  const std::string magnet = "magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567";
  RawServer server([&](const std::string& request) {
    if (RequestPath(request) == "/feed")
      return RawReply{RawAnswer("HTTP/1.1 200 OK", "Content-Type: text/xml; charset=utf-8\r\n",
                                utf8)};
    return RawReply{RawAnswer("HTTP/1.1 301 Moved Permanently", "Location: " + magnet + "\r\n",
                              "")};
  });
  EXPECT_EQ(FetchPageBytes(server.base() + "/feed", {.asReceived = true}), utf8);
  std::string target;
  FetchPageBytes(server.base() + "/link",
                 {.redirectTarget = &target, .noAutomaticRedirect = true, .asReceived = true});
  EXPECT_EQ(target, magnet);
  EXPECT_EQ(server.requests().size(), 2u);  // the 301 was not repeated
}

TEST_F(FetchPageTest, LoopOf301EndsAfterTenRepeats) {
  RawServer server([](const std::string& request) {
    return RawReply{RawAnswer("HTTP/1.1 301 Moved Permanently",
                              "Location: " + RequestBase(request) + "\r\n", "loop")};
  });
  EXPECT_EQ(FetchPage(server.base() + "/loop", {.noAutomaticRedirect = true}), "");
  EXPECT_EQ(server.requests().size(), 11u);
  for (const std::string& request : server.requests()) EXPECT_EQ(RequestPath(request), "/loop");
}

// Whatever leads from an answer that came over HTTPS to plain HTTP, the platform's own
// redirect or the routine's 301 repeat, nothing is sent in clear and the page is unreachable.
TEST_F(FetchPageTest, NoStepDownFromHttpsToPlainHttp) {
  TlsServer secure;
  std::string clear;  // the plain server's base, once it runs
  for (const char* status : {"301", "302"}) {
    secure.server().Get(std::string("/down") + status, [&, status](const httplib::Request&,
                                                                   httplib::Response& res) {
      res.status = std::stoi(status);
      res.set_header("Location", clear + "/leak");
      res.set_content("moved", "text/plain");
    });
  }
  secure.server().Get("/across", [&](const httplib::Request&, httplib::Response& res) {
    res.status = 301;
    res.set_header("Location", secure.base() + "/landed");
    res.set_content("moved", "text/plain");
  });
  secure.server().Get(R"(/landed.*)", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("secure page", "text/plain");
  });
  secure.Start();
  RawServer plain([&](const std::string& request) {
    if (RequestPath(request) == "/up")
      return RawReply{RawAnswer("HTTP/1.1 302 Found",
                                "Location: " + secure.base() + "/down302\r\n", "")};
    return Answer("in clear");
  });
  clear = plain.base();
  // The requests that reached the plain server (a connection that the guard closes before
  // sending anything records an empty one).
  const auto sentInClear = [&plain] {
    std::vector<std::string> paths;
    for (const std::string& request : plain.requests())
      if (!request.empty()) paths.push_back(RequestPath(request));
    return paths;
  };

  const struct {
    const char* name;
    std::string address;
    bool noAutomaticRedirect;
    std::string page;
    std::vector<std::string> sentInClear;
  } cases[] = {
      {"301 to http, platform redirects", secure.base() + "/down301?q=1", false, "", {}},
      {"301 to http, own repeat only", secure.base() + "/down301?q=1", true, "", {}},
      {"302 to http", secure.base() + "/down302", false, "", {}},
      {"http to https to http", clear + "/up", false, "", {"/up"}},
      {"301 to https is followed", secure.base() + "/across", true, "secure page", {}},
      {"301 to https by the platform", secure.base() + "/across", false, "secure page", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FetchPage(c.address, {.noAutomaticRedirect = c.noAutomaticRedirect}), c.page);
    EXPECT_EQ(sentInClear(), c.sentInClear);
    plain.ClearRequests();
  }
}

// A body up to the cap is the page; one byte more and the page is unreachable, whether its
// length is announced or not.
TEST_F(FetchPageTest, BodyCapMakesALongerPageUnreachable) {
  constexpr std::size_t kCap = 4000;
  SetFetchLimits({kCap, std::chrono::seconds(60)});
  const struct {
    const char* name;
    std::size_t size;
    bool announced;
    bool read;
  } cases[] = {
      {"at the cap", kCap, true, true},
      {"one byte over", kCap + 1, true, false},
      {"at the cap, no length", kCap, false, true},
      {"one byte over, no length", kCap + 1, false, false},
      {"far over, no length", 100 * kCap, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string body(c.size, 'b');
    RawServer server([&](const std::string&) {
      return RawReply{c.announced ? RawAnswer("HTTP/1.1 200 OK", "Set-Cookie: s=1\r\n", body)
                                  : "HTTP/1.1 200 OK\r\nSet-Cookie: s=1\r\nConnection: close\r\n\r\n" + body};
    });
    std::string raw, newCookies;
    EXPECT_EQ(FetchPageBytes(server.base() + "/big", {.newCookies = &newCookies, .rawHeaders = &raw}),
              c.read ? body : "");
    // Unreachable: as if no answer had come.
    if (!c.read) {
      EXPECT_EQ(raw, std::string(5000, ' '));
      EXPECT_EQ(newCookies, "");
    } else {
      EXPECT_EQ(newCookies, "s=1");
    }
  }
}

// A body that keeps trickling in (never stalling) is given up at the deadline: the
// process-wide one, or the call's own when it names one.
TEST_F(FetchPageTest, DeadlineEndsATricklingBody) {
  LocalServer server;
  std::atomic<bool> stop{false};
  server.server().Get("/trickle", [&](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [&](std::size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      sink.write("x", 1);
      return !stop.load();
    });
  });
  server.server().Get("/quick", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("quick", "text/plain");
  });
  server.Start();
  using std::chrono::milliseconds;
  const struct {
    const char* name;
    milliseconds processWide;
    milliseconds call;
  } cases[] = {
      {"process-wide deadline", milliseconds(600), milliseconds(0)},
      {"the call's own deadline", milliseconds(60000), milliseconds(600)},
      {"the call's own deadline is shorter", milliseconds(600000), milliseconds(600)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetFetchLimits({std::size_t{64} << 20, c.processWide});
    const auto start = std::chrono::steady_clock::now();
    std::string raw;
    EXPECT_EQ(FetchPage(server.base() + "/trickle", {.rawHeaders = &raw, .deadline = c.call}), "");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, milliseconds(550));
    EXPECT_LT(took, milliseconds(5000));
    EXPECT_EQ(raw, std::string(5000, ' '));
    // Within the deadline a page is read as ever.
    EXPECT_EQ(FetchPage(server.base() + "/quick", {.deadline = c.call}), "quick");
  }
  stop = true;
}

}  // namespace
}  // namespace morvane
