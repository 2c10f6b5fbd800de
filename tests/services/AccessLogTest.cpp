#include "services/AccessLog.h"

#include <gtest/gtest.h>

namespace morvane::services {
namespace {

TEST(AccessLog, FieldsCannotDriveTheTerminalOrStartALine) {
  struct Case {
    std::string field;
    std::string logged;
  };
  const Case cases[] = {
      {"/xml.php?url=magnet:?xt=urn:btih:ab", "/xml.php?url=magnet:?xt=urn:btih:ab"},
      {"/search/中国合伙人", "/search/中国合伙人"},
      {"/a\nresolution GET /forged 200", "/a\\x0aresolution GET /forged 200"},
      {"/\x1b[2J\x1b]0;title\x07", "/\\x1b[2J\\x1b]0;title\\x07"},
      {"/\r\t\x7f", "/\\x0d\\x09\\x7f"},
      {std::string("/\0z", 3), "/\\x00z"},
      {"/back\\x1b", "/back\\\\x1b"},
      {"/\xc2\x9b" "31m", "/\\xc2\\x9b31m"},          // C1 CSI written as UTF-8
      {"/\x9b" "31m", "/\\x9b31m"},                   // and as a bare byte
      {"/\xd6\xd0\xce\xc4", "/\\xd6\\xd0\\xce\\xc4"},  // GBK bytes are not UTF-8
      {"/\xe4\xb8", "/\\xe4\\xb8"},                   // a cut sequence
      {"/\xc0\xaf", "/\\xc0\\xaf"},                   // an overlong "/"
      {"/\xed\xa0\x80", "/\\xed\\xa0\\x80"},          // a surrogate
      {"/\xf0\x9f\x8e\xac", "/\xf0\x9f\x8e\xac"},     // an emoji stays
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    EXPECT_EQ(EscapeLogField(c.field), c.logged);
  }
  EXPECT_EQ(AccessLogLine("resolution", "GET\x1b", "/a\nb", 200),
            "resolution GET\\x1b /a\\x0ab 200");
}

}  // namespace
}  // namespace morvane::services
