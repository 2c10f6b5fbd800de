#include "services/PlainHttpServer.h"

namespace morvane::services {

namespace {

// The handlers answer from memory at once.
constexpr int kWorkers = 2;
constexpr std::size_t kQueue = 256;

HttpLimits LimitsOf(const PlainServerLimits& plain) {
  HttpLimits limits;
  limits.pools = {{kWorkers, kQueue, 0}};
  limits.headTimeout = plain.readTimeout;
  limits.sendTimeout = plain.writeTimeout;
  limits.maxReading = plain.maxConnections;
  limits.perClientReading = plain.maxConnections;
  // It plays an outside service, which answers whatever name it is reached by.
  limits.loopbackHostsOnly = false;
  return limits;
}

}  // namespace

PlainHttpServer::PlainHttpServer(Handler handler, Logger logger, PlainServerLimits limits)
    : handler_(std::move(handler)),
      logger_(std::move(logger)),
      server_(
          [this](const HttpRequest& request, HttpResponder& responder) {
            PlainResponse response;
            try {
              response = handler_(request.method, request.target);
            } catch (...) {
              response = {500, "text/plain", "error\n"};
            }
            responder.Send(response.status, response.contentType, response.body);
          },
          LimitsOf(limits), {},
          [this](const HttpRequest& request, int status) {
            if (logger_) logger_(request.method, request.target, status);
          }) {}

int PlainHttpServer::Bind(int port) { return server_.Bind("127.0.0.1", port) ? server_.Port() : -1; }

void PlainHttpServer::Serve() { server_.Run(); }

void PlainHttpServer::Stop() { server_.Stop(); }

}  // namespace morvane::services
