#include "stream/FileRoutes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "media/EpisodeNames.h"
#include "platform/NumberText.h"
#include "stream/JsonText.h"
#include "stream/LinkResolver.h"
#include "stream/VideoFiles.h"

namespace morvane::stream {

namespace {

// Lists kept: a few players, each of a torrent or two; and at most this much of them.
constexpr std::size_t kMostLists = 8;
constexpr std::size_t kMostListBytes = 64u << 20;

bool IsHash(const std::string& text) {
  return text.size() == 40 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

void SendJson(HttpResponder& responder, int status, const std::string& body) {
  responder.Send(status, "application/json", body, NoStoreHeaders());
}

// "/files/HASH[?...]" -> "HASH" for prefix "/files/", and what follows it.
std::pair<std::string, std::string> AfterPrefix(const std::string& target,
                                                std::string_view prefix) {
  std::string rest = target.substr(prefix.size());
  const auto question = rest.find_first_of("?#");
  std::string query = question == std::string::npos ? "" : rest.substr(question + 1);
  rest.resize(std::min(rest.size(), question));
  return {rest, query};
}

std::string Number(double value) { return FixedText(value, 3); }

// The value of `key` in a query as a number: nothing when absent, false when malformed.
bool NumberIn(const std::string& query, const std::string& key, std::optional<double>& value) {
  for (std::size_t at = 0; at < query.size();) {
    const std::size_t end = std::min(query.find('&', at), query.size());
    const std::string_view pair(query.data() + at, end - at);
    if (pair.starts_with(key + "=")) {
      const std::string_view text = pair.substr(key.size() + 1);
      const auto number = text.size() > 24 ? std::nullopt : ParseNumber(text);
      if (!number) return false;
      value = number;
      return true;
    }
    at = end + 1;
  }
  return true;
}

}  // namespace

FileRoutes::FileRoutes(TorrentEngine& engine, const std::filesystem::path& positionsFile)
    : engine_(engine), positions_(positionsFile) {}

void FileRoutes::ServeFiles(const std::string& target, const std::string& keyPath,
                            HttpResponder& responder) {
  const std::string hash = AfterPrefix(target, "/files/").first;
  const auto playing = IsHash(hash) ? engine_.Find(hash) : std::nullopt;
  const auto body = playing ? FileList(hash, keyPath, playing->file) : nullptr;
  if (!body) {
    SendJson(responder, 404, "{\"error\":\"no such stream\"}\n");
    return;
  }
  SendJson(responder, 200, *body);
}

std::shared_ptr<const std::string> FileRoutes::FileList(const std::string& hash,
                                                        const std::string& keyPath, int playing) {
  std::lock_guard lock(listsMutex_);
  for (auto it = lists_.begin(); it != lists_.end(); ++it)
    if (it->hash == hash && it->keyPath == keyPath && it->playing == playing) {
      Listed found = std::move(*it);
      lists_.erase(it);
      lists_.push_back(std::move(found));
      return lists_.back().body;
    }
  const std::vector<TorrentFile> files = engine_.Files(hash);
  if (files.empty()) return nullptr;
  // Videos in episode order, then the other files in the natural order of their paths.
  std::vector<int> order = EpisodeOrder(files);
  std::vector<const TorrentFile*> others;
  for (const TorrentFile& file : files)
    if (!IsVideo(file)) others.push_back(&file);
  std::sort(others.begin(), others.end(), [](const TorrentFile* a, const TorrentFile* b) {
    return media::CompareNatural(a->path, b->path) < 0;
  });
  for (const TorrentFile* file : others) order.push_back(file->index);

  // Linear in the files, for torrents of thousands.
  std::unordered_map<int, std::size_t> position;
  for (std::size_t i = 0; i < files.size(); ++i) position[files[i].index] = i;
  const std::vector<std::string> names = AddressNames(files);
  std::string json = "{\"files\":[";
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::size_t at = position[order[i]];
    const TorrentFile& file = files[at];
    const bool video = IsVideo(file);
    json += (i ? ",{" : "{") + std::string("\"index\":") + std::to_string(file.index) +
            ",\"name\":" + JsonText(file.path) + ",\"size\":" + std::to_string(file.size) +
            ",\"video\":" + (video ? "true" : "false");
    if (video)
      json += ",\"address\":" +
              JsonText(keyPath + "/stream/" + hash + "/" + AddressSegment(names[at])) +
              ",\"playing\":" + (file.index == playing ? "true" : "false") +
              ",\"sample\":" + (media::IsSampleName(file.path) ? "true" : "false");
    json += "}";
  }
  json += "]}\n";
  auto body = std::make_shared<const std::string>(std::move(json));
  std::size_t kept = body->size();
  for (const Listed& listed : lists_) kept += listed.body->size();
  while (!lists_.empty() && (lists_.size() >= kMostLists || kept > kMostListBytes)) {
    kept -= lists_.front().body->size();
    lists_.pop_front();
  }
  if (kept <= kMostListBytes) lists_.push_back({hash, keyPath, playing, body});
  return body;
}

void FileRoutes::ServePosition(const std::string& method, const std::string& target,
                               HttpResponder& responder) {
  const auto [rest, query] = AfterPrefix(target, "/position/");
  const auto slash = rest.find('/');
  const std::string hash = rest.substr(0, slash);
  const std::string item = slash == std::string::npos ? "" : rest.substr(slash + 1);
  int file = -1;
  const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), file);
  const bool wellFormed = IsHash(hash) && error == std::errc() && end == item.data() + item.size();
  // Only the films of a torrent being streamed: nobody fills the file with made-up ones.
  const std::vector<TorrentFile> files =
      wellFormed ? engine_.Files(hash) : std::vector<TorrentFile>{};
  const bool known = std::any_of(files.begin(), files.end(), [file](const TorrentFile& f) {
    return f.index == file && IsVideo(f);
  });
  if (!known) {
    SendJson(responder, 404, "{\"error\":\"no such film\"}\n");
    return;
  }
  if (method == "GET") {
    const WatchPosition kept = positions_.Get(hash, file).value_or(WatchPosition{});
    SendJson(responder, 200,
             "{\"seconds\":" + Number(kept.seconds) + ",\"duration\":" + Number(kept.duration) +
                 ",\"subtitleShift\":" + Number(kept.subtitleShift) + "}\n");
    return;
  }
  WatchUpdate update;
  if (!NumberIn(query, "seconds", update.seconds) ||
      !NumberIn(query, "duration", update.duration) ||
      !NumberIn(query, "subtitleShift", update.subtitleShift) ||
      !positions_.Put(hash, file, update)) {
    SendJson(responder, 400, "{\"error\":\"seconds, duration or subtitleShift out of bounds\"}\n");
    return;
  }
  responder.SendHead(204, NoStoreHeaders());
}

std::optional<TorrentEngine::Playable> PlayableNamed(TorrentEngine& engine, const std::string& hash,
                                                     const std::string& namePart) {
  const auto playing = engine.Find(hash);
  if (!playing) return std::nullopt;
  const std::vector<TorrentFile> files = engine.Files(hash);
  const int video = VideoOfAddress(files, namePart, playing->file);
  if (video < 0) return std::nullopt;
  if (video == playing->file) return playing;
  const auto file = std::find_if(files.begin(), files.end(),
                                 [video](const TorrentFile& f) { return f.index == video; });
  return TorrentEngine::Playable{hash, AddressName(files, video), file->size, video};
}

}  // namespace morvane::stream
