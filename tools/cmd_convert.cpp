// morvane-tool convert FILE OUT [--start SECONDS]: the fragmented MP4 the player would get
// for the file, from that time on. Prints where the output starts, its length and how the
// picture was encoded; exit code 1 when the conversion failed (OUT then holds what was made).

#include <charconv>
#include <cstdio>
#include <fstream>

#include "media/Converter.h"
#include "media/Libav.h"
#include "tools/Commands.h"

namespace morvane::tool {
namespace {

int RunConvert(const Arguments& arguments) {
  media::ConvertOptions options;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == "--start" && i + 1 < arguments.size()) {
      const std::string& value = arguments[++i];
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), options.startSeconds);
      if (error != std::errc() || end != value.data() + value.size() || options.startSeconds < 0) {
        std::fprintf(stderr, "morvane-tool convert: bad start time '%s'\n", value.c_str());
        return 2;
      }
    } else {
      files.push_back(arguments[i]);
    }
  }
  if (files.size() != 2) {
    std::fprintf(stderr, "usage: morvane-tool convert FILE OUT [--start SECONDS]\n");
    return 2;
  }
  media::QuietLibavLog();
  std::ofstream out(files[1], std::ios::binary | std::ios::trunc);
  if (!out) {
    std::fprintf(stderr, "morvane-tool convert: cannot write %s\n", files[1].c_str());
    return 1;
  }
  options.onStart = [](const media::ConvertStart& start) {
    std::printf("start: %.3f\nduration: %.3f\nvideo: %s\naudio: %s\n", start.startSeconds,
                start.durationSeconds,
                start.videoTranscoded ? "h264" : start.videoCopied ? "copy" : "none",
                start.audioTranscoded ? "aac" : start.audioCopied ? "copy" : "none");
    if (start.videoTranscoded)
      std::printf("plan: %dx%d preset=%s crf=%d measured=%.1ffps\n", start.plan.width, start.plan.height,
                  start.plan.preset.c_str(), start.plan.crf, start.plan.measuredFps);
    std::fflush(stdout);
  };
  media::Converter converter(media::FileByteSource(files[0]), options);
  const media::ConvertResult result = converter.Run([&](const char* data, std::size_t size) {
    return static_cast<bool>(out.write(data, static_cast<std::streamsize>(size)));
  });
  out.close();
  std::printf("bytes: %llu\n", static_cast<unsigned long long>(result.bytesWritten));
  if (!result.ok) {
    std::fprintf(stderr, "morvane-tool convert: %s\n", result.error.c_str());
    return 1;
  }
  return 0;
}

const RegisterCommand kConvert{"convert", "FILE OUT [--start SECONDS]",
                               "writes the fragmented MP4 the player gets for a media file",
                               &RunConvert};

}  // namespace
}  // namespace morvane::tool
