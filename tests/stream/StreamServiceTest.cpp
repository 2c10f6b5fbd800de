#include "stream/StreamService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <thread>

#include "stream/CacheFolder.h"
#include "tests/stream/StreamFixture.h"
#include "tests/support/LocalServer.h"

namespace fs = std::filesystem;

namespace morvane::testing {
namespace {

constexpr std::int64_t kMovieSize = (3 << 20) + 12345;

// A torrent of several files with pad files between them; movie.mp4 is its largest video.
std::vector<SeedFile> PackFiles() {
  return {{"extras/notes.txt", 50000}, {"movie.mp4", kMovieSize}, {"trailer.mkv", 1 << 20}};
}

std::string Base32(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : bytes) {
    buffer = (buffer << 8) | static_cast<unsigned char>(c);
    bits += 8;
    while (bits >= 5) {
      out += "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567"[(buffer >> (bits - 5)) & 31];
      bits -= 5;
    }
  }
  return out;
}

bool HoldsEntryOf(const fs::path& folder, const std::string& hash) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    if (entry.path().filename().string().starts_with(hash)) return true;
  return false;
}

// Whether `done` holds within `limit`, asked every 20 ms.
bool Eventually(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Whether a resume file records pieces [0, count) as held.
bool ResumeHoldsFirstPieces(const fs::path& file, int count) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  libtorrent::error_code ec;
  const libtorrent::add_torrent_params params = libtorrent::read_resume_data(bytes, ec);
  if (ec || params.have_pieces.size() < count) return false;
  for (int p = 0; p < count; ++p)
    if (!params.have_pieces.get_bit(libtorrent::piece_index_t{p})) return false;
  return true;
}

// The "bytesVerified" figure of a stream's status, -1 when there is none.
std::int64_t BytesVerified(int port, const std::string& hash) {
  const std::string body = RawGet(port, "/status/" + hash).body;
  const std::string key = "\"bytesVerified\":";
  const auto at = body.find(key);
  return at == std::string::npos ? -1 : std::stoll(body.substr(at + key.size()));
}

std::string RangeHeader(std::int64_t begin, std::int64_t end) {
  return "Range: bytes=" + std::to_string(begin) + "-" + std::to_string(end - 1) + "\r\n";
}

using StreamServiceTest = StreamFixture;

TEST_F(StreamServiceTest, AnswersEveryKindOfLink) {
  StartService();
  const auto seeder = MakeSeeder("pack", PackFiles());
  const auto textOnly = MakeSeeder("notes", {{"notes.txt", 4000}});
  const fs::path torrentFile = seeder->WriteTorrentFile(Root() / "pack file.torrent");
  const fs::path textTorrent = textOnly->WriteTorrentFile(Root() / "notes.torrent");
  const fs::path broken = Root() / "broken.torrent";
  {
    std::string junk(seeder->TorrentBytes().begin(), seeder->TorrentBytes().end());
    junk.resize(junk.size() / 2);  // cut inside the info dictionary
    std::FILE* f = std::fopen(broken.c_str(), "wb");
    std::fwrite(junk.data(), 1, junk.size(), f);
    std::fclose(f);
  }
  LocalServer web;
  web.server().Get("/pack.torrent", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(std::string(seeder->TorrentBytes().begin(), seeder->TorrentBytes().end()),
                         "application/x-bittorrent");
  });
  web.Start();

  const std::string hash = seeder->InfoHashHex();
  const std::string video = Base() + "/stream/" + hash + "/movie.mp4";
  const std::string peer = "&x.pe=127.0.0.1:" + std::to_string(seeder->Port());
  const std::string thunderMagnet = [&] {
    const std::string inner = "AA" + seeder->MagnetLink() + "ZZ";
    std::string encoded;
    static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < inner.size(); i += 3) {
      unsigned v = static_cast<unsigned char>(inner[i]) << 16;
      if (i + 1 < inner.size()) v |= static_cast<unsigned char>(inner[i + 1]) << 8;
      if (i + 2 < inner.size()) v |= static_cast<unsigned char>(inner[i + 2]);
      encoded += a[(v >> 18) & 63];
      encoded += a[(v >> 12) & 63];
      encoded += i + 1 < inner.size() ? a[(v >> 6) & 63] : '=';
      encoded += i + 2 < inner.size() ? a[v & 63] : '=';
    }
    return "thunder://" + encoded;
  }();
  struct Case {
    const char* what;
    std::string link;
    std::string answer;  // "resp: " and a word of the reason for a refusal
  } cases[] = {
      {"magnet, hex hash, peer", seeder->MagnetLink(), video},
      {"magnet, base32 hash", "magnet:?xt=urn:btih:" + Base32(hash) + peer, video},
      {"magnet escaped whole", "magnet%3A%3Fxt%3Durn%3Abtih%3A" + hash + "%26x.pe%3D127.0.0.1%3A" +
                                   std::to_string(seeder->Port()), video},
      {"magnet with trackers", seeder->MagnetLink() + "&tr=http%3A%2F%2F127.0.0.1%3A9%2Fannounce", video},
      {"http .torrent address", web.base() + "/pack.torrent", video},
      {"local .torrent path", torrentFile.string(), video},
      {"file:// .torrent address", "file://" + Root().string() + "/pack%20file.torrent", video},
      {"thunder link of a magnet", thunderMagnet, video},
      {"http media", "http://example.org/v.mp4?x=1", "http://example.org/v.mp4?x=1"},
      {"ftp media", "ftp://127.0.0.1:9/dir/v.mkv", Base() + "/relay/1/v.mkv"},
      {"ed2k", "ed2k://|file|v.mkv|123|0123456789ABCDEF0123456789ABCDEF|/", "resp: ed2k links"},
      {"garbage", "%%%???&&&", "resp: not a link"},
      {"empty", "", "resp: no link"},
      {"huge", "magnet:?xt=urn:btih:" + std::string(200000, 'a'), "resp: the link is too long"},
      {"magnet with a bad hash", "magnet:?xt=urn:btih:xyz", "resp: a magnet link that does not parse"},
      {"broken .torrent file", broken.string(), "resp: a broken .torrent file"},
      {"missing .torrent file", (Root() / "none.torrent").string(), "resp: the .torrent file cannot be read"},
      {"unreachable .torrent address", web.base() + "/missing.torrent", "resp: the .torrent address cannot be fetched"},
      {"a torrent without video", textTorrent.string(), "resp: the torrent holds no video"},
  };
  for (const Case& c : cases) {
    const std::string answer = Resolve(c.link);
    if (c.answer.starts_with("resp: ")) {
      EXPECT_TRUE(answer.starts_with(c.answer)) << c.what << ": " << answer;
    } else {
      EXPECT_EQ(answer, c.answer) << c.what;
    }
  }
  EXPECT_EQ(RawGet(Port(), "/nothing").status, 404);
  EXPECT_EQ(RawRequest(Port(), "POST", "/xml.php?url=x").status, 405);
}

TEST_F(StreamServiceTest, ServesTheVideoByteForByteWithRanges) {
  StartService();
  auto seeder = MakeSeeder("pack", PackFiles());
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  const std::string source = ReadAll(seeder->SourcePath("movie.mp4"));

  const RawAnswer middle = RawGet(Port(), path, "Range: bytes=1000000-1999999\r\n");
  EXPECT_EQ(middle.status, 206);
  EXPECT_EQ(middle.Header("Content-Range"), "bytes 1000000-1999999/" + std::to_string(kMovieSize));
  EXPECT_EQ(middle.Header("Content-Type"), "video/mp4");
  EXPECT_TRUE(middle.body == source.substr(1000000, 1000000));

  const RawAnswer tail = RawGet(Port(), path, "Range: bytes=-7\r\n");
  EXPECT_EQ(tail.status, 206);
  EXPECT_EQ(tail.body, source.substr(source.size() - 7));

  const RawAnswer whole = RawGet(Port(), path);
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.Header("Content-Length"), std::to_string(kMovieSize));
  EXPECT_EQ(whole.Header("Accept-Ranges"), "bytes");
  ASSERT_EQ(whole.body.size(), source.size());
  EXPECT_TRUE(whole.body == source);

  // The name in the address names the file served: a name that is no video of the torrent
  // is no such stream (another video's address streams that one: FileRoutesTest).
  EXPECT_EQ(RawGet(Port(), "/stream/" + seeder->InfoHashHex() + "/notes.txt").status, 404);
  EXPECT_EQ(RawGet(Port(), "/stream/" + seeder->InfoHashHex() + "/anything.mp4").status, 404);
  EXPECT_EQ(RawGet(Port(), path + "?t=1", "Range: bytes=0-9\r\n").body, source.substr(0, 10));

  const RawAnswer head = RawRequest(Port(), "HEAD", path, "Range: bytes=10-19\r\n");
  EXPECT_EQ(head.status, 206);
  EXPECT_EQ(head.Header("Content-Length"), "10");
  EXPECT_TRUE(head.body.empty());
  EXPECT_EQ(RawGet(Port(), path, "Range: bytes=" + std::to_string(kMovieSize) + "-\r\n").status, 416);

  // Only the video was fetched: the other files hold at most the pieces they share with it.
  const fs::path data = Cache() / seeder->InfoHashHex() / "pack";
  EXPECT_LT(stream::CacheFolder::DiskUsage(data / "trailer.mkv"), 1u << 20);
  EXPECT_GE(stream::CacheFolder::DiskUsage(data / "movie.mp4"), static_cast<std::uint64_t>(kMovieSize));

  // The status tells what is held; a stopped stream is gone.
  const std::string hash = seeder->InfoHashHex();
  const RawAnswer status = RawGet(Port(), "/status/" + hash);
  EXPECT_EQ(status.status, 200);
  EXPECT_NE(status.body.find("\"bytesVerified\":" + std::to_string(kMovieSize)), std::string::npos)
      << status.body;
  EXPECT_NE(status.body.find("\"buffered\":[[0," + std::to_string(kMovieSize) + "]]"), std::string::npos)
      << status.body;
  EXPECT_NE(status.body.find("\"peers\":"), std::string::npos);
  EXPECT_EQ(status.Header("Access-Control-Allow-Origin"), "");  // only with the key
  EXPECT_EQ(RawRequest(Port(), "POST", "/stop/" + hash).status, 200);
  EXPECT_EQ(RawGet(Port(), path).status, 404);
  EXPECT_EQ(RawGet(Port(), "/status/" + hash).status, 404);
  // Played again at once with the swarm gone, it plays from what the cache holds.
  const std::string link = seeder->MagnetLink();
  seeder.reset();
  EXPECT_EQ(Base() + path, Resolve(link));
  EXPECT_TRUE(RawGet(Port(), path).body == source);
}

TEST_F(StreamServiceTest, ASecondPlayStartsFromTheCacheWithoutPeers) {
  std::string source, link;
  {
    StartService();
    const auto seeder = MakeSeeder("movie.mp4", {{"movie.mp4", 1 << 20}});
    source = ReadAll(seeder->SourcePath("movie.mp4"));
    link = seeder->MagnetLink(false);
    const std::string path = PathOf(Resolve(seeder->MagnetLink()));
    ASSERT_EQ(RawGet(Port(), path).body.size(), source.size());
    StopService();
  }
  StartService([](stream::StreamOptions& o) { o.metadataTimeout = std::chrono::seconds(5); });
  const std::string address = Resolve(link);  // no peer at all now
  ASSERT_TRUE(address.starts_with(Base() + "/stream/")) << address;
  EXPECT_TRUE(RawGet(Port(), PathOf(address)).body == source);
}

TEST_F(StreamServiceTest, AMagnetNobodySeedsAnswersRespAndLeavesNothingBehind) {
  StartService([](stream::StreamOptions& o) { o.metadataTimeout = std::chrono::seconds(2); });
  const std::string hash = "00112233445566778899aabbccddeeff00112233";
  const auto started = std::chrono::steady_clock::now();
  const std::string answer = Resolve("magnet:?xt=urn:btih:" + hash + "&dn=nothing.mp4");
  EXPECT_TRUE(answer.starts_with("resp: ")) << answer;
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_FALSE(HoldsEntryOf(Cache(), hash));
}

TEST_F(StreamServiceTest, TheCacheCapEvictsTheLeastRecentlyPlayed) {
  StartService([](stream::StreamOptions& o) { o.cacheCapBytes = 5 << 20; });
  const auto first = MakeSeeder("first.mp4", {{"first.mp4", 3 << 20}});
  const auto second = MakeSeeder("second.mp4", {{"second.mp4", 3 << 20}});
  const auto tooBig = MakeSeeder("big.mp4", {{"big.mp4", 6 << 20}});

  ASSERT_EQ(RawGet(Port(), PathOf(Resolve(first->MagnetLink()))).body.size(), 3u << 20);
  EXPECT_TRUE(HoldsEntryOf(Cache(), first->InfoHashHex()));
  const RawAnswer played = RawGet(Port(), PathOf(Resolve(second->MagnetLink())));
  EXPECT_TRUE(played.body == ReadAll(second->SourcePath("second.mp4")));
  EXPECT_FALSE(HoldsEntryOf(Cache(), first->InfoHashHex()));
  EXPECT_TRUE(HoldsEntryOf(Cache(), second->InfoHashHex()));

  const std::string refused = Resolve(tooBig->MagnetLink());
  EXPECT_TRUE(refused.starts_with("resp: ")) << refused;
  EXPECT_TRUE(HoldsEntryOf(Cache(), second->InfoHashHex())) << "nothing evicted for a refusal";
}

TEST_F(StreamServiceTest, AVideoThatCannotFitIsRefusedLeavesNothingAndPlaysOnceItFits) {
  const auto seeder = MakeSeeder("tight.mp4", {{"tight.mp4", 3 << 20}});
  const std::string hash = seeder->InfoHashHex();
  const std::string source = ReadAll(seeder->SourcePath("tight.mp4"));
  struct Case {
    const char* what;
    void (*refusing)(stream::StreamOptions&);
    const char* reason;
  } cases[] = {
      {"a cache cap below the video", [](stream::StreamOptions& o) { o.cacheCapBytes = 2 << 20; },
       "is larger than the cache"},
      {"more to keep free than the disk has",  // no disk has an exbibyte free
       [](stream::StreamOptions& o) { o.keepFreeBytes = 1ull << 60; }, "not enough free disk space"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartService(c.refusing);
    const std::string refused = Resolve(seeder->MagnetLink());
    EXPECT_TRUE(refused.starts_with("resp: ")) << refused;
    EXPECT_NE(refused.find(c.reason), std::string::npos) << refused;
    EXPECT_EQ(RawGet(Port(), "/status/" + hash).status, 404);
    // Pieces may have come in before the refusal; they go with the torrent.
    EXPECT_TRUE(Eventually([&] { return !HoldsEntryOf(Cache(), hash); }));
    StopService();

    StartService();  // the same cache, sane settings
    const std::string address = Resolve(seeder->MagnetLink());
    ASSERT_TRUE(address.starts_with(Base() + "/stream/")) << address;
    EXPECT_TRUE(RawGet(Port(), PathOf(address)).body == source);
    StopService();
    fs::remove_all(Cache());
  }
}

TEST_F(StreamServiceTest, ASwarmWithoutTheFirstAndLastPiecesStillDeliversTheRest) {
  // 65 pieces: the first and the last (the video's hundredth at each end) are nowhere.
  constexpr int kPiece = 64 << 10;
  constexpr std::int64_t kSize = 64 * kPiece + 1000;
  constexpr std::int64_t kMiddle = kSize - kPiece - 1000;
  struct Case {
    const char* what;
    std::int64_t readBegin, readEnd;  // a reader's range; none when empty
  } cases[] = {
      {"nobody reads", 0, 0},
      {"a reader in the middle", 40 * kPiece + 5, 50 * kPiece},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartService();
    const auto seeder = MakeSeeder("edgeless.mp4", {{"edgeless.mp4", kSize}},
                                   {.pieceLength = kPiece, .missingPieces = {0, 64}});
    const std::string hash = seeder->InfoHashHex();
    const std::string address = Resolve(seeder->MagnetLink());
    ASSERT_TRUE(address.starts_with(Base() + "/stream/")) << address;
    if (c.readEnd > c.readBegin) {
      const std::string source = ReadAll(seeder->SourcePath("edgeless.mp4"));
      const RawAnswer read = RawGet(Port(), PathOf(address), RangeHeader(c.readBegin, c.readEnd));
      EXPECT_EQ(read.status, 206);
      EXPECT_TRUE(read.body == source.substr(static_cast<std::size_t>(c.readBegin),
                                             static_cast<std::size_t>(c.readEnd - c.readBegin)))
          << read.body.size() << " bytes";
    }
    // The first and last pieces were wanted alone only for a while: the rest came anyway.
    EXPECT_TRUE(Eventually([&] { return BytesVerified(Port(), hash) == kMiddle; }))
        << BytesVerified(Port(), hash) << " of " << kMiddle;
    StopService();
    fs::remove_all(Cache());
  }
}

TEST_F(StreamServiceTest, WhatAKilledServiceHadDownloadedPlaysAgainWithoutPeers) {
  StartService();  // resume data saved every 250 ms
  constexpr std::int64_t kSize = 16 << 20;
  constexpr std::int64_t kRead = 256 << 10;
  // At 1 MiB/s the video is far from whole when the service is killed.
  auto seeder = MakeSeeder("long.mp4", {{"long.mp4", kSize}}, {.uploadLimit = 1 << 20});
  const std::string hash = seeder->InfoHashHex();
  const std::string source = ReadAll(seeder->SourcePath("long.mp4"));
  const std::string link = seeder->MagnetLink(false);
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  ASSERT_TRUE(RawGet(Port(), path, RangeHeader(0, kRead)).body == source.substr(0, kRead));

  // Saved by the running service, not at a shutdown: the read's pieces are in its resume file.
  const int readPieces = static_cast<int>(kRead / (64 << 10));
  EXPECT_TRUE(Eventually([&] { return ResumeHoldsFirstPieces(Cache() / (hash + ".resume"), readPieces); }));
  ASSERT_LT(BytesVerified(Port(), hash), kSize) << "the download must still be under way";
  // What a kill leaves: the cache folder as it stands, resume files before the pieces they name.
  const fs::path left = Root() / "left";
  fs::create_directories(left);
  fs::copy_file(Cache() / (hash + ".resume"), left / (hash + ".resume"));
  fs::copy(Cache() / hash, left / hash, fs::copy_options::recursive);
  seeder.reset();
  StopService();

  StartService([&](stream::StreamOptions& o) {
    o.cacheDir = left.string();
    o.metadataTimeout = std::chrono::seconds(5);
    o.stallTimeout = std::chrono::seconds(5);
  });
  const std::string address = Resolve(link);  // no peer at all now
  ASSERT_TRUE(address.starts_with(Base() + "/stream/")) << address;
  const RawAnswer again = RawGet(Port(), PathOf(address), RangeHeader(0, kRead));
  EXPECT_EQ(again.status, 206);
  EXPECT_TRUE(again.body == source.substr(0, kRead)) << again.body.size() << " bytes";
}

TEST_F(StreamServiceTest, AReaderThatGetsNoByteEndsAfterTheStallTimeout) {
  constexpr auto kStall = std::chrono::seconds(2);
  StartService([&](stream::StreamOptions& o) { o.stallTimeout = kStall; });
  auto seeder = MakeSeeder("slow.mp4", {{"slow.mp4", 4 << 20}}, {.uploadLimit = 4000});
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  seeder.reset();  // the swarm is gone
  const auto started = std::chrono::steady_clock::now();
  const RawAnswer answer = RawGet(Port(), path, "Range: bytes=2000000-2999999\r\n");
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(answer.status, 206);
  EXPECT_LT(answer.body.size(), 1000000u);
  // Not at once, and not much later: the reader waited out the stall time-out, no more.
  EXPECT_GE(took, kStall);
  EXPECT_LT(took, kStall + std::chrono::seconds(3));
}

TEST_F(StreamServiceTest, AStopFollowedAtOnceByANewResolutionOfTheSameLinkPlaysOn) {
  StartService();
  const auto seeder = MakeSeeder("again.mp4", {{"again.mp4", 2 << 20}});
  const std::string source = ReadAll(seeder->SourcePath("again.mp4"));
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  ASSERT_TRUE(RawGet(Port(), path, RangeHeader(0, 1000)).body == source.substr(0, 1000));
  // Whole in the cache first, so that the new stream needs no peer.
  ASSERT_TRUE(Eventually([&] { return BytesVerified(Port(), seeder->InfoHashHex()) == (2 << 20); }));
  // The stopped torrent is still leaving the session (its resume data being saved) for a
  // few milliseconds: a new stream must not be that one, nor be taken away with it. Stopped
  // and played again a few times, so that a resolution falls within those milliseconds.
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(RawRequest(Port(), "POST", "/stop/" + seeder->InfoHashHex()).status, 200);
    ASSERT_EQ(Base() + path, Resolve(seeder->MagnetLink()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(RawGet(Port(), "/status/" + seeder->InfoHashHex()).status, 200);
  }
  EXPECT_TRUE(RawGet(Port(), path).body == source);
}

TEST_F(StreamServiceTest, ASeederThatComesBackIsUsedWhenTheLinkNamesItAgain) {
  StartService([](stream::StreamOptions& o) { o.stallTimeout = std::chrono::seconds(5); });
  const std::vector<SeedFile> files = {{"back.mp4", 3 << 20}};
  auto seeder = MakeSeeder("back.mp4", files, {.uploadLimit = 256 << 10});
  const std::string hash = seeder->InfoHashHex();
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  ASSERT_TRUE(path.starts_with("/stream/")) << path;
  seeder.reset();  // gone before the video is in
  // The same torrent seeded again from another port: the link names the new address.
  const auto again = std::make_unique<Seeder>(Root() / "seed-back-again", "back.mp4", files);
  ASSERT_EQ(again->InfoHashHex(), hash);
  ASSERT_EQ(Base() + path, Resolve(again->MagnetLink()));
  const RawAnswer whole = RawGet(Port(), path);
  EXPECT_TRUE(whole.body == ReadAll(again->SourcePath("back.mp4"))) << whole.body.size() << " bytes";
}

TEST_F(StreamServiceTest, AnAddressHandedOutIsNotEvictedBeforeItsPlayerCame) {
  StartService([](stream::StreamOptions& o) { o.cacheCapBytes = 5 << 20; });
  const auto first = MakeSeeder("first.mp4", {{"first.mp4", 3 << 20}});
  const auto second = MakeSeeder("second.mp4", {{"second.mp4", 3 << 20}});
  const std::string firstPath = PathOf(Resolve(first->MagnetLink()));
  ASSERT_TRUE(firstPath.starts_with("/stream/")) << firstPath;
  // Nobody has read the first yet: the second has no room rather than taking the first's.
  const std::string refused = Resolve(second->MagnetLink());
  EXPECT_TRUE(refused.starts_with("resp: the cache has no room")) << refused;
  EXPECT_TRUE(RawGet(Port(), firstPath).body == ReadAll(first->SourcePath("first.mp4")));
  // Played and left, it may go.
  const std::string secondAddress = Resolve(second->MagnetLink());
  EXPECT_TRUE(secondAddress.starts_with(Base() + "/stream/")) << secondAddress;
  EXPECT_EQ(RawGet(Port(), firstPath).status, 404);
}

TEST_F(StreamServiceTest, AdmissionCountsWhatOpenStreamsStillWrite) {
  struct Case {
    const char* what;
    void (*limit)(stream::StreamOptions&, std::uint64_t free);
    const char* reason;
  } cases[] = {
      // 100 MB each: the first far from whole (held to 1 MiB/s) while the second asks.
      {"the cache cap", [](stream::StreamOptions& o, std::uint64_t) { o.cacheCapBytes = 150ull << 20; },
       "resp: the cache has no room"},
      {"the disk", [](stream::StreamOptions& o, std::uint64_t free) { o.keepFreeBytes = free - (150ull << 20); },
       "resp: not enough free disk space"},
  };
  const auto first = MakeSeeder("one.mp4", {{"one.mp4", 100 << 20}}, {.pieceLength = 256 << 10, .uploadLimit = 1 << 20});
  const auto second = MakeSeeder("two.mp4", {{"two.mp4", 100 << 20}}, {.pieceLength = 256 << 10});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The disk is shared with whatever else runs: an attempt during which its free space
    // moved by more than the margin tells nothing, and is made again.
    constexpr std::int64_t kMargin = 40ll << 20;
    std::string path, refused;
    for (int attempt = 0; attempt < 5; ++attempt) {
      fs::create_directories(Cache());
      const std::uint64_t free = fs::space(Cache()).available;
      StartService([&](stream::StreamOptions& o) { c.limit(o, free); });
      path = PathOf(Resolve(first->MagnetLink()));
      std::thread player([&] {
        if (path.starts_with("/stream/")) RawGet(Port(), path, RangeHeader(0, 1 << 20));
      });
      refused = Resolve(second->MagnetLink());
      const auto moved = static_cast<std::int64_t>(fs::space(Cache()).available) - static_cast<std::int64_t>(free);
      player.join();
      StopService();
      fs::remove_all(Cache());
      if (std::abs(moved) < kMargin) break;
    }
    ASSERT_TRUE(path.starts_with("/stream/")) << path;
    EXPECT_TRUE(refused.starts_with(c.reason)) << refused;
  }
}

}  // namespace
}  // namespace morvane::testing
