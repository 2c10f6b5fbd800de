#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/ReferenceSha1.h"
#include "tests/support/ScratchFolder.h"
#include "tests/torrent/BencodedText.h"
#include "torrent/Torrent.h"
#include "torrent/TorrentFileInfo.h"

// The tables name only the members that differ from the initial record.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace morvane {
namespace {

using namespace std::string_literals;
using testing::Str;
using testing::ScratchFolder;
using testing::Sha1Hex;

std::unique_ptr<TorrentFileInfo> ReadBytes(const std::string& bytes) {
  ScratchFolder folder;
  return ReadTorrentFileInfo(folder.Write("t.torrent", bytes));
}

// Every member but the hash and the date, for comparing whole records.
struct Members {
  std::string trackers, comment, createdBy, name;
  std::int64_t totalLength = 0;
  std::int32_t pieceLength = 0, pieceCount = 0;
  std::vector<std::int64_t> fileLengths;
  std::vector<std::string> filePaths;
  bool operator==(const Members&) const = default;
};

Members MembersOf(const TorrentFileInfo& r) {
  return {r.trackers,    r.comment,    r.createdBy,   r.name,     r.totalLength,
          r.pieceLength, r.pieceCount, r.fileLengths, r.filePaths};
}

std::ostream& operator<<(std::ostream& out, const Members& m) {
  out << "{trackers=" << m.trackers << " comment=" << m.comment << " createdBy=" << m.createdBy
      << " name=" << m.name << " total=" << m.totalLength << " pieceLength=" << m.pieceLength
      << " pieces=" << m.pieceCount << " files=";
  for (std::size_t i = 0; i < m.fileLengths.size(); ++i)
    out << m.fileLengths[i] << "@" << (i < m.filePaths.size() ? m.filePaths[i] : "?") << ",";
  return out << "}";
}

std::string Info(const std::string& entries) {
  return "4:infod" + entries + "e";
}
std::string File(const std::string& length, const std::string& path) {
  return "d6:length" + length + "4:path" + path + "e";
}

struct MetadataCase {
  const char* what;
  std::string torrent;
  Members expected;
};

class MetadataTable : public ::testing::TestWithParam<MetadataCase> {};

TEST_P(MetadataTable, FillsTheRecord) {
  const MetadataCase& c = GetParam();
  auto record = ReadBytes(c.torrent);
  ASSERT_TRUE(record);
  EXPECT_EQ(MembersOf(*record), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Torrent, MetadataTable,
    ::testing::Values(
        MetadataCase{"single file",
                     "d" +
                         Info("6:lengthi1000e4:name3:abc12:piece lengthi16384e6:pieces" +
                              Str(std::string(20, 'p'))) +
                         "e",
                     {.name = "abc", .totalLength = 1000, .pieceLength = 16384, .pieceCount = 1}},
        MetadataCase{"files beyond 4 GiB",
                     "d" +
                         Info("5:filesl" + File("i3221225472e", "l1:a5:b.txte") +
                              File("i2147483648e", "l1:ce") + File("i0e", "le") + "e") +
                         "e",
                     {.totalLength = 5368709120,
                      .fileLengths = {3221225472, 2147483648, 0},
                      .filePaths = {"\\a\\b.txt", "\\c", ""}}},
        MetadataCase{"second entry without path",
                     "d" + Info("5:filesl" + File("i1e", "l1:ae") + "d6:lengthi2eee") + "e",
                     {}},
        MetadataCase{"negative entry length",
                     "d" + Info("5:filesl" + File("i-1e", "l1:ae") + "e") + "e",
                     {}},
        MetadataCase{"path component not a string",
                     "d" + Info("5:filesl" + File("i1e", "li1ee") + "e") + "e",
                     {}},
        MetadataCase{"files not a list, length not an integer, piece length a string",
                     "d" + Info("5:files3:abc6:length3:xyz4:name1:n12:piece length2:16") + "e",
                     {.name = "n"}},
        MetadataCase{"upper-case announce with port and path",
                     "d8:announce" + Str("HTTP://Tracker.Example.COM:6969/Announce") + "e",
                     {.trackers = "tracker.example.com:6969;"}},
        MetadataCase{
            "announce with a port and no path", "d8:announce" + Str("http://t.org:8080") + "e", {}},
        MetadataCase{"the same address in announce-list is completed",
                     "d8:announce" + Str("http://t.org:8080") + "13:announce-listl" +
                         Str("http://t.org:8080") + "ee",
                     {.trackers = "t.org:8080;"}},
        MetadataCase{"announce-list replaces announce; tiers, schemes and kinds",
                     "d8:announce" + Str("http://main/") + "13:announce-listll" + Str("http://a/") +
                         Str("udp://b:1/") + "i1ee" + Str("c:7/x") + "i5e" + Str("d") +
                         Str("https://e/") + "ee",
                     {.trackers = "a:80;udp:0;c:7;d:80;https:0;"}},
        MetadataCase{
            "announce-list without announce", "d13:announce-listl" + Str("http://a/") + "ee", {}},
        MetadataCase{"udp announce", "d8:announce" + Str("udp://t.org:80/announce") + "e", {}},
        MetadataCase{"repeated trackers stay",
                     "d8:announce1:x13:announce-listl" + Str("http://a/") + Str("http://a/") + "ee",
                     {.trackers = "a:80;a:80;"}},
        MetadataCase{"pieces of 41 bytes",
                     "d" + Info("6:pieces" + Str(std::string(41, 'x'))) + "e",
                     {.pieceCount = 3}},
        MetadataCase{"pieces not a string", "d" + Info("6:piecesi5e") + "e", {}},
        MetadataCase{
            "texts as they stand; comment integer",
            "d7:commenti42e10:created by" + Str("maker 1.0") +
                Info("4:name" + Str("\xe4\xb8\xad\xe6\x96\x87")) + "e",
            {.comment = "42", .createdBy = "maker 1.0", .name = "\xe4\xb8\xad\xe6\x96\x87"}},
        MetadataCase{"name and comment with NUL bytes",
                     "d7:comment3:a\0b"s + Info("4:name2:\0z"s) + "e",
                     {.comment = "a b", .name = " z"}},
        MetadataCase{"name looked up in info only", "d4:name1:x" + Info("") + "e", {}},
        MetadataCase{"piece length low 32 bits",
                     "d" + Info("12:piece lengthi4294967297e") + "e",
                     {.pieceLength = 1}},
        MetadataCase{"not a dictionary", "li1ee", {}}, MetadataCase{"not bencode", "hello", {}}),
    [](const auto& info) {
      std::string name;
      for (char c : std::string(info.param.what)) name += std::isalnum((unsigned char)c) ? c : '_';
      return name;
    });

TEST(TorrentInfoHash, CoversTheReencodedInfoDictionary) {
  const std::string canonicalInfo =
      "d6:lengthi5e4:name5:a.txt12:piece lengthi16384e6:pieces20:" + std::string(20, '\x01') + "e";
  // Out of order, and "name" repeated. The repeat shortens the re-encoding, so the top
  // level goes on reading inside the info bytes: here it lands on the "e" of "i5e" and ends.
  const std::string messyInfo = "d4:name3:xxe6:lengthi5e4:name1:ae";
  struct Case {
    const char* what;
    std::string torrent;
    std::string expectedHash;
  } cases[] = {
      {"canonical: the raw info bytes",
       "d8:announce" + Str("http://t/") + "4:info" + canonicalInfo + "e", Sha1Hex(canonicalInfo)},
      // Sorted, one entry per key, canonical numbers: not the bytes in the file.
      {"keys out of order and repeated", "d4:info" + messyInfo + "e",
       Sha1Hex("d6:lengthi5e4:name1:ae")},
      {"keys out of order", "d4:infod4:name1:a6:lengthi5eee", Sha1Hex("d6:lengthi5e4:name1:ae")},
      {"no info", "d8:announce" + Str("http://t/") + "e", Sha1Hex("de")},
      {"info not a dictionary", "d4:infoli1eee", Sha1Hex("de")},
  };
  for (const Case& c : cases) {
    auto record = ReadBytes(c.torrent);
    EXPECT_EQ(record->infoHash, c.expectedHash) << c.what;
    EXPECT_EQ(record->infoHash.find_first_not_of("0123456789abcdef"), std::string::npos);
  }
  EXPECT_NE(Sha1Hex(messyInfo), Sha1Hex("d6:lengthi5e4:name1:ae"));
  for (std::string bad : {"", "not bencode", "i5e"}) EXPECT_EQ(ReadBytes(bad)->infoHash, "") << bad;

  ScratchFolder folder;
  CTorrent torrent;
  ASSERT_TRUE(torrent.LoadFile(folder.Write("c", "d4:info" + canonicalInfo + "e")));
  const std::string raw = torrent.InfoHashText(false);
  ASSERT_EQ(raw.size(), 20u);
  EXPECT_EQ(torrent.InfoHashText(true).substr(0, 2),
            std::string(1, "0123456789abcdef"[(unsigned char)raw[0] >> 4]) +
                "0123456789abcdef"[(unsigned char)raw[0] & 15]);
}

TEST(TorrentFileInfo, InitialStateAndRelease) {
  auto empty = ReadTorrentFileInfo("");
  EXPECT_EQ(MembersOf(*empty), Members{});
  EXPECT_EQ(empty->infoHash, "");
  EXPECT_EQ(empty->creationDate, -657434.0);
  auto missing = ReadTorrentFileInfo("/nonexistent/dir/x.torrent");
  EXPECT_EQ(MembersOf(*missing), Members{});
  ScratchFolder folder;
  EXPECT_EQ(ReadTorrentFileInfo(folder.Path(""))->infoHash, "");  // a directory

  auto record = ReadBytes("d7:comment1:c" + Info("5:filesl" + File("i9e", "l1:fe") + "e") + "e");
  ReleaseTorrentFileInfo(*record);
  EXPECT_TRUE(record->comment.empty() && record->infoHash.empty() && record->filePaths.empty() &&
              record->fileLengths.empty());
  EXPECT_EQ(record->totalLength, 9);
  InitTorrentFileInfo(*record);
  EXPECT_EQ(MembersOf(*record), Members{});
}

TEST(TorrentDate, EncodesDaysSinceTheEpochOfThe30thOfDecember1899) {
  struct Case {
    int year, month, day, hour, minute, second;
    std::optional<double> value;
  } cases[] = {
      {1899, 12, 30, 0, 0, 0, 0.0},
      {1899, 12, 30, 18, 0, 0, 0.75},
      {1899, 12, 29, 12, 0, 0, -1.5},  // before the epoch the fraction is subtracted
      {1900, 1, 1, 6, 0, 0, 2.25},
      {1970, 1, 1, 0, 0, 0, 25569.0},
      {100, 1, 1, 0, 0, 0, -657434.0},
      {2000, 2, 29, 0, 0, 0, 36585.0},
      {2038, 1, 19, 3, 14, 7, 50424.0 + (3 * 3600 + 14 * 60 + 7) / 86400.0},
      {9999, 12, 31, 0, 0, 0, 2958465.0},
      {1900, 2, 29, 0, 0, 0, std::nullopt},
      {2001, 4, 31, 0, 0, 0, std::nullopt},
      {2001, 13, 1, 0, 0, 0, std::nullopt},
      {2001, 0, 1, 0, 0, 0, std::nullopt},
      {10000, 1, 1, 0, 0, 0, std::nullopt},
      {2001, 1, 1, 24, 0, 0, std::nullopt},
      {2001, 1, 1, 0, 60, 0, std::nullopt},
      {2001, 1, 1, 0, 0, 60, std::nullopt},
  };
  for (const Case& c : cases) {
    const auto value = EncodeDateTime(c.year, c.month, c.day, c.hour, c.minute, c.second);
    ASSERT_EQ(value.has_value(), c.value.has_value()) << c.year << "-" << c.month << "-" << c.day;
    if (value) {
      EXPECT_DOUBLE_EQ(*value, *c.value) << c.year << "-" << c.month << "-" << c.day;
    }
  }
}

TEST(TorrentDate, CreationDateInTheLocalTimeZone) {
  const char* saved = std::getenv("TZ");
  const std::string savedZone = saved ? saved : "";
  struct Case {
    const char* zone;
    std::string torrent;
    double expected;
  } cases[] = {
      {"UTC0", "d13:creation datei0ee", 25569.0},
      {"CST-8", "d13:creation datei0ee", 25569.0 + 8 / 24.0},
      {"EST5", "d13:creation datei0ee", 25568.0 + 19 / 24.0},
      {"UTC0", "d13:creation datei2147483647ee", 50424.0 + (3 * 3600 + 14 * 60 + 7) / 86400.0},
      {"UTC0", "d13:creation datei4294967296ee", 25569.0},  // low 32 bits
      {"UTC0", "d13:creation datei-1ee", kEmptyDate},
      {"UTC0", "d13:creation date3:123e", kEmptyDate},
      {"UTC0", "d4:infod13:creation datei0eee", kEmptyDate},
  };
  for (const Case& c : cases) {
    setenv("TZ", c.zone, 1);
    tzset();
    EXPECT_DOUBLE_EQ(ReadBytes(c.torrent)->creationDate, c.expected) << c.zone << " " << c.torrent;
  }
  if (saved)
    setenv("TZ", savedZone.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(TorrentUrls, SplitHttpUrl) {
  struct Case {
    std::string url;
    bool ok;
    std::string host;
    int port;
    std::string path;
  } cases[] = {
      {"http://a.b/x", true, "a.b", 80, "/x"},
      {"http://a.b", true, "a.b", 80, ""},
      {"http://a.b:81/x/y", true, "a.b", 81, "/x/y"},
      {"xyz http://a.b:81/", true, "a.b", 81, "/"},
      {"http://a.b:81", false, "", 0, ""},
      {"udp://a.b:81/", false, "", 0, ""},
      {"https://a.b/", false, "", 0, ""},
      {"HTTP://a.b/", false, "", 0, ""},
      // The first colon after the scheme ends the host, wherever it is.
      {"http://a.b/p?u=http://c:9/", true, "a.b/p?u=http", 0, "//c:9/"},
      {"http://h:-5/", true, "h", -5, "/"},
      {"http://h:99999999999/", true, "h", 2147483647, "/"},
      {"http://h:12ab/", true, "h", 12, "/"},
  };
  for (const Case& c : cases) {
    const auto parts = SplitHttpUrl(c.url);
    ASSERT_EQ(parts.has_value(), c.ok) << c.url;
    if (!parts) continue;
    EXPECT_EQ(parts->host, c.host) << c.url;
    EXPECT_EQ(parts->port, c.port) << c.url;
    EXPECT_EQ(parts->path, c.path) << c.url;
  }
}

TEST(TorrentUrls, CompleteTrackerUrlAndLowerAscii) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"\r\n", "\r\n"},
      {"\n", "\n"},
      {"a", "http://a/"},
      {"http://a", "http://a/"},
      {"http://a/", "http://a/"},
      {"udp://a:1", "http://udp://a:1/"},
  };
  for (auto [url, expected] : cases) {
    CompleteTrackerUrl(url);
    EXPECT_EQ(url, expected);
  }
  std::string text = "AbZ\xC0\xE9-09";
  LowerAscii(text);
  EXPECT_EQ(text, "abz\xC0\xE9-09");
}

}  // namespace
}  // namespace morvane
