// The web server over real sockets on 127.0.0.1: raw request bytes in, raw
// response bytes out.
#include "web/HttpServer.h"

#include "tests/web/test_http_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

using namespace qeltv::web;
using qeltv::web::test::exchange;
using qeltv::web::test::TestClient;

namespace {

constexpr std::string_view kOkHead =
    "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: "
    "text/html\r\nContent-Length: 5\r\nServer: qELTV-HTTP/1.0\r\n\r\n";
// What a connection gets that found no slot in time: a real response, so a
// browser shows the reason.
const std::string kRefusal =
    "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Type: "
    "text/html\r\nContent-Length: 83\r\nServer: qELTV-HTTP/1.0\r\n\r\n"
    "The maximum number of connections to this server has been reached. Try again later.";
// A short wait for a slot, for the tests that see connections refused.
constexpr HttpServerOptions kShortQueue{.queue_wait_ms = 200};

// A gate that handlers wait at until the test opens it; counts who arrived.
class Gate {
public:
    void arrive() {
        std::lock_guard lock(mutex_);
        ++arrived_;
        changed_.notify_all();
    }
    void arriveAndWait() {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
    }
    bool waitForArrivals(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return arrived_ >= count; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int arrived_ = 0;
    bool open_ = false;
};

struct Seen {
    std::mutex mutex;
    std::vector<HttpRequest> requests;
    void add(const HttpRequest& r) {
        std::lock_guard lock(mutex);
        requests.push_back(r);
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return requests.size();
    }
};

// Answers "hello" and records every request it was given.
HttpRequestHandler helloHandler(Seen& seen) {
    return [&seen](HttpConnection&, const HttpRequest& request, HttpResponse& response) {
        seen.add(request);
        response.body_text = "hello";
    };
}

} // namespace

TEST(HttpServerExchange, GetIsAnsweredAndClosed) {
    Seen seen;
    HttpServer server(helloHandler(seen));
    server.start(0, 1);
    ASSERT_NE(server.port(), 0);
    const auto reply =
        exchange(server.port(), "GET /my%20page.html?action=nextchannel& HTTP/1.1\r\n"
                                "Host: tv.local:81\r\n\r\n");
    EXPECT_EQ(reply, std::string(kOkHead) + "hello");
    ASSERT_EQ(seen.count(), 1u);
    const auto& r = seen.requests[0];
    EXPECT_EQ(r.document, "/my page.html");
    EXPECT_EQ(r.params, (std::vector<std::string>{"action=nextchannel", ""}));
    EXPECT_EQ(r.host, "tv.local:81");
    EXPECT_EQ(r.remote_address, "127.0.0.1");
    server.stop();
    EXPECT_FALSE(server.active());
}

TEST(HttpServerExchange, OnlyTheFirstOfTwoRequestsIsAnswered) {
    Seen seen;
    HttpServer server(helloHandler(seen));
    server.start(0, 1);
    TestClient client(server.port());
    client.send("GET /first HTTP/1.1\r\n\r\nGET /second HTTP/1.1\r\n\r\n");
    bool closed = false;
    EXPECT_EQ(client.readAll(&closed), std::string(kOkHead) + "hello");
    EXPECT_TRUE(closed);
    ASSERT_EQ(seen.count(), 1u);
    EXPECT_EQ(seen.requests[0].document, "/first");
}

TEST(HttpServerExchange, HeadRunsTheHandlerAndSendsNoBody) {
    Seen seen;
    HttpServer server(helloHandler(seen));
    server.start(0, 1);
    EXPECT_EQ(exchange(server.port(), "HEAD / HTTP/1.1\r\n\r\n"), kOkHead);
    EXPECT_EQ(seen.count(), 1u);
}

TEST(HttpServerExchange, RefusedRequestsGetNoResponse) {
    Seen seen;
    HttpServer server(helloHandler(seen));
    server.start(0, 0);
    for (const std::string_view bytes :
         {"PUT / HTTP/1.1\r\n\r\n", "NOSPACES\r\n\r\n",
          "GET / HTTP/1.1\r\nAuthorization: Digest username=\"u\"\r\n\r\n",
          "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"}) {
        TestClient client(server.port());
        client.send(bytes);
        EXPECT_TRUE(client.closedWithoutReply()) << bytes;
    }
    EXPECT_EQ(seen.count(), 0u);
}

// Guards the body bound: the connection closes instead of reading on.
TEST(HttpServerExchange, OversizedBodyClosesTheConnection) {
    Seen seen;
    HttpServer server(helloHandler(seen));
    server.start(0, 0);
    TestClient client(server.port());
    client.send("POST / HTTP/1.1\r\n\r\n");
    const std::string chunk(64 * 1024, 'b');
    bool refused = false;
    try {
        for (std::size_t sent = 0; sent <= kHttpMaxBodyBytes + chunk.size(); sent += chunk.size())
            client.send(chunk);
        refused = client.closedWithoutReply();
    } catch (const std::runtime_error&) {
        refused = true; // the server reset the connection while we sent
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(seen.count(), 0u);
}

TEST(HttpServerExchange, PostBodyReadToTheClientsClose) {
    HttpServer server([](HttpConnection&, const HttpRequest& request, HttpResponse& response) {
        response.body_text = "[" + request.body + "]";
    });
    server.start(0, 1);
    TestClient client(server.port());
    client.send("POST /x HTTP/1.1\r\n\r\nuntil close");
    client.closeSending();
    const auto reply = client.readAll();
    EXPECT_EQ(reply.substr(reply.size() - 13), "[until close]");
}

TEST(HttpServerExchange, HandlerFailureIsAnsweredWith500) {
    HttpServer server([](HttpConnection&, const HttpRequest&, HttpResponse& response) {
        response.content_type = "image/jpeg";
        throw std::runtime_error("Template line too long");
    });
    server.start(0, 1);
    EXPECT_EQ(exchange(server.port(), "GET / HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Type: "
              "image/jpeg\r\nContent-Length: 22\r\nServer: qELTV-HTTP/1.0\r\n\r\nTemplate line "
              "too long");
}

TEST(HttpServerExchange, ChallengeAndStreamBodies) {
    HttpServer server([](HttpConnection&, const HttpRequest& request, HttpResponse& response) {
        if (request.document == "/secret") {
            response.realm = "qEL TV";
            response.setStatusCode(401);
        } else {
            response.content_type = "image/jpeg";
            response.body_stream = std::make_unique<std::stringstream>("\xff\xd8picture");
        }
    });
    server.start(0, 1);
    EXPECT_EQ(
        exchange(server.port(), "GET /secret HTTP/1.1\r\n\r\n"),
        "HTTP/1.1 401 Unauthorized\r\nConnection: close\r\nContent-Type: text/html\r\nServer: "
        "qELTV-HTTP/1.0\r\nWWW-Authenticate: Basic realm=\"qEL TV\"\r\n\r\n<HTML><BODY><B>401 "
        "Unauthorized</B></BODY></HTML>");
    EXPECT_EQ(exchange(server.port(), "GET /qeltv.jpg HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: image/jpeg\r\nContent-Length: "
              "9\r\nServer: qELTV-HTTP/1.0\r\n\r\n\xff\xd8picture");
}

TEST(HttpServerExchange, ConnectNotificationComesBeforeTheRequest) {
    // What happened, in order, from the connection threads.
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    auto note = [&](std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
        changed.notify_all();
    };
    HttpServer server(
        [&](HttpConnection&, const HttpRequest& request, HttpResponse& response) {
            note("request " + request.document);
            response.body_text = "hello";
        },
        [&](HttpConnection&) { note("connect"); });
    server.start(0, 0);
    {
        // A client that sends nothing is announced all the same.
        TestClient silent(server.port());
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::milliseconds(test::kClientWaitMs),
                                     [&] { return !events.empty(); }));
        EXPECT_EQ(events, std::vector<std::string>{"connect"});
    }
    EXPECT_EQ(exchange(server.port(), "GET /page HTTP/1.1\r\n\r\n"),
              std::string(kOkHead) + "hello");
    std::lock_guard lock(mutex);
    EXPECT_EQ(events, (std::vector<std::string>{"connect", "connect", "request /page"}));
}

TEST(HttpServerLimit, ConnectionBeyondTheMaximumGetsTheRefusal) {
    Gate gate;
    HttpServer server(
        [&](HttpConnection&, const HttpRequest&, HttpResponse& response) {
            gate.arriveAndWait();
            response.body_text = "hello";
        },
        {}, kShortQueue);
    server.start(0, 1);
    TestClient first(server.port());
    first.send("GET / HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(gate.waitForArrivals(1));
    {
        TestClient second(server.port());
        second.send("GET / HTTP/1.1\r\n\r\n");
        bool closed = false;
        EXPECT_EQ(second.readAll(&closed), kRefusal);
        EXPECT_TRUE(closed);
    }
    gate.open();
    EXPECT_EQ(first.readAll(), std::string(kOkHead) + "hello");
    // The slot is free again once the first connection has ended.
    for (int i = 0; i < 500 && server.connectionCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(exchange(server.port(), "GET / HTTP/1.1\r\n\r\n"), std::string(kOkHead) + "hello");
}

// A client that connects again as soon as it has read a whole response (as
// load tools and browsers do, before the server's close arrives) is served,
// not refused because the last connection's thread has not ended yet.
TEST(HttpServerLimit, ClientThatReconnectsAfterItsResponseIsServed) {
    constexpr int kRounds = 300;
    HttpServer server([](HttpConnection&, const HttpRequest&, HttpResponse& response) {
        response.body_text = "hello";
    });
    server.start(0, 1);
    const std::string expected = std::string(kOkHead) + "hello";
    int refused = 0;
    for (int round = 0; round < kRounds; ++round) {
        TestClient client(server.port());
        client.send("GET / HTTP/1.1\r\n\r\n");
        // Read exactly the response, not up to the close.
        std::string received;
        char byte = 0;
        while (received.size() < expected.size() && ::recv(client.fd(), &byte, 1, 0) == 1)
            received += byte;
        if (received != expected)
            ++refused;
    }
    EXPECT_EQ(refused, 0);
}

TEST(HttpServerLimit, ManyClientsAtOnceUpToTheLimit) {
    constexpr int kClients = 8;
    Gate gate;
    HttpServer server(
        [&](HttpConnection&, const HttpRequest&, HttpResponse& response) {
            gate.arriveAndWait();
            response.body_text = "hello";
        },
        {}, kShortQueue);
    server.start(0, kClients);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<TestClient>(server.port()));
        clients.back()->send("GET / HTTP/1.1\r\n\r\n");
    }
    ASSERT_TRUE(gate.waitForArrivals(kClients));
    EXPECT_EQ(server.connectionCount(), static_cast<std::size_t>(kClients));
    EXPECT_EQ(exchange(server.port(), "GET / HTTP/1.1\r\n\r\n"), kRefusal);
    gate.open();
    for (auto& client : clients)
        EXPECT_EQ(client->readAll(), std::string(kOkHead) + "hello");
}

// A browser loads a page's stylesheet and pictures over parallel
// connections: beyond the limit they wait for a slot, in the order they came,
// and are served, never more at once than the limit.
TEST(HttpServerLimit, ConnectionsBeyondTheLimitWaitForASlotInTurn) {
    constexpr int kClients = 4;
    std::mutex mutex;
    std::vector<std::string> order;
    std::atomic<int> serving = 0;
    std::atomic<int> most = 0;
    Gate gate;
    HttpServer server([&](HttpConnection&, const HttpRequest& request, HttpResponse& response) {
        most = std::max(most.load(), ++serving);
        {
            std::lock_guard lock(mutex);
            order.push_back(request.document);
        }
        if (request.document == "/0")
            gate.arriveAndWait();
        --serving;
        response.body_text = "hello";
    });
    server.start(0, 1);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<TestClient>(server.port()));
        clients.back()->send("GET /" + std::to_string(i) + " HTTP/1.1\r\n\r\n");
        if (i == 0)
            ASSERT_TRUE(gate.waitForArrivals(1));
        else // each queued behind the last
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(server.connectionCount(), 1u);
    gate.open();
    for (auto& client : clients)
        EXPECT_EQ(client->readAll(), std::string(kOkHead) + "hello");
    EXPECT_EQ(order, (std::vector<std::string>{"/0", "/1", "/2", "/3"}));
    EXPECT_EQ(most.load(), 1);
}

// A client that connects and sends nothing gives the only slot back after the
// first-byte time-out, and the request queued behind it is served: with the
// default time-outs, within the queue wait.
TEST(HttpServerTimeout, IdleConnectionGivesItsSlotToAWaitingOne) {
    static_assert(kHttpFirstByteTimeoutMs < kHttpQueueWaitMs);
    Seen seen;
    HttpServer server(helloHandler(seen));
    server.start(0, 1);
    TestClient idle(server.port());
    for (int i = 0; i < 500 && server.connectionCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server.connectionCount(), 1u);
    TestClient page(server.port());
    page.send("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(page.readAll(nullptr, kHttpQueueWaitMs + 2000), std::string(kOkHead) + "hello");
    EXPECT_TRUE(idle.closedWithoutReply());
    EXPECT_EQ(seen.count(), 1u);
}

// Guards the read time-out: an idle client cannot hold the only slot.
TEST(HttpServerTimeout, IdleClientIsDisconnected) {
    Seen seen;
    HttpServerOptions timeouts = kShortQueue;
    timeouts.read_timeout_ms = 200;
    // The first connection's read time-out starts only after its connect
    // notification, which waits here until the second client was refused:
    // the refusal does not race the time-out.
    Gate firstConnect;
    std::atomic<int> connects = 0;
    HttpServer server(
        helloHandler(seen),
        [&](HttpConnection&) {
            if (++connects == 1)
                firstConnect.arriveAndWait();
        },
        timeouts);
    server.start(0, 1);
    TestClient idle(server.port());
    ASSERT_TRUE(firstConnect.waitForArrivals(1));
    TestClient half(server.port()); // refused: the idle one holds the slot
    EXPECT_EQ(half.readAll(), kRefusal);
    firstConnect.open();
    EXPECT_TRUE(idle.closedWithoutReply());

    TestClient stalled(server.port());
    stalled.send("GET / HTTP/1.1\r\nHost: x\r\n");
    EXPECT_TRUE(stalled.closedWithoutReply());
    for (int i = 0; i < 500 && server.connectionCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(exchange(server.port(), "GET / HTTP/1.1\r\n\r\n"), std::string(kOkHead) + "hello");
    EXPECT_EQ(seen.count(), 1u);
}

// Guards the write time-out: a client that stops reading its response
// cannot hold the slot either.
TEST(HttpServerTimeout, ClientThatDoesNotReadIsDisconnected) {
    const std::string large(64 * 1024 * 1024, 'x'); // more than the socket buffers hold
    HttpServerOptions timeouts;
    timeouts.write_timeout_ms = 200;
    // The read time-out is far off, so only the write time-out can end the
    // connection early.
    timeouts.read_timeout_ms = 60'000;
    Gate handled;
    HttpServer server(
        [&](HttpConnection&, const HttpRequest&, HttpResponse& response) {
            response.body_text = large;
            handled.arrive();
        },
        {}, timeouts);
    server.start(0, 1);
    TestClient stuck(server.port());
    stuck.send("GET / HTTP/1.1\r\n\r\n");
    // The request was read and the response is being written.
    ASSERT_TRUE(handled.waitForArrivals(1));
    for (int i = 0; i < 1000 && server.connectionCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(server.connectionCount(), 0u);
    // What got through before the server gave up: the head and part of the
    // body, then the close.
    bool closed = false;
    const std::string received = stuck.readAll(&closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(received.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << received.substr(0, 80);
    EXPECT_LT(received.size(), large.size());
}

TEST(HttpServerStop, IdleClientsAreDisconnectedAtOnce) {
    Seen seen;
    HttpServer server(helloHandler(seen));
    server.start(0, 0);
    TestClient idle(server.port());
    TestClient partial(server.port());
    partial.send("GET / HTTP/1.1\r\n");
    for (int i = 0; i < 500 && server.connectionCount() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto before = std::chrono::steady_clock::now();
    server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    EXPECT_FALSE(server.active());
    EXPECT_EQ(server.connectionCount(), 0u);
    EXPECT_TRUE(idle.closedWithoutReply(1000));
    EXPECT_TRUE(partial.closedWithoutReply(1000));
    EXPECT_EQ(seen.count(), 0u);
}

// Guards stopping from a thread that a handler waits for: the handler's wait
// ends with the stop token, so stop needs no help from the waiting thread.
TEST(HttpServerStop, HandlerWaitingOnTheStopTokenEndsWithStop) {
    std::atomic<bool> saw_stop = false;
    Gate entered;
    HttpServer server([&](HttpConnection& connection, const HttpRequest&, HttpResponse&) {
        std::mutex mutex;
        std::condition_variable_any never_done;
        std::unique_lock lock(mutex);
        entered.arrive();
        never_done.wait(lock, connection.stopToken(), [] { return false; });
        saw_stop = connection.stopping();
    });
    server.start(0, 1);
    TestClient busy(server.port());
    busy.send("GET / HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(entered.waitForArrivals(1));
    server.stop();
    EXPECT_TRUE(saw_stop);
    EXPECT_FALSE(server.active());
    bool closed = false;
    busy.readAll(&closed, 1000);
    EXPECT_TRUE(closed);
}

TEST(HttpServerStop, HandlerThatDoesNotEndFailsTheStop) {
    Gate gate;
    HttpServerOptions timeouts;
    timeouts.stop_wait_ms = 300;
    HttpServer server(
        [&](HttpConnection&, const HttpRequest&, HttpResponse&) { gate.arriveAndWait(); }, {},
        timeouts);
    server.start(0, 1);
    TestClient busy(server.port());
    busy.send("GET / HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(gate.waitForArrivals(1));
    try {
        server.stop();
        FAIL() << "stop succeeded with a running handler";
    } catch (const HttpServerError& error) {
        EXPECT_STREQ(error.what(), "Terminate Thread Timeout");
    }
    EXPECT_TRUE(server.active());
    EXPECT_EQ(server.connectionCount(), 1u);
    gate.open();
    server.stop();
    EXPECT_FALSE(server.active());
    EXPECT_EQ(server.connectionCount(), 0u);
}

TEST(HttpServerLifecycle, RestartOnANewPortAndOnTheSamePort) {
    Seen seen;
    HttpServer server(helloHandler(seen));
    server.start(0, 1);
    const auto first_port = server.port();
    EXPECT_EQ(exchange(first_port, "GET / HTTP/1.1\r\n\r\n"), std::string(kOkHead) + "hello");
    server.stop();
    EXPECT_THROW(TestClient{first_port}, std::runtime_error);

    // A port that is free now: take one from the system and give it back.
    HttpServer probe(helloHandler(seen));
    probe.start(0, 1);
    const auto new_port = probe.port();
    probe.stop();
    ASSERT_NE(new_port, first_port);
    server.start(new_port, 1);
    EXPECT_EQ(server.port(), new_port);
    EXPECT_EQ(exchange(new_port, "GET / HTTP/1.1\r\n\r\n"), std::string(kOkHead) + "hello");
    server.stop();

    // Served connections leave the port in TIME_WAIT; a restart still binds.
    server.start(new_port, 1);
    EXPECT_EQ(exchange(new_port, "GET / HTTP/1.1\r\n\r\n"), std::string(kOkHead) + "hello");
    server.stop();
}

TEST(HttpServerLifecycle, PortInUseLeavesTheServerInactive) {
    Seen seen;
    HttpServer holder(helloHandler(seen));
    holder.start(0, 1);
    HttpServer server(helloHandler(seen));
    try {
        server.start(holder.port(), 1);
        FAIL() << "bound a port in use";
    } catch (const HttpServerError& error) {
        EXPECT_STREQ(error.what(), "Could not bind socket. Address and port are already in use.");
    }
    EXPECT_FALSE(server.active());
    EXPECT_NO_THROW(server.stop());
    server.start(0, 1);
    try {
        server.start(0, 1);
        FAIL() << "started twice";
    } catch (const HttpServerError& error) {
        EXPECT_STREQ(error.what(), "The server is already active.");
    }
}

// Guards the whole-request bound: a client that sends one byte at a time,
// each well within the read time-out, is still disconnected without a
// response once the read time-out has passed since its connection started,
// and the slot it held serves the next client.
TEST(HttpServerTimeout, TricklingClientIsDisconnectedAtTheBound) {
    constexpr int kReadTimeoutMs = 500;
    constexpr int kByteIntervalMs = 50;
    // Trickling stops here, long after the bound: reaching it means the
    // server never ended the connection.
    constexpr int kMaxTrickledBytes = 400;
    Seen seen;
    HttpServerOptions options;
    options.read_timeout_ms = kReadTimeoutMs;
    HttpServer server(helloHandler(seen), {}, options);
    server.start(0, 1);
    {
        TestClient trickler(server.port());
        const std::string head = "GET / HTTP/1.1\r\nX-Slow: ";
        std::string received;
        bool closed = false;
        int sent = 0;
        for (; !closed && sent < kMaxTrickledBytes; ++sent) {
            const auto index = static_cast<std::size_t>(sent);
            trickler.send(std::string(1, index < head.size() ? head[index] : 'a'));
            received += trickler.readAll(&closed, kByteIntervalMs);
        }
        EXPECT_TRUE(closed) << "still connected after " << sent << " bytes";
        EXPECT_EQ(received, "");
    }
    EXPECT_EQ(seen.count(), 0u);
    for (int i = 0; i < 500 && server.connectionCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(exchange(server.port(), "GET / HTTP/1.1\r\n\r\n"), std::string(kOkHead) + "hello");
}

// Guards the cap on connection threads: "no limit" (0) still refuses the
// connection beyond the cap, with the refusal text of a configured limit,
// and a configured limit above the cap is held to the cap as well.
TEST(HttpServerLimit, ThreadCapHoldsWithoutALimitAndAboveIt) {
    constexpr int kCap = 3;
    for (int max_connections : {0, kCap + 5}) {
        Gate gate;
        HttpServerOptions options = kShortQueue;
        options.max_connection_threads = kCap;
        HttpServer server(
            [&](HttpConnection&, const HttpRequest&, HttpResponse& response) {
                gate.arriveAndWait();
                response.body_text = "hello";
            },
            {}, options);
        server.start(0, max_connections);
        std::vector<std::unique_ptr<TestClient>> clients;
        for (int i = 0; i < kCap; ++i) {
            clients.push_back(std::make_unique<TestClient>(server.port()));
            clients.back()->send("GET / HTTP/1.1\r\n\r\n");
        }
        ASSERT_TRUE(gate.waitForArrivals(kCap)) << "limit " << max_connections;
        EXPECT_EQ(server.connectionCount(), static_cast<std::size_t>(kCap));
        EXPECT_EQ(exchange(server.port(), "GET / HTTP/1.1\r\n\r\n"), kRefusal)
            << "limit " << max_connections;
        gate.open();
        for (auto& client : clients)
            EXPECT_EQ(client->readAll(), std::string(kOkHead) + "hello");
    }
    EXPECT_THROW(HttpServer([](HttpConnection&, const HttpRequest&, HttpResponse&) {}, {},
                            HttpServerOptions{.max_connection_threads = 0}),
                 std::invalid_argument);
}
