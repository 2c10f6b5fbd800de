// The memory a decode may take. Inputs that decode into many tiny values (each a whole
// object for a byte or two of input) must be refused before the process grows past
// 8 bytes for each input byte plus 64 MB, and files beyond the input limit are not read.
// Each decode runs in a child process, whose peak resident size the kernel reports.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/support/ScratchFolder.h"
#include "tests/torrent/BencodedText.h"
#include "torrent/Bencode.h"

#if defined(__SANITIZE_ADDRESS__)
#define MORVANE_TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MORVANE_TEST_UNDER_ASAN 1
#endif
#endif

namespace morvane {
namespace {

using testing::ScratchFolder;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

std::uint64_t ResidentBytes() {
  long pages = 0, resident = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return static_cast<std::uint64_t>(resident) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

struct Outcome {
  bool exited = false;      // the child ended normally
  bool decoded = false;     // it got a value
  std::uint64_t grown = 0;  // its peak resident size above what it held before the input
};

// In a child: `count` copies of `unit` between `open` and "e", decoded.
Outcome DecodeInChild(const std::string& open, const std::string& unit, std::size_t count) {
  int report[2];
  if (pipe(report) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    const std::uint64_t before = ResidentBytes();
    std::string input = open;
    input.reserve(open.size() + unit.size() * count + 1);
    for (std::size_t i = 0; i < count; ++i) input += unit;
    input += 'e';
    bool decoded = false;
    try {
      decoded = ParseValue(input.data(), static_cast<std::uint32_t>(input.size()), 0) != nullptr;
    } catch (...) {
      _exit(2);  // out of memory, or any other escape: not a normal end
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const std::uint64_t peak = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
    const std::uint64_t message[2] = {decoded, peak > before ? peak - before : 0};
    const bool sent = write(report[1], message, sizeof message) == sizeof message;
    _exit(sent ? 0 : 3);
  }
  close(report[1]);
  Outcome outcome;
  std::uint64_t message[2] = {};
  const bool got = child > 0 && read(report[0], message, sizeof message) == sizeof message;
  close(report[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  outcome.exited = got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  outcome.decoded = message[0] != 0;
  outcome.grown = message[1];
  return outcome;
}

TEST(DecoderMemory, InputOfTinyValuesStaysWithinEightTimesItsSize) {
#ifdef MORVANE_TEST_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer's own bookkeeping dwarfs the sizes measured here";
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
