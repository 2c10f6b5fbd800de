#pragma once
// Small media files made with the ffmpeg tool when a test first asks for them (never kept in
// the repository): four seconds of a moving test picture and a tone, a key frame every
// second so that a start time has key frames to land on.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/ScratchFolder.h"

namespace morvane::testing {

constexpr double kSampleSeconds = 4.0;

// A sample's name as part of a test's name (letters, digits and underscores only).
inline std::string TestNameOf(std::string name) {
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

class MediaSamples {
 public:
  // The path of the sample, made on first use; "" (and a test failure) when ffmpeg fails.
  std::string Path(const std::string& name) {
    const auto made = made_.find(name);
    if (made != made_.end()) return made->second;
    const std::string path = folder_.Path(name);
    const std::string command = "ffmpeg -nostdin -v error -y " + Recipe(name, path) + " 2>&1";
    if (std::system(command.c_str()) != 0) {
      ADD_FAILURE() << "could not make " << name << ": " << command;
      return "";
    }
    made_[name] = path;
    return path;
  }

  std::string Bytes(const std::string& name) {
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  // A file of the given bytes in the samples' folder.
  std::string Write(const std::string& name, const std::string& bytes) { return folder_.Write(name, bytes); }

 private:
  std::string Recipe(const std::string& name, const std::string& out) {
    const std::string inputs =
        "-f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 ";
    const std::string picture = inputs + "-t 4 -map 0:v -map 1:a ";
    const std::string keyEverySecond = "-g 25 -keyint_min 25 ";
    if (name == "hevc_aac.mp4")
      return picture + "-c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=25:min-keyint=25 "
                       "-tag:v hvc1 -c:a aac " + out;
    if (name == "h264_ac3.mkv") return picture + "-c:v libx264 -preset ultrafast " + keyEverySecond + "-c:a ac3 " + out;
    if (name == "hevc_ac3.mkv")
      return picture + "-c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=25:min-keyint=25 "
                       "-c:a ac3 " + out;
    if (name == "xvid_mp3.avi") return picture + "-c:v libxvid " + keyEverySecond + "-c:a libmp3lame " + out;
    if (name == "h264_aac.mp4") return picture + "-c:v libx264 -preset ultrafast " + keyEverySecond + "-c:a aac " + out;
    if (name == "h264_aac.ts") return picture + "-c:v libx264 -preset fast " + keyEverySecond + "-c:a aac " + out;
    if (name == "vp9_opus.webm")
      return picture + "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 " + keyEverySecond + "-c:a libopus " + out;
    if (name == "h264_two_audio.mkv")  // a film in two languages: stereo at 48 kHz, mono at 22.05 kHz
      return inputs + "-f lavfi -i sine=frequency=880:sample_rate=22050 -t 4 -map 0:v -map 1:a -map 2:a " +
             "-c:v libx264 -preset ultrafast " + keyEverySecond + "-c:a aac -ac:a:0 2 -ac:a:1 1 " +
             "-metadata:s:a:0 language=chi -metadata:s:a:1 language=eng " + out;
    if (name == "h264_aac_subs.mkv") {
      // Two text tracks: English SubRip, then Chinese SubStation Alpha.
      const std::string english = Write("english.srt",
                                        "1\n00:00:00,500 --> 00:00:01,500\nHello <i>there</i>\n\n"
                                        "2\n00:00:02,000 --> 00:00:03,000\nSecond line\n");
      const std::string chinese = Write("chinese.srt", "1\n00:00:01,000 --> 00:00:02,000\n你好，世界\n");
      return inputs + "-i " + english + " -i " + chinese + " -t 4 -map 0:v -map 1:a" +
             " -map 2:s -map 3:s -c:v libx264 -preset ultrafast " + keyEverySecond +
             "-c:a aac -c:s:0 srt -c:s:1 ass -metadata:s:s:0 language=eng -metadata:s:s:1 language=chi " + out;
    }
    ADD_FAILURE() << "no recipe for " << name;
    return "-version";
  }

  ScratchFolder folder_;
  std::map<std::string, std::string> made_;
};

}  // namespace morvane::testing
