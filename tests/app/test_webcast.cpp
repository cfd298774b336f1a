// The webcast as clients see it: the session core on the Virtual TV Card in
// webcast mode, real HTTP clients on 127.0.0.1, GStreamer's discoverer on
// what a client received, and Debian's chromium playing the stream.
#include "app/session/TvSession.h"
#include "app/uFrmMain.h"
#include "common/UniqueFd.h"
#include "tests/app/FreePort.h"
#include "tests/app/GuiTest.h"
#include "tests/app/SessionSupport.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QSpinBox>
#include <QTest>

#include <gst/pbutils/pbutils.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <thread>

using namespace qeltv;
using namespace qeltv::test;

namespace qeltv {
template <> struct GstRefTraits<GstDiscoverer> : GObjectRefTraits<GstDiscoverer> {};
template <> struct GstRefTraits<GstDiscovererInfo> : GObjectRefTraits<GstDiscovererInfo> {};
} // namespace qeltv

namespace {

// Bounds of every wait: generous for a loaded two-core machine.
constexpr int kWait_ms = 20000;
constexpr int kBrowserWait_ms = 90000;

UniqueFd Connect(int port, int receiveBuffer = 0) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (receiveBuffer > 0)
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return UniqueFd();
    return fd;
}

void Send(const UniqueFd& fd, const std::string& text) {
    ASSERT_EQ(::send(fd.get(), text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
}

// Reads what arrives within timeout_ms; empty at the end of the stream, and
// `closed` tells it apart from a time-out.
std::string ReadSome(const UniqueFd& fd, int timeout_ms, bool* closed = nullptr) {
    pollfd p{fd.get(), POLLIN, 0};
    if (closed)
        *closed = false;
    if (::poll(&p, 1, timeout_ms) <= 0)
        return {};
    char buffer[65536];
    const ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (got <= 0) {
        if (closed)
            *closed = true;
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(got));
}

// Reads until the text holds `bytes` bytes or the stream ends; false on a
// stream that ends or stalls for timeout_ms.
bool ReadAtLeast(const UniqueFd& fd, std::string& text, std::size_t bytes,
                 int timeout_ms = kWait_ms) {
    while (text.size() < bytes) {
        bool closed = false;
        const std::string more = ReadSome(fd, timeout_ms, &closed);
        if (more.empty())
            return false;
        text += more;
    }
    return true;
}

// Reads until the other side closes; true when it did within timeout_ms.
bool ReadsToEnd(const UniqueFd& fd, int timeout_ms = kWait_ms, std::string* text = nullptr) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        bool closed = false;
        const std::string more = ReadSome(fd, 200, &closed);
        if (text)
            *text += more;
        if (closed)
            return true;
    }
    return false;
}

// The response head (up to the empty line) of a request; the rest of what
// was read stays in body.
std::string Request(const UniqueFd& fd, const std::string& method, std::string& body) {
    Send(fd, method + " / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    std::string text;
    std::size_t end;
    while ((end = text.find("\r\n\r\n")) == std::string::npos) {
        const std::string more = ReadSome(fd, kWait_ms);
        if (more.empty())
            return text;
        text += more;
    }
    body = text.substr(end + 4);
    return text.substr(0, end + 4);
}

const std::string kStreamHead = "HTTP/1.1 200 OK\r\n"
                                "Content-Type: video/webm\r\n"
                                "Cache-Control: no-cache\r\n"
                                "Connection: close\r\n"
                                "Server: qELTV-HTTP/1.0\r\n"
                                "\r\n";

// A session on the Virtual TV Card with the webcast options given.
struct Session {
    QTemporaryDir dir;
    FakeView view;
    std::unique_ptr<TvSession> core;

    Session() {
        core = std::make_unique<TvSession>(TempPaths(dir), nullptr, view);
        view.session = core.get();
        core->start(std::nullopt);
        EXPECT_TRUE(view.errors.isEmpty()) << view.errors.join("; ").toStdString();
    }
    void startWebcast(int port, int maxClients, int profile = 0) {
        WebOptions options = core->webcast().options();
        options.webcastPort = port;
        options.maxClients = maxClients;
        options.profileIndex = profile;
        core->webcast().setOptions(options);
        core->setWebcast(true);
        ASSERT_EQ(core->graphMode(), GraphMode::Webcast);
        ASSERT_TRUE(view.boxes.isEmpty()) << view.boxes.join("; ").toStdString();
    }
    WebcastNetworkSink* sink() { return core->graphBuilder().ASFWriter.networkSink(); }
};

struct Streams {
    std::string video, audio;
    unsigned width = 0, height = 0;
};

// What the discoverer finds in a file: the caps of its streams.
Streams Discover(const std::string& file) {
    Streams found;
    GstOwned<GError> error;
    auto discoverer =
        GstOwned<GstDiscoverer>::adopt(gst_discoverer_new(10 * GST_SECOND, error.out()));
    if (!discoverer) {
        ADD_FAILURE() << "no discoverer";
        return found;
    }
    const std::string uri = "file://" + file;
    auto info = GstOwned<GstDiscovererInfo>::adopt(
        gst_discoverer_discover_uri(discoverer.get(), uri.c_str(), error.out()));
    if (!info) {
        ADD_FAILURE() << "not discovered: " << (error ? error->message : "?");
        return found;
    }
    GList* streams = gst_discoverer_info_get_stream_list(info.get());
    for (GList* l = streams; l; l = l->next) {
        auto* stream = static_cast<GstDiscovererStreamInfo*>(l->data);
        CapsRef caps(gst_discoverer_stream_info_get_caps(stream));
        const std::string name = gst_structure_get_name(gst_caps_get_structure(caps.get(), 0));
        if (GST_IS_DISCOVERER_VIDEO_INFO(stream)) {
            found.video = name;
            found.width = gst_discoverer_video_info_get_width(GST_DISCOVERER_VIDEO_INFO(stream));
            found.height = gst_discoverer_video_info_get_height(GST_DISCOVERER_VIDEO_INFO(stream));
        } else if (GST_IS_DISCOVERER_AUDIO_INFO(stream)) {
            found.audio = name;
        }
    }
    gst_discoverer_stream_info_list_free(streams);
    return found;
}

} // namespace

// What a client receives is VP8 at 320 by 240 and Vorbis in WebM, behind the
// streaming head; HEAD gets the head alone; the capture pin runs at the
// webcast format and gets the capture settings back when the webcast ends,
// which closes the client and the port.
TEST(Webcast, ClientReceivesDecodableWebm) {
    Session s;
    const int port = FreePort();
    s.startWebcast(port, 2);
    EXPECT_EQ(s.view.captions.back(), QString("Webcasting at port %1").arg(port));
    EXPECT_TRUE(s.core->graphBuilder().graph().FindFilterByName("ASFWriter"));
    MediaType format;
    ASSERT_TRUE(s.core->graphBuilder().capturePin());
    s.core->graphBuilder().capturePin()->GetFormat(format);
    EXPECT_EQ(format.video.biWidth, 320);
    EXPECT_EQ(format.video.biHeight, 240);
    EXPECT_EQ(format.video.AvgTimePerFrame, 400000);

    {
        UniqueFd head = Connect(port);
        ASSERT_TRUE(head);
        std::string body;
        EXPECT_EQ(Request(head, "HEAD", body), kStreamHead);
        std::string rest;
        EXPECT_TRUE(ReadsToEnd(head, kWait_ms, &rest));
        EXPECT_EQ(body + rest, "");
    }

    UniqueFd client = Connect(port);
    ASSERT_TRUE(client);
    std::string stream;
    ASSERT_EQ(Request(client, "GET", stream), kStreamHead);
    // Three seconds of what the client receives.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end)
        stream += ReadSome(client, 100);
    ASSERT_GT(stream.size(), 1000u);
    const std::string file = (s.dir.path() + "/received.webm").toStdString();
    std::ofstream(file, std::ios::binary) << stream;
    const Streams found = Discover(file);
    EXPECT_EQ(found.video, "video/x-vp8");
    EXPECT_EQ(found.width, 320u);
    EXPECT_EQ(found.height, 240u);
    EXPECT_EQ(found.audio, "audio/x-vorbis");

    s.core->setWebcast(false);
    EXPECT_EQ(s.core->graphMode(), GraphMode::Preview);
    EXPECT_FALSE(s.core->graphBuilder().graph().FindFilterByName("ASFWriter"));
    EXPECT_TRUE(ReadsToEnd(client));
    EXPECT_FALSE(Connect(port));
    s.core->graphBuilder().capturePin()->GetFormat(format);
    EXPECT_EQ(format.video.biWidth, s.core->settings().CaptureWidth);
    EXPECT_EQ(format.video.biHeight, s.core->settings().CaptureHeight);
}

// With one client allowed a second one gets 503 while the first reads and is
// served once the first has gone; with 255, 255 clients read at once.
TEST(Webcast, ClientLimit) {
    Session s;
    const int port = FreePort();
    s.startWebcast(port, 1);
    UniqueFd first = Connect(port);
    std::string firstData;
    ASSERT_EQ(Request(first, "GET", firstData), kStreamHead);
    ASSERT_TRUE(ReadAtLeast(first, firstData, 1000));
    {
        UniqueFd second = Connect(port);
        std::string body;
        const std::string head = Request(second, "GET", body);
        EXPECT_EQ(head.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << head;
        std::string rest;
        EXPECT_TRUE(ReadsToEnd(second, kWait_ms, &rest));
        EXPECT_EQ(body + rest, "The webcast is serving its maximum of 1 clients. Please try again "
                               "later.\r\n");
    }
    first.reset();
    // The slot is free as soon as the sink has seen the first one go.
    bool served = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait_ms);
    while (!served && std::chrono::steady_clock::now() < end) {
        UniqueFd again = Connect(port);
        std::string data;
        served = Request(again, "GET", data) == kStreamHead && ReadAtLeast(again, data, 1000);
    }
    EXPECT_TRUE(served);

    s.core->setWebcast(false);
    const int bigPort = FreePort();
    s.startWebcast(bigPort, kMaxWebcastClients);
    std::vector<UniqueFd> clients;
    std::vector<std::string> data(kMaxWebcastClients);
    for (int i = 0; i < kMaxWebcastClients; ++i) {
        clients.push_back(Connect(bigPort));
        ASSERT_TRUE(clients.back()) << i;
        Send(clients.back(), "GET / HTTP/1.1\r\n\r\n");
    }
    // Every client gets the head and stream data, read side by side.
    constexpr std::size_t kEnough = 2000;
    std::size_t satisfied = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(3 * kWait_ms);
    while (satisfied < clients.size() && std::chrono::steady_clock::now() < until) {
        std::vector<pollfd> fds;
        for (auto& c : clients)
            fds.push_back({c.get(), POLLIN, 0});
        ::poll(fds.data(), fds.size(), 200);
        satisfied = 0;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (fds[i].revents & POLLIN) {
                char buffer[16384];
                const ssize_t got = ::recv(clients[i].get(), buffer, sizeof buffer, 0);
                if (got > 0)
                    data[i].append(buffer, static_cast<std::size_t>(got));
            }
            if (data[i].size() >= kEnough)
                ++satisfied;
        }
    }
    EXPECT_EQ(satisfied, clients.size());
    for (std::size_t i = 0; i < clients.size(); ++i)
        EXPECT_EQ(data[i].rfind(kStreamHead, 0), 0u) << i;
    EXPECT_EQ(s.sink()->clientCount(), kMaxWebcastClients);
}

// A client that never reads is dropped without holding the others; leaving
// the webcast closes every client; the port can be taken again at once; a
// port in use is said in the caption and the status bar.
TEST(Webcast, StalledClientLeavingAndPortInUse) {
    Session s;
    const int port = FreePort();
    // The richest profile, so the stalled client's buffers fill quickly.
    s.startWebcast(port, 3, 26);
    UniqueFd stalled = Connect(port, 4096);
    Send(stalled, "GET / HTTP/1.1\r\n\r\n");
    UniqueFd reader = Connect(port);
    std::string data;
    ASSERT_EQ(Request(reader, "GET", data), kStreamHead);
    // The reader keeps receiving while the stalled client falls behind,
    // until the sink drops it.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(3 * kWait_ms);
    bool droppedOne = false;
    while (!droppedOne && std::chrono::steady_clock::now() < end) {
        const std::string more = ReadSome(reader, kWait_ms);
        ASSERT_FALSE(more.empty()) << "the reader was held up";
        data += more;
        droppedOne = s.sink()->clientCount() == 1;
    }
    EXPECT_TRUE(droppedOne);
    std::string after;
    EXPECT_TRUE(ReadAtLeast(reader, after, 10000));
    // What the stalled client was sent ends with the close.
    EXPECT_TRUE(ReadsToEnd(stalled, 3 * kWait_ms));

    // Leaving closes every client and the port; the same port opens again
    // at once.
    UniqueFd another = Connect(port);
    std::string anotherData;
    ASSERT_EQ(Request(another, "GET", anotherData), kStreamHead);
    s.core->setWebcast(false);
    EXPECT_TRUE(ReadsToEnd(reader));
    EXPECT_TRUE(ReadsToEnd(another));
    EXPECT_FALSE(Connect(port));
    s.startWebcast(port, 1);
    EXPECT_EQ(s.view.captions.back(), QString("Webcasting at port %1").arg(port));
    UniqueFd again = Connect(port);
    std::string againData;
    EXPECT_EQ(Request(again, "GET", againData), kStreamHead);
    again.reset();
    s.core->setWebcast(false);

    // A port someone else holds.
    UniqueFd holder(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(holder.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(holder.get(), 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(holder.get(), reinterpret_cast<sockaddr*>(&a), &len);
    const int busy = ntohs(a.sin_port);
    s.startWebcast(busy, 1);
    const QString expected =
        QString("Webcast: could not open port %1: Address already in use").arg(busy);
    EXPECT_EQ(s.view.captions.back(), expected);
    EXPECT_EQ(s.view.statuses.back(), expected);
    EXPECT_EQ(s.core->graphMode(), GraphMode::Webcast);
    EXPECT_EQ(s.sink(), nullptr);
}

// The list holds the 15 profiles of one video and one audio stream, each
// with its index; the current index is selected, else the first entry
// without changing the index. The writer's design values. Every profile of
// the table streams, whatever streams it has.
TEST(Webcast, ProfilesListAndEncode) {
    Session s;
    const ChoiceList& list = s.core->webcast().profiles();
    EXPECT_EQ(list.data, (std::vector<int>{0, 1, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 24, 25, 26}));
    ASSERT_EQ(list.entries.size(), 15);
    EXPECT_EQ(list.entries[0], "Video for handhelds, 255 kbps");
    EXPECT_EQ(list.selected, 0);
    EXPECT_EQ(s.core->webcast().options().webcastPort, 8080);
    EXPECT_EQ(s.core->webcast().options().maxClients, 1);
    EXPECT_EQ(s.core->webcast().options().profileIndex, 0);
    const WebmWriter& writer = s.core->graphBuilder().ASFWriter;
    EXPECT_EQ(WebcastProfileAt(writer.profileIndex()).id, std::string("wmp_V80_100Video"));
    EXPECT_EQ(writer.port(), 0);
    EXPECT_EQ(writer.maxUsers(), 0);

    WebOptions options = s.core->webcast().options();
    options.profileIndex = 3; // multiple rates: not listed
    s.core->webcast().setOptions(options);
    s.core->webcast().ListWebcastProfiles();
    EXPECT_EQ(list.selected, 0);
    EXPECT_EQ(s.core->webcast().options().profileIndex, 3);
    options.profileIndex = 9;
    s.core->webcast().setOptions(options);
    s.core->webcast().ListWebcastProfiles();
    EXPECT_EQ(list.data[static_cast<std::size_t>(list.selected)], 9);
    s.core->webcast().chooseProfile(2);
    EXPECT_EQ(s.core->webcast().options().profileIndex, 5);

    for (int index = 0; index < static_cast<int>(kWebcastProfileCount); ++index) {
        SCOPED_TRACE(WebcastProfileAt(index).id);
        const int port = FreePort();
        s.startWebcast(port, 1, index);
        UniqueFd client = Connect(port);
        std::string data;
        EXPECT_EQ(Request(client, "GET", data), kStreamHead);
        EXPECT_TRUE(ReadAtLeast(client, data, 2000));
        client.reset();
        s.core->setWebcast(false);
        EXPECT_TRUE(s.view.statuses.isEmpty() ||
                    !s.view.statuses.back().contains("error", Qt::CaseInsensitive))
            << s.view.statuses.back().toStdString();
    }
}

namespace {

// Takes the first request that comes to a port of its own: what the page
// reports.
class ReportListener {
public:
    ReportListener() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd_.get(), 8), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    int port() const { return port_; }
    // The request line of the first report, empty when none came in time.
    std::string wait(int timeout_ms) {
        pollfd p{fd_.get(), POLLIN, 0};
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < end) {
            QCoreApplication::processEvents();
            if (::poll(&p, 1, 100) <= 0)
                continue;
            UniqueFd client(::accept(fd_.get(), nullptr, nullptr));
            std::string request;
            while (request.find("\r\n") == std::string::npos) {
                const std::string more = ReadSome(client, 5000);
                if (more.empty())
                    break;
                request += more;
            }
            return request.substr(0, request.find("\r\n"));
        }
        return {};
    }

private:
    UniqueFd fd_;
    int port_ = 0;
};

} // namespace

// Headless chromium plays the stream in a <video> element: its time runs
// on and it knows the picture's width.
TEST(Webcast, BrowserPlaysIt) {
    Session s;
    const int port = FreePort();
    // A browser may open more than one connection for a medium.
    s.startWebcast(port, 4);
    ReportListener report;
    const QString page = s.dir.path() + "/player.html";
    {
        std::ofstream out(page.toStdString());
        out << "<!DOCTYPE html><html><body>"
            << "<video id=\"v\" src=\"http://127.0.0.1:" << port << "/\" autoplay muted></video>"
            << "<script>const v = document.getElementById('v'); let first = null; let sent = false;"
            << "setInterval(() => { if (v.currentTime > 0 && first === null) first = v.currentTime;"
            << "if (!sent && first !== null && v.currentTime > first + 1 && v.videoWidth > 0) {"
            << "sent = true; new Image().src = 'http://127.0.0.1:" << report.port()
            << "/played?width=' + v.videoWidth; } }, 100);</script></body></html>";
    }
    QTemporaryDir profile;
    QProcess browser;
    browser.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    browser.start("chromium",
                  {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                   "--no-first-run", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync",
                   "--autoplay-policy=no-user-gesture-required", "--remote-debugging-port=0",
                   "--user-data-dir=" + profile.path(), "file://" + page});
    ASSERT_TRUE(browser.waitForStarted(kWait_ms)) << browser.errorString().toStdString();
    const std::string line = report.wait(kBrowserWait_ms);
    browser.terminate();
    if (!browser.waitForFinished(kWait_ms)) {
        browser.kill();
        browser.waitForFinished(kWait_ms);
    }
    EXPECT_EQ(line, "GET /played?width=320 HTTP/1.1");
}

// The window: the menu item's handler toggles its own check mark, so a
// direct call starts and stops the webcast; the toolbar button acts only
// while the item is enabled; the page's boxes write the session's options.
TEST(Webcast, WindowControls) {
    QTemporaryDir dir;
    auto w = std::make_unique<TfrmMain>(TempPaths(dir), std::nullopt, nullptr, App());
    auto* port = w->findChild<QSpinBox*>("seWebcastPort");
    auto* clients = w->findChild<QSpinBox*>("seWebcastClients");
    auto* profile = w->findChild<QComboBox*>("cmbWebcastProfile");
    auto* item = w->findChild<QAction*>("StartWebcast1");
    ASSERT_TRUE(port && clients && profile && item);
    EXPECT_EQ(port->minimum(), 1);
    EXPECT_EQ(port->maximum(), 65535);
    EXPECT_EQ(port->value(), 8080);
    EXPECT_EQ(clients->minimum(), 1);
    EXPECT_EQ(clients->maximum(), 255);
    EXPECT_EQ(clients->value(), 1);
    EXPECT_EQ(profile->count(), 15);
    EXPECT_EQ(profile->currentIndex(), 0);
    const int free = FreePort();
    port->setValue(free);
    clients->setValue(7);
    profile->setCurrentIndex(4);
    EXPECT_EQ(w->session().webcast().options().webcastPort, free);
    EXPECT_EQ(w->session().webcast().options().maxClients, 7);
    EXPECT_EQ(w->session().webcast().options().profileIndex, 7);

    w->StartWebcast1Click();
    EXPECT_EQ(w->graphMode(), GraphMode::Webcast);
    EXPECT_TRUE(item->isChecked());
    EXPECT_TRUE(w->graphBuilder().ASFWriter.networkSink());
    item->trigger();
    EXPECT_EQ(w->graphMode(), GraphMode::Preview);
    EXPECT_FALSE(item->isChecked());
    w->btFrameStepClick();
    EXPECT_EQ(w->graphMode(), GraphMode::Webcast);
    w->btFrameStepClick();
    EXPECT_EQ(w->graphMode(), GraphMode::Preview);
    w->btRecClick();
    ASSERT_EQ(w->graphMode(), GraphMode::Recording);
    EXPECT_FALSE(item->isEnabled());
    w->btFrameStepClick();
    EXPECT_EQ(w->graphMode(), GraphMode::Recording);
    w->btStopClick();
    // A webcast running at the close ends with it.
    w->StartWebcast1Click();
    ASSERT_EQ(w->graphMode(), GraphMode::Webcast);
    UniqueFd client = Connect(free);
    std::string data;
    ASSERT_EQ(Request(client, "GET", data), kStreamHead);
    w.reset();
    EXPECT_TRUE(ReadsToEnd(client));
}

QELTV_GUI_TEST_MAIN()
