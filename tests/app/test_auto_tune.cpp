// Auto-tune on the Virtual TV Card: the session core driven through views
// that record what the scan shows, and the real window with its "&AutoTune"
// button pressed as a user would, through the event loop.
#include "app/session/TvSession.h"
#include "app/uFrmMain.h"
#include "capture/FrequencyTable.h"
#include "tests/app/GuiTest.h"
#include "tests/app/SessionSupport.h"
#include "tests/settings/TempDir.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <QTreeWidget>

#include <deque>
#include <filesystem>

using namespace qeltv;
using namespace qeltv::test;

namespace {

// What a scan shows, pass by pass (a pass shows a step at the display rate).
// Each pass's pending events are really processed; `onPass` runs first, with
// the number of the pass.
struct ScanRecorder : AutoTuneView {
    std::deque<Answer> answers;
    QStringList questions;
    std::vector<bool> running; // each showScanRunning
    int abortingShown = 0;
    long progressMinimum = 0, progressMaximum = 0, progress = -1;
    std::vector<long> progressShown;
    long frequency_hz = 0;
    int repaints = 0;
    int passes = 0;
    std::vector<std::uint32_t> tunedAtPass;
    std::vector<long> shownAtPass; // the frequency label's frequency
    std::vector<GraphMode> modeAtPass;
    std::function<void(int)> onPass;
    TvSession* session = nullptr;
    std::filesystem::path machineStore;
    int passesWithStoreFile = 0;

    Answer askYesNoCancel(const QString& text) override {
        questions << text;
        const Answer answer = answers.empty() ? Answer::Cancel : answers.front();
        if (!answers.empty())
            answers.pop_front();
        return answer;
    }
    void showScanRunning(bool r) override { running.push_back(r); }
    void showAborting() override { ++abortingShown; }
    void setProgressRange(long minimum, long maximum) override {
        progressMinimum = minimum;
        progressMaximum = maximum;
    }
    void setProgress(long value) override {
        progress = value;
        progressShown.push_back(value);
    }
    void showFrequency(long f) override { frequency_hz = f; }
    void repaintWindow() override { ++repaints; }
    void processPendingEvents() override {
        ++passes;
        tunedAtPass.push_back(session->virtualCard().frequency());
        shownAtPass.push_back(frequency_hz);
        modeAtPass.push_back(session->graphMode());
        passesWithStoreFile += std::filesystem::exists(machineStore) ? 1 : 0;
        if (onPass)
            onPass(passes);
        QCoreApplication::processEvents();
    }
};

// The first step of the continuous scan that hears the station.
std::uint32_t FirstStepHearing(std::uint32_t station_hz) {
    std::uint32_t f = kContinuousScanStart_hz;
    while (f + kVirtualCaptureRange_hz < station_hz)
        f += kContinuousScanStep_hz;
    return f;
}

// The stations on channels of the cable plan, as the grid scan finds them.
const std::vector<long> kPlanStations_hz = {140'250'000, 175'250'000, 196'250'000, 471'250'000,
                                            519'250'000, 623'250'000, 783'250'000};

std::vector<long> Frequencies(const ChannelList& channels) {
    std::vector<long> out;
    for (const Channel& c : channels.channels())
        out.push_back(std::stol(c.frequency()));
    return out;
}

std::vector<std::string> Numbers(const ChannelList& channels) {
    std::vector<std::string> out;
    for (const Channel& c : channels.channels())
        out.push_back(c.number);
    return out;
}

void ExpectAllNoname(const ChannelList& channels) {
    for (const Channel& c : channels.channels())
        EXPECT_EQ(c.name(), "Noname") << c.number;
}

struct CoreFixture {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    FakeView view;
    std::unique_ptr<TvSession> session;
    ScanRecorder scan;

    CoreFixture() {
        session = std::make_unique<TvSession>(paths, nullptr, view);
        view.session = session.get();
        scan.session = session.get();
        scan.machineStore = paths.machineStore();
        session->start(std::nullopt);
    }
    // Message boxes and the error handler's reports, in one list.
    QStringList messages() const {
        QStringList all;
        for (const QString& box : view.boxes)
            all << "box: " + box;
        return all + view.errors;
    }
};

} // namespace

// The continuous scan from an empty list: no question, every station once,
// numbered 1 to 8, the picture on the frequency each pass shows, far fewer
// passes than steps, the store written once at the end with the step
// frequencies and the last frequency tried; then the first channel chosen in
// preview. A relayed start-recording during the scan gets only the balloon.
TEST(AutoTuneCore, ContinuousScanFindsEveryStationOnceAndWritesTheStoreOnce) {
    CoreFixture f;
    ASSERT_TRUE(f.session->channels().empty());
    ASSERT_TRUE(f.messages().isEmpty()) << f.messages().join("; ").toStdString();
    f.view.updates.clear();
    f.scan.onPass = [](int pass) {
        if (pass == 1)
            QCoreApplication::postEvent(QCoreApplication::instance(),
                                        new CommandEvent({CommandKind::StartRec, 5}));
    };
    f.session->autoTune().startAutoTune(f.scan, AutoTuneMode::ContinuousFrequencies);

    EXPECT_TRUE(f.scan.questions.isEmpty());
    EXPECT_GE(f.scan.passes, 1);
    EXPECT_LE(f.scan.passes, kContinuousScanSteps / 10);
    EXPECT_EQ(f.scan.repaints, f.scan.passes);
    EXPECT_EQ(f.scan.progressMinimum, 38);
    EXPECT_EQ(f.scan.progressMaximum, 900);
    EXPECT_EQ(f.scan.frequency_hz, 900'000'000);
    EXPECT_EQ(f.scan.progress, 0);
    EXPECT_EQ(f.scan.running, (std::vector<bool>{true, false}));
    EXPECT_EQ(f.view.updates, (std::vector<GraphMode>{GraphMode::AutoTuning, GraphMode::Preview}));
    EXPECT_EQ(f.scan.progressShown.back(), 0);
    ASSERT_GE(f.scan.progressShown.size(), 2u);
    EXPECT_EQ(f.scan.progressShown[f.scan.progressShown.size() - 2], 900);
    for (const GraphMode mode : f.scan.modeAtPass)
        ASSERT_EQ(mode, GraphMode::AutoTuning);

    // The picture follows the scan: on the frequency of the step each pass
    // shows, or on the station that step settled on.
    ASSERT_EQ(f.scan.tunedAtPass.size(), static_cast<std::size_t>(f.scan.passes));
    for (std::size_t pass = 0; pass < f.scan.tunedAtPass.size(); ++pass) {
        const std::uint32_t tuned = f.scan.tunedAtPass[pass];
        const auto shown = static_cast<std::uint32_t>(f.scan.shownAtPass[pass]);
        const VirtualStation* station = VirtualTvCard::stationNear(shown);
        if (tuned != shown) {
            ASSERT_TRUE(station && tuned == station->frequency_hz) << shown << ": " << tuned;
        }
    }

    const auto& stations = VirtualTvCard::stations();
    const ChannelList& channels = f.session->channels();
    ASSERT_EQ(channels.size(), stations.size());
    ExpectAllNoname(channels);
    std::vector<std::string> numbers;
    std::vector<long> expected;
    for (std::size_t i = 0; i < stations.size(); ++i) {
        numbers.push_back(std::to_string(i + 1));
        expected.push_back(stations[i].frequency_hz);
    }
    EXPECT_EQ(Numbers(channels), numbers);
    EXPECT_EQ(Frequencies(channels), expected); // 499.25 MHz lies between plan channels

    // Written once, when the scan ended; the tuner's overrides came from
    // memory.
    EXPECT_EQ(f.scan.passesWithStoreFile, 0);
    RegFile written(f.paths.machineStore(), "HKEY_LOCAL_MACHINE");
    written.load();
    const auto entries = AutoTuneStore(written).entries(kTuningSpaceContinuous);
    ASSERT_EQ(entries.size(), stations.size() + 1);
    for (std::size_t i = 0; i < stations.size(); ++i) {
        EXPECT_EQ(entries[i].first, std::to_string(i + 1));
        EXPECT_EQ(entries[i].second,
                  static_cast<std::int32_t>(FirstStepHearing(stations[i].frequency_hz)))
            << i;
    }
    EXPECT_EQ(entries.back(), (std::pair<std::string, std::int32_t>{"9", 900'000'000}));
    EXPECT_EQ(f.session->settings().TuningSpace, kTuningSpaceContinuous);

    EXPECT_EQ(channels.selected(), std::optional<std::size_t>(0));
    EXPECT_EQ(f.session->currentChannel(), 1);
    // Channel 1 tunes where the scan first heard its station.
    EXPECT_EQ(f.session->virtualCard().frequency(), FirstStepHearing(stations[0].frequency_hz));
    EXPECT_EQ(f.session->virtualCard().received(), &stations[0]);
    EXPECT_EQ(f.session->tuning().quickChannelText(), "1 - Noname");
    EXPECT_EQ(f.session->graphMode(), GraphMode::Preview);
    EXPECT_EQ(f.view.balloons, (QStringList{"qEL TV|Could not start recording...|3"}));
    EXPECT_TRUE(f.messages().isEmpty()) << f.messages().join("; ").toStdString();
}

// With channels in the list the question comes first: No and Cancel leave
// the list and the mode untouched, Yes runs the grid scan, which finds the
// stations on plan channels under their cable channel numbers.
TEST(AutoTuneCore, QuestionThenCableGridScan) {
    CoreFixture f;
    f.session->autoTune().startAutoTune(f.scan, AutoTuneMode::ContinuousFrequencies);
    const std::vector<Channel> before = f.session->channels().channels();
    ASSERT_FALSE(before.empty());
    f.session->tuning().renameChannel(1, "Kept");
    const auto kept = f.session->channels().channels();
    f.view.updates.clear();
    ScanRecorder ask;
    ask.session = f.session.get();
    ask.answers = {AutoTuneView::Answer::No, AutoTuneView::Answer::Cancel,
                   AutoTuneView::Answer::Yes};
    const QString question = "Autotune will erase the list of current channels, and starts "
                             "tuning \r\nfor tv channels from scratch. Are you sure you want to "
                             "continue ?";
    for (int answer = 0; answer < 2; ++answer) {
        f.session->autoTune().startAutoTune(ask, AutoTuneMode::CableGrid);
        EXPECT_EQ(ask.questions.size(), answer + 1);
        EXPECT_EQ(ask.questions.back(), question);
        EXPECT_EQ(ask.passes, 0);
        EXPECT_TRUE(f.view.updates.empty());
        ASSERT_EQ(f.session->channels().size(), kept.size());
        EXPECT_EQ(f.session->channels().at(1).name(), "Kept");
        EXPECT_EQ(f.session->settings().TuningSpace, kTuningSpaceContinuous);
    }

    f.session->autoTune().startAutoTune(ask, AutoTuneMode::CableGrid);
    EXPECT_EQ(ask.questions.size(), 3);
    const ChannelList& channels = f.session->channels();
    EXPECT_EQ(Frequencies(channels), kPlanStations_hz);
    ASSERT_GE(channels.size(), 2u);
    EXPECT_EQ(channels.at(1).number, "14"); // E5 is cable channel 14
    ExpectAllNoname(channels);
    long minimum = 0, maximum = 0;
    f.session->graphBuilder().tuner()->ChannelMinMax(minimum, maximum);
    EXPECT_EQ(ask.progressMinimum, minimum);
    EXPECT_EQ(ask.progressMaximum, maximum);
    // Every channel of the grid tried: the last one shown before the bar
    // empties.
    ASSERT_GE(ask.progressShown.size(), 2u);
    EXPECT_EQ(ask.progressShown[ask.progressShown.size() - 2], maximum);
    EXPECT_EQ(ask.progressShown.back(), 0);
    EXPECT_GE(ask.passes, 1);
    EXPECT_EQ(f.session->settings().TuningSpace, kTuningSpaceCableGrid);
    EXPECT_EQ(channels.selected(), std::optional<std::size_t>(0));
    EXPECT_EQ(f.session->currentChannel(), ChannelNumberOr(channels.at(0).number, -1));
    EXPECT_EQ(f.session->virtualCard().frequency(), 140'250'000u);
    EXPECT_EQ(f.session->graphMode(), GraphMode::Preview);
    EXPECT_EQ(f.view.updates, (std::vector<GraphMode>{GraphMode::AutoTuning, GraphMode::Preview}));
    EXPECT_TRUE(f.messages().isEmpty()) << f.messages().join("; ").toStdString();
}

// An auto-tune store that cannot be written: the scan ends as any other
// (button idle, first channel chosen, preview), keeps what it found for this
// session, and the failure reaches the error handler once the program is
// back in preview.
TEST(AutoTuneCore, StoreThatCannotBeWrittenIsReportedAfterTheScanEnds) {
    CoreFixture f;
    // A folder where the file belongs: the rename over it fails.
    std::filesystem::create_directories(f.paths.machineStore() / "blocked");
    f.view.updates.clear();
    f.session->autoTune().startAutoTune(f.scan, AutoTuneMode::ContinuousFrequencies);
    ASSERT_EQ(f.messages().size(), 1);
    EXPECT_TRUE(f.messages()[0].startsWith("Auto-tune store not written: "))
        << f.messages()[0].toStdString();
    EXPECT_TRUE(f.messages()[0].contains("HKEY_LOCAL_MACHINE.reg"))
        << f.messages()[0].toStdString();
    EXPECT_EQ(f.scan.running, (std::vector<bool>{true, false}));
    EXPECT_EQ(f.view.updates, (std::vector<GraphMode>{GraphMode::AutoTuning, GraphMode::Preview}));
    EXPECT_EQ(f.session->graphMode(), GraphMode::Preview);
    EXPECT_EQ(f.session->channels().size(), VirtualTvCard::stations().size());
    // The tuner still tunes what the scan taught it.
    EXPECT_EQ(f.session->virtualCard().received(), &VirtualTvCard::stations()[0]);
    f.session->tuning().lastChannel();
    EXPECT_EQ(f.session->virtualCard().received(), &VirtualTvCard::stations().back());
    // A second press starts again: nothing stayed in the scanning state.
    EXPECT_FALSE(f.session->autoTune().inProgress());
}

namespace {

// The real window on the Channels page, shown, with its scan controls.
struct WindowFixture {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    std::unique_ptr<TfrmMain> window;
    QPushButton* button = nullptr;
    QProgressBar* progress = nullptr;
    QLabel* frequency = nullptr;
    QRadioButton* continuous = nullptr;

    WindowFixture() {
        window = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
        window->findChild<QTabWidget*>("Notebook1")->setCurrentIndex(PageChannels);
        window->show();
        button = window->findChild<QPushButton*>("btnAutoTune");
        progress = window->findChild<QProgressBar*>("ProgressBar1");
        frequency = window->findChild<QLabel*>("lblFrequency");
        continuous = window->findChild<QRadioButton*>("rbContinuousFrequencies");
    }

    // A user's click on the button, delivered by the event loop.
    void postClick() {
        QMetaObject::invokeMethod(
            button, [b = button] { QTest::mouseClick(b, Qt::LeftButton); }, Qt::QueuedConnection);
    }

    // Each time the card arrives on frequency_hz, the step that tuned it
    // lasts longer than the display interval, so the scan shows that step
    // and takes the pending events there, as it does wherever a display
    // interval ends.
    void showStepAt(std::uint32_t frequency_hz) {
        VirtualTvCard& card = window->virtualCard();
        listener = card.addListener([&card, frequency_hz, was = std::uint32_t{0}]() mutable {
            const std::uint32_t tuned = card.frequency();
            if (tuned == frequency_hz && was != frequency_hz)
                QThread::msleep(kScanDisplayInterval_ms + kDisplayMargin_ms);
            was = tuned;
        });
    }
    ~WindowFixture() {
        if (listener)
            window->virtualCard().removeListener(listener);
    }

    static constexpr unsigned long kDisplayMargin_ms = 10;
    int listener = 0;
};

} // namespace

// "&Abort" pressed during the grid scan, as a user would: the button is
// disabled until the scan's next check, the scan completes one more channel
// (adding it: channel 14 carries a station) and stops, keeping what it
// found, the first channel selected and tuned.
TEST(AutoTuneWindow, AbortDuringTheCableGridScanCompletesOneMoreStep) {
    WindowFixture f;
    ASSERT_TRUE(f.button && f.progress && f.frequency && f.continuous);
    EXPECT_EQ(f.button->text(), "&AutoTune");
    EXPECT_TRUE(f.window->findChild<QRadioButton*>("rbCableGrid")->isChecked());
    EXPECT_EQ(f.frequency->alignment() & Qt::AlignRight, Qt::AlignRight);
    EXPECT_TRUE(f.frequency->font().bold());
    EXPECT_EQ(f.frequency->font().pointSize(), 12);

    constexpr int kPressedAt = 13;
    f.showStepAt(ChannelTable(kCountryCodeWesternEurope, TunerInputType::Cable)
                     .at(kPressedAt - 1)
                     .frequency_hz);
    std::vector<int> values;
    bool duringScan = false, enabledAfterPress = true;
    QString captionAfterPress;
    QObject::connect(f.progress, &QProgressBar::valueChanged, f.progress, [&](int value) {
        values.push_back(value);
        if (value == 1) {
            duringScan = f.window->graphMode() == GraphMode::AutoTuning && f.button->isEnabled() &&
                         f.button->text() == "&Abort" && !f.continuous->isEnabled() &&
                         !f.window->findChild<QTreeWidget*>("lstChannels")->isEnabled();
        }
        if (value == kPressedAt)
            f.postClick();
        if (value == kPressedAt + 1) {
            enabledAfterPress = f.button->isEnabled();
            captionAfterPress = f.button->text();
        }
    });
    QTest::mouseClick(f.button, Qt::LeftButton);

    EXPECT_TRUE(duringScan);
    EXPECT_FALSE(enabledAfterPress);
    EXPECT_EQ(captionAfterPress, "&Abort");
    ASSERT_GE(values.size(), 2u);
    EXPECT_EQ(values[values.size() - 2], kPressedAt + 1);
    EXPECT_EQ(values.back(), 0);
    EXPECT_EQ(f.progress->value(), 0);
    EXPECT_EQ(f.frequency->text(), "  175.25"); // channel 14, E5

    EXPECT_EQ(Numbers(f.window->channels()), (std::vector<std::string>{"9", "14"}));
    EXPECT_EQ(Frequencies(f.window->channels()), (std::vector<long>{140'250'000, 175'250'000}));
    EXPECT_EQ(f.window->channels().selected(), std::optional<std::size_t>(0));
    EXPECT_EQ(f.window->currentChannel(), 9);
    EXPECT_EQ(f.window->virtualCard().frequency(), 140'250'000u);
    EXPECT_EQ(f.window->quickChannelText(), "9 - Noname");
    EXPECT_EQ(f.window->findChild<QTreeWidget*>("lstChannels")->topLevelItemCount(), 2);
    EXPECT_EQ(f.window->graphMode(), GraphMode::Preview);
    EXPECT_EQ(f.button->text(), "&AutoTune");
    EXPECT_TRUE(f.button->isEnabled());
    EXPECT_TRUE(f.continuous->isEnabled());
}

// "&Abort" pressed during the continuous scan stops it before its next
// step; a close asked for during the scan ends the scan first, then the
// normal shutdown saves the channels found.
TEST(AutoTuneWindow, AbortAndCloseDuringTheContinuousScan) {
    WindowFixture f;
    ASSERT_TRUE(f.button && f.progress && f.frequency && f.continuous);
    f.continuous->setChecked(true);
    // Pressed in the step at 200 MHz: three stations heard by then.
    constexpr int kPressedAtMHz = 200;
    f.showStepAt(static_cast<std::uint32_t>(kPressedAtMHz * kHertzPerMegahertz));
    auto connection =
        QObject::connect(f.progress, &QProgressBar::valueChanged, f.progress, [&](int value) {
            if (value == kPressedAtMHz)
                f.postClick();
        });
    QTest::mouseClick(f.button, Qt::LeftButton);
    QObject::disconnect(connection);
    EXPECT_EQ(f.frequency->text(), "  200.00");
    EXPECT_EQ(Frequencies(f.window->channels()),
              (std::vector<long>{140'250'000, 175'250'000, 196'250'000}));
    EXPECT_EQ(Numbers(f.window->channels()), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(f.window->channels().selected(), std::optional<std::size_t>(0));
    EXPECT_EQ(f.window->virtualCard().frequency(), 139'250'000u); // first heard there
    EXPECT_EQ(f.window->graphMode(), GraphMode::Preview);
    // Aborted or not, the store file is written, up to the last step tried.
    RegFile written(f.paths.machineStore(), "HKEY_LOCAL_MACHINE");
    written.load();
    const auto entries = AutoTuneStore(written).entries(kTuningSpaceContinuous);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries.back(), (std::pair<std::string, std::int32_t>{"4", 200'000'000}));

    // Now closed during a scan (answering Yes to the question first).
    QTimer answer;
    answer.setInterval(20);
    QObject::connect(&answer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->button(QMessageBox::Yes)->click();
    });
    answer.start();
    bool closedDuringScan = false;
    QObject::connect(f.progress, &QProgressBar::valueChanged, f.progress, [&](int value) {
        if (value == kPressedAtMHz) {
            f.window->close();
            closedDuringScan = f.window->isVisible() && !f.window->session().shuttingDown() &&
                               f.window->session().autoTune().inProgress();
        }
    });
    QTest::mouseClick(f.button, Qt::LeftButton);
    EXPECT_TRUE(closedDuringScan);
    EXPECT_FALSE(f.window->session().autoTune().inProgress());
    EXPECT_TRUE(f.window->session().shuttingDown());
    EXPECT_FALSE(f.window->isVisible());
    EXPECT_EQ(f.window->channels().size(), 3u);
    const std::string user = ReadFile(f.paths.userStore());
    EXPECT_NE(user.find("[HKEY_CURRENT_USER\\Software\\Qel\\QelTV\\Channels]\n\"1\"="),
              std::string::npos)
        << user;
    EXPECT_NE(user.find("\"3\"=\"Noname,196250000\""), std::string::npos) << user;
    EXPECT_NE(user.find("\"TuningSpace\"=dword:0000001f"), std::string::npos) << user;
}

QELTV_GUI_TEST_MAIN()
