// Downloading a 256 MB program file from a loopback server with DownloadToFile and the
// real progress routine, against the curl command-line tool downloading the same file into
// the same directory in the same run. Each iteration times both, in alternating order; the
// reported time is DownloadToFile's, and "ratio" is its total wall time over curl's (1.0:
// as fast as curl).
//
// The progress figures go to a port of the benchmark's own that coalesces them like the
// Qt port does: each control keeps only its latest value, and a window thread takes
// whatever is waiting when a flush was asked for. The argument is the window's pacing:
// /0 flushes as soon as asked (as the Qt port does now, which wakes the window thread for
// nearly every read), /16 at most once a display frame.

#include <benchmark/benchmark.h>
#include <httplib.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Controls.h"
#include "tests/support/LocalServer.h"
#include "update/UpdateDownload.h"
#include "update/UpdateSignature.h"

extern char** environ;

namespace {

constexpr std::size_t kFileSize = 256u << 20;
constexpr std::size_t kPiece = 1u << 20;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The update window as far as the download needs it. Posted writes wait in a box; the
// first write after a take wakes the window thread, which takes the latest values and
// shows them. Everything else a routine could ask of a window is inert.
class CoalescingWindow : public morvane::Controls {
 public:
  // pacing: the shortest time between two flushes; zero flushes as soon as asked.
  explicit CoalescingWindow(std::chrono::milliseconds pacing)
      : pacing_(pacing), window_([this] { RunWindow(); }) {}
  ~CoalescingWindow() override {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    window_.join();
  }
  void PostText(std::string_view control, const std::string& text) override {
    bool wake;
    {
      std::lock_guard lock(mutex_);
      texts_[std::string(control)] = text;
      wake = Schedule();
    }
    if (wake) wake_.notify_one();
  }
  void PostProgress(std::string_view bar, int value) override {
    bool wake;
    {
      std::lock_guard lock(mutex_);
      progress_[std::string(bar)] = value;
      wake = Schedule();
    }
    if (wake) wake_.notify_one();
  }
  std::string Text(std::string_view control) override {
    std::lock_guard lock(shownMutex_);
    return shown_[std::string(control)];
  }
  void SetText(std::string_view control, const std::string& text) override {
    std::lock_guard lock(shownMutex_);
    shown_[std::string(control)] = text;
  }
  void SetProgress(std::string_view bar, int value) override {
    std::lock_guard lock(shownMutex_);
    bars_[std::string(bar)] = value;
  }
  int flushes() const { return flushes_; }

  bool Visible(std::string_view) override { return true; }
  void SetVisible(std::string_view, bool) override {}
  int SelectedIndex(std::string_view) override { return -1; }
  void SetSelectedIndex(std::string_view, int) override {}
  int RowCount(std::string_view) override { return 0; }
  int InsertRow(std::string_view, int) override { return 0; }
  std::string Cell(std::string_view, int, int) override { return ""; }
  void SetCell(std::string_view, int, int, const std::string&) override {}
  void DeleteRow(std::string_view, int) override {}
  void DeleteAllRows(std::string_view) override {}
  void AppendRows(std::string_view, const std::vector<morvane::Row>&) override {}
  void Navigate(std::string_view, const std::string&) override {}
  std::string Address(std::string_view) override { return ""; }
  void ClearWebCache() override {}
  morvane::MessageAnswer ShowMessage(const std::string&, const std::string&,
                                     morvane::MessageButtons, morvane::MessageIcon) override {
    return morvane::MessageAnswer::Ok;
  }
  std::string ShowOpenFileDialog(const std::string&) override { return ""; }
  void PopupMenu(std::string_view) override {}
  void SetClipboardText(const std::string&) override {}
  void OpenInDefaultBrowser(const std::string&) override {}
  void SetMainWindowVisible(bool) override {}
  void OpenUpdateWindow(std::function<void()>, std::function<void()>) override {}
  void EndProgram(int) override {}

 private:
  // True when the window thread must be woken: no flush is pending yet.
  bool Schedule() {
    if (pending_) return false;
    pending_ = true;
    return true;
  }
  void RunWindow() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return pending_ || stop_; });
      if (stop_) return;
      auto texts = std::move(texts_);
      auto progress = std::move(progress_);
      texts_.clear();
      progress_.clear();
      pending_ = false;
      lock.unlock();
      for (const auto& [control, text] : texts) SetText(control, text);
      for (const auto& [bar, value] : progress) SetProgress(bar, value);
      ++flushes_;
      if (pacing_.count() > 0) std::this_thread::sleep_for(pacing_);
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, std::string> texts_;
  std::map<std::string, int> progress_;
  bool pending_ = false;
  bool stop_ = false;
  std::mutex shownMutex_;
  std::map<std::string, std::string> shown_;
  std::map<std::string, int> bars_;
  std::atomic<int> flushes_{0};
  const std::chrono::milliseconds pacing_;
  std::thread window_;
};

bool RunCurl(const std::string& address, const std::string& path) {
  const char* argv[] = {"curl", "-s", "-o", path.c_str(), address.c_str(), nullptr};
  pid_t child;
  if (posix_spawnp(&child, "curl", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    return false;
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::uintmax_t SizeOf(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

// A loopback server offering a 256 MB program file, made of one repeated megabyte.
class ProgramServer {
 public:
  ProgramServer() : piece_(kPiece, '\0') {
    for (std::size_t i = 0; i < kPiece; ++i) piece_[i] = static_cast<char>(i * 131 + (i >> 9));
    server_.server().Get("/new", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(
          kFileSize, "application/octet-stream",
          [this](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            const std::size_t at = offset % kPiece;
            return sink.write(piece_.data() + at, std::min(length, kPiece - at));
          });
    });
    server_.Start();
  }
  std::string address() const { return server_.base() + "/new"; }
  // The file's digest, worked out here without the download's help.
  morvane::Sha256Digest Digest() const {
    morvane::Sha256 hasher;
    for (std::size_t at = 0; at < kFileSize; at += kPiece) hasher.Add(piece_.data(), kPiece);
    return hasher.Finish();
  }

 private:
  std::string piece_;
  morvane::testing::LocalServer server_;
};

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// A fresh directory under the system's temporary folder; "" when none can be made.
std::string ScratchDirectory() {
  std::string directory = std::filesystem::temp_directory_path().string() + "/bench-dl-XXXXXX";
  return mkdtemp(directory.data()) ? directory : "";
}

// state.range(0): the window's pacing in milliseconds (0: a flush as soon as one is asked
// for, as the Qt port does now; 16: at most one flush a display frame).
void BM_DownloadToFile256MB(benchmark::State& state) {
  ProgramServer server;
  const std::string address = server.address();
  const std::string directory = ScratchDirectory();
  if (directory.empty()) {
    state.SkipWithError("no scratch directory");
    return;
  }
  const std::string ours = directory + "/ours";
  const std::string theirs = directory + "/theirs";

  CoalescingWindow ui{std::chrono::milliseconds(state.range(0))};
  morvane::Program program(ui, morvane::Settings{});
  double downloadSeconds = 0;
  double curlSeconds = 0;
  bool downloadFirst = true;
  for (auto _ : state) {
    double downloadTime = 0;
    double curlTime = 0;
    const auto timeDownload = [&] {
      const auto start = Clock::now();
      const auto outcome = morvane::DownloadToFile(
          program, address, ours,
          [&program](std::int64_t total, std::int64_t received, std::int64_t elapsed,
                     std::int64_t fresh) {
            morvane::ShowDownloadProgress(program, total, received, elapsed, fresh);
          });
      downloadTime = SecondsSince(start);
      if (outcome != morvane::DownloadOutcome::Complete || SizeOf(ours) != kFileSize)
        state.SkipWithError("DownloadToFile failed");
      unlink(ours.c_str());
    };
    const auto timeCurl = [&] {
      const auto start = Clock::now();
      if (!RunCurl(address, theirs) || SizeOf(theirs) != kFileSize)
        state.SkipWithError("the curl tool failed");
      curlTime = SecondsSince(start);
      unlink(theirs.c_str());
    };
    if (downloadFirst) {
      timeDownload();
      timeCurl();
    } else {
      timeCurl();
      timeDownload();
    }
    downloadFirst = !downloadFirst;
    downloadSeconds += downloadTime;
    curlSeconds += curlTime;
    state.SetIterationTime(downloadTime);
  }
  std::filesystem::remove_all(directory);
  state.counters["curl_ms"] = benchmark::Counter(curlSeconds * 1000 / state.iterations());
  state.counters["ratio"] = benchmark::Counter(curlSeconds > 0 ? downloadSeconds / curlSeconds : 0);
  state.counters["window_flushes"] =
      benchmark::Counter(static_cast<double>(ui.flushes()) / state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_DownloadToFile256MB)
    ->Arg(0)
    ->Arg(16)
    ->Iterations(6)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The signed update's extra work: the same download as above (window pacing 16 ms) without
// a digest, against one that digests every byte as it is written and then verifies the
// publisher's signature, in alternating order. "ratio" is the verified download's total
// wall time over the plain one's (1.05: verification adds 5%), "median_ratio" the median of
// that ratio over neighbouring pairs, "cpu_ratio" the same for processor time; the reported
// time is the verified download's. The digest is worked out beside the download, so the
// wall time hides it only while a core is free: on a machine busy with other work the
// ratio approaches cpu_ratio.
void BM_VerifiedDownload256MB(benchmark::State& state) {
  ProgramServer server;
  const std::string address = server.address();
  const std::string directory = ScratchDirectory();
  const auto key = morvane::GenerateSigningKey();
  if (directory.empty() || !key) {
    state.SkipWithError("no scratch directory or no key");
    return;
  }
  const std::string signature = morvane::SignDigest(key->privateKeyPem, server.Digest());
  const std::string file = directory + "/new";

  CoalescingWindow ui{std::chrono::milliseconds(16)};
  morvane::Program program(ui, morvane::Settings{});
  double plainCpu = 0;
  double verifiedCpu = 0;
  // One download, timed from the start of the hasher to the end of the verification.
  const auto download = [&](bool verify) {
    const double cpuStart = ProcessCpuSeconds();
    const auto start = Clock::now();
    std::optional<morvane::BackgroundSha256> digest;
    morvane::WrittenBytes written;
    if (verify) {
      digest.emplace();
      written = [&digest](const char* data, std::size_t size) { digest->Add(data, size); };
    }
    const auto outcome = morvane::DownloadToFile(
        program, address, file,
        [&program](std::int64_t total, std::int64_t received, std::int64_t elapsed,
                   std::int64_t fresh) {
          morvane::ShowDownloadProgress(program, total, received, elapsed, fresh);
        },
        written);
    bool accepted = outcome == morvane::DownloadOutcome::Complete && SizeOf(file) == kFileSize;
    if (verify)
      accepted = accepted && morvane::DownloadAccepted(key->publicKey, digest->Finish(), signature);
    const double seconds = SecondsSince(start);
    (verify ? verifiedCpu : plainCpu) += ProcessCpuSeconds() - cpuStart;
    if (!accepted) state.SkipWithError("the download failed or was not accepted");
    unlink(file.c_str());
    return seconds;
  };
  std::vector<double> plainTimes;
  std::vector<double> verifiedTimes;
  bool verifiedFirst = true;
  for (auto _ : state) {
    if (verifiedFirst) {
      verifiedTimes.push_back(download(true));
      plainTimes.push_back(download(false));
    } else {
      plainTimes.push_back(download(false));
      verifiedTimes.push_back(download(true));
    }
    verifiedFirst = !verifiedFirst;
    state.SetIterationTime(verifiedTimes.back());
  }
  const double plainSeconds = std::accumulate(plainTimes.begin(), plainTimes.end(), 0.0);
  const double verifiedSeconds = std::accumulate(verifiedTimes.begin(), verifiedTimes.end(), 0.0);
  std::filesystem::remove_all(directory);
  state.counters["plain_ms"] = benchmark::Counter(plainSeconds * 1000 / state.iterations());
  // The work verification adds, whether or not a free core hides it: processor time of the
  // whole process (the server included) for a verified download over a plain one.
  state.counters["cpu_ratio"] = benchmark::Counter(plainCpu > 0 ? verifiedCpu / plainCpu : 0);
  state.counters["ratio"] =
      benchmark::Counter(plainSeconds > 0 ? verifiedSeconds / plainSeconds : 0);
  // The median over the pairs of neighbouring downloads: less swayed by a neighbour's
  // burst on a shared machine than the totals.
  std::vector<double> pairRatios;
  for (std::size_t i = 0; i < plainTimes.size(); ++i)
    if (plainTimes[i] > 0) pairRatios.push_back(verifiedTimes[i] / plainTimes[i]);
  state.counters["median_ratio"] = benchmark::Counter(Median(pairRatios));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
BENCHMARK(BM_VerifiedDownload256MB)->Iterations(16)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
