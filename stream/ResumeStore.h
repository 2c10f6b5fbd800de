#pragma once
// Resume data and the closing of torrents. A torrent played before starts again from its
// resume data (metadata and pieces at once, no peer needed); while one plays, its resume
// data is saved now and then, so a crash or a kill loses little. A stopped torrent leaves the
// session only once its resume data is saved (libtorrent drops a save asked of a torrent
// being removed), and until it has left, the same torrent cannot be added again: an Open of
// it waits here.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <map>
#include <mutex>
#include <string>

#include "stream/CacheFolder.h"

namespace libtorrent {
struct alert;
}

namespace morvane::stream {

class ResumeStore {
 public:
  // `remove` takes a torrent out of the session (asynchronously).
  ResumeStore(const CacheFolder& cache, std::function<void(const libtorrent::torrent_handle&)> remove);

  // `params` for `hash` from its saved resume data, when there is any; the trackers and peers
  // of `params` are kept beside the saved ones.
  void Restore(const std::string& hash, libtorrent::add_torrent_params& params) const;

  // Asks for the torrent's resume data; `onlyIfModified` skips a torrent without news.
  void Save(const libtorrent::torrent_handle& handle, bool onlyIfModified);
  // Saves, then removes the torrent once the data is in.
  void SaveThenRemove(const std::string& hash, const libtorrent::torrent_handle& handle);
  // A torrent removed by the engine itself (with its files): counted as leaving until
  // libtorrent says it has gone.
  void NoteRemoving(const std::string& hash);

  // Takes the alerts this store answers (saves, removals); false for the others.
  bool Handle(const libtorrent::alert* alert);

  // Waits at most `limit` until torrent `hash` has left the session; true when it has.
  bool AwaitGone(const std::string& hash, std::chrono::milliseconds limit);
  // Waits at most `limit` for the saves asked for so far.
  void AwaitSaves(std::chrono::milliseconds limit);

 private:
  const CacheFolder& cache_;
  std::function<void(const libtorrent::torrent_handle&)> remove_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int savesPending_ = 0;
  // Torrents on their way out, by hash: the handle while its save is awaited, then an empty
  // handle until the removal is done.
  std::multimap<std::string, libtorrent::torrent_handle> leaving_;
};

}  // namespace morvane::stream
