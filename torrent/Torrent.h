#pragma once
// A decoded .torrent file and the questions the program asks of it. Keys are looked up in
// two dictionaries: the top level holds "announce", "announce-list", "comment",
// "created by" and "creation date"; the info dictionary holds "name", "piece length",
// "pieces", "length" and "files".

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "torrent/Atom.h"
#include "torrent/Bencode.h"
#include "torrent/InfoDigest.h"

namespace morvane {

struct TrackerEndpoint {
  std::string host;
  std::int32_t port = 0;
};

struct FileEntry {
  std::string path;  // "\" before each component: "\a\b.txt"
  std::int64_t length = 0;
  std::int32_t index = 0;  // position in "files", from 0
};

class CTorrent {
 public:
  CTorrent() = default;
  CTorrent(const CTorrent&) = delete;
  CTorrent& operator=(const CTorrent&) = delete;
  virtual ~CTorrent() = default;

  // Fails for an empty path, a file that does not decode, or a value that is not a
  // dictionary. A torrent without a usable "info" loads with an empty info dictionary.
  bool LoadFile(const std::string& path);
  // The same for a file's bytes already in memory.
  bool LoadBytes(std::string_view bytes);

  // The trackers: "announce-list" when present replaces "announce"; only http trackers
  // give endpoints. False (and no endpoints) when there is no "announce".
  bool TrackerEndpoints(std::vector<TrackerEndpoint>& out) const;
  // The same endpoints as one text, "host:port;" for each; made without the list, which
  // for a long "announce-list" would take far more room than the text.
  bool TrackerText(std::string& text) const;

  std::string CommentText() const;
  std::string CreatorText() const;
  std::string NameText() const;
  std::int32_t PieceLengthValue() const;
  // Number of 20-byte piece digests in "pieces", a short last one included.
  std::int32_t PieceCount() const;
  // Info "length", or the sum over the file entries.
  std::int64_t TotalLengthValue() const;
  // The same, given the lengths of FileEntries (saves walking "files" twice).
  std::int64_t TotalLengthValue(const std::vector<std::int64_t>& fileLengths) const;
  // Every entry of "files"; empty when any entry is malformed.
  std::vector<FileEntry> FileEntries() const;
  bool FileLengthsAndPaths(std::vector<std::int64_t>& lengths,
                           std::vector<std::string>& paths) const;
  // "creation date" in local time; nothing when it is absent, not an integer, or its low
  // 32 bits are negative.
  std::optional<std::tm> CreationTime() const;
  // SHA-1 of the re-encoded info dictionary: 40 lower-case hex digits, or the 20 digest
  // bytes when hexForm is false. "" when the dictionary cannot be encoded.
  std::string InfoHashText(bool hexForm = true) const;

 private:
  // Takes over the decoded tree. `info` tells where the kept info dictionary lies in the
  // decoded bytes; its `canonical` is left true only when hashing those bytes is hashing
  // the dictionary's encoding.
  bool Load(AtomPtr decoded, InfoBytes& info);

  // The decoded file, and its "info" dictionary when it has one. The decoded tree is not
  // needed after loading, so both take its values over instead of copying them: the info
  // entry lives in info_ only.
  CAtomDicti topLevel_;
  CAtomDicti info_;
  // When the file holds the info dictionary in its canonical encoding, its digest is taken
  // from those bytes while loading (or, for a large one, while the caller reads the rest),
  // which spares encoding the dictionary again.
  InfoDigest infoDigest_;
};

// host, port and path of an http:// address; nothing for any other scheme or when a port is
// not followed by "/".
struct HttpUrlParts {
  std::string host;
  std::int32_t port = 80;
  std::string path;
};
std::optional<HttpUrlParts> SplitHttpUrl(const std::string& url);
// Adds "http://" when the address has none and a final "/" (an empty address or a bare
// line break is left alone).
void CompleteTrackerUrl(std::string& url);
// A-Z to a-z; every other byte unchanged.
void LowerAscii(std::string& text);

}  // namespace morvane
