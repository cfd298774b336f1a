// The web server under load leaks no thread, descriptor or heap memory.
#include "web/HttpServer.h"

#include "tests/web/test_http_client.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <malloc.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace qeltv::web;
using qeltv::web::test::exchange;
using qeltv::web::test::TestClient;

namespace {

constexpr int kConnectionsInARow = 10000;
constexpr int kConnectionsAtOnce = 255;
constexpr int kWarmUpConnections = 300;
// Connections made ahead of the server's accepting, well within the backlog.
constexpr int kConnectingAhead = kHttpListenBacklog / 2;
// Far below one byte per connection of the load, so any leak per
// connection shows.
constexpr std::size_t kHeapToleranceBytes = 4096;

struct Usage {
    std::size_t threads = 0;
    std::size_t descriptors = 0;
    std::size_t heap_bytes = 0;
};

std::size_t entries(const char* folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++count;
    return count;
}

Usage usage() {
    Usage u;
    u.threads = entries("/proc/self/task");
    u.descriptors = entries("/proc/self/fd");
    u.heap_bytes = mallinfo2().uordblks;
    return u;
}

const std::string kPage(2048, 'p');

// Lets handlers through in a crowd: each waits until `expected` have arrived.
class Crowd {
public:
    void wait(int expected) {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return arrived_ >= expected; });
    }
    int arrived() {
        std::lock_guard lock(mutex_);
        return arrived_;
    }
    void reset() {
        std::lock_guard lock(mutex_);
        arrived_ = 0;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int arrived_ = 0;
};

void runLoad(HttpServer& server, Crowd& crowd, int in_a_row, int at_once) {
    const std::string expected_tail = "\r\n\r\n" + kPage;
    for (int i = 0; i < in_a_row; ++i) {
        const auto reply = exchange(server.port(), "GET /index.html?n=1 HTTP/1.1\r\n\r\n");
        ASSERT_EQ(reply.substr(reply.size() - expected_tail.size()), expected_tail) << i;
    }
    crowd.reset();
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < at_once; ++i) {
        // Connections wait in the listen backlog until accepted; more than it
        // holds would be dropped by the kernel and retried a second later.
        for (int wait = 0;
             wait < 1000 && static_cast<int>(server.connectionCount()) < i - kConnectingAhead;
             ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        clients.push_back(std::make_unique<TestClient>(server.port()));
        clients.back()->send("GET /crowd HTTP/1.1\r\n\r\n");
    }
    for (auto& client : clients) {
        const auto reply = client->readAll();
        ASSERT_GE(reply.size(), expected_tail.size());
        ASSERT_EQ(reply.substr(reply.size() - expected_tail.size()), expected_tail);
    }
    EXPECT_EQ(crowd.arrived(), at_once);
}

} // namespace

// Guards against leaks per connection: threads are joined, sockets closed and
// every request's memory freed, after many connections in a row and the
// largest crowd the limit allows.
TEST(HttpServerLoad, NothingLeaksAfterManyConnections) {
    Crowd crowd;
    HttpServer server([&](HttpConnection&, const HttpRequest& request, HttpResponse& response) {
        if (request.document == "/crowd")
            crowd.wait(kConnectionsAtOnce); // all of them are served at once
        response.body_text = kPage;
    });
    // The first run settles what the process keeps once (thread caches,
    // allocator arenas), so the second measures what the load adds.
    server.start(0, kConnectionsAtOnce);
    runLoad(server, crowd, kWarmUpConnections, kConnectionsAtOnce);
    server.stop();
    const Usage before = usage();

    server.start(0, kConnectionsAtOnce);
    runLoad(server, crowd, kConnectionsInARow, kConnectionsAtOnce);
    server.stop();
    const Usage after = usage();

    EXPECT_EQ(after.threads, before.threads);
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_LE(after.heap_bytes, before.heap_bytes + kHeapToleranceBytes)
        << "before " << before.heap_bytes << " after " << after.heap_bytes;
}
