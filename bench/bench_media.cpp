// The media converter on this machine, against playback speed. Samples are made with the
// ffmpeg tool before the runs (a test picture with a little moving grain, so that the
// encoder has real work; a tone):
//   remux:  60 s of 1280x720 H.264 at 2.5 Mbit/s with AAC in Matroska, rewrapped as
//           fragmented MP4. "x_realtime": seconds of film per second of work (target >= 10).
//   transcode: 20 s of 1280x720 HEVC at 24 fps with AAC, re-encoded to H.264. /measured lets
//           the converter choose its settings by measuring (as the service does); the fixed
//           variants show each candidate of its ladder. "fps": frames a second;
//           "x_realtime" (target >= 1.2).
//   first bytes: from Run() to the header (with the length in it) and to the first media
//           fragment, for a remux and for a transcode whose settings are measured first (a
//           new file) or already known (a seek in a file being played).
// The summary at the end gives the medians of the repetitions.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "media/Converter.h"
#include "media/Libav.h"

namespace {

using Clock = std::chrono::steady_clock;
using morvane::media::ConvertOptions;
using morvane::media::ConvertResult;
using morvane::media::Converter;
using morvane::media::VideoPlan;

constexpr double kRemuxSeconds = 60;
constexpr double kTranscodeSeconds = 20;
constexpr double kFramesPerSecond = 24;

std::string gFolder;
std::map<std::string, std::vector<double>> gFigures;  // "name/figure" -> one value a repetition
std::map<std::string, std::string> gNotes;

std::string Sample(const char* name) { return gFolder + "/" + name; }

bool MakeSamples() {
  char pattern[] = "/tmp/morvane-bench-media-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  gFolder = pattern;
  const std::string picture = "-f lavfi -i testsrc2=size=1280x720:rate=24,noise=alls=6:allf=t "
                              "-f lavfi -i sine=frequency=440:sample_rate=48000 ";
  const std::string commands[] = {
      "ffmpeg -nostdin -v error -y " + picture + "-t 60 -c:v libx264 -preset ultrafast -b:v 2500k -g 48 "
          "-c:a aac " + Sample("remux.mkv"),
      "ffmpeg -nostdin -v error -y " + picture + "-t 20 -c:v libx265 -preset ultrafast -b:v 2000k "
          "-x265-params log-level=error:keyint=48 -tag:v hvc1 -c:a aac " + Sample("hevc720.mp4"),
  };
  for (const std::string& command : commands)
    if (std::system(command.c_str()) != 0) return false;
  return true;
}

struct Timed {
  ConvertResult result;
  double seconds = 0;
  double toHeader = -1, toFragment = -1;
};

Timed Convert(const std::string& path, const std::string& sourceName, ConvertOptions options) {
  Timed timed;
  morvane::media::ByteSource source = morvane::media::FileByteSource(path);
  source.name = sourceName;
  Converter converter(source, std::move(options));
  int calls = 0;
  const auto start = Clock::now();
  timed.result = converter.Run([&](const char*, std::size_t) {
    const double at = std::chrono::duration<double>(Clock::now() - start).count();
    if (calls == 0) timed.toHeader = at;
    if (calls == 1) timed.toFragment = at;
    ++calls;
    return true;
  });
  timed.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return timed;
}

void Record(benchmark::State& state, const std::string& name, const std::string& figure, double value) {
  gFigures[name + "/" + figure].push_back(value);
  state.counters[figure] = value;
}

void BM_Remux(benchmark::State& state) {
  for (auto _ : state) {
    const Timed t = Convert(Sample("remux.mkv"), "remux.mkv", {});
    if (!t.result.ok) state.SkipWithError(t.result.error.c_str());
    state.SetIterationTime(t.seconds);
    Record(state, "remux", "x_realtime", kRemuxSeconds / t.seconds);
    Record(state, "remux", "MB_per_s", static_cast<double>(t.result.bytesWritten) / 1e6 / t.seconds);
    Record(state, "remux", "ms_to_header", t.toHeader * 1000);
    Record(state, "remux", "ms_to_fragment", t.toFragment * 1000);
  }
}

void Transcode(benchmark::State& state, const std::string& name, const VideoPlan& plan) {
  static int run = 0;
  for (auto _ : state) {
    ConvertOptions options;
    options.videoPlan = plan;
    // A new name each run: the settings are measured every time, as for a new file.
    const Timed t = Convert(Sample("hevc720.mp4"), name + std::to_string(run++) + ".mp4", options);
    if (!t.result.ok) state.SkipWithError(t.result.error.c_str());
    state.SetIterationTime(t.seconds);
    Record(state, name, "x_realtime", kTranscodeSeconds / t.seconds);
    Record(state, name, "fps", kTranscodeSeconds * kFramesPerSecond / t.seconds);
    Record(state, name, "ms_to_header", t.toHeader * 1000);
    Record(state, name, "ms_to_fragment", t.toFragment * 1000);
    const VideoPlan& chosen = t.result.start.plan;
    gNotes[name] = std::to_string(chosen.width) + "x" + std::to_string(chosen.height) + " " + chosen.preset +
                   " crf " + std::to_string(chosen.crf);
    if (chosen.measuredFps > 0) gNotes[name] += " (trial " + std::to_string(static_cast<int>(chosen.measuredFps)) + " fps)";
  }
}

void BM_TranscodeMeasured(benchmark::State& state) { Transcode(state, "transcode_measured", {}); }

void BM_TranscodeFixed(benchmark::State& state) {
  static const struct {
    int height;
    const char* preset;
  } kPlans[] = {{720, "veryfast"}, {720, "superfast"}, {720, "ultrafast"}, {540, "ultrafast"}};
  const auto& p = kPlans[state.range(0)];
  VideoPlan plan;
  plan.height = p.height;
  plan.width = p.height * 16 / 9;
  plan.preset = p.preset;
  Transcode(state, "transcode_" + std::to_string(p.height) + "_" + p.preset, plan);
}

// A seek while playing: the settings of the file are known by then.
void BM_SeekTranscode(benchmark::State& state) {
  ConvertOptions first;
  Convert(Sample("hevc720.mp4"), "seek.mp4", first);
  for (auto _ : state) {
    ConvertOptions options;
    options.startSeconds = 10;
    bool fragmentSeen = false;
    morvane::media::ByteSource source = morvane::media::FileByteSource(Sample("hevc720.mp4"));
    source.name = "seek.mp4";
    Converter converter(source, options);
    const auto start = Clock::now();
    double toFragment = 0;
    int calls = 0;
    // Stops at the first fragment: the time a player waits after a seek.
    converter.Run([&](const char*, std::size_t) {
      if (++calls == 2) {
        toFragment = std::chrono::duration<double>(Clock::now() - start).count();
        fragmentSeen = true;
        return false;
      }
      return true;
    });
    if (!fragmentSeen) state.SkipWithError("no fragment");
    state.SetIterationTime(toFragment);
    Record(state, "seek_transcode", "ms_to_fragment", toFragment * 1000);
  }
}

BENCHMARK(BM_Remux)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_TranscodeMeasured)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_TranscodeFixed)->DenseRange(0, 3)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);
BENCHMARK(BM_SeekTranscode)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void PrintSummary() {
  std::printf("\nmedians of the repetitions:\n");
  for (const auto& [name, values] : gFigures) std::printf("  %-40s %10.2f\n", name.c_str(), Median(values));
  for (const auto& [name, note] : gNotes) std::printf("  %s settings: %s\n", name.c_str(), note.c_str());
  auto verdict = [](const char* what, double value, double target) {
    std::printf("%s: %.2f (target >= %.1f) %s\n", what, value, target, value >= target ? "met" : "NOT MET");
  };
  std::printf("\n");
  verdict("remux x real time", Median(gFigures["remux/x_realtime"]), 10);
  verdict("720p HEVC->H.264 (measured settings) x real time", Median(gFigures["transcode_measured/x_realtime"]), 1.2);
}

}  // namespace

int main(int argc, char** argv) {
  morvane::media::QuietLibavLog();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!MakeSamples()) {
    std::fprintf(stderr, "bench_media: could not make the samples with ffmpeg\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  PrintSummary();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(gFolder, ignored);
  return 0;
}
