#include "web/CurlSession.h"

#include <array>
#include <mutex>

namespace morvane {

namespace {

std::once_flag gReady;
CURLSH* gCookieStore = nullptr;
std::array<std::mutex, CURL_LOCK_DATA_LAST> gStoreLocks;

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

}  // namespace

void EnsureCurlReady() {
  std::call_once(gReady, Prepare);
}

CURLSH* ProcessCookieStore() {
  EnsureCurlReady();
  return gCookieStore;
}

}  // namespace morvane
