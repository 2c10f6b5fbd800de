// The memory a decode or an import may take. Inputs that decode into many tiny values (each a
// whole object for a byte or two of input) must be refused before the process grows past
// 8 bytes for each input byte plus 64 MB; dense file lists of real size must import within
// that, record included; files beyond the input limit are not read. Each decode or import
// runs in a child process, whose peak resident size the kernel reports.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/support/ReferenceSha1.h"
#include "tests/support/ScratchFolder.h"
#include "tests/torrent/BencodedText.h"
#include "torrent/Bencode.h"
#include "torrent/TorrentFileInfo.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MORVANE_TEST_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MORVANE_TEST_UNDER_SANITIZER 1
#endif
#endif

namespace morvane {
namespace {

using testing::ScratchFolder;
using testing::Sha1Hex;
using testing::Str;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

std::uint64_t ResidentBytes() {
  long pages = 0, resident = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return static_cast<std::uint64_t>(resident) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// Runs work(result) in a child process and hands back what it filled in, with whether the
// child ended normally and its peak resident size above what it held before the work.
template <class Result, class Work>
Result InChild(Work work) {
  int report[2];
  if (pipe(report) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    const std::uint64_t before = ResidentBytes();
    Result result;
    try {
      work(result);
    } catch (...) {
      _exit(2);  // out of memory, or any other escape: not a normal end
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const std::uint64_t peak = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
    result.grown = peak > before ? peak - before : 0;
    _exit(write(report[1], &result, sizeof result) == sizeof result ? 0 : 3);
  }
  close(report[1]);
  Result result;
  const bool got = child > 0 && read(report[0], &result, sizeof result) == sizeof result;
  close(report[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  result.exited = got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

struct Outcome {
  bool exited = false;  // the child ended normally
  std::uint64_t grown = 0;
  bool decoded = false;  // it got a value
};

// In a child: `count` copies of `unit` between `open` and "e", decoded.
Outcome DecodeInChild(const std::string& open, const std::string& unit, std::size_t count) {
  return InChild<Outcome>([&](Outcome& outcome) {
    std::string input = open;
    input.reserve(open.size() + unit.size() * count + 1);
    for (std::size_t i = 0; i < count; ++i) input += unit;
    input += 'e';
    outcome.decoded =
        ParseValue(input.data(), static_cast<std::uint32_t>(input.size()), 0) != nullptr;
  });
}

TEST(DecoderMemory, InputOfTinyValuesStaysWithinEightTimesItsSize) {
#ifdef MORVANE_TEST_UNDER_SANITIZER
  // Both keep shadow memory in proportion to what the decoder touches.
  GTEST_SKIP() << "the sanitizers' own bookkeeping dwarfs the sizes measured here";
#endif
  constexpr std::uint64_t kInput = 24 * kMiB;
  struct Case {
    const char* what;
    std::string open, unit;
  } cases[] = {
      {"empty lists", "l", "le"},
      {"empty strings", "l", "0:"},
      {"zeros", "l", "i0e"},
      {"one-entry dictionaries", "l", "d1:ai0ee"},
      {"lists of one zero", "l", "li0ee"},
      {"dictionary of one-letter keys out of order", "d", "1:b0:1:a0:"},
      {"file entries of empty path components", "l", "d6:lengthi0e4:pathl0:0:0:0:0:0:0:0:ee"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = DecodeInChild(c.open, c.unit, kInput / c.unit.size());
    ASSERT_TRUE(outcome.exited) << c.what;
    EXPECT_FALSE(outcome.decoded) << c.what << ": far beyond what a torrent takes";
    EXPECT_LE(outcome.grown, 8 * kInput + 64 * kMiB) << c.what;
  }
}

TEST(DecoderMemory, ManyValuesWithinTheLimitStillDecode) {
  // One torrent file entry of ordinary size per unit, about 4 MB in all.
  const Outcome outcome =
      DecodeInChild("l", "d6:lengthi786432e4:pathl9:folder-1215:file-000001.datee", 70000);
  ASSERT_TRUE(outcome.exited);
  EXPECT_TRUE(outcome.decoded);
}

// What an import in a child process gave.
struct Import {
  bool exited = false;
  std::uint64_t grown = 0;
  std::uint64_t files = 0;
  std::uint64_t trackersLength = 0;
  char infoHash[41] = {};
};

Import ImportInChild(const std::string& path) {
  return InChild<Import>([&](Import& result) {
    const auto record = ReadTorrentFileInfo(path);
    result.files = record->filePaths.size();
    result.trackersLength = record->trackers.size();
    record->infoHash.copy(result.infoHash, 40);
  });
}

// A torrent of the file entries, whose info dictionary is `info`.
std::string TorrentOf(const std::string& files, const std::string& announceList,
                      std::string& info) {
  info = "d5:files" + files + "4:name" + Str("dense") + "12:piece lengthi4194304e6:pieces" +
         Str(std::string(20 * 100, '\x33')) + "e";
  return "d8:announce" + Str("http://tracker.test/announce") + "13:announce-list" + announceList +
         "4:info" + info + "e";
}

TEST(DecoderMemory, DenseTorrentsImportWithinEightTimesTheirSize) {
#ifdef MORVANE_TEST_UNDER_SANITIZER
  GTEST_SKIP() << "the sanitizers' own bookkeeping dwarfs the sizes measured here";
#endif
  constexpr int kMillion = 1'000'000;
  struct Case {
    const char* what;
    int files;
    std::string (*entry)(int i);
    int trackers;  // each "http://a/", which gives "a:80;"
  } cases[] = {
      // About 29 MB, the size of a real torrent of a million files.
      {"a million files with six-byte names", kMillion,
       [](int i) {
         char entry[40];
         std::snprintf(entry, sizeof entry, "d6:lengthi%de4:pathl6:%06dee", i % 10, i);
         return std::string(entry);
       },
       1},
      // The smallest file entries the decoder admits in such numbers: their record takes
      // the most for each input byte.
      {"a million files without a path", kMillion,
       [](int) { return std::string("d6:lengthi0e4:pathlee"); }, 1},
      // The trackers text of each takes less than the list of endpoints it once went through.
      {"three million trackers", 1, [](int) { return std::string("d6:lengthi1e4:pathl1:aee"); },
       3 * kMillion},
  };
  ScratchFolder folder;
  for (const Case& c : cases) {
    std::string files = "l", announceList = "l", info;
    for (int i = 0; i < c.files; ++i) files += c.entry(i);
    files += "e";
    for (int i = 0; i < c.trackers; ++i) announceList += "9:http://a/";
    announceList += "e";
    std::string bytes = TorrentOf(files, announceList, info);
    files = announceList = {};
    const std::uint64_t size = bytes.size();
    const std::string path = folder.Write("dense.torrent", bytes);
    bytes = {};

    const Import got = ImportInChild(path);
    ASSERT_TRUE(got.exited) << c.what;
    EXPECT_EQ(std::string(got.infoHash), Sha1Hex(info)) << c.what;
    EXPECT_EQ(got.files, static_cast<std::uint64_t>(c.files)) << c.what;
    EXPECT_EQ(got.trackersLength, 5u * c.trackers) << c.what;
    EXPECT_LE(got.grown, 8 * size + 64 * kMiB) << c.what << ", " << size << " bytes";
  }
}

TEST(DecoderMemory, FilesBeyondTheInputLimitAreNotRead) {
  ScratchFolder folder;
  struct Case {
    std::uint64_t size;
    bool read;
  } cases[] = {{kMaxInputLength, true}, {kMaxInputLength + 1, false}};
  for (const Case& c : cases) {
    // A list of "l" bytes: sparse but for the first byte, so it costs no disk.
    const std::string path = folder.Write("big.torrent", "l");
    std::filesystem::resize_file(path, c.size);
    std::unique_ptr<char[]> bytes;
    EXPECT_EQ(ReadTorrentBytes(path, bytes), c.read ? c.size : 0) << c.size;
    EXPECT_EQ(bytes != nullptr, c.read) << c.size;
  }
}

}  // namespace
}  // namespace morvane
