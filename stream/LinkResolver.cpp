#include "stream/LinkResolver.h"

#include <cctype>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/torrent_info.hpp>
#include <memory>

#include "platform/Files.h"
#include "stream/Links.h"
#include "stream/SwarmTargets.h"
#include "stream/TorrentEngine.h"
#include "web/InsideAddress.h"
#include "web/ResolutionContract.h"
#include "web/Text.h"

namespace lt = libtorrent;

namespace morvane::stream {

namespace {

constexpr char kNoLocalFiles[] = "local files are not opened for callers on the network";

Resolution Refuse(std::string reason) { return {{}, std::move(reason)}; }

std::string LastSegment(const std::string& address) {
  std::string path = address.substr(0, address.find_first_of("?#"));
  const auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.empty() ? "media" : name;
}

Resolution Play(lt::add_torrent_params params, const Caller& caller, TorrentEngine& engine,
                const SelectOnly& selection) {
  if (caller.stranger) KeepOutsideTargets(params);
  const TorrentEngine::Opened opened = engine.Open(std::move(params), selection);
  if (!opened.playable) return Refuse(opened.reason);
  return {caller.base + "/stream/" + opened.playable->hash + "/" + AddressSegment(opened.playable->fileName),
          {}};
}

Resolution PlayTorrentFile(std::optional<std::string> data, const std::string& unread,
                           const Caller& caller, TorrentEngine& engine,
                           const SelectOnly& selection = {}) {
  if (!data) return Refuse(unread);
  if (caller.stranger) data = WithoutDhtNodes(std::move(*data));
  lt::error_code ec;
  auto info = std::make_shared<lt::torrent_info>(lt::span<char const>(data->data(), static_cast<std::ptrdiff_t>(data->size())),
                                                 ec, lt::from_span);
  if (ec) return Refuse("a broken .torrent file: " + ec.message());
  lt::add_torrent_params params;
  params.ti = std::move(info);
  return Play(std::move(params), caller, engine, selection);
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

std::string AddressSegment(std::string_view name) {
  return PercentEscape(name, [](unsigned char c) {
    return !(std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~');
  });
}

TransferRules Caller::Rules() const {
  TransferRules rules;
  if (stranger) rules.refuseAddress = [](const sockaddr* address) { return IsInsideAddress(address); };
  rules.cancelled = cancelled;
  return rules;
}

Resolution ResolveLink(const std::string& link, const Caller& caller, TorrentEngine& engine,
                       RelayTable& relays) {
  // The program sends the link as it is; a browser or a script may escape it whole
  // ("magnet%3A%3Fxt=..."), which shows in an escape before the scheme's colon.
  const auto colon = link.find(':');
  const auto escape = link.find('%');
  const std::string plain = escape != std::string::npos && escape < colon ? PercentDecode(link) : link;
  // Nothing local is opened for a stranger, and whatever the path, the answer is the same.
  if (caller.stranger && NamesLocalFile(plain)) return Refuse(kNoLocalFiles);
  const Link classified = ClassifyLink(plain);
  const std::string& base = caller.base;
  switch (classified.kind) {
    case LinkKind::kMedia:
      return {classified.address, {}};
    case LinkKind::kFtp:
      return {base + "/relay/" + std::to_string(relays.Add(classified.address)) + "/" +
                  AddressSegment(LastSegment(classified.address)),
              {}};
    case LinkKind::kMagnet: {
      lt::error_code ec;
      lt::add_torrent_params params = lt::parse_magnet_uri(classified.address, ec);
      if (ec) return Refuse("a magnet link that does not parse: " + ec.message());
      return Play(std::move(params), caller, engine, ParseSelectOnly(classified.address));
    }
    case LinkKind::kTorrentAddress:
      // One answer for every failure to fetch: whether a port is open, closed or off limits
      // is not told.
      return PlayTorrentFile(
          FetchSmallFile(classified.address, kMaxTorrentFileBytes, caller.Rules()),
          "the .torrent address cannot be fetched", caller, engine,
          ParseSelectOnly(classified.address));
    case LinkKind::kTorrentFile:
      if (caller.stranger) return Refuse(kNoLocalFiles);  // one inside a thunder link
      return PlayTorrentFile(ReadWholeFile(classified.address, kMaxTorrentFileBytes), "the .torrent file cannot be read",
                             caller, engine);
    case LinkKind::kUnsupported:
      break;
  }
  return Refuse(classified.reason);
}

std::string ResolutionAnswer(const Resolution& resolution) {
  return morvane::ResolutionAnswer(resolution.address.empty() ? "resp: " + resolution.reason
                                                              : resolution.address);
}

}  // namespace morvane::stream
