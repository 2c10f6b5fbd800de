#include "stream/TorrentEngine.h"

#include <algorithm>
#include <boost/shared_array.hpp>
#include <chrono>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>
#include <libtorrent/write_resume_data.hpp>

#include "stream/HttpRange.h"
#include "stream/JsonText.h"

namespace lt = libtorrent;
using Clock = std::chrono::steady_clock;

namespace morvane::stream {

namespace {

// Bytes of the video ahead of each reader whose pieces get deadlines: tens of seconds of a
// typical stream, small enough that the rest of the swarm's bandwidth still flows in order.
constexpr std::int64_t kWindowBytes = 16 << 20;
constexpr int kMinWindowPieces = 4;
// A deadline raises a piece to the top priority, and libtorrent requests the top-priority
// pieces it cannot fetch by their deadlines in random order: with small pieces, a window of
// hundreds of them sent the swarm a queue of random requests ahead of the piece the player
// waited for (measured at 1 MiB/s with 16 KiB pieces: 3.4-6.1 s to the first frame, 0.4-1.7 s
// with this cap).
constexpr int kMaxWindowPieces = 16;
// Deadlines of successive pieces, in milliseconds apart; they only order the pieces.
constexpr int kDeadlineStepMs = 40;
// Bytes of the video a reader asks libtorrent to read ahead of what it sends (at least two
// pieces): the disk threads read the next pieces while the reader sends this one.
constexpr std::int64_t kReadAheadBytes = 8 << 20;
constexpr int kMinReadAheadPieces = 2;
// Pieces kept after their readers passed them: a reader taking a piece in small reads (the
// media probe) finds it again, and one that reads the head and the tail by turns.
constexpr std::size_t kKeptBuffers = 2;
// How often a waiting reader looks whether its client is still there.
constexpr auto kClientCheck = std::chrono::seconds(1);
// How long shutdown waits for resume data: shutdown as a whole stays under 2 s.
constexpr auto kResumeSaveWait = std::chrono::milliseconds(700);
// How long the rest of the video waits for its first and last pieces at most.
constexpr auto kWarmingLimit = std::chrono::seconds(3);
// How long adding a torrent waits for the same torrent's removal to complete.
constexpr auto kRemovalWait = std::chrono::seconds(2);

std::string Hex(const lt::sha1_hash& hash) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const char byte : hash) {
    out += digits[(static_cast<unsigned char>(byte) >> 4) & 15];
    out += digits[static_cast<unsigned char>(byte) & 15];
  }
  return out;
}

std::string KeyOf(const lt::info_hash_t& hashes) {
  const lt::sha1_hash best = hashes.has_v1() ? hashes.v1 : hashes.get_best();
  return best.is_all_zeros() ? std::string() : Hex(best);
}

std::string KeyOf(const lt::add_torrent_params& params) {
  return params.ti ? KeyOf(params.ti->info_hashes()) : KeyOf(params.info_hashes);
}

std::string Megabytes(std::uint64_t bytes) { return std::to_string((bytes + (1 << 19)) >> 20) + " MB"; }

}  // namespace

struct Stream {
  std::string hash;
  lt::torrent_handle handle;

  std::mutex mutex;  // guards everything below
  std::condition_variable changed;
  bool ready = false;   // metadata known, video chosen
  bool failed = false;  // will never be ready; `reason` says why
  bool closed = false;  // stopped, evicted or shutting down: readers end
  std::string reason;
  int file = -1;          // the video's index among the torrent's files
  bool warming = false;   // only the first and last pieces wanted so far
  Clock::time_point warmingSince;
  std::string fileName;
  FileSpan span;
  PieceRange pieces;
  std::vector<bool> have;
  std::map<int, int> readers;  // reader id -> piece it reads
  // Pieces read through libtorrent, by index, while a reader may want them.
  struct PieceBuffer {
    boost::shared_array<char> data;
    int size = 0;
    bool failed = false;
    std::uint64_t lastUse = 0;
  };
  std::map<int, PieceBuffer> buffers;
  std::map<int, std::pair<int, int>> reading;  // read id -> the pieces it reads next
  std::uint64_t uses = 0;
  std::vector<int> sideWanted;  // side files asked for, downloaded first
  int nextReader = 0;
};

TorrentEngine::TorrentEngine(const StreamOptions& options)
    : options_(options), cache_(options.cacheDir.empty() ? DefaultCacheDir() : options.cacheDir) {
  std::error_code ec;
  std::filesystem::create_directories(cache_.root(), ec);

  lt::settings_pack settings;
  settings.set_int(lt::settings_pack::alert_mask,
                   lt::alert_category::status | lt::alert_category::error |
                       lt::alert_category::storage | lt::alert_category::piece_progress);
  settings.set_str(lt::settings_pack::listen_interfaces, options.peerInterfaces);
  settings.set_str(lt::settings_pack::outgoing_interfaces, options.peerOutgoingInterfaces);
  settings.set_bool(lt::settings_pack::enable_dht, options.dht);
  std::string nodes;
  for (const std::string& node : options.dhtBootstrapNodes) nodes += (nodes.empty() ? "" : ",") + node;
  if (!nodes.empty()) settings.set_str(lt::settings_pack::dht_bootstrap_nodes, nodes);
  settings.set_bool(lt::settings_pack::enable_lsd, options.localPeerDiscovery);
  settings.set_bool(lt::settings_pack::enable_upnp, options.localPeerDiscovery);
  settings.set_bool(lt::settings_pack::enable_natpmp, options.localPeerDiscovery);
  settings.set_bool(lt::settings_pack::announce_to_all_trackers, true);
  settings.set_bool(lt::settings_pack::announce_to_all_tiers, true);
  // Announcing "stopped" may not hold up shutdown.
  settings.set_int(lt::settings_pack::stop_tracker_timeout, 1);
  settings.set_int(lt::settings_pack::alert_queue_size, 10000);
  // A torrent that holds every piece wanted so far counts as finished, and libtorrent would
  // drop its connections to seeds; here more pieces are wanted a moment later.
  settings.set_bool(lt::settings_pack::close_redundant_connections, false);
  // Pieces with deadlines are requested on the session's tick: the default half second
  // would be most of the wait for a player's first bytes.
  settings.set_int(lt::settings_pack::tick_interval, 100);
  // Outgoing uTP attempts to peers that have gone hold the session's shutdown for seconds
  // (measured: up to 2 s); peers are reached over TCP, which every client accepts.
  settings.set_bool(lt::settings_pack::enable_outgoing_utp, false);

  session_ = std::make_unique<lt::session>(lt::session_params(std::move(settings)));
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

TorrentEngine::Opened TorrentEngine::Open(lt::add_torrent_params params) {
  const std::string hash = KeyOf(params);
  if (hash.empty()) return {std::nullopt, "the link names no torrent"};
  std::shared_ptr<Stream> stream;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return {std::nullopt, "the service is stopping"};
    if (const auto it = streams_.find(hash); it != streams_.end()) stream = it->second;
  }
  if (!stream) {
    // A torrent played before starts from its resume data: metadata and pieces at once.
    std::vector<char> resume;
    if (cache_.ReadResume(hash, resume)) {
      lt::error_code ec;
      lt::add_torrent_params saved = lt::read_resume_data(resume, ec);
      if (!ec && KeyOf(saved) == hash) {
        saved.trackers.insert(saved.trackers.end(), params.trackers.begin(), params.trackers.end());
        saved.peers.insert(saved.peers.end(), params.peers.begin(), params.peers.end());
        params = std::move(saved);
      }
    }
    params.save_path = cache_.DataDir(hash).string();
    for (const std::string& tracker : options_.extraTrackers)
      if (std::find(params.trackers.begin(), params.trackers.end(), tracker) == params.trackers.end())
        params.trackers.push_back(tracker);
    params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
    cache_.Touch(hash);

    std::lock_guard lock(mutex_);
    if (stopping_) return {std::nullopt, "the service is stopping"};
    if (const auto it = streams_.find(hash); it != streams_.end()) {
      stream = it->second;
    } else {
      stream = std::make_shared<Stream>();
      stream->hash = hash;
      lt::error_code ec;
      // Added under the lock, so the alert thread finds the handle of every alert it reads.
      // The same torrent stopped a moment ago may still be on its way out of the session.
      const auto limit = Clock::now() + kRemovalWait;
      for (;;) {
        stream->handle = session_->add_torrent(params, ec);
        if (ec != lt::errors::duplicate_torrent || Clock::now() > limit) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (ec) return {std::nullopt, "the torrent cannot be added: " + ec.message()};
      streams_[hash] = stream;
    }
  } else {
    cache_.Touch(hash);
  }

  std::unique_lock lock(stream->mutex);
  stream->changed.wait_for(lock, options_.metadataTimeout,
                           [&] { return stream->ready || stream->failed || stream->closed; });
  if (stream->ready && !stream->closed) return {Playable{hash, stream->fileName, stream->span.size}, {}};
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
    // Removed once its resume data is saved: libtorrent drops a save asked of a torrent
    // being removed, and the next play would fetch again what the cache holds.
    {
      std::lock_guard lock(mutex_);
      closing_.push_back(stream->handle);
    }
    SaveResume(*stream, false);
    return;
  }
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
  return Playable{hash, stream->fileName, stream->span.size};
}

void TorrentEngine::AlertLoop() {
  std::vector<lt::alert*> alerts;
  const bool periodicSaves = options_.resumeSaveInterval.count() > 0;
  // Without periodic saves the loop still has a finite time to wait until.
  const Clock::duration period = periodicSaves ? Clock::duration(options_.resumeSaveInterval)
                                               : Clock::duration(std::chrono::hours(1));
  Clock::time_point nextSave = Clock::now() + period;
  for (;;) {
    {
      std::unique_lock lock(alertMutex_);
      alertWake_.wait_until(lock, std::min(nextSave, warmingCheck_),
                            [this] { return alertsPending_ || alertQuit_; });
      if (alertQuit_) return;
      alertsPending_ = false;
    }
    session_->pop_alerts(&alerts);
    for (lt::alert* alert : alerts) Handle(alert);
    const Clock::time_point now = Clock::now();
    if (now >= warmingCheck_) EndOverdueWarming();
    if (now >= nextSave) {
      if (periodicSaves) SaveChangedResume();
      nextSave = now + period;
    }
  }
}

std::vector<std::shared_ptr<Stream>> TorrentEngine::AllStreams() const {
  std::vector<std::shared_ptr<Stream>> streams;
  std::lock_guard lock(mutex_);
  for (const auto& [hash, stream] : streams_) streams.push_back(stream);
  return streams;
}

void TorrentEngine::SaveChangedResume() {
  // A crash or a kill mid-stream then loses one period of the download, not all of it;
  // libtorrent answers at once for a torrent that has not changed.
  for (const auto& stream : AllStreams()) {
    bool open;
    {
      std::lock_guard lock(stream->mutex);
      open = stream->ready && !stream->closed;
    }
    if (open) SaveResume(*stream, true);
  }
}

void TorrentEngine::EndOverdueWarming() {
  // Arriving pieces and waiting readers end warming too, but once the readers have their
  // bytes, a swarm without the first and last pieces sends nothing more: the rest would
  // never be wanted.
  warmingCheck_ = Clock::time_point::max();
  for (const auto& stream : AllStreams()) {
    std::lock_guard lock(stream->mutex);
    try {
      FinishWarmingIfDone(*stream);
    } catch (const std::exception&) {  // its torrent removed meanwhile
    }
    if (stream->warming && !stream->closed)
      warmingCheck_ = std::min(warmingCheck_, stream->warmingSince + kWarmingLimit);
  }
}

void TorrentEngine::Handle(lt::alert* alert) {
  // Calls on a handle throw once its torrent is gone, which a removal may do at any time.
  try {
    HandleTorrentAlert(alert);
  } catch (const std::exception&) {
  }
}

void TorrentEngine::HandleTorrentAlert(lt::alert* alert) {
  // alert_cast matches exact types only; torrent_alert is the base of many.
  const auto* torrentAlert = dynamic_cast<const lt::torrent_alert*>(alert);
  if (!torrentAlert) return;
  if (const auto* saved = lt::alert_cast<lt::save_resume_data_alert>(alert)) {
    const std::string hash = KeyOf(saved->params);
    if (!hash.empty()) cache_.WriteResume(hash, lt::write_resume_data_buf(saved->params));
  }
  if (lt::alert_cast<lt::save_resume_data_alert>(alert) ||
      lt::alert_cast<lt::save_resume_data_failed_alert>(alert)) {
    {
      std::lock_guard lock(mutex_);
      if (resumeSavesPending_ > 0) --resumeSavesPending_;
      const auto closing = std::find(closing_.begin(), closing_.end(), torrentAlert->handle);
      if (closing != closing_.end()) {
        closing_.erase(closing);
        if (session_) session_->remove_torrent(torrentAlert->handle);
      }
    }
    resumeSaved_.notify_all();
    return;
  }
  if (const auto* deleted = lt::alert_cast<lt::torrent_deleted_alert>(alert)) {
    // Pieces written before the torrent was refused or evicted: the removal of its files
    // happens after ours, and leaves the folder.
    const std::string hash = KeyOf(deleted->info_hashes);
    if (!hash.empty() && !Lookup(hash)) cache_.Remove(hash);
    return;
  }
  std::shared_ptr<Stream> stream;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [hash, s] : streams_)
      if (s->handle == torrentAlert->handle) stream = s;
  }
  if (!stream) return;
  if (const auto* read = lt::alert_cast<lt::read_piece_alert>(alert)) {
    {
      std::lock_guard lock(stream->mutex);
      const auto it = stream->buffers.find(static_cast<int>(read->piece));
      if (it == stream->buffers.end()) return;  // nobody wants it any more
      it->second.failed = static_cast<bool>(read->error) || !read->buffer;
      it->second.data = read->buffer;
      it->second.size = read->size;
    }
    stream->changed.notify_all();
  } else if (const auto* piece = lt::alert_cast<lt::piece_finished_alert>(alert)) {
    const auto index = static_cast<std::size_t>(static_cast<int>(piece->piece_index));
    {
      std::lock_guard lock(stream->mutex);
      if (index < stream->have.size()) stream->have[index] = true;
      FinishWarmingIfDone(*stream);
    }
    stream->changed.notify_all();
  } else if (lt::alert_cast<lt::metadata_received_alert>(alert) ||
             lt::alert_cast<lt::add_torrent_alert>(alert)) {
    // A torrent added with its metadata (a .torrent file, resume data) reports no
    // metadata_received_alert: its add_torrent_alert starts it.
    Prepare(stream);
  } else if (lt::alert_cast<lt::torrent_finished_alert>(alert)) {
    SaveResume(*stream, false);
  } else if (const auto* error = lt::alert_cast<lt::file_error_alert>(alert)) {
    Fail(stream, "the cache cannot be written: " + error->error.message());
  }
}

void TorrentEngine::Prepare(const std::shared_ptr<Stream>& stream) {
  const std::shared_ptr<const lt::torrent_info> info = stream->handle.torrent_file();
  if (!info) return;
  {
    std::lock_guard lock(stream->mutex);
    if (stream->ready || stream->failed) return;
  }
  const lt::file_storage& files = info->files();
  lt::file_index_t best{-1};
  for (const lt::file_index_t f : files.file_range()) {
    if (files.pad_file_at(f) || !IsVideoName(std::string(files.file_name(f)))) continue;
    if (best < lt::file_index_t{0} || files.file_size(f) > files.file_size(best)) best = f;
  }
  if (best < lt::file_index_t{0}) return Fail(stream, "the torrent holds no video file");

  {
    std::lock_guard lock(stream->mutex);
    stream->span = {files.file_offset(best), files.file_size(best), info->piece_length()};
    stream->pieces = PiecesOf(stream->span, 0, stream->span.size);
    stream->fileName = std::string(files.file_name(best));
    stream->file = static_cast<int>(best);
  }
  if (std::string room = MakeRoom(stream); !room.empty()) return Fail(stream, std::move(room));

  const lt::torrent_status status = stream->handle.status(lt::torrent_handle::query_pieces);
  {
    std::lock_guard lock(stream->mutex);
    stream->have.assign(static_cast<std::size_t>(info->num_pieces()), false);
    for (int p = 0; p < info->num_pieces(); ++p)
      if (p < status.pieces.size() && status.pieces.get_bit(lt::piece_index_t{p}))
        stream->have[static_cast<std::size_t>(p)] = true;
    // At first only the pieces a player reads first: requests for other pieces sent the
    // moment the peers unchoke would queue ahead of them (measured: the first piece came
    // after a dozen others; with the others wanted at the lowest priority, still 250 ms
    // late). The rest of the video follows once they are in.
    std::vector<lt::download_priority_t> priorities(static_cast<std::size_t>(info->num_pieces()),
                                                    lt::dont_download);
    // The head before the tail: a player starts there, then looks for an index at the end.
    const std::vector<int> edges = EdgePieces(*stream);
    for (std::size_t i = 0; i < edges.size(); ++i)
      priorities[static_cast<std::size_t>(edges[i])] =
          i < edges.size() / 2 + edges.size() % 2 ? lt::top_priority : lt::download_priority_t{6};
    stream->handle.prioritize_pieces(priorities);
    stream->warming = true;
    stream->warmingSince = Clock::now();
    warmingCheck_ = std::min(warmingCheck_, stream->warmingSince + kWarmingLimit);
    stream->ready = true;
    RebuildDeadlines(*stream);
    FinishWarmingIfDone(*stream);
  }
  stream->changed.notify_all();
  SaveResume(*stream, false);
}

void TorrentEngine::SaveResume(Stream& stream, bool onlyIfModified) {
  // Counted before asking: the answer may come before save_resume_data returns.
  {
    std::lock_guard lock(mutex_);
    ++resumeSavesPending_;
  }
  try {
    // The metadata goes into the resume data: a magnet plays again without peers.
    stream.handle.save_resume_data(onlyIfModified ? lt::torrent_handle::save_info_dict |
                                                        lt::torrent_handle::only_if_modified
                                                  : lt::torrent_handle::save_info_dict);
  } catch (const std::exception&) {
    std::lock_guard lock(mutex_);
    --resumeSavesPending_;
  }
}

void TorrentEngine::Fail(const std::shared_ptr<Stream>& stream, std::string reason) {
  {
    std::lock_guard lock(stream->mutex);
    if (stream->failed) return;
    stream->failed = true;
    stream->reason = std::move(reason);
  }
  stream->changed.notify_all();
  Forget(stream, true);
}

std::string TorrentEngine::MakeRoom(const std::shared_ptr<Stream>& stream) {
  const std::uint64_t size = static_cast<std::uint64_t>(stream->span.size);
  if (size > options_.cacheCapBytes)
    return "the video (" + Megabytes(size) + ") is larger than the cache (" +
           Megabytes(options_.cacheCapBytes) + ")";
  const std::uint64_t held = CacheFolder::DiskUsage(cache_.DataDir(stream->hash));
  const std::uint64_t need = size > held ? size - held : 0;

  std::uint64_t total = 0;
  const std::vector<CachedTorrent> cached = cache_.List();
  for (const CachedTorrent& c : cached) total += c.bytes;
  for (const CachedTorrent& c : cached) {
    if (total + need <= options_.cacheCapBytes) break;
    if (c.hash == stream->hash) continue;
    if (const auto other = Lookup(c.hash)) {
      {
        std::lock_guard lock(other->mutex);
        if (!other->readers.empty()) continue;  // being watched: not evicted
      }
      Forget(other, true);
    } else {
      cache_.Remove(c.hash);
    }
    total -= std::min(total, c.bytes);
  }
  if (total + need > options_.cacheCapBytes)
    return "the cache has no room for the video (" + Megabytes(size) + ") while others play";
  const std::uint64_t free = cache_.FreeBytes();
  if (free < need || free - need < options_.keepFreeBytes)  // no sum that could overflow
    return "not enough free disk space: the video needs " + Megabytes(need) + ", " +
           Megabytes(free) + " free, " + Megabytes(options_.keepFreeBytes) + " to be kept free";
  return {};
}

int TorrentEngine::WindowPieces(const Stream& stream) {
  return std::clamp<int>(static_cast<int>(kWindowBytes / stream.span.pieceLength), kMinWindowPieces,
                         kMaxWindowPieces);
}

void TorrentEngine::SetWindowDeadlines(Stream& stream, int fromPiece, int firstOfWindow) {
  if (stream.closed) return;
  int window = WindowPieces(stream);
  // The window ends where another reader's begins: that reader's pieces keep the earlier
  // deadlines it gave them (a player reading ahead must not push back the index it waits
  // for at the end of the file).
  for (const auto& [id, piece] : stream.readers)
    if (piece > fromPiece) window = std::min(window, piece - fromPiece);
  for (int i = firstOfWindow; i < window; ++i) {
    const int p = fromPiece + i;
    if (p > stream.pieces.last) break;
    if (!stream.have[static_cast<std::size_t>(p)])
      stream.handle.set_piece_deadline(lt::piece_index_t{p}, i * kDeadlineStepMs);
  }
}

std::vector<int> TorrentEngine::EdgePieces(const Stream& stream) {
  std::vector<int> pieces;
  const int count = stream.pieces.last - stream.pieces.first + 1;
  const int edge = std::max(1, count / 100);
  for (int i = 0; i < edge && i < count; ++i) pieces.push_back(stream.pieces.first + i);
  for (int p = std::max(stream.pieces.last - edge + 1, stream.pieces.first + edge); p <= stream.pieces.last; ++p)
    pieces.push_back(p);
  return pieces;
}

void TorrentEngine::FinishWarmingIfDone(Stream& stream) {
  if (!stream.warming || stream.closed) return;
  // The rest is wanted while the last of the first and last pieces is still on its way:
  // once every wanted piece is in, the torrent tells its peers it wants nothing more, and
  // getting them to send again cost close to a second (measured on loopback). In a swarm
  // where nobody has those pieces yet, the rest may not wait for them for long.
  if (Clock::now() - stream.warmingSince < kWarmingLimit) {
    int missing = 0;
    for (const int p : EdgePieces(stream)) missing += !stream.have[static_cast<std::size_t>(p)];
    if (missing > 1) return;
  }
  stream.warming = false;
  // Now the whole video at normal priority, and nothing of the other files.
  const auto files = static_cast<std::size_t>(stream.handle.torrent_file()->num_files());
  std::vector<lt::download_priority_t> priorities(files, lt::dont_download);
  priorities[static_cast<std::size_t>(stream.file)] = lt::default_priority;
  for (const int side : stream.sideWanted) priorities[static_cast<std::size_t>(side)] = lt::top_priority;
  stream.handle.prioritize_files(priorities);
  RebuildDeadlines(stream);
}

void TorrentEngine::RebuildDeadlines(Stream& stream) {
  // First the readers' windows, then the first and last hundredth of the file (a player
  // reads an MP4's index at the end before it plays).
  if (stream.closed) return;
  stream.handle.clear_piece_deadlines();
  for (const auto& [id, piece] : stream.readers) SetWindowDeadlines(stream, piece, 0);
  // While warming, the edges' priorities order them already; a deadline would raise the
  // tail to the head's priority.
  if (stream.warming) return;
  int order = 1;
  for (const int p : EdgePieces(stream))
    if (!stream.have[static_cast<std::size_t>(p)])
      stream.handle.set_piece_deadline(lt::piece_index_t{p}, order++ * kDeadlineStepMs);
}

TorrentEngine::ReadEnd TorrentEngine::Read(const std::string& hash, std::int64_t begin,
                                           std::int64_t end, const Sink& sink,
                                           const std::function<bool()>& clientGone) {
  const auto stream = Lookup(hash);
  if (!stream) return ReadEnd::kStopped;
  int id;
  {
    std::lock_guard lock(stream->mutex);
    if (!stream->ready || stream->closed) return ReadEnd::kStopped;
    end = std::min(end, stream->span.size);
    id = stream->nextReader++;
    stream->readers[id] = PieceAt(stream->span, begin);
    RebuildDeadlines(*stream);  // a new reader is a seek: its window goes first
  }
  const ReadEnd result = ReadHeld(stream, stream->span, begin, end, sink, clientGone, id);
  {
    std::lock_guard lock(stream->mutex);
    stream->readers.erase(id);
    // The deadlines of the window it leaves behind would hold up the other readers.
    RebuildDeadlines(*stream);
  }
  return result;
}

void TorrentEngine::AskForPieces(Stream& stream, int first, int last) {
  for (int p = first; p <= last; ++p) {
    if (!stream.have[static_cast<std::size_t>(p)] || stream.buffers.contains(p)) continue;
    Stream::PieceBuffer& buffer = stream.buffers[p];
    try {
      stream.handle.read_piece(lt::piece_index_t{p});
    } catch (const std::exception&) {
      buffer.failed = true;  // the torrent is on its way out
    }
  }
}

void TorrentEngine::TrimBuffers(Stream& stream) {
  std::vector<std::pair<std::uint64_t, int>> idle;  // (last use, piece) of arrived buffers
  for (const auto& [piece, buffer] : stream.buffers) {
    if (!buffer.data && !buffer.failed) continue;  // on its way: dropped once it is in
    bool wanted = false;
    for (const auto& [id, next] : stream.reading)
      wanted = wanted || (piece >= next.first && piece <= next.second);
    if (!wanted) idle.emplace_back(buffer.lastUse, piece);
  }
  if (idle.size() <= kKeptBuffers) return;
  std::sort(idle.begin(), idle.end(), std::greater<>());
  for (std::size_t i = kKeptBuffers; i < idle.size(); ++i) stream.buffers.erase(idle[i].second);
}

TorrentEngine::ReadEnd TorrentEngine::ReadHeld(const std::shared_ptr<Stream>& stream,
                                               const FileSpan& span, std::int64_t begin,
                                               std::int64_t end, const Sink& sink,
                                               const std::function<bool()>& clientGone, int reader) {
  if (begin >= end) return ReadEnd::kDone;
  const int lastPiece = PieceAt(span, end - 1);
  const int ahead = std::max<int>(kMinReadAheadPieces, static_cast<int>(kReadAheadBytes / span.pieceLength));
  int id;
  {
    std::lock_guard lock(stream->mutex);
    id = stream->nextReader++;
  }
  ReadEnd result = ReadEnd::kDone;
  std::int64_t position = begin;
  auto lastByte = Clock::now();
  while (position < end && result == ReadEnd::kDone) {
    const int piece = PieceAt(span, position);
    boost::shared_array<char> data;
    int size = 0;
    {
      std::unique_lock lock(stream->mutex);
      const std::pair<int, int> next{piece, std::min(lastPiece, piece + ahead - 1)};
      stream->reading[id] = next;
      for (;;) {
        AskForPieces(*stream, next.first, next.second);
        const auto it = stream->buffers.find(piece);
        if (it != stream->buffers.end() && (it->second.data || it->second.failed)) {
          if (it->second.failed) {
            stream->buffers.erase(it);
            result = ReadEnd::kStopped;
          } else {
            data = it->second.data;
            size = it->second.size;
            it->second.lastUse = ++stream->uses;
          }
          break;
        }
        if (stream->closed) {
          result = ReadEnd::kStopped;
          break;
        }
        const auto waited = Clock::now() - lastByte;
        if (waited >= options_.stallTimeout) {
          result = ReadEnd::kStalled;
          break;
        }
        const auto wait = std::min<Clock::duration>(kClientCheck, options_.stallTimeout - waited);
        if (stream->changed.wait_for(lock, wait) == std::cv_status::timeout) {
          FinishWarmingIfDone(*stream);
          lock.unlock();
          const bool gone = clientGone && clientGone();
          lock.lock();
          if (gone) {
            result = ReadEnd::kClientGone;
            break;
          }
        }
      }
    }
    if (result != ReadEnd::kDone) break;
    const std::int64_t pieceEnd = std::min(end, FileBytesOf(span, piece).second);
    const std::int64_t inPiece = span.offset + position - static_cast<std::int64_t>(piece) * span.pieceLength;
    if (inPiece + (pieceEnd - position) > size) {
      result = ReadEnd::kStopped;  // libtorrent read less than the piece holds
      break;
    }
    if (!sink(data.get() + inPiece, static_cast<std::size_t>(pieceEnd - position))) {
      result = ReadEnd::kClientGone;
      break;
    }
    position = pieceEnd;
    lastByte = Clock::now();
    std::lock_guard lock(stream->mutex);
    TrimBuffers(*stream);
    if (reader >= 0 && position < end) {
      // One piece on, the pieces already in the window keep their (nearer) deadlines; only
      // the one that enters gets one.
      const int moved = PieceAt(span, position) - stream->readers[reader];
      stream->readers[reader] = PieceAt(span, position);
      SetWindowDeadlines(*stream, stream->readers[reader], std::max(0, WindowPieces(*stream) - moved));
    }
  }
  std::lock_guard lock(stream->mutex);
  stream->reading.erase(id);
  TrimBuffers(*stream);
  return result;
}

TorrentEngine::ReadEnd TorrentEngine::AwaitWholeVideo(const std::string& hash,
                                                      std::chrono::milliseconds limit,
                                                      const std::function<bool()>& stop) {
  const auto stream = Lookup(hash);
  if (!stream) return ReadEnd::kStopped;
  const auto deadline = Clock::now() + limit;
  std::unique_lock lock(stream->mutex);
  for (;;) {
    if (!stream->ready || stream->closed) return ReadEnd::kStopped;
    bool whole = true;
    for (int p = stream->pieces.first; p <= stream->pieces.last && whole; ++p)
      whole = stream->have[static_cast<std::size_t>(p)];
    if (whole) return ReadEnd::kDone;
    const auto now = Clock::now();
    if (now >= deadline) return ReadEnd::kStalled;
    if (stream->changed.wait_for(lock, std::min<Clock::duration>(kClientCheck, deadline - now)) ==
        std::cv_status::timeout) {
      lock.unlock();
      const bool stopped = stop && stop();
      lock.lock();
      if (stopped) return ReadEnd::kClientGone;
    }
  }
}

std::vector<TorrentEngine::SideFile> TorrentEngine::SideFiles(const std::string& hash) const {
  const auto stream = Lookup(hash);
  std::vector<SideFile> sides;
  if (!stream) return sides;
  int video;
  {
    std::lock_guard lock(stream->mutex);
    if (!stream->ready || stream->closed) return sides;
    video = stream->file;
  }
  const auto info = stream->handle.torrent_file();
  if (!info) return sides;
  const lt::file_storage& files = info->files();
  for (const lt::file_index_t f : files.file_range())
    if (!files.pad_file_at(f) && static_cast<int>(f) != video)
      sides.push_back({static_cast<int>(f), files.file_path(f), files.file_size(f)});
  return sides;
}

std::optional<std::string> TorrentEngine::ReadSideFile(const std::string& hash, int index,
                                                       std::int64_t maxBytes,
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
  const PieceRange pieces = PiecesOf(span, 0, span.size);
  {
    std::unique_lock lock(stream->mutex);
    if (!stream->ready || stream->closed || index == stream->file) return std::nullopt;
    if (std::find(stream->sideWanted.begin(), stream->sideWanted.end(), index) ==
        stream->sideWanted.end()) {
      stream->sideWanted.push_back(index);
      // While warming, the end of warming sets every file's priority.
      if (!stream->warming) stream->handle.file_priority(f, lt::top_priority);
    }
    auto lastPiece = Clock::now();
    int held = -1;
    for (;;) {
      int count = 0;
      for (int p = pieces.first; p <= pieces.last; ++p) count += stream->have[static_cast<std::size_t>(p)];
      if (count == pieces.last - pieces.first + 1) break;
      if (count != held) lastPiece = Clock::now();
      held = count;
      if (stream->closed || Clock::now() - lastPiece >= options_.stallTimeout) return std::nullopt;
      lock.unlock();
      const bool stopped = stop && stop();
      lock.lock();
      if (stopped) return std::nullopt;
      if (stream->changed.wait_for(lock, kClientCheck) == std::cv_status::timeout)
        FinishWarmingIfDone(*stream);
    }
  }
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(span.size));
  const ReadEnd result = ReadHeld(
      stream, span, 0, span.size,
      [&bytes](const char* data, std::size_t size) {
        bytes.append(data, size);
        return true;
      },
      stop, -1);
  if (result != ReadEnd::kDone || bytes.size() != static_cast<std::size_t>(span.size)) return std::nullopt;
  return bytes;
}

std::optional<std::string> TorrentEngine::StatusJson(const std::string& hash) const {
  const auto stream = Lookup(hash);
  if (!stream) return std::nullopt;
  lt::torrent_status status;
  try {
    status = stream->handle.status({});
  } catch (const std::exception&) {
    return std::nullopt;
  }
  std::lock_guard lock(stream->mutex);
  std::string json = "{\"hash\":\"" + hash + "\",\"ready\":" + (stream->ready ? "true" : "false");
  json += ",\"peers\":" + std::to_string(status.num_peers);
  json += ",\"downloadRate\":" + std::to_string(status.download_payload_rate);
  json += ",\"uploadRate\":" + std::to_string(status.upload_payload_rate);
  if (stream->ready) {
    const auto held = HeldRanges(stream->span, stream->have);
    std::int64_t verified = 0;
    std::string ranges;
    for (const auto& [b, e] : held) {
      verified += e - b;
      ranges += (ranges.empty() ? "[" : ",[") + std::to_string(b) + "," + std::to_string(e) + "]";
    }
    json += ",\"name\":" + JsonText(stream->fileName);
    json += ",\"size\":" + std::to_string(stream->span.size);
    json += ",\"bytesVerified\":" + std::to_string(verified);
    json += ",\"readers\":" + std::to_string(stream->readers.size());
    json += ",\"buffered\":[" + ranges + "]";
  }
  return json + "}";
}

bool TorrentEngine::Close(const std::string& hash) {
  const auto stream = Lookup(hash);
  if (!stream) return false;
  Forget(stream, false);
  return true;
}

void TorrentEngine::EndReaders() {
  std::vector<std::shared_ptr<Stream>> streams;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const auto& [hash, stream] : streams_) streams.push_back(stream);
  }
  for (const auto& stream : streams) {
    {
      std::lock_guard lock(stream->mutex);
      stream->closed = true;
    }
    stream->changed.notify_all();
  }
}

void TorrentEngine::Shutdown() {
  EndReaders();
  std::vector<std::shared_ptr<Stream>> streams;
  {
    std::lock_guard lock(mutex_);
    if (!session_ || shutDown_) return;
    shutDown_ = true;
    for (const auto& [hash, stream] : streams_) streams.push_back(stream);
  }
  for (const auto& stream : streams) {
    bool ready;
    {
      std::lock_guard lock(stream->mutex);
      ready = stream->ready;
    }
    if (!ready) continue;
    SaveResume(*stream, true);
  }
  {
    std::unique_lock lock(mutex_);
    resumeSaved_.wait_for(lock, kResumeSaveWait, [this] { return resumeSavesPending_ == 0; });
  }
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
