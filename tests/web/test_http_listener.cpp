// The listener's rules, tested once for both of its users over real sockets
// on 127.0.0.1: the web server (its handler answers on the connection's
// thread) and the webcast's network sink (its handler hands the socket and
// the slot to the running webcast writer's multisocketsink). Each case runs
// for both; what differs is how a client is seen being served and how the
// service of the client that holds the slot ends.
#include "capture/WebmWriter.h"
#include "web/HttpListener.h"
#include "web/HttpServer.h"

#include "tests/web/test_http_client.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

using namespace qeltv;
using namespace qeltv::web;
using qeltv::web::test::TestClient;

namespace {

// Bounds of the waits for the webcast's stream: generous for a loaded
// two-core machine.
constexpr int kStreamWaitMs = 20000;
// Short limits, so that a case sees the queue wait end. The first-byte
// deadline stays shorter than the queue wait, as the defaults have it.
constexpr int kFirstByteMs = 300;
constexpr int kQueueWaitMs = 2000;
static_assert(kFirstByteMs < kQueueWaitMs);

HttpListenerOptions shortOptions() {
    HttpListenerOptions options;
    options.first_byte_timeout_ms = kFirstByteMs;
    options.queue_wait_ms = kQueueWaitMs;
    return options;
}

// Polls `done` until it holds or the wait is over.
template <typename Done> bool eventually(Done done, int wait_ms = test::kClientWaitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// One user of the listener, as a client sees it.
class ListenerUser {
public:
    virtual ~ListenerUser() = default;
    // Starts listening on a free port with room for `max_connections`.
    virtual std::uint16_t start(int max_connections, HttpListenerOptions options) = 0;
    virtual void stop() = 0;
    virtual std::size_t slotsTaken() const = 0;
    // The bytes of a refusal with a limit of 1.
    virtual std::string refusal() const = 0;
    // Sends the request of client number `id`.
    virtual void ask(TestClient& client, int id) = 0;
    // True once client `id`, which has asked, is being served (it holds a
    // slot and its request reached the handler) within `wait_ms`.
    virtual bool served(TestClient& client, int id, int wait_ms) = 0;
    // Ends the service of client `id`, which is being served.
    virtual void finish(std::unique_ptr<TestClient>& client, int id) = 0;
};

// The pages: a handler that keeps its slot until the test lets it answer
// (or the server stops).
class PagesUser : public ListenerUser {
public:
    std::uint16_t start(int max_connections, HttpListenerOptions options) override {
        server_ = std::make_unique<HttpServer>(
            [this](HttpConnection& connection, const HttpRequest& request, HttpResponse& response) {
                std::unique_lock lock(mutex_);
                seen_.insert(request.document);
                changed_.notify_all();
                changed_.wait(lock, connection.stopToken(),
                              [&] { return finished_.count(request.document) > 0; });
                response.body_text = "hello";
            },
            HttpConnectHandler{}, options);
        server_->start(0, max_connections);
        return server_->port();
    }
    void stop() override { server_->stop(); }
    std::size_t slotsTaken() const override { return server_->connectionCount(); }
    std::string refusal() const override {
        return "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Type: "
               "text/html\r\nContent-Length: 83\r\nServer: qELTV-HTTP/1.0\r\n\r\n"
               "The maximum number of connections to this server has been reached. Try again "
               "later.";
    }
    void ask(TestClient& client, int id) override {
        client.send("GET /" + std::to_string(id) + " HTTP/1.1\r\n\r\n");
    }
    bool served(TestClient&, int id, int wait_ms) override {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(wait_ms),
                                 [&] { return seen_.count("/" + std::to_string(id)) > 0; });
    }
    void finish(std::unique_ptr<TestClient>& client, int id) override {
        {
            std::lock_guard lock(mutex_);
            finished_.insert("/" + std::to_string(id));
            changed_.notify_all();
        }
        EXPECT_EQ(client->readAll().substr(0, 17), "HTTP/1.1 200 OK\r\n");
        client.reset();
    }

private:
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::set<std::string> seen_;
    std::set<std::string> finished_;
    std::unique_ptr<HttpServer> server_;
};

// The webcast: the writer's filter fed by live test sources in a running
// pipeline; a client is served once it receives the stream.
class WebcastUser : public ListenerUser {
public:
    WebcastUser() {
        gst_init(nullptr, nullptr);
        writer_ = std::dynamic_pointer_cast<WebmWriterFilter>(CreateWebmWriterFilter("ASFWriter"));
        // The richest profile: a client that stops reading falls behind soon.
        writer_->ConfigureFilterUsingProfile(WebcastProfileAt(kWebcastProfileCount - 1));
        pipeline_ = GstOwned<GstElement>::sink(gst_pipeline_new(nullptr));
        GstElement* video = gst_parse_bin_from_description(
            "videotestsrc is-live=true pattern=snow ! "
            "video/x-raw,format=I420,width=320,height=240,framerate=25/1",
            TRUE, nullptr);
        GstElement* audio = gst_parse_bin_from_description(
            "audiotestsrc is-live=true ! audio/x-raw,rate=44100,channels=2", TRUE, nullptr);
        gst_bin_add_many(GST_BIN(pipeline_.get()), video, audio, writer_->element(), nullptr);
        EXPECT_TRUE(gst_element_link_pads(video, "src", writer_->element(), "Video"));
        EXPECT_TRUE(gst_element_link_pads(audio, "src", writer_->element(), "Audio"));
        EXPECT_NE(gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING),
                  GST_STATE_CHANGE_FAILURE);
    }
    ~WebcastUser() override {
        sink_.reset();
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    }
    std::uint16_t start(int max_connections, HttpListenerOptions options) override {
        sink_.reset();
        sink_ =
            std::make_unique<WebcastNetworkSink>(writer_->socketSink(), max_connections, options);
        EXPECT_EQ(sink_->Open(0), "");
        return static_cast<std::uint16_t>(sink_->port());
    }
    void stop() override { sink_->Close(); }
    std::size_t slotsTaken() const override {
        return static_cast<std::size_t>(sink_->clientCount());
    }
    std::string refusal() const override {
        return "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Type: "
               "text/plain\r\nContent-Length: 74\r\nServer: qELTV-HTTP/1.0\r\n\r\n"
               "The webcast is serving its maximum of 1 clients. Please try again later.\r\n";
    }
    void ask(TestClient& client, int) override { client.send("GET / HTTP/1.1\r\n\r\n"); }
    bool served(TestClient& client, int, int wait_ms) override {
        // The stream's head, then stream data.
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: video/webm\r\n";
        std::string received;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        while (received.size() < head.size() + 1000 && std::chrono::steady_clock::now() < end) {
            bool closed = false;
            received += client.readAll(&closed, 100);
            if (closed)
                break;
        }
        return received.size() >= head.size() + 1000 && received.rfind(head, 0) == 0;
    }
    void finish(std::unique_ptr<TestClient>& client, int) override { client.reset(); }

private:
    std::shared_ptr<WebmWriterFilter> writer_;
    GstOwned<GstElement> pipeline_;
    std::unique_ptr<WebcastNetworkSink> sink_;
};

class HttpListenerRules : public ::testing::TestWithParam<bool> {
protected:
    HttpListenerRules() {
        if (GetParam())
            user_ = std::make_unique<WebcastUser>();
        else
            user_ = std::make_unique<PagesUser>();
    }
    ListenerUser& user() { return *user_; }

private:
    std::unique_ptr<ListenerUser> user_;
};

} // namespace

// With a limit of 1, a client that connects and says nothing holds the slot
// only until the first-byte deadline: the request queued behind it is served
// within the queue wait, and the idle one is closed without a reply.
TEST_P(HttpListenerRules, IdleConnectionGivesTheOnlySlotAwayAtTheFirstByteDeadline) {
    const auto port = user().start(1, shortOptions());
    TestClient idle(port);
    ASSERT_TRUE(eventually([&] { return user().slotsTaken() == 1; }));
    auto client = std::make_unique<TestClient>(port);
    user().ask(*client, 1);
    EXPECT_TRUE(user().served(*client, 1, kQueueWaitMs + kStreamWaitMs));
    EXPECT_TRUE(idle.closedWithoutReply());
    user().finish(client, 1);
}

// A connection beyond the limit waits: it is served once the slot frees
// within the queue wait, and refused with a real 503 when the slot stays
// taken; the one served keeps being served.
TEST_P(HttpListenerRules, ConnectionBeyondTheLimitWaitsAndIsServedOrRefused) {
    auto port = user().start(1, shortOptions());
    {
        auto holder = std::make_unique<TestClient>(port);
        user().ask(*holder, 1);
        ASSERT_TRUE(user().served(*holder, 1, kStreamWaitMs));
        auto waiter = std::make_unique<TestClient>(port);
        user().ask(*waiter, 2);
        EXPECT_FALSE(user().served(*waiter, 2, kQueueWaitMs / 4)) << "served beyond the limit";
        user().finish(holder, 1);
        EXPECT_TRUE(user().served(*waiter, 2, kStreamWaitMs));
        EXPECT_EQ(user().slotsTaken(), 1u);
        user().finish(waiter, 2);
    }
    user().stop();

    port = user().start(1, shortOptions());
    auto holder = std::make_unique<TestClient>(port);
    user().ask(*holder, 3);
    ASSERT_TRUE(user().served(*holder, 3, kStreamWaitMs));
    TestClient refused(port);
    user().ask(refused, 4);
    bool closed = false;
    EXPECT_EQ(refused.readAll(&closed, kQueueWaitMs + test::kClientWaitMs), user().refusal());
    EXPECT_TRUE(closed);
    EXPECT_EQ(user().slotsTaken(), 1u);
    user().finish(holder, 3);
}

// Stop closes the connection being served and the one waiting for a slot
// (unanswered), and the port.
TEST_P(HttpListenerRules, StopClosesServedAndWaitingConnections) {
    const auto port = user().start(1, shortOptions());
    TestClient holder(port);
    user().ask(holder, 1);
    ASSERT_TRUE(user().served(holder, 1, kStreamWaitMs));
    TestClient waiting(port);
    user().ask(waiting, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    user().stop();
    bool closed = false;
    holder.readAll(&closed);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(waiting.closedWithoutReply());
    EXPECT_THROW(TestClient{port}, std::runtime_error);
}

INSTANTIATE_TEST_SUITE_P(PagesAndWebcast, HttpListenerRules, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Webcast" : "Pages");
                         });

// A webcast client that stops reading is dropped by the stream, and its slot
// serves the connection that waits for it.
TEST(WebcastListener, StalledClientIsDroppedAndItsSlotServesTheNext) {
    WebcastUser user;
    HttpListenerOptions options = shortOptions();
    // Long enough for the stream to give up on the stalled client.
    options.queue_wait_ms = 3 * kStreamWaitMs;
    const auto port = user.start(1, options);
    TestClient stalled(port);
    const int small = 4096;
    ::setsockopt(stalled.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    user.ask(stalled, 1);
    ASSERT_TRUE(eventually([&] { return user.slotsTaken() == 1; }));
    auto next = std::make_unique<TestClient>(port);
    user.ask(*next, 2);
    EXPECT_TRUE(user.served(*next, 2, options.queue_wait_ms));
    EXPECT_EQ(user.slotsTaken(), 1u);
    // What the stalled client was sent ends with the close.
    bool closed = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStreamWaitMs);
    while (!closed && std::chrono::steady_clock::now() < end)
        stalled.readAll(&closed, 100);
    EXPECT_TRUE(closed);
}
