// The scheduling agent over job files and the real user's crontab, with a
// real cron daemon: tasks survive a new connection, any task name works,
// other crontab lines stay as they were, the statuses follow the runner's
// record and the crontab, and the next run follows the trigger.
#include "scheduler/CronAgent.h"
#include "scheduler/ScheduleList.h"
#include "scheduler/SchedulingAgent.h"
#include "scheduler/TaskEditor.h"
#include "tests/app/GuiTest.h"
#include "tests/scheduler/CronSupport.h"

#include <QTemporaryDir>
#include <fstream>
#include <pwd.h>
#include <unistd.h>

using namespace qeltv;
using namespace qeltv::test;

namespace {

struct Agent {
    QTemporaryDir dir;
    QStringList messages;
    SchedulingAgent adapter{std::filesystem::path(dir.path().toStdString()) / "tasks",
                            SchedulingAgent::RunnerBeside(QELTV_BINARY),
                            [this](const QString& text) { messages << text; }};
    Agent() { EXPECT_EQ(adapter.ConnectSchedulingAgent(), sched::kOk); }
    ITaskScheduler& agent() { return *adapter.agent(); }
    CronAgent& cron() { return static_cast<CronAgent&>(*adapter.agent()); }
};

TASK_TRIGGER Trigger(std::uint32_t type, QDate begin, QTime at) {
    TASK_TRIGGER t;
    t.cbTriggerSize = TASK_TRIGGER::kSize;
    t.wBeginYear = std::uint16_t(begin.year());
    t.wBeginMonth = std::uint16_t(begin.month());
    t.wBeginDay = std::uint16_t(begin.day());
    t.wEndYear = std::uint16_t(begin.year() + 1);
    t.wEndMonth = std::uint16_t(begin.month());
    t.wEndDay = std::uint16_t(begin.day());
    t.wStartHour = std::uint16_t(at.hour());
    t.wStartMinute = std::uint16_t(at.minute());
    t.TriggerType = type;
    return t;
}

// Writes a task as the schedule command does; the code of its Save.
SchedCode SaveTask(ITaskScheduler& agent, const QString& name, const QString& application,
                   const QString& parameters, std::uint32_t maxRunTime_ms,
                   std::vector<TASK_TRIGGER> triggers) {
    std::unique_ptr<ITask> task;
    if (agent.NewWorkItem(name, task) != sched::kOk || !task)
        return sched::kFail;
    task->SetApplicationName(application);
    task->SetWorkingDirectory("/tmp/");
    task->SetParameters(parameters);
    task->SetAccountInformation("host\\user", "secret password");
    task->SetMaxRunTime(maxRunTime_ms);
    for (const auto& t : triggers) {
        std::uint16_t index = 0;
        std::unique_ptr<ITaskTrigger> trigger;
        EXPECT_EQ(task->CreateTrigger(index, trigger), sched::kOk);
        EXPECT_EQ(trigger->SetTrigger(t), sched::kOk);
    }
    return task->Save();
}

SchedCode StatusOf(ITaskScheduler& agent, const QString& name) {
    std::unique_ptr<ITask> task;
    EXPECT_EQ(agent.Activate(name, task), sched::kOk) << name.toStdString();
    SchedCode status = 0;
    if (task)
        task->GetStatus(status);
    return status;
}

QString StatusText(ITaskScheduler& agent, const QString& name) {
    return SchedulingAgent::TaskStatusText(StatusOf(agent, name));
}

QByteArray CrontabText() {
    return RunCrontab({"-l"});
}

// Lines a user keeps in the crontab, spacing, '%' and an unfinished last
// line included.
const QByteArray kUserLines = "# the user's own comment\n"
                              "MAILTO=\"\"\n"
                              "*/5 * * * *\techo '100% done' > /dev/null   \n"
                              "\n"
                              "15 3 * * 1 /usr/bin/true # qeltv-job is not ours\n";

} // namespace

// A task written through one connection is read whole through another; its
// crontab line is the one the agent's rules give, the password is never
// stored, and deleting it leaves the user's lines byte for byte.
TEST(Agent, RoundTripThroughJobFileAndCrontab) {
    SavedCrontab saved;
    CronDaemon cron;
    RunCrontab({"-"}, kUserLines);
    Agent a;
    const QDate tuesday(2026, 12, 8);
    ASSERT_EQ(SaveTask(a.agent(), "Round trip", QELTV_BINARY, "5", 9000000,
                       {Trigger(TASK_TIME_TRIGGER_ONCE, tuesday, QTime(21, 30))}),
              sched::kOk);
    ASSERT_EQ(SaveTask(a.agent(), "Every day", QELTV_BINARY, "2", 60000,
                       {Trigger(TASK_TIME_TRIGGER_DAILY, tuesday, QTime(6, 5))}),
              sched::kOk);
    ASSERT_EQ(SaveTask(a.agent(), "Every week", QELTV_BINARY, "3", 60000,
                       {Trigger(TASK_TIME_TRIGGER_WEEKLY, tuesday, QTime(0, 0))}),
              sched::kOk);

    const auto job = a.cron().jobFile("Round trip");
    const QByteArray jobText = [&] {
        QFile f(QString::fromStdString(job.string()));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    EXPECT_FALSE(jobText.contains("secret"));
    const QByteArray runner = QByteArray::fromStdString(a.cron().runner().string());
    const auto lineOf = [&](const char* when, const QString& name) {
        const QByteArray path = QByteArray::fromStdString(a.cron().jobFile(name).string());
        return QByteArray(when) + " '" + runner + "' '" + path + "' # qeltv-job " + path + "\n";
    };
    const QByteArray crontab = CrontabText();
    EXPECT_TRUE(crontab.startsWith(kUserLines)) << crontab.toStdString();
    EXPECT_TRUE(crontab.contains(lineOf("30 21 8 12 *", "Round trip"))) << crontab.toStdString();
    EXPECT_TRUE(crontab.contains(lineOf("5 6 * * *", "Every day"))) << crontab.toStdString();
    EXPECT_TRUE(crontab.contains(lineOf("0 0 * * 2", "Every week"))) << crontab.toStdString();

    // A second connection, the name in other letters.
    Agent b;
    SchedulingAgent other(a.cron().tasksDir(), a.cron().runner(), [](const QString&) {});
    ASSERT_EQ(other.ConnectSchedulingAgent(), sched::kOk);
    std::unique_ptr<ITask> task;
    ASSERT_EQ(other.agent()->Activate("ROUND TRIP", task), sched::kOk);
    QString text;
    task->GetApplicationName(text);
    EXPECT_EQ(text, QELTV_BINARY);
    task->GetParameters(text);
    EXPECT_EQ(text, "5");
    task->GetWorkingDirectory(text);
    EXPECT_EQ(text, "/tmp/");
    task->GetAccountInformation(text);
    EXPECT_EQ(text, "host\\user");
    std::uint32_t maxRunTime_ms = 0;
    task->GetMaxRunTime(maxRunTime_ms);
    EXPECT_EQ(maxRunTime_ms, 9000000u);
    std::uint16_t count = 0;
    task->GetTriggerCount(count);
    ASSERT_EQ(count, 1);
    std::unique_ptr<ITaskTrigger> trigger;
    ASSERT_EQ(task->GetTrigger(0, trigger), sched::kOk);
    TASK_TRIGGER read;
    trigger->GetTrigger(read);
    EXPECT_EQ(read, Trigger(TASK_TIME_TRIGGER_ONCE, tuesday, QTime(21, 30)));
    task->GetTriggerString(0, text);
    EXPECT_EQ(text, "At 21:30 on 08.12.2026");
    ASSERT_EQ(other.agent()->Activate("every week", task), sched::kOk);
    task->GetTriggerString(0, text);
    EXPECT_EQ(text, "At 00:00 every Tuesday of every week, starting 08.12.2026");

    // The user's lines come through a save of an existing task too.
    EXPECT_EQ(task->Save(), sched::kOk);
    EXPECT_TRUE(CrontabText().startsWith(kUserLines));

    for (const char* name : {"round trip", "Every day", "Every week"})
        EXPECT_EQ(a.agent().Delete(name), sched::kOk);
    EXPECT_EQ(CrontabText(), kUserLines);
    EXPECT_FALSE(std::filesystem::exists(job));
    EXPECT_NE(a.agent().Activate("Round trip", task), sched::kOk);
    EXPECT_NE(a.agent().Delete("Round trip"), sched::kOk);
}

// Slashes, quotes, spaces, '%', non-ASCII and 511 characters all make
// tasks; the same name in other letters is taken; a longer one does not pass
// the wide text conversion.
TEST(Agent, NamesOfAnyKind) {
    SavedCrontab saved;
    CronDaemon cron;
    Agent a;
    const QStringList names = {
        "../../etc/passwd",  "a/b/c.job",      "quote \" and ' both",    "  spaces around  ",
        "100% done \\ back", "Ünïcødé 録画 ✓", QString(511, QChar('x')), ".",
    };
    const QDate start = QDate::currentDate().addDays(2);
    for (const QString& name : names) {
        EXPECT_EQ(SaveTask(a.agent(), name, QELTV_BINARY, "1", 60000,
                           {Trigger(TASK_TIME_TRIGGER_DAILY, start, QTime(1, 2))}),
                  sched::kOk)
            << name.toStdString();
        std::unique_ptr<ITask> task;
        EXPECT_NE(a.agent().NewWorkItem(name.toUpper(), task), sched::kOk);
        EXPECT_EQ(task, nullptr);
        EXPECT_EQ(StatusOf(a.agent(), name), sched::SCHED_S_TASK_HAS_NOT_RUN) << name.toStdString();
    }
    std::unique_ptr<IEnumWorkItems> items;
    ASSERT_EQ(a.agent().Enum(items), sched::kOk);
    QStringList listed, one;
    unsigned fetched = 0;
    while (items->Next(1, one, fetched) == sched::kOk && fetched == 1)
        listed << one;
    EXPECT_EQ(listed.size(), names.size());
    for (const QString& name : names)
        EXPECT_TRUE(listed.contains(name)) << name.toStdString();
    // Nothing was written outside the tasks folder.
    EXPECT_EQ(QDir(a.dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{"tasks"});

    EXPECT_EQ(std::u16string(a.adapter.ToWideText(QString(511, QChar('y')))).size(), 511u);
    try {
        a.adapter.ToWideText(QString(512, QChar('y')));
        ADD_FAILURE() << "512 characters converted";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "The text of 512 characters is longer than the scheduling "
                               "agent's 511 characters.");
    }
    std::unique_ptr<ITask> task;
    EXPECT_EQ(a.agent().NewWorkItem(QString(512, QChar('z')), task), sched::E_INVALIDARG);
    for (const QString& name : names)
        EXPECT_EQ(a.agent().Delete(name), sched::kOk);
}

// Every status the agent reports: has not run, running (the runner alive),
// ready after a run, no more runs, not scheduled after the line was removed
// by hand, and the service not running; the runner ends a program in order
// at its maximum run time, also at once for 0, and records its exit.
TEST(Agent, StatusesFollowRunnerAndCrontab) {
    SavedCrontab saved;
    CronDaemon cron;
    Agent a;
    const QDate tomorrow = QDate::currentDate().addDays(1);
    // A program that runs until it is ended.
    ASSERT_EQ(SaveTask(a.agent(), "Sleeper", "/bin/sleep", "600", 600000,
                       {Trigger(TASK_TIME_TRIGGER_DAILY, tomorrow, QTime(3, 0))}),
              sched::kOk);
    EXPECT_EQ(StatusText(a.agent(), "Sleeper"), "The task has not yet run.");
    std::unique_ptr<ITask> task;
    ASSERT_EQ(a.agent().Activate("Sleeper", task), sched::kOk);
    QDateTime time;
    EXPECT_EQ(task->GetMostRecentRunTime(time), sched::SCHED_S_TASK_HAS_NOT_RUN);
    ASSERT_EQ(task->GetNextRunTime(time), sched::kOk);
    EXPECT_EQ(time, QDateTime(tomorrow, QTime(3, 0)));

    ASSERT_EQ(task->Run(), sched::kOk);
    ASSERT_TRUE(WaitFor(
        [&] { return StatusOf(a.agent(), "Sleeper") == sched::SCHED_S_TASK_RUNNING; }, 15000));
    EXPECT_EQ(StatusText(a.agent(), "Sleeper"), "The task is currently running.");
    // Asked to end, the runner ends its program in order and records it.
    const Job running = Job::Read(a.cron().jobFile("Sleeper"));
    ASSERT_GT(running.runnerPid, 0);
    ::kill(static_cast<pid_t>(running.runnerPid), SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return StatusOf(a.agent(), "Sleeper") == sched::SCHED_S_TASK_READY; },
                        15000));
    ASSERT_EQ(a.agent().Activate("Sleeper", task), sched::kOk);
    ASSERT_EQ(task->GetMostRecentRunTime(time), sched::kOk);
    EXPECT_LE(time, QDateTime::currentDateTime());
    int exitCode = 0;
    ASSERT_EQ(task->GetExitCode(exitCode), sched::kOk);
    EXPECT_EQ(exitCode, 128 + SIGTERM);

    // The maximum run time ends the program: a second, and 0 at once.
    for (std::uint32_t maxRunTime_ms : {1000u, 0u}) {
        const QString name = "Short " + QString::number(maxRunTime_ms);
        ASSERT_EQ(SaveTask(a.agent(), name, "/bin/sleep", "600", maxRunTime_ms,
                           {Trigger(TASK_TIME_TRIGGER_DAILY, tomorrow, QTime(3, 0))}),
                  sched::kOk);
        ASSERT_EQ(a.agent().Activate(name, task), sched::kOk);
        ASSERT_EQ(task->Run(), sched::kOk);
        ASSERT_TRUE(WaitFor(
            [&] {
                const Job j = Job::Read(a.cron().jobFile(name));
                return j.status == Job::Status::Exited;
            },
            15000))
            << name.toStdString();
        EXPECT_EQ(Job::Read(a.cron().jobFile(name)).exitCode, 128 + SIGTERM);
    }

    // A Once task whose time has passed.
    const QDateTime past = QDateTime::currentDateTime().addSecs(-3600);
    ASSERT_EQ(SaveTask(a.agent(), "Past", QELTV_BINARY, "1", 60000,
                       {Trigger(TASK_TIME_TRIGGER_ONCE, past.date(), past.time())}),
              sched::kOk);
    EXPECT_EQ(StatusText(a.agent(), "Past"), "There are no more runs scheduled for this task.");
    ASSERT_EQ(a.agent().Activate("Past", task), sched::kOk);
    EXPECT_EQ(task->GetNextRunTime(time), sched::SCHED_S_TASK_NO_MORE_RUNS);

    // Its line removed by hand.
    QByteArray edited;
    const QByteArray path = QByteArray::fromStdString(a.cron().jobFile("Sleeper").string());
    for (const QByteArray& line : CrontabText().split('\n'))
        if (!line.isEmpty() && !line.contains(path))
            edited += line + "\n";
    RunCrontab({"-"}, edited);
    EXPECT_EQ(StatusOf(a.agent(), "Sleeper"), sched::SCHED_S_TASK_NOT_SCHEDULED);
    ASSERT_EQ(a.agent().Activate("Sleeper", task), sched::kOk);
    EXPECT_EQ(task->GetNextRunTime(time), sched::SCHED_S_TASK_NOT_SCHEDULED);

    if (cron.startedHere()) {
        cron.stop();
        EXPECT_EQ(StatusText(a.agent(), "Past"), "The Task Scheduler Service is not running.");
        cron.start();
    }
    EXPECT_EQ(StatusOf(a.agent(), "Past"), sched::SCHED_S_TASK_NO_MORE_RUNS);
}

// A task whose runner is gone (its build folder cleaned or moved) is shown on
// the Schedules page as failing with the reason, not as waiting; with the
// runner back it waits again.
TEST(Agent, TaskWhoseRunnerIsGoneIsShownAsFailed) {
    SavedCrontab saved;
    CronDaemon cron;
    Agent a;
    QTemporaryDir build;
    const std::filesystem::path runner =
        std::filesystem::path(build.path().toStdString()) / "app" / "qeltv-runner";
    a.cron().setRunner(runner);
    const QDate tomorrow = QDate::currentDate().addDays(1);
    ASSERT_EQ(SaveTask(a.agent(), "Moved", QELTV_BINARY, "1", 60000,
                       {Trigger(TASK_TIME_TRIGGER_DAILY, tomorrow, QTime(3, 0))}),
              sched::kOk);
    ScheduleList list(a.adapter, QELTV_BINARY);
    const auto statusOfMoved = [&] {
        list.Refresh();
        for (const ScheduleRow& row : list.rows())
            if (row.name == "Moved")
                return row.cells[ScheduleRow::Status];
        return QString("no row");
    };
    EXPECT_EQ(statusOfMoved(), "The task has not yet run. The last run failed (last result "
                               "0x0000007F): the runner " +
                                   QString::fromStdString(runner.string()) +
                                   " is missing: install qeltv, then save the task again");
    std::filesystem::create_directories(runner.parent_path());
    std::filesystem::copy_file(SchedulingAgent::RunnerBeside(QELTV_BINARY), runner);
    EXPECT_EQ(statusOfMoved(), "The task has not yet run.");
}

// The schedule dialog's note: a runner in a CMake build folder (CMakeCache.txt
// a level or two up) is named with its folder; an installed one is not.
TEST(Agent, BuildFolderNoteNamesTheBuildFolderOnly) {
    QTemporaryDir dir;
    const std::filesystem::path root = dir.path().toStdString();
    std::filesystem::create_directories(root / "build" / "app");
    std::ofstream(root / "build" / "CMakeCache.txt") << "# CMake cache\n";
    EXPECT_EQ(SchedulingAgent::BuildFolderNote(root / "build" / "app" / "qeltv-runner"),
              "Runs from the build folder " + QString::fromStdString((root / "build").string()) +
                  ": install qeltv to keep schedules working");
    std::filesystem::create_directories(root / "usr" / "bin");
    EXPECT_EQ(SchedulingAgent::BuildFolderNote(root / "usr" / "bin" / "qeltv-runner"), "");
}

// The next run and the sentence of Once, Daily and Weekly triggers, seen on
// Saturday 7 March 2026 at 16:05:09.
TEST(Agent, NextRunTimesAndSentences) {
    const QDateTime now(QDate(2026, 3, 7), QTime(16, 5, 9));
    const auto next = [&](std::uint32_t type, QDate begin, QTime at) {
        return CronAgent::NextRunTime({Trigger(type, begin, at)}, now);
    };
    const QDate today = now.date();
    EXPECT_EQ(next(TASK_TIME_TRIGGER_ONCE, today, QTime(16, 6)), QDateTime(today, QTime(16, 6)));
    // The minute under way has been started by cron already.
    EXPECT_FALSE(next(TASK_TIME_TRIGGER_ONCE, today, QTime(16, 5)).isValid());
    EXPECT_FALSE(next(TASK_TIME_TRIGGER_ONCE, QDate(2025, 3, 8), QTime(17, 0)).isValid());
    EXPECT_EQ(next(TASK_TIME_TRIGGER_DAILY, QDate(2026, 3, 1), QTime(16, 5)),
              QDateTime(QDate(2026, 3, 8), QTime(16, 5)));
    EXPECT_EQ(next(TASK_TIME_TRIGGER_DAILY, QDate(2026, 3, 1), QTime(17, 0)),
              QDateTime(today, QTime(17, 0)));
    EXPECT_EQ(next(TASK_TIME_TRIGGER_DAILY, QDate(2026, 4, 1), QTime(8, 0)),
              QDateTime(QDate(2026, 4, 1), QTime(8, 0)));
    // Weekly on the start date's weekday: a Tuesday, and today's Saturday.
    EXPECT_EQ(next(TASK_TIME_TRIGGER_WEEKLY, QDate(2026, 3, 3), QTime(21, 30)),
              QDateTime(QDate(2026, 3, 10), QTime(21, 30)));
    EXPECT_EQ(next(TASK_TIME_TRIGGER_WEEKLY, today, QTime(17, 0)), QDateTime(today, QTime(17, 0)));
    EXPECT_EQ(next(TASK_TIME_TRIGGER_WEEKLY, today, QTime(16, 0)),
              QDateTime(QDate(2026, 3, 14), QTime(16, 0)));
    EXPECT_EQ(next(TASK_TIME_TRIGGER_WEEKLY, QDate(2026, 5, 5), QTime(9, 0)),
              QDateTime(QDate(2026, 5, 5), QTime(9, 0)));
    // Of two triggers the earlier.
    EXPECT_EQ(
        CronAgent::NextRunTime({Trigger(TASK_TIME_TRIGGER_DAILY, QDate(2026, 3, 9), QTime(0, 30)),
                                Trigger(TASK_TIME_TRIGGER_ONCE, QDate(2026, 3, 8), QTime(1, 0))},
                               now),
        QDateTime(QDate(2026, 3, 8), QTime(1, 0)));

    const QDate start(2026, 12, 8);
    EXPECT_EQ(CronAgent::TriggerString(Trigger(TASK_TIME_TRIGGER_DAILY, start, QTime(21, 30))),
              "At 21:30 every day, starting 08.12.2026");
    EXPECT_EQ(CronAgent::TriggerString(Trigger(TASK_TIME_TRIGGER_ONCE, start, QTime(7, 5))),
              "At 07:05 on 08.12.2026");
    EXPECT_EQ(CronAgent::TriggerString(Trigger(TASK_TIME_TRIGGER_WEEKLY, start, QTime(21, 30))),
              "At 21:30 every Tuesday of every week, starting 08.12.2026");
}

// The adapter: one connection however often asked, none without cron's
// command, the status texts, the Activate message and the account name.
// An editor that writes a channel and a duration into the job and then
// accepts or cancels, as the schedule's edit dialog would.
class ScriptedEditor : public TaskEditor {
public:
    explicit ScriptedEditor(bool accept) : accept_(accept) {}
    bool EditJob(Job& job) override {
        ++edits;
        shownParameters = job.parameters;
        job.parameters = "9";
        job.maxRunTime_ms = 120000;
        job.triggers.front().wStartHour = 23;
        return accept_;
    }
    int edits = 0;
    QString shownParameters;

private:
    bool accept_;
};

// "Edit" on the schedule list hands the saved task to the editor; only an
// accepted edit is written, to the job file and to the crontab line.
TEST(Agent, EditWritesOnlyAnAcceptedEdit) {
    SavedCrontab saved;
    CronDaemon cron;
    RunCrontab({"-"}, kUserLines);
    Agent a;
    ScheduleList list(a.adapter, QELTV_BINARY);
    const QDate tuesday(2026, 12, 8);
    ASSERT_EQ(SaveTask(a.agent(), "Edited", QELTV_BINARY, "5", 60000,
                       {Trigger(TASK_TIME_TRIGGER_DAILY, tuesday, QTime(6, 5))}),
              sched::kOk);
    const auto file = a.cron().jobFile("Edited");
    const QByteArray path = QByteArray::fromStdString(file.string());

    ScriptedEditor cancelled(false);
    list.Edit("Edited", cancelled);
    EXPECT_EQ(cancelled.edits, 1);
    EXPECT_EQ(cancelled.shownParameters, "5");
    Job job = Job::Read(file);
    EXPECT_EQ(job.parameters, "5");
    EXPECT_EQ(job.maxRunTime_ms, 60000u);
    EXPECT_TRUE(CrontabText().contains("5 6 * * * ")) << CrontabText().toStdString();

    ScriptedEditor accepted(true);
    list.Edit("Edited", accepted);
    EXPECT_EQ(accepted.edits, 1);
    job = Job::Read(file);
    EXPECT_EQ(job.parameters, "9");
    EXPECT_EQ(job.maxRunTime_ms, 120000u);
    const QByteArray crontab = CrontabText();
    EXPECT_TRUE(crontab.contains("5 23 * * * ")) << crontab.toStdString();
    EXPECT_FALSE(crontab.contains("5 6 * * * ")) << crontab.toStdString();
    EXPECT_TRUE(crontab.contains("# qeltv-job " + path)) << crontab.toStdString();

    // No task of that name: nothing to edit.
    ScriptedEditor unused(true);
    list.Edit("No such task", unused);
    EXPECT_EQ(unused.edits, 0);
}

TEST(Agent, AdapterOperations) {
    Agent a;
    ITaskScheduler* first = a.adapter.agent();
    EXPECT_EQ(a.adapter.ConnectSchedulingAgent(), sched::kOk);
    EXPECT_EQ(a.adapter.agent(), first);

    EXPECT_EQ(SchedulingAgent::TaskStatusText(0), QString());
    EXPECT_EQ(SchedulingAgent::TaskStatusText(sched::code(0x00041309)), QString());
    EXPECT_EQ(SchedulingAgent::TaskStatusText(sched::SCHED_S_EVENT_TRIGGER),
              "Event triggers dont have set run times.");
    EXPECT_EQ(SchedulingAgent::TaskStatusText(sched::E_INVALIDARG), "The arguments are not valid.");
    EXPECT_EQ(SchedulingAgent::TaskStatusText(sched::SCHED_S_TASK_NOT_SCHEDULED),
              "One or more of the properties that are needed to run this task on a schedule have "
              "not been set.");

    EXPECT_EQ(a.adapter.ActivateTask("No such task"), nullptr);
    EXPECT_EQ(a.messages, QStringList{"Error in SchedulingAgent.Activate.Error Code :80070002"});

    {
        const QByteArray path = qgetenv("PATH");
        QTemporaryDir empty;
        qputenv("PATH", empty.path().toUtf8());
        SchedulingAgent none("/nonexistent", "/nonexistent", [](const QString&) {});
        const SchedCode code = none.ConnectSchedulingAgent();
        qputenv("PATH", path);
        EXPECT_EQ(code, sched::REGDB_E_CLASSNOTREG);
        EXPECT_EQ(none.agent(), nullptr);
        EXPECT_EQ(SchedulingAgent::ErrorText("Error in ActiveX.CoCreateInstance", code),
                  "Error in ActiveX.CoCreateInstance.Error Code :80040154");
    }

    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(SchedulingAgent::CurrentAccountName(),
              QString::fromLocal8Bit(host) + "\\" +
                  QString::fromLocal8Bit(getpwuid(getuid())->pw_name));
}

QELTV_GUI_TEST_MAIN()
