// The session core without a window, driven through a view that records what
// it is shown; the hand-off from connection threads to the GUI thread with
// the real web server; and the controls of the real window by graph mode.
#include "app/session/TvSession.h"
#include "app/uFrmMain.h"
#include "settings/uFrmEditChannelName.h"
#include "tests/app/GuiTest.h"
#include "tests/app/SessionSupport.h"
#include "tests/scheduler/RecordingSupport.h"
#include "tests/settings/TempDir.h"
#include "tests/web/test_http_client.h"
#include "web/HttpServer.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTreeWidget>

#include <atomic>
#include <thread>

using namespace qeltv;
using namespace qeltv::test;

namespace {

// Three channels of the auto-tune store, as a first start after a scan.
void StoreThreeChannels(const Paths& paths) {
    WriteFile(paths.machineStore(),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\TV System "
              "Services\\TVAutoTune\\TS31-1]\n\"1\"=dword:02e03c90\n\"2\"=dword:034b0c50\n"
              "\"3\"=dword:03b5dc10\n");
}

std::vector<std::filesystem::path> Recordings(const Paths& paths) {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(paths.videosDir))
        if (e.path().filename() != "capture.avi")
            files.push_back(e.path());
    return files;
}

// Data that only frames and sound make up, never a file's header alone, and
// how long a loaded machine may take to record it.
constexpr std::uintmax_t kRecordedData_bytes = 256 * 1024;
constexpr int kRecording_ms = 60000;

void Post(Command command) {
    QCoreApplication::postEvent(QCoreApplication::instance(), new CommandEvent(command));
    QCoreApplication::processEvents();
}

} // namespace

// Channel steps, a recording by hand and by relayed command, the balloon for
// a start while recording, and the shutdown after which commands are ignored.
TEST(Session, DrivenWithoutAWindow) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    StoreThreeChannels(paths);
    FakeView view;
    auto session = std::make_unique<TvSession>(paths, nullptr, view);
    view.session = session.get();
    session->start(std::nullopt);
    EXPECT_TRUE(view.errors.isEmpty()) << view.errors.join("; ").toStdString();
    EXPECT_EQ(session->graphMode(), GraphMode::Preview);
    EXPECT_TRUE(view.videoVisible);
    EXPECT_EQ(session->preferences().videoCaptureDevices().selectedText(), "Virtual TV Card");
    EXPECT_EQ(session->tuning().quickChannelEntries(),
              (QStringList{"1 - Noname", "2 - Noname", "3 - Noname"}));
    ASSERT_FALSE(view.osd.isEmpty());
    EXPECT_EQ(view.osd.back(), "1 - Noname");

    session->tuning().lastChannel();
    session->tuning().nextChannel(); // from the last round to the first
    session->tuning().nextChannel();
    EXPECT_EQ(session->currentChannel(), 2);
    EXPECT_EQ(session->virtualCard().frequency(), 55250000u);
    EXPECT_EQ(session->tuning().quickChannelText(), "2 - Noname");
    EXPECT_EQ(view.osd.back(), "2 - Noname");
    // The list view's highlight moves the selection without tuning.
    session->tuning().selectChannel(std::size_t{2});
    EXPECT_EQ(session->currentChannel(), 2);
    EXPECT_EQ(session->channels().selected(), std::optional<std::size_t>(2));

    session->record();
    EXPECT_EQ(session->graphMode(), GraphMode::Recording);
    EXPECT_EQ(view.updates.back(), GraphMode::Recording);
    EXPECT_EQ(view.captions.back(), "Recording in progress...");
    EXPECT_FALSE(view.videoVisible);
    EXPECT_EQ(view.balloons.back(), "qEL TV|Recording started|1");
    // Picture and sound reach the working file: far more than its header.
    const std::filesystem::path working = session->settings().CapFile;
    const auto written = [&] {
        std::error_code error;
        const auto size = std::filesystem::file_size(working, error);
        return error ? 0 : size;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return written() >= kRecordedData_bytes; }, kRecording_ms))
        << written() << " bytes in " << working.string();
    session->stop();
    EXPECT_EQ(session->graphMode(), GraphMode::Preview);
    EXPECT_EQ(view.updates.back(), GraphMode::Preview);
    ASSERT_EQ(Recordings(paths).size(), 1u);
    EXPECT_GE(std::filesystem::file_size(Recordings(paths)[0]), kRecordedData_bytes);
    // The finished file says how long it is: it was ended, not cut off.
    EXPECT_GT(RecordingSeconds(Recordings(paths)[0]), 0.0);

    // A relayed start: channel 3, then a second start gets only the balloon.
    Post({CommandKind::StartRec, 3});
    EXPECT_EQ(session->graphMode(), GraphMode::Recording);
    EXPECT_EQ(session->currentChannel(), 3);
    EXPECT_EQ(session->virtualCard().frequency(), 62250000u);
    Post({CommandKind::StartRec, 1});
    EXPECT_EQ(view.balloons.back(), "qEL TV|Could not start recording...|3");
    EXPECT_EQ(session->currentChannel(), 3);

    // The shutdown finishes the recording; a command arriving after it (from
    // a modal loop of the shutdown, say) acts on nothing.
    session->shutdown();
    EXPECT_EQ(Recordings(paths).size(), 2u);
    const auto balloons = view.balloons.size();
    const auto updates = view.updates.size();
    Post({CommandKind::StartRec, 2});
    Post({CommandKind::StopRec, 0});
    EXPECT_EQ(view.balloons.size(), balloons);
    EXPECT_EQ(view.updates.size(), updates);
    EXPECT_EQ(session->currentChannel(), 3);
    session.reset();
    EXPECT_NE(ReadFile(paths.userStore()).find("\"CurrentChannel\"=dword:00000003"),
              std::string::npos);
    EXPECT_TRUE(view.boxes.isEmpty()) << view.boxes.join("; ").toStdString();
}

// A recording whose final name and "unsaved_" name are both refused (a
// name near the file system's limit) is never deleted: it stays in the
// working file, the status bar names it, no recording starts over it (nor
// after a restart) until the user moves it, and then recording works again.
TEST(Session, RecordingThatCannotBeRenamedIsKeptAndNeverRecordedOver) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    constexpr std::size_t kNameLimit_bytes = 255;
    const std::filesystem::path working =
        paths.videosDir / (std::string(kNameLimit_bytes - 9, 'a') + ".avi");
    std::uintmax_t recorded = 0;
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "first run" : "after a restart");
        FakeView view;
        auto session = std::make_unique<TvSession>(paths, nullptr, view);
        view.session = session.get();
        session->start(std::nullopt);
        if (run == 0) {
            session->setCaptureFile(QString::fromStdString(working.string()));
            session->record();
            ASSERT_EQ(session->graphMode(), GraphMode::Recording);
            QTest::qWait(1500);
            session->stop();
            ASSERT_TRUE(std::filesystem::exists(working));
            recorded = std::filesystem::file_size(working);
            EXPECT_GT(recorded, 0u);
            EXPECT_TRUE(view.statuses.join("\n").contains("it is kept as " +
                                                          QString::fromStdString(working.string())))
                << view.statuses.join("\n").toStdString();
        }
        EXPECT_EQ(session->graphMode(), GraphMode::Preview);
        EXPECT_TRUE(view.statuses.last().contains(QString::fromStdString(working.string())))
            << view.statuses.join("\n").toStdString();
        // Every build keeps it, and a recording is refused with a message.
        const auto boxes = view.boxes.size();
        session->record();
        EXPECT_EQ(session->graphMode(), GraphMode::Preview);
        ASSERT_EQ(view.boxes.size(), boxes + 1);
        EXPECT_TRUE(view.boxes.last().startsWith("Recording refused: " +
                                                 QString::fromStdString(working.string())))
            << view.boxes.last().toStdString();
        ASSERT_TRUE(std::filesystem::exists(working));
        EXPECT_GE(std::filesystem::file_size(working), recorded);
        session->shutdown();
        EXPECT_TRUE(std::filesystem::exists(working));
    }
    // Moved away by the user: the next recording starts.
    std::filesystem::rename(working, paths.videosDir / "moved.avi");
    FakeView view;
    auto session = std::make_unique<TvSession>(paths, nullptr, view);
    view.session = session.get();
    session->start(std::nullopt);
    session->record();
    EXPECT_EQ(session->graphMode(), GraphMode::Recording);
    session->shutdown();
}

// A connection thread that waits for the GUI thread while the GUI thread
// stops the server: the stop never waits for it (no deadlock, no "Terminate
// Thread Timeout"), and work dropped by the stop never runs later. In odd
// rounds the GUI thread takes the work first, in even rounds the stop comes
// first.
TEST(HandOff, ServerStopNeverWaitsOnAConnectionWaitingForTheGuiThread) {
    constexpr int kRounds = 1000;
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    FakeView view;
    TvSession session(paths, nullptr, view);
    view.session = &session;
    std::atomic<int> entered{0}, finished{0}, ran{0};
    std::atomic<int> answeredRan{0}, answeredDropped{0};
    for (int round = 0; round < kRounds; ++round) {
        web::HttpServer server([&](web::HttpConnection& connection, const web::HttpRequest&,
                                   web::HttpResponse& response) {
            entered.fetch_add(1);
            const bool done =
                session.guiThread().handOff([&] { ran.fetch_add(1); }, connection.stopToken());
            (done ? answeredRan : answeredDropped).fetch_add(1);
            response.body_text = done ? "ran" : "dropped";
            finished.fetch_add(1);
        });
        server.start(0, 1);
        std::thread client([port = server.port()] {
            try {
                web::test::exchange(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
            } catch (const std::exception&) {
                // A connection cut by the stop is what the stop does.
            }
        });
        // Waited for without taking events: the work stays queued.
        for (int waited_ms = 0; entered.load() <= round && waited_ms < 5000; ++waited_ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_GT(entered.load(), round);
        if (round % 2 == 1) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return finished.load() > round; }, 5000));
        }
        ASSERT_NO_THROW(server.stop()) << "round " << round;
        client.join();
        ASSERT_EQ(finished.load(), round + 1);
        // Whatever was dropped stays dropped.
        QCoreApplication::processEvents();
        ASSERT_EQ(ran.load(), (round + 1) / 2) << "round " << round;
    }
    EXPECT_EQ(answeredRan.load(), kRounds / 2);
    EXPECT_EQ(answeredDropped.load(), kRounds / 2);
}

// A recording asked for by a web request whose build fails: the request
// returns at once with the mode as it is, while the failure's box waits for
// the person at the screen.
TEST(HandOff, FailedBuildFromARequestReturnsWhileItsBoxIsOpen) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    auto w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
    TvSession& session = w->session();
    session.setCaptureFile(dir.path() + "/missing/folder/rec.avi");
    // Should the box block, this closes it and the test fails instead of
    // hanging.
    bool forcedClose = false;
    QTimer::singleShot(15000, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            forcedClose = true;
            box->close();
        }
    });
    std::atomic<bool> returned{false};
    std::optional<GraphMode> seen;
    std::stop_source stop;
    std::thread request([&] {
        seen = session.guiThread().runOnGuiThread(
            [&] {
                session.record();
                return session.graphMode();
            },
            stop.get_token());
        returned = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return returned.load(); }, 20000));
    request.join();
    EXPECT_FALSE(forcedClose);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(*seen, GraphMode::Recording);
    QMessageBox* box = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* b = qobject_cast<QMessageBox*>(top); b && b->isVisible())
            box = b;
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->text().startsWith(GraphBuilder::kBuildErrorText));
    box->close();
    // The person at the screen still gets the modal box for their own click.
    ModalAnswerer answerer;
    EXPECT_TRUE(QTest::qWaitFor([&] { return w->graphMode() == GraphMode::Preview; }, 5000));
    w->btRecClick();
    EXPECT_EQ(answerer.messages.size(), 1);
    w->close();
    w.reset();
}

// The window's controls by graph mode, and the list view's highlight as the
// selection that "&Edit" renames.
TEST(MainWindowControls, FollowTheGraphModeAndTheHighlightedRow) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    StoreThreeChannels(paths);
    ModalAnswerer answerer;
    auto w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
    auto enabled = [&](const char* name) {
        if (auto* a = w->findChild<QAction*>(name))
            return a->isEnabled();
        return w->findChild<QWidget*>(name)->isEnabled();
    };
    const char* steps[] = {"btPreviousChapter", "btRewind", "btFastForward", "btNextChapter"};
    for (const char* name : steps)
        EXPECT_TRUE(enabled(name)) << name;
    EXPECT_TRUE(enabled("btRec"));
    EXPECT_TRUE(enabled("cmbVideoCapDev"));
    w->btRecClick();
    ASSERT_EQ(w->graphMode(), GraphMode::Recording);
    for (const char* name : steps)
        EXPECT_FALSE(enabled(name)) << name;
    for (const char* name : {"btRec", "lstChannels", "cmbQuickChannel", "cmbVideoCapDev",
                             "edCapFile", "StartWebcast1", "btFrameStep"})
        EXPECT_FALSE(enabled(name)) << name;
    for (const char* name : {"btPause", "btPlay", "btStop"})
        EXPECT_TRUE(enabled(name)) << name;
    w->btStopClick();
    ASSERT_EQ(w->graphMode(), GraphMode::Preview);
    EXPECT_TRUE(enabled("btRec"));
    EXPECT_TRUE(enabled("edCapFile"));

    // Arrow keys move the highlight: "&Edit" renames the row shown.
    auto* list = w->findChild<QTreeWidget*>("lstChannels");
    w->show();
    list->setFocus();
    list->setCurrentItem(list->topLevelItem(0));
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Down);
    ASSERT_EQ(list->currentItem(), list->topLevelItem(2));
    answerer.onDialog = [](QDialog* d) {
        if (auto* edit = qobject_cast<TfrmEditChannelname*>(d)) {
            edit->nameBox()->lineEdit()->setText("Third");
            edit->accept();
        }
    };
    w->findChild<QAction*>("Edit2")->trigger();
    EXPECT_EQ(list->topLevelItem(2)->text(1), "Third");
    EXPECT_EQ(list->topLevelItem(0)->text(1), "Noname");
    // The highlight alone does not tune.
    EXPECT_EQ(w->currentChannel(), 1);
    w->close();
    w.reset();
}

QELTV_GUI_TEST_MAIN()
