#pragma once
// An HTTPS server on 127.0.0.1 on a free port, with a certificate made for the test that
// the process's requests are told to trust (SetTrustedCertificates) while it lives.

#include <httplib.h>
#include <openssl/pem.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "services/SelfSignedCertificate.h"
#include "web/CurlSession.h"

namespace morvane::testing {

class TlsServer {
 public:
  TlsServer()
      : certificate_(services::MakeSelfSignedCertificate()),
        server_(certificate_.cert.get(), certificate_.key.get()) {
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
    Stop();
    SetTrustedCertificates("");
    ::unlink(pemFile_.c_str());
  }

  httplib::Server& server() { return server_; }
  void Start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 5000 && !server_.is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Stop() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  // "https://127.0.0.1:PORT"
  std::string base() const { return "https://127.0.0.1:" + std::to_string(port_); }

 private:
  services::Certificate certificate_;
  httplib::SSLServer server_;
  std::thread thread_;
  std::string pemFile_;
  int port_ = 0;
};

}  // namespace morvane::testing
