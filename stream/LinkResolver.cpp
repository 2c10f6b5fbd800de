#include "stream/LinkResolver.h"

#include <filesystem>
#include <fstream>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/torrent_info.hpp>
#include <memory>

#include "stream/CurlTransfer.h"
#include "stream/FileChoice.h"
#include "stream/Links.h"
#include "stream/TorrentEngine.h"

namespace lt = libtorrent;

namespace morvane::stream {

namespace {

Resolution Refuse(std::string reason) { return {{}, std::move(reason)}; }

std::optional<std::string> ReadLocalFile(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxTorrentFileBytes) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  std::string data(size, '\0');
  if (!in.read(data.data(), static_cast<std::streamsize>(size))) return std::nullopt;
  return data;
}

std::string LastSegment(const std::string& address) {
  std::string path = address.substr(0, address.find_first_of("?#"));
  const auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.empty() ? "media" : name;
}

Resolution Play(lt::add_torrent_params params, const std::string& base, TorrentEngine& engine,
                const SelectOnly& selection) {
  const TorrentEngine::Opened opened = engine.Open(std::move(params), selection);
  if (!opened.playable) return Refuse(opened.reason);
  return {base + "/stream/" + opened.playable->hash + "/" + PercentEncode(opened.playable->fileName),
          {}};
}

Resolution PlayTorrentFile(const std::optional<std::string>& data, const std::string& base,
                           TorrentEngine& engine, const SelectOnly& selection = {}) {
  if (!data) return Refuse("the .torrent file cannot be read");
  lt::error_code ec;
  auto info = std::make_shared<lt::torrent_info>(lt::span<char const>(data->data(), static_cast<std::ptrdiff_t>(data->size())),
                                                 ec, lt::from_span);
  if (ec) return Refuse("a broken .torrent file: " + ec.message());
  lt::add_torrent_params params;
  params.ti = std::move(info);
  return Play(std::move(params), base, engine, selection);
}

}  // namespace

int RelayTable::Add(const std::string& address) {
  std::lock_guard lock(mutex_);
  for (const auto& [id, known] : entries_)
    if (known == address) return id;
  if (entries_.size() >= kKept) entries_.pop_front();
  entries_.emplace_back(next_, address);
  return next_++;
}

std::optional<std::string> RelayTable::Get(int id) const {
  std::lock_guard lock(mutex_);
  for (const auto& [known, address] : entries_)
    if (known == id) return address;
  return std::nullopt;
}

std::string PercentEncode(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += digits[u >> 4];
      out += digits[u & 15];
    }
  }
  return out;
}

Resolution ResolveLink(const std::string& link, const std::string& base, TorrentEngine& engine,
                       RelayTable& relays) {
  // The program sends the link as it is; a browser or a script may escape it whole
  // ("magnet%3A%3Fxt=..."), which shows in an escape before the scheme's colon.
  const auto colon = link.find(':');
  const auto escape = link.find('%');
  const Link classified =
      ClassifyLink(escape != std::string::npos && escape < colon ? PercentDecode(link) : link);
  switch (classified.kind) {
    case LinkKind::kMedia:
      return {classified.address, {}};
    case LinkKind::kFtp:
      return {base + "/relay/" + std::to_string(relays.Add(classified.address)) + "/" +
                  PercentEncode(LastSegment(classified.address)),
              {}};
    case LinkKind::kMagnet: {
      lt::error_code ec;
      lt::add_torrent_params params = lt::parse_magnet_uri(classified.address, ec);
      if (ec) return Refuse("a magnet link that does not parse: " + ec.message());
      return Play(std::move(params), base, engine, ParseSelectOnly(classified.address));
    }
    case LinkKind::kTorrentAddress:
      return PlayTorrentFile(FetchSmallFile(classified.address, kMaxTorrentFileBytes), base, engine,
                             ParseSelectOnly(classified.address));
    case LinkKind::kTorrentFile:
      return PlayTorrentFile(ReadLocalFile(classified.address), base, engine);
    case LinkKind::kUnsupported:
      break;
  }
  return Refuse(classified.reason);
}

std::string ResolutionAnswer(const Resolution& resolution) {
  const std::string file =
      resolution.address.empty() ? "resp: " + resolution.reason : resolution.address;
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<video>\n<file>" + file + "</file>\n</video>\n";
}

}  // namespace morvane::stream
