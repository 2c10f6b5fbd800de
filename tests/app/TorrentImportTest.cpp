#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/TorrentImport.h"
#include "platform/ControlNames.h"
#include "tests/app/AppTestSession.h"
#include "tests/support/ReferenceSha1.h"
#include "tests/support/ScratchFolder.h"
#include "tests/torrent/BencodedText.h"
#include "web/Text.h"

namespace morvane::testing {
namespace {

const std::string kPrefix = "magnet:?xt=urn:btih:";
const std::string kNotice = "publisher.test:8080/adminapi/vexapi/gg/ada.html";
using testing::Sha1Hex;

// Imports with the dialog answering `choice` ("" cancels) and waits until the playback it
// starts, if any, has put its link at the top of the history.
void Import(AppSession& s, const std::string& choice) {
  const std::size_t before = s.ui.Rows(kHistory).size();
  const std::size_t navigations = s.ui.Navigations(kPlayer).size();
  s.ui.ChooseFiles({choice});
  ImportTorrentFile(s.program);
  if (s.ui.Navigations(kPlayer).size() == navigations) return;  // nothing plays
  ASSERT_TRUE(s.ui.WaitUntil([&] {
    const auto rows = s.ui.Rows(kHistory);
    return rows.size() > before && !rows[0].empty() && !rows[0][0].empty();
  }));
}

TEST(ImportTorrentFile, PutsTheMagnetLinkOfTheInfoHashIntoTheLinkBoxAndPlaysIt) {
  ResolutionService service([](const std::string&) { return "<file>http://m.test/v.mp4</file>"; });
  auto& s = NewSession(ServiceSettings(service.host()));
  ScratchFolder folder;
  const std::string info =
      "d6:lengthi5e4:name5:a.txt12:piece lengthi16384e6:pieces20:" + std::string(20, '\xAB') + "e";
  const std::string canonical =
      folder.Write("good.torrent", "d8:announce" + Str("http://t/a") + "4:info" + info + "e");
  const std::string chinese =
      folder.Write("\xe7\xa7\x8d\xe5\xad\x90.torrent", "d4:info" + info + "e");
  // An emoji, Hangul and n with tilde: characters that GBK lacks.
  const std::string beyondGbk = folder.Write(
      "\xf0\x9f\x98\x80 \xed\x95\x9c\xea\xb5\xad \xc3\xb1.torrent", "d4:info" + info + "e");
  const std::string noInfo = folder.Write("noinfo.torrent", "d7:comment1:ce");
  const std::string garbage = folder.Write("garbage.torrent", "this is no bencode");

  struct Step {
    const char* what;
    std::string choice;  // the file system's name; "" cancels the dialog
    std::string link;    // expected in 编辑框1
    bool plays;
  } steps[] = {
      {"cancel before any choice", "", "", false},
      {"canonical torrent", canonical, kPrefix + Sha1Hex(info), true},
      {"cancel imports the last choice again", "", kPrefix + Sha1Hex(info), true},
      {"torrent without info", noInfo, kPrefix + Sha1Hex("de"), true},
      {"no bencode: the bare prefix still plays", garbage, kPrefix, true},
      {"a Chinese file name", chinese, kPrefix + Sha1Hex(info), true},
      {"a file name with characters GBK lacks", beyondGbk, kPrefix + Sha1Hex(info), true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const std::size_t navigations = s.ui.Navigations(kPlayer).size();
    s.ui.SetText(kLinkBox, "stale");
    Import(s, step.choice);
    EXPECT_EQ(s.ui.Text(kLinkBox), step.link);
    const auto shown = s.ui.Navigations(kPlayer);
    if (step.plays) {
      ASSERT_GT(shown.size(), navigations);
      EXPECT_EQ(shown[navigations], kNotice);
      EXPECT_EQ(s.ui.Rows(kHistory)[0][0], step.link);
      EXPECT_EQ(service.Targets().back(), "/xml.php?url=" + step.link);
    } else {
      EXPECT_EQ(shown.size(), navigations);
    }
  }
  const auto filters = s.ui.Filters();
  ASSERT_EQ(filters.size(), std::size(steps));
  EXPECT_EQ(filters[0], Gbk("种子文件(*.torrent)|*.torrent"));
}

}  // namespace
}  // namespace morvane::testing
