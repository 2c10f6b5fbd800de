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
#include "stream/ResumeStore.h"
#include "stream/StatusJson.h"
#include "stream/StreamOptions.h"

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
    std::string fileName;  // of the chosen video, without folders
    std::int64_t size = 0;
  };
  struct Opened {
    std::optional<Playable> playable;
    std::string reason;  // why not, when not
  };
  // Adds the torrent (or finds it among those already added, connecting the peers `params`
  // names) and waits until its metadata is known and its video chosen, at most the metadata
  // time-out. The stream then stays until a player has come and gone.
  Opened Open(libtorrent::add_torrent_params params);

  std::optional<Playable> Find(const std::string& hash) const;

  // A reader of the stream's video, or nothing when the stream is not (or no longer) there.
  std::unique_ptr<PieceReader> OpenReader(const std::string& hash,
                                          PieceReader::Kind kind = PieceReader::Kind::kPlayer) const;

  using ReadEnd = stream::ReadEnd;
  using Sink = stream::Sink;
  // A player's reader over bytes [begin, end), for one answer.
  ReadEnd Read(const std::string& hash, std::int64_t begin, std::int64_t end, const Sink& sink,
               const std::function<bool()>& clientGone);

  // Waits at most `limit` for every piece of the video: kDone once they are all in,
  // kStalled when they are not by then, kClientGone when `stop` said so, kStopped when the
  // stream is not (or no longer) there. Nothing is asked of the swarm: the pieces come in as
  // they would anyway.
  ReadEnd AwaitWholeVideo(const std::string& hash, std::chrono::milliseconds limit,
                          const std::function<bool()>& stop);

  // The torrent's files other than the video (pad files left out), by their index.
  struct SideFile {
    int index = -1;
    std::string path;  // inside the torrent
    std::int64_t size = 0;
  };
  std::vector<SideFile> SideFiles(const std::string& hash) const;
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
                              std::string& reason);
  void AlertLoop();
  void Handle(libtorrent::alert* alert);
  void Prepare(const std::shared_ptr<Stream>& stream);
  void Fail(const std::shared_ptr<Stream>& stream, std::string reason);
  std::string MakeRoom(const std::shared_ptr<Stream>& stream);
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

  std::mutex alertMutex_;
  std::condition_variable alertWake_;
  bool alertsPending_ = true;  // alerts posted before the notification was installed
  bool alertQuit_ = false;
  std::thread alertThread_;
};

}  // namespace morvane::stream
