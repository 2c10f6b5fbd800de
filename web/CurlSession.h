#pragma once
// libcurl's process-wide pieces. curl_global_init must run once before any transfer and
// before threads race to make one; every web routine calls EnsureCurlReady() first and
// nothing else has to.

#include <curl/curl.h>

namespace morvane {

void EnsureCurlReady();

// The cookie store shared by every request that leaves cookies to the platform: attach it
// with CURLOPT_SHARE and switch the cookie engine on with CURLOPT_COOKIEFILE "". It lives
// for the whole process and is safe to use from several threads at once.
CURLSH* ProcessCookieStore();

}  // namespace morvane
