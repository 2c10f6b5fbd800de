#include "services/Seeder.h"

#include "services/LoopbackSession.h"

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/posix_disk_io.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_flags.hpp>
#include <libtorrent/torrent_info.hpp>

#include <chrono>
#include <filesystem>

namespace morvane::services {

namespace {

constexpr auto kListenWait = std::chrono::seconds(10);

lt::settings_pack SeederSettings() {
  lt::settings_pack pack = LoopbackSessionSettings();
  // The catalogue holds far more torrents than the default number of active seeds.
  pack.set_int(lt::settings_pack::active_seeds, -1);
  pack.set_int(lt::settings_pack::active_limit, -1);
  // A player that holds the whole video (on loopback a short film arrives while its address
  // is still being resolved) stays connected: it is the swarm the player page shows.
  pack.set_bool(lt::settings_pack::close_redundant_connections, false);
  pack.set_int(lt::settings_pack::alert_mask,
               lt::alert_category::error | lt::alert_category::status);
  return pack;
}

}  // namespace

struct Seeder::Session {
  lt::session session;
  int port = 0;

  explicit Session(lt::session_params params) : session(std::move(params)) {}
};

Seeder::Seeder() = default;

Seeder::~Seeder() {
  Stop();
}

bool Seeder::Start(const std::vector<CatalogueEntry>& entries, int uploadLimit) {
  if (session_) return false;
  lt::session_params params(SeederSettings());
  // The POSIX back end opens the media files read-only for reading, and they belong to
  // the source tree.
  params.disk_io_constructor = lt::posix_disk_io_constructor;
  auto session = std::make_unique<Session>(std::move(params));

  const auto deadline = std::chrono::steady_clock::now() + kListenWait;
  while (session->port == 0 && std::chrono::steady_clock::now() < deadline) {
    session->session.wait_for_alert(std::chrono::milliseconds(100));
    std::vector<lt::alert*> alerts;
    session->session.pop_alerts(&alerts);
    for (lt::alert* a : alerts) {
      if (auto* ok = lt::alert_cast<lt::listen_succeeded_alert>(a))
        if (ok->socket_type == lt::socket_type_t::tcp) session->port = ok->port;
      if (lt::alert_cast<lt::listen_failed_alert>(a)) return false;
    }
  }
  if (session->port == 0) return false;

  for (const CatalogueEntry& entry : entries) {
    lt::error_code error;
    auto info = std::make_shared<lt::torrent_info>(
        lt::span<const char>(entry.torrent.data(), static_cast<long>(entry.torrent.size())), error,
        lt::from_span);
    if (error) return false;
    // The tracker lists the seeder itself; it has no need to announce.
    info->clear_trackers();
    lt::add_torrent_params torrent;
    torrent.ti = std::move(info);
    const std::filesystem::path media(entry.mediaPath);
    torrent.save_path = media.parent_path().string();
    if (!entry.packFiles.empty()) {
      // A season pack: its files are the folder's, which the torrent lists by its own name.
      const std::vector<std::string>& files = entry.packFiles;
      for (std::size_t i = 0; i < files.size(); ++i)
        torrent.renamed_files[lt::file_index_t{static_cast<int>(i)}] = media.filename().string() + "/" + files[i];
    } else {
      // Many torrents name one sample video under names of their own.
      torrent.renamed_files[lt::file_index_t{0}] = media.filename().string();
    }
    // Seed mode trusts the files and checks each piece the first time it is asked for.
    torrent.flags = lt::torrent_flags::seed_mode;
    torrent.upload_limit = uploadLimit > 0 ? uploadLimit : -1;
    session->session.add_torrent(std::move(torrent), error);
    if (error) return false;
  }
  session_ = std::move(session);
  return true;
}

int Seeder::Port() const {
  return session_ ? session_->port : 0;
}

void Seeder::Stop() {
  if (!session_) return;
  // The proxy's destructor waits until the session has shut down.
  lt::session_proxy proxy = session_->session.abort();
  session_.reset();
}

}  // namespace morvane::services
