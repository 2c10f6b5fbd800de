#include "torrent/Torrent.h"

#include <algorithm>
#include <climits>
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

void AddEndpoint(std::string url, bool complete, std::vector<TrackerEndpoint>& out) {
  LowerAscii(url);
  if (complete) CompleteTrackerUrl(url);
  if (auto parts = SplitHttpUrl(url)) out.push_back({std::move(parts->host), parts->port});
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
  return Load(ParseTorrentFile(path));
}

bool CTorrent::LoadBytes(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxInputLength) return false;
  return Load(ParseValue(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 0));
}

bool CTorrent::Load(AtomPtr decoded) {
  if (!decoded || !decoded->HoldsDicti()) return false;
  auto& file = static_cast<CAtomDicti&>(*decoded);
  info_.RemoveAll();
  const CAtom* info = file.Lookup("info");
  if (info != nullptr && info->HoldsDicti()) {
    AtomPtr taken = file.Release("info");
    info_.TakeFrom(static_cast<CAtomDicti&>(*taken));
  }
  topLevel_.TakeFrom(file);
  return true;
}

bool CTorrent::TrackerEndpoints(std::vector<TrackerEndpoint>& out) const {
  out.clear();
  const CAtom* announce = topLevel_.Lookup("announce");
  if (announce == nullptr) return false;
  AddEndpoint(announce->AsText(), false, out);
  const CAtom* announceList = topLevel_.Lookup("announce-list");
  if (announceList != nullptr && announceList->HoldsList()) {
    out.clear();
    for (const AtomPtr& item : static_cast<const CAtomList*>(announceList)->Items()) {
      if (item->HoldsString()) {
        AddEndpoint(item->AsText(), true, out);
      } else if (item->HoldsList()) {
        for (const AtomPtr& tier : static_cast<const CAtomList&>(*item).Items())
          if (tier->HoldsString()) AddEndpoint(tier->AsText(), true, out);
      }
    }
  }
  return true;
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

std::vector<FileEntry> CTorrent::FileEntries() const {
  std::vector<FileEntry> entries;
  const CAtom* files = info_.Lookup("files");
  if (files == nullptr || !files->HoldsList()) return entries;
  std::int32_t index = 0;
  for (const AtomPtr& item : static_cast<const CAtomList*>(files)->Items()) {
    if (!item->HoldsDicti()) return {};
    const auto& file = static_cast<const CAtomDicti&>(*item);
    const CAtom* length = file.Lookup("length");
    if (length == nullptr || !length->HoldsLong()) return {};
    const std::int64_t bytes = static_cast<const CAtomLong*>(length)->Value();
    if (bytes < 0) return {};
    const CAtom* path = file.Lookup("path");
    if (path == nullptr || !path->HoldsList()) return {};
    FileEntry entry{{}, bytes, index++};
    for (const AtomPtr& component : static_cast<const CAtomList*>(path)->Items()) {
      if (!component->HoldsString()) return {};
      const std::string& bytes = static_cast<const CAtomString&>(*component).Bytes();
      const std::size_t at = entry.path.size() + 1;
      entry.path += '\\';
      entry.path += bytes;
      std::replace(entry.path.begin() + at, entry.path.end(), '\0', ' ');  // as AsText shows it
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool CTorrent::FileLengthsAndPaths(std::vector<std::int64_t>& lengths,
                                   std::vector<std::string>& paths) const {
  lengths.clear();
  paths.clear();
  std::vector<FileEntry> entries = FileEntries();
  for (FileEntry& entry : entries) {
    lengths.push_back(entry.length);
    paths.push_back(std::move(entry.path));
  }
  return !entries.empty();
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
  const std::optional<std::string> encoded = SerializeDictionary(info_);
  if (!encoded) return {};
  CSHA1 hasher;
  hasher.Absorb(encoded->data(), encoded->size());
  hasher.Finish();
  std::string result;
  if (hexForm) {
    hasher.HexReport(result);
  } else {
    unsigned char digest[20];
    hasher.DigestBytes(digest);
    result.assign(reinterpret_cast<const char*>(digest), sizeof digest);
  }
  return result;
}

}  // namespace morvane
