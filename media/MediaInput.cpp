#include "media/MediaInput.h"

#include <algorithm>
#include <cstdio>

namespace morvane::media {

namespace {

// Big enough that a demuxer's small reads do not each become a call into the torrent's
// piece reader, small enough that the first read of a stream needs only its first piece.
constexpr int kReadBufferSize = 64 * 1024;

}  // namespace

int Check(int code, const char* what) {
  if (code < 0) throw MediaError(std::string(what) + ": " + ErrorText(code));
  return code;
}

int MediaInput::Read(void* opaque, std::uint8_t* buffer, int size) {
  auto& state = *static_cast<State*>(opaque);
  if (state.cancelled != nullptr && state.cancelled->load()) {
    state.failure = "cancelled";
    return AVERROR_EXIT;
  }
  if (state.position >= state.source.size) return AVERROR_EOF;
  // Never past the end: a piece reader would wait for bytes that never come.
  const std::size_t length = static_cast<std::size_t>(
      std::min<std::uint64_t>(static_cast<std::uint64_t>(size), state.source.size - state.position));
  const std::int64_t n = state.source.readAt(state.position, reinterpret_cast<char*>(buffer), length);
  if (n < 0 || static_cast<std::uint64_t>(n) > length) {
    state.failure = "the file could not be read";
    return AVERROR(EIO);
  }
  if (n == 0) return AVERROR_EOF;
  state.position += static_cast<std::uint64_t>(n);
  return static_cast<int>(n);
}

std::int64_t MediaInput::Seek(void* opaque, std::int64_t offset, int whence) {
  auto& state = *static_cast<State*>(opaque);
  const auto size = static_cast<std::int64_t>(state.source.size);
  std::int64_t target;
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return size;
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = static_cast<std::int64_t>(state.position) + offset; break;
    case SEEK_END: target = size + offset; break;
    default: return AVERROR(EINVAL);
  }
  if (target < 0) return AVERROR(EINVAL);
  state.position = static_cast<std::uint64_t>(target);
  return target;
}

int MediaInput::Interrupted(void* opaque) {
  const auto* state = static_cast<const State*>(opaque);
  return state->cancelled != nullptr && state->cancelled->load() ? 1 : 0;
}

MediaInput::MediaInput(ByteSource source, const std::atomic<bool>* cancelled)
    : state_(std::make_unique<State>()) {
  state_->source = std::move(source);
  state_->cancelled = cancelled;
  if (!state_->source.readAt) throw MediaError("no byte source");
  if (state_->source.size == 0) throw MediaError("the file is empty");

  auto* buffer = static_cast<unsigned char*>(av_malloc(kReadBufferSize));
  if (buffer == nullptr) throw std::bad_alloc();
  io_.reset(avio_alloc_context(buffer, kReadBufferSize, 0, state_.get(), &MediaInput::Read,
                               nullptr, &MediaInput::Seek));
  if (!io_) {
    av_free(buffer);
    throw std::bad_alloc();
  }

  AVFormatContext* format = avformat_alloc_context();
  if (format == nullptr) throw std::bad_alloc();
  format->pb = io_.get();
  format->flags |= AVFMT_FLAG_CUSTOM_IO;
  format->interrupt_callback = {&MediaInput::Interrupted, state_.get()};
  // The name is only a hint for the format probe (an .srt or .ts says what it is).
  const int opened = avformat_open_input(&format, state_->source.name.c_str(), nullptr, nullptr);
  if (opened < 0) {
    // avformat_open_input frees the context itself on failure.
    if (!state_->failure.empty()) throw MediaError(state_->failure);
    throw MediaError("not a media file: " + ErrorText(opened));
  }
  format_.reset(format);
  const int found = avformat_find_stream_info(format_.get(), nullptr);
  if (!state_->failure.empty()) throw MediaError(state_->failure);
  Check(found, "no stream information");
}

MediaInput::~MediaInput() = default;

}  // namespace morvane::media
