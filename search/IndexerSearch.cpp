#include "search/IndexerSearch.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <system_error>
#include <thread>

#include "platform/NumberText.h"
#include "torrent/Torrent.h"
#include "web/FetchPage.h"
#include "web/Text.h"

namespace morvane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kMagnetStart = "magnet:?";
constexpr std::string_view kHashParameter = "xt=urn:btih:";
// Redirects followed from one download link: an indexer's link leads to the site's, which
// may lead to a magnet link; a longer chain goes round in circles.
constexpr int kMostLinkHops = 5;
// Links followed at once. Indexers of private sites give only download links, and each
// answers in about the time the indexer takes to fetch the file from its site: one after
// the other, a page of them kept the list empty for most of a minute.
constexpr std::size_t kLinkFollowers = 4;
// An error text of the indexer's is cut here: a message box shows a sentence, not a page.
constexpr std::size_t kMostErrorBytes = 300;

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == prefix;
}

bool IsMagnet(std::string_view link) { return StartsWithIgnoringCase(link, kMagnetStart); }

bool IsWebAddress(std::string_view link) {
  return StartsWithIgnoringCase(link, "http://") || StartsWithIgnoringCase(link, "https://");
}

// Unreserved characters stay; everything else, the UTF-8 bytes of the title among them, is
// escaped.
std::string EscapedParameter(std::string_view utf8) {
  return PercentEncode(utf8, true, false);
}

// A magnet link as a row may hold it: one line of ASCII (it goes into the list, the link
// box and the history file line by line), and no parameter that carries the key.
std::string CleanMagnet(std::string_view link, std::string_view key) {
  const std::string escaped =
      PercentEscape(link, [](unsigned char byte) { return byte <= 0x20 || byte >= 0x7F; });
  if (key.empty() || escaped.find(key) == std::string::npos) return escaped;
  std::string kept(kMagnetStart);
  for (const std::string& parameter :
       SplitText(std::string_view(escaped).substr(kMagnetStart.size()), "&")) {
    if (parameter.empty() || parameter.find(key) != std::string::npos) continue;
    if (kept.size() > kMagnetStart.size()) kept += '&';
    kept += parameter;
  }
  return kept;
}

bool IsInfoHash(std::string_view hash) {
  const auto hex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  const auto base32 = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '2' && c <= '7');
  };
  return (hash.size() == 40 && std::all_of(hash.begin(), hash.end(), hex)) ||
         (hash.size() == 32 && std::all_of(hash.begin(), hash.end(), base32));
}

std::string HashMagnet(std::string_view hash, std::string_view titleUtf8) {
  std::string magnet = "magnet:?xt=urn:btih:";
  magnet.append(hash);
  if (!titleUtf8.empty()) magnet.append("&dn=").append(EscapedParameter(titleUtf8));
  return magnet;
}

// The info-hash a magnet link names, "" when it names none.
std::string HashOf(std::string_view magnet) {
  const std::string lower = Lower(magnet);
  const auto at = lower.find(kHashParameter);
  if (at == std::string::npos) return {};
  const auto from = at + kHashParameter.size();
  return std::string(magnet.substr(from, lower.find('&', from) - from));
}

// A name on one line: the list shows one.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  return text;
}

// An indexer's own words for a message: no control bytes, no key, a sentence long.
std::string ErrorWords(std::string_view text, std::string_view key) {
  std::string words = WithoutKey(text, key);
  for (char& c : words)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  if (words.size() > kMostErrorBytes) {
    std::size_t cut = kMostErrorBytes;
    // Not inside a UTF-8 character.
    while (cut > 0 && (static_cast<unsigned char>(words[cut]) & 0xC0) == 0x80) --cut;
    words.resize(cut);
    words += "...";
  }
  return words;
}

struct StatusLine {
  int code = 0;  // 0: no answer came
  std::string reason;
};

StatusLine ReadStatus(std::string_view rawHeaders) {
  StatusLine status;
  const std::string_view line = rawHeaders.substr(0, rawHeaders.find("\r\n"));
  if (!line.starts_with("HTTP/")) return status;
  const auto space = line.find(' ');
  if (space == std::string_view::npos || space + 4 > line.size()) return status;
  const std::string_view digits = line.substr(space + 1, 3);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return status;
  status.code = std::stoi(std::string(digits));
  if (space + 5 <= line.size()) status.reason = line.substr(space + 5);
  return status;
}

std::string LocationOf(std::string_view rawHeaders) {
  for (const std::string& line : SplitText(rawHeaders, "\r\n")) {
    if (StartsWithIgnoringCase(line, "location:")) {
      return TrimText(std::string_view(line).substr(9));
    }
  }
  return {};
}

// The address a Location value names, seen from `base`.
std::string Resolved(const std::string& base, const std::string& location) {
  if (IsMagnet(location) || IsWebAddress(location)) return location;
  const auto hostAt = base.find("://") + 3;
  if (location.starts_with("//")) return base.substr(0, hostAt - 2) + location;
  const auto pathAt = std::min(base.find('/', hostAt), base.size());
  if (location.starts_with("/")) return base.substr(0, pathAt) + location;
  const std::string path = base.substr(0, std::min(base.find('?'), base.size()));
  const auto lastSlash = path.rfind('/');
  return (lastSlash >= pathAt && lastSlash != std::string::npos ? path.substr(0, lastSlash + 1)
                                                                : path.substr(0, pathAt) + "/") +
         location;
}

// What "上传种子" makes of a .torrent file: the magnet link of its info-hash.
std::string TorrentMagnet(std::string_view body, std::string_view titleUtf8) {
  CTorrent torrent;
  // A page that happens to decode, or a torrent without pieces, names no download.
  if (!torrent.LoadBytes(body) || torrent.PieceCount() <= 0) return {};
  const std::string hash = torrent.InfoHashText(true);
  return hash.size() == 40 ? HashMagnet(hash, titleUtf8) : std::string();
}

// The Referer of a request: the address without its query, where keys travel.
std::string RefererLine(std::string_view address) {
  return "Referer: " + std::string(address.substr(0, address.find('?')));
}

// Runs `step(i)` for i in [0, count) on up to `most` threads, the calling one included.
template <class Step>
void OnFewThreads(std::size_t count, std::size_t most, const Step& step) {
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < count;) step(i);
  };
  std::vector<std::thread> helpers;
  for (std::size_t n = 1; n < std::min(count, most); ++n) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // no thread to be had: fewer do the work
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace

std::string IndexerAddress(const IndexerSource& indexer, std::string_view encodedKeyword,
                           int page) {
  std::string address = indexer.apiAddress;
  address += address.find('?') == std::string::npos ? '?' : '&';
  address.append("t=search&q=").append(encodedKeyword);
  address.append("&limit=").append(std::to_string(kIndexerPageSize));
  address.append("&offset=").append(std::to_string(kIndexerPageSize * (std::max(page, 1) - 1)));
  if (!indexer.apiKey.empty()) {
    address += "&apikey=";
    address += PercentEscape(indexer.apiKey, [](unsigned char byte) {
      const bool kept = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
                        (byte >= 'a' && byte <= 'z') || byte == '-' || byte == '.' ||
                        byte == '_' || byte == '~' || byte == '%';
      return !kept;
    });
  }
  return address;
}

std::string WithoutKey(std::string_view text, std::string_view key) {
  std::string out(text);
  if (key.empty()) return out;
  for (auto at = out.find(key); at != std::string::npos; at = out.find(key, at + 3))
    out.replace(at, key.size(), "***");
  return out;
}

std::string SizeText(std::int64_t bytes) {
  static constexpr const char* kUnits[] = {"B", "KB", "MB", "GB", "TB", "PB", "EB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  std::string text = FixedText(value, 2);
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text + " " + kUnits[unit];
}

std::string FollowToMagnet(const std::string& address, std::string_view titleUtf8,
                           Clock::time_point due) {
  std::string at = address;
  for (int hop = 0; hop <= kMostLinkHops; ++hop) {
    if (IsMagnet(at)) return at;
    if (!IsWebAddress(at)) return {};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
    if (left.count() <= 0) return {};
    std::string headerText = RefererLine(at);
    std::string rawHeaders;
    FetchOptions options;
    options.headerText = &headerText;
    options.rawHeaders = &rawHeaders;
    options.noAutomaticRedirect = true;
    options.asReceived = true;
    options.deadline = left;
    const std::string body = FetchPageBytes(at, options);
    const StatusLine status = ReadStatus(rawHeaders);
    if (status.code >= 300 && status.code < 400) {
      const std::string location = LocationOf(rawHeaders);
      if (location.empty()) return {};
      at = Resolved(at, location);
      continue;
    }
    return status.code == 200 ? TorrentMagnet(body, titleUtf8) : std::string();
  }
  return {};
}

namespace {

// Where an item's magnet link may come from, in the order they are tried: magnet links as
// they stand, or addresses to follow.
std::vector<std::string> MagnetSources(const TorznabItem& item) {
  std::vector<std::string> sources;
  const auto add = [&sources](const std::string& link) {
    if ((IsMagnet(link) || IsWebAddress(link)) &&
        std::find(sources.begin(), sources.end(), link) == sources.end())
      sources.push_back(link);
  };
  add(item.magnetUrl);
  if (IsInfoHash(item.infoHash)) sources.push_back(HashMagnet(item.infoHash, item.title));
  add(item.link);
  add(item.enclosure);
  return sources;
}

}  // namespace

std::string ItemMagnet(const TorznabItem& item, const LinkFollower& follow) {
  for (const std::string& source : MagnetSources(item)) {
    if (IsMagnet(source)) return source;
    std::string magnet = follow(source, item.title);
    if (IsMagnet(magnet)) return magnet;
  }
  return {};
}

ScrapedFields IndexerFields(std::vector<TorznabItem> items, const LinkFollower& follow,
                            std::string_view key) {
  std::stable_sort(items.begin(), items.end(), [](const TorznabItem& a, const TorznabItem& b) {
    return a.seeders > b.seeders;
  });
  // Items whose first source is a magnet link need no request; the others are followed
  // together.
  std::vector<std::string> magnets(items.size());
  std::vector<std::size_t> toFollow;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::vector<std::string> sources = MagnetSources(items[i]);
    if (sources.empty()) continue;
    if (IsMagnet(sources.front())) {
      magnets[i] = sources.front();
    } else {
      toFollow.push_back(i);
    }
  }
  OnFewThreads(toFollow.size(), kLinkFollowers, [&](std::size_t n) {
    magnets[toFollow[n]] = ItemMagnet(items[toFollow[n]], follow);
  });

  ScrapedFields fields;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (magnets[i].empty()) continue;
    std::string magnet = CleanMagnet(magnets[i], key);
    fields.names.push_back(Utf8ToLocal(OneLine(WithoutKey(items[i].title, key))));
    fields.hashes.push_back(HashOf(magnet));
    fields.sizes.push_back(items[i].size >= 0 ? SizeText(items[i].size) : std::string());
    fields.links.push_back(std::move(magnet));
  }
  return fields;
}

IndexerPage FetchIndexerPage(const IndexerSource& indexer, std::string_view encodedKeyword,
                             int page) {
  IndexerPage result;
  std::string headerText = RefererLine(indexer.apiAddress);
  std::string rawHeaders;
  FetchOptions options;
  options.headerText = &headerText;
  options.rawHeaders = &rawHeaders;
  options.asReceived = true;
  result.body = FetchPageBytes(IndexerAddress(indexer, encodedKeyword, page), options);

  const StatusLine status = ReadStatus(rawHeaders);
  if (status.code == 0) return result;
  if (status.code >= 400) {
    result.error = ErrorWords("HTTP " + std::to_string(status.code) +
                                  (status.reason.empty() ? "" : " " + status.reason),
                              indexer.apiKey);
    return result;
  }
  TorznabAnswer answer = ReadTorznabAnswer(result.body);
  switch (answer.kind) {
    case TorznabAnswer::Kind::Error:
      result.error = ErrorWords("error " + answer.errorCode +
                                    (answer.errorDescription.empty()
                                         ? ""
                                         : ": " + answer.errorDescription),
                                indexer.apiKey);
      break;
    case TorznabAnswer::Kind::Unreadable:
      result.error = "the answer is not a Torznab feed";
      break;
    case TorznabAnswer::Kind::Feed: {
      const std::chrono::milliseconds limit = GetFetchLimits().deadline;
      const Clock::time_point due =
          limit.count() > 0 ? Clock::now() + limit : Clock::time_point::max();
      result.fields = IndexerFields(
          std::move(answer.items),
          [due](const std::string& address, std::string_view title) {
            return FollowToMagnet(address, title, due);
          },
          indexer.apiKey);
      break;
    }
  }
  return result;
}

std::string IndexerErrorMessage(const IndexerSource& indexer, std::string_view errorUtf8) {
  return Gbk("索引器“") + indexer.name + Gbk("”出错：") + Utf8ToLocal(errorUtf8);
}

}  // namespace morvane
