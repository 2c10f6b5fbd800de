#include "media/EmbeddedSubtitles.h"

#include <algorithm>
#include <map>

#include "media/MediaInput.h"
#include "media/StreamChoice.h"
#include "media/SubtitleText.h"

namespace morvane::media {

namespace {

bool IsTextCodec(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_SUBRIP:
    case AV_CODEC_ID_TEXT:
    case AV_CODEC_ID_ASS:
    case AV_CODEC_ID_SSA:
    case AV_CODEC_ID_WEBVTT:
    case AV_CODEC_ID_MOV_TEXT: return true;
    default: return false;
  }
}

// The cue text of one packet, in UTF-8.
std::string PacketText(AVCodecID codec, std::string_view data) {
  if (codec == AV_CODEC_ID_MOV_TEXT) {
    // A 16-bit length, the text, then style boxes that are not kept.
    if (data.size() < 2) return "";
    const std::size_t length = static_cast<unsigned char>(data[0]) << 8 | static_cast<unsigned char>(data[1]);
    data = data.substr(2, std::min(length, data.size() - 2));
  }
  const std::string text = SubtitleTextToUtf8(data);
  if (codec == AV_CODEC_ID_ASS || codec == AV_CODEC_ID_SSA) {
    // Matroska keeps an event as "ReadOrder,Layer,Style,Name,MarginL,MarginR,MarginV,Effect,Text".
    std::size_t at = 0;
    for (int field = 0; field < 8 && at != std::string::npos; ++field) {
      at = text.find(',', at);
      if (at != std::string::npos) ++at;
    }
    return at == std::string::npos ? "" : CleanSubStationText(std::string_view(text).substr(at));
  }
  return CleanSubRipText(text);
}

}  // namespace

std::vector<EmbeddedSubtitle> ListEmbeddedSubtitles(const ByteSource& source,
                                                    const std::atomic<bool>* cancelled) {
  std::vector<EmbeddedSubtitle> tracks;
  try {
    MediaInput input(source, cancelled);
    const AVFormatContext& format = *input.format();
    for (unsigned i = 0; i < format.nb_streams; ++i) {
      const AVStream& s = *format.streams[i];
      if (s.codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE) continue;
      EmbeddedSubtitle track;
      track.streamIndex = static_cast<int>(i);
      track.codec = avcodec_get_name(s.codecpar->codec_id);
      track.language = MetadataValue(s.metadata, "language");
      if (track.language == "und") track.language.clear();
      track.title = MetadataValue(s.metadata, "title");
      track.isText = IsTextCodec(s.codecpar->codec_id);
      tracks.push_back(std::move(track));
    }
  } catch (const MediaError&) {
  }
  return tracks;
}

SubtitleConversion ExtractEmbeddedSubtitle(const ByteSource& source, int streamIndex,
                                           const std::atomic<bool>* cancelled) {
  return ExtractEmbeddedSubtitles(source, {streamIndex}, cancelled).front();
}

std::vector<SubtitleConversion> ExtractEmbeddedSubtitles(const ByteSource& source,
                                                         const std::vector<int>& streamIndices,
                                                         const std::atomic<bool>* cancelled) {
  std::vector<SubtitleConversion> results(streamIndices.size());
  try {
    MediaInput input(source, cancelled);
    AVFormatContext& format = *input.format();
    // The cues of each text track asked for, by stream index; the others are not read.
    std::map<int, std::vector<Cue>> cues;
    for (std::size_t i = 0; i < streamIndices.size(); ++i) {
      const int index = streamIndices[i];
      if (index < 0 || static_cast<unsigned>(index) >= format.nb_streams ||
          format.streams[index]->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE)
        results[i].error = "no such subtitle track";
      else if (!IsTextCodec(format.streams[index]->codecpar->codec_id))
        results[i].error = "picture subtitles cannot be shown as text";
      else
        cues[index];
    }
    if (cues.empty()) return results;
    for (unsigned i = 0; i < format.nb_streams; ++i)
      if (!cues.contains(static_cast<int>(i))) format.streams[i]->discard = AVDISCARD_ALL;
    const AVRational ms{1, 1000};
    Packet packet = NewPacket();
    for (;;) {
      const int read = av_read_frame(&format, packet.get());
      if (!input.ReadFailure().empty()) throw MediaError(input.ReadFailure());
      if (read == AVERROR_EOF || (read < 0 && avio_feof(format.pb))) break;
      Check(read, "reading the file");
      const auto track = cues.find(packet->stream_index);
      if (track != cues.end() && packet->pts != AV_NOPTS_VALUE) {
        const AVStream& stream = *format.streams[packet->stream_index];
        const std::int64_t zero = av_rescale_q(TimelineZero(format), AV_TIME_BASE_Q, stream.time_base);
        Cue cue;
        cue.startMs = av_rescale_q(packet->pts - zero, stream.time_base, ms);
        cue.endMs = cue.startMs + av_rescale_q(std::max<std::int64_t>(packet->duration, 0), stream.time_base, ms);
        cue.text = PacketText(stream.codecpar->codec_id,
                              std::string_view(reinterpret_cast<const char*>(packet->data),
                                               static_cast<std::size_t>(packet->size)));
        if (!cue.text.empty() && cue.endMs > cue.startMs) track->second.push_back(std::move(cue));
      }
      av_packet_unref(packet.get());
    }
    for (auto& [index, found] : cues)
      std::stable_sort(found.begin(), found.end(), [](const Cue& a, const Cue& b) { return a.startMs < b.startMs; });
    for (std::size_t i = 0; i < streamIndices.size(); ++i) {
      const auto track = cues.find(streamIndices[i]);
      if (track == cues.end()) continue;
      results[i].ok = true;
      results[i].cueCount = track->second.size();
      results[i].webVtt = WriteWebVtt(track->second);
    }
  } catch (const MediaError& error) {
    for (SubtitleConversion& result : results)
      if (result.error.empty()) result.error = error.what();
  }
  return results;
}

}  // namespace morvane::media
