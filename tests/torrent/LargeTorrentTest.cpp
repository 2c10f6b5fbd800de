// Large torrents take the other road through the import: the info digest is worked out on
// a thread of its own beside the reading of the record. The record must be the one
// the plain road gives, also with several imports at once.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ReferenceSha1.h"
#include "tests/support/ScratchFolder.h"
#include "tests/torrent/BencodedText.h"
#include "torrent/Bencode.h"
#include "torrent/Torrent.h"
#include "torrent/TorrentFileInfo.h"

namespace morvane {
namespace {

using testing::Sha1Hex;
using testing::Str;
using testing::ScratchFolder;

// An info dictionary of `files` entries; `keysOutOfOrder` gives one entry in the middle
// its keys in the wrong order, which makes the bytes differ from the encoding.
std::string LargeInfo(int files, bool keysOutOfOrder = false) {
  std::string list = "l";
  for (int i = 0; i < files; ++i) {
    const std::string length = "6:lengthi" + std::to_string(i) + "e";
    const std::string path = "4:pathl" + Str("dir-" + std::to_string(i % 7)) +
                             Str("file-" + std::to_string(i) + ".bin") + "e";
    list += "d" + (keysOutOfOrder && i == files / 2 ? path + length : length + path) + "e";
  }
  list += "e";
  return "d5:files" + list + "4:name" + Str("large") + "12:piece lengthi262144e6:pieces" +
         Str(std::string(20 * 40000, '\x5a')) + "e";
}

std::string LargeTorrent(const std::string& info) {
  return "d8:announce" + Str("http://tracker.test:6969/announce") + "7:comment" +
         Str("many files") + "13:creation datei1700000000e4:info" + info + "e";
}

// The record as the plain road fills it: decoded here, hashed here.
TorrentFileInfo PlainRecord(const std::string& bytes) {
  TorrentFileInfo record;
  CTorrent torrent;
  if (torrent.LoadBytes(bytes)) FillTorrentFileInfo(torrent, record);
  return record;
}

void ExpectSameRecord(const TorrentFileInfo& got, const TorrentFileInfo& want) {
  EXPECT_EQ(got.trackers, want.trackers);
  EXPECT_EQ(got.comment, want.comment);
  EXPECT_EQ(got.createdBy, want.createdBy);
  EXPECT_EQ(got.name, want.name);
  EXPECT_EQ(got.totalLength, want.totalLength);
  EXPECT_EQ(got.pieceLength, want.pieceLength);
  EXPECT_EQ(got.pieceCount, want.pieceCount);
  EXPECT_EQ(got.fileLengths, want.fileLengths);
  EXPECT_EQ(got.filePaths, want.filePaths);
  EXPECT_EQ(got.infoHash, want.infoHash);
  EXPECT_EQ(got.creationDate, want.creationDate);
}

TEST(LargeTorrent, ImportsAsThePlainRoadDoes) {
  ScratchFolder folder;
  struct Case {
    const char* what;
    std::string info;
    bool canonical;
  } cases[] = {
      {"canonical", LargeInfo(12000), true},
      {"keys out of order", LargeInfo(12000, true), false},
  };
  for (const Case& c : cases) {
    const std::string bytes = LargeTorrent(c.info);
    ASSERT_GE(bytes.size(), InfoDigest::kBackgroundFrom) << c.what;
    const auto record = ReadTorrentFileInfo(folder.Write("large.torrent", bytes));
    const TorrentFileInfo want = PlainRecord(bytes);
    ASSERT_EQ(want.fileLengths.size(), 12000u) << c.what;
    ExpectSameRecord(*record, want);
    // Hashed from the file's bytes only when they are the dictionary's encoding.
    EXPECT_EQ(record->infoHash == Sha1Hex(c.info), c.canonical) << c.what;
    auto encoded = SerializeDictionary(
        *static_cast<const CAtomDicti&>(*ParseValue(bytes.data(), bytes.size(), 0)).Lookup("info"));
    ASSERT_TRUE(encoded.has_value());
    EXPECT_EQ(record->infoHash, Sha1Hex(*encoded)) << c.what;
  }
}

TEST(LargeTorrent, ALargeFileThatIsNoTorrentGivesTheInitialRecord) {
  ScratchFolder folder;
  for (const std::string& bytes : {std::string(InfoDigest::kBackgroundFrom + 10, 'x'),
                                   "l" + std::string(InfoDigest::kBackgroundFrom, 'l'),
                                   "d4:info" + std::string(InfoDigest::kBackgroundFrom, '9')}) {
    const auto record = ReadTorrentFileInfo(folder.Write("junk.torrent", bytes));
    TorrentFileInfo initial;
    ExpectSameRecord(*record, initial);
  }
}

TEST(LargeTorrent, TheDigestIsTheSameForEveryReader) {
  ScratchFolder folder;
  const std::string info = LargeInfo(6000);
  ASSERT_GE(info.size(), 1u << 20);  // hashed on a thread of its own
  const std::string path = folder.Write("digest.torrent", LargeTorrent(info));
  CTorrent torrent;
  ASSERT_TRUE(torrent.LoadFile(path));
  std::string seen[4];
  std::vector<std::thread> readers;
  for (std::string& s : seen) readers.emplace_back([&] { s = torrent.InfoHashText(); });
  for (std::thread& reader : readers) reader.join();
  for (const std::string& s : seen) EXPECT_EQ(s, Sha1Hex(info));
}

TEST(LargeTorrent, ImportsAtOnceFromSeveralThreads) {
  ScratchFolder folder;
  const std::string bytes = LargeTorrent(LargeInfo(8000));
  const std::string path = folder.Write("shared.torrent", bytes);
  const TorrentFileInfo want = PlainRecord(bytes);
  std::vector<std::unique_ptr<TorrentFileInfo>> records(12);
  std::vector<std::thread> importers;
  for (int t = 0; t < 3; ++t) {
    importers.emplace_back([&, t] {
      for (int round = 0; round < 4; ++round) records[t * 4 + round] = ReadTorrentFileInfo(path);
    });
  }
  for (std::thread& importer : importers) importer.join();
  for (const auto& record : records) ExpectSameRecord(*record, want);
}

}  // namespace
}  // namespace morvane
