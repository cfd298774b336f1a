// The program as a user lives with it: the real qeltv, headless on the
// Virtual TV Card in private folders, driven through a random sequence of
// what users and other programs do to it (commands on its socket, relayed
// starts that are later closed, webcasts, SIGTERM and SIGKILL with a
// restart, waits). After every step the recordings and the program are
// checked against a model of what was asked:
//   - every recording started ends as exactly one capture_*.avi, none lost,
//     none overwritten, none that nobody asked for;
//   - each passes the shared recording check (picture and sound, every frame
//     decodes, the frames cover the time recorded);
//   - the program runs and accepts connections on its socket;
//   - its graph mode is the one the commands asked for.
// A failure prints the seed and the steps taken; the same seed and step
// count replay the same steps (QELTV_LIFE_SEED, QELTV_LIFE_STEPS; see
// scripts/life-test).
//
// Scheduled starts are made as cron makes them: the runner with a job file
// of a task due today, with the program running (its instance records the
// scheduled channel) or closed (the runner's program records alone), and
// the job's recorded result must say what became of the start. Two tasks
// also overlap: the second, starting while the first records, is refused
// with its reason and leaves the first recording whole.
//
// Not driven from here (test_life_session.cpp drives those): the window's
// own controls (Record button, pause,
// format and compressor changes, channel steps, quick channel) cannot be
// reached from outside the process, and the web server cannot be enabled
// without the window, so the web pages' actions are not part of the run.
#include "capture/GraphMode.h"
#include "scheduler/JobFile.h"
#include "tests/app/ProgramRun.h"
#include "tests/life/LifeRun.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace qeltv;
using namespace qeltv::test;
using namespace qeltv::test::life;

namespace {

constexpr std::uint64_t kDefaultSeed = 20261208;
constexpr int kDefaultSteps = 48;

// A recording killed outright is kept, and repaired, at the next start: its
// header must then give its length like any other. The one place to relax
// that (HeaderDuration::MayBeWrong) when looking past a repair fault.
constexpr HeaderDuration kKilledRecordingHeader = HeaderDuration::MustMatch;

// Bounds of waits for what the program does; only a fault reaches them.
constexpr int kStartUp_ms = 60000;
// A mode change that ends a recording waits for the encoders to drain first
// (the program allows a minute for that).
constexpr int kModeChange_ms = 90000;
constexpr int kProgramExit_ms = 90000;
constexpr int kRelayExit_ms = 15000;
// How long a command that must change nothing is given to change something.
constexpr int kSettle_ms = 2000;
// The shortest and longest wait a Wait step draws, and how long a recording
// runs at least before something may end it.
constexpr int kShortestWait_ms = 500;
constexpr int kLongestWait_ms = 5000;
constexpr int kPoll_ms = 50;
// A started recording runs for a drawn time within these bounds before the
// next step, so that every file has something to decode.
constexpr int kShortestRecording_ms = 1000;
constexpr int kLongestRecording_ms = 4000;
// A scheduled task's maximum run time, which counts from the start of its
// recording; and how long its runner may take beyond it (the program's
// start and the end of its recording).
constexpr int kShortestScheduled_ms = 2000;
constexpr int kLongestScheduled_ms = 5000;
constexpr int kRunnerBeyond_ms = 120000;

// Named as QELTV_LIFE_SKIP names them.
enum class Op {
    SocketStartRec,
    SocketStopRec,
    SocketStartWebcast,
    SocketStopWebcast,
    RelayStart,
    RelayClose,
    Terminate,
    Kill,
    Scheduled,
    ScheduledWhileClosed,
    ScheduledOverlap,
    Wait,
};

// Weights of the operations in a random draw.
constexpr Weighted<Op> kOperations[] = {
    {Op::SocketStartRec, "SocketStartRec", 5},
    {Op::SocketStopRec, "SocketStopRec", 4},
    {Op::SocketStartWebcast, "SocketStartWebcast", 3},
    {Op::SocketStopWebcast, "SocketStopWebcast", 3},
    {Op::RelayStart, "RelayStart", 4},
    {Op::RelayClose, "RelayClose", 3},
    {Op::Terminate, "Terminate", 1},
    {Op::Kill, "Kill", 1},
    {Op::Scheduled, "Scheduled", 2},
    {Op::ScheduledWhileClosed, "ScheduledWhileClosed", 1},
    {Op::ScheduledOverlap, "ScheduledOverlap", 1},
    {Op::Wait, "Wait", 3},
};

// The recording the program is making, as the model knows it.
struct ActiveRecording {
    int owner = 0; // 0: a command on the socket; otherwise the relay's number
    Clock::time_point start;
};

class Life {
public:
    // `skipped`: operation names (comma-separated) left out of the draw, to
    // look past a fault that is already known.
    Life(std::uint64_t seed, int steps, std::string skipped)
        : journal_(seed, steps, std::move(skipped), {}), ledger_(videosDir()) {}

    // Runs the steps; empty when every invariant held, else the report.
    std::string run() {
        channels_ = StationChannels();
        if (channels_.empty())
            return "no channel of the plan carries a station";
        startProgram();
        if (!journal_.failed())
            checkInvariants();
        while (journal_.nextStep()) {
            perform(journal_.draw(kOperations, Op::Wait));
            if (!journal_.failed())
                checkInvariants();
        }
        shutDown();
        return journal_.report(
            program_ ? "program log (end):\n" + program_->log().right(4000).toStdString() : "");
    }

private:
    std::uint64_t next(std::uint64_t bound) { return journal_.next(bound); }
    void fail(const std::string& what) { journal_.fail(what); }
    void step(const std::string& what) { journal_.step(what); }

    QString videosDir() const { return home_.path("videos") + "/qeltv"; }
    QString workingFile() const { return videosDir() + "/capture.avi"; }

    // The graph mode the program last logged; -1 before the first build.
    int loggedMode() {
        static const QRegularExpression pattern("graph mode (\\d)");
        const QString log = program_->log();
        int mode = -1;
        auto it = pattern.globalMatch(log);
        while (it.hasNext())
            mode = it.next().captured(1).toInt();
        return mode;
    }

    bool waitForMode(GraphMode mode, int timeout_ms) {
        QElapsedTimer timer;
        timer.start();
        while (loggedMode() != ToInt(mode)) {
            if (timer.elapsed() > timeout_ms || !program_->running())
                return false;
            QThread::msleep(kPoll_ms);
        }
        return true;
    }

    // Lets a command that should change nothing show what it changes.
    void settle() { QThread::msleep(kSettle_ms); }

    int commandsLogged(const char* command) { return int(program_->log().count(command)); }

    // Connects to the program's socket and sends `line`; an empty line only
    // connects.
    bool send(const std::string& line) {
        const std::string path = (home_.path("run") + "/qeltv/QELTV.sock").toStdString();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, std::min(path.size(), sizeof address.sun_path - 1));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        bool sent = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        const std::string bytes = line + "\n";
        if (sent && !line.empty())
            sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
        ::close(fd);
        return sent;
    }

    // Sends a command and waits until the program has taken it.
    void command(const std::string& line, const char* logged) {
        const int before = commandsLogged(logged);
        if (!send(line)) {
            fail("the program's socket refused \"" + line + "\"");
            return;
        }
        if (!program_->waitForLog(logged, kModeChange_ms, before + 1))
            fail("the program did not take \"" + line + "\"");
    }

    void startProgram() {
        program_ = std::make_unique<ProgramRun>(home_, QStringList{});
        if (!program_->waitForLog("first instance", kStartUp_ms)) {
            fail("the program did not start");
            return;
        }
        mode_ = GraphMode::Preview;
        if (!waitForMode(GraphMode::Preview, kStartUp_ms))
            fail("the program did not reach the preview after its start");
    }

    long drawChannel() { return channels_[next(channels_.size())]; }

    void startRecording(int owner) {
        if (!waitForMode(GraphMode::Recording, kModeChange_ms)) {
            fail("the recording did not start (graph mode " + std::to_string(loggedMode()) + ")");
            return;
        }
        mode_ = GraphMode::Recording;
        active_ = ActiveRecording{owner, Clock::now()};
        const int record_ms =
            kShortestRecording_ms +
            int(next(std::uint64_t(kLongestRecording_ms - kShortestRecording_ms)));
        std::printf("life:    recording for %d ms\n", record_ms);
        QThread::msleep(record_ms);
    }

    // The recording ended at `end` (when the command or signal that ended
    // it was given).
    void endRecording(Clock::time_point end, const std::string& how,
                      HeaderDuration header = HeaderDuration::MustMatch) {
        ledger_.ended(SecondsBetween(active_->start, end), header, how);
        active_.reset();
    }

    void perform(Op op) {
        Clock::time_point end;
        switch (op) {
        case Op::SocketStartRec: {
            const long channel = drawChannel();
            step("QelTVStartRec " + std::to_string(channel) + " on the socket");
            const bool accepted = mode_ != GraphMode::Recording;
            command("QelTVStartRec " + std::to_string(channel), "command QelTVStartRec");
            if (journal_.failed())
                return;
            if (accepted)
                startRecording(0);
            else
                settle();
            break;
        }
        case Op::SocketStopRec:
            step("QelTVStopRec on the socket");
            end = Clock::now();
            command("QelTVStopRec", "command QelTVStopRec");
            if (journal_.failed())
                return;
            if (active_) {
                endRecording(end, "stopped on the socket");
                expectMode(GraphMode::Preview);
            } else {
                settle();
            }
            break;
        case Op::SocketStartWebcast:
            step("QelTVStartWebcast on the socket");
            command("QelTVStartWebcast", "command QelTVStartWebcast");
            if (journal_.failed())
                return;
            if (mode_ == GraphMode::Preview)
                expectMode(GraphMode::Webcast);
            else
                settle();
            break;
        case Op::SocketStopWebcast:
            step("QelTVStopWebcast on the socket");
            command("QelTVStopWebcast", "command QelTVStopWebcast");
            if (journal_.failed())
                return;
            if (mode_ == GraphMode::Webcast)
                expectMode(GraphMode::Preview);
            else
                settle();
            break;
        case Op::RelayStart:
            relayStart();
            break;
        case Op::RelayClose: {
            if (relays_.empty()) {
                step("close a relay: none runs, wait instead");
                settle();
                break;
            }
            auto it = relays_.begin();
            std::advance(it, long(next(relays_.size())));
            closeRelay(it->first);
            break;
        }
        case Op::Terminate:
        case Op::Kill:
            restart(op == Op::Kill ? SIGKILL : SIGTERM);
            break;
        case Op::Scheduled:
            scheduledStart(false);
            break;
        case Op::ScheduledWhileClosed:
            scheduledStart(true);
            break;
        case Op::ScheduledOverlap:
            overlappingSchedules();
            break;
        case Op::Wait: {
            const int wait_ms =
                kShortestWait_ms + int(next(std::uint64_t(kLongestWait_ms - kShortestWait_ms)));
            step("wait " + std::to_string(wait_ms) + " ms");
            QThread::msleep(wait_ms);
            break;
        }
        }
    }

    void expectMode(GraphMode mode) {
        if (!waitForMode(mode, kModeChange_ms))
            fail("graph mode " + std::to_string(loggedMode()) + ", expected " +
                 std::to_string(ToInt(mode)));
        mode_ = mode;
    }

    // `qeltv N` while the program runs: it relays the start, and stays until
    // it is closed. A start while a recording runs is refused; the refused
    // relay is closed at once (a refused start owns nothing to stop).
    void relayStart() {
        const long channel = drawChannel();
        const int number = ++relayCount_;
        step("relay " + std::to_string(number) + ": qeltv " + std::to_string(channel));
        const bool accepted = mode_ != GraphMode::Recording;
        const int before = commandsLogged("command QelTVStartRec");
        relays_[number] =
            std::make_unique<ProgramRun>(home_, QStringList{QString::number(channel)});
        if (!program_->waitForLog("command QelTVStartRec", kStartUp_ms, before + 1)) {
            fail("the relayed start did not reach the program");
            return;
        }
        if (accepted) {
            startRecording(number);
            return;
        }
        settle();
        checkInvariants();
        if (!journal_.failed())
            closeRelay(number);
    }

    void closeRelay(int number) {
        step("SIGTERM to relay " + std::to_string(number));
        ProgramRun& relay = *relays_.at(number);
        const Clock::time_point end = Clock::now();
        relay.signal(SIGTERM);
        const int exit = relay.waitForExit(kRelayExit_ms);
        relays_.erase(number);
        if (exit == -1) {
            fail("relay " + std::to_string(number) + " did not end on SIGTERM");
            return;
        }
        if (active_ && active_->owner == number) {
            endRecording(end, "its relay closed");
            expectMode(GraphMode::Preview);
        } else {
            settle();
        }
    }

    // A task due today, for channel `channel`, that runs `maxRunTime_ms`.
    std::filesystem::path writeJob(long channel, int maxRunTime_ms) {
        Job job;
        job.name = QString("life %1").arg(++jobCount_);
        job.application = QELTV_BINARY;
        job.parameters = QString::number(channel);
        job.workingDirectory = QFileInfo(QELTV_BINARY).absolutePath();
        job.account = "life";
        job.maxRunTime_ms = std::uint32_t(maxRunTime_ms);
        TASK_TRIGGER t;
        t.cbTriggerSize = TASK_TRIGGER::kSize;
        const QDate today = QDate::currentDate();
        t.wBeginYear = std::uint16_t(today.year());
        t.wBeginMonth = std::uint16_t(today.month());
        t.wBeginDay = std::uint16_t(today.day());
        t.TriggerType = TASK_TIME_TRIGGER_ONCE;
        job.triggers.push_back(t);
        const QProcessEnvironment env = home_.environment();
        for (const char* name : {"XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                 "XDG_VIDEOS_DIR", "XDG_CACHE_HOME", "QT_LOGGING_RULES"})
            job.environment.emplace_back(name, env.value(name));
        const std::filesystem::path file =
            std::filesystem::path((home_.path("data") + "/qeltv/tasks").toStdString()) /
            Job::FileNameFor(job.name);
        std::filesystem::create_directories(file.parent_path());
        job.Write(file);
        return file;
    }

    // Runs the runner as cron runs it (no display, the job due today) and
    // waits for its end; the job as the runner left it.
    std::optional<Job> runScheduled(const std::filesystem::path& file, int maxRunTime_ms) {
        QProcess runner;
        startRunner(runner, file);
        return finishRunner(runner, file, maxRunTime_ms);
    }

    // The runner of the job in `file`, started as cron starts it.
    void startRunner(QProcess& runner, const std::filesystem::path& file) {
        QProcessEnvironment env = home_.environment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        runner.setProcessEnvironment(env);
        runner.start(QELTV_RUNNER, {QString::fromStdString(file.string())});
    }

    // Waits for a started runner; its job once it has ended, "exited".
    std::optional<Job> finishRunner(QProcess& runner, const std::filesystem::path& file,
                                    int maxRunTime_ms) {
        if (!runner.waitForFinished(maxRunTime_ms + kRunnerBeyond_ms)) {
            runner.kill();
            runner.waitForFinished();
            fail("the runner did not end");
            return std::nullopt;
        }
        const Job job = Job::Read(file);
        if (job.status != Job::Status::Exited) {
            fail("the runner ended, its job is not \"exited\"");
            return std::nullopt;
        }
        return job;
    }

    // A scheduled start of a drawn channel. With the program running it
    // records in the running instance unless a recording runs (then the
    // run fails and says why); `closed`: the program is closed first and
    // the runner's program records alone, then the program starts again.
    void scheduledStart(bool closed) {
        const long channel = drawChannel();
        const int run_ms = kShortestScheduled_ms +
                           int(next(std::uint64_t(kLongestScheduled_ms - kShortestScheduled_ms)));
        step(std::string("scheduled start of channel ") + std::to_string(channel) + " for " +
             std::to_string(run_ms) + " ms" + (closed ? ", the program closed first" : ""));
        if (closed) {
            stopProgram(SIGTERM);
            if (journal_.failed())
                return;
            checkInvariants(false);
        }
        const bool accepted = closed || mode_ != GraphMode::Recording;
        const std::optional<Job> job = runScheduled(writeJob(channel, run_ms), run_ms);
        if (!job)
            return;
        if (accepted) {
            if (job->exitCode != 0)
                fail("the scheduled recording failed (" + std::to_string(job->exitCode) +
                     "): " + job->failure.toStdString());
            else
                ledger_.ended(run_ms / 1000.0, HeaderDuration::MustMatch, "scheduled");
        } else {
            const std::string reason = "channel " + std::to_string(channel) +
                                       " was not recorded: a recording is in progress";
            if (job->exitCode == 0 || job->failure.toStdString() != reason)
                fail("the refused schedule ended with " + std::to_string(job->exitCode) +
                     " and \"" + job->failure.toStdString() + "\", expected \"" + reason + "\"");
        }
        if (journal_.failed())
            return;
        if (closed) {
            checkInvariants(false);
            if (!journal_.failed())
                startProgram();
        } else if (accepted) {
            expectMode(GraphMode::Preview);
        }
    }

    // Two scheduled tasks that overlap: the second starts while the first
    // records, in the running program or (drawn) with the program closed,
    // when the first task's runner starts a program of its own. The second
    // is refused and says why; the first records its whole time.
    void overlappingSchedules() {
        const bool closed = next(2) == 0;
        const long first = drawChannel(), second = drawChannel();
        const int first_ms = kLongestScheduled_ms;
        const int second_ms = kShortestScheduled_ms;
        step("scheduled start of channel " + std::to_string(first) + " for " +
             std::to_string(first_ms) + " ms, channel " + std::to_string(second) +
             " starting while it records" + (closed ? ", the program closed first" : ""));
        if (closed) {
            stopProgram(SIGTERM);
            if (journal_.failed())
                return;
            checkInvariants(false);
        }
        const bool accepted = closed || mode_ != GraphMode::Recording;
        const std::filesystem::path firstFile = writeJob(first, first_ms);
        const std::filesystem::path secondFile = writeJob(second, second_ms);
        QProcess firstRunner, secondRunner;
        startRunner(firstRunner, firstFile);
        // The second starts once a recording runs: the first's, or the one
        // that refuses both.
        QElapsedTimer waited;
        waited.start();
        while (!QFileInfo::exists(workingFile())) {
            if (waited.elapsed() > kModeChange_ms) {
                fail("no recording runs after the first scheduled start");
                firstRunner.kill();
                firstRunner.waitForFinished();
                return;
            }
            QThread::msleep(kPoll_ms);
        }
        startRunner(secondRunner, secondFile);
        const std::optional<Job> secondJob = finishRunner(secondRunner, secondFile, second_ms);
        const std::optional<Job> firstJob = finishRunner(firstRunner, firstFile, first_ms);
        if (!firstJob || !secondJob)
            return;
        const auto refusedAs = [this](const Job& job, long channel) {
            const std::string reason = "channel " + std::to_string(channel) +
                                       " was not recorded: a recording is in progress";
            if (job.exitCode == 0 || job.failure.toStdString() != reason)
                fail("the refused schedule ended with " + std::to_string(job.exitCode) + " and \"" +
                     job.failure.toStdString() + "\", expected \"" + reason + "\"");
        };
        refusedAs(*secondJob, second);
        if (accepted) {
            if (firstJob->exitCode != 0)
                fail("the first scheduled recording failed (" + std::to_string(firstJob->exitCode) +
                     "): " + firstJob->failure.toStdString());
            else
                ledger_.ended(first_ms / 1000.0, HeaderDuration::MustMatch, "scheduled");
        } else {
            refusedAs(*firstJob, first);
        }
        if (journal_.failed())
            return;
        if (closed) {
            checkInvariants(false);
            if (!journal_.failed())
                startProgram();
        } else if (accepted) {
            expectMode(GraphMode::Preview);
        }
    }

    // Ends the program with `signalNumber` and starts it again. After
    // SIGTERM a running recording is finished in order; after SIGKILL its
    // working file is kept under a final name by the next start.
    void restart(int signalNumber) {
        step(std::string(signalNumber == SIGKILL ? "SIGKILL" : "SIGTERM") +
             " to the program, then start it again");
        stopProgram(signalNumber);
        if (journal_.failed())
            return;
        startProgram();
    }

    // Ends the program with `signalNumber`, and the relays with it.
    void stopProgram(int signalNumber) {
        const bool kill = signalNumber == SIGKILL;
        const Clock::time_point end = Clock::now();
        program_->signal(signalNumber);
        if (program_->waitForExit(kProgramExit_ms) == -1) {
            fail("the program did not end");
            return;
        }
        if (active_)
            endRecording(end, kill ? "the program was killed" : "the program was closed",
                         kill ? kKilledRecordingHeader : HeaderDuration::MustMatch);
        // Relays of an instance that has gone end with it.
        for (auto& [number, relay] : relays_) {
            relay->signal(SIGTERM);
            if (relay->waitForExit(kRelayExit_ms) == -1)
                fail("relay " + std::to_string(number) + " did not end after its program");
        }
        relays_.clear();
    }

    // `programRuns` false: while the program is closed, only the recordings.
    void checkInvariants(bool programRuns = true) {
        if (journal_.failed())
            return;
        if (!programRuns) {
            ledger_.check(false, journal_);
            return;
        }
        if (!program_->running()) {
            fail("the program is not running");
            return;
        }
        if (!send("")) {
            fail("the program does not accept connections on its socket");
            return;
        }
        if (loggedMode() != ToInt(mode_))
            fail("graph mode " + std::to_string(loggedMode()) + ", expected " +
                 std::to_string(ToInt(mode_)));
        ledger_.check(active_.has_value(), journal_);
    }

    void shutDown() {
        for (auto& [number, relay] : relays_) {
            relay->signal(SIGTERM);
            relay->waitForExit(kRelayExit_ms);
        }
        relays_.clear();
        if (program_ && program_->running()) {
            program_->signal(SIGTERM);
            program_->waitForExit(kProgramExit_ms);
        }
    }

    Home home_;
    Journal journal_;
    RecordingLedger ledger_;
    std::vector<long> channels_;
    std::unique_ptr<ProgramRun> program_;
    std::map<int, std::unique_ptr<ProgramRun>> relays_;
    int relayCount_ = 0;
    int jobCount_ = 0;
    GraphMode mode_ = GraphMode::Preview;
    std::optional<ActiveRecording> active_;
};

} // namespace

TEST(Life, RandomSequenceKeepsEveryRecording) {
    const std::uint64_t seed = EnvironmentNumber("QELTV_LIFE_SEED", kDefaultSeed);
    const int steps = int(EnvironmentNumber("QELTV_LIFE_STEPS", kDefaultSteps));
    std::printf("life: seed %llu, %d steps\n", static_cast<unsigned long long>(seed), steps);
    const char* skipped = std::getenv("QELTV_LIFE_SKIP");
    Life life(seed, steps, skipped ? skipped : "");
    const std::string report = life.run();
    EXPECT_TRUE(report.empty()) << report;
}
