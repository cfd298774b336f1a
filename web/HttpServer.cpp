#include "web/HttpServer.h"

#include "common/UniqueFd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qeltv::web {

namespace {

constexpr std::size_t kReadChunkBytes = 16384;
// Bytes of a client's late input discarded before closing, so that the close
// does not reset the connection and destroy the response on its way.
constexpr std::size_t kCloseDrainBytes = 65536;
// Pause before accepting again after a failed accept, such as running out of
// descriptors.
constexpr int kAcceptRetryDelayMs = 10;
constexpr int kInternalServerError = 500;

std::string errorText(int error) {
    return std::system_category().message(error);
}

// Ends our side, discards what the client has already sent and closes.
void closeGracefully(int fd) {
    ::shutdown(fd, SHUT_WR);
    char buffer[4096];
    std::size_t drained = 0;
    while (drained < kCloseDrainBytes) {
        const auto n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0)
            break;
        drained += static_cast<std::size_t>(n);
    }
}

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

// One request from the connection; nothing when the client went away, sent
// no byte by `first_byte_deadline`, or had not completed the request by
// `deadline`. Throws HttpRequestError for a request that may not be served.
std::optional<HttpRequest> readRequest(int fd,
                                       std::chrono::steady_clock::time_point first_byte_deadline,
                                       std::chrono::steady_clock::time_point deadline) {
    HttpRequestParser parser;
    char buffer[kReadChunkBytes];
    bool any_byte = false;
    while (!parser.complete()) {
        const auto now_deadline = any_byte ? deadline : std::min(first_byte_deadline, deadline);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            now_deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        const auto wait_ms =
            static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), INT_MAX));
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, wait_ms);
        if (polled == 0)
            return std::nullopt;
        if (polled < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        const auto n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0) {
            parser.finishInput();
            break;
        }
        any_byte = true;
        parser.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    return std::move(parser.request());
}

std::string peerAddress(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

void setTimeout(int fd, int option, int timeout_ms) {
    timeval timeout{};
    timeout.tv_sec = timeout_ms / 1000;
    timeout.tv_usec = (timeout_ms % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, option, &timeout, sizeof timeout);
}

struct Connection {
    UniqueFd fd; // empty once its thread takes it to close; guarded by the server's lock
    // Holds one of the limited connection slots; given back once the
    // response is on its way (guarded by the server's lock).
    bool holds_slot = true;
    std::chrono::steady_clock::time_point admitted_at;
    std::stop_source stop;
    std::thread thread;
};

// Answers a connection that found no slot in time with a real HTTP response,
// so that a browser shows the reason rather than a broken resource.
void refuse(int fd) {
    HttpResponse response;
    response.setStatusCode(503);
    response.body_text = std::string(kHttpRefusalText);
    const std::string bytes = writeHttpResponseHead(response) + httpResponseBody(response);
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    closeGracefully(fd);
}

} // namespace

struct HttpServer::Shared : std::enable_shared_from_this<HttpServer::Shared> {
    HttpRequestHandler handler;
    HttpConnectHandler on_connect;
    HttpServerOptions options;

    // Guards everything below: the list of connections being served.
    std::mutex mutex;
    std::condition_variable connection_ended;
    std::list<std::shared_ptr<Connection>> connections;
    std::vector<std::thread> ended_threads; // to be joined
    // Accepted connections waiting for a slot, oldest first; they hold no
    // thread.
    struct Waiting {
        UniqueFd fd;
        std::string remote_address;
        std::chrono::steady_clock::time_point deadline;
    };
    std::deque<Waiting> waiting;
    bool accepting = false;
    int max_connections = 0;
    // Wakes the accept loop when the server stops.
    UniqueFd wake;

    void acceptLoop(int listen_fd);
    void admit(UniqueFd fd, const std::string& remote_address);
    // The rest run under the lock.
    bool full() const;
    void startConnection(UniqueFd fd, const std::string& remote_address);
    // Starts the waiting connections that have a free slot now.
    void admitWaiting();
    void serve(Connection& connection, const std::string& remote_address);
    void joinEndedThreads();
};

struct HttpServer::Listener {
    UniqueFd fd;
    std::thread thread;
};

void HttpServer::Shared::joinEndedThreads() {
    std::vector<std::thread> ended;
    {
        std::lock_guard lock(mutex);
        ended.swap(ended_threads);
    }
    for (auto& thread : ended)
        thread.join();
}

void HttpServer::Shared::acceptLoop(int listen_fd) {
    while (true) {
        // Sleeps until a client connects, the oldest waiting connection's
        // time is up, or the server stops.
        int wait_ms = -1;
        std::vector<UniqueFd> expired;
        {
            std::lock_guard lock(mutex);
            if (!accepting)
                return;
            const auto now = std::chrono::steady_clock::now();
            while (!waiting.empty() && waiting.front().deadline <= now) {
                expired.push_back(std::move(waiting.front().fd));
                waiting.pop_front();
            }
            if (!waiting.empty())
                wait_ms = static_cast<int>(
                    std::chrono::ceil<std::chrono::milliseconds>(waiting.front().deadline - now)
                        .count());
        }
        for (auto& fd : expired)
            refuse(fd.get());
        expired.clear();
        pollfd ready[2] = {{listen_fd, POLLIN, 0}, {wake.get(), POLLIN, 0}};
        if (::poll(ready, 2, wait_ms) <= 0)
            continue;
        if (ready[1].revents != 0)
            continue; // the stop: seen at the top
        sockaddr_in address{};
        socklen_t length = sizeof address;
        UniqueFd fd(
            ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC));
        const int accept_error = errno;
        joinEndedThreads();
        if (fd) {
            admit(std::move(fd), peerAddress(address));
            continue;
        }
        // A client that gave up before being accepted is no reason to pause;
        // anything else (out of descriptors or memory) would repeat at once.
        if (accept_error != EINTR && accept_error != ECONNABORTED && accept_error != EAGAIN)
            std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptRetryDelayMs));
    }
}

bool HttpServer::Shared::full() const {
    // A connection whose response is on its way holds no slot: a client that
    // connects again as soon as it has read its whole response is served,
    // though the last thread may not have closed yet. The threads themselves
    // stay capped.
    const auto holding = static_cast<std::size_t>(
        std::count_if(connections.begin(), connections.end(),
                      [](const std::shared_ptr<Connection>& c) { return c->holds_slot; }));
    return (max_connections > 0 && holding >= static_cast<std::size_t>(max_connections)) ||
           connections.size() >= static_cast<std::size_t>(options.max_connection_threads);
}

void HttpServer::Shared::admit(UniqueFd fd, const std::string& remote_address) {
    std::unique_lock lock(mutex);
    if (!accepting)
        return;
    // First come, first served: a new connection never overtakes one that
    // waits.
    if (waiting.empty() && !full()) {
        startConnection(std::move(fd), remote_address);
        return;
    }
    if (waiting.size() < kHttpMaxWaitingConnections) {
        setTimeout(fd.get(), SO_SNDTIMEO, options.write_timeout_ms);
        waiting.push_back(
            {std::move(fd), remote_address,
             std::chrono::steady_clock::now() + std::chrono::milliseconds(options.queue_wait_ms)});
        return;
    }
    lock.unlock();
    refuse(fd.get());
}

void HttpServer::Shared::admitWaiting() {
    while (!waiting.empty() && !full()) {
        Waiting next = std::move(waiting.front());
        waiting.pop_front();
        startConnection(std::move(next.fd), next.remote_address);
    }
}

void HttpServer::Shared::startConnection(UniqueFd fd, const std::string& remote_address) {
    setTimeout(fd.get(), SO_SNDTIMEO, options.write_timeout_ms);
    auto connection = std::make_shared<Connection>();
    connection->fd = std::move(fd);
    connection->admitted_at = std::chrono::steady_clock::now();
    try {
        // Started under the lock: the thread removes itself from the list
        // under the same lock, so it is registered before it can end.
        connection->thread = std::thread([self = shared_from_this(), connection, remote_address] {
            self->serve(*connection, remote_address);
            // The slot is given back before the client sees the close, so a
            // client that connects again once this one ended is served.
            UniqueFd own_fd;
            {
                std::lock_guard end_lock(self->mutex);
                own_fd = std::move(connection->fd);
                self->connections.remove(connection);
                self->ended_threads.push_back(std::move(connection->thread));
                self->connection_ended.notify_all();
                if (self->accepting)
                    self->admitWaiting();
            }
            closeGracefully(own_fd.get());
        });
    } catch (const std::system_error&) {
        // The connection, and with it the socket, goes with this scope.
        return;
    }
    connections.push_back(std::move(connection));
}

void HttpServer::Shared::serve(Connection& connection, const std::string& remote_address) {
    HttpConnection context(connection.stop.get_token(), remote_address);
    const int fd = connection.fd.get(); // stays open until this thread takes it
    try {
        if (on_connect)
            on_connect(context);
        auto request = readRequest(
            fd, connection.admitted_at + std::chrono::milliseconds(options.first_byte_timeout_ms),
            connection.admitted_at + std::chrono::milliseconds(options.read_timeout_ms));
        if (request && !context.stopping()) {
            request->remote_address = remote_address;
            HttpResponse response;
            try {
                handler(context, *request, response);
            } catch (const std::exception& failure) {
                response.setStatusCode(kInternalServerError);
                response.body_text = failure.what();
            } catch (...) {
                response.setStatusCode(kInternalServerError);
                response.body_text = "Unknown failure.";
            }
            std::string bytes = writeHttpResponseHead(response);
            if (request->command != "HEAD")
                bytes += httpResponseBody(response);
            response.body_stream.reset();
            {
                std::lock_guard lock(mutex);
                connection.holds_slot = false;
                if (accepting)
                    admitWaiting();
            }
            sendAll(fd, bytes);
        }
    } catch (...) {
        // A request that may not be served, or a failing connect handler:
        // the connection is closed without a response.
    }
}

HttpServer::HttpServer(HttpRequestHandler handler, HttpConnectHandler on_connect,
                       HttpServerOptions options)
    : shared_(std::make_shared<Shared>()) {
    if (options.max_connection_threads < 1)
        throw std::invalid_argument("The server needs at least one connection thread.");
    shared_->handler = std::move(handler);
    shared_->on_connect = std::move(on_connect);
    shared_->options = options;
}

HttpServer::~HttpServer() {
    try {
        stop();
    } catch (const HttpServerError&) {
        // Threads that did not end in time keep the shared state alive and
        // end on their own.
        {
            std::lock_guard lock(shared_->mutex);
            for (auto& connection : shared_->connections)
                if (connection->thread.joinable())
                    connection->thread.detach();
        }
        shared_->joinEndedThreads();
    }
}

void HttpServer::start(std::uint16_t port, int max_connections) {
    if (active_)
        throw HttpServerError("The server is already active.");
    // Non-blocking: the accept loop waits in poll, and a client that gave up
    // between poll and accept must not block it.
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        const int error = errno;
        throw HttpServerError("Could not create socket: " + errorText(error) + ".", error);
    }
    // Lets a restart bind while connections of the last run are in TIME_WAIT;
    // a port that another socket listens on is still refused.
    const int reuse = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    auto fail = [](const std::string& what, int error) {
        if (error == EADDRINUSE)
            throw HttpServerError("Could not bind socket. Address and port are already in use.",
                                  error);
        throw HttpServerError(what + errorText(error) + ".", error);
    };
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0)
        fail("Could not bind socket. ", errno);
    if (::listen(fd.get(), kHttpListenBacklog) < 0)
        fail("Could not listen on socket: ", errno);
    socklen_t length = sizeof address;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) < 0)
        fail("Could not read the socket's port: ", errno);

    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake)
        fail("Could not create the listener's wake-up: ", errno);
    {
        std::lock_guard lock(shared_->mutex);
        shared_->accepting = true;
        shared_->max_connections = max_connections;
        shared_->wake = std::move(wake);
    }
    auto listener = std::make_unique<Listener>();
    listener->fd = std::move(fd);
    try {
        // The listener outlives its thread: stop() joins before closing.
        listener->thread = std::thread(
            [shared = shared_, listen_fd = listener->fd.get()] { shared->acceptLoop(listen_fd); });
    } catch (const std::system_error& failure) {
        std::lock_guard lock(shared_->mutex);
        shared_->accepting = false;
        throw HttpServerError(std::string("Could not start the listener thread: ") +
                              failure.what() + ".");
    }
    listener_ = std::move(listener);
    port_ = ntohs(address.sin_port);
    active_ = true;
}

void HttpServer::stop() {
    if (!active_)
        return;
    if (listener_) {
        {
            std::lock_guard lock(shared_->mutex);
            shared_->accepting = false;
            // Connections still waiting for a slot are closed unanswered.
            shared_->waiting.clear();
        }
        // Wakes the accept loop.
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto woken = ::write(shared_->wake.get(), &one, sizeof one);
        listener_->thread.join();
        listener_.reset();
    }
    std::vector<std::stop_source> stops;
    std::unique_lock lock(shared_->mutex);
    for (auto& connection : shared_->connections) {
        stops.push_back(connection->stop);
        // Blocked reads and writes return at once.
        if (connection->fd)
            ::shutdown(connection->fd.get(), SHUT_RDWR);
    }
    lock.unlock();
    // Outside the lock: stop callbacks of the handlers run right here.
    for (auto& stop : stops)
        stop.request_stop();
    lock.lock();
    const bool all_ended = shared_->connection_ended.wait_for(
        lock, std::chrono::milliseconds(shared_->options.stop_wait_ms),
        [this] { return shared_->connections.empty(); });
    lock.unlock();
    shared_->joinEndedThreads();
    if (!all_ended)
        throw HttpServerError("Terminate Thread Timeout");
    active_ = false;
}

bool HttpServer::active() const {
    return active_;
}

std::uint16_t HttpServer::port() const {
    return port_;
}

std::size_t HttpServer::connectionCount() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->connections.size();
}

} // namespace qeltv::web
