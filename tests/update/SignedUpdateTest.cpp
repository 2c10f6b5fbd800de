// Signed updates end to end in a real process: a copy of the old program, built with or
// without the publisher's key, checks the version, downloads, and either puts the new
// program in place and starts it, or refuses and leaves everything as it was.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/LocalServer.h"
#include "tests/update/ChildProcess.h"
#include "tests/support/ScratchFolder.h"
#include "update/UpdateSignature.h"
#include "web/Text.h"

namespace morvane {
namespace {

using testing::ReadFile;
using Names = std::set<std::string>;

Sha256Digest DigestOf(const std::string& bytes) {
  Sha256 hasher;
  hasher.Add(bytes.data(), bytes.size());
  return hasher.Finish();
}

// The publisher's server: a version page with the given signature field (none when
// `field` is empty) and the program bytes it serves.
class SigningPublisher {
 public:
  SigningPublisher(std::string program, std::string field)
      : program_(std::move(program)), field_(std::move(field)) {
    auto& s = server_.server();
    s.Get("/version.html", [this](const httplib::Request&, httplib::Response& res) {
      std::string page = "<p>1：v4.1.8</p>\r\n<p>2：" + server_.base() +
                         "/files/new</p>\r\n<p>3：morvane-new</p>\r\n";
      if (!field_.empty()) page += "<p>4：" + field_ + "</p>\r\n";
      res.set_content(Gbk(page), "text/html; charset=gbk");
    });
    s.Get("/files/new", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(program_, "application/octet-stream");
    });
    server_.Start();
  }
  std::string VersionPage() const { return server_.base() + "/version.html"; }

 private:
  std::string program_;
  std::string field_;
  testing::LocalServer server_;
};

enum class Field { Good, OfAnotherFile, WithAnotherKey, Missing, Garbage };

TEST(SignedUpdate, OnlyAProgramSignedByThePublishersKeyTakesThePlaceOfTheOldOne) {
  const std::string program = ReadFile(NEW_PROGRAM);
  ASSERT_FALSE(program.empty());
  const auto publisher = GenerateSigningKey();
  const auto stranger = GenerateSigningKey();
  ASSERT_TRUE(publisher && stranger);

  const struct {
    const char* name;
    bool keySet;
    Field field;
    bool flipOneByte;
    bool takesPlace;
  } cases[] = {
      {"good signature", true, Field::Good, false, true},
      {"one flipped byte in the program", true, Field::Good, true, false},
      {"signature of another file", true, Field::OfAnotherFile, false, false},
      {"signature made with another key", true, Field::WithAnotherKey, false, false},
      {"no signature field", true, Field::Missing, false, false},
      {"garbage instead of base64", true, Field::Garbage, false, false},
      {"no key set, a field that would not verify", false, Field::WithAnotherKey, false, true},
      {"no key set, no field", false, Field::Missing, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string field;
    switch (c.field) {
      case Field::Good:
        field = SignDigest(publisher->privateKeyPem, DigestOf(program));
        break;
      case Field::OfAnotherFile:
        field = SignDigest(publisher->privateKeyPem, DigestOf(program + "another release"));
        break;
      case Field::WithAnotherKey:
        field = SignDigest(stranger->privateKeyPem, DigestOf(program));
        break;
      case Field::Missing:
        break;
      case Field::Garbage:
        field = "not*base64!";
        break;
    }
    std::string served = program;
    if (c.flipOneByte) served[served.size() / 2] ^= 0x01;
    SigningPublisher server(served, field);

    testing::ScratchFolder dir{MORVANE_SCRATCH_ROOT};
    const std::string old = dir.path() + "/morvane-old";
    const std::string log = dir.path() + ".log";
    std::filesystem::copy_file(OLD_PROGRAM, old);
    std::filesystem::permissions(old, std::filesystem::perms::owner_all);
    std::vector<std::string> arguments{server.VersionPage(), "update", log};
    if (c.keySet) arguments.push_back(publisher->publicKey);
    ASSERT_EQ(testing::RunToEnd(old, arguments), 0);
    const std::vector<std::string> lines = testing::LogLines(log);
    std::filesystem::remove(log);

    if (c.takesPlace) {
      EXPECT_EQ(lines.back(), "end 0");
      EXPECT_TRUE(testing::Eventually([&] {
        return dir.Names() == Names{"morvane-new", "started"};
      })) << ::testing::PrintToString(dir.Names());
      // Compared as a truth value: a failure would print every byte of the programs.
      EXPECT_TRUE(ReadFile(dir.path() + "/morvane-new") == served) << "not the served program";
    } else {
      // Refused before the countdown: nothing moved or started, no download left behind.
      const std::vector<std::string> refused = {
          "message 发现新版本 发现新版本：v4.1.8，是否更新？",
          "window",
          "message 信息： 不能打开本地的文件!",
          "end 0",
      };
      EXPECT_EQ(lines, refused);
      EXPECT_EQ(dir.Names(), Names{"morvane-old"});
      EXPECT_TRUE(ReadFile(old) == ReadFile(OLD_PROGRAM)) << "the old program changed";
    }
  }
}

}  // namespace
}  // namespace morvane
