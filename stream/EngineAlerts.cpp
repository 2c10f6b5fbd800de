// The engine's alert thread: what libtorrent reports about the streams' torrents, and the
// timed work between reports (resume data, the background, the lifecycle).
#include "stream/TorrentEngine.h"

#include <libtorrent/alert_types.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/torrent_status.hpp>

#include "stream/PeerSockets.h"
#include "stream/StreamState.h"
#include "stream/TorrentKey.h"

namespace lt = libtorrent;

namespace morvane::stream {

namespace {

// A stream nobody reads starts downloading the rest of its video after this.
constexpr auto kBackgroundLimit = std::chrono::seconds(3);
// How often the alert thread looks for streams whose background is due.
constexpr auto kBackgroundCheck = std::chrono::milliseconds(500);
// A stream stays paced this long after its last reader: a player that seeks hangs up and
// asks again a moment later.
constexpr auto kPaceHold = std::chrono::seconds(3);
// The least time the background has run before its rate sets the pace: a rate over less is
// a burst or a lull.
constexpr auto kPaceMeasure = std::chrono::milliseconds(400);

}  // namespace

void TorrentEngine::AlertLoop() {
  std::vector<lt::alert*> alerts;
  const bool periodicSaves = options_.resumeSaveInterval.count() > 0;
  Clock::time_point nextSave = Clock::now() + options_.resumeSaveInterval;
  Clock::time_point nextCheck = Clock::now() + kBackgroundCheck;
  for (;;) {
    {
      std::unique_lock lock(alertMutex_);
      const Clock::time_point wake =
          std::min(periodicSaves ? std::min(nextSave, nextCheck) : nextCheck, unfoundPeers_.NextTry());
      alertWake_.wait_until(lock, wake, [this] { return alertsPending_ || alertQuit_; });
      if (alertQuit_) return;
      alertsPending_ = false;
    }
    session_->pop_alerts(&alerts);
    for (lt::alert* alert : alerts) Handle(alert);
    const Clock::time_point now = Clock::now();
    if (!unfoundPeers_.empty()) unfoundPeers_.Retry(now);
    if (now >= nextCheck) {
      StartOverdueBackground();
      KeepLifecycles();
      nextCheck = now + kBackgroundCheck;
    }
    if (periodicSaves && now >= nextSave) {
      SaveChangedResume();
      nextSave = now + options_.resumeSaveInterval;
    }
  }
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
    if (open) resume_.Save(stream->handle, true);
  }
}

void TorrentEngine::StartOverdueBackground() {
  // A player's first bytes start it; a stream nobody reads (a resolution whose player never
  // came, a swarm without the pieces the player waits for) starts it all the same.
  const auto now = Clock::now();
  for (const auto& stream : AllStreams()) {
    std::lock_guard lock(stream->mutex);
    try {
      // A jumped player that waits too long lets the background go on (StreamState.cpp).
      if (stream->focused) UpdateWants(*stream);
    } catch (const std::exception&) {  // its torrent removed meanwhile
    }
    if (!stream->ready || stream->background || !stream->readers.empty() ||
        now - stream->readySince < kBackgroundLimit)
      continue;
    try {
      StartBackground(*stream);
    } catch (const std::exception&) {  // its torrent removed meanwhile
    }
  }
}

void TorrentEngine::KeepLifecycles() {
  const auto now = Clock::now();
  for (const auto& stream : AllStreams()) {
    {
      std::lock_guard lock(stream->mutex);
      if (!stream->ready || stream->closed) continue;
    }
    lt::torrent_status status;
    try {
      status = stream->handle.status({});
    } catch (const std::exception&) {  // its torrent removed meanwhile
      continue;
    }
    std::lock_guard lock(stream->mutex);
    if (!stream->ready || stream->closed) continue;
    stream->rates.Add(now, status.total_payload_download, status.total_payload_upload);
    if (stream->background) stream->backgroundRates.Add(now, status.total_payload_download, status.total_payload_upload);
    TorrentFacts facts;
    facts.read = !stream->readers.empty() || stream->waits > 0;
    if (facts.read) stream->lastWatched = now;
    // Its metadata arriving is part of its resolution.
    const Clock::time_point watched = std::max(stream->lastWatched, stream->readySince);
    facts.sinceWatched = std::chrono::duration_cast<std::chrono::milliseconds>(now - watched);
    facts.ratio = ShareRatio(status.all_time_upload, status.all_time_download, status.total_done);
    facts.wholeVideo = stream->MissingBytes() == 0;
    try {
      const bool reading = facts.read || now - stream->lastWatched < kPaceHold;
      if (!reading)
        Pace(*stream, 0);
      else if (stream->background && now - stream->backgroundSince >= kPaceMeasure)
        Pace(*stream, PacedPieces(stream->backgroundRates.DownloadRate(), stream->span.pieceLength));
      CarryState(*stream, DecideState(options_.lifecycle, facts));
    } catch (const std::exception&) {  // its torrent removed meanwhile
    }
  }
}

std::shared_ptr<Stream> TorrentEngine::StreamOf(const lt::alert* alert) const {
  const auto* torrentAlert = dynamic_cast<const lt::torrent_alert*>(alert);
  if (!torrentAlert) return nullptr;
  std::lock_guard lock(mutex_);
  for (const auto& [hash, stream] : streams_)
    if (stream->handle == torrentAlert->handle) return stream;
  return nullptr;
}

void TorrentEngine::Handle(lt::alert* alert) {
  // Calls on a handle throw once its torrent is gone, which a removal may do at any time.
  try {
    if (resume_.Handle(alert)) return;
    if (const auto* connected = lt::alert_cast<lt::peer_connect_alert>(alert)) {
      // Its requests leave at once (PeerSockets.h).
      const lt::tcp::endpoint& peer = connected->endpoint;
      if (SendPromptlyTo(peer.data(), static_cast<socklen_t>(peer.size())) == 0)
        unfoundPeers_.Add(peer.data(), static_cast<socklen_t>(peer.size()), Clock::now());
      return;
    }
    if (const auto* deleted = lt::alert_cast<lt::torrent_deleted_alert>(alert)) {
      // Pieces written before the torrent was refused or evicted: the removal of its files
      // happens after ours, and leaves the folder.
      const std::string hash = KeyOf(deleted->info_hashes);
      if (!hash.empty() && !Lookup(hash)) cache_.Remove(hash);
      return;
    }
    const auto stream = StreamOf(alert);
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
      const int index = static_cast<int>(piece->piece_index);
      {
        std::lock_guard lock(stream->mutex);
        if (index >= 0 && static_cast<std::size_t>(index) < stream->have.size())
          stream->have[static_cast<std::size_t>(index)] = true;
        const auto want = stream->wanted.find(index);
        const bool keptWarm = want != stream->wanted.end() && !want->second.deadline;
        if (want != stream->wanted.end()) stream->wanted.erase(want);
        // The piece that keeps the swarm going before the background: the next one. A jumped
        // player's piece: the background goes on. Paced: the next piece is asked for.
        if (keptWarm || stream->focused || stream->paced > 0) UpdateWants(*stream);
      }
      stream->changed.notify_all();
    } else if (lt::alert_cast<lt::metadata_received_alert>(alert) ||
               lt::alert_cast<lt::add_torrent_alert>(alert)) {
      // A torrent added with its metadata (a .torrent file, resume data) reports no
      // metadata_received_alert: its add_torrent_alert starts it.
      Prepare(stream);
    } else if (lt::alert_cast<lt::torrent_finished_alert>(alert)) {
      resume_.Save(stream->handle, false);
    } else if (const auto* error = lt::alert_cast<lt::file_error_alert>(alert)) {
      Fail(stream, "the cache cannot be written: " + error->error.message());
    }
  } catch (const std::exception&) {
  }
}

}  // namespace morvane::stream
