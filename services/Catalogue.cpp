#include "services/Catalogue.h"

#include <openssl/sha.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace morvane::services {

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string ByteString(std::string_view bytes) {
  return std::to_string(bytes.size()) + ":" + std::string(bytes);
}

std::string Sha1(std::string_view bytes) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

constexpr std::size_t kPieceLength = 16384;

std::string Pieces(std::string_view content) {
  std::string pieces;
  for (std::size_t at = 0; at < content.size(); at += kPieceLength)
    pieces += Sha1(content.substr(at, kPieceLength));
  return pieces;
}

bool IsVideoFile(const std::string& path) {
  const std::string extension = LowerAscii(std::filesystem::path(path).extension().string());
  for (const char* video : {".mp4", ".mkv", ".webm", ".avi", ".mov", ".ts", ".m4v"})
    if (extension == video) return true;
  return false;
}

}  // namespace

std::vector<std::string> PackFiles(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.empty() && name[0] == '.') {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    if (it->is_regular_file(ec))
      files.push_back(std::filesystem::relative(it->path(), folder, ec).generic_string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string MakePackInfo(const std::string& name, const std::string& folder,
                         const std::vector<std::string>& files) {
  std::string content, list;
  for (const std::string& file : files) {
    const std::string bytes = ReadFile(folder + "/" + file);
    content += bytes;
    std::string path;
    for (std::size_t at = 0; at <= file.size();) {
      const std::size_t slash = std::min(file.find('/', at), file.size());
      path += ByteString(std::string_view(file).substr(at, slash - at));
      at = slash + 1;
    }
    list += "d6:lengthi" + std::to_string(bytes.size()) + "e4:pathl" + path + "ee";
  }
  // Pieces run on from one file into the next, as in most packs.
  return "d5:filesl" + list + "e4:name" + ByteString(name) + "12:piece lengthi" +
         std::to_string(kPieceLength) + "e6:pieces" + ByteString(Pieces(content)) + "e";
}

std::string LargestPackVideo(const std::string& folder) {
  std::string largest;
  std::uintmax_t most = 0;
  for (const std::string& file : PackFiles(folder)) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(folder + "/" + file, ec);
    if (!ec && IsVideoFile(file) && size > most) {
      most = size;
      largest = file;
    }
  }
  return largest;
}

std::string MakeInfo(const std::string& name, const std::string& content) {
  // Keys in byte order, as a canonical encoding requires.
  return "d6:lengthi" + std::to_string(content.size()) + "e4:name" + ByteString(name) +
         "12:piece lengthi" + std::to_string(kPieceLength) + "e6:pieces" + ByteString(Pieces(content)) +
         "e";
}

std::string InfoHash(const std::string& info) { return Hex(Sha1(info)); }

std::string MakeTorrent(const std::string& name, const std::string& content,
                        const std::string& announce, std::string* infoHash) {
  const std::string info = MakeInfo(name, content);
  if (infoHash) *infoHash = InfoHash(info);
  return TorrentWithInfo(info, announce);
}

std::string TorrentWithInfo(const std::string& info, const std::string& announce) {
  return "d8:announce" + ByteString(announce) + "10:created by" +
         ByteString("morvane-services") + "13:creation datei1285545600e4:info" + info + "e";
}

std::string AnnounceAddress(const std::string& publisherHost) {
  return "http://" + publisherHost + "/announce";
}

Catalogue Catalogue::Load(const std::string& dir, const std::string& mediaDir,
                          const std::string& extraMediaDir, const std::string& announce) {
  Catalogue catalogue;
  std::map<std::string, std::string> media;
  const auto findMedia = [&](const std::string& file) -> std::string {
    if (file.empty() || file.find('/') != std::string::npos) return "";
    for (const std::string& folder : {mediaDir, extraMediaDir})
      if (!folder.empty() && (std::filesystem::is_regular_file(folder + "/" + file) ||
                              std::filesystem::is_directory(folder + "/" + file)))
        return folder + "/" + file;
    return "";
  };
  std::ifstream in(dir + "/catalogue.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::stringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
    if (fields.size() < 3) continue;
    CatalogueEntry entry{fields[0], fields[1], fields[2], {}, {}, {}, findMedia(fields[1]), {}, {}};
    if (entry.mediaPath.empty()) continue;
    if (std::filesystem::is_directory(entry.mediaPath)) {
      entry.packFiles = PackFiles(entry.mediaPath);
      if (entry.packFiles.empty()) continue;
      entry.packVideo = LargestPackVideo(entry.mediaPath);
      entry.info = MakePackInfo(entry.name, entry.mediaPath, entry.packFiles);
      entry.hash = InfoHash(entry.info);
      entry.torrent = TorrentWithInfo(entry.info, announce);
      catalogue.entries_.push_back(std::move(entry));
      continue;
    }
    auto [it, fresh] = media.try_emplace(entry.media);
    if (fresh) it->second = ReadFile(entry.mediaPath);
    // The file inside the torrent keeps the video's extension, so a player can tell its type.
    const std::string extension = std::filesystem::path(entry.media).extension().string();
    entry.info = MakeInfo(entry.name + extension, it->second);
    entry.hash = InfoHash(entry.info);
    entry.torrent = TorrentWithInfo(entry.info, announce);
    catalogue.entries_.push_back(std::move(entry));
  }
  return catalogue;
}

void Catalogue::SetAnnounce(const std::string& announce) {
  for (auto& e : entries_) e.torrent = TorrentWithInfo(e.info, announce);
}

std::vector<const CatalogueEntry*> Catalogue::Search(std::string_view keywordUtf8) const {
  std::vector<const CatalogueEntry*> found;
  const std::string keyword = LowerAscii(keywordUtf8);
  if (keyword.empty()) return found;
  for (const auto& e : entries_)
    if (LowerAscii(e.name).find(keyword) != std::string::npos) found.push_back(&e);
  return found;
}

const CatalogueEntry* Catalogue::FindByHash(std::string_view hex) const {
  const std::string wanted = LowerAscii(hex);
  for (const auto& e : entries_)
    if (e.hash == wanted) return &e;
  return nullptr;
}

}  // namespace morvane::services
