// The listening side of every HTTP service of the program (the web pages and
// the webcast): the listening socket on all local IPv4 addresses, the accept
// loop, the limit on connections served at once with its short wait for a
// free slot and its refusal, the deadlines for a request to arrive, and the
// rules for stopping. Each admitted connection gets a thread of its own that
// reads exactly one request and gives it to the listener's handler, which
// either answers on the socket or hands the socket, with its slot, to someone
// who keeps serving it (the webcast's stream).
#pragma once

#include "common/UniqueFd.h"
#include "web/HttpRequest.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>

namespace qeltv::web {

inline constexpr int kHttpListenBacklog = 15;
// How long stop() waits for the connection threads to end.
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
// Connection threads at once whatever maximum start() was given, "no limit"
// included; beyond it a connection waits and may be refused, so a flood of
// clients cannot exhaust the threads and memory of the process. Above the
// largest webcast client limit (255), so a configured maximum is what callers
// see in practice.
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

    // Requested when the listener stops. A handler that waits for another
    // thread (for instance the GUI thread, which may itself be stopping the
    // server) waits on this token too, and gives up when it is requested.
    const std::stop_token& stopToken() const { return stop_token_; }
    bool stopping() const { return stop_token_.stop_requested(); }
    const std::string& remoteAddress() const { return remote_address_; }

private:
    std::stop_token stop_token_;
    std::string remote_address_;
};

// Called when a connection has been admitted, before its request is read.
using HttpConnectHandler = std::function<void(HttpConnection& connection)>;

struct HttpListenerOptions {
    int read_timeout_ms = kHttpReadTimeoutMs;
    int first_byte_timeout_ms = kHttpFirstByteTimeoutMs;
    int queue_wait_ms = kHttpQueueWaitMs;
    int write_timeout_ms = kHttpWriteTimeoutMs;
    int stop_wait_ms = kHttpStopWaitMs;
    // At least 1.
    int max_connection_threads = kHttpMaxConnectionThreads;
    int listen_backlog = kHttpListenBacklog;
};

namespace detail {
struct ListenerState;
struct ListenerConnection;
} // namespace detail

// A connection slot held outside the listener, by whoever serves a socket
// that was handed over. Given back when released or destroyed, from any
// thread, also after the listener stopped (a slot of an earlier run is then
// no longer counted).
class HttpSlot {
public:
    HttpSlot() = default;
    ~HttpSlot() { release(); }
    HttpSlot(HttpSlot&& other) noexcept = default;
    HttpSlot& operator=(HttpSlot&& other) noexcept {
        if (this != &other) {
            release();
            state_ = std::move(other.state_);
            run_ = other.run_;
        }
        return *this;
    }
    HttpSlot(const HttpSlot&) = delete;
    HttpSlot& operator=(const HttpSlot&) = delete;

    void release();
    explicit operator bool() const { return state_ != nullptr; }

private:
    friend class HttpAcceptedConnection;
    HttpSlot(std::shared_ptr<detail::ListenerState> state, std::uint64_t run)
        : state_(std::move(state)), run_(run) {}
    std::shared_ptr<detail::ListenerState> state_;
    std::uint64_t run_ = 0;
};

// The connection as the listener's handler sees it: its socket, its
// deadline, and its slot.
class HttpAcceptedConnection : public HttpConnection {
public:
    // Open until the handler returns, unless it was handed over.
    int socket() const { return socket_; }
    // When the whole request had to be there; a handler that waits for
    // something before it answers waits no longer than this.
    std::chrono::steady_clock::time_point requestDeadline() const { return request_deadline_; }
    // The response is on its way: the slot goes to the next connection now,
    // so a client that connects again as soon as it has read its whole
    // response is served, though this thread has not closed yet.
    void releaseSlot();
    // The socket and the slot leave the listener: the socket is the caller's
    // from now on (stop no longer reaches it), and the slot stays taken until
    // the HttpSlot returned is released or destroyed.
    std::pair<UniqueFd, HttpSlot> handOver();

private:
    friend struct detail::ListenerState;
    HttpAcceptedConnection(std::shared_ptr<detail::ListenerState> state,
                           std::shared_ptr<detail::ListenerConnection> connection,
                           std::stop_token stop_token, std::string remote_address, int socket,
                           std::chrono::steady_clock::time_point request_deadline)
        : HttpConnection(std::move(stop_token), std::move(remote_address)),
          state_(std::move(state)), connection_(std::move(connection)), socket_(socket),
          request_deadline_(request_deadline) {}

    std::shared_ptr<detail::ListenerState> state_;
    std::shared_ptr<detail::ListenerConnection> connection_;
    int socket_;
    std::chrono::steady_clock::time_point request_deadline_;
};

// Called once per connection, on its thread, with the request read from it
// (the remote address filled in). When it returns, the socket (unless handed
// over) is closed. A connection whose request does not arrive in time or may
// not be served is closed without calling it, and so is one that throws.
using HttpListenerHandler =
    std::function<void(HttpAcceptedConnection& connection, HttpRequest& request)>;

// The answer of a connection that found no slot in time: 503 with the body
// text given, as one piece of bytes.
std::string httpRefusal(std::string_view body_text, std::string_view content_type = "text/html");

// start(), stop(), active() and port() are called from one thread, the one
// that owns the listener, never from a handler.
class HttpListener {
public:
    // `refusal`: the bytes sent to a connection that finds no slot in time
    // (see httpRefusal). Throws std::invalid_argument when
    // options.max_connection_threads < 1.
    HttpListener(HttpListenerHandler handler, std::string refusal, HttpListenerOptions options = {},
                 HttpConnectHandler on_connect = {});
    // Stops; connection threads still running after the stop wait are left to
    // end on their own (they keep what they use alive).
    ~HttpListener();
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;

    // Binds and listens on `port` (0 picks a free one) on all local IPv4
    // addresses, and admits connections until stop(). `max_connections` is
    // the number of slots, the connections served at once, handed-over ones
    // included; 0 means no limit of the caller's, and the cap on connection
    // threads holds in every case. Beyond either, a connection waits up to
    // the queue wait for a slot, and then gets the refusal. On failure throws
    // HttpServerError (with the errno) and the listener stays inactive.
    void start(std::uint16_t port, int max_connections);
    // Stops admitting, closes the listening socket and the connections
    // waiting for a slot, disconnects every connection being served,
    // requests their stop tokens and waits for their threads to end. Throws
    // HttpServerError("Terminate Thread Timeout") when some still run after
    // the stop wait; the listener then stays active, and a later stop() waits
    // for them again. Handed-over sockets are their new owner's to close.
    void stop();

    bool active() const;
    // The port listened on; valid while active.
    std::uint16_t port() const;
    // Connection threads running now.
    std::size_t connectionCount() const;
    // Slots taken now: by connections being served and by handed-over
    // sockets not yet released.
    std::size_t slotsTaken() const;

private:
    struct Accepting;
    std::shared_ptr<detail::ListenerState> state_;
    std::unique_ptr<Accepting> accepting_;
    std::uint16_t port_ = 0;
    bool active_ = false;
};

} // namespace qeltv::web
