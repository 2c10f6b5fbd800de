#include "update/UpdateSignature.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>

namespace morvane {

namespace {

constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kSignatureSize = 64;
// Pieces in which a file is read for its digest.
constexpr std::size_t kFilePiece = 1 << 16;

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

const unsigned char* Bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

PkeyPtr ReadPrivateKey(std::string_view pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr,
              EVP_PKEY_free);
  if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) key.reset();
  return key;
}

std::string RawPublicKey(EVP_PKEY* key) {
  std::string raw(kPublicKeySize, '\0');
  std::size_t size = raw.size();
  if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &size) != 1 ||
      size != kPublicKeySize)
    return "";
  return Base64Encode(raw);
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string_view TrimAsciiSpace(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

std::string_view AsText(const Sha256Digest& digest) {
  return {reinterpret_cast<const char*>(digest.data()), digest.size()};
}

}  // namespace

struct Sha256::Context {
  MdCtxPtr md{EVP_MD_CTX_new(), EVP_MD_CTX_free};
  bool usable = false;
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  context_->usable =
      context_->md && EVP_DigestInit_ex(context_->md.get(), EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() = default;

void Sha256::Add(const void* data, std::size_t size) {
  if (context_->usable && EVP_DigestUpdate(context_->md.get(), data, size) != 1)
    context_->usable = false;
}

Sha256Digest Sha256::Finish() {
  Sha256Digest digest{};
  unsigned int size = 0;
  // A hasher that failed yields the zero digest, which no publisher signs knowingly: the
  // check after it fails instead of passing.
  if (!context_->usable || EVP_DigestFinal_ex(context_->md.get(), digest.data(), &size) != 1 ||
      size != digest.size())
    digest.fill(0);
  context_->usable = false;
  return digest;
}

BackgroundSha256::BackgroundSha256()
    : slots_(new char[kSlots * kSlotSize]), thread_([this] { Run(); }) {}

BackgroundSha256::~BackgroundSha256() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundSha256::Add(const char* data, std::size_t size) {
  while (size > 0) {
    const std::size_t slot = handedOff_ % kSlots;
    if (filling_ == 0) {
      // The slot is free once the hasher is done with what it held a round ago.
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return handedOff_ - hashed_ < kSlots; });
    }
    const std::size_t n = std::min(size, kSlotSize - filling_);
    std::memcpy(slots_.get() + slot * kSlotSize + filling_, data, n);
    filling_ += n;
    data += n;
    size -= n;
    if (filling_ == kSlotSize) HandOff();
  }
}

void BackgroundSha256::HandOff() {
  {
    std::lock_guard lock(mutex_);
    sizes_[handedOff_ % kSlots] = filling_;
    ++handedOff_;
  }
  filling_ = 0;
  changed_.notify_all();
}

Sha256Digest BackgroundSha256::Finish() {
  if (filling_ > 0) HandOff();
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  return hasher_.Finish();
}

void BackgroundSha256::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || finishing_ || hashed_ < handedOff_; });
    if (stopping_ || hashed_ == handedOff_) return;
    const std::size_t slot = hashed_ % kSlots;
    const std::size_t size = sizes_[slot];
    lock.unlock();
    hasher_.Add(slots_.get() + slot * kSlotSize, size);
    lock.lock();
    ++hashed_;
    changed_.notify_all();
  }
}

std::optional<Sha256Digest> DigestOfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  Sha256 hasher;
  std::string piece(kFilePiece, '\0');
  while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0)
    hasher.Add(piece.data(), static_cast<std::size_t>(in.gcount()));
  if (in.bad()) return std::nullopt;
  return hasher.Finish();
}

std::string Base64Encode(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), Bytes(bytes),
                                static_cast<int>(bytes.size()));
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return text;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t group = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0) return std::nullopt;
    group = (group << 6) | static_cast<std::uint32_t>(value);
    if (i % 4 == 3) {
      bytes += static_cast<char>(group >> 16);
      bytes += static_cast<char>(group >> 8);
      bytes += static_cast<char>(group);
      group = 0;
    }
  }
  // The last group: 2 or 3 characters carry 1 or 2 bytes, and the bits beyond them must be
  // zero, so that each byte string has exactly one text.
  if (padding == 2) {
    if ((group & 0xF) != 0) return std::nullopt;
    bytes += static_cast<char>(group >> 4);
  } else if (padding == 1) {
    if ((group & 0x3) != 0) return std::nullopt;
    bytes += static_cast<char>(group >> 10);
    bytes += static_cast<char>(group >> 2);
  }
  return bytes;
}

std::optional<SigningKeyPair> GenerateSigningKey() {
  PkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), EVP_PKEY_free);
  if (!key) return std::nullopt;
  BioPtr bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return std::nullopt;
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  SigningKeyPair pair{std::string(data, static_cast<std::size_t>(size)), RawPublicKey(key.get())};
  if (pair.publicKey.empty()) return std::nullopt;
  return pair;
}

std::string PublicKeyOf(std::string_view privateKeyPem) {
  const PkeyPtr key = ReadPrivateKey(privateKeyPem);
  return key ? RawPublicKey(key.get()) : "";
}

std::string SignMessage(std::string_view privateKeyPem, std::string_view message) {
  const PkeyPtr key = ReadPrivateKey(privateKeyPem);
  MdCtxPtr md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!key || !md) return "";
  std::string signature(kSignatureSize, '\0');
  std::size_t size = signature.size();
  // Ed25519 hashes the message itself: no digest is named here.
  if (EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(md.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                     Bytes(message), message.size()) != 1 ||
      size != kSignatureSize)
    return "";
  return Base64Encode(signature);
}

bool VerifyMessage(std::string_view publicKey, std::string_view message,
                   std::string_view signature) {
  const auto rawKey = Base64Decode(publicKey);
  const auto rawSignature = Base64Decode(TrimAsciiSpace(signature));
  if (!rawKey || rawKey->size() != kPublicKeySize || !rawSignature ||
      rawSignature->size() != kSignatureSize)
    return false;
  const PkeyPtr key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, Bytes(*rawKey), rawKey->size()),
      EVP_PKEY_free);
  MdCtxPtr md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  return key && md && EVP_DigestVerifyInit(md.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
         EVP_DigestVerify(md.get(), Bytes(*rawSignature), rawSignature->size(), Bytes(message),
                          message.size()) == 1;
}

std::string SignDigest(std::string_view privateKeyPem, const Sha256Digest& digest) {
  return SignMessage(privateKeyPem, AsText(digest));
}

bool DownloadAccepted(std::string_view publicKey, const Sha256Digest& digest,
                      std::string_view signature) {
  if (publicKey.empty()) return true;
  return VerifyMessage(publicKey, AsText(digest), signature);
}

}  // namespace morvane
