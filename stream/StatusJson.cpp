#include "stream/StatusJson.h"

#include "platform/NumberText.h"
#include "stream/JsonText.h"
#include "stream/TorrentEngine.h"

namespace morvane::stream {

std::string StatusJson(const StreamSnapshot& s) {
  std::string json = "{\"hash\":\"" + s.hash + "\",\"ready\":" + (s.ready ? "true" : "false");
  json += ",\"peers\":" + std::to_string(s.peers);
  json += ",\"downloadRate\":" + std::to_string(s.downloadRate);
  json += ",\"uploadRate\":" + std::to_string(s.uploadRate);
  json += ",\"state\":\"" + std::string(StateName(s.state)) + "\"";
  json += ",\"ratio\":" + FixedText(s.ratio, 3);
  json += ",\"downloaded\":" + std::to_string(s.downloaded);
  json += ",\"uploaded\":" + std::to_string(s.uploaded);
  if (s.ready) {
    std::int64_t verified = 0;
    std::string ranges;
    for (const auto& [b, e] : s.held) {
      verified += e - b;
      ranges += (ranges.empty() ? "[" : ",[") + std::to_string(b) + "," + std::to_string(e) + "]";
    }
    json += ",\"name\":" + JsonText(s.name);
    json += ",\"size\":" + std::to_string(s.size);
    json += ",\"bytesVerified\":" + std::to_string(verified);
    json += ",\"readers\":" + std::to_string(s.readers);
    json += ",\"buffered\":[" + ranges + "]";
  }
  return json + "}";
}

std::optional<std::string> StatusJsonOf(const TorrentEngine& engine, const std::string& hash) {
  const auto snapshot = engine.Snapshot(hash);
  if (!snapshot) return std::nullopt;
  return StatusJson(*snapshot);
}

}  // namespace morvane::stream
