// The program as the person at the window and the web pages live with it:
// the session core in this process, headless on the Virtual TV Card in
// private folders, with its web server on 127.0.0.1, driven through a random
// sequence of the window's controls (Record, Pause, Play, Stop, the webcast
// item, channel steps, the quick channel box, compressor and audio format
// choices; each only while the window enables it), commands relayed to the
// message hook, the web pages' actions over HTTP, restarts and waits. After
// every step the session is checked against a model of what was asked:
//   - every recording started ends as exactly one capture_*.avi, none lost,
//     none overwritten, none that nobody asked for, each whole (the shared
//     recording check) and as long as it ran, pauses left out;
//   - the graph mode and the graph's run state are the ones asked for, the
//     current channel is the one stepped to and the card is tuned to it;
//   - a running preview shows moving pictures;
//   - the web server answers and its page tells the mode;
//   - no error and no message box reached the person at the screen.
// A failure prints the seed and the steps taken; scripts/life-test session
// with the seed and step count replays them.
#include "app/session/TvSession.h"
#include "tests/app/FreePort.h"
#include "tests/app/GuiTest.h"
#include "tests/life/LifeRun.h"
#include "tests/settings/TempDir.h"
#include "tests/web/test_http_client.h"

#include <QTest>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

using namespace qeltv;
using namespace qeltv::test;
using namespace qeltv::test::life;

namespace {

constexpr std::uint64_t kDefaultSeed = 20261209;
constexpr int kDefaultSteps = 90;

// Bounds of waits for what the session does; only a fault reaches them.
constexpr int kRequest_ms = 90000;
constexpr int kAnswer_ms = 90000;
// How long the graph is given to reach the run state asked for, and a
// running preview to show new pictures.
constexpr int kRunState_ms = 15000;
constexpr int kPictures_ms = 15000;
constexpr int kPicturesShown = 5;
// The shortest and longest wait a Wait step draws, and how long a recording
// runs at least, or stays paused, before the next step.
constexpr int kShortestWait_ms = 300;
constexpr int kLongestWait_ms = 3000;
constexpr int kShortestRecording_ms = 1000;
constexpr int kLongestRecording_ms = 3000;

enum class Op {
    RecordButton,
    PauseButton,
    PlayButton,
    StopButton,
    WebcastItem,
    ChannelStep,
    QuickChannel,
    VideoCompressor,
    AudioCompressor,
    AudioFormat,
    RelayedStart,
    RelayedStop,
    RelayedWebcast,
    WebPage,
    Restart,
    Wait,
};

constexpr Weighted<Op> kOperations[] = {
    {Op::RecordButton, "RecordButton", 5},
    {Op::PauseButton, "PauseButton", 2},
    {Op::PlayButton, "PlayButton", 2},
    {Op::StopButton, "StopButton", 4},
    {Op::WebcastItem, "WebcastItem", 3},
    {Op::ChannelStep, "ChannelStep", 3},
    {Op::QuickChannel, "QuickChannel", 2},
    {Op::VideoCompressor, "VideoCompressor", 2},
    {Op::AudioCompressor, "AudioCompressor", 1},
    {Op::AudioFormat, "AudioFormat", 1},
    {Op::RelayedStart, "RelayedStart", 4},
    {Op::RelayedStop, "RelayedStop", 3},
    {Op::RelayedWebcast, "RelayedWebcast", 2},
    {Op::WebPage, "WebPage", 5},
    {Op::Restart, "Restart", 1},
    {Op::Wait, "Wait", 2},
};

// What the window shows and what it reports, kept for the checks.
struct RecordingView : SessionView {
    QStringList boxes, errors;
    void setBusyCursor(bool) override {}
    void setBackCaption(const QString&) override {}
    void showVideoWindow(bool) override {}
    void setStatusText(const QString&) override {}
    void UpdateControls() override {}
    void showMessageBox(Box, const QString& text, bool) override { boxes << text; }
    void reportError(const QString& what) override { errors << what; }
    void showBalloon(const QString&, const QString&, int, int) override {}
    void showOsdText(const QString&) override {}
    void endProgram() override { errors << "the program was ended"; }
};

enum class RunState { Playing, Paused, Stopped };

const char* ModeName(GraphMode mode) {
    switch (mode) {
    case GraphMode::Preview:
        return "preview";
    case GraphMode::Recording:
        return "recording";
    case GraphMode::Webcast:
        return "webcast";
    case GraphMode::AutoTuning:
        return "auto tuning";
    }
    return "?";
}

// What the index page says of the webcast in each mode.
const char* WebcastStatusText(GraphMode mode) {
    switch (mode) {
    case GraphMode::Preview:
        return "Webcast is not active.";
    case GraphMode::Recording:
        return "Currently recording a broadcast.";
    case GraphMode::Webcast:
        return "Webcast is active.";
    case GraphMode::AutoTuning:
        return "Currently in auto tune progress.";
    }
    return "";
}

// The recording in progress as the model knows it.
struct ActiveRecording {
    Clock::time_point start;
    double paused_s = 0;
    std::optional<Clock::time_point> pausedSince;
    std::string how;
    QByteArray name; // as the answer to a relayed start gave it
};

class SessionLife {
public:
    SessionLife(std::uint64_t seed, int steps, std::string skipped)
        : paths_(TempPaths(dir_)), journal_(seed, steps, std::move(skipped), "session"),
          ledger_(QString::fromStdString(paths_.videosDir.string())) {}

    std::string run() {
        channels_ = StationChannels();
        if (channels_.empty())
            return "no channel of the plan carries a station";
        // The channel list after a scan: the channels that carry a station.
        std::string store = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\TV System "
                            "Services\\TVAutoTune\\TS31-1]\n";
        for (long channel : channels_) {
            char line[64];
            std::snprintf(line, sizeof line, "\"%ld\"=dword:%08x\n", channel,
                          unsigned(ChannelFrequency_hz(channel)));
            store += line;
        }
        WriteFile(paths_.machineStore(), store);
        webcastPort_ = FreePort();

        open();
        if (!journal_.failed()) {
            // Onto a channel with a station, so that every recording has sound.
            session_->tuning().firstChannel();
            select(0);
            checkInvariants();
        }
        while (journal_.nextStep()) {
            perform(journal_.draw(kOperations, Op::Wait, [this](Op op) { return enabled(op); }));
            checkInvariants();
        }
        close();
        if (!journal_.failed())
            ledger_.check(false, journal_);
        Journal::note(std::to_string(ledger_.finished()) + " recordings kept");
        return journal_.report({});
    }

private:
    // Starts the session as the program starts it, with the web server
    // listening on a port of its own.
    void open() {
        view_ = std::make_unique<RecordingView>();
        session_ = std::make_unique<TvSession>(paths_, nullptr, *view_);
        WebOptions options = session_->webcast().options();
        options.webcastPort = webcastPort_;
        options.webServerPort = 0;
        session_->webcast().setOptions(options);
        QObject::connect(&session_->renderer(), &VideoRenderer::frameReady, session_.get(), [this] {
            if (session_->renderer().takeSample())
                ++pictures_;
        });
        session_->start(std::nullopt);
        mode_ = GraphMode::Preview;
        run_ = RunState::Playing;
        const QString failure = session_->webServer().StartWebServer();
        if (!failure.isEmpty())
            journal_.fail("the web server did not start: " + failure.toStdString());
    }

    // Closes the session as the program closes: a recording is finished.
    void close() {
        if (!session_)
            return;
        const Clock::time_point end = Clock::now();
        session_->shutdown();
        if (recording_)
            endRecording(end, "the session was closed");
        session_.reset();
        view_.reset();
    }

    void processEvents() { QCoreApplication::processEvents(); }
    void hold(int ms) { QTest::qWait(ms); }

    // Whether the window enables the control of `op` in the current mode;
    // the other operations come from outside the window.
    bool enabled(Op op) const {
        using enum GraphMode;
        switch (op) {
        case Op::RecordButton:
        case Op::VideoCompressor:
        case Op::AudioCompressor:
        case Op::AudioFormat:
            return enabled({Preview});
        case Op::PauseButton:
        case Op::PlayButton:
        case Op::StopButton:
            return enabled({Preview, Recording});
        case Op::WebcastItem:
        case Op::ChannelStep:
        case Op::QuickChannel:
            return enabled({Preview, Webcast});
        default:
            return true;
        }
    }

    bool enabled(std::initializer_list<GraphMode> modes) const {
        for (GraphMode m : modes)
            if (m == mode_)
                return true;
        return false;
    }

    // A control the window disables in this mode is not clicked.
    bool click(const std::string& control, Op op) {
        if (enabled(op)) {
            journal_.step(control);
            return true;
        }
        journal_.step(control + ": disabled in " + ModeName(mode_) + ", not clicked");
        return false;
    }

    long channel() const { return current_; }
    // A step or choice in the list tunes the selected channel.
    void select(std::size_t row) {
        selected_ = row;
        current_ = channels_[row];
    }

    void recordingStarted(const std::string& how, QByteArray name = {}) {
        if (session_->graphMode() != GraphMode::Recording) {
            journal_.fail(how + ": no recording started (graph mode " +
                          std::to_string(ToInt(session_->graphMode())) + ")");
            return;
        }
        mode_ = GraphMode::Recording;
        run_ = RunState::Playing;
        recording_ = ActiveRecording{Clock::now(), 0, std::nullopt, how, std::move(name)};
        const int record_ms = journal_.drawTime_ms(kShortestRecording_ms, kLongestRecording_ms);
        Journal::note("recording for " + std::to_string(record_ms) + " ms");
        hold(record_ms);
    }

    void endRecording(Clock::time_point end, const std::string& how) {
        if (recording_->pausedSince)
            recording_->paused_s += SecondsBetween(*recording_->pausedSince, end);
        ledger_.ended(SecondsBetween(recording_->start, end) - recording_->paused_s,
                      HeaderDuration::MustMatch, recording_->how + ", " + how);
        recording_.reset();
        mode_ = GraphMode::Preview;
        run_ = RunState::Playing;
    }

    void perform(Op op) {
        switch (op) {
        case Op::RecordButton:
            if (click("Record button on channel " + std::to_string(channel()), Op::RecordButton)) {
                session_->record();
                recordingStarted("Record button");
            }
            break;
        case Op::PauseButton:
            if (click("Pause button", Op::PauseButton)) {
                const Clock::time_point at = Clock::now();
                session_->pause();
                if (recording_ && !recording_->pausedSince)
                    recording_->pausedSince = at;
                run_ = RunState::Paused;
                hold(journal_.drawTime_ms(kShortestWait_ms, kLongestWait_ms));
            }
            break;
        case Op::PlayButton:
            if (click("Play button", Op::PlayButton)) {
                const Clock::time_point at = Clock::now();
                session_->play();
                if (recording_ && recording_->pausedSince) {
                    recording_->paused_s += SecondsBetween(*recording_->pausedSince, at);
                    recording_->pausedSince.reset();
                }
                run_ = RunState::Playing;
            }
            break;
        case Op::StopButton:
            if (click("Stop button", Op::StopButton)) {
                const Clock::time_point end = Clock::now();
                session_->stop();
                if (recording_)
                    endRecording(end, "stopped by the Stop button");
                else
                    run_ = RunState::Stopped;
            }
            break;
        case Op::WebcastItem:
            if (click(mode_ == GraphMode::Webcast ? "Enable Webcast item off"
                                                  : "Enable Webcast item on",
                      Op::WebcastItem)) {
                const bool enable = mode_ != GraphMode::Webcast;
                session_->setWebcast(enable);
                mode_ = enable ? GraphMode::Webcast : GraphMode::Preview;
                run_ = RunState::Playing;
            }
            break;
        case Op::ChannelStep: {
            static const char* const names[] = {"first channel button", "previous channel button",
                                                "next channel button", "last channel button"};
            const int which = int(journal_.next(4));
            if (click(names[which], Op::ChannelStep)) {
                void (ChannelTuning::*const buttons[])() = {
                    &ChannelTuning::firstChannel, &ChannelTuning::previousChannel,
                    &ChannelTuning::nextChannel, &ChannelTuning::lastChannel};
                const CommandKind steps[] = {CommandKind::FirstChannel,
                                             CommandKind::PreviousChannel, CommandKind::NextChannel,
                                             CommandKind::LastChannel};
                (session_->tuning().*buttons[which])();
                stepChannel(steps[which]);
            }
            break;
        }
        case Op::QuickChannel: {
            const std::size_t row = std::size_t(journal_.next(channels_.size()));
            if (click("quick channel box: " + std::to_string(channels_[row]), Op::QuickChannel)) {
                session_->tuning().chooseQuickChannel(int(row));
                select(row);
            }
            break;
        }
        case Op::VideoCompressor:
            choose(Op::VideoCompressor, "video compressor",
                   session_->preferences().videoCompressors(),
                   [this](int i) { session_->preferences().chooseVideoCompressor(i); });
            break;
        case Op::AudioCompressor:
            choose(Op::AudioCompressor, "audio compressor",
                   session_->preferences().audioCompressors(),
                   [this](int i) { session_->preferences().chooseAudioCompressor(i); });
            break;
        case Op::AudioFormat:
            choose(Op::AudioFormat, "audio format", session_->preferences().audioFormats(),
                   [this](int i) { session_->preferences().chooseAudioFormat(i); });
            break;
        case Op::RelayedStart:
            relayedStart();
            break;
        case Op::RelayedStop:
            relayedStop();
            break;
        case Op::RelayedWebcast: {
            const bool start = journal_.next(2) == 0;
            journal_.step(start ? "QelTVStartWebcast relayed" : "QelTVStopWebcast relayed");
            post({start ? CommandKind::StartWebcast : CommandKind::StopWebcast});
            if (start ? mode_ == GraphMode::Preview : mode_ == GraphMode::Webcast) {
                mode_ = start ? GraphMode::Webcast : GraphMode::Preview;
                run_ = RunState::Playing;
            }
            break;
        }
        case Op::WebPage:
            webPage();
            break;
        case Op::Restart: {
            journal_.step("close the program and start it again");
            close();
            // A recording's name holds the process id and a count of the
            // program's recordings: a program started again is a new process
            // whose names start over, which this process cannot be. Names of
            // the closed session are not drawn as stale ones.
            startedNames_.clear();
            ledger_.check(false, journal_);
            if (journal_.failed())
                return;
            open();
            // The list selects the row of the current channel it was closed on.
            selected_ = std::size_t(std::find(channels_.begin(), channels_.end(), current_) -
                                    channels_.begin());
            break;
        }
        case Op::Wait: {
            const int wait_ms = journal_.drawTime_ms(kShortestWait_ms, kLongestWait_ms);
            journal_.step("wait " + std::to_string(wait_ms) + " ms");
            hold(wait_ms);
            break;
        }
        }
    }

    // A channel step as the channel list takes it: round from either end.
    void stepChannel(CommandKind step) {
        const std::size_t last = channels_.size() - 1;
        switch (step) {
        case CommandKind::FirstChannel:
            select(0);
            break;
        case CommandKind::LastChannel:
            select(last);
            break;
        case CommandKind::NextChannel:
            select(selected_ && *selected_ < last ? *selected_ + 1 : 0);
            break;
        case CommandKind::PreviousChannel:
            select(selected_ && *selected_ > 0 ? *selected_ - 1 : last);
            break;
        default:
            break;
        }
    }

    // An entry of a Preferences list, which the window enables in preview
    // only; every choice builds or runs the preview again.
    void choose(Op op, const std::string& list, const ChoiceList& entries,
                const std::function<void(int)>& choice) {
        if (entries.empty()) {
            journal_.step(list + ": the list is empty, nothing chosen");
            return;
        }
        const int index = int(journal_.next(std::uint64_t(entries.entries.size())));
        if (click(list + " \"" + entries.entries[index].toStdString() + "\"", op)) {
            choice(index);
            run_ = RunState::Playing;
        }
    }

    // Posts a command as the command channel does and lets the hook take it.
    std::optional<StartAnswer> post(Command command) {
        auto answer = std::make_shared<std::optional<StartAnswer>>();
        const bool start = command.kind == CommandKind::StartRec;
        QCoreApplication::postEvent(
            QCoreApplication::instance(),
            new CommandEvent(std::move(command), [answer](const StartAnswer& a) { *answer = a; }));
        processEvents();
        if (start && !QTest::qWaitFor([&] { return answer->has_value(); }, kAnswer_ms))
            journal_.fail("a relayed start was never answered");
        return *answer;
    }

    // "QelTVStartRec N": the channel and a recording from preview or webcast,
    // refused while one runs.
    void relayedStart() {
        const std::size_t row = std::size_t(journal_.next(channels_.size()));
        const long wanted = channels_[row];
        journal_.step("QelTVStartRec " + std::to_string(wanted) + " relayed");
        const bool accept = mode_ == GraphMode::Preview || mode_ == GraphMode::Webcast;
        const std::optional<StartAnswer> answer = post({CommandKind::StartRec, wanted});
        if (!answer)
            return;
        if (answer->accepted != accept) {
            journal_.fail(std::string("the relayed start was ") +
                          (answer->accepted ? "accepted" : "refused: ") +
                          answer->reason.toStdString() + " in " + ModeName(mode_));
            return;
        }
        if (!accept) {
            if (answer->reason != kRefusedRecording)
                journal_.fail("refused for \"" + answer->reason.toStdString() + "\", expected \"" +
                              kRefusedRecording + "\"");
            return;
        }
        // The current channel, not the list's selection.
        current_ = wanted;
        startedNames_.push_back(answer->recording);
        recordingStarted("relayed start", answer->recording);
    }

    // "QelTVStopRec", with no name, with the running recording's name, or
    // with the name of one that has ended (which must not stop the one that
    // runs).
    void relayedStop() {
        const int kind = int(journal_.next(3));
        QByteArray name;
        if (kind == 1 && recording_)
            name = recording_->name;
        else if (kind == 2 && !startedNames_.empty())
            name = startedNames_[std::size_t(journal_.next(startedNames_.size()))];
        journal_.step("QelTVStopRec" + (name.isEmpty() ? "" : " " + name.toStdString()) +
                      " relayed");
        const bool stops = recording_ && (name.isEmpty() || name == recording_->name);
        const Clock::time_point end = Clock::now();
        post({CommandKind::StopRec, 0, name});
        if (stops)
            endRecording(end, "stopped by a relayed QelTVStopRec");
        else if (mode_ == GraphMode::Recording)
            hold(kShortestWait_ms);
    }

    // A page over HTTP on the web server, with an action of the pages or
    // none; the page tells the mode after the action.
    void webPage() {
        static const char* const actions[] = {
            "", "startwebcast", "firstchannel", "prevchannel", "nextchannel", "lastchannel"};
        const std::string action = actions[journal_.next(std::size(actions))];
        const std::string target = action.empty() ? "/index.html" : "/index.html?action=" + action;
        journal_.step("GET " + target);
        if (action == "startwebcast" && mode_ == GraphMode::Preview) {
            mode_ = GraphMode::Webcast;
            run_ = RunState::Playing;
        } else if (action != "startwebcast" && !action.empty() && mode_ == GraphMode::Webcast) {
            stepChannel(action == "firstchannel"  ? CommandKind::FirstChannel
                        : action == "prevchannel" ? CommandKind::PreviousChannel
                        : action == "nextchannel" ? CommandKind::NextChannel
                                                  : CommandKind::LastChannel);
        }
        expectPage(target);
    }

    // Fetches `target` while the GUI thread runs what the connection hands
    // over; the page must be whole and tell the model's mode.
    void expectPage(const std::string& target) {
        const std::uint16_t port = session_->webServer().port();
        if (port == 0) {
            journal_.fail("the web server is not active");
            return;
        }
        std::string response, error;
        bool closed = false;
        std::atomic<bool> done{false};
        std::thread client([&] {
            try {
                web::test::TestClient connection(port);
                connection.send("GET " + target +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
                response = connection.readAll(&closed, kRequest_ms);
            } catch (const std::exception& e) {
                error = e.what();
            }
            done = true;
        });
        // The client ends on its own, bounded by its wait, if this gives up.
        const bool answered = QTest::qWaitFor([&] { return done.load(); }, kRequest_ms);
        client.join();
        if (!answered)
            error = "no answer";
        if (!error.empty()) {
            journal_.fail("GET " + target + ": " + error);
            return;
        }
        if (!closed || response.rfind("HTTP/1.1 200", 0) != 0 ||
            response.find("</html>") == std::string::npos) {
            journal_.fail("GET " + target + " was not answered with a whole page:\n" +
                          response.substr(0, 400));
            return;
        }
        if (response.find(WebcastStatusText(mode_)) == std::string::npos)
            journal_.fail("GET " + target + ": the page does not say \"" +
                          WebcastStatusText(mode_) + "\"");
    }

    static const char* StateName(GstState state) { return gst_element_state_get_name(state); }

    bool runStateMatches() {
        const GstState state = session_->graphBuilder().graph().state();
        switch (run_) {
        case RunState::Playing:
            return state == GST_STATE_PLAYING;
        case RunState::Paused:
            return state == GST_STATE_PAUSED;
        case RunState::Stopped:
            return state <= GST_STATE_READY;
        }
        return false;
    }

    void checkInvariants() {
        if (journal_.failed() || !session_)
            return;
        if (session_->graphMode() != mode_)
            journal_.fail(std::string("graph mode ") + ModeName(session_->graphMode()) +
                          ", expected " + ModeName(mode_));
        if (!QTest::qWaitFor([&] { return runStateMatches(); }, kRunState_ms)) {
            static const char* const runNames[] = {"playing", "paused", "stopped"};
            journal_.fail(std::string("the graph is ") +
                          StateName(session_->graphBuilder().graph().state()) + ", expected " +
                          runNames[int(run_)]);
        }
        if (session_->currentChannel() != channel())
            journal_.fail("current channel " + std::to_string(session_->currentChannel()) +
                          ", expected " + std::to_string(channel()));
        else if (session_->virtualCard().frequency() != ChannelFrequency_hz(channel()))
            journal_.fail("the card is tuned to " +
                          std::to_string(session_->virtualCard().frequency()) + " Hz, channel " +
                          std::to_string(channel()) + " is at " +
                          std::to_string(ChannelFrequency_hz(channel())) + " Hz");
        if (mode_ == GraphMode::Preview && run_ == RunState::Playing) {
            const int before = pictures_;
            if (!QTest::qWaitFor([&] { return pictures_ >= before + kPicturesShown; },
                                 kPictures_ms))
                journal_.fail("the preview shows no moving picture (" +
                              std::to_string(pictures_ - before) + " new pictures)");
        }
        if (!view_->errors.isEmpty())
            journal_.fail("errors reported: " + view_->errors.join("; ").toStdString());
        if (!view_->boxes.isEmpty())
            journal_.fail("message boxes shown: " + view_->boxes.join("; ").toStdString());
        view_->errors.clear();
        view_->boxes.clear();
        expectPage("/index.html");
        ledger_.check(recording_.has_value(), journal_, [this] { processEvents(); });
    }

    QTemporaryDir dir_;
    Paths paths_;
    Journal journal_;
    RecordingLedger ledger_;
    std::vector<long> channels_;
    int webcastPort_ = 0;
    std::unique_ptr<RecordingView> view_;
    std::unique_ptr<TvSession> session_;
    int pictures_ = 0;

    // The model.
    GraphMode mode_ = GraphMode::Preview;
    RunState run_ = RunState::Playing;
    // The selected row of the channel list (the station channels), and the
    // channel last tuned, which a relayed start changes without the
    // selection.
    std::optional<std::size_t> selected_;
    long current_ = 1;
    std::optional<ActiveRecording> recording_;
    std::vector<QByteArray> startedNames_;
};

} // namespace

TEST(Life, WindowWebPagesAndRelayedCommandsKeepEveryRecording) {
    const std::uint64_t seed = EnvironmentNumber("QELTV_LIFE_SEED", kDefaultSeed);
    const int steps = int(EnvironmentNumber("QELTV_LIFE_STEPS", kDefaultSteps));
    std::printf("life: seed %llu, %d steps\n", static_cast<unsigned long long>(seed), steps);
    const char* skipped = std::getenv("QELTV_LIFE_SKIP");
    SessionLife life(seed, steps, skipped ? skipped : "");
    const std::string report = life.run();
    EXPECT_TRUE(report.empty()) << report;
}

QELTV_GUI_TEST_MAIN()
