#pragma once
// libcurl's process-wide pieces. curl_global_init must run once before any transfer and
// before threads race to make one; every web routine calls EnsureCurlReady() first and
// nothing else has to.

#include <curl/curl.h>

#include <memory>
#include <string>

namespace morvane {

// Owners of curl's handles, so that every way out of a request frees them.
struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlCleanup {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using HeaderList = std::unique_ptr<curl_slist, ListCleanup>;
using ParsedUrl = std::unique_ptr<CURLU, UrlCleanup>;

void EnsureCurlReady();

// The cookie store shared by every request that leaves cookies to the platform: attach it
// with CURLOPT_SHARE and switch the cookie engine on with CURLOPT_COOKIEFILE "". It lives
// for the whole process and is safe to use from several threads at once.
CURLSH* ProcessCookieStore();

// What one transfer has learnt about its redirect chain, for RestrictToWebProtocols.
struct HttpsGuard {
  bool reached = false;  // a request of the transfer has gone over HTTPS
  bool refused = false;  // a redirect back to plain HTTP was refused
  CURL* handle = nullptr;
};

// Lets `handle` speak http and https only and keeps its redirects from stepping down: a
// secure address is redirected to https only, and once any request of the transfer has
// gone over HTTPS (also after an http → https hop), the next plain HTTP request is not sent:
// the transfer ends, `guard.refused` set. `guard` must outlive the transfer.
void RestrictToWebProtocols(CURL* handle, bool secureStart, HttpsGuard& guard);

// Certificates that requests trust instead of the system's (a PEM file); "" is the system
// store. Only the tests' own HTTPS servers need another.
void SetTrustedCertificates(const std::string& pemFile);

}  // namespace morvane
