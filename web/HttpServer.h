// The built-in web server: listens on one TCP port on all local IPv4
// addresses, serves every connection on a thread of its own, reads exactly one
// request per connection, hands it to the request handler and writes the
// response that the handler filled in, then closes the connection.
#pragma once

#include "web/HttpRequest.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace qeltv::web {

inline constexpr std::uint16_t kHttpDefaultPort = 80;
inline constexpr int kHttpListenBacklog = 15;
// How long Stop waits for the connection threads to end.
inline constexpr int kHttpStopWaitMs = 5000;
// The whole request, headers and body, must have arrived this long after the
// connection was admitted; otherwise the client is disconnected without a
// response. Counted once per request, not per read, so neither an idle client
// nor one that trickles its bytes can hold a connection slot forever.
inline constexpr int kHttpReadTimeoutMs = 30000;
// The request's first byte must have arrived this long after the connection
// was admitted: a client that connects and says nothing gives its slot back
// soon, to the connections waiting for it.
inline constexpr int kHttpFirstByteTimeoutMs = 3000;
// A connection beyond the limit waits this long for a free slot before it is
// refused. A browser loads a page, its stylesheet and its pictures over
// parallel connections; with a limit of 1 they are served one after another.
// Longer than the first-byte time-out, so a connection queued behind an idle
// one is served once the idle one is dropped.
inline constexpr int kHttpQueueWaitMs = 6000;
// Connections waiting for a slot at most; beyond, the refusal comes at once.
inline constexpr std::size_t kHttpMaxWaitingConnections = 64;
// A client that stops reading its response for this long is disconnected.
inline constexpr int kHttpWriteTimeoutMs = 30000;
// Connections served at once (one thread each) whatever maximum start() was
// given, "no limit" included; beyond it a connection waits and may be refused,
// so a flood of clients cannot exhaust the threads and memory of the
// process. Above the largest webcast client limit (255), so a configured
// maximum is what callers see in practice.
inline constexpr int kHttpMaxConnectionThreads = 256;

inline constexpr std::string_view kHttpRefusalText =
    "The maximum number of connections to this server has been reached. Try again later.";

class HttpServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    // A failure of the system: `error` is its errno, which callers can show
    // in their own words.
    HttpServerError(const std::string& what, int error) : std::runtime_error(what), error_(error) {}
    int systemError() const { return error_; }

private:
    int error_ = 0;
};

// The connection being served, as the handlers see it on its thread.
class HttpConnection {
public:
    HttpConnection(std::stop_token stop_token, std::string remote_address)
        : stop_token_(std::move(stop_token)), remote_address_(std::move(remote_address)) {}

    // Requested when the server stops. A handler that waits for another
    // thread (for instance the GUI thread, which may itself be stopping the
    // server) waits on this token too, and gives up when it is requested.
    const std::stop_token& stopToken() const { return stop_token_; }
    bool stopping() const { return stop_token_.stop_requested(); }
    const std::string& remoteAddress() const { return remote_address_; }

private:
    std::stop_token stop_token_;
    std::string remote_address_;
};

// Called once per request with the method GET, POST or HEAD. An exception it
// throws is answered with status 500 and the exception's message as body.
using HttpRequestHandler = std::function<void(HttpConnection& connection,
                                              const HttpRequest& request, HttpResponse& response)>;
// Called when a connection has been accepted, before its request is read.
using HttpConnectHandler = std::function<void(HttpConnection& connection)>;

struct HttpServerOptions {
    int read_timeout_ms = kHttpReadTimeoutMs;
    int first_byte_timeout_ms = kHttpFirstByteTimeoutMs;
    int queue_wait_ms = kHttpQueueWaitMs;
    int write_timeout_ms = kHttpWriteTimeoutMs;
    int stop_wait_ms = kHttpStopWaitMs;
    // At least 1.
    int max_connection_threads = kHttpMaxConnectionThreads;
};

// start(), stop(), active() and port() are called from one thread, the one
// that owns the server (the GUI thread), never from a handler.
class HttpServer {
public:
    // Throws std::invalid_argument when options.max_connection_threads < 1.
    explicit HttpServer(HttpRequestHandler handler, HttpConnectHandler on_connect = {},
                        HttpServerOptions options = {});
    // Stops the server; connection threads still running after the stop wait
    // are left to end on their own (they keep what they use alive).
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens on `port` (0 picks a free one), on all local IPv4
    // addresses, and accepts connections until stop(). `max_connections` is
    // the number of connections served at once; 0 means no limit of the
    // caller's, and the server's own cap on connection threads
    // (HttpServerOptions::max_connection_threads) holds in every case. Beyond
    // either, a connection gets the refusal text and is closed. On failure
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
    struct Shared;
    struct Listener;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Listener> listener_;
    std::uint16_t port_ = 0;
    bool active_ = false;
};

} // namespace qeltv::web
