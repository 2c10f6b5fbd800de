#include "torrent/Torrent.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>

#include "torrent/Bencode.h"
#include "torrent/SHA1.h"

namespace morvane {

namespace {

// The value of either integer kind.
std::optional<std::int64_t> IntegerValue(const CAtom* value) {
  if (value == nullptr) return std::nullopt;
  if (value->HoldsLong()) return static_cast<const CAtomLong*>(value)->Value();
  if (value->HoldsInt()) return static_cast<const CAtomInt*>(value)->Value();
  return std::nullopt;
}

std::string TextOf(const CAtomDicti& dicti, std::string_view key) {
  const CAtom* value = dicti.Lookup(key);
  return value == nullptr ? std::string() : value->AsText();
}

// The C library's atoi on the bytes [begin, end), without its undefined overflow: values
// outside 32 bits saturate.
std::int32_t LeadingNumber(const std::string& text, std::size_t begin, std::size_t end) {
  std::size_t i = begin;
  while (i < end && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < end && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::int64_t{INT_MAX} + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<std::int32_t>(value);
}

// Calls visit(host, port) for each tracker endpoint in order; false when there is no
// "announce". "announce-list", when present, replaces it.
template <class Visit>
bool ForEachTrackerEndpoint(const CAtomDicti& topLevel, Visit visit) {
  const CAtom* announce = topLevel.Lookup("announce");
  if (announce == nullptr) return false;
  auto add = [&](std::string url, bool complete) {
    LowerAscii(url);
    if (complete) CompleteTrackerUrl(url);
    if (auto parts = SplitHttpUrl(url)) visit(std::move(parts->host), parts->port);
  };
  const CAtom* announceList = topLevel.Lookup("announce-list");
  if (announceList == nullptr || !announceList->HoldsList()) {
    add(announce->AsText(), false);
    return true;
  }
  for (const AtomPtr& item : static_cast<const CAtomList*>(announceList)->Items()) {
    if (item->HoldsString()) {
      add(item->AsText(), true);
    } else if (item->HoldsList()) {
      for (const AtomPtr& tier : static_cast<const CAtomList&>(*item).Items())
        if (tier->HoldsString()) add(tier->AsText(), true);
    }
  }
  return true;
}

}  // namespace

void LowerAscii(std::string& text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

void CompleteTrackerUrl(std::string& url) {
  if (url.empty() || url == "\r\n" || url == "\r" || url == "\n") return;
  if (url.find("http://") == std::string::npos) url.insert(0, "http://");
  if (url.back() != '/') url += '/';
}

std::optional<HttpUrlParts> SplitHttpUrl(const std::string& url) {
  const std::size_t scheme = url.find("http://");
  if (scheme == std::string::npos) return std::nullopt;
  const std::size_t start = scheme + 7;
  HttpUrlParts parts;
  const std::size_t colon = url.find(':', start);
  if (colon != std::string::npos) {
    // The first colon ends the host, even one in the path or the query.
    const std::size_t slash = url.find('/', colon + 1);
    if (slash == std::string::npos) return std::nullopt;
    parts.host = url.substr(start, colon - start);
    parts.port = LeadingNumber(url, colon + 1, slash);
    parts.path = url.substr(slash);
  } else {
    std::size_t end = url.find('/', start);
    if (end == std::string::npos) end = url.size();
    parts.host = url.substr(start, end - start);
    parts.path = url.substr(end);
  }
  return parts;
}

bool CTorrent::LoadFile(const std::string& path) {
  if (path.empty()) return false;
  std::unique_ptr<char[]> bytes;
  const std::uint32_t size = ReadTorrentBytes(path, bytes);
  if (size == 0) return false;
  InfoBytes info;
  AtomPtr decoded = ParseValue(bytes.get(), size, 0, &info);
  if (!Load(std::move(decoded), info)) return false;
  // The bytes go with the hashing: nothing else needs them once decoded.
  if (info.canonical) infoDigest_.Start(std::move(bytes), info.start, info.length);
  return true;
}

bool CTorrent::LoadBytes(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxInputLength) return false;
  InfoBytes info;
  AtomPtr decoded = ParseValue(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 0, &info);
  if (!Load(std::move(decoded), info)) return false;
  if (info.canonical) infoDigest_.Compute(bytes.data() + info.start, info.length);
  return true;
}

bool CTorrent::Load(AtomPtr decoded, InfoBytes& infoBytes) {
  if (!decoded || !decoded->HoldsDicti()) return false;
  auto& file = static_cast<CAtomDicti&>(*decoded);
  info_.RemoveAll();
  infoDigest_.Clear();
  const CAtom* info = file.Lookup("info");
  if (info != nullptr && info->HoldsDicti()) {
    AtomPtr taken = file.Release("info");
    info_.TakeFrom(static_cast<CAtomDicti&>(*taken));
  }
  // Hashing the file's own bytes is hashing the re-encoding only when they are exactly it.
  infoBytes.canonical = infoBytes.canonical && !info_.HasNoItems() &&
                        infoBytes.length == static_cast<std::uint32_t>(info_.WireLength());
  topLevel_.TakeFrom(file);
  return true;
}

bool CTorrent::TrackerEndpoints(std::vector<TrackerEndpoint>& out) const {
  out.clear();
  return ForEachTrackerEndpoint(topLevel_, [&](std::string&& host, std::int32_t port) {
    out.push_back({std::move(host), port});
  });
}

bool CTorrent::TrackerText(std::string& text) const {
  text.clear();
  return ForEachTrackerEndpoint(topLevel_, [&](std::string&& host, std::int32_t port) {
    text += host;
    text += ':';
    text += std::to_string(port);
    text += ';';
  });
}

std::string CTorrent::CommentText() const {
  return TextOf(topLevel_, "comment");
}
std::string CTorrent::CreatorText() const {
  return TextOf(topLevel_, "created by");
}
std::string CTorrent::NameText() const {
  return TextOf(info_, "name");
}

std::int32_t CTorrent::PieceLengthValue() const {
  return static_cast<std::int32_t>(IntegerValue(info_.Lookup("piece length")).value_or(0));
}

std::int32_t CTorrent::PieceCount() const {
  const CAtom* pieces = info_.Lookup("pieces");
  if (pieces == nullptr || !pieces->HoldsString()) return 0;
  const std::size_t bytes = static_cast<const CAtomString*>(pieces)->Bytes().size();
  return static_cast<std::int32_t>((bytes + 19) / 20);
}

std::int64_t CTorrent::TotalLengthValue() const {
  if (auto length = IntegerValue(info_.Lookup("length"))) return *length;
  std::vector<std::int64_t> lengths;
  for (const FileEntry& entry : FileEntries()) lengths.push_back(entry.length);
  return TotalLengthValue(lengths);
}

std::int64_t CTorrent::TotalLengthValue(const std::vector<std::int64_t>& fileLengths) const {
  if (auto length = IntegerValue(info_.Lookup("length"))) return *length;
  std::int64_t total = 0;
  for (const std::int64_t length : fileLengths) {
    // Entries are never negative; a sum beyond 64 bits stays at the largest value.
    if (length > std::numeric_limits<std::int64_t>::max() - total)
      return std::numeric_limits<std::int64_t>::max();
    total += length;
  }
  return total;
}

namespace {

// Calls add(path, length) for each entry of "files" in order; false (after the entries
// before it) at the first malformed one. Paths are built at their final size.
template <class Add>
bool ForEachFileEntry(const CAtomDicti& info, Add add) {
  const CAtom* files = info.Lookup("files");
  if (files == nullptr || !files->HoldsList()) return true;
  std::string path;
  for (const AtomPtr& item : static_cast<const CAtomList*>(files)->Items()) {
    if (!item->HoldsDicti()) return false;
    const auto& file = static_cast<const CAtomDicti&>(*item);
    const CAtom* length = file.Lookup("length");
    if (length == nullptr || !length->HoldsLong()) return false;
    const std::int64_t bytes = static_cast<const CAtomLong*>(length)->Value();
    if (bytes < 0) return false;
    const CAtom* components = file.Lookup("path");
    if (components == nullptr || !components->HoldsList()) return false;
    const auto& parts = static_cast<const CAtomList*>(components)->Items();
    std::size_t size = 0;
    for (const AtomPtr& component : parts) {
      if (!component->HoldsString()) return false;
      size += 1 + static_cast<const CAtomString&>(*component).Bytes().size();
    }
    path.clear();
    path.reserve(size);
    for (const AtomPtr& component : parts) {
      const std::string_view bytes = static_cast<const CAtomString&>(*component).Bytes();
      path += '\\';
      const std::size_t at = path.size();
      path += bytes;
      // NUL bytes show as spaces, as AsText shows them.
      if (std::memchr(bytes.data(), '\0', bytes.size()) != nullptr)
        std::replace(path.begin() + static_cast<std::ptrdiff_t>(at), path.end(), '\0', ' ');
    }
    add(std::move(path), bytes);
  }
  return true;
}

std::size_t FileCount(const CAtomDicti& info) {
  const CAtom* files = info.Lookup("files");
  return files != nullptr && files->HoldsList()
             ? static_cast<const CAtomList*>(files)->Items().size()
             : 0;
}

}  // namespace

std::vector<FileEntry> CTorrent::FileEntries() const {
  std::vector<FileEntry> entries;
  entries.reserve(FileCount(info_));
  const bool whole = ForEachFileEntry(info_, [&](std::string&& path, std::int64_t length) {
    entries.push_back({std::move(path), length, static_cast<std::int32_t>(entries.size())});
  });
  if (!whole) return {};
  return entries;
}

bool CTorrent::FileLengthsAndPaths(std::vector<std::int64_t>& lengths,
                                   std::vector<std::string>& paths) const {
  lengths.clear();
  paths.clear();
  const std::size_t count = FileCount(info_);
  lengths.reserve(count);
  paths.reserve(count);
  const bool whole = ForEachFileEntry(info_, [&](std::string&& path, std::int64_t length) {
    lengths.push_back(length);
    paths.push_back(std::move(path));
  });
  if (!whole) {
    lengths.clear();
    paths.clear();
  }
  return !lengths.empty();
}

std::optional<std::tm> CTorrent::CreationTime() const {
  const CAtom* date = topLevel_.Lookup("creation date");
  if (date == nullptr || !date->HoldsLong()) return std::nullopt;
  const auto seconds = static_cast<std::int32_t>(
      static_cast<std::uint32_t>(static_cast<const CAtomLong*>(date)->Value()));
  if (seconds < 0) return std::nullopt;
  const std::time_t when = seconds;
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return std::nullopt;
  return local;
}

std::string CTorrent::InfoHashText(bool hexForm) const {
  Sha1Digest digest;
  if (infoDigest_.Known()) {
    digest = infoDigest_.Get();
  } else {
    CSHA1 hasher;
    if (!HashDictionary(info_, hasher)) return {};
    hasher.Finish();
    hasher.DigestBytes(digest);
  }
  if (!hexForm) return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
  static const char kDigits[] = "0123456789abcdef";
  std::string hex(40, '0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 15];
  }
  return hex;
}

}  // namespace morvane
