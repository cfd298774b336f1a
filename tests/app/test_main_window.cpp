// The main window in this process: settings and channels at start and
// close, the error handler, channel steps and renaming.
#include "app/VideoWindow.h"
#include "app/uFrmMain.h"
#include "settings/uFrmEditChannelName.h"
#include "tests/app/GuiTest.h"
#include "tests/settings/TempDir.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTreeWidget>

using namespace qeltv;
using namespace qeltv::test;

namespace {
std::unique_ptr<TfrmMain> Open(const Paths& paths, std::optional<long> channel = std::nullopt) {
    return std::make_unique<TfrmMain>(paths, channel, nullptr, App());
}

void CloseWindow(std::unique_ptr<TfrmMain>& w) {
    w->close();
    w.reset();
}

QStringList Rows(TfrmMain& w) {
    QStringList rows;
    auto* list = w.findChild<QTreeWidget*>("lstChannels");
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        auto* item = list->topLevelItem(i);
        rows << item->text(0) + "|" + item->text(1) + "|" + item->text(2);
    }
    return rows;
}

int SelectedRow(TfrmMain& w) {
    auto* list = w.findChild<QTreeWidget*>("lstChannels");
    auto items = list->selectedItems();
    return items.isEmpty() ? -1 : list->indexOfTopLevelItem(items.first());
}
} // namespace

// A settings file that does not parse: the message names the file and the
// line, the file is kept as .bad, and the program runs on with defaults.
TEST(MainWindow, CorruptSettingsFile) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    WriteFile(paths.userStore(), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Qel\\QelTV]\n"
                                 "\"PreviewWidth\"=dword:zz\n");
    ModalAnswerer answerer;
    auto w = Open(paths);
    ASSERT_EQ(answerer.messages.size(), 1);
    EXPECT_EQ(answerer.messages[0],
              QString::fromStdString("Exception occured: " + paths.userStore().string() +
                                     ", line 4: bad dword value\n\nTry to remove the \"qeltv.dat\" "
                                     "file from the program directory, and restart qEL TV."));
    EXPECT_TRUE(std::filesystem::exists(paths.userStore().string() + ".bad"));
    EXPECT_EQ(w->settings().PreviewWidth, 640);
    EXPECT_EQ(w->settings().CapFile, (paths.videosDir / "capture.avi").string());
    EXPECT_TRUE(std::filesystem::is_directory(paths.videosDir));
    CloseWindow(w);
    EXPECT_NE(ReadFile(paths.userStore()).find("\"PreviewWidth\"=dword:00000280"),
              std::string::npos);
    EXPECT_NE(ReadFile(paths.userStore().string() + ".bad").find("dword:zz"), std::string::npos);
}

// What an event handler throws reaches the error handler; the program goes on.
TEST(MainWindow, ErrorsFromEventHandlersAreReported) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    ModalAnswerer answerer;
    auto w = Open(paths);
    struct Thrower : QObject {
        bool event(QEvent*) override { throw std::runtime_error("boom in a handler"); }
    } thrower;
    QEvent e(QEvent::User);
    QCoreApplication::sendEvent(&thrower, &e);
    ASSERT_EQ(answerer.messages.size(), 1);
    EXPECT_TRUE(answerer.messages[0].startsWith("Exception occured: boom in a handler\n\n"));
    // Removed at shutdown: nothing is shown any more.
    w->errorHandler().remove();
    QCoreApplication::sendEvent(&thrower, &e);
    EXPECT_EQ(answerer.messages.size(), 1);
    CloseWindow(w);
}

// A toolbar button whose operation fails reports through the error handler
// at the handler itself: nothing is thrown through Qt's signal frames, and
// the program goes on.
TEST(MainWindow, FailingTransportButtonsReportAndGoOn) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    ModalAnswerer answerer;
    auto w = Open(paths);
    w->graphBuilder().graph().Deactivate();
    w->findChild<QAction*>("btPlay")->trigger();
    w->findChild<QAction*>("btPause")->trigger();
    ASSERT_EQ(answerer.messages.size(), 2);
    EXPECT_TRUE(answerer.messages[0].startsWith("Exception occured: Run: the filter graph is not "
                                                "active"))
        << answerer.messages[0].toStdString();
    EXPECT_TRUE(answerer.messages[1].startsWith("Exception occured: Pause: "))
        << answerer.messages[1].toStdString();
    w->graphBuilder().graph().Activate();
    CloseWindow(w);
}

// Without a system tray to bring it back from (the offscreen platform has
// none), minimising only minimises: the window is not hidden.
TEST(MainWindow, MinimisingWithoutATrayKeepsTheWindow) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    ModalAnswerer answerer;
    auto w = Open(paths);
    w->show();
    w->showMinimized();
    QTest::qWait(100);
    EXPECT_TRUE(w->isMinimized());
    EXPECT_TRUE(w->isVisible());
    CloseWindow(w);
}

TEST(MainWindow, FallbackChannelsAndCyclicSteps) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    WriteFile(paths.machineStore(),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\TV System "
              "Services\\TVAutoTune\\TS31-1]\n\"1\"=dword:02e03c90\n\"2\"=dword:034b0c50\n"
              "\"3\"=dword:03b5dc10\n");
    ModalAnswerer answerer;
    auto w = Open(paths);
    EXPECT_TRUE(answerer.messages.isEmpty());
    EXPECT_EQ(Rows(*w),
              (QStringList{"1|Noname|48250000", "2|Noname|55250000", "3|Noname|62250000"}));
    EXPECT_EQ(w->settings().TuningSpace, 31);
    EXPECT_EQ(SelectedRow(*w), 0); // current channel 1
    EXPECT_EQ(w->trayHint(), "qEL TV [ 1 - Noname ]");
    w->btNextChapterClick();
    EXPECT_EQ(SelectedRow(*w), 2);
    w->btFastForwardClick(); // from the last to the first
    EXPECT_EQ(SelectedRow(*w), 0);
    w->btRewindClick(); // from the first to the last
    EXPECT_EQ(SelectedRow(*w), 2);
    // The Virtual TV Card's tuner follows at once: channel 3 of tuning
    // space 31 stands for the stored frequency.
    EXPECT_EQ(w->currentChannel(), 3);
    EXPECT_EQ(w->virtualCard().frequency(), 62250000u);
    EXPECT_EQ(w->trayHint(), "qEL TV [ 3 - Noname ]");
    EXPECT_EQ(w->videoWindow()->osdText(), "3 - Noname");
    CloseWindow(w);
    // The list was saved as the own list.
    EXPECT_NE(ReadFile(paths.userStore())
                  .find("Channels]\n\"1\"=\"Noname,48250000\"\n\"2\"=\"Noname,55250000\"\n"),
              std::string::npos);
}

// A first start has no channels: the quick-channel box says how to get them,
// without a text of its own that the tray hint or the caption would show.
TEST(MainWindow, EmptyChannelListSaysHowToGetChannels) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    auto w = Open(paths);
    auto* quick = w->findChild<QComboBox*>("cmbQuickChannel");
    ASSERT_EQ(quick->count(), 0);
    EXPECT_EQ(quick->placeholderText(), "No channels: Channels page, AutoTune");
    EXPECT_EQ(quick->currentText(), "");
    EXPECT_EQ(w->trayHint(), "qEL TV [  ]");
    CloseWindow(w);

    WriteFile(paths.machineStore(),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\TV System "
              "Services\\TVAutoTune\\TS31-1]\n\"1\"=dword:02e03c90\n");
    w = Open(paths);
    quick = w->findChild<QComboBox*>("cmbQuickChannel");
    EXPECT_EQ(quick->count(), 1);
    EXPECT_EQ(quick->placeholderText(), "");
    CloseWindow(w);
}

TEST(MainWindow, StoreOrderUnmatchedChannelRenameAndRewrite) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    WriteFile(paths.userStore(), "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Qel\\QelTV]\n"
                                 "\"CurrentChannel\"=dword:00000004\n\n"
                                 "[HKEY_CURRENT_USER\\Software\\Qel\\QelTV\\Channels]\n"
                                 "\"5\"=\"Five,1\"\n\"2\"=\"Two,2\"\n\"9\"=\"Nine,3\"\n");
    ModalAnswerer answerer;
    auto w = Open(paths);
    EXPECT_EQ(Rows(*w), (QStringList{"5|Five|1", "2|Two|2", "9|Nine|3"}));
    EXPECT_EQ(SelectedRow(*w), -1);
    EXPECT_EQ(w->quickChannelText(), "5 - Five");
    EXPECT_EQ(w->currentChannel(), 4);
    // The tuner stays on the stored channel: 4 is S1 on the cable plan.
    EXPECT_EQ(w->virtualCard().frequency(), 105250000u);
    w->btFastForwardClick(); // none selected: the first
    EXPECT_EQ(SelectedRow(*w), 0);
    w->btFastForwardClick();
    EXPECT_EQ(SelectedRow(*w), 1);
    EXPECT_EQ(w->quickChannelText(), "2 - Two");
    EXPECT_EQ(w->currentChannel(), 2);

    // Rename the selected channel to an awkward name.
    const QString awkward = QString::fromUtf8("a, \"b\"  c\x01,");
    answerer.onDialog = [&](QDialog* d) {
        if (auto* edit = qobject_cast<TfrmEditChannelname*>(d)) {
            EXPECT_EQ(edit->name(), "Two");
            edit->nameBox()->lineEdit()->setText(awkward);
            edit->accept();
        }
    };
    w->lstChannelsDblClick();
    EXPECT_EQ(Rows(*w)[1], "2|" + awkward + "|2");
    EXPECT_EQ(w->findChild<QComboBox*>("cmbQuickChannel")->itemText(1), "2 - " + awkward);
    // The tray hint keeps its text until the next choice.
    EXPECT_EQ(w->trayHint(), "qEL TV [ 2 - Two ]");

    // A channel deleted from the file by hand while the program runs comes
    // back at the close.
    std::string text = ReadFile(paths.userStore());
    text.erase(text.find("\"9\"="), std::string("\"9\"=\"Nine,3\"\n").size());
    WriteFile(paths.userStore(), text);
    CloseWindow(w);

    w = Open(paths);
    EXPECT_EQ(Rows(*w), (QStringList{"5|Five|1", "2|" + awkward + "|2", "9|Nine|3"}));
    // An empty name is accepted.
    w->btPreviousChapterClick();
    answerer.onDialog = [](QDialog* d) {
        if (auto* edit = qobject_cast<TfrmEditChannelname*>(d)) {
            edit->nameBox()->lineEdit()->clear();
            edit->accept();
        }
    };
    w->lstChannelsDblClick();
    EXPECT_EQ(w->findChild<QComboBox*>("cmbQuickChannel")->itemText(0), "5 - ");
    // Cancel keeps the name.
    answerer.onDialog = [](QDialog* d) { d->reject(); };
    w->btFastForwardClick();
    w->lstChannelsDblClick();
    EXPECT_EQ(Rows(*w)[1], "2|" + awkward + "|2");
    CloseWindow(w);
    EXPECT_NE(ReadFile(paths.userStore()).find("\"5\"=\",1\"\n"), std::string::npos);
}

QELTV_GUI_TEST_MAIN()
