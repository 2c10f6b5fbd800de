#pragma once
// What the stand-in search sites know: a list of results read from catalogue.tsv, each with
// a single-file torrent made from its sample video, or for a season pack a torrent of every
// file in its folder, so every info-hash is a real one.

#include <string>
#include <string_view>
#include <vector>

namespace morvane::services {

// Where the catalogue's torrents announce when the publisher's server is at `publisherHost`:
// the publisher's server is also the swarm's tracker.
std::string AnnounceAddress(const std::string& publisherHost);

struct CatalogueEntry {
  std::string name;       // UTF-8
  std::string media;      // file name in the media folder (a folder: a season pack)
  std::string size;       // size text as the sites show it
  std::string torrent;    // bencoded .torrent file
  std::string hash;       // 40 lower-case hex digits: SHA-1 of the torrent's info value
  std::string info;       // the torrent's bencoded info value
  std::string mediaPath;  // where the video (the pack's folder) is on disk
  // A season pack's files as its torrent lists them (PackFiles) and its largest video,
  // read once at load; both empty for a single video.
  std::vector<std::string> packFiles;
  std::string packVideo;
};

class Catalogue {
 public:
  // Reads DIR/catalogue.tsv (name, media file, size text) and the videos in MEDIA_DIR, or
  // in EXTRA_MEDIA_DIR for the videos made at set-up. Lines starting with "#", lines with
  // fewer than three fields and lines whose video is in neither folder are skipped. A media
  // name that is a folder is a season pack: its torrent, named as the line, holds the
  // folder's files. The torrents announce to `announce`.
  static Catalogue Load(const std::string& dir, const std::string& mediaDir,
                        const std::string& extraMediaDir = {},
                        const std::string& announce = AnnounceAddress("127.0.0.1:47080"));

  // Every torrent rewritten to announce to `announce`; the info-hashes stay.
  void SetAnnounce(const std::string& announce);

  const std::vector<CatalogueEntry>& entries() const { return entries_; }
  // Entries whose name contains the keyword, ASCII letters compared without case. An empty
  // keyword matches nothing.
  std::vector<const CatalogueEntry*> Search(std::string_view keywordUtf8) const;
  const CatalogueEntry* FindByHash(std::string_view hex) const;

 private:
  std::vector<CatalogueEntry> entries_;
};

// The bencoded info value of a single-file torrent of `content` named `name`, and its
// info-hash (40 lower-case hex digits).
std::string MakeInfo(const std::string& name, const std::string& content);
std::string InfoHash(const std::string& info);
// The bencoded single-file torrent of `content` named `name`, and its info-hash.
std::string MakeTorrent(const std::string& name, const std::string& content,
                        const std::string& announce, std::string* infoHash);
// The files of a season pack's folder: paths below it ("/" between folders) in byte order,
// hidden files left out. Its torrent lists them in this order.
std::vector<std::string> PackFiles(const std::string& folder);
// The bencoded info value of a torrent named `name` holding `files` of `folder` (PackFiles).
std::string MakePackInfo(const std::string& name, const std::string& folder,
                         const std::vector<std::string>& files);
// The largest video of a pack, as a path below its folder; "" when it holds none.
std::string LargestPackVideo(const std::string& folder);
// The torrent around an info value already encoded.
std::string TorrentWithInfo(const std::string& info, const std::string& announce);

}  // namespace morvane::services
