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

std::string NewRandomKey() {
  unsigned char bytes[kMadeKeyBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return {};
  std::string key;
  for (const unsigned char byte : bytes) AppendHexByte(key, byte);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

std::string DefaultKeyFile() {
  const std::string dir = UserConfigDir();
  return dir.empty() ? std::string() : dir + "/stream-token";
}

namespace {

KeyFile ReadKeyFile(const std::string& path, const struct stat& seen) {
  KeyFile result;
  // Through a link the key would be wherever the link points, a file someone else may own
  // or read; a FIFO or a device would hold the service up or never end.
  if (S_ISLNK(seen.st_mode)) {
    result.error = "the key file " + path + " is a symbolic link; the key is kept only in a file of its own";
    return result;
  }
  if (!S_ISREG(seen.st_mode)) {
    result.error = "the key file " + path + " is not a regular file";
    return result;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat opened {};
  if (fd < 0 || ::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    result.error = "cannot read the key file " + path;
    if (fd >= 0) ::close(fd);
    return result;
  }
  if (opened.st_uid != ::geteuid()) {
    result.error = "the key file " + path + " belongs to another user";
    ::close(fd);
    return result;
  }
  if ((opened.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
      result.error = "the key file " + path + " can be read by other users and cannot be made private";
      ::close(fd);
      return result;
    }
    result.notice = "the key file " + path +
                    " could be read by other users; it is now its owner's alone (delete it for a "
                    "new key if others may have read it)";
  }
  std::string text;
  char buffer[512];
  ssize_t n = 0;
  while (text.size() <= kMostKeyFileBytes && (n = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  const std::string_view key = Trimmed(text);
  if (n < 0 || !IsUsableKey(key)) {
    result.error = "the key file " + path + " holds no usable key (16 to 256 letters, digits, - _ . ~)";
    return result;
  }
  result.key = std::string(key);
  return result;
}

// A new random key in a new file; neither a key nor an error when the file appeared
// meanwhile.
KeyFile MakeKeyFile(const std::string& path) {
  KeyFile result;
  std::error_code ec;
  const std::string key = NewRandomKey();
  if (key.empty()) {
    result.error = "no random bytes for a key";
    return result;
  }

  const std::filesystem::path file(path);
  if (file.has_parent_path() && !std::filesystem::exists(file.parent_path(), ec)) {
    std::filesystem::create_directories(file.parent_path(), ec);
    std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all, ec);
  }
  // O_EXCL: two services starting together do not each write a key of their own.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return result;
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

}  // namespace

KeyFile LoadOrMakeKey(const std::string& path) {
  KeyFile result;
  if (path.empty()) {
    result.error = "no key file: neither $XDG_CONFIG_HOME nor $HOME is set";
    return result;
  }
  // Twice at most: a file another service made between the look and the making is read.
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat seen {};
    if (::lstat(path.c_str(), &seen) == 0) return ReadKeyFile(path, seen);
    if (errno != ENOENT) {
      result.error = "cannot look at the key file " + path + ": " + std::strerror(errno);
      return result;
    }
    result = MakeKeyFile(path);
    if (!result.error.empty() || !result.key.empty()) return result;
  }
  result.error = "the key file " + path + " came and went while it was read";
  return result;
}

}  // namespace morvane::stream
