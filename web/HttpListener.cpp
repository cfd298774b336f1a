#include "web/HttpListener.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <deque>
#include <list>
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
constexpr int kServiceUnavailable = 503;

std::string errorText(int error) {
    return std::system_category().message(error);
}

// Ends our side, discards what the client has already sent and closes.
void closeGracefully(UniqueFd fd) {
    if (!fd)
        return;
    ::shutdown(fd.get(), SHUT_WR);
    char buffer[4096];
    std::size_t drained = 0;
    while (drained < kCloseDrainBytes) {
        const auto n = ::recv(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0)
            break;
        drained += static_cast<std::size_t>(n);
    }
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

} // namespace

std::string httpRefusal(std::string_view body_text, std::string_view content_type) {
    HttpResponse response;
    response.setStatusCode(kServiceUnavailable);
    response.content_type = std::string(content_type);
    response.body_text = std::string(body_text);
    return writeHttpResponseHead(response) + httpResponseBody(response);
}

namespace detail {

struct ListenerConnection {
    // Empty once its thread takes it to close or it was handed over; guarded
    // by the listener's lock.
    UniqueFd fd;
    // Holds one of the limited slots until the response is on its way or the
    // slot is handed over (guarded by the listener's lock).
    bool holds_slot = true;
    std::chrono::steady_clock::time_point admitted_at;
    std::stop_source stop;
    std::thread thread;
};

struct ListenerState : std::enable_shared_from_this<ListenerState> {
    HttpListenerHandler handler;
    HttpConnectHandler on_connect;
    HttpListenerOptions options;
    std::string refusal;

    // Guards everything below.
    std::mutex mutex;
    std::condition_variable connection_ended;
    std::list<std::shared_ptr<ListenerConnection>> connections;
    std::vector<std::thread> ended_threads; // to be joined
    // Admitted connections waiting for a slot, oldest first; they hold no
    // thread.
    struct Waiting {
        UniqueFd fd;
        std::string remote_address;
        std::chrono::steady_clock::time_point deadline;
    };
    std::deque<Waiting> waiting;
    bool accepting = false;
    int max_connections = 0;
    // Slots of handed-over sockets; counted for the current run only.
    std::size_t slots_outside = 0;
    std::uint64_t run = 0;
    // Wakes the accept loop when the listener stops.
    UniqueFd wake;

    void acceptLoop(int listen_fd);
    void admit(UniqueFd fd, const std::string& remote_address);
    void serve(const std::shared_ptr<ListenerConnection>& connection,
               const std::string& remote_address);
    void refuse(UniqueFd fd) const;
    void joinEndedThreads();
    void releaseOutsideSlot(std::uint64_t slot_run);
    // The rest run under the lock.
    std::size_t slotsTaken() const;
    bool full() const;
    void startConnection(UniqueFd fd, const std::string& remote_address);
    // Starts the waiting connections that have a free slot now.
    void admitWaiting();
};

// Answers a connection that found no slot in time with a real HTTP response,
// so that a browser shows the reason rather than a broken resource.
void ListenerState::refuse(UniqueFd fd) const {
    ::send(fd.get(), refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    closeGracefully(std::move(fd));
}

void ListenerState::joinEndedThreads() {
    std::vector<std::thread> ended;
    {
        std::lock_guard lock(mutex);
        ended.swap(ended_threads);
    }
    for (auto& thread : ended)
        thread.join();
}

void ListenerState::acceptLoop(int listen_fd) {
    while (true) {
        // Sleeps until a client connects, the oldest waiting connection's
        // time is up, or the listener stops.
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
            refuse(std::move(fd));
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

std::size_t ListenerState::slotsTaken() const {
    return slots_outside +
           static_cast<std::size_t>(std::count_if(
               connections.begin(), connections.end(),
               [](const std::shared_ptr<ListenerConnection>& c) { return c->holds_slot; }));
}

bool ListenerState::full() const {
    // A connection whose response is on its way holds no slot, though its
    // thread may not have ended yet; the threads themselves stay capped.
    return (max_connections > 0 && slotsTaken() >= static_cast<std::size_t>(max_connections)) ||
           connections.size() >= static_cast<std::size_t>(options.max_connection_threads);
}

void ListenerState::admit(UniqueFd fd, const std::string& remote_address) {
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
    refuse(std::move(fd));
}

void ListenerState::admitWaiting() {
    while (!waiting.empty() && !full()) {
        Waiting next = std::move(waiting.front());
        waiting.pop_front();
        startConnection(std::move(next.fd), next.remote_address);
    }
}

void ListenerState::releaseOutsideSlot(std::uint64_t slot_run) {
    std::lock_guard lock(mutex);
    if (slot_run != run || slots_outside == 0)
        return;
    --slots_outside;
    if (accepting)
        admitWaiting();
}

void ListenerState::startConnection(UniqueFd fd, const std::string& remote_address) {
    setTimeout(fd.get(), SO_SNDTIMEO, options.write_timeout_ms);
    auto connection = std::make_shared<ListenerConnection>();
    connection->fd = std::move(fd);
    connection->admitted_at = std::chrono::steady_clock::now();
    try {
        // Started under the lock: the thread removes itself from the list
        // under the same lock, so it is registered before it can end.
        connection->thread = std::thread([self = shared_from_this(), connection, remote_address] {
            self->serve(connection, remote_address);
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
            closeGracefully(std::move(own_fd));
        });
    } catch (const std::system_error&) {
        // The connection, and with it the socket, goes with this scope.
        return;
    }
    connections.push_back(std::move(connection));
}

void ListenerState::serve(const std::shared_ptr<ListenerConnection>& connection,
                          const std::string& remote_address) {
    const int fd = connection->fd.get(); // stays open until this thread takes it
    const auto request_deadline =
        connection->admitted_at + std::chrono::milliseconds(options.read_timeout_ms);
    HttpAcceptedConnection accepted(shared_from_this(), connection, connection->stop.get_token(),
                                    remote_address, fd, request_deadline);
    try {
        if (on_connect)
            on_connect(accepted);
        auto request = readRequest(
            fd, connection->admitted_at + std::chrono::milliseconds(options.first_byte_timeout_ms),
            request_deadline);
        if (!request || accepted.stopping())
            return;
        request->remote_address = remote_address;
        handler(accepted, *request);
    } catch (...) {
        // A request that may not be served, or a failing handler: the
        // connection is closed without (the rest of) a response.
    }
}

} // namespace detail

void HttpSlot::release() {
    if (auto state = std::move(state_))
        state->releaseOutsideSlot(run_);
}

void HttpAcceptedConnection::releaseSlot() {
    std::lock_guard lock(state_->mutex);
    if (!connection_->holds_slot)
        return;
    connection_->holds_slot = false;
    if (state_->accepting)
        state_->admitWaiting();
}

std::pair<UniqueFd, HttpSlot> HttpAcceptedConnection::handOver() {
    std::lock_guard lock(state_->mutex);
    UniqueFd fd = std::move(connection_->fd);
    if (!connection_->holds_slot)
        return {std::move(fd), HttpSlot()};
    connection_->holds_slot = false;
    ++state_->slots_outside;
    return {std::move(fd), HttpSlot(state_, state_->run)};
}

struct HttpListener::Accepting {
    UniqueFd fd;
    std::thread thread;
};

HttpListener::HttpListener(HttpListenerHandler handler, std::string refusal,
                           HttpListenerOptions options, HttpConnectHandler on_connect)
    : state_(std::make_shared<detail::ListenerState>()) {
    if (options.max_connection_threads < 1)
        throw std::invalid_argument("The server needs at least one connection thread.");
    state_->handler = std::move(handler);
    state_->on_connect = std::move(on_connect);
    state_->options = options;
    state_->refusal = std::move(refusal);
}

HttpListener::~HttpListener() {
    try {
        stop();
    } catch (const HttpServerError&) {
        // Threads that did not end in time keep the shared state alive and
        // end on their own.
        {
            std::lock_guard lock(state_->mutex);
            for (auto& connection : state_->connections)
                if (connection->thread.joinable())
                    connection->thread.detach();
        }
        state_->joinEndedThreads();
    }
}

void HttpListener::start(std::uint16_t port, int max_connections) {
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
    if (::listen(fd.get(), state_->options.listen_backlog) < 0)
        fail("Could not listen on socket: ", errno);
    socklen_t length = sizeof address;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) < 0)
        fail("Could not read the socket's port: ", errno);

    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake)
        fail("Could not create the listener's wake-up: ", errno);
    {
        std::lock_guard lock(state_->mutex);
        state_->accepting = true;
        state_->max_connections = max_connections;
        state_->slots_outside = 0;
        ++state_->run;
        state_->wake = std::move(wake);
    }
    auto accepting = std::make_unique<Accepting>();
    accepting->fd = std::move(fd);
    try {
        // The socket outlives the thread: stop() joins before closing.
        accepting->thread = std::thread(
            [state = state_, listen_fd = accepting->fd.get()] { state->acceptLoop(listen_fd); });
    } catch (const std::system_error& failure) {
        std::lock_guard lock(state_->mutex);
        state_->accepting = false;
        throw HttpServerError(std::string("Could not start the listener thread: ") +
                              failure.what() + ".");
    }
    accepting_ = std::move(accepting);
    port_ = ntohs(address.sin_port);
    active_ = true;
}

void HttpListener::stop() {
    if (!active_)
        return;
    if (accepting_) {
        std::deque<detail::ListenerState::Waiting> waiting;
        {
            std::lock_guard lock(state_->mutex);
            state_->accepting = false;
            waiting.swap(state_->waiting);
        }
        // Connections still waiting for a slot are closed unanswered.
        waiting.clear();
        // Wakes the accept loop.
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto woken = ::write(state_->wake.get(), &one, sizeof one);
        accepting_->thread.join();
        accepting_.reset();
    }
    std::vector<std::stop_source> stops;
    std::unique_lock lock(state_->mutex);
    for (auto& connection : state_->connections) {
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
    const bool all_ended = state_->connection_ended.wait_for(
        lock, std::chrono::milliseconds(state_->options.stop_wait_ms),
        [this] { return state_->connections.empty(); });
    lock.unlock();
    state_->joinEndedThreads();
    if (!all_ended)
        throw HttpServerError("Terminate Thread Timeout");
    active_ = false;
}

bool HttpListener::active() const {
    return active_;
}

std::uint16_t HttpListener::port() const {
    return port_;
}

std::size_t HttpListener::connectionCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections.size();
}

std::size_t HttpListener::slotsTaken() const {
    std::lock_guard lock(state_->mutex);
    return state_->slotsTaken();
}

} // namespace qeltv::web
