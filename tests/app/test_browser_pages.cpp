// The program's web pages in a real browser: Debian's chromium, driven over
// its DevTools protocol, goes through them while the real window on the
// Virtual TV Card serves them, and this side reads the program's channel
// around the browser's channel step.
#include "app/uFrmMain.h"
#include "tests/app/GuiTest.h"
#include "tests/app/WebServerWindow.h"
#include "tests/support/Chromium.h"

using namespace qeltv;
using namespace qeltv::test;

namespace {

// The browser loads the page, its stylesheet and pictures, and the player
// side by side.
constexpr int kConnectionLimit = 8;
// The player to play past one second.
constexpr int kPlayback_ms = 20000;

// The responses to what the page itself asked for: the browser also asks for
// a site icon on its own, which the program does not have.
std::vector<std::pair<QString, int>> PageResponses(const Chromium::Tab& tab) {
    std::vector<std::pair<QString, int>> page;
    for (const auto& response : tab.responses())
        if (!response.first.endsWith("/favicon.ico"))
            page.push_back(response);
    return page;
}

} // namespace

// The stylesheet applies to the page, the "here" link starts the webcast and
// the page's player plays it at the card's width, and "next >" steps the
// program's channel.
TEST(BrowserPages, WebcastPageInChromium) {
    Window win;
    const int port = win.startServer(kConnectionLimit);
    ASSERT_TRUE(win.w->session().webServer().active());
    EXPECT_EQ(win.w->graphMode(), GraphMode::Preview);

    Chromium browser;
    ASSERT_TRUE(browser.start()) << browser.error().toStdString();
    Chromium::Tab* tab = browser.newTab();
    ASSERT_TRUE(tab) << browser.error().toStdString();
    const QString base = QString("http://127.0.0.1:%1").arg(port);

    // The page comes with its stylesheet applied: the heading in the
    // program's blue and the menu at its fixed width.
    ASSERT_TRUE(tab->navigate(base + "/index.html")) << tab->error().toStdString();
    for (const auto& [url, status] : PageResponses(*tab))
        EXPECT_EQ(status, 200) << url.toStdString();
    EXPECT_EQ(tab->evaluate("getComputedStyle(document.querySelector('h1')).color").toString(),
              "rgb(0, 126, 178)");
    EXPECT_EQ(
        tab->evaluate("getComputedStyle(document.querySelector('table.menu')).width").toString(),
        "180px");

    // The "here" link starts the webcast, and the player on the page that
    // follows plays it.
    const QString here =
        "[...document.querySelectorAll('p')].filter(p => p.textContent.includes("
        "'Webcast is not active. Click here to activate.'))"
        ".map(p => [...p.querySelectorAll('a')].find(a => a.textContent === 'here'))[0]";
    ASSERT_TRUE(tab->evaluate("!!(" + here + ")").toBool())
        << "no \"Webcast is not active. Click here to activate.\" with a \"here\" link";
    ASSERT_TRUE(tab->evaluateAndWaitForLoad("(" + here + ").click()"))
        << tab->error().toStdString();
    EXPECT_EQ(win.w->graphMode(), GraphMode::Webcast);
    EXPECT_TRUE(tab->evaluate("[...document.querySelectorAll('p')].some("
                              "p => p.textContent.trim() === 'Webcast is active.')")
                    .toBool());
    ASSERT_TRUE(tab->evaluate("!!document.querySelector('video#WMPlay')").toBool())
        << "no <video id=\"WMPlay\"> after the click";
    EXPECT_TRUE(tab->waitFor("document.getElementById('WMPlay').currentTime > 1", kPlayback_ms))
        << tab->error().toStdString() << " "
        << tab->evaluate("(v => JSON.stringify({time: v.currentTime, width: v.videoWidth, "
                         "ready: v.readyState, error: v.error && v.error.code, src: "
                         "v.currentSrc}))(document.getElementById('WMPlay'))")
               .toString()
               .toStdString();
    EXPECT_EQ(tab->evaluate("document.getElementById('WMPlay').videoWidth").toInt(), 320);

    // "next >" steps the channel.
    const long before = win.w->currentChannel();
    EXPECT_GE(before, 1);
    ASSERT_TRUE(tab->evaluateAndWaitForLoad(
        "[...document.querySelectorAll('a')].find(a => a.textContent === 'next >').click()"))
        << tab->error().toStdString();
    EXPECT_TRUE(
        tab->evaluate("location.href").toString().endsWith("/index.html?action=nextchannel"))
        << tab->evaluate("location.href").toString().toStdString();
    EXPECT_NE(win.w->currentChannel(), before) << "still on channel " << before;
    EXPECT_TRUE(win.answerer.messages.isEmpty()) << win.answerer.messages.join("; ").toStdString();
}

// With the default connection limit of 1 a browser still loads every page
// whole: its parallel requests for the stylesheet and the pictures wait for
// the slot in turn rather than being refused.
TEST(BrowserPages, EveryPageLoadsWholeWithTheDefaultLimit) {
    constexpr int kLoads = 20;
    Window win;
    const int port = win.startServer(1);
    Chromium browser;
    ASSERT_TRUE(browser.start()) << browser.error().toStdString();
    Chromium::Tab* tab = browser.newTab();
    ASSERT_TRUE(tab) << browser.error().toStdString();
    for (const char* page : {"index.html", "schedules.html", "recordings.html"}) {
        for (int load = 0; load < kLoads; ++load) {
            const std::string where = std::string(page) + " load " + std::to_string(load + 1);
            ASSERT_TRUE(tab->navigate(QString("http://127.0.0.1:%1/%2").arg(port).arg(page)))
                << where << ": " << tab->error().toStdString();
            // The page, its stylesheet and every picture, each with a 200.
            EXPECT_GE(PageResponses(*tab).size(), 3u) << where;
            for (const auto& [url, status] : PageResponses(*tab))
                EXPECT_EQ(status, 200) << where << ": " << url.toStdString();
            EXPECT_EQ(tab->evaluate("getComputedStyle(document.querySelector('h1')).color")
                          .toString()
                          .toStdString(),
                      "rgb(0, 126, 178)")
                << where;
            EXPECT_TRUE(tab->evaluate("[...document.images].length > 0 && [...document.images]"
                                      ".every(i => i.complete && i.naturalWidth > 0)")
                            .toBool())
                << where << ": a picture did not decode";
        }
    }
    EXPECT_TRUE(win.answerer.messages.isEmpty()) << win.answerer.messages.join("; ").toStdString();
}

QELTV_GUI_TEST_MAIN()
