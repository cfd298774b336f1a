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
    void save(const QString& name) {
        std::unique_ptr<ITask> task;
        ASSERT_EQ(agent.agent()->NewWorkItem(name, task), sched::kOk);
        task->SetApplicationName(QELTV_BINARY);
        task->SetWorkingDirectory(QFileInfo(QELTV_BINARY).absolutePath() + "/");
        task->SetParameters("2");
        task->SetMaxRunTime(kRecording_ms);
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
};

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

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
