#include "stream/TorrentEngine.h"

#include <algorithm>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>
#include <set>

#include "stream/SessionSettings.h"
#include "stream/StreamState.h"
#include "stream/TorrentKey.h"

namespace lt = libtorrent;

namespace morvane::stream {

namespace {

// How long shutdown waits for resume data: shutdown as a whole stays under 2 s.
constexpr auto kResumeSaveWait = std::chrono::milliseconds(700);
// How long adding a torrent waits for the same torrent, stopped a moment ago, to leave.
constexpr auto kRemovalWait = std::chrono::seconds(2);

std::string Megabytes(std::uint64_t bytes) { return std::to_string((bytes + (1 << 19)) >> 20) + " MB"; }

// A reader or a resolution came: the stream downloads again at once if it had stopped.
void Watched(Stream& stream) {
  std::lock_guard lock(stream.mutex);
  try {
    MarkWatched(stream);
  } catch (const std::exception&) {  // its torrent removed meanwhile
  }
}

// The engine's own wait for pieces outside the readers (a side file, the whole video):
// the stream counts as read while it lasts.
class WaitForPieces {
 public:
  explicit WaitForPieces(Stream& stream) : stream_(stream) {
    std::lock_guard lock(stream_.mutex);
    ++stream_.waits;
    try {
      MarkWatched(stream_);
    } catch (const std::exception&) {  // its torrent removed meanwhile
    }
  }
  ~WaitForPieces() {
    std::lock_guard lock(stream_.mutex);
    --stream_.waits;
    stream_.lastWatched = Clock::now();
  }
  WaitForPieces(const WaitForPieces&) = delete;
  WaitForPieces& operator=(const WaitForPieces&) = delete;

 private:
  Stream& stream_;
};

void ConnectPeers(const lt::torrent_handle& handle, const std::vector<lt::tcp::endpoint>& peers) {
  for (const lt::tcp::endpoint& peer : peers) {
    try {
      // Over TCP, as every peer a link names is reached (outgoing uTP is off).
      handle.connect_peer(peer, lt::peer_info::resume_data, lt::pex_flags_t{});
    } catch (const std::exception&) {  // the torrent is on its way out
    }
  }
}

// The torrent's files, pad files left out.
std::vector<TorrentFile> FilesOf(const lt::torrent_info& info) {
  std::vector<TorrentFile> listed;
  const lt::file_storage& files = info.files();
  for (const lt::file_index_t f : files.file_range())
    if (!files.pad_file_at(f))
      listed.push_back({static_cast<int>(f), files.file_path(f), files.file_size(f)});
  return listed;
}

const TorrentFile* FileAt(const std::vector<TorrentFile>& files, int index) {
  const auto it = std::find_if(files.begin(), files.end(),
                               [index](const TorrentFile& f) { return f.index == index; });
  return it == files.end() ? nullptr : &*it;
}

}  // namespace

TorrentEngine::TorrentEngine(const StreamOptions& options)
    : options_(options),
      cache_(options.cacheDir.empty() ? DefaultCacheDir() : options.cacheDir),
      resume_(cache_, [this](const lt::torrent_handle& handle) {
        std::lock_guard lock(mutex_);
        if (session_) session_->remove_torrent(handle);
      }) {
  std::error_code ec;
  std::filesystem::create_directories(cache_.root(), ec);
  // The films in it and the positions beside them tell what the user watches: the folder is
  // the service's own, closed to the other users of the machine.
  std::filesystem::permissions(cache_.root(), std::filesystem::perms::owner_all, ec);
  session_ = std::make_unique<lt::session>(lt::session_params(SessionSettings(options)));
  LimitLoopbackPeers(*session_, options);
  alertThread_ = std::thread([this] { AlertLoop(); });
  // Called on libtorrent's own thread: it may only wake ours.
  session_->set_alert_notify([this] {
    {
      std::lock_guard lock(alertMutex_);
      alertsPending_ = true;
    }
    alertWake_.notify_one();
  });
}

TorrentEngine::~TorrentEngine() { Shutdown(); }

std::shared_ptr<Stream> TorrentEngine::Lookup(const std::string& hash) const {
  std::lock_guard lock(mutex_);
  const auto it = streams_.find(hash);
  return it == streams_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Stream>> TorrentEngine::AllStreams() const {
  std::vector<std::shared_ptr<Stream>> streams;
  std::lock_guard lock(mutex_);
  for (const auto& [hash, stream] : streams_) streams.push_back(stream);
  return streams;
}

TorrentEngine::Opened TorrentEngine::Open(lt::add_torrent_params params,
                                          const SelectOnly& selection) {
  const std::string hash = KeyOf(params);
  if (hash.empty()) return {std::nullopt, "the link names no torrent"};
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return {std::nullopt, "the service is stopping"};
  }
  std::shared_ptr<Stream> stream = Lookup(hash);
  if (stream) {
    // A seeder named again may be one that went away and came back.
    ConnectPeers(stream->handle, params.peers);
    Watched(*stream);
  } else {
    std::string reason;
    stream = Add(std::move(params), hash, selection, reason);
    if (!stream) return {std::nullopt, reason};
  }
  cache_.Touch(hash);

  std::unique_lock lock(stream->mutex);
  if (!stream->ready) stream->selection = selection;  // the latest link's choice
  stream->changed.wait_for(lock, options_.metadataTimeout,
                           [&] { return stream->ready || stream->failed || stream->closed; });
  if (stream->ready && !stream->closed) {
    stream->awaitingPlayer = true;
    stream->lastWatched = Clock::now();
    // A torrent that plays another video than this link picks switches to it.
    const int wanted = ChooseVideo(stream->files, selection);
    if (wanted >= 0 && wanted != stream->file) {
      lock.unlock();
      return Choose(hash, wanted);
    }
    return {Playable{hash, stream->fileName, stream->span.size, stream->file}, {}};
  }
  if (stream->failed) return {std::nullopt, stream->reason};
  if (stream->closed) return {std::nullopt, "the stream was stopped"};
  stream->failed = true;
  stream->reason = "no peer sent the torrent's metadata within " +
                   std::to_string(options_.metadataTimeout.count()) + " s";
  const std::string reason = stream->reason;
  lock.unlock();
  Forget(stream, true);
  return {std::nullopt, reason};
}

std::shared_ptr<Stream> TorrentEngine::Add(lt::add_torrent_params params, const std::string& hash,
                                           const SelectOnly& selection, std::string& reason) {
  // The same torrent stopped a moment ago may still be on its way out of the session: adding
  // it now would find that one, whose removal then takes the new stream with it.
  if (!resume_.AwaitGone(hash, kRemovalWait)) {
    reason = "the torrent is still closing; try again";
    return nullptr;
  }
  // A torrent played before starts from its resume data: metadata and pieces at once.
  resume_.Restore(hash, params);
  params.save_path = cache_.DataDir(hash).string();
  // What downloads is set piece by piece (PiecePlan.h). The file priorities a magnet's "so="
  // or older resume data carry would keep what a skipped file holds in a part file, where
  // no reader finds it, once another video of the torrent is chosen.
  params.file_priorities.clear();
  for (const std::string& tracker : options_.extraTrackers)
    if (std::find(params.trackers.begin(), params.trackers.end(), tracker) == params.trackers.end())
      params.trackers.push_back(tracker);
  params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
  params.flags |= lt::torrent_flags::duplicate_is_error;
  // Nothing is asked of the peers until the stream's priorities are set (Prepare): libtorrent
  // requests pieces the moment the metadata arrives, at random, and those requests, once sent,
  // are served before the ones a reader waits for (measured at 1 MiB/s: a dozen random pieces,
  // three seconds, before the first piece of the video).
  params.flags |= lt::torrent_flags::upload_mode;
  std::vector<lt::tcp::endpoint> peers = params.peers;

  std::lock_guard lock(mutex_);
  if (stopping_) {
    reason = "the service is stopping";
    return nullptr;
  }
  if (const auto it = streams_.find(hash); it != streams_.end()) {  // opened meanwhile
    ConnectPeers(it->second->handle, peers);
    return it->second;
  }
  auto stream = std::make_shared<Stream>();
  stream->hash = hash;
  stream->selection = selection;
  lt::error_code ec;
  // Added under the lock, so the alert thread finds the handle of every alert it reads.
  stream->handle = session_->add_torrent(std::move(params), ec);
  if (ec) {
    reason = "the torrent cannot be added: " + ec.message();
    return nullptr;
  }
  streams_[hash] = stream;
  return stream;
}

void TorrentEngine::Forget(const std::shared_ptr<Stream>& stream, bool deleteFiles) {
  {
    std::lock_guard lock(mutex_);
    const auto it = streams_.find(stream->hash);
    if (it == streams_.end() || it->second != stream) return;
    streams_.erase(it);
  }
  // Closed before the torrent goes: readers touch the handle only while it is open.
  {
    std::lock_guard lock(stream->mutex);
    stream->closed = true;
  }
  stream->changed.notify_all();
  if (!deleteFiles) {
    // Removed once its resume data is saved, so the next play starts from what is cached.
    resume_.SaveThenRemove(stream->hash, stream->handle);
    return;
  }
  resume_.NoteRemoving(stream->hash);
  {
    std::lock_guard lock(mutex_);
    if (session_) session_->remove_torrent(stream->handle, lt::session::delete_files);
  }
  cache_.Remove(stream->hash);
}

std::optional<TorrentEngine::Playable> TorrentEngine::Find(const std::string& hash) const {
  const auto stream = Lookup(hash);
  if (!stream) return std::nullopt;
  std::lock_guard lock(stream->mutex);
  if (!stream->ready || stream->closed) return std::nullopt;
  return Playable{hash, stream->fileName, stream->span.size, stream->file};
}

std::vector<TorrentFile> TorrentEngine::Files(const std::string& hash) const {
  const auto stream = Lookup(hash);
  if (!stream) return {};
  std::lock_guard lock(stream->mutex);
  if (!stream->ready || stream->closed) return {};
  return stream->files;
}

TorrentEngine::Opened TorrentEngine::Choose(const std::string& hash, int file) {
  const auto stream = Lookup(hash);
  if (!stream) return {std::nullopt, "no such stream"};
  TorrentFile video;
  {
    std::lock_guard lock(stream->mutex);
    if (!stream->ready || stream->closed) return {std::nullopt, "the stream is not ready"};
    if (file == stream->file)
      return {Playable{hash, stream->fileName, stream->span.size, stream->file}, {}};
    const TorrentFile* chosen = FileAt(stream->files, file);
    if (!chosen || !IsVideo(*chosen))
      return {std::nullopt, "the torrent holds no video " + std::to_string(file)};
    video = *chosen;
  }
  if (std::string room = MakeRoom(stream, video); !room.empty())
    return {std::nullopt, std::move(room)};
  std::lock_guard lock(stream->mutex);
  if (!stream->ready || stream->closed) return {std::nullopt, "the stream was stopped"};
  try {
    if (stream->file != file) StartFile(*stream, file, stream->files);
    MarkWatched(*stream);
  } catch (const std::exception&) {  // its torrent removed meanwhile
    return {std::nullopt, "the stream was stopped"};
  }
  stream->awaitingPlayer = true;
  return {Playable{hash, stream->fileName, stream->span.size, stream->file}, {}};
}

std::unique_ptr<PieceReader> TorrentEngine::OpenReader(const std::string& hash,
                                                       PieceReader::Kind kind, int video) const {
  const auto stream = Lookup(hash);
  if (!stream) return nullptr;
  FileSpan span;
  {
    std::lock_guard lock(stream->mutex);
    if (!stream->ready || stream->closed) return nullptr;
    span = stream->span;
    if (video >= 0 && video != stream->file) {
      const TorrentFile* other = FileAt(stream->files, video);
      if (!other || !IsVideo(*other)) return nullptr;
      span = {stream->fileOffsets[static_cast<std::size_t>(video)], other->size, span.pieceLength};
    }
  }
  try {
    auto reader = std::make_unique<PieceReader>(stream, span, kind, options_.stallTimeout);
    Watched(*stream);
    return reader;
  } catch (const std::exception&) {  // its torrent removed meanwhile
    return nullptr;
  }
}

TorrentEngine::ReadEnd TorrentEngine::Read(const std::string& hash, std::int64_t begin,
                                           std::int64_t end, const Sink& sink,
                                           const std::function<bool()>& clientGone, int video) {
  const auto reader = OpenReader(hash, PieceReader::Kind::kPlayer, video);
  return reader ? reader->Send(begin, end, sink, clientGone) : ReadEnd::kStopped;
}

void TorrentEngine::Prepare(const std::shared_ptr<Stream>& stream) {
  const std::shared_ptr<const lt::torrent_info> info = stream->handle.torrent_file();
  if (!info) return;
  SelectOnly selection;
  {
    std::lock_guard lock(stream->mutex);
    if (stream->ready || stream->failed) return;
    selection = stream->selection;
  }
  std::vector<TorrentFile> files = FilesOf(*info);
  const int video = ChooseVideo(files, selection);
  if (video < 0) return Fail(stream, "the torrent holds no video file");
  {
    std::lock_guard lock(stream->mutex);
    stream->files = std::move(files);
    stream->fileOffsets.clear();
    for (const lt::file_index_t f : info->files().file_range())
      stream->fileOffsets.push_back(info->files().file_offset(f));
    stream->fileCount = info->num_files();
    stream->pieceCount = info->num_pieces();
    stream->span.pieceLength = info->piece_length();
    StartFile(*stream, video, stream->files);
  }
  TorrentFile chosen;
  {
    std::lock_guard lock(stream->mutex);
    chosen = *FileAt(stream->files, video);
  }
  if (std::string room = MakeRoom(stream, chosen); !room.empty())
    return Fail(stream, std::move(room));

  const lt::torrent_status status = stream->handle.status(lt::torrent_handle::query_pieces);
  {
    std::lock_guard lock(stream->mutex);
    stream->have.assign(static_cast<std::size_t>(info->num_pieces()), false);
    for (int p = 0; p < info->num_pieces() && p < status.pieces.size(); ++p)
      stream->have[static_cast<std::size_t>(p)] = status.pieces.get_bit(lt::piece_index_t{p});
    stream->ready = true;
    stream->readySince = Clock::now();
    // Nothing is wanted until a reader asks: its pieces get deadlines (PiecePlan.h).
    UpdatePriorities(*stream);
    stream->handle.unset_flags(lt::torrent_flags::upload_mode);
  }
  stream->changed.notify_all();
  resume_.Save(stream->handle, false);
}

void TorrentEngine::StartFile(Stream& stream, int index, const std::vector<TorrentFile>& files) {
  const TorrentFile* file = FileAt(files, index);
  if (!file) return;
  stream.span = {stream.fileOffsets[static_cast<std::size_t>(index)], file->size,
                 stream.span.pieceLength};
  stream.pieces = PiecesOf(stream.span, 0, stream.span.size);
  stream.fileName = AddressName(files, index);
  stream.file = index;
  // The new video starts as a stream just opened: nothing of it is wanted until a reader
  // asks, and its background follows its own first player, or a while without one.
  stream.background = false;
  stream.readySince = Clock::now();
  UpdatePriorities(stream);
}

void TorrentEngine::Fail(const std::shared_ptr<Stream>& stream, std::string reason) {
  {
    std::lock_guard lock(stream->mutex);
    if (stream->failed) return;
    stream->failed = true;
    stream->reason = std::move(reason);
  }
  // Gone from the engine before its waiters hear why: a caller told of the refusal finds
  // no status of it any more.
  Forget(stream, true);
  stream->changed.notify_all();
}

std::string TorrentEngine::MakeRoom(const std::shared_ptr<Stream>& stream,
                                    const TorrentFile& video) {
  const auto size = static_cast<std::uint64_t>(video.size);
  if (size > options_.cacheCapBytes)
    return "the video (" + Megabytes(size) + ") is larger than the cache (" +
           Megabytes(options_.cacheCapBytes) + ")";
  // What the video's own file holds: the other files of a season pack (an episode played
  // before) are none of what it will still write.
  const std::uint64_t held = CacheFolder::DiskUsage(cache_.DataDir(stream->hash) / video.path);
  const std::uint64_t need = size > held ? size - held : 0;
  // The other open streams will still write what they miss, and may not be evicted while a
  // player reads them or has yet to come for the address it was given.
  std::uint64_t othersNeed = 0;
  std::set<std::string> kept{stream->hash};
  for (const auto& other : AllStreams()) {
    if (other == stream) continue;
    std::lock_guard lock(other->mutex);
    if (!other->ready || other->closed) continue;
    othersNeed += static_cast<std::uint64_t>(other->MissingBytes());
    if (!other->readers.empty() || other->awaitingPlayer) kept.insert(other->hash);
  }
  const Eviction eviction = EvictionOrder(cache_.List(), kept, need + othersNeed, options_.cacheCapBytes);
  if (!eviction.fits)
    return "the cache has no room for the video (" + Megabytes(size) + ") while others play";
  for (const std::string& hash : eviction.evict) {
    if (const auto other = Lookup(hash))
      Forget(other, true);
    else
      cache_.Remove(hash);
  }
  const std::uint64_t free = cache_.FreeBytes();
  const std::uint64_t coming = need + othersNeed;
  if (free < coming || free - coming < options_.keepFreeBytes)  // no sum that could overflow
    return "not enough free disk space: the video needs " + Megabytes(need) +
           (othersNeed ? " and the open streams " + Megabytes(othersNeed) : std::string()) + ", " +
           Megabytes(free) + " free, " + Megabytes(options_.keepFreeBytes) + " to be kept free";
  return {};
}

TorrentEngine::ReadEnd TorrentEngine::AwaitWholeVideo(const std::string& hash, std::chrono::milliseconds limit,
                                                      const std::function<bool()>& stop) {
  const auto stream = Lookup(hash);
  if (!stream) return ReadEnd::kStopped;
  const WaitForPieces waiting(*stream);
  const auto deadline = Clock::now() + limit;
  std::unique_lock lock(stream->mutex);
  for (;;) {
    if (!stream->ready || stream->closed) return ReadEnd::kStopped;
    if (stream->MissingBytes() == 0) return ReadEnd::kDone;
    const auto now = Clock::now();
    if (now >= deadline) return ReadEnd::kStalled;
    if (stream->changed.wait_for(lock, std::min<Clock::duration>(std::chrono::seconds(1), deadline - now)) ==
        std::cv_status::timeout) {
      lock.unlock();
      const bool stopped = stop && stop();
      lock.lock();
      if (stopped) return ReadEnd::kClientGone;
    }
  }
}

void TorrentEngine::WantSideFile(const std::string& hash, int index) {
  const auto stream = Lookup(hash);
  if (!stream) return;
  std::lock_guard lock(stream->mutex);
  if (!stream->ready || stream->closed || index == stream->file || index < 0 || index >= stream->fileCount)
    return;
  if (std::find(stream->sideWanted.begin(), stream->sideWanted.end(), index) != stream->sideWanted.end()) return;
  stream->sideWanted.push_back(index);
  if (const auto info = stream->handle.torrent_file()) {
    const lt::file_index_t f{index};
    const FileSpan span{info->files().file_offset(f), info->files().file_size(f), info->piece_length()};
    if (span.size > 0) stream->sidePieces.push_back(PiecesOf(span, 0, span.size));
  }
  try {
    UpdatePriorities(*stream);
  } catch (const std::exception&) {  // its torrent removed meanwhile
  }
}

std::optional<std::string> TorrentEngine::ReadSideFile(const std::string& hash, int index, std::int64_t maxBytes,
                                                       const std::function<bool()>& stop) {
  const auto stream = Lookup(hash);
  if (!stream) return std::nullopt;
  const auto info = stream->handle.torrent_file();
  if (!info || index < 0 || index >= info->num_files()) return std::nullopt;
  const lt::file_storage& files = info->files();
  const lt::file_index_t f{index};
  const FileSpan span{files.file_offset(f), files.file_size(f), info->piece_length()};
  if (span.size > maxBytes || files.pad_file_at(f)) return std::nullopt;
  if (span.size == 0) return std::string();
  {
    std::lock_guard lock(stream->mutex);
    if (!stream->ready || stream->closed || index == stream->file) return std::nullopt;
  }
  const WaitForPieces waiting(*stream);
  WantSideFile(hash, index);
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(span.size));
  PieceReader reader(stream, span, PieceReader::Kind::kSide, options_.stallTimeout);
  const ReadEnd result = reader.Send(
      0, span.size,
      [&bytes](const char* data, std::size_t size) {
        bytes.append(data, size);
        return true;
      },
      stop);
  if (result != ReadEnd::kDone || bytes.size() != static_cast<std::size_t>(span.size)) return std::nullopt;
  return bytes;
}

std::optional<StreamSnapshot> TorrentEngine::Snapshot(const std::string& hash) const {
  const auto stream = Lookup(hash);
  if (!stream) return std::nullopt;
  lt::torrent_status status;
  try {
    status = stream->handle.status({});
  } catch (const std::exception&) {
    return std::nullopt;
  }
  StreamSnapshot snapshot;
  snapshot.hash = hash;
  snapshot.peers = status.num_peers;
  snapshot.downloaded = status.all_time_download;
  snapshot.uploaded = status.all_time_upload;
  snapshot.ratio = ShareRatio(status.all_time_upload, status.all_time_download, status.total_done);
  std::lock_guard lock(stream->mutex);
  snapshot.ready = stream->ready;
  snapshot.state = stream->lifecycle;
  snapshot.downloadRate = stream->rates.DownloadRate();
  snapshot.uploadRate = stream->rates.UploadRate();
  if (stream->ready) {
    snapshot.name = stream->fileName;
    snapshot.size = stream->span.size;
    snapshot.held = HeldRanges(stream->span, stream->have);
    snapshot.readers = static_cast<int>(stream->readers.size());
  }
  return snapshot;
}

bool TorrentEngine::Close(const std::string& hash) {
  const auto stream = Lookup(hash);
  if (!stream) return false;
  Forget(stream, false);
  return true;
}

void TorrentEngine::EndReaders() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  for (const auto& stream : AllStreams()) {
    {
      std::lock_guard lock(stream->mutex);
      stream->closed = true;
    }
    stream->changed.notify_all();
  }
}

void TorrentEngine::Shutdown() {
  EndReaders();
  {
    std::lock_guard lock(mutex_);
    if (!session_ || shutDown_) return;
    shutDown_ = true;
  }
  for (const auto& stream : AllStreams()) {
    bool ready;
    {
      std::lock_guard lock(stream->mutex);
      ready = stream->ready;
    }
    if (ready) resume_.Save(stream->handle, true);
  }
  resume_.AwaitSaves(kResumeSaveWait);
  {
    std::lock_guard lock(alertMutex_);
    alertQuit_ = true;
  }
  alertWake_.notify_one();
  if (alertThread_.joinable()) alertThread_.join();
  session_->set_alert_notify([] {});
  lt::session_proxy proxy = session_->abort();
  std::lock_guard lock(mutex_);
  session_.reset();
  streams_.clear();
}

}  // namespace morvane::stream
