#include "stream/FileRoutes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "media/EpisodeNames.h"
#include "stream/FileChoice.h"
#include "stream/JsonText.h"
#include "stream/LinkResolver.h"
#include "stream/Links.h"

namespace morvane::stream {

namespace {

bool IsHash(const std::string& text) {
  return text.size() == 40 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

void SendJson(HttpResponder& responder, int status, const std::string& body, bool headOnly = false) {
  // The player page that reads these comes from another origin.
  if (!responder.SendHead(status, {{"Content-Type", "application/json"},
                                   {"Content-Length", std::to_string(body.size())},
                                   {"Access-Control-Allow-Origin", "*"},
                                   {"Cache-Control", "no-store"}}) ||
      headOnly)
    return;
  responder.SendBody(body.data(), body.size());
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

// The value of `key` in a query as a number: nothing when absent, false when malformed.
bool NumberIn(const std::string& query, const std::string& key, std::optional<double>& value) {
  for (std::size_t at = 0; at < query.size();) {
    const std::size_t end = std::min(query.find('&', at), query.size());
    const std::string_view pair(query.data() + at, end - at);
    if (pair.starts_with(key + "=")) {
      const std::string text(pair.substr(key.size() + 1));
      char* stop = nullptr;
      const double number = std::strtod(text.c_str(), &stop);
      if (text.empty() || text.size() > 24 || *stop != '\0' || !std::isfinite(number)) return false;
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

bool FileRoutes::Answer(const std::string& method, const std::string& target, HttpResponder& responder) {
  const bool files = target.starts_with("/files/");
  if (!files && !target.starts_with("/position/")) return false;
  const auto question = target.find('?');
  const std::string path = target.substr(0, question);
  const std::string query = question == std::string::npos ? "" : target.substr(question + 1);
  if (files) {
    if (method != "GET" && method != "HEAD") {
      responder.Send(405, "text/plain", "only GET and HEAD\n");
      return true;
    }
    ServeFiles(path.substr(7), method == "HEAD", responder);
  } else if (method != "GET" && method != "POST") {
    responder.Send(405, "text/plain", "only GET and POST\n");
  } else {
    ServePosition(method, path.substr(10), query, responder);
  }
  return true;
}

void FileRoutes::ServeFiles(const std::string& hash, bool headOnly, HttpResponder& responder) {
  const std::vector<TorrentFileEntry> files = IsHash(hash) ? engine_.Files(hash) : std::vector<TorrentFileEntry>{};
  const auto playing = files.empty() ? std::nullopt : engine_.Find(hash);
  if (!playing) {
    SendJson(responder, 404, "{\"error\":\"no such stream\"}\n", headOnly);
    return;
  }
  // Videos in episode order, then the other files in the natural order of their paths.
  std::vector<int> order = EpisodeOrder(files);
  std::vector<const TorrentFileEntry*> others;
  for (const TorrentFileEntry& file : files)
    if (!IsVideo(file)) others.push_back(&file);
  std::sort(others.begin(), others.end(), [](const TorrentFileEntry* a, const TorrentFileEntry* b) {
    return media::CompareNatural(a->path, b->path) < 0;
  });
  for (const TorrentFileEntry* file : others) order.push_back(file->index);

  // Linear in the files, for torrents of thousands.
  std::unordered_map<int, std::size_t> position;
  for (std::size_t i = 0; i < files.size(); ++i) position[files[i].index] = i;
  const std::vector<std::string> names = AddressNames(files);
  std::string json = "{\"files\":[";
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::size_t at = position[order[i]];
    const TorrentFileEntry& file = files[at];
    const bool video = IsVideo(file);
    json += (i ? ",{" : "{") + std::string("\"index\":") + std::to_string(file.index) +
            ",\"name\":" + JsonText(file.path) + ",\"size\":" + std::to_string(file.size) +
            ",\"video\":" + (video ? "true" : "false");
    if (video)
      json += ",\"address\":" + JsonText("/stream/" + hash + "/" + PercentEncode(names[at])) +
              ",\"playing\":" + (file.index == playing->file ? "true" : "false") +
              ",\"sample\":" + (media::IsSampleName(file.path) ? "true" : "false");
    json += "}";
  }
  SendJson(responder, 200, json + "]}\n", headOnly);
}

void FileRoutes::ServePosition(const std::string& method, const std::string& rest, const std::string& query,
                               HttpResponder& responder) {
  const auto slash = rest.find('/');
  const std::string hash = rest.substr(0, slash);
  const std::string item = slash == std::string::npos ? "" : rest.substr(slash + 1);
  int file = -1;
  const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), file);
  const bool wellFormed = IsHash(hash) && error == std::errc() && end == item.data() + item.size();
  // Only the films of a torrent being streamed: nobody fills the file with made-up ones.
  const std::vector<TorrentFileEntry> files = wellFormed ? engine_.Files(hash) : std::vector<TorrentFileEntry>{};
  const bool known = std::any_of(files.begin(), files.end(),
                                 [file](const TorrentFileEntry& f) { return f.index == file && IsVideo(f); });
  if (!known) {
    SendJson(responder, 404, "{\"error\":\"no such film\"}\n");
    return;
  }
  if (method == "GET") {
    const WatchPosition kept = positions_.Get(hash, file).value_or(WatchPosition{});
    SendJson(responder, 200, "{\"seconds\":" + Number(kept.seconds) + ",\"duration\":" + Number(kept.duration) +
                                 ",\"subtitleShift\":" + Number(kept.subtitleShift) + "}\n");
    return;
  }
  WatchUpdate update;
  if (!NumberIn(query, "seconds", update.seconds) || !NumberIn(query, "duration", update.duration) ||
      !NumberIn(query, "subtitleShift", update.subtitleShift) || !positions_.Put(hash, file, update)) {
    SendJson(responder, 400, "{\"error\":\"seconds, duration or subtitleShift out of bounds\"}\n");
    return;
  }
  responder.SendHead(204, {{"Access-Control-Allow-Origin", "*"}, {"Cache-Control", "no-store"}});
}

std::optional<TorrentEngine::Playable> PlayableNamed(TorrentEngine& engine, const std::string& hash,
                                                     const std::string& escapedName) {
  const std::vector<TorrentFileEntry> files = engine.Files(hash);
  const int video = VideoNamed(files, PercentDecode(escapedName));
  if (video < 0) return std::nullopt;
  const auto file = std::find_if(files.begin(), files.end(), [video](const TorrentFileEntry& f) { return f.index == video; });
  return TorrentEngine::Playable{hash, AddressName(files, video), file->size, video};
}

std::string NameAfterHash(const std::string& target, std::string_view prefix) {
  if (!target.starts_with(prefix)) return {};
  std::string rest = target.substr(prefix.size());
  rest.resize(std::min(rest.size(), rest.find_first_of("?#")));
  const auto slash = rest.find('/');
  return slash == std::string::npos ? std::string() : rest.substr(slash + 1);
}

}  // namespace morvane::stream
