#include "web/Cookies.h"

#include <algorithm>
#include <vector>

#include "web/Text.h"

namespace morvane {

namespace {

constexpr std::string_view kItemSeparator = "; ";
constexpr std::string_view kDeletedSuffix = "=deleted";
constexpr std::string_view kSetCookie = "Set-Cookie:";

// Drops ASCII spaces and GBK ideographic spaces (A1 A1); a double-byte character is stepped
// over whole, so A1 A1 formed by two neighbouring characters stays.
std::string RemoveSpaces(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x80 && i + 1 < text.size()) {
      if (!(byte == 0xA1 && static_cast<unsigned char>(text[i + 1]) == 0xA1)) {
        kept += text[i];
        kept += text[i + 1];
      }
      ++i;
    } else if (byte != ' ') {
      kept += text[i];
    }
  }
  return kept;
}

std::string ItemName(std::string_view item) {
  return TrimText(item.substr(0, item.find('=')));
}

std::string JoinItems(const std::vector<std::string>& items) {
  std::string joined;
  for (const std::string& item : items) {
    if (!joined.empty()) joined += kItemSeparator;
    joined += item;
  }
  return joined;
}

}  // namespace

ResponseHeaderFacts AnalyseResponseHeaders(std::string_view rawHeaders) {
  ResponseHeaderFacts facts;
  std::vector<std::string> items;
  for (const std::string& line : SplitText(rawHeaders, "\r\n")) {
    if (FindText(line, "Location:") >= 1) facts.redirectTarget = AfterColon(line);
    if (FindText(line, "Set-Cookie") >= 1) {
      const long long at = FindText(line, kSetCookie, 1, true);
      if (at < 1) continue;  // "Set-Cookie2" and the like carry no item of this form
      std::string_view value = std::string_view(line).substr(at - 1 + 11);
      value = value.substr(0, value.find(';'));
      std::string item = TrimText(value);
      // An empty item would put an empty "; ;" entry into the cookie text.
      if (!item.empty()) items.push_back(std::move(item));
    }
  }
  facts.newCookies = JoinItems(items);
  if (facts.redirectTarget.empty()) facts.redirectTarget = std::string(rawHeaders);
  facts.movedPermanently = TextBetween(rawHeaders, "HTTP/1.1 ", " Moved") == "301";
  return facts;
}

std::string MergeCookies(std::string& cookies, std::string_view newCookies) {
  const TextList newItems = SplitText(RemoveSpaces(newCookies), ";");
  const TextList oldItems = SplitText(RemoveSpaces(cookies), ";");

  std::vector<std::string> newNames;
  for (const std::string& item : newItems) newNames.push_back(ItemName(item));

  std::vector<std::string> combined(newItems.begin(), newItems.end());
  for (const std::string& item : oldItems) {
    if (std::find(newNames.begin(), newNames.end(), ItemName(item)) == newNames.end()) {
      combined.push_back(item);
    }
  }

  std::vector<std::string> merged;
  for (std::string& item : combined) {
    const bool deleted = item.ends_with(kDeletedSuffix);
    // Empty pieces ("a=1;;b=2") are no cookies; keeping them would send "a=1; ; b=2".
    if (deleted || item.empty()) continue;
    if (std::find(merged.begin(), merged.end(), item) == merged.end()) {
      merged.push_back(std::move(item));
    }
  }
  cookies = JoinItems(merged);
  return cookies;
}

}  // namespace morvane
