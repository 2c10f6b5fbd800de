#pragma once
// What the stand-in search sites know: a list of results read from catalogue.tsv, each with
// a single-file torrent made from its sample video, so every info-hash is a real one.

#include <string>
#include <string_view>
#include <vector>

namespace morvane::services {

struct CatalogueEntry {
  std::string name;     // UTF-8
  std::string media;    // file name in the media folder
  std::string size;     // size text as the sites show it
  std::string torrent;  // bencoded .torrent file
  std::string hash;     // 40 lower-case hex digits: SHA-1 of the torrent's info value
};

class Catalogue {
 public:
  // Reads DIR/catalogue.tsv (name, media file, size text) and the videos in MEDIA_DIR.
  // Lines starting with "#" and lines with fewer than three fields are skipped.
  static Catalogue Load(const std::string& dir, const std::string& mediaDir);

  const std::vector<CatalogueEntry>& entries() const { return entries_; }
  // Entries whose name contains the keyword, ASCII letters compared without case. An empty
  // keyword matches nothing.
  std::vector<const CatalogueEntry*> Search(std::string_view keywordUtf8) const;
  const CatalogueEntry* FindByHash(std::string_view hex) const;

 private:
  std::vector<CatalogueEntry> entries_;
};

// The bencoded single-file torrent of `content` named `name`, and its info-hash.
std::string MakeTorrent(const std::string& name, const std::string& content,
                        const std::string& announce, std::string* infoHash);

}  // namespace morvane::services
