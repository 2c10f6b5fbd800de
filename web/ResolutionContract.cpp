#include "web/ResolutionContract.h"

namespace morvane {

namespace {

constexpr std::string_view kRequestPath = "/xml.php?";
constexpr std::string_view kLinkKey = "url=";

struct Entity {
  char character;
  std::string_view written;
};
constexpr Entity kEntities[] = {{'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}};

}  // namespace

std::optional<std::string> ResolutionLinkOf(std::string_view target) {
  if (!target.starts_with(kRequestPath)) return std::nullopt;
  const auto at = target.find(kLinkKey);
  if (at == std::string_view::npos) return std::string();
  return std::string(target.substr(at + kLinkKey.size()));
}

std::string ResolutionAnswer(std::string_view file, std::string_view type) {
  std::string escaped;
  escaped.reserve(file.size());
  for (const char c : file) {
    bool written = false;
    for (const Entity& entity : kEntities)
      if (c == entity.character) {
        escaped += entity.written;
        written = true;
      }
    if (!written) escaped += c;
  }
  std::string answer = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<video>\n<file>" + escaped + "</file>\n";
  if (!type.empty()) answer += "<type>" + std::string(type) + "</type>\n";
  return answer + "</video>\n";
}

std::string ResolutionFileText(std::string_view written) {
  std::string text;
  text.reserve(written.size());
  for (std::size_t i = 0; i < written.size();) {
    bool read = false;
    if (written[i] == '&')
      for (const Entity& entity : kEntities)
        if (written.substr(i).starts_with(entity.written)) {
          text += entity.character;
          i += entity.written.size();
          read = true;
          break;
        }
    if (!read) text += written[i++];
  }
  return text;
}

}  // namespace morvane
