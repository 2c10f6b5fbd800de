#include "web/CurlSession.h"

#include <strings.h>

#include <array>
#include <mutex>

namespace morvane {

namespace {

std::once_flag gReady;
CURLSH* gCookieStore = nullptr;
std::array<std::mutex, CURL_LOCK_DATA_LAST> gStoreLocks;
std::mutex gTrustMutex;
std::string gTrustedCertificates;

void LockStore(CURL*, curl_lock_data data, curl_lock_access, void*) {
  gStoreLocks[static_cast<std::size_t>(data)].lock();
}

void UnlockStore(CURL*, curl_lock_data data, void*) {
  gStoreLocks[static_cast<std::size_t>(data)].unlock();
}

void Prepare() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  gCookieStore = curl_share_init();
  if (gCookieStore == nullptr) return;
  curl_share_setopt(gCookieStore, CURLSHOPT_LOCKFUNC, &LockStore);
  curl_share_setopt(gCookieStore, CURLSHOPT_UNLOCKFUNC, &UnlockStore);
  curl_share_setopt(gCookieStore, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  // Never cleaned up: workers are detached and may still be reading when the process ends.
}

// Called before each request of a transfer is sent, the first one and every redirect hop.
int CheckStepDown(void* user, char*, char*, int, int) {
  auto& guard = *static_cast<HttpsGuard*>(user);
  CURL* const handle = guard.handle;
  const char* scheme = nullptr;
  curl_easy_getinfo(handle, CURLINFO_SCHEME, &scheme);
  const bool secure = scheme != nullptr && strcasecmp(scheme, "https") == 0;
  if (secure) {
    guard.reached = true;
  } else if (guard.reached) {
    guard.refused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

}  // namespace

void EnsureCurlReady() {
  std::call_once(gReady, Prepare);
}

CURLSH* ProcessCookieStore() {
  EnsureCurlReady();
  return gCookieStore;
}

void RestrictToWebProtocols(CURL* handle, bool secureStart, HttpsGuard& guard) {
  guard = HttpsGuard{};
  guard.handle = handle;
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  // A plain address may be sent on to HTTPS; a secure one is never sent back to plain HTTP.
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, secureStart ? "https" : "http,https");
  curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, &CheckStepDown);
  curl_easy_setopt(handle, CURLOPT_PREREQDATA, &guard);
  std::lock_guard lock(gTrustMutex);
  if (!gTrustedCertificates.empty())
    curl_easy_setopt(handle, CURLOPT_CAINFO, gTrustedCertificates.c_str());
}

void SetTrustedCertificates(const std::string& pemFile) {
  std::lock_guard lock(gTrustMutex);
  gTrustedCertificates = pemFile;
}

}  // namespace morvane
