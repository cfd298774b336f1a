// Reading the schedule list of the real window over the real agent, crontab
// and cron daemon, with cron's command wrapped so that the test sees each
// call: one crontab read per list whatever the number of tasks, and a web
// page's list read on its connection thread while the GUI thread is busy.
#include "app/uFrmMain.h"
#include "tests/app/GuiTest.h"
#include "tests/app/WebServerWindow.h"
#include "tests/scheduler/CronSupport.h"
#include "tests/settings/TempDir.h"
#include "tests/web/test_http_client.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>

using namespace qeltv;
using namespace qeltv::test;

namespace {

constexpr int kWait_ms = 15000;
// How long the gated `crontab -l` waits for the test to let it go.
constexpr int kGateWait_ms = 5000;

// `crontab` first on PATH while it lives: logs its arguments, and while the
// gate file exists makes `crontab -l` mark that it started and wait for the
// release file; then runs cron's own command.
class WrappedCrontab {
public:
    WrappedCrontab() : path_(qgetenv("PATH")) {
        const QString real = Crontab::FindCommand();
        EXPECT_FALSE(real.isEmpty()) << "cron is not installed";
        const QString script =
            QString("#!/bin/sh\n"
                    "echo \"$*\" >> '%1'\n"
                    "if [ \"$1\" = -l ] && [ -e '%2' ]; then\n"
                    "  touch '%3'\n"
                    "  i=0\n"
                    "  while [ ! -e '%4' ] && [ $i -lt %5 ]; do sleep 0.05; i=$((i+1)); done\n"
                    "fi\n"
                    "exec '%6' \"$@\"\n")
                .arg(log(), gate(), started(), release())
                .arg(kGateWait_ms / 50)
                .arg(real);
        QFile file(dir_.filePath("crontab"));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(script.toUtf8());
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", dir_.path().toUtf8() + ":" + path_);
    }
    ~WrappedCrontab() { qputenv("PATH", path_); }
    WrappedCrontab(const WrappedCrontab&) = delete;
    WrappedCrontab& operator=(const WrappedCrontab&) = delete;

    QString log() const { return dir_.filePath("calls"); }
    QString gate() const { return dir_.filePath("gate"); }
    QString started() const { return dir_.filePath("started"); }
    QString release() const { return dir_.filePath("release"); }

    // The `crontab -l` calls since the last count.
    int readsSinceLastCount() {
        QFile file(log());
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        const QList<QByteArray> lines = file.readAll().split('\n');
        int reads = 0;
        for (qsizetype i = counted_; i < lines.size(); ++i)
            if (lines[i] == "-l")
                ++reads;
        // The last piece is what follows the last line break.
        counted_ = std::max<qsizetype>(0, lines.size() - 1);
        return reads;
    }

private:
    QTemporaryDir dir_;
    QByteArray path_;
    qsizetype counted_ = 0;
};

void Touch(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
}

// Saves a daily task of the test program, the program whose tasks the
// window lists.
void SaveTask(SchedulingAgent& agent, const QString& name) {
    std::unique_ptr<ITask> task;
    ASSERT_EQ(agent.agent()->NewWorkItem(name, task), sched::kOk);
    task->SetApplicationName(QCoreApplication::applicationFilePath());
    task->SetParameters("1");
    std::uint16_t index = 0;
    std::unique_ptr<ITaskTrigger> trigger;
    task->CreateTrigger(index, trigger);
    TASK_TRIGGER t;
    ASSERT_EQ(trigger->GetTrigger(t), sched::kOk);
    t.wStartHour = 21;
    t.wStartMinute = 30;
    t.TriggerType = TASK_TIME_TRIGGER_DAILY;
    ASSERT_EQ(trigger->SetTrigger(t), sched::kOk);
    ASSERT_EQ(task->Save(), sched::kOk);
}

// One request from a thread of its own; `whileWaiting` runs on this thread
// first, then the event loop turns until the answer is in.
std::string Fetch(int port, const std::string& target, const std::function<void()>& whileWaiting) {
    std::atomic<bool> done{false};
    std::string response;
    std::thread client([&] {
        try {
            response = web::test::exchange(static_cast<std::uint16_t>(port),
                                           "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                               std::to_string(port) + "\r\n\r\n");
        } catch (const std::exception& e) {
            response = std::string("client failed: ") + e.what();
        }
        done = true;
    });
    whileWaiting();
    EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, kWait_ms));
    client.join();
    return response;
}

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

} // namespace

// The Schedules page and the web schedules page each read the crontab once,
// with one task as with six, and still show every task's status.
TEST(ScheduleReading, CrontabReadOnceWhateverTheTaskCount) {
    SavedCrontab saved;
    CronDaemon cron;
    WrappedCrontab crontab;
    Window win;
    const int port = win.startServer(4);
    SchedulingAgent agent(win.paths.dataDir / "tasks", SchedulingAgent::RunnerBeside(QELTV_BINARY),
                          [](const QString&) {});
    ASSERT_EQ(agent.ConnectSchedulingAgent(), sched::kOk);

    const QString ready = "The task is ready to run at its next scheduled time.";
    const QString hasNotRun = "The task has not yet run.";
    int savedTasks = 0;
    for (const int tasks : {1, 6}) {
        while (savedTasks < tasks)
            SaveTask(agent, QString("Task %1").arg(savedTasks++));
        crontab.readsSinceLastCount();
        win.w->session().schedules().refreshSchedules();
        EXPECT_EQ(crontab.readsSinceLastCount(), 1) << tasks << " tasks";
        const auto& rows = win.w->session().schedules().rows();
        ASSERT_EQ(static_cast<int>(rows.size()), tasks);
        for (const ScheduleRow& row : rows)
            EXPECT_EQ(row.cells[ScheduleRow::Status], hasNotRun) << row.name.toStdString();

        const std::string page = Fetch(port, "/schedules.html", [] {});
        EXPECT_EQ(crontab.readsSinceLastCount(), 1) << tasks << " tasks";
        EXPECT_EQ(Count(page, hasNotRun.toStdString()), 2 * tasks) << page;
        EXPECT_EQ(Count(page, ready.toStdString()), 0);
    }
}

// A web request for the schedules page reads the list on its connection
// thread: the reading goes ahead while the GUI thread is held, and the page
// lists the task once the GUI thread runs again.
TEST(ScheduleReading, WebPageReadsWhileTheGuiThreadIsBusy) {
    SavedCrontab saved;
    CronDaemon cron;
    WrappedCrontab crontab;
    Window win;
    const int port = win.startServer(4);
    SchedulingAgent agent(win.paths.dataDir / "tasks", SchedulingAgent::RunnerBeside(QELTV_BINARY),
                          [](const QString&) {});
    ASSERT_EQ(agent.ConnectSchedulingAgent(), sched::kOk);
    SaveTask(agent, "Evening news");

    Touch(crontab.gate());
    bool readWhileHeld = false;
    const std::string page = Fetch(port, "/schedules.html", [&] {
        // Holds the GUI thread: no event is processed while this waits.
        readWhileHeld = WaitFor([&] { return QFileInfo::exists(crontab.started()); }, kGateWait_ms);
        Touch(crontab.release());
    });
    EXPECT_TRUE(readWhileHeld);
    EXPECT_NE(page.find("Evening news"), std::string::npos) << page;
    EXPECT_NE(page.find("The task has not yet run."), std::string::npos) << page;
}

// A web request's reading runs beside everything else: a task deleted
// meanwhile (here by another program) is simply gone, without a message;
// and rows read by a request that began before a command of the window are
// not shown over the command's newer rows.
TEST(ScheduleReading, ReadingBesideChanges) {
    SavedCrontab saved;
    CronDaemon cron;
    WrappedCrontab crontab;
    Window win;
    const int port = win.startServer(4);
    SchedulingAgent agent(win.paths.dataDir / "tasks", SchedulingAgent::RunnerBeside(QELTV_BINARY),
                          [](const QString&) {});
    ASSERT_EQ(agent.ConnectSchedulingAgent(), sched::kOk);
    SaveTask(agent, "Alpha");
    SaveTask(agent, "Zulu");
    const auto rowNames = [&] {
        QStringList names;
        for (const ScheduleRow& row : win.w->session().schedules().rows())
            names << row.name;
        return names;
    };
    // Holds the reading of a request in its crontab read while `change`
    // runs, the GUI thread held too.
    const auto fetchAround = [&](const std::function<void()>& change) {
        QFile::remove(crontab.started());
        QFile::remove(crontab.release());
        Touch(crontab.gate());
        bool held = false;
        const std::string page = Fetch(port, "/schedules.html", [&] {
            held = WaitFor([&] { return QFileInfo::exists(crontab.started()); }, kGateWait_ms);
            // The changes' own crontab calls pass the gate.
            QFile::remove(crontab.gate());
            change();
            Touch(crontab.release());
        });
        EXPECT_TRUE(held);
        return page;
    };

    std::string page = fetchAround([&] { ASSERT_EQ(agent.agent()->Delete("Zulu"), sched::kOk); });
    EXPECT_EQ(rowNames(), QStringList{"Alpha"});
    EXPECT_EQ(page.find("Zulu"), std::string::npos) << page;
    EXPECT_TRUE(win.answerer.messages.isEmpty()) << win.answerer.messages.join("\n").toStdString();

    page = fetchAround([&] {
        ScheduleItemValues values;
        values.taskName = "Mike";
        values.channel = 2;
        values.startDate = QDate::currentDate();
        values.endDate = values.startDate;
        values.startTime = QTime(21, 30);
        values.triggerType = 1;
        win.w->session().schedules().addSchedule(values);
    });
    EXPECT_EQ(rowNames(), (QStringList{"Alpha", "Mike"}));
    EXPECT_NE(page.find("Mike"), std::string::npos) << page;
    EXPECT_TRUE(win.answerer.messages.isEmpty()) << win.answerer.messages.join("\n").toStdString();
}

QELTV_GUI_TEST_MAIN()
