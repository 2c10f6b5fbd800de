#pragma once
// The BitTorrent side of the service: one libtorrent session, one thread that reads its
// alerts, and the torrents being streamed. Readers (the HTTP server's threads) wait for the
// pieces they need on a condition variable; the alert thread wakes them as pieces pass
// their hash check. Bytes are read through libtorrent (read_piece), never from the files
// directly: its default disk back end may still hold a finished piece's blocks in memory,
// and the file would give stale bytes. Each reader asks for a few pieces ahead, so that the
// disk threads read while the reader sends.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <libtorrent/torrent_handle.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "stream/CacheFolder.h"
#include "stream/FileChoice.h"
#include "stream/PieceMath.h"
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
    std::string fileName;  // the name its address carries (see AddressName)
    std::int64_t size = 0;
    int file = -1;         // the video's index among the torrent's files
  };
  struct Opened {
    std::optional<Playable> playable;
    std::string reason;  // why not, when not
  };
  // Adds the torrent (or finds it among those already added) and waits until its metadata
  // is known and its video chosen, at most the metadata time-out. The video is the one
  // `selection` picks (see ChooseVideo); a torrent already playing another one switches.
  Opened Open(libtorrent::add_torrent_params params, const SelectOnly& selection = {});

  // The torrent's files (pad files left out), once its metadata is known.
  std::vector<TorrentFileEntry> Files(const std::string& hash) const;
  // Makes video `file` the one the stream plays and downloads whole, in place of the one
  // before (whose readers go on, fetching only what they read). Refused (with the reason)
  // when it is no video of the torrent or the cache has no room for it.
  Opened Choose(const std::string& hash, int file);

  std::optional<Playable> Find(const std::string& hash) const;

  enum class ReadEnd { kDone, kClientGone, kStalled, kStopped };
  // Passes on `size` bytes of the video; false when it cannot.
  using Sink = std::function<bool(const char* data, std::size_t size)>;
  // Hands the video's bytes [begin, end) to `sink` as their pieces arrive. `clientGone` is
  // asked while waiting, so a reader whose client hung up does not wait for nothing. The
  // video is file `video` of the torrent, or the one that plays (-1): another video is read
  // as the one that plays is, but only what is read of it downloads.
  ReadEnd Read(const std::string& hash, std::int64_t begin, std::int64_t end, const Sink& sink,
               const std::function<bool()>& clientGone, int video = -1);

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
  // Wants a side file ahead of the video's other pieces (subtitles), then reads it whole once
  // its pieces are in. Nothing when it is larger than `maxBytes`, the stream ends, `stop`
  // says so or no piece of it arrives within the stall time-out.
  std::optional<std::string> ReadSideFile(const std::string& hash, int index, std::int64_t maxBytes,
                                          const std::function<bool()>& stop);

  // The stream's state as a JSON object, or nothing when it is unknown.
  std::optional<std::string> StatusJson(const std::string& hash) const;

  // Stops downloading the stream and ends its readers; its files stay in the cache.
  bool Close(const std::string& hash);

  // Ends every reader and every wait for metadata; no new stream opens after it.
  void EndReaders();
  // EndReaders, then saves resume data (briefly) and ends the session.
  void Shutdown();

 private:
  void AlertLoop();
  void Handle(libtorrent::alert* alert);
  void HandleTorrentAlert(libtorrent::alert* alert);
  void Prepare(const std::shared_ptr<Stream>& stream);
  // Makes file `index` the stream's video: its first and last pieces wanted first, the rest
  // of it once they are in, nothing of the video before. Called with the stream's lock held.
  void StartFile(Stream& stream, int index, const std::vector<TorrentFileEntry>& files);
  void Fail(const std::shared_ptr<Stream>& stream, std::string reason);
  // Evicts what it must for `size` bytes of the stream's; the reason when it cannot.
  std::string MakeRoom(const std::shared_ptr<Stream>& stream, std::int64_t size);
  void SaveResume(Stream& stream, bool onlyIfModified);
  // The alert thread's timed work: resume data of what changed, and the end of warming for
  // streams whose first and last pieces have not come in time.
  void SaveChangedResume();
  void EndOverdueWarming();
  std::vector<std::shared_ptr<Stream>> AllStreams() const;
  static std::vector<int> EdgePieces(const Stream& stream);
  void FinishWarmingIfDone(Stream& stream);
  // Wants the video's pieces and then the side files' asked for, and no other.
  static void WantVideoAndSides(Stream& stream);
  void RebuildDeadlines(Stream& stream);
  static int WindowPieces(const Stream& stream);
  // Bytes [begin, end) of the torrent file `span` to `sink`, piece by piece, each piece read
  // once it is held. `reader` is the reader's id among the video readers, or -1.
  ReadEnd ReadHeld(const std::shared_ptr<Stream>& stream, const FileSpan& span, std::int64_t begin,
                   std::int64_t end, const Sink& sink, const std::function<bool()>& clientGone,
                   int reader);
  // Asks libtorrent for the held pieces of [first, last] not asked for yet.
  static void AskForPieces(Stream& stream, int first, int last);
  // Lets go of piece buffers no reader waits for, but the most recently used.
  static void TrimBuffers(Stream& stream);
  // Deadlines for the pieces of the window ahead of `fromPiece`, from its `firstOfWindow`th,
  // up to `lastPiece` (the end of the video read).
  void SetWindowDeadlines(Stream& stream, int fromPiece, int lastPiece, int firstOfWindow);
  std::shared_ptr<Stream> Lookup(const std::string& hash) const;
  void Forget(const std::shared_ptr<Stream>& stream, bool deleteFiles);

  StreamOptions options_;
  CacheFolder cache_;
  std::unique_ptr<libtorrent::session> session_;

  mutable std::mutex mutex_;  // guards streams_ and the flags below
  std::map<std::string, std::shared_ptr<Stream>> streams_;
  std::vector<libtorrent::torrent_handle> closing_;  // removed once their resume data is in
  bool stopping_ = false;
  bool shutDown_ = false;
  int resumeSavesPending_ = 0;
  std::condition_variable resumeSaved_;

  std::mutex alertMutex_;
  std::condition_variable alertWake_;
  bool alertsPending_ = true;  // alerts posted before the notification was installed
  bool alertQuit_ = false;
  // A stream started warming off the alert thread (a switch of its video): the alert thread
  // then looks when warming is overdue.
  bool warmingStarted_ = false;
  std::thread alertThread_;
  // When a warming stream next runs out of time; only the alert thread touches it.
  std::chrono::steady_clock::time_point warmingCheck_ = std::chrono::steady_clock::time_point::max();
};

}  // namespace morvane::stream
