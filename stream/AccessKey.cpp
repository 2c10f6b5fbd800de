#include "stream/AccessKey.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/Files.h"
#include "platform/UserConfig.h"
#include "web/Text.h"

namespace morvane::stream {

namespace {

constexpr std::size_t kShortestKey = 16;
constexpr std::size_t kLongestKey = 256;
constexpr std::size_t kMadeKeyBytes = 16;  // 128 bits
constexpr std::size_t kMostKeyFileBytes = 4096;

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

}  // namespace

bool IsUsableKey(std::string_view key) {
  if (key.size() < kShortestKey || key.size() > kLongestKey) return false;
  for (const char c : key)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.' && c != '~')
      return false;
  return true;
}

bool KeysMatch(std::string_view given, std::string_view key) {
  if (key.empty() || given.size() != key.size()) return false;
  return CRYPTO_memcmp(given.data(), key.data(), key.size()) == 0;
}

bool CarriesKey(std::string_view target, std::string_view authorization, std::string_view key,
                std::string& path) {
  path = std::string(target);
  if (key.empty()) return false;
  if (target.starts_with('/')) {
    const std::size_t end = std::min(target.find_first_of("/?#", 1), target.size());
    if (KeysMatch(target.substr(1, end - 1), key)) {
      const std::string_view rest = target.substr(end);
      path = rest.starts_with('/') ? std::string(rest) : "/" + std::string(rest);
      return true;
    }
  }
  constexpr std::string_view kBearer = "bearer ";
  return StartsWithNoCase(authorization, kBearer) &&
         KeysMatch(Trimmed(authorization.substr(kBearer.size())), key);
}

std::string DefaultKeyFile() {
  const std::string dir = UserConfigDir();
  return dir.empty() ? std::string() : dir + "/stream-token";
}

KeyFile LoadOrMakeKey(const std::string& path) {
  KeyFile result;
  if (path.empty()) {
    result.error = "no key file: neither $XDG_CONFIG_HOME nor $HOME is set";
    return result;
  }
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    const auto text = ReadWholeFile(path, kMostKeyFileBytes);
    if (!text) {
      result.error = "cannot read the key file " + path;
      return result;
    }
    const std::string_view key = Trimmed(*text);
    if (!IsUsableKey(key)) {
      result.error = "the key file " + path + " holds no usable key (16 to 256 letters, digits, - _ . ~)";
      return result;
    }
    result.key = std::string(key);
    return result;
  }
  unsigned char bytes[kMadeKeyBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    result.error = "no random bytes for a key";
    return result;
  }
  std::string key;
  for (const unsigned char byte : bytes) AppendHexByte(key, byte);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  const std::filesystem::path file(path);
  if (file.has_parent_path() && !std::filesystem::exists(file.parent_path(), ec)) {
    std::filesystem::create_directories(file.parent_path(), ec);
    std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all, ec);
  }
  // O_EXCL: two services starting together do not each write a key of their own.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return LoadOrMakeKey(path);
    result.error = "cannot write the key file " + path + ": " + std::strerror(errno);
    return result;
  }
  const bool written = WriteAll(fd, key + "\n");
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    ::unlink(path.c_str());
    result.error = "cannot write the key file " + path;
    return result;
  }
  result.key = key;
  result.made = true;
  return result;
}

}  // namespace morvane::stream
