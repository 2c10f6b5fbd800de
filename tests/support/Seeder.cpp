#include "tests/support/Seeder.h"

#include <chrono>
#include <fstream>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>
#include <stdexcept>
#include <thread>

namespace lt = libtorrent;
namespace fs = std::filesystem;

namespace morvane::testing {

struct Seeder::Impl {
  fs::path root;
  std::vector<char> torrent;
  std::shared_ptr<lt::torrent_info> info;
  std::unique_ptr<lt::session> session;
  lt::torrent_handle handle;
};

lt::settings_pack LoopbackSessionSettings() {
  lt::settings_pack settings;
  settings.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
  settings.set_bool(lt::settings_pack::enable_dht, false);
  settings.set_bool(lt::settings_pack::enable_lsd, false);
  settings.set_bool(lt::settings_pack::enable_upnp, false);
  settings.set_bool(lt::settings_pack::enable_natpmp, false);
  return settings;
}

void WriteKnownBytes(const fs::path& path, std::int64_t size, std::uint64_t seed) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB at a time
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  while (size > 0) {
    for (auto& word : block) {  // xorshift64*: fast, and no two pieces alike
      state ^= state >> 12;
      state ^= state << 25;
      state ^= state >> 27;
      word = state * 0x2545F4914F6CDD1Dull;
    }
    const auto n = std::min<std::int64_t>(size, static_cast<std::int64_t>(block.size() * 8));
    out.write(reinterpret_cast<const char*>(block.data()), n);
    size -= n;
  }
}

namespace {

// Turns every byte of `piece` in the seeded files, so it fails its hash check.
void SpoilPiece(const lt::torrent_info& info, const fs::path& folder, int piece) {
  const lt::piece_index_t index{piece};
  const lt::file_storage& files = info.files();
  for (const lt::file_slice& slice : files.map_block(index, 0, info.piece_size(index))) {
    if (files.pad_file_at(slice.file_index)) continue;
    std::fstream file(folder / files.file_path(slice.file_index), std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes(static_cast<std::size_t>(slice.size), '\0');
    file.seekg(slice.offset);
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    for (char& byte : bytes) byte = static_cast<char>(~byte);
    file.seekp(slice.offset);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
}

}  // namespace

bool SameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  if (!x || !y) return false;
  std::vector<char> bx(1 << 20), by(1 << 20);
  for (;;) {
    x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
    y.read(by.data(), static_cast<std::streamsize>(by.size()));
    if (x.gcount() != y.gcount()) return false;
    if (!std::equal(bx.begin(), bx.begin() + x.gcount(), by.begin())) return false;
    if (x.gcount() == 0 || !x) return !y || y.peek() == EOF;
  }
}

Seeder::Seeder(const fs::path& folder, const std::string& name, const std::vector<SeedFile>& files,
               SeederOptions options)
    : impl_(std::make_unique<Impl>()) {
  impl_->root = folder;
  const bool single = files.size() == 1 && files[0].path == name;
  std::uint64_t seed = 1;
  for (const SeedFile& file : files) {
    const fs::path path = single ? folder / name : folder / name / file.path;
    if (file.bytes.empty()) {
      WriteKnownBytes(path, file.size, seed++);
      continue;
    }
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(file.bytes.data(), static_cast<std::streamsize>(file.bytes.size()));
  }

  lt::file_storage storage;
  lt::add_files(storage, (folder / name).string());
  lt::create_flags_t flags{};
  if (options.v1Only) {
    flags |= lt::create_torrent::v1_only;
    if (options.padFiles) flags |= lt::create_torrent::canonical_files;
  }
  lt::create_torrent maker(storage, options.pieceLength, flags);
  lt::set_piece_hashes(maker, folder.string());
  lt::bencode(std::back_inserter(impl_->torrent), maker.generate());
  impl_->info = std::make_shared<lt::torrent_info>(impl_->torrent, lt::from_span);

  for (const int piece : options.missingPieces) SpoilPiece(*impl_->info, folder, piece);

  lt::settings_pack settings = LoopbackSessionSettings();
  settings.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
  settings.set_int(lt::settings_pack::tick_interval, 50);
  settings.set_int(lt::settings_pack::alert_mask, lt::alert_category::error);
  impl_->session = std::make_unique<lt::session>(lt::session_params(std::move(settings)));

  lt::add_torrent_params params;
  params.ti = impl_->info;
  params.save_path = folder.string();
  if (options.missingPieces.empty()) params.flags |= lt::torrent_flags::seed_mode;
  params.flags &= ~(lt::torrent_flags::paused | lt::torrent_flags::auto_managed);
  if (options.uploadLimit > 0) params.upload_limit = options.uploadLimit;
  impl_->handle = impl_->session->add_torrent(std::move(params));

  // Listening starts on the session's thread; tests need the port before they go on.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (impl_->session->listen_port() == 0 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (impl_->session->listen_port() == 0) throw std::runtime_error("the seeder cannot listen");
  // A seeder that checks its files answers no peer before the check is over.
  while (!options.missingPieces.empty() && std::chrono::steady_clock::now() < limit) {
    const auto state = impl_->handle.status({}).state;
    if (state != lt::torrent_status::checking_files && state != lt::torrent_status::checking_resume_data)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

Seeder::~Seeder() = default;

int Seeder::Port() const { return impl_->session->listen_port(); }

std::string Seeder::InfoHashHex() const {
  std::string hex;
  for (const char byte : impl_->info->info_hashes().v1) {
    hex += "0123456789abcdef"[(static_cast<unsigned char>(byte) >> 4) & 15];
    hex += "0123456789abcdef"[static_cast<unsigned char>(byte) & 15];
  }
  return hex;
}

std::string Seeder::MagnetLink(bool withPeer) const {
  std::string link = "magnet:?xt=urn:btih:" + InfoHashHex() + "&dn=" + impl_->info->name();
  if (withPeer) link += "&x.pe=127.0.0.1:" + std::to_string(Port());
  return link;
}

const std::vector<char>& Seeder::TorrentBytes() const { return impl_->torrent; }

fs::path Seeder::WriteTorrentFile(const fs::path& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(impl_->torrent.data(), static_cast<std::streamsize>(impl_->torrent.size()));
  return path;
}

fs::path Seeder::SourcePath(const std::string& path) const {
  const std::string name = impl_->info->name();
  return path == name ? impl_->root / name : impl_->root / name / path;
}

void Seeder::SetUploadLimit(int bytesPerSecond) { impl_->handle.set_upload_limit(bytesPerSecond); }

void Seeder::Connect(int port) {
  impl_->handle.connect_peer(
      lt::tcp::endpoint(lt::make_address("127.0.0.1"), static_cast<std::uint16_t>(port)));
}

std::int64_t Seeder::Uploaded() const { return impl_->handle.status({}).total_payload_upload; }

std::int64_t Seeder::Owed() const {
  std::vector<lt::peer_info> peers;
  impl_->handle.get_peer_info(peers);
  std::int64_t owed = 0;
  for (const lt::peer_info& peer : peers)
    owed += peer.used_send_buffer + std::int64_t{peer.upload_queue_length} * lt::default_block_size;
  return owed;
}

}  // namespace morvane::testing
