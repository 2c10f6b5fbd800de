// The rules that need no server: the parts of an address, what a response's header text
// says, and the cookie merge.

#include <gtest/gtest.h>

#include <string>

#include "web/Cookies.h"
#include "web/UrlParts.h"

namespace morvane {
namespace {

struct AddressCase {
  const char* name;
  std::string address;
  std::string host;
  long long port;
  std::string path;
  bool secure;
};

TEST(AddressParts, FollowTheAddressRules) {
  const AddressCase cases[] = {
      {"no scheme", "example.com/a", "example.com", 80, "/a", false},
      {"secure, upper-case host, port, no path", "HTTPS://Example.COM:8443", "example.com", 8443,
       "/", true},
      {"secure default port", "https://a.example/x", "a.example", 443, "/x", true},
      {"query and escapes unchanged", "http://Host.example/Dir/a?Q=%2f%E4x&b=C", "host.example", 80,
       "/Dir/a?Q=%2f%E4x&b=C", false},
      {"colon in the path is no port", "http://a.b:81/c:d", "a.b", 81, "/c:d", false},
      {"port that is no number", "http://a.b:x/c", "a.b", 0, "/c", false},
      {"host found inside the scheme", "http://t/x", "t", 80, "/x", false},
      {"host named like the scheme", "https://https/p", "https", 443, "/p", true},
      {"scheme-less host beginning with https", "httpsmirror.example/a", "httpsmirror.example", 80,
       "/a", false},
      {"query directly after the host", "http://a.b?x=1", "a.b?x=1", 80, "/", false},
      // The second byte of a GBK character may be an upper-case ASCII letter; it stays.
      {"GBK in the path", "http://A.B/\xC4\x41", "a.b", 80, "/\xC4\x41", false},
  };
  for (const AddressCase& c : cases) {
    SCOPED_TRACE(c.name);
    const AddressParts parts = SplitAddress(c.address);
    EXPECT_EQ(parts.host, c.host);
    EXPECT_EQ(parts.port, c.port);
    EXPECT_EQ(parts.path, c.path);
    EXPECT_EQ(parts.secure, c.secure);
  }
}

struct HeaderCase {
  const char* name;
  std::string raw;
  std::string newCookies;
  std::string redirectTarget;  // "=" stands for the whole header text
  bool moved;
};

TEST(ResponseHeaders, GiveCookiesTargetAndStatus) {
  const HeaderCase cases[] = {
      {"cookie attributes dropped",
       "HTTP/1.1 200 OK\r\nSet-Cookie: a=1; path=/\r\nSet-Cookie: b=2; HttpOnly", "a=1; b=2", "=",
       false},
      {"cookie without attributes", "HTTP/1.1 200 OK\r\nSet-Cookie: c=3", "c=3", "=", false},
      {"empty cookie item skipped", "HTTP/1.1 200 OK\r\nSet-Cookie: ; path=/\r\nSet-Cookie: e=5",
       "e=5", "=", false},
      {"full address as location",
       "HTTP/1.1 301 Moved Permanently\r\nLocation: http://x.example:81/y?z=1", "",
       "http://x.example:81/y?z=1", true},
      {"later location wins", "HTTP/1.1 302 Found\r\nLocation: /one\r\nLocation: /two", "", "/two",
       false},
      {"302 Moved Temporarily is no 301", "HTTP/1.1 302 Moved Temporarily\r\nLocation: /t", "",
       "/t", false},
      {"HTTP/1.0 301 is not followed", "HTTP/1.0 301 Moved Permanently\r\nLocation: /t", "", "/t",
       false},
      {"status compared ignoring case", "http/1.1 301 moved\r\nLocation: /t", "", "/t", true},
      {"oversized headers read as blanks", std::string(5000, ' '), "", "=", false},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ResponseHeaderFacts facts = AnalyseResponseHeaders(c.raw);
    EXPECT_EQ(facts.newCookies, c.newCookies);
    EXPECT_EQ(facts.redirectTarget, c.redirectTarget == "=" ? c.raw : c.redirectTarget);
    EXPECT_EQ(facts.movedPermanently, c.moved);
  }
}

struct MergeCase {
  const char* name;
  std::string old;
  std::string added;
  std::string merged;
};

TEST(MergeCookies, NewValuesFirstThenTheUntouchedOld) {
  const MergeCase cases[] = {
      {"new value replaces old", "a=1; b=2", "b=3; c=4", "b=3; c=4; a=1"},
      {"deleted cookie goes with its old value", "sid=x; u=1", "sid=deleted", "u=1"},
      {"repeats removed", "", "a=1; a=1", "a=1"},
      {"nothing new", "a=1; b=2", "", "a=1; b=2"},
      {"nothing old", "", "a=1", "a=1"},
      {"spaces inside values removed", "a=x y", "b = 2", "b=2; a=xy"},
      {"names compare exactly", "A=1", "a=2", "a=2; A=1"},
      {"item without value is its own name", "flag; a=1", "flag", "flag; a=1"},
      {"ideographic space removed", "a=1\xA1\xA1", "b=2", "b=2; a=1"},
      // B0 A1 followed by A1 B0: the A1 A1 in the middle belongs to two characters.
      {"no ideographic space across characters", "a=\xB0\xA1\xA1\xB0", "", "a=\xB0\xA1\xA1\xB0"},
      {"empty pieces dropped", "a=1;;b=2", "c=3;", "c=3; a=1; b=2"},
      {"deleted new cookie without old one", "a=1", "x=deleted", "a=1"},
  };
  for (const MergeCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string cookies = c.old;
    EXPECT_EQ(MergeCookies(cookies, c.added), c.merged);
    EXPECT_EQ(cookies, c.merged);
  }
}

}  // namespace
}  // namespace morvane
