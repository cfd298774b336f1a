// The internal web server of the real window on the Virtual TV Card: started
// and stopped from the "Web options" page, pages whose actions run on the GUI
// thread, a port that cannot be opened, and Debian's chromium reading the
// pages.
#include "app/uFrmMain.h"
#include "common/UniqueFd.h"
#include "tests/app/GuiTest.h"
#include "tests/app/WebServerWindow.h"
#include "tests/settings/TempDir.h"
#include "tests/web/test_http_client.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

using namespace qeltv;
using namespace qeltv::test;

namespace {

constexpr int kWait_ms = 15000;
constexpr int kBrowserWait_ms = 60000;

// One request from a thread of its own while the GUI thread runs its event
// loop, which carries out the page's step.
std::string Fetch(int port, const std::string& target) {
    std::atomic<bool> done{false};
    std::string response;
    std::thread client([&] {
        try {
            response = web::test::exchange(static_cast<std::uint16_t>(port),
                                           "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                               std::to_string(port) + "\r\n\r\n");
        } catch (const std::exception& e) {
            response = std::string("client failed: ") + e.what();
        }
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, kWait_ms));
    client.join();
    return response;
}

std::string Body(const std::string& response) {
    const auto at = response.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : response.substr(at + 4);
}

} // namespace

// Start locks the settings and stop frees them; the pages' actions run on
// the GUI thread in their graph mode, and every page shows the state the
// action left.
TEST(WebServer, StartPagesActionsAndStop) {
    Window win;
    auto* start = win.control<QPushButton>("btnStartWebserver");
    auto* stop = win.control<QPushButton>("btnStopWebserver");
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    const int port = win.startServer(1);
    EXPECT_FALSE(start->isEnabled());
    EXPECT_TRUE(stop->isEnabled());
    for (const char* locked :
         {"seWebserverPort", "cbAutoStartWebserver", "edWebUsername", "edWebPassword"})
        EXPECT_FALSE(win.control<QWidget>(locked)->isEnabled()) << locked;

    EXPECT_NE(Body(Fetch(port, "/")).find("Webcast is not active"), std::string::npos);
    // Channel steps wait for the webcast.
    EXPECT_NE(Fetch(port, "/index.html?action=nextchannel").find("200 OK"), std::string::npos);
    EXPECT_EQ(win.w->currentChannel(), 1);
    // Any page starts the webcast from preview and shows it running.
    const std::string schedules = Body(Fetch(port, "/schedules.html?action=startwebcast"));
    EXPECT_EQ(win.w->graphMode(), GraphMode::Webcast);
    EXPECT_NE(schedules.find("<H1>Schedules</H1>"), std::string::npos);
    const int webcastPort = win.w->session().webcast().options().webcastPort;
    const std::string index = Body(Fetch(port, "/index.html"));
    EXPECT_NE(index.find("<p>Webcast is active.</p>"), std::string::npos);
    EXPECT_NE(index.find("src=\"http://127.0.0.1:" + std::to_string(webcastPort) + "\""),
              std::string::npos);
    // The steps tune the card and wrap.
    Fetch(port, "/index.html?action=lastchannel");
    EXPECT_EQ(win.w->currentChannel(), 3);
    EXPECT_EQ(win.w->virtualCard().frequency(), 62250000u);
    Fetch(port, "/index.html?action=nextchannel");
    EXPECT_EQ(win.w->currentChannel(), 1);
    EXPECT_EQ(win.w->virtualCard().frequency(), 48250000u);

    stop->click();
    EXPECT_FALSE(win.w->session().webServer().active());
    EXPECT_TRUE(start->isEnabled());
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_TRUE(win.control<QWidget>("edWebPassword")->isEnabled());
    EXPECT_TRUE(win.answerer.messages.isEmpty()) << win.answerer.messages.join("; ").toStdString();
}

// A port that another socket holds: nothing changes but the status bar,
// which says why.
TEST(WebServer, PortInUseSaysWhy) {
    Window win;
    UniqueFd holder(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(holder.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(holder.get(), 1), 0);
    socklen_t length = sizeof a;
    ::getsockname(holder.get(), reinterpret_cast<sockaddr*>(&a), &length);
    const int port = ntohs(a.sin_port);
    win.control<QSpinBox>("seWebserverPort")->setValue(port);
    win.control<QPushButton>("btnStartWebserver")->click();
    EXPECT_FALSE(win.w->session().webServer().active());
    EXPECT_EQ(win.w->statusBar()->currentMessage(),
              QString("Web server: could not listen on port %1: Address already in use").arg(port));
    EXPECT_TRUE(win.control<QPushButton>("btnStartWebserver")->isEnabled());
    EXPECT_FALSE(win.control<QPushButton>("btnStopWebserver")->isEnabled());
    EXPECT_TRUE(win.control<QWidget>("seWebserverPort")->isEnabled());
}

// Debian's chromium reads the pages: the webcast starts from its request and
// the page it gets holds the player; a hostile file name in the recording
// folder shows as text, never as an element.
TEST(WebServer, BrowserReadsThePages) {
    Window win;
    WriteFile(win.paths.videosDir / "<img src=x onerror=alert(1)>.avi", "x");
    // A browser asks for the stylesheet and pictures beside the page.
    const int port = win.startServer(8);
    const auto dumpDom = [&](const std::string& target) {
        QTemporaryDir profile;
        QProcess browser;
        browser.start("chromium", {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                   "--no-first-run", "--disable-background-networking",
                                   "--disable-component-update", "--disable-sync",
                                   "--user-data-dir=" + profile.path(), "--dump-dom",
                                   QString("http://127.0.0.1:%1%2").arg(port).arg(target.c_str())});
        EXPECT_TRUE(QTest::qWaitFor([&] { return browser.state() == QProcess::NotRunning; },
                                    kBrowserWait_ms));
        if (browser.state() != QProcess::NotRunning) {
            browser.kill();
            browser.waitForFinished();
        }
        return browser.readAllStandardOutput().toStdString();
    };
    const std::string webcast = dumpDom("/index.html?action=startwebcast");
    EXPECT_EQ(win.w->graphMode(), GraphMode::Webcast);
    EXPECT_NE(webcast.find("<h1>Webcast</h1>"), std::string::npos) << webcast;
    EXPECT_NE(webcast.find("<video id=\"WMPlay\""), std::string::npos) << webcast;
    EXPECT_NE(webcast.find("Webcast is active."), std::string::npos);

    const std::string recordings = dumpDom("/recordings.html");
    EXPECT_NE(recordings.find("&lt;img src=x onerror=alert(1)&gt;.avi"), std::string::npos)
        << recordings;
    EXPECT_EQ(recordings.find("<img src=\"x\""), std::string::npos);
}

QELTV_GUI_TEST_MAIN()
