// "Start now" runs the real runner, which starts the real program: with a
// first instance running, the started program relays and the running
// instance records; without one, it records by itself, hidden. At the
// task's maximum run time the runner ends it and the file is finished.
#include "scheduler/ScheduleList.h"
#include "tests/app/ProgramRun.h"
#include "tests/scheduler/CronSupport.h"
#include "tests/scheduler/RecordingSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>
#include <algorithm>

using namespace qeltv;
using namespace qeltv::test;

namespace {

// Long enough for the program to start and record, short enough for the
// test suite: the runner's real path with a shorter maximum run time.
constexpr std::uint32_t kRecording_ms = 8000;
constexpr int kWait_ms = 90000;

// The desktop session of `home`, as the agent records it when a task is
// saved: the test process stands in for the user's session.
void EnterSession(const Home& home) {
    const QProcessEnvironment env = home.environment();
    for (const char* name : {"XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                             "XDG_VIDEOS_DIR", "XDG_CACHE_HOME"})
        qputenv(name, env.value(name).toUtf8());
    // No display: the runner starts the program offscreen.
    qunsetenv("DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");
}

struct Scheduler {
    QStringList messages;
    SchedulingAgent agent;
    ScheduleList list;
    explicit Scheduler(const Home& home)
        : agent((home.path("data") + "/qeltv/tasks").toStdString(),
                SchedulingAgent::RunnerBeside(QELTV_BINARY),
                [this](const QString& text) { messages << text; }),
          list(agent, QELTV_BINARY) {
        EXPECT_EQ(agent.ConnectSchedulingAgent(), sched::kOk);
    }
    void save(const QString& name, const QString& channel = "2",
              std::uint32_t maxRunTime_ms = kRecording_ms,
              const QString& application = QELTV_BINARY) {
        std::unique_ptr<ITask> task;
        ASSERT_EQ(agent.agent()->NewWorkItem(name, task), sched::kOk);
        task->SetApplicationName(application);
        task->SetWorkingDirectory(QFileInfo(QELTV_BINARY).absolutePath() + "/");
        task->SetParameters(channel);
        task->SetMaxRunTime(maxRunTime_ms);
        std::uint16_t index = 0;
        std::unique_ptr<ITaskTrigger> trigger;
        task->CreateTrigger(index, trigger);
        TASK_TRIGGER t;
        t.cbTriggerSize = TASK_TRIGGER::kSize;
        const QDate later = QDate::currentDate().addDays(7);
        t.wBeginYear = std::uint16_t(later.year());
        t.wBeginMonth = std::uint16_t(later.month());
        t.wBeginDay = std::uint16_t(later.day());
        t.wStartHour = 4;
        t.TriggerType = TASK_TIME_TRIGGER_ONCE;
        trigger->SetTrigger(t);
        ASSERT_EQ(agent.SaveTask(task.get()), sched::kOk);
    }
    Job job(const QString& name) { return Job::Read(agent.agent()->jobFile(name)); }
    bool finished(const QString& name) { return job(name).status == Job::Status::Exited; }
    // The schedule list's status cell of a task.
    QString status(const QString& name) {
        list.Refresh();
        for (const ScheduleRow& row : list.rows())
            if (row.name == name)
                return row.cells[ScheduleRow::Status];
        return "(not listed)";
    }
};

double SecondsOf(const Home& home, const QString& file) {
    return RecordingSeconds((home.path("videos") + "/qeltv/" + file).toStdString());
}

void ExpectOneRecording(const Home& home) {
    const QStringList files = home.recordings();
    ASSERT_EQ(files.size(), 1) << files.join(", ").toStdString();
    const double seconds =
        RecordingSeconds((home.path("videos") + "/qeltv/" + files[0]).toStdString());
    // The whole run less the program's start, never more than the run and
    // the time to finish the file.
    EXPECT_GT(seconds, kRecording_ms / 1000.0 / 4) << files[0].toStdString();
    EXPECT_LT(seconds, kRecording_ms / 1000.0 + 30) << files[0].toStdString();
}

} // namespace

// The running instance records the channel; the runner's end of the relay
// stops it, the file gets its final name and the instance goes on.
TEST(Runner, StartNowWhileTheProgramRuns) {
    SavedCrontab saved;
    Home home;
    home.makeRuntimeDir();
    ProgramRun first(home, {});
    ASSERT_TRUE(first.waitForLog("first instance", 30000)) << first.log().toStdString();
    EnterSession(home);
    Scheduler s(home);
    s.save("Now, with the program");
    s.list.Startnow("Now, with the program");
    ASSERT_TRUE(first.waitForLog("recording finished as", kWait_ms)) << first.log().toStdString();
    ASSERT_TRUE(WaitFor([&] { return s.finished("Now, with the program"); }, kWait_ms));
    EXPECT_EQ(s.job("Now, with the program").exitCode, 0);
    EXPECT_TRUE(s.job("Now, with the program").lastRun.isValid());
    EXPECT_TRUE(first.running());
    ExpectOneRecording(home);
    EXPECT_TRUE(s.messages.isEmpty()) << s.messages.join("\n").toStdString();
}

// Nobody runs the program: the started one becomes a hidden first instance,
// records, and finishes the file when the runner ends it.
TEST(Runner, StartNowWithoutTheProgram) {
    SavedCrontab saved;
    Home home;
    home.makeRuntimeDir();
    EnterSession(home);
    Scheduler s(home);
    s.save("Now, alone");
    s.list.Startnow("Now, alone");
    ASSERT_TRUE(WaitFor([&] { return s.finished("Now, alone"); }, kWait_ms));
    EXPECT_EQ(s.job("Now, alone").exitCode, 0);
    ExpectOneRecording(home);
}

// Two scheduled tasks overlap with the program closed: A (channel 1, 20 s)
// starts the program, which records hidden; B (channel 2, 4 s) starts 6 s
// later and finds A's recording running. B's start is refused, B's end must
// not stop A's recording, and B's run is a failure that says why, on the
// schedule list too. A's recording lasts its whole 20 s, counted from the
// moment it started, not from the program's start.
TEST(Runner, OverlappingTasksKeepTheFirstRecordingWhole) {
    constexpr std::uint32_t kLong_ms = 20000;
    constexpr std::uint32_t kShort_ms = 4000;
    constexpr int kOverlapStart_ms = 6000;
    constexpr double kTolerance_s = 1.0;
    SavedCrontab saved;
    Home home;
    home.makeRuntimeDir();
    EnterSession(home);
    Scheduler s(home);
    s.save("A", "1", kLong_ms);
    s.save("B", "2", kShort_ms);
    s.list.Startnow("A");
    QThread::msleep(kOverlapStart_ms);
    s.list.Startnow("B");
    ASSERT_TRUE(WaitFor([&] { return s.finished("B"); }, kWait_ms));
    ASSERT_TRUE(WaitFor([&] { return s.finished("A"); }, kWait_ms));

    const Job a = s.job("A"), b = s.job("B");
    EXPECT_EQ(a.exitCode, 0) << a.failure.toStdString();
    EXPECT_TRUE(a.failure.isEmpty()) << a.failure.toStdString();
    EXPECT_NE(b.exitCode, 0);
    EXPECT_EQ(b.failure, "channel 2 was not recorded: a recording is in progress");
    // After the agent's own status sentence (which depends on the cron
    // daemon) the failure.
    EXPECT_TRUE(s.status("B").endsWith(" The last run failed (last result 0x00000003): channel 2 "
                                       "was not recorded: a recording is in progress"))
        << s.status("B").toStdString();
    EXPECT_FALSE(s.status("A").contains("failed")) << s.status("A").toStdString();

    const QStringList files = home.recordings();
    ASSERT_EQ(files.size(), 1) << files.join(", ").toStdString();
    EXPECT_NEAR(SecondsOf(home, files[0]), kLong_ms / 1000.0, kTolerance_s);
}

// B starts around the moment A's program is told to close (A's recording has
// lasted its time). B's command may reach A's instance while it records,
// while it closes, or no instance at all: either B records once A's
// instance has gone, or its run fails with a reason. It never reports
// success without a recording.
TEST(Runner, TaskStartingWhileTheProgramClosesRecordsOrFails) {
    // A's program is the first start in a new home: its compressor trials
    // take seconds on a loaded machine, and its time leaves room for them.
    constexpr std::uint32_t kFirst_ms = 10000;
    constexpr std::uint32_t kSecond_ms = 4000;
    // B's start relative to A's end of recording.
    for (const int offset_ms : {-500, 0, 500}) {
        SCOPED_TRACE("offset " + std::to_string(offset_ms) + " ms");
        SavedCrontab saved;
        Home home(Home::Cache::Empty);
        home.makeRuntimeDir();
        EnterSession(home);
        Scheduler s(home);
        s.save("First", "1", kFirst_ms);
        s.save("Second", "2", kSecond_ms);
        s.list.Startnow("First");
        // The working file appears when A's recording starts; a run that
        // ends before that says why.
        const QString working = home.path("videos") + "/qeltv/capture.avi";
        ASSERT_TRUE(
            WaitFor([&] { return QFileInfo::exists(working) || s.finished("First"); }, kWait_ms))
            << "the first task's program never started recording";
        ASSERT_TRUE(QFileInfo::exists(working))
            << "the first task ended before recording: exit code " << s.job("First").exitCode
            << ", " << s.job("First").failure.toStdString()
            << "; recordings: " << home.recordings().join(", ").toStdString()
            << "; status: " << s.status("First").toStdString();
        QThread::msleep(static_cast<unsigned long>(int(kFirst_ms) + offset_ms));
        s.list.Startnow("Second");
        ASSERT_TRUE(WaitFor([&] { return s.finished("First") && s.finished("Second"); }, kWait_ms));
        EXPECT_EQ(s.job("First").exitCode, 0);
        const Job second = s.job("Second");
        const QStringList files = home.recordings();
        if (second.exitCode == 0) {
            // B's start may be accepted by A's instance just before it closes:
            // B then records the rest itself, in a file of its own.
            ASSERT_GE(files.size(), 2) << files.join(", ").toStdString();
            ASSERT_LE(files.size(), 3) << files.join(", ").toStdString();
            EXPECT_GT(SecondsOf(home, files.back()), kSecond_ms / 1000.0 / 2)
                << files.join(", ").toStdString();
        } else {
            // B failed, and says how much of it was recorded: nothing, a
            // first part that A's close cut, or a start too late for its time.
            const bool nothing = second.failure.startsWith("channel 2 was not recorded: ");
            const bool inPart = second.failure.startsWith("channel 2 was recorded only in part: ");
            const bool late = second.failure.startsWith("The recording started late: ");
            EXPECT_TRUE(nothing || inPart || late) << second.failure.toStdString();
            if (nothing)
                EXPECT_EQ(files.size(), 1) << files.join(", ").toStdString();
            else if (inPart)
                EXPECT_EQ(files.size(), 2) << files.join(", ").toStdString();
            else
                EXPECT_TRUE(files.size() == 2 || files.size() == 3)
                    << files.join(", ").toStdString();
            EXPECT_TRUE(s.status("Second").contains("The last run failed"))
                << s.status("Second").toStdString();
        }
    }
}

// A program that reports its recording's start only after the run's time
// has ended (its start-up took longer than the run) recorded next to
// nothing: however well it ends, the run is a failure that says so. One that
// reports in time is a success.
TEST(Runner, RecordingThatStartsTooLateForItsTimeIsAFailure) {
    SavedCrontab saved;
    Home home;
    EnterSession(home);
    Scheduler s(home);
    // Stands in for the program: starts up for $1 s, reports, records until
    // it is asked to close (at once when that came during the start-up).
    const QString program = home.path("slow-start");
    {
        QFile file(program);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n"
                   "trap 'stop=1' TERM\n"
                   "sleep \"$1\"\n"
                   "echo recording >&$QELTV_RUNNER_REPORT_FD\n"
                   "while [ -z \"$stop\" ]; do sleep 0.05; done\n");
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    s.save("Late", "1.5", 1000, program);
    s.save("In time", "0.2", 1000, program);
    s.list.Startnow("Late");
    s.list.Startnow("In time");
    ASSERT_TRUE(WaitFor([&] { return s.finished("Late") && s.finished("In time"); }, kWait_ms));
    const Job late = s.job("Late"), inTime = s.job("In time");
    EXPECT_NE(late.exitCode, 0);
    EXPECT_EQ(late.failure, "The recording started late: 0.0 s of the 1.0 s were recorded.");
    EXPECT_EQ(inTime.exitCode, 0) << inTime.failure.toStdString();
    EXPECT_TRUE(inTime.failure.isEmpty()) << inTime.failure.toStdString();
}

// The session that saved the task has logged out: its runtime folder and
// its bus are gone. The runner passes neither on, and the program, started
// as cron starts it (no runtime folder of its own), chooses its own folder
// and records.
TEST(Runner, RecordsAfterTheSavingSessionHasGone) {
    SavedCrontab saved;
    Home home;
    EnterSession(home);
    // The folder is gone and cannot be made again: after a logout the user
    // may not write /run/user; here (tests may run as root) its parent is a
    // plain file.
    QFile blocked(home.path("logged-out"));
    ASSERT_TRUE(blocked.open(QIODevice::WriteOnly));
    blocked.close();
    const QString gone = home.path("logged-out") + "/1000";
    qputenv("XDG_RUNTIME_DIR", gone.toUtf8());
    qputenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + gone + "/bus").toUtf8());
    Scheduler s(home);
    s.save("After logout");
    const Job job = s.job("After logout");
    EXPECT_TRUE(std::any_of(job.environment.begin(), job.environment.end(),
                            [&](const auto& v) { return v.second == gone; }));
    // The runner's own environment, as under cron.
    qunsetenv("XDG_RUNTIME_DIR");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    s.list.Startnow("After logout");
    ASSERT_TRUE(WaitFor([&] { return s.finished("After logout"); }, kWait_ms));
    EXPECT_EQ(s.job("After logout").exitCode, 0) << s.job("After logout").failure.toStdString();
    ExpectOneRecording(home);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
