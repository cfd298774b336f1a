// The main window as a person sees and drives it: the toolbar and menus at
// the design size, the controls in every graph mode, full screen by every
// route, keep aspect ratio across rebuilds, and the channel caption.
#include "app/VideoWindow.h"
#include "app/uFrmMain.h"
#include "tests/app/FreePort.h"
#include "tests/app/GuiTest.h"
#include "tests/settings/TempDir.h"

#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>

using namespace qeltv;
using namespace qeltv::test;

namespace {

constexpr int kWaitLimit_ms = 20000;
constexpr int kShortCaption_ms = 300;

// Channel 14 is the Virtual TV Card's "Aurora 1": colour bars whose left
// edge is grey, never black.
void StoreAuroraChannels(const Paths& paths) {
    WriteFile(paths.userStore(), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Qel\\QelTV]\n"
                                 "\"CurrentChannel\"=dword:0000000e\n\n"
                                 "[HKEY_CURRENT_USER\\Software\\Qel\\QelTV\\Channels]\n"
                                 "\"14\"=\"Aurora,175250000\"\n\"15\"=\"Fifteen,182250000\"\n");
}

std::unique_ptr<TfrmMain> Open(const Paths& paths, int osdDuration_ms = kOsdDuration_ms) {
    auto w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App(), osdDuration_ms);
    w->show();
    return w;
}

void Close(std::unique_ptr<TfrmMain>& w) {
    w->close();
    w.reset();
}

bool Activate(QWidget* window) {
    window->activateWindow();
    return QTest::qWaitForWindowActive(window, kWaitLimit_ms);
}

bool WaitForFrames(TfrmMain& w, int frames) {
    const quint64 start = w.videoWindow()->framesShown();
    return QTest::qWaitFor([&] { return w.videoWindow()->framesShown() >= start + frames; },
                           kWaitLimit_ms);
}

bool Enabled(TfrmMain& w, const char* name) {
    if (auto* a = w.findChild<QAction*>(name))
        return a->isEnabled();
    QWidget* widget = w.findChild<QWidget*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget && widget->isEnabled();
}

// Whether every pixel of the column is black.
bool BlackColumn(const QImage& image, int x) {
    for (int y = 0; y < image.height(); ++y)
        if (qGray(image.pixel(x, y)) > 16)
            return false;
    return true;
}

// Pure white pixels, as the caption's text is drawn, in a rectangle.
int WhitePixels(const QImage& image, const QRect& area) {
    int white = 0;
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            white += qRed(p) > 240 && qGreen(p) > 240 && qBlue(p) > 240;
        }
    return white;
}

QImage Shot(TfrmMain& w) {
    return w.videoWindow()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

// At the design size every toolbar item is on the bar, in order, with its
// hint; none hides behind the overflow button. The menus carry their items
// and keys; the grey panel carries the red caption.
TEST(MainWindowView, ToolbarMenusAndPanelAtTheDesignSize) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    ModalAnswerer answerer;
    auto w = Open(paths);
    auto* bar = w->findChild<QToolBar*>("ToolBar1");
    ASSERT_NE(bar, nullptr);
    QStringList items;
    for (QAction* a : bar->actions()) {
        items << (a->isSeparator() ? QString("|") : a->objectName() + ":" + a->toolTip());
        QWidget* shown = bar->widgetForAction(a);
        ASSERT_NE(shown, nullptr) << a->objectName().toStdString();
        EXPECT_TRUE(shown->isVisible()) << a->objectName().toStdString();
        EXPECT_TRUE(bar->rect().contains(shown->geometry())) << a->objectName().toStdString();
    }
    // No page widens the window beyond its design size, and there the last
    // item still fits.
    EXPECT_EQ(w->width(), TfrmMain::kDesignWidth);
    EXPECT_LE(bar->widgetForAction(bar->actions().last())->geometry().right(),
              bar->contentsRect().right());
    EXPECT_EQ(items,
              (QStringList{"btPreviousChapter:First channel", "btRewind:Previous channel",
                           "btRec:Start recording", "btPause:Pause", "btPlay:Play", "btStop:Stop",
                           "btFastForward:Next channel", "btNextChapter:Last channel", "|",
                           "btFullScreen:Fullscreen", "btRootMenu:Add schedule",
                           "btFrameStep:Start/stop webcast", ":", "ToolButton1:Edit Channelname"}));
    EXPECT_EQ(bar->widgetForAction(bar->actions()[12]),
              w->findChild<QComboBox*>("cmbQuickChannel"));
    EXPECT_EQ(w->findChild<QComboBox*>("cmbQuickChannel")->width(), 164);
    for (auto* extension : bar->findChildren<QToolButton*>("qt_toolbar_ext_button"))
        EXPECT_FALSE(extension->isVisible());

    QStringList menus;
    for (QAction* menu : w->menuBar()->actions()) {
        QStringList entries;
        for (QAction* a : menu->menu()->actions())
            entries << (a->isSeparator() ? QString("-")
                                         : a->text() + (a->shortcut().isEmpty()
                                                            ? QString()
                                                            : " " + a->shortcut().toString()));
        menus << menu->text() + ": " + entries.join(", ");
    }
    EXPECT_EQ(menus, (QStringList{"&File: E&xit Ctrl+X",
                                  "&View: Keep aspect ratio F10, Fullscreen F11, -, Enable Webcast",
                                  "&Help: &About"}));
    auto* keep = w->findChild<QAction*>("Keepaspectratio1");
    auto* full = w->findChild<QAction*>("Fullscreen1");
    EXPECT_TRUE(keep->isCheckable());
    EXPECT_FALSE(keep->isChecked());
    EXPECT_TRUE(full->isCheckable());
    EXPECT_FALSE(full->isChecked());
    EXPECT_FALSE(w->session().keepAspectRatio());

    auto* pnlBack = w->findChild<QLabel*>("pnlBack");
    EXPECT_TRUE(pnlBack->font().bold());
    EXPECT_EQ(pnlBack->font().pointSize(), 8);
    EXPECT_EQ(pnlBack->alignment(), Qt::AlignCenter);
    // The panel fills the page above the toolbar; the picture fills it.
    EXPECT_EQ(pnlBack->width(), bar->width());
    EXPECT_EQ(pnlBack->geometry().bottom() + 1, bar->geometry().top());
    EXPECT_EQ(w->videoWindow()->parentWidget(), pnlBack);
    EXPECT_EQ(w->videoWindow()->geometry(), pnlBack->rect());
    EXPECT_TRUE(w->videoWindow()->isVisible());
    Close(w);
}

// Every row of the control-state table in the four graph modes; with the
// picture gone the panel's caption says why.
TEST(MainWindowView, ControlsInEveryGraphMode) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    StoreAuroraChannels(paths);
    ModalAnswerer answerer;
    auto w = Open(paths);
    WebOptions web = w->session().webcast().options();
    web.webcastPort = FreePort();
    w->session().webcast().setOptions(web);

    const std::vector<const char*> channelSteps = {"btPreviousChapter", "btRewind", "btFastForward",
                                                   "btNextChapter"};
    const std::vector<const char*> preferences = {
        "cmbVideoCapDev", "cmbCompressionFilters",      "edCapFile",
        "cmbAudioCapDev", "cmbAudioCompressionFilters", "cmbAudioCompressionFormat",
        "cmbInputLines"};
    auto check = [&](GraphMode mode) {
        const bool preview = mode == GraphMode::Preview;
        const bool recording = mode == GraphMode::Recording;
        const bool webcast = mode == GraphMode::Webcast;
        const bool autoTuning = mode == GraphMode::AutoTuning;
        SCOPED_TRACE(static_cast<int>(mode));
        for (const char* name : channelSteps)
            EXPECT_EQ(Enabled(*w, name), preview || webcast) << name;
        EXPECT_EQ(Enabled(*w, "btRec"), preview);
        for (const char* name : {"btPause", "btPlay", "btStop"})
            EXPECT_EQ(Enabled(*w, name), preview || recording) << name;
        EXPECT_EQ(Enabled(*w, "btFullScreen"), preview);
        EXPECT_EQ(Enabled(*w, "Fullscreen1"), preview);
        EXPECT_EQ(Enabled(*w, "StartWebcast1"), preview || webcast);
        EXPECT_EQ(Enabled(*w, "btFrameStep"), preview || webcast);
        EXPECT_EQ(w->findChild<QAction*>("StartWebcast1")->isChecked(), webcast);
        // The auto-tune button belongs to the Channels page's scan.
        if (w->findChild<QWidget*>("btnAutoTune")) {
            EXPECT_EQ(Enabled(*w, "btnAutoTune"), preview || autoTuning);
        }
        EXPECT_EQ(Enabled(*w, "lstChannels"), preview || webcast);
        EXPECT_EQ(Enabled(*w, "cmbQuickChannel"), preview || webcast);
        for (const char* name : preferences)
            EXPECT_EQ(Enabled(*w, name), preview) << name;
        // Not in the table: always there to use.
        EXPECT_TRUE(Enabled(*w, "Keepaspectratio1"));
        EXPECT_TRUE(Enabled(*w, "btRootMenu"));
    };
    auto* pnlBack = w->findChild<QLabel*>("pnlBack");
    ASSERT_EQ(w->graphMode(), GraphMode::Preview);
    check(GraphMode::Preview);

    w->btRecClick();
    ASSERT_EQ(w->graphMode(), GraphMode::Recording);
    check(GraphMode::Recording);
    EXPECT_FALSE(w->videoWindow()->isVisible());
    EXPECT_EQ(pnlBack->text(), "Recording in progress...");
    w->btStopClick();
    ASSERT_EQ(w->graphMode(), GraphMode::Preview);
    check(GraphMode::Preview);
    EXPECT_TRUE(w->videoWindow()->isVisible());

    w->findChild<QAction*>("StartWebcast1")->trigger();
    ASSERT_EQ(w->graphMode(), GraphMode::Webcast);
    check(GraphMode::Webcast);
    EXPECT_FALSE(w->videoWindow()->isVisible());
    EXPECT_EQ(pnlBack->text(), "Webcasting at port " + QString::number(web.webcastPort));
    w->findChild<QAction*>("StartWebcast1")->trigger();
    ASSERT_EQ(w->graphMode(), GraphMode::Preview);

    // A scan: the controls are looked at during its first step, which also
    // aborts it; it ends in preview.
    struct FirstStepOnly : AutoTuneView {
        std::function<void()> onFirstStep;
        int steps = 0;
        Answer askYesNoCancel(const QString&) override { return Answer::Yes; }
        void showScanRunning(bool) override {}
        void showAborting() override {}
        void setProgressRange(long, long) override {}
        void setProgress(long) override {}
        void showFrequency(long) override {}
        void repaintWindow() override {}
        void processPendingEvents() override {
            if (++steps == 1)
                onFirstStep();
        }
    } scan;
    scan.onFirstStep = [&] {
        ASSERT_EQ(w->graphMode(), GraphMode::AutoTuning);
        check(GraphMode::AutoTuning);
        // The picture's double-click enters full screen only as the item
        // would.
        QTest::mouseDClick(w->videoWindow(), Qt::LeftButton, {}, QPoint(10, 10));
        EXPECT_FALSE(w->videoWindow()->fullScreen());
        w->session().autoTune().abortAutoTune();
    };
    w->session().autoTune().startAutoTune(scan, AutoTuneMode::CableGrid);
    ASSERT_GE(scan.steps, 1);
    ASSERT_EQ(w->graphMode(), GraphMode::Preview);
    check(GraphMode::Preview);
    EXPECT_TRUE(answerer.messages.isEmpty()) << answerer.messages.join("\n").toStdString();
    Close(w);
}

// Full screen by a double-click, F11, the menu and the pop-up menu, and out
// again by the same routes and Esc; the keys work in the full-screen window.
TEST(MainWindowView, FullScreenOnAndOff) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    StoreAuroraChannels(paths);
    ModalAnswerer answerer;
    auto w = Open(paths);
    ASSERT_TRUE(Activate(w.get()));
    VideoWindow* video = w->videoWindow();
    auto* pnlBack = w->findChild<QLabel*>("pnlBack");
    auto* full = w->findChild<QAction*>("Fullscreen1");
    auto* exitItem = w->findChild<QAction*>("ExitFullscreen1");
    auto* popup = w->findChild<QMenu*>("PopupMenu1");
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->actions(), QList<QAction*>{exitItem});
    EXPECT_EQ(exitItem->text(), "Exit Fullscreen");
    const QRect screen = w->screen()->geometry();

    auto expectFull = [&](const char* route) {
        SCOPED_TRACE(route);
        EXPECT_TRUE(video->fullScreen());
        EXPECT_TRUE(video->isWindow());
        EXPECT_TRUE(video->isVisible());
        EXPECT_EQ(video->geometry(), screen);
        EXPECT_TRUE(video->windowFlags().testFlag(Qt::FramelessWindowHint));
        EXPECT_TRUE(video->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        EXPECT_EQ(video->popupMenu(), popup);
        EXPECT_TRUE(full->isChecked());
    };
    auto expectEmbedded = [&](const char* route) {
        SCOPED_TRACE(route);
        EXPECT_FALSE(video->fullScreen());
        EXPECT_FALSE(video->isWindow());
        EXPECT_EQ(video->parentWidget(), pnlBack);
        EXPECT_EQ(video->geometry(), pnlBack->rect());
        EXPECT_TRUE(video->isVisible());
        EXPECT_EQ(video->popupMenu(), nullptr);
        EXPECT_FALSE(full->isChecked());
    };
    expectEmbedded("at start");
    // Outside full screen the pop-up menu does not appear, Esc and
    // "Exit Fullscreen" do nothing.
    QContextMenuEvent rightClick(QContextMenuEvent::Mouse, QPoint(10, 10),
                                 video->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(video, &rightClick);
    EXPECT_FALSE(popup->isVisible());
    QTest::keyClick(w.get(), Qt::Key_Escape);
    exitItem->trigger();
    expectEmbedded("Esc and Exit Fullscreen outside full screen");

    QTest::mouseDClick(video, Qt::LeftButton, {}, QPoint(20, 20));
    expectFull("double-click");
    QApplication::sendEvent(video, &rightClick);
    EXPECT_TRUE(popup->isVisible());
    popup->hide();
    QTest::mouseDClick(video, Qt::LeftButton, {}, QPoint(20, 20));
    expectEmbedded("second double-click");

    ASSERT_TRUE(Activate(w.get()));
    QTest::keyClick(w.get(), Qt::Key_F11);
    expectFull("F11");
    ASSERT_TRUE(Activate(video));
    // F10 reaches the option from the full-screen window too.
    QTest::keyClick(video, Qt::Key_F10);
    EXPECT_TRUE(w->session().keepAspectRatio());
    QTest::keyClick(video, Qt::Key_F10);
    EXPECT_FALSE(w->session().keepAspectRatio());
    QTest::keyClick(video, Qt::Key_F11);
    expectEmbedded("F11 in the full-screen window");

    ASSERT_TRUE(Activate(w.get()));
    QTest::keyClick(w.get(), Qt::Key_F11);
    expectFull("F11 again");
    ASSERT_TRUE(Activate(video));
    QTest::keyClick(video, Qt::Key_Escape);
    expectEmbedded("Esc");

    full->trigger();
    expectFull("menu");
    exitItem->trigger();
    expectEmbedded("Exit Fullscreen");
    w->btFullScreenClick();
    expectFull("toolbar button");
    full->trigger();
    expectEmbedded("menu again");

    // A rebuild while full screen: the picture comes back full screen.
    w->btFullScreenClick();
    w->btRecClick();
    ASSERT_EQ(w->graphMode(), GraphMode::Recording);
    EXPECT_FALSE(video->isVisible());
    w->btStopClick();
    ASSERT_EQ(w->graphMode(), GraphMode::Preview);
    ASSERT_TRUE(WaitForFrames(*w, 2));
    expectFull("after a rebuild");
    full->trigger();
    expectEmbedded("after a rebuild, out again");

    // F12 without a tuner opens nothing.
    w->graphBuilder().forgetDevices();
    ASSERT_EQ(w->graphBuilder().tuner(), nullptr);
    ASSERT_TRUE(Activate(w.get()));
    const auto windowsBefore = QApplication::topLevelWidgets().size();
    QTest::keyClick(w.get(), Qt::Key_F12);
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(QApplication::topLevelWidgets().size(), windowsBefore);
    EXPECT_TRUE(answerer.messages.isEmpty()) << answerer.messages.join("\n").toStdString();
    Close(w);
}

// A 4:3 picture in a wider window: black bars at the sides only with the
// option on, at once and after a rebuild; the caption sits on the picture.
TEST(MainWindowView, KeepAspectRatioLetterboxesBeforeAndAfterARebuild) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    StoreAuroraChannels(paths);
    ModalAnswerer answerer;
    auto w = Open(paths);
    w->resize(2 * TfrmMain::kDesignWidth, TfrmMain::kDesignHeight);
    ASSERT_TRUE(Activate(w.get()));
    VideoWindow* video = w->videoWindow();
    ASSERT_GT(video->width() * 3, video->height() * 4);
    auto* keep = w->findChild<QAction*>("Keepaspectratio1");
    ASSERT_TRUE(WaitForFrames(*w, 3));
    EXPECT_EQ(video->currentFrame().size(), QSize(640, 480));
    EXPECT_FALSE(BlackColumn(Shot(*w), 1)) << "stretched at start";

    QTest::keyClick(w.get(), Qt::Key_F10);
    EXPECT_TRUE(keep->isChecked());
    EXPECT_TRUE(BlackColumn(Shot(*w), 1)) << "letterboxed at once";

    w->btRecClick();
    ASSERT_EQ(w->graphMode(), GraphMode::Recording);
    w->btStopClick();
    ASSERT_EQ(w->graphMode(), GraphMode::Preview);
    ASSERT_TRUE(WaitForFrames(*w, 3));
    const QImage rebuilt = Shot(*w);
    EXPECT_TRUE(BlackColumn(rebuilt, 1)) << "letterboxed after a rebuild";
    EXPECT_FALSE(BlackColumn(rebuilt, rebuilt.width() / 2));

    // The caption starts at the picture's top left, not on the bar.
    w->showOsdText("14 - Aurora");
    const QRect picture = video->pictureRect();
    ASSERT_GT(picture.left(), kOsdMargin_px);
    const QImage captioned = Shot(*w);
    EXPECT_GT(WhitePixels(captioned, QRect(picture.topLeft(), QSize(120, 30))), 20);
    EXPECT_EQ(WhitePixels(captioned, QRect(0, 0, picture.left(), 40)), 0);

    keep->trigger();
    EXPECT_FALSE(keep->isChecked());
    EXPECT_FALSE(BlackColumn(Shot(*w), 1)) << "stretched again";
    w->btRecClick();
    w->btStopClick();
    ASSERT_TRUE(WaitForFrames(*w, 3));
    EXPECT_FALSE(BlackColumn(Shot(*w), 1)) << "stretched after a rebuild";
    EXPECT_TRUE(answerer.messages.isEmpty()) << answerer.messages.join("\n").toStdString();
    Close(w);
}

// The channel's caption on the tuned card: shown at start and on every
// channel choice, replaced by a newer one, gone when its time is up, never
// shown without a tuner, and readable in full screen.
TEST(MainWindowView, ChannelCaption) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    StoreAuroraChannels(paths);
    ModalAnswerer answerer;
    auto w = Open(paths, kShortCaption_ms);
    VideoWindow* video = w->videoWindow();
    ASSERT_NE(w->graphBuilder().tuner(), nullptr);
    EXPECT_EQ(video->osdText(), "14 - Aurora");
    EXPECT_EQ(video->OSDTimer().interval(), kShortCaption_ms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return video->osdText().isEmpty(); }, kWaitLimit_ms));
    EXPECT_FALSE(video->OSDTimer().isActive());
    EXPECT_TRUE(video->hasOverlay());

    w->btFastForwardClick();
    EXPECT_EQ(video->osdText(), "15 - Fifteen");
    EXPECT_TRUE(video->OSDTimer().isActive());
    ASSERT_TRUE(QTest::qWaitFor([&] { return video->osdText().isEmpty(); }, kWaitLimit_ms));

    // Full screen the caption is drawn at the top left of the screen.
    w->btFullScreenClick();
    ASSERT_TRUE(WaitForFrames(*w, 2));
    const QRect corner(kOsdMargin_px, kOsdMargin_px, 120, 30);
    const int before = WhitePixels(Shot(*w), corner);
    w->btRewindClick();
    EXPECT_EQ(video->osdText(), "14 - Aurora");
    EXPECT_GT(WhitePixels(Shot(*w), corner), before + 20);
    w->btFullScreenClick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return video->osdText().isEmpty(); }, kWaitLimit_ms));
    Close(w);

    // A newer text within the time replaces the old one and starts the
    // whole time again.
    w = Open(paths);
    video = w->videoWindow();
    ASSERT_EQ(video->OSDTimer().interval(), kOsdDuration_ms);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return video->OSDTimer().remainingTime() < kOsdDuration_ms / 2; }, kWaitLimit_ms));
    w->btFastForwardClick();
    EXPECT_EQ(video->osdText(), "15 - Fifteen");
    EXPECT_GT(video->OSDTimer().remainingTime(), kOsdDuration_ms * 3 / 4);
    // The empty text leaves nothing drawn.
    w->showOsdText(QString());
    EXPECT_EQ(video->osdText(), "");
    EXPECT_EQ(WhitePixels(Shot(*w), QRect(0, 0, 120, 40)), 0);

    // Without a tuner nothing is shown.
    video->OSDTimerTimer();
    w->graphBuilder().forgetDevices();
    w->showOsdText("14 - Aurora");
    EXPECT_EQ(video->osdText(), "");
    EXPECT_FALSE(video->OSDTimer().isActive());
    EXPECT_TRUE(answerer.messages.isEmpty()) << answerer.messages.join("\n").toStdString();
    Close(w);
}

QELTV_GUI_TEST_MAIN()
