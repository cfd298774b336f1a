// The program's web pages in a real browser: a Node script drives Debian's
// chromium through them with playwright-core while the real window on the
// Virtual TV Card serves them, and this side reads the program's channel
// around the browser's channel step.
#include "app/uFrmMain.h"
#include "tests/app/GuiTest.h"
#include "tests/app/WebServerWindow.h"
#include "tests/settings/TempDir.h"

#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>

using namespace qeltv;
using namespace qeltv::test;

namespace {

// The script's own waits add up to well under this.
constexpr int kScript_ms = 60000;
// The browser loads the page, its stylesheet and pictures, and the player
// side by side.
constexpr int kConnectionLimit = 8;

} // namespace

// The stylesheet applies to the page, the "here" link starts the webcast and
// the page's player plays it at the card's width, and "next >" steps the
// program's channel.
TEST(BrowserPages, WebcastPageInChromium) {
    ASSERT_TRUE(QFileInfo(QELTV_NODE).isExecutable()) << "no node at " << QELTV_NODE;
    ASSERT_TRUE(QFileInfo::exists(QELTV_BROWSER_SCRIPT)) << QELTV_BROWSER_SCRIPT;
    Window win;
    const int port = win.startServer(kConnectionLimit);
    ASSERT_TRUE(win.w->session().webServerActive());
    EXPECT_EQ(win.w->graphMode(), GraphMode::Preview);

    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QString output;
    long channelBefore = -1;
    QObject::connect(&script, &QProcess::readyReadStandardOutput, [&] {
        output += QString::fromUtf8(script.readAllStandardOutput());
        if (channelBefore < 0 && output.contains("BEFORE-NEXT\n")) {
            EXPECT_EQ(win.w->graphMode(), GraphMode::Webcast);
            channelBefore = win.w->currentChannel();
            script.write("go\n");
        }
    });
    script.start(QELTV_NODE, {QELTV_BROWSER_SCRIPT, QString::number(port), "/usr/bin/chromium"});
    ASSERT_TRUE(script.waitForStarted()) << script.errorString().toStdString();
    const bool finished =
        QTest::qWaitFor([&] { return script.state() == QProcess::NotRunning; }, kScript_ms);
    if (!finished) {
        script.kill();
        script.waitForFinished();
    }
    output += QString::fromUtf8(script.readAllStandardOutput());
    EXPECT_TRUE(finished) << "the script ran past " << kScript_ms << " ms";
    EXPECT_EQ(script.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(script.exitCode(), 0) << output.toStdString();
    ASSERT_TRUE(output.contains("AFTER-NEXT\n")) << output.toStdString();
    EXPECT_GE(channelBefore, 1);
    EXPECT_NE(win.w->currentChannel(), channelBefore) << "still on channel " << channelBefore;
    EXPECT_TRUE(win.answerer.messages.isEmpty()) << win.answerer.messages.join("; ").toStdString();
}

QELTV_GUI_TEST_MAIN()
