// The torrent module against OpenSSL, measured in the same run.
//
// Sha1_64MB: CSHA1 over 64 MB in memory against OpenSSL's SHA1() over the same buffer, each
// iteration timing both in alternating order. "speed_ratio" is OpenSSL's time over ours
// (1.0: as fast as OpenSSL; above 1: faster). The /portable variant forces the portable
// routine while OpenSSL keeps its best code.
//
// Sha1Portable_vs_OpenSSLWithoutSha: the portable routine against OpenSSL with the SHA
// instructions masked (OPENSSL_ia32cap). OpenSSL reads the mask only when it is loaded, so
// its time is taken by a child process of this program started with the mask.
//
// Import: ReadTorrentFileInfo of a generated torrent (decode, record, re-encode the info
// dictionary, hash), against the `openssl sha1` command over the same file, each run as a
// whole. "time_ratio" is our time over the command's (1.0: as fast; below 1: faster), from
// the mean times; "median_time_ratio" the same from the median times.
//   single: one file of 100 GiB in 256 KiB pieces (409,600 digests, about 8 MB)
//   multi:  60,000 files (about 7 MB)

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/sha.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "torrent/Bencode.h"
#include "torrent/SHA1.h"
#include "torrent/Torrent.h"
#include "torrent/TorrentFileInfo.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kHashBytes = 64u << 20;
constexpr const char* kChildFlag = "--openssl-sha1-child";
// CPUID leaf 7 EBX bit 29: the SHA extensions, as OpenSSL's capability mask names it.
constexpr const char* kMaskSha = "OPENSSL_ia32cap=:~0x20000000";

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

const std::string& HashInput() {
  static const std::string data = [] {
    std::string bytes(kHashBytes, '\0');
    std::uint64_t x = 0x9E3779B97F4A7C15u;
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      std::memcpy(bytes.data() + i, &x, 8);
    }
    return bytes;
  }();
  return data;
}

double TimeOurs(const std::string& data) {
  const auto start = Clock::now();
  morvane::CSHA1 hasher;
  hasher.Absorb(data.data(), data.size());
  hasher.Finish();
  unsigned char digest[20];
  hasher.DigestBytes(digest);
  benchmark::DoNotOptimize(digest);
  return SecondsSince(start);
}

double TimeOpenSsl(const std::string& data) {
  const auto start = Clock::now();
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  benchmark::DoNotOptimize(digest);
  return SecondsSince(start);
}

void Report(benchmark::State& state, double ours, double reference, const char* ratioName,
            double ratio) {
  state.counters["ours_MBps"] = HashInput().size() / ours / 1e6;
  state.counters["openssl_MBps"] = HashInput().size() / reference / 1e6;
  state.counters[ratioName] = ratio;
}

void BM_Sha1_64MB(benchmark::State& state) {
  const bool portable = state.range(0) != 0;
  morvane::Sha1ForcePortable(portable);
  state.SetLabel(morvane::Sha1UsesCpuInstructions() ? "CPU SHA instructions" : "portable");
  const std::string& data = HashInput();
  double ours = 0, reference = 0;
  bool oursFirst = true;
  for (auto _ : state) {
    if (oursFirst) {
      ours += TimeOurs(data);
      reference += TimeOpenSsl(data);
    } else {
      reference += TimeOpenSsl(data);
      ours += TimeOurs(data);
    }
    oursFirst = !oursFirst;
  }
  morvane::Sha1ForcePortable(false);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  Report(state, ours / state.iterations(), reference / state.iterations(), "speed_ratio",
         reference / ours);
}
BENCHMARK(BM_Sha1_64MB)
    ->ArgName("portable")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->UseRealTime();

// Runs `argv` with the extra environment entry and returns its standard output.
std::string RunChild(std::vector<std::string> arguments, const char* extraEnvironment, bool* ok) {
  int pipeEnds[2];
  *ok = false;
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  std::vector<char*> argv;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "OPENSSL_ia32cap=", 16) != 0) env.push_back(*e);
  std::string extra = extraEnvironment ? extraEnvironment : "";
  if (!extra.empty()) env.push_back(extra.data());
  env.push_back(nullptr);
  pid_t child;
  const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  std::string output;
  char buffer[4096];
  ssize_t n;
  while (spawned == 0 && (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
    output.append(buffer, n);
  close(pipeEnds[0]);
  if (spawned != 0) return {};
  int status = 0;
  waitpid(child, &status, 0);
  *ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return output;
}

void BM_Sha1Portable_vs_OpenSSLWithoutSha(benchmark::State& state) {
  morvane::Sha1ForcePortable(true);
  const std::string& data = HashInput();
  double ours = 0, reference = 0;
  for (auto _ : state) {
    ours += TimeOurs(data);
    bool ok = false;
    const std::string seconds = RunChild({"/proc/self/exe", kChildFlag}, kMaskSha, &ok);
    if (!ok) {
      state.SkipWithError("the masked OpenSSL child failed");
      break;
    }
    reference += std::stod(seconds);
  }
  morvane::Sha1ForcePortable(false);
  if (ours > 0 && reference > 0) {
    Report(state, ours / state.iterations(), reference / state.iterations(), "speed_ratio",
           reference / ours);
  }
}
BENCHMARK(BM_Sha1Portable_vs_OpenSSLWithoutSha)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->UseRealTime();

// ---- whole import ------------------------------------------------------------------------

std::string Str(const std::string& bytes) {
  return std::to_string(bytes.size()) + ":" + bytes;
}

std::string PieceDigests(std::size_t count) {
  std::string pieces(count * 20, '\0');
  for (std::size_t i = 0; i < pieces.size(); ++i)
    pieces[i] = static_cast<char>((i * 2654435761u) >> 11);
  return pieces;
}

std::string SingleFileTorrent() {
  constexpr std::int64_t kLength = std::int64_t{100} << 30;
  constexpr std::int64_t kPiece = 256 << 10;
  return "d8:announce" + Str("http://tracker.example.org:6969/announce") + "10:created by" +
         Str("bench") + "13:creation datei1700000000e4:infod6:lengthi" + std::to_string(kLength) +
         "e4:name" + Str("one-hundred-gib.bin") + "12:piece lengthi" + std::to_string(kPiece) +
         "e6:pieces" + Str(PieceDigests(kLength / kPiece)) + "ee";
}

std::string ManyFilesTorrent() {
  constexpr int kFiles = 60000;
  constexpr std::int64_t kFileLength = 768 << 10;
  constexpr std::int64_t kPiece = 256 << 10;
  std::string files = "l";
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "file-%06d.dat", i);
    files += "d6:lengthi" + std::to_string(kFileLength) + "e4:pathl" +
             Str("folder-" + std::to_string(i / 100)) + Str(name) + "ee";
  }
  files += "e";
  return "d8:announce" + Str("http://tracker.example.org/announce") + "4:infod5:files" + files +
         "4:name" + Str("sixty-thousand") + "12:piece lengthi" + std::to_string(kPiece) +
         "e6:pieces" + Str(PieceDigests(kFiles * kFileLength / kPiece)) + "ee";
}

struct TorrentFiles {
  std::filesystem::path folder;
  std::string single, multi;
  TorrentFiles() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "bench-torrent-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    folder = pattern;
    single = (folder / "single.torrent").string();
    multi = (folder / "multi.torrent").string();
    std::ofstream(single, std::ios::binary) << SingleFileTorrent();
    std::ofstream(multi, std::ios::binary) << ManyFilesTorrent();
  }
  ~TorrentFiles() {
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  }
};

const TorrentFiles& Files() {
  static const TorrentFiles files;
  return files;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

void BM_Import(benchmark::State& state) {
  const std::string& path = state.range(0) == 0 ? Files().single : Files().multi;
  state.SetLabel(state.range(0) == 0 ? "single 100 GiB file" : "60,000 files");
  state.counters["file_MB"] = std::filesystem::file_size(path) / 1e6;
  double ours = 0, reference = 0;
  std::vector<double> oursEach, referenceEach;
  bool oursFirst = true;
  for (auto _ : state) {
    auto timeOurs = [&] {
      const auto start = Clock::now();
      auto record = morvane::ReadTorrentFileInfo(path);
      oursEach.push_back(SecondsSince(start));
      ours += oursEach.back();
      if (record->infoHash.size() != 40) state.SkipWithError("no info-hash");
    };
    auto timeReference = [&] {
      const auto start = Clock::now();
      bool ok = false;
      RunChild({"openssl", "sha1", path}, nullptr, &ok);
      referenceEach.push_back(SecondsSince(start));
      reference += referenceEach.back();
      if (!ok) state.SkipWithError("openssl sha1 failed");
    };
    if (oursFirst) {
      timeOurs();
      timeReference();
    } else {
      timeReference();
      timeOurs();
    }
    oursFirst = !oursFirst;
  }
  state.counters["ours_ms"] = ours / state.iterations() * 1e3;
  state.counters["openssl_sha1_ms"] = reference / state.iterations() * 1e3;
  state.counters["time_ratio"] = ours / reference;
  // The same from the medians: a run or two slowed by the machine moves it less.
  state.counters["median_time_ratio"] = Median(oursEach) / Median(referenceEach);
}
BENCHMARK(BM_Import)
    ->ArgName("files")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20)
    ->UseRealTime();

// ---- what each part of the import machinery buys ----------------------------------------
//
// Each part switched off against on, as child processes of this program started in turn,
// each timing 15 imports of the same file after one unmeasured; "speedup" is the median
// time with the part off over the median with it on (1.15: the part buys 15%).
//   digest: hashing the info bytes on a thread of their own (off: hashed while loading)
//   pool:   per-thread value pools (off: MORVANE_ATOM_POOL_OFF, every value from the heap)

constexpr const char* kImportChild = "--import-child";
constexpr int kChildImports = 15;

// One import the way `mode` asks; false when it gives no info-hash.
bool ImportOnce(const std::string& mode, const std::string& path) {
  if (mode == "all") return morvane::ReadTorrentFileInfo(path)->infoHash.size() == 40;
  // "no-digest": the same steps, but the bytes are hashed before LoadBytes returns.
  morvane::TorrentFileInfo record;
  morvane::CTorrent torrent;
  std::unique_ptr<char[]> bytes;
  const std::uint32_t size = morvane::ReadTorrentBytes(path, bytes);
  if (!torrent.LoadBytes(std::string_view(bytes.get(), size))) return false;
  morvane::FillTorrentFileInfo(torrent, record);
  return record.infoHash.size() == 40;
}

int RunImportChild(const std::string& mode, const std::string& path) {
  std::vector<double> each;
  for (int i = 0; i <= kChildImports; ++i) {
    const auto start = Clock::now();
    if (!ImportOnce(mode, path)) return 1;
    if (i > 0) each.push_back(SecondsSince(start));
  }
  std::printf("%.9f\n", Median(each));
  return 0;
}

void BM_ImportPart(benchmark::State& state) {
  const std::string part = state.range(0) == 0 ? "digest" : "pool";
  const std::string& path = state.range(1) == 0 ? Files().single : Files().multi;
  state.SetLabel(part + (state.range(1) == 0 ? ", single 100 GiB file" : ", 60,000 files"));
  const std::string onMode = "all";
  const std::string offMode = part == "digest" ? "no-digest" : "all";
  const char* offEnvironment = part == "pool" ? "MORVANE_ATOM_POOL_OFF=1" : nullptr;
  std::vector<double> on, off;
  bool onFirst = true;
  for (auto _ : state) {
    auto run = [&](const std::string& mode, const char* environment, std::vector<double>& into) {
      bool ok = false;
      const std::string seconds =
          RunChild({"/proc/self/exe", kImportChild, mode, path}, environment, &ok);
      if (!ok) state.SkipWithError("the import child failed");
      else into.push_back(std::stod(seconds));
    };
    if (onFirst) {
      run(onMode, nullptr, on);
      run(offMode, offEnvironment, off);
    } else {
      run(offMode, offEnvironment, off);
      run(onMode, nullptr, on);
    }
    onFirst = !onFirst;
  }
  if (on.empty() || off.empty()) return;
  state.counters["on_ms"] = Median(on) * 1e3;
  state.counters["off_ms"] = Median(off) * 1e3;
  state.counters["speedup"] = Median(off) / Median(on);
}
BENCHMARK(BM_ImportPart)
    ->ArgNames({"part", "files"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10)
    ->UseRealTime();

// ---- peak memory --------------------------------------------------------------------------
//
// The peak resident size of a child process that decodes a file (ParseTorrentFile) or
// imports it (ReadTorrentFileInfo), against the bound of 8 bytes per file byte plus 64 MiB.
// "peak_over_bound" below 1 is within it. "floor_MB" is the same child given no file, in
// the same run: what the process takes before any decoding.
//   tiny values: 60 MB of one small value repeated in a list (refused by the decoder)
//   files:       the import torrents above, and three of a million files: with a folder and
//                a 15-byte name (48 MB), with a 7-byte name (33 MB), with a 6-byte name and a
//                one-digit length (29 MB, the size of a real torrent of a million files)

constexpr const char* kPeakChild = "--peak-child";
constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

// The child prints its own peak (VmHWM): the one the kernel reports to a parent also counts
// the parent's memory it shared until it started the program.
int RunPeakChild(const std::string& mode, const std::string& path) {
  if (mode == "decode")
    benchmark::DoNotOptimize(morvane::ParseTorrentFile(path));
  else
    benchmark::DoNotOptimize(morvane::ReadTorrentFileInfo(path));
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      std::printf("%llu\n", std::stoull(line.substr(6)) * 1024);  // in kB
      return 0;
    }
  }
  return 1;
}

// Runs this program as a peak-measuring child; its peak resident size in bytes, or 0.
std::uint64_t ChildPeak(const std::string& mode, const std::string& path) {
  bool ok = false;
  const std::string peak = RunChild({"/proc/self/exe", kPeakChild, mode, path}, nullptr, &ok);
  return ok ? std::stoull(peak) : 0;
}

std::string Repeated(const std::string& unit, std::size_t bytes) {
  std::string out = "l";
  out.reserve(bytes + 1);
  while (out.size() + unit.size() < bytes) out += unit;
  return out + "e";
}

// A million file entries, `entry` making the i-th.
template <class Entry>
std::string MillionFilesTorrent(Entry entry) {
  std::string files = "l";
  for (int i = 0; i < 1000000; ++i) files += entry(i);
  files += "e";
  return "d8:announce" + Str("http://tracker.example.org/announce") + "4:infod5:files" + files +
         "4:name" + Str("a-million") + "12:piece lengthi4194304e6:pieces" +
         Str(PieceDigests(1000)) + "ee";
}

std::string ShortNamesTorrent() {
  return MillionFilesTorrent([](int i) {
    char name[32];
    const int nameLength = std::snprintf(name, sizeof name, "file-%06d.txt", i);
    const std::string folder = "d" + std::to_string(i / 1000);
    char entry[96];
    std::snprintf(entry, sizeof entry, "d6:lengthi4096e4:pathl%zu:%s%d:%see", folder.size(),
                  folder.c_str(), nameLength, name);
    return std::string(entry);
  });
}

std::string SevenByteNamesTorrent() {
  return MillionFilesTorrent([](int i) {
    char entry[48];
    std::snprintf(entry, sizeof entry, "d6:lengthi4096e4:pathl7:f%06dee", i);
    return std::string(entry);
  });
}

std::string SixByteNamesTorrent() {
  return MillionFilesTorrent([](int i) {
    char entry[48];
    std::snprintf(entry, sizeof entry, "d6:lengthi%de4:pathl6:%06dee", i % 10, i);
    return std::string(entry);
  });
}

void BM_PeakMemory(benchmark::State& state) {
  struct Input {
    const char* label;
    std::string (*make)();
  };
  static const Input kInputs[] = {
      {"empty lists", [] { return Repeated("le", 60000000); }},
      {"empty strings", [] { return Repeated("0:", 60000000); }},
      {"zeros", [] { return Repeated("i0e", 60000000); }},
      {"one-entry dictionaries", [] { return Repeated("d1:ai0ee", 60000000); }},
      {"lists of one zero", [] { return Repeated("li0ee", 60000000); }},
      {"single 100 GiB file", SingleFileTorrent},
      {"60,000 files", ManyFilesTorrent},
      {"a million files, short names", ShortNamesTorrent},
      {"a million files, 7-byte names", SevenByteNamesTorrent},
      {"a million files, 6-byte names", SixByteNamesTorrent},
  };
  const Input& input = kInputs[state.range(0)];
  const std::string mode = state.range(1) == 0 ? "decode" : "import";
  state.SetLabel(std::string(input.label) + ", " + mode);
  const std::string path = (Files().folder / "peak.torrent").string();
  std::uint64_t size = 0;
  {
    const std::string bytes = input.make();
    size = bytes.size();
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::vector<double> peaks, floors;
  for (auto _ : state) {
    peaks.push_back(static_cast<double>(ChildPeak(mode, path)));
    floors.push_back(static_cast<double>(ChildPeak(mode, path + ".absent")));
  }
  std::filesystem::remove(path);
  const double bound = 8.0 * static_cast<double>(size) + 64.0 * kMiB;
  const double peak = *std::max_element(peaks.begin(), peaks.end());
  state.counters["file_MB"] = size / 1e6;
  state.counters["peak_MB"] = peak / 1e6;
  state.counters["floor_MB"] = Median(floors) / 1e6;
  state.counters["bound_MB"] = bound / 1e6;
  state.counters["peak_over_bound"] = peak / bound;
}
BENCHMARK(BM_PeakMemory)
    ->ArgNames({"input", "import"})
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

// In the child: OpenSSL's time for the same 64 MB, under whatever mask it was started with.
int RunOpenSslChild() {
  const std::string& data = HashInput();
  TimeOpenSsl(data);  // warm up
  std::printf("%.9f\n", TimeOpenSsl(data));
  return 0;
}

}  // namespace

// Writes the two import torrents into `folder`, for comparisons run from outside.
int WriteTorrents(const std::filesystem::path& folder) {
  std::ofstream single(folder / "single.torrent", std::ios::binary);
  std::ofstream multi(folder / "multi.torrent", std::ios::binary);
  single << SingleFileTorrent();
  multi << ManyFilesTorrent();
  return single && multi ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], kChildFlag) == 0) return RunOpenSslChild();
  if (argc == 3 && std::strcmp(argv[1], "--write-torrents") == 0) return WriteTorrents(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], kImportChild) == 0) return RunImportChild(argv[2], argv[3]);
  if (argc == 4 && std::strcmp(argv[1], kPeakChild) == 0) return RunPeakChild(argv[2], argv[3]);
  std::printf("SHA instructions on this CPU: %s\n",
              morvane::Sha1CpuInstructionsAvailable() ? "yes" : "no");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
