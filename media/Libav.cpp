#include "media/Libav.h"

#include <new>

namespace morvane::media {

void LibavDeleter::operator()(AVFormatContext* input) const { avformat_close_input(&input); }

void LibavDeleter::operator()(AVIOContext* io) const {
  if (io != nullptr) av_freep(&io->buffer);
  avio_context_free(&io);
}

Frame NewFrame() {
  Frame frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  return frame;
}

Packet NewPacket() {
  Packet packet(av_packet_alloc());
  if (!packet) throw std::bad_alloc();
  return packet;
}

void QuietLibavLog() { av_log_set_level(AV_LOG_ERROR); }

std::string MetadataValue(const AVDictionary* metadata, const char* key) {
  const AVDictionaryEntry* entry = av_dict_get(metadata, key, nullptr, 0);
  return entry != nullptr && entry->value != nullptr ? entry->value : "";
}

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace morvane::media
