#include "stream/ResumeStore.h"

#include <libtorrent/alert_types.hpp>
#include <libtorrent/read_resume_data.hpp>
#include <libtorrent/write_resume_data.hpp>

#include "stream/TorrentKey.h"

namespace lt = libtorrent;

namespace morvane::stream {

ResumeStore::ResumeStore(const CacheFolder& cache, std::function<void(const lt::torrent_handle&)> remove)
    : cache_(cache), remove_(std::move(remove)) {}

void ResumeStore::Restore(const std::string& hash, lt::add_torrent_params& params) const {
  std::vector<char> resume;
  if (!cache_.ReadResume(hash, resume)) return;
  lt::error_code ec;
  lt::add_torrent_params saved = lt::read_resume_data(resume, ec);
  if (ec || KeyOf(saved) != hash) return;
  saved.trackers.insert(saved.trackers.end(), params.trackers.begin(), params.trackers.end());
  saved.peers.insert(saved.peers.end(), params.peers.begin(), params.peers.end());
  params = std::move(saved);
}

void ResumeStore::Save(const lt::torrent_handle& handle, bool onlyIfModified) {
  // Counted before asking: the answer may come before save_resume_data returns.
  {
    std::lock_guard lock(mutex_);
    ++savesPending_;
  }
  try {
    // The metadata goes into the resume data: a magnet plays again without peers.
    handle.save_resume_data(onlyIfModified ? lt::torrent_handle::save_info_dict |
                                                 lt::torrent_handle::only_if_modified
                                           : lt::torrent_handle::save_info_dict);
  } catch (const std::exception&) {
    std::lock_guard lock(mutex_);
    --savesPending_;
    changed_.notify_all();
  }
}

void ResumeStore::SaveThenRemove(const std::string& hash, const lt::torrent_handle& handle) {
  {
    std::lock_guard lock(mutex_);
    leaving_.emplace(hash, handle);
  }
  Save(handle, false);
}

void ResumeStore::NoteRemoving(const std::string& hash) {
  std::lock_guard lock(mutex_);
  leaving_.emplace(hash, lt::torrent_handle());
}

bool ResumeStore::Handle(const lt::alert* alert) {
  if (const auto* saved = lt::alert_cast<lt::save_resume_data_alert>(alert)) {
    const std::string hash = KeyOf(saved->params);
    if (!hash.empty()) cache_.WriteResume(hash, lt::write_resume_data_buf(saved->params));
  }
  if (lt::alert_cast<lt::save_resume_data_alert>(alert) ||
      lt::alert_cast<lt::save_resume_data_failed_alert>(alert)) {
    const auto& handle = static_cast<const lt::torrent_alert*>(alert)->handle;
    bool removing = false;
    {
      std::lock_guard lock(mutex_);
      if (savesPending_ > 0) --savesPending_;
      for (auto& [hash, leaving] : leaving_)
        if (leaving.is_valid() && leaving == handle) {
          leaving = lt::torrent_handle();  // saved: now it goes
          removing = true;
        }
    }
    if (removing) remove_(handle);
    changed_.notify_all();
    return true;
  }
  if (const auto* removed = lt::alert_cast<lt::torrent_removed_alert>(alert)) {
    {
      std::lock_guard lock(mutex_);
      auto [it, end] = leaving_.equal_range(KeyOf(removed->info_hashes));
      while (it != end && it->second.is_valid()) ++it;
      if (it != end) leaving_.erase(it);
    }
    changed_.notify_all();
    return true;
  }
  return false;
}

bool ResumeStore::AwaitGone(const std::string& hash, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return !leaving_.contains(hash); });
}

void ResumeStore::AwaitSaves(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limit, [this] { return savesPending_ == 0; });
}

}  // namespace morvane::stream
