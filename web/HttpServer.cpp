#include "web/HttpServer.h"

#include <cerrno>
#include <string_view>
#include <sys/socket.h>

namespace qeltv::web {

namespace {

constexpr int kInternalServerError = 500;

bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Runs the request handler and writes its response, on the connection's
// thread.
void answer(const HttpRequestHandler& handler, HttpAcceptedConnection& connection,
            const HttpRequest& request) {
    HttpResponse response;
    try {
        handler(connection, request, response);
    } catch (const std::exception& failure) {
        response.setStatusCode(kInternalServerError);
        response.body_text = failure.what();
    } catch (...) {
        response.setStatusCode(kInternalServerError);
        response.body_text = "Unknown failure.";
    }
    std::string bytes = writeHttpResponseHead(response);
    if (request.command != "HEAD")
        bytes += httpResponseBody(response);
    response.body_stream.reset();
    connection.releaseSlot();
    sendAll(connection.socket(), bytes);
}

} // namespace

HttpServer::HttpServer(HttpRequestHandler handler, HttpConnectHandler on_connect,
                       HttpServerOptions options)
    : listener_(
          [handler = std::move(handler)](HttpAcceptedConnection& connection, HttpRequest& request) {
              answer(handler, connection, request);
          },
          httpRefusal(kHttpRefusalText), options, std::move(on_connect)) {}

void HttpServer::start(std::uint16_t port, int max_connections) {
    listener_.start(port, max_connections);
}

void HttpServer::stop() {
    listener_.stop();
}

bool HttpServer::active() const {
    return listener_.active();
}

std::uint16_t HttpServer::port() const {
    return listener_.port();
}

std::size_t HttpServer::connectionCount() const {
    return listener_.connectionCount();
}

} // namespace qeltv::web
