#pragma once
// An HTTPS server on 127.0.0.1 on a free port, with a certificate made for the test that
// the process's requests are told to trust (SetTrustedCertificates) while it lives.

#include <httplib.h>
#include <openssl/pem.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "services/SelfSignedCertificate.h"
#include "tests/support/LocalServer.h"
#include "web/CurlSession.h"

namespace morvane::testing {

class TlsServer {
 public:
  TlsServer()
      : certificate_(services::MakeSelfSignedCertificate()),
        served_(certificate_.cert.get(), certificate_.key.get()) {
    char pattern[] = "/tmp/morvane-test-ca-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0) std::abort();
    pemFile_ = pattern;
    FILE* out = ::fdopen(fd, "w");
    if (out == nullptr || PEM_write_X509(out, certificate_.cert.get()) != 1) std::abort();
    std::fclose(out);
    SetTrustedCertificates(pemFile_);
  }
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;
  ~TlsServer() {
    served_.Stop();
    SetTrustedCertificates("");
    ::unlink(pemFile_.c_str());
  }

  httplib::SSLServer& server() { return served_.server(); }
  void Start() { served_.Start(); }
  void Stop() { served_.Stop(); }
  // "https://127.0.0.1:PORT"
  std::string base() const { return "https://" + served_.host(); }

 private:
  services::Certificate certificate_;
  LocalServerOn<httplib::SSLServer> served_;
  std::string pemFile_;
};

}  // namespace morvane::testing
