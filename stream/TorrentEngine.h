#pragma once
// The BitTorrent side of the service: one libtorrent session, one thread that reads its
// alerts, and the torrents being streamed. Readers (PieceReader, one per HTTP response or
// media input) wait for the pieces they need; the alert thread wakes them as pieces pass
// their hash check. What is asked of the swarm follows from where the readers are
// (PiecePlan.h); resume data and the closing of torrents are ResumeStore's.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "stream/CacheFolder.h"
#include "stream/PieceReader.h"
#include "stream/PeerSockets.h"
#include "stream/ResumeStore.h"
#include "stream/StatusJson.h"
#include "stream/StreamOptions.h"
#include "stream/VideoFiles.h"

namespace libtorrent {
struct add_torrent_params;
struct alert;
class session;
}  // namespace libtorrent

namespace morvane::stream {

struct Stream;

class TorrentEngine {
 public:
  explicit TorrentEngine(const StreamOptions& options);
  ~TorrentEngine();
  TorrentEngine(const TorrentEngine&) = delete;
  TorrentEngine& operator=(const TorrentEngine&) = delete;

  struct Playable {
    std::string hash;      // 40 hex digits, the stream's name in addresses
    std::string fileName;  // the name its address carries (see AddressName)
    std::int64_t size = 0;
    int file = -1;  // the video's index among the torrent's files
  };
  struct Opened {
    std::optional<Playable> playable;
    std::string reason;  // why not, when not
  };
  // Adds the torrent (or finds it among those already added, connecting the peers `params`
  // names) and waits until its metadata is known and its video chosen, at most the metadata
  // time-out. The stream then stays until a player has come and gone. The video is the one
  // `selection` picks (see ChooseVideo); a torrent already playing another one switches.
  Opened Open(libtorrent::add_torrent_params params, const SelectOnly& selection = {});

  std::optional<Playable> Find(const std::string& hash) const;

  // The torrent's files (pad files left out), once its metadata is known.
  std::vector<TorrentFile> Files(const std::string& hash) const;
  // Makes video `file` the one the stream plays, in place of the one before (whose readers
  // go on, fetching only what they read): the start begins again for it, as for a stream
  // just opened. Refused (with the reason) when it is no video of the torrent or the cache
  // has no room for it.
  Opened Choose(const std::string& hash, int file);

  // A reader of video `video` of the stream's torrent, or of the one that plays (-1); nothing
  // when the stream is not (or no longer) there or `video` is no video of it. Another video
  // is read as the one that plays is, but only what is read of it downloads.
  std::unique_ptr<PieceReader> OpenReader(const std::string& hash,
                                          PieceReader::Kind kind = PieceReader::Kind::kPlayer,
                                          int video = -1) const;

  using ReadEnd = stream::ReadEnd;
  using Sink = stream::Sink;
  // A player's reader over bytes [begin, end) of video `video` (see OpenReader), for one
  // answer.
  ReadEnd Read(const std::string& hash, std::int64_t begin, std::int64_t end, const Sink& sink,
               const std::function<bool()>& clientGone, int video = -1);

  // Waits at most `limit` for every piece of the video: kDone once they are all in,
  // kStalled when they are not by then, kClientGone when `stop` said so, kStopped when the
  // stream is not (or no longer) there. Nothing is asked of the swarm: the pieces come in as
  // they would anyway.
  ReadEnd AwaitWholeVideo(const std::string& hash, std::chrono::milliseconds limit,
                          const std::function<bool()>& stop);

  // Wants a side file ahead of the video's other pieces (subtitles).
  void WantSideFile(const std::string& hash, int index);
  // Wants a side file (WantSideFile), then reads it whole once
  // its pieces are in. Nothing when it is larger than `maxBytes`, the stream ends, `stop`
  // says so or no piece of it arrives within the stall time-out.
  std::optional<std::string> ReadSideFile(const std::string& hash, int index, std::int64_t maxBytes,
                                          const std::function<bool()>& stop);

  // The stream's state, or nothing when it is unknown (StatusJson.h shows it).
  std::optional<StreamSnapshot> Snapshot(const std::string& hash) const;

  // Stops downloading the stream and ends its readers; its files stay in the cache.
  bool Close(const std::string& hash);

  // Ends every reader and every wait for metadata; no new stream opens after it.
  void EndReaders();
  // EndReaders, then saves resume data (briefly) and ends the session.
  void Shutdown();

 private:
  std::shared_ptr<Stream> Add(libtorrent::add_torrent_params params, const std::string& hash,
                              const SelectOnly& selection, std::string& reason);
  void AlertLoop();
  void Handle(libtorrent::alert* alert);
  void Prepare(const std::shared_ptr<Stream>& stream);
  // Makes file `index` of `files` the stream's video, whose start begins as a stream's just
  // opened does: nothing of it wanted until a reader asks. With the stream's lock held.
  static void StartFile(Stream& stream, int index, const std::vector<TorrentFile>& files);
  void Fail(const std::shared_ptr<Stream>& stream, std::string reason);
  // Evicts what it must for the stream's video `video` to be written whole; the reason when
  // it cannot.
  std::string MakeRoom(const std::shared_ptr<Stream>& stream, const TorrentFile& video);
  // The alert thread's timed work: resume data of what changed, and the background download
  // of streams nobody has played within a while.
  void SaveChangedResume();
  void StartOverdueBackground();
  // Samples every stream's rates and carries out what its lifecycle calls for now
  // (TorrentLifecycle.h): the film being watched gets the bandwidth.
  void KeepLifecycles();
  std::vector<std::shared_ptr<Stream>> AllStreams() const;
  std::shared_ptr<Stream> Lookup(const std::string& hash) const;
  std::shared_ptr<Stream> StreamOf(const libtorrent::alert* alert) const;
  void Forget(const std::shared_ptr<Stream>& stream, bool deleteFiles);

  StreamOptions options_;
  CacheFolder cache_;
  std::unique_ptr<libtorrent::session> session_;
  ResumeStore resume_;

  mutable std::mutex mutex_;  // guards streams_, session_ and the flags below
  std::map<std::string, std::shared_ptr<Stream>> streams_;
  bool stopping_ = false;
  bool shutDown_ = false;

  UnfoundPeers unfoundPeers_;  // the alert thread's own

  std::mutex alertMutex_;
  std::condition_variable alertWake_;
  bool alertsPending_ = true;  // alerts posted before the notification was installed
  bool alertQuit_ = false;
  std::thread alertThread_;
};

}  // namespace morvane::stream
