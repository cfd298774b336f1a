// The web pages over raw sockets on 127.0.0.1: documents and resources,
// credentials, actions by graph mode, tags, the recording folder listing and
// the escaping of texts from outside the program.
#include "common/UniqueFd.h"
#include "tests/settings/TempDir.h"
#include "tests/web/test_http_client.h"
#include "web/WebPages.h"
#include "web/WebResources.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QLocale>

#include <cstring>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <utime.h>

namespace qeltv::web {
namespace {

using test::exchange;
using test::TestClient;

// The program as a page sees it, with the channel steps of a four-channel
// list and the webcast start.
class FakeSite : public WebSite {
public:
    std::optional<PageState> act(const std::string& action, bool refreshSchedules,
                                 const std::stop_token&) override {
        std::lock_guard<std::mutex> lock(mutex);
        actions.push_back(action);
        if (action == "startwebcast" && state.graphMode == 0)
            state.graphMode = 2;
        if (state.graphMode == 2) {
            if (action == "nextchannel")
                channel = channel % kChannels + 1;
            else if (action == "prevchannel")
                channel = channel == 1 ? kChannels : channel - 1;
            else if (action == "firstchannel")
                channel = 1;
            else if (action == "lastchannel")
                channel = kChannels;
        }
        if (refreshSchedules)
            ++refreshes;
        return state;
    }

    static constexpr int kChannels = 4;
    std::mutex mutex;
    PageState state;
    int channel = 1;
    int refreshes = 0;
    std::vector<std::string> actions;
};

class WebPagesTest : public ::testing::Test {
protected:
    void start(WebAccess access = {}, int maxConnections = 8) {
        pages = std::make_unique<WebPages>(site, std::move(access));
        server = std::make_unique<HttpServer>(
            [this](HttpConnection& c, const HttpRequest& r, HttpResponse& s) {
                pages->IdHTTPServer1CommandGet(c, r, s);
            });
        server->start(0, maxConnections);
    }
    void TearDown() override {
        if (server)
            server->stop();
    }
    std::string get(const std::string& target, const std::string& headers = "Host: tv:81\r\n") {
        return exchange(server->port(), "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n");
    }
    static std::string body(const std::string& response) {
        const auto at = response.find("\r\n\r\n");
        return at == std::string::npos ? std::string() : response.substr(at + 4);
    }
    static std::string status(const std::string& response) {
        return response.substr(0, response.find("\r\n"));
    }

    FakeSite site;
    std::unique_ptr<WebPages> pages;
    std::unique_ptr<HttpServer> server;
};

TEST_F(WebPagesTest, DocumentsAndResources) {
    start();
    const std::string index = get("/index.html");
    EXPECT_EQ(status(index), "HTTP/1.1 200 OK");
    EXPECT_NE(index.find("Content-Type: text/html"), std::string::npos);
    EXPECT_EQ(body(get("/")), body(index));
    EXPECT_EQ(body(get("/INDEX.HTML")), body(index));
    // The page with its header and footer expanded, lines ending in CR LF.
    const std::string page = body(index);
    EXPECT_NE(page.find("<title>qEL TV - Webcast</title>\r\n"), std::string::npos);
    // An include's text ends in CR LF, and so does the line that held it.
    EXPECT_NE(page.find("<!--CONTENT-->\r\n\r\n<H1>Webcast</H1>"), std::string::npos);
    EXPECT_NE(page.find("<table class=\"noplayer\""), std::string::npos);
    EXPECT_EQ(page.find("<#"), std::string::npos);
    EXPECT_NE(page.find("</td>\r\n</tr>\r\n</table>\r\n\r\n</body>"), std::string::npos);

    // A fragment alone, its tags expanded; the stylesheet as text/html.
    const std::string header = get("/header.html");
    EXPECT_EQ(status(header), "HTTP/1.1 200 OK");
    EXPECT_TRUE(body(header).starts_with("<br>\r\n"));
    const std::string css = get("/styles.css");
    EXPECT_NE(css.find("Content-Type: text/html"), std::string::npos);
    EXPECT_NE(body(css).find(".tablerow { color: black;"), std::string::npos);

    // Pictures byte for byte; a missing one is an empty JPEG body with 404.
    const std::string picture = get("/menuheader.jpg");
    EXPECT_EQ(status(picture), "HTTP/1.1 200 OK");
    EXPECT_NE(picture.find("Content-Type: image/jpeg"), std::string::npos);
    EXPECT_EQ(body(picture), std::string(*FindResource("MENUHEADER_JPG")));
    EXPECT_EQ(body(picture).substr(0, 3), "\xFF\xD8\xFF");
    const std::string missing = get("/missing.jpg");
    EXPECT_EQ(status(missing), "HTTP/1.1 404 Not Found");
    EXPECT_NE(missing.find("Content-Type: image/jpeg"), std::string::npos);
    EXPECT_EQ(body(missing), "");
    // "_JPG" anywhere makes a picture request.
    const std::string odd = get("/logo_jpg.html");
    EXPECT_EQ(status(odd), "HTTP/1.1 404 Not Found");
    EXPECT_NE(odd.find("Content-Type: image/jpeg"), std::string::npos);
    // Folders collapse into one name that is no resource.
    EXPECT_EQ(status(get("/pages/index.html")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(DocumentToResourceName("/a.b/Index.html"), "A_BINDEX_HTML");
}

TEST_F(WebPagesTest, Credentials) {
    // Without a user name everything passes, credentials or not.
    start();
    EXPECT_EQ(status(get("/", "Authorization: Basic dTpw\r\n")), "HTTP/1.1 200 OK");
    server->stop();

    start({"Viewer", "Secret"});
    const auto basic = [](const std::string& user, const std::string& password) {
        // Base64 of "user:password" for the few pairs used here.
        static const std::map<std::string, std::string> encoded = {
            {"viewer:Secret", "dmlld2VyOlNlY3JldA=="},  {"VIEWER:Secret", "VklFV0VSOlNlY3JldA=="},
            {"Viewer:secret", "Vmlld2VyOnNlY3JldA=="},  {"Viewer:Secre", "Vmlld2VyOlNlY3Jl"},
            {"Viewer:Secret!", "Vmlld2VyOlNlY3JldCE="}, {"Viewe:Secret", "Vmlld2U6U2VjcmV0"},
            {"Viewers:Secret", "Vmlld2VyczpTZWNyZXQ="},
        };
        return "Authorization: Basic " + encoded.at(user + ":" + password) + "\r\n";
    };
    EXPECT_EQ(status(get("/", basic("viewer", "Secret"))), "HTTP/1.1 200 OK");
    EXPECT_EQ(status(get("/", basic("VIEWER", "Secret"))), "HTTP/1.1 200 OK");
    const std::string wrong = get("/index.html?action=startwebcast", basic("Viewer", "secret"));
    EXPECT_EQ(status(wrong), "HTTP/1.1 401 Unauthorized");
    EXPECT_NE(wrong.find("WWW-Authenticate: Basic realm=\"qEL TV\""), std::string::npos);
    EXPECT_EQ(status(get("/styles.css", "")), "HTTP/1.1 401 Unauthorized");
    // The comparison looks at whole texts: a prefix or a longer text of
    // either is wrong.
    EXPECT_EQ(status(get("/", basic("Viewer", "Secre"))), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(status(get("/", basic("Viewer", "Secret!"))), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(status(get("/", basic("Viewe", "Secret"))), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(status(get("/", basic("Viewers", "Secret"))), "HTTP/1.1 401 Unauthorized");
    // Refused requests carry out no action.
    EXPECT_EQ(site.state.graphMode, 0);
}

TEST_F(WebPagesTest, ActionsByGraphModeOnEveryPage) {
    start();
    // Channel steps do nothing in preview.
    EXPECT_EQ(status(get("/index.html?action=nextchannel")), "HTTP/1.1 200 OK");
    EXPECT_EQ(site.channel, 1);
    EXPECT_NE(body(get("/index.html")).find("Click <a href=\"index.html?action=startwebcast\">"),
              std::string::npos);
    // A document without a resource starts nothing.
    EXPECT_EQ(status(get("/missing.html?action=startwebcast")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(site.state.graphMode, 0);
    // The Schedules page starts the webcast too, and shows the state after it.
    const std::string schedules = body(get("/schedules.html?ACTION=StartWebcast"));
    EXPECT_EQ(site.state.graphMode, 2);
    EXPECT_NE(schedules.find("<H1>Schedules</H1>"), std::string::npos);
    site.state.webcastPort = 8181;
    const std::string player = body(get("/index.html"));
    EXPECT_NE(player.find("<p>Webcast is active.</p>"), std::string::npos);
    EXPECT_NE(player.find("src=\"http://tv:8181\""), std::string::npos);
    EXPECT_EQ(player.find("noplayer"), std::string::npos);
    // Steps wrap both ways.
    get("/index.html?action=lastchannel");
    EXPECT_EQ(site.channel, 4);
    get("/index.html?action=nextchannel");
    EXPECT_EQ(site.channel, 1);
    get("/recordings.html?action=prevchannel");
    EXPECT_EQ(site.channel, 4);
    get("/index.html?action=firstchannel&action=lastchannel");
    EXPECT_EQ(site.channel, 1);
    // Only pages with the schedule list refresh it.
    EXPECT_EQ(site.refreshes, 1);
    get("/schedules.html");
    EXPECT_EQ(site.refreshes, 2);
}

TEST_F(WebPagesTest, WebcastAddressFromTheHostHeaderEscaped) {
    site.state.graphMode = 2;
    start();
    EXPECT_NE(body(get("/wmplayer.html", "")).find("src=\"http://:8080\""), std::string::npos);
    EXPECT_NE(body(get("/wmplayer.html", "Host: box.local:80\r\n")).find("http://box.local:8080"),
              std::string::npos);
    const std::string hostile = body(get("/wmplayer.html", "Host: x\"><script>y\r\n"));
    EXPECT_EQ(hostile.find("<script>"), std::string::npos);
    EXPECT_NE(hostile.find("http://x&quot;&gt;&lt;script&gt;y:8080"), std::string::npos);
}

TEST_F(WebPagesTest, SchedulesAndRecordingsAreEscapedRows) {
    qeltv::test::TempDir dir;
    site.state.captureFile = (dir / "capture.avi").string();
    site.state.schedules = {
        {"<b>Late</b> film", "Ready", "09.12.2026 21:30:00", "Never", "At 21:30 every day"},
        {"Tom &amp; Jerry's", "Ready", "10.12.2026 08:00:00", "Never", "At 08:00 every day"}};
    qeltv::test::WriteFile(dir / "<img src=x onerror=alert(1)>.avi", std::string(1001, 'x'));
    // A name that looks like an entity shows as it is; a quote cannot end
    // an attribute.
    qeltv::test::WriteFile(dir / "Tom &amp; Jerry's.avi", "x");
    std::filesystem::create_directory(dir / "old");
    // Things that are no recordings stay out of the list.
    std::filesystem::create_symlink(dir / "old", dir / "link");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (dir / "sock").string();
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // A file of midnight shows its date alone.
    qeltv::test::WriteFile(dir / "midnight.avi", "x");
    const QDateTime midnight(QDate(2026, 3, 1), QTime(0, 0));
    utimbuf times{midnight.toSecsSinceEpoch(), midnight.toSecsSinceEpoch()};
    ASSERT_EQ(::utime((dir / "midnight.avi").c_str(), &times), 0);
    start();

    const std::string schedules = body(get("/schedules.html"));
    EXPECT_NE(schedules.find("<tr class=\"tablerow\"><td>&lt;b&gt;Late&lt;/b&gt; film</td>"
                             "<td>Ready</td><td>09.12.2026 21:30:00</td><td>Never</td>"
                             "<td>At 21:30 every day</td></tr>"),
              std::string::npos)
        << schedules;
    EXPECT_NE(schedules.find("<td>Tom &amp;amp; Jerry&#39;s</td>"), std::string::npos) << schedules;
    const std::string recordings = body(get("/recordings.html"));
    EXPECT_EQ(recordings.find("<img src=x"), std::string::npos);
    EXPECT_NE(recordings.find("&lt;img src=x onerror=alert(1)&gt;.avi</td><td>1" +
                              QLocale::system().decimalPoint().toStdString() + "0 kB</td>"),
              std::string::npos)
        << recordings;
    EXPECT_NE(recordings.find("Tom &amp;amp; Jerry&#39;s.avi</td><td>1 bytes</td>"),
              std::string::npos)
        << recordings;
    EXPECT_EQ(recordings.find("Jerry's"), std::string::npos);
    EXPECT_NE(recordings.find("&nbsp;old</td><td>0 bytes</td>"), std::string::npos);
    EXPECT_EQ(recordings.find("link"), std::string::npos);
    EXPECT_EQ(recordings.find("sock"), std::string::npos);
    EXPECT_NE(
        recordings.find(
            "midnight.avi</td><td>1 bytes</td><td>" +
            QLocale::system().toString(QDate(2026, 3, 1), QLocale::ShortFormat).toStdString() +
            "</td>"),
        std::string::npos)
        << recordings;
    // A folder that cannot be read lists nothing.
    EXPECT_EQ(RecordingsRows((dir / "missing" / "capture.avi").string()), "");
}

TEST(WebPageSizes, ThresholdsAreDecimalAndUnitsBinary) {
    EXPECT_EQ(SizeText(1000, U'.'), "1000 bytes");
    EXPECT_EQ(SizeText(1001, U'.'), "1.0 kB");
    EXPECT_EQ(SizeText(1000000, U'.'), "976.6 kB");
    EXPECT_EQ(SizeText(1000001, U'.'), "1.0 MB");
    EXPECT_EQ(SizeText(1000000000, U'.'), "953.7 MB");
    EXPECT_EQ(SizeText(1000000001, U'.'), "0.9 GB");
    EXPECT_EQ(SizeText(1073741824, U'.'), "1.0 GB");
    EXPECT_EQ(SizeText(1001, U','), "1,0 kB");
}

// With one connection allowed, a second one made while the first is open
// waits for the slot rather than being refused: an idle first connection is
// dropped at the first-byte time-out and the page is served.
TEST_F(WebPagesTest, SecondConnectionWaitsForTheSlotWithTheDefaultLimit) {
    start({}, 1);
    TestClient first(server->port());
    // Wait until the server serves the first connection.
    for (int i = 0; i < 500 && server->connectionCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(server->connectionCount(), 1u);
    TestClient second(server->port());
    second.send("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(status(second.readAll(nullptr, kHttpQueueWaitMs + 2000)), "HTTP/1.1 200 OK");
    EXPECT_TRUE(first.closedWithoutReply());
}

} // namespace
} // namespace qeltv::web
