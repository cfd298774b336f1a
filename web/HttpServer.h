// The built-in web server: the pages' user of the HTTP listener. Every
// request, read on its connection's thread, goes to the request handler; the
// response that the handler filled in is written, then the connection closes.
#pragma once

#include "web/HttpListener.h"
#include "web/HttpRequest.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace qeltv::web {

inline constexpr std::uint16_t kHttpDefaultPort = 80;

// Called once per request with the method GET, POST or HEAD. An exception it
// throws is answered with status 500 and the exception's message as body.
using HttpRequestHandler = std::function<void(HttpConnection& connection,
                                              const HttpRequest& request, HttpResponse& response)>;
// The limits and time-outs of the server's listener.
using HttpServerOptions = HttpListenerOptions;

// start(), stop(), active() and port() are called from one thread, the one
// that owns the server (the GUI thread), never from a handler.
class HttpServer {
public:
    // Throws std::invalid_argument when options.max_connection_threads < 1.
    explicit HttpServer(HttpRequestHandler handler, HttpConnectHandler on_connect = {},
                        HttpServerOptions options = {});
    // Stops the server; connection threads still running after the stop wait
    // are left to end on their own (they keep what they use alive).
    ~HttpServer() = default;
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens on `port` (0 picks a free one), on all local IPv4
    // addresses, and accepts connections until stop(). `max_connections` is
    // the number of connections served at once; 0 means no limit of the
    // caller's, and the server's own cap on connection threads
    // (HttpServerOptions::max_connection_threads) holds in every case. Beyond
    // either, a connection waits briefly for a slot, then gets the refusal
    // text (kHttpRefusalText) and is closed. On failure
    // throws HttpServerError and the server stays inactive.
    void start(std::uint16_t port = kHttpDefaultPort, int max_connections = 0);
    // Stops accepting, closes the listening socket, disconnects every open
    // connection, requests every connection's stop token and waits for the
    // connection threads to end. Throws HttpServerError("Terminate Thread
    // Timeout") when some are still running after the stop wait; the server
    // then stays active, and a later stop() waits for them again.
    void stop();

    bool active() const;
    // The port listened on; valid while active.
    std::uint16_t port() const;
    // Connections being served now.
    std::size_t connectionCount() const;

private:
    HttpListener listener_;
};

} // namespace qeltv::web
