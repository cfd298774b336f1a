// The schedule dialog, the add-schedule command and the "Schedules" page of
// the real main window, headless, over the real agent, crontab and cron
// daemon.
#include "app/uFrmMain.h"
#include "scheduler/uFrmScheduleItem.h"
#include "tests/app/GuiTest.h"
#include "tests/scheduler/CronSupport.h"
#include "tests/settings/TempDir.h"

#include <QAction>
#include <QComboBox>
#include <QDateEdit>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimeEdit>
#include <QTreeWidget>

using namespace qeltv;
using namespace qeltv::test;

namespace {

void StoreThreeChannels(const Paths& paths) {
    WriteFile(paths.machineStore(),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\TV System "
              "Services\\TVAutoTune\\TS31-1]\n\"1\"=dword:02e03c90\n\"2\"=dword:034b0c50\n"
              "\"3\"=dword:03b5dc10\n");
}

struct Window {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    std::unique_ptr<TfrmMain> w;
    explicit Window(bool channels = true) {
        if (channels)
            StoreThreeChannels(paths);
        w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
    }
    ~Window() {
        w->close();
        w.reset();
    }
    std::filesystem::path tasks() const { return paths.dataDir / "tasks"; }
    std::vector<Job> jobs() const {
        std::vector<Job> found;
        std::error_code error;
        for (const auto& e : std::filesystem::directory_iterator(tasks(), error))
            found.push_back(Job::Read(e.path()));
        return found;
    }
    QTreeWidget* list() const { return w->findChild<QTreeWidget*>("lvTasks"); }
    QStringList rows() const {
        QStringList texts;
        for (int i = 0; i < list()->topLevelItemCount(); ++i) {
            QStringList cells;
            for (int c = 0; c < list()->columnCount(); ++c)
                cells << list()->topLevelItem(i)->text(c);
            texts << cells.join(" | ");
        }
        return texts;
    }
    void select(const QString& name) {
        for (int i = 0; i < list()->topLevelItemCount(); ++i)
            if (list()->topLevelItem(i)->text(0) == name)
                list()->topLevelItem(i)->setSelected(true);
    }
    QAction* action(const char* name) const { return w->findChild<QAction*>(name); }
    // Clicks "Add new schedule" with the dialog's values changed by `fill`.
    void addSchedule(ModalAnswerer& answerer, std::function<void(TfrmScheduleItem&)> fill,
                     bool ok = true) {
        int dialogs = 0;
        answerer.onDialog = [&](QDialog* d) {
            auto* item = qobject_cast<TfrmScheduleItem*>(d);
            ASSERT_NE(item, nullptr);
            ++dialogs;
            fill(*item);
            ok ? item->btnOK->click() : item->btnCancel->click();
        };
        w->findChild<QPushButton*>("btnAddSchedule")->click();
        EXPECT_EQ(dialogs, 1);
    }
};

// An error through the application-wide handler carries this text.
bool Reported(const QStringList& messages, const QString& what) {
    for (const QString& m : messages)
        if (m.contains(what))
            return true;
    return false;
}

} // namespace

// The dialog's controls and initial values: the default name from the time,
// the channel entries with the current one selected, none when the current
// channel is not in the list or the list is empty.
TEST(ScheduleDialog, InitialValues) {
    const QDateTime now(QDate(2026, 3, 7), QTime(16, 5, 9));
    std::vector<TfrmScheduleItem::ChannelEntry> entries = {
        {TfrmScheduleItem::ChannelEntryText("1", "48250000", "One"), 1},
        {TfrmScheduleItem::ChannelEntryText("5", "175250000", "Five"), 5},
    };
    TfrmScheduleItem d(nullptr, entries, 5, "host\\user", now);
    EXPECT_EQ(d.windowTitle(), "Schedule item");
    EXPECT_EQ(d.size(), QSize(313, 518));
    EXPECT_EQ(d.edTaskname->text(), "My Recording at 20260307160509");
    ASSERT_EQ(d.cmbChannel->count(), 2);
    EXPECT_EQ(d.cmbChannel->itemText(1), "5 - freq. = 175250000 - Five");
    EXPECT_EQ(d.cmbChannel->currentIndex(), 1);
    EXPECT_EQ(d.edUsername->text(), "host\\user");
    EXPECT_EQ(d.edPassword->text(), QString());
    EXPECT_EQ(d.edPassword->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(d.edPassword->toolTip().contains("no password is ever stored"));
    EXPECT_EQ(d.cmbTriggerType->currentText(), "Once");
    EXPECT_EQ(d.cmbTriggerType->count(), 3);
    EXPECT_EQ(d.dtStartDate->date(), now.date());
    EXPECT_EQ(d.dtEndDate->date(), QDate(2027, 3, 7));
    EXPECT_EQ(d.dtStartTime->displayFormat(), "HH:mm");
    EXPECT_EQ(d.dtStartTime->time().toString("HH:mm"), "16:05");
    EXPECT_EQ(d.seHour->value(), 1);
    EXPECT_EQ(d.seMinutes->value(), 0);
    EXPECT_EQ(d.seMinutes->maximum(), 59);
    EXPECT_EQ(d.btnOK->text(), "&OK");
    EXPECT_EQ(d.btnCancel->text(), "&Cancel");
    EXPECT_EQ(d.values().channel, 5);

    TfrmScheduleItem notListed(nullptr, entries, 7, "", now);
    EXPECT_EQ(notListed.cmbChannel->currentIndex(), -1);
    EXPECT_EQ(notListed.values().channel, std::nullopt);
    TfrmScheduleItem empty(nullptr, {}, 1, "", now);
    EXPECT_EQ(empty.cmbChannel->currentIndex(), -1);
}

// The add-schedule command: Cancel writes nothing; OK writes the task as
// the dialog says (durations, trigger types with all type fields 0); a
// taken name, a negative or too long duration, too long account texts and
// no channel are refused with their messages and write nothing.
TEST(ScheduleCommand, WritesTasksAndRefusesBadValues) {
    SavedCrontab saved;
    CronDaemon cron;
    Window win;
    ModalAnswerer answerer;

    win.addSchedule(
        answerer, [](TfrmScheduleItem&) {}, false);
    EXPECT_TRUE(win.jobs().empty());
    EXPECT_EQ(win.list()->topLevelItemCount(), 0);

    // The dialog as the window opens it: this user, the current channel.
    QString defaultAccount;
    int entries = 0;
    win.addSchedule(answerer, [&](TfrmScheduleItem& d) {
        // The program runs from its build folder here: the dialog says what
        // that means for the task.
        EXPECT_FALSE(d.lblRunnerNote->isHidden());
        EXPECT_TRUE(d.lblRunnerNote->text().startsWith("Runs from the build folder "))
            << d.lblRunnerNote->text().toStdString();
        EXPECT_TRUE(d.lblRunnerNote->text().endsWith(": install qeltv to keep schedules working"));
        defaultAccount = d.edUsername->text();
        entries = d.cmbChannel->count();
        EXPECT_EQ(d.cmbChannel->currentIndex(), 0);
        EXPECT_TRUE(d.cmbChannel->itemText(0).startsWith("1 - freq. = "));
        d.edTaskname->setText("Evening news");
        d.cmbChannel->setCurrentIndex(1);
        d.cmbTriggerType->setCurrentIndex(1);
        d.dtStartDate->setDate(QDate(2030, 1, 2));
        d.dtStartTime->setTime(QTime(21, 30));
        d.seHour->setValue(2);
        d.seMinutes->setValue(30);
    });
    EXPECT_EQ(defaultAccount, SchedulingAgent::CurrentAccountName());
    EXPECT_EQ(entries, 3);
    auto jobs = win.jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].name, "Evening news");
    EXPECT_EQ(jobs[0].application, QCoreApplication::applicationFilePath());
    EXPECT_EQ(jobs[0].workingDirectory, QCoreApplication::applicationDirPath() + "/");
    EXPECT_EQ(jobs[0].parameters, "2");
    EXPECT_EQ(jobs[0].account, defaultAccount);
    EXPECT_EQ(jobs[0].maxRunTime_ms, 9000000u);
    ASSERT_EQ(jobs[0].triggers.size(), 1u);
    TASK_TRIGGER expected;
    expected.cbTriggerSize = 48;
    expected.wBeginYear = 2030;
    expected.wBeginMonth = 1;
    expected.wBeginDay = 2;
    expected.wEndYear = 2031;
    expected.wEndMonth = 1;
    expected.wEndDay = 2;
    expected.wStartHour = 21;
    expected.wStartMinute = 30;
    expected.TriggerType = TASK_TIME_TRIGGER_DAILY;
    // The end date stays from today's dialog: only the start was changed.
    expected.wEndYear = jobs[0].triggers[0].wEndYear;
    expected.wEndMonth = jobs[0].triggers[0].wEndMonth;
    expected.wEndDay = jobs[0].triggers[0].wEndDay;
    EXPECT_EQ(jobs[0].triggers[0], expected);
    // Written, and the list shows it.
    EXPECT_EQ(win.rows(),
              QStringList{"Evening news | The task has not yet run. | " +
                          ScheduleList::DateTimeText(QDateTime(QDate(2030, 1, 2), QTime(21, 30))) +
                          " | The task has not yet run. | At 21:30 every day, "
                          "starting 02.01.2030"});

    win.addSchedule(answerer, [](TfrmScheduleItem& d) {
        d.edTaskname->setText("Weekly zero");
        d.cmbTriggerType->setCurrentIndex(2);
        d.seHour->setValue(0);
        d.seMinutes->setValue(0);
    });
    // The toolbar's "Add schedule" opens the same dialog.
    int dialogs = 0;
    answerer.onDialog = [&](QDialog* d) {
        ++dialogs;
        d->reject();
    };
    win.action("btRootMenu")->trigger();
    EXPECT_EQ(dialogs, 1);

    answerer.messages.clear();
    win.addSchedule(answerer, [](TfrmScheduleItem& d) {
        d.edTaskname->setText("EVENING NEWS");
        d.seHour->setValue(7);
    });
    EXPECT_EQ(answerer.messages, QStringList{"Unable to create task. Duplicate name ?"});

    const auto refused = [&](const QString& message, std::function<void(TfrmScheduleItem&)> fill) {
        answerer.messages.clear();
        win.addSchedule(answerer, [&](TfrmScheduleItem& d) {
            d.edTaskname->setText("Refused");
            fill(d);
        });
        EXPECT_TRUE(Reported(answerer.messages, message))
            << answerer.messages.join("\n").toStdString();
        EXPECT_EQ(win.jobs().size(), 2u) << message.toStdString();
    };
    refused("Range check error", [](TfrmScheduleItem& d) { d.seHour->setValue(-1); });
    refused("596 hours 31 minutes", [](TfrmScheduleItem& d) {
        d.seHour->setValue(596);
        d.seMinutes->setValue(32);
    });
    refused("List index out of bounds (-1)",
            [](TfrmScheduleItem& d) { d.cmbChannel->setCurrentIndex(-1); });
    refused("account name is longer than 126",
            [](TfrmScheduleItem& d) { d.edUsername->setText(QString(127, 'a')); });
    refused("password is longer than 126",
            [](TfrmScheduleItem& d) { d.edPassword->setText(QString(127, 'p')); });
    refused("longer than the scheduling agent's 511",
            [](TfrmScheduleItem& d) { d.edTaskname->setText(QString(512, 'n')); });

    win.addSchedule(answerer, [](TfrmScheduleItem& d) {
        d.edTaskname->setText("Longest");
        d.seHour->setValue(596);
        d.seMinutes->setValue(31);
        d.edUsername->setText(QString(126, 'a'));
        d.edPassword->setText(QString(126, 'p'));
    });
    jobs = win.jobs();
    ASSERT_EQ(jobs.size(), 3u);
    const auto named = [&](const QString& name) -> const Job* {
        for (const auto& job : jobs)
            if (job.name == name)
                return &job;
        return nullptr;
    };
    const Job* news = named("Evening news");
    ASSERT_NE(news, nullptr);
    EXPECT_EQ(news->maxRunTime_ms, 9000000u); // the duplicate changed nothing
    const Job* weekly = named("Weekly zero");
    ASSERT_NE(weekly, nullptr);
    EXPECT_EQ(weekly->maxRunTime_ms, 0u);
    ASSERT_EQ(weekly->triggers.size(), 1u);
    EXPECT_EQ(weekly->triggers[0].TriggerType, TASK_TIME_TRIGGER_WEEKLY);
    EXPECT_EQ(
        weekly->triggers[0].Type[0] | weekly->triggers[0].Type[1] | weekly->triggers[0].Type[2], 0);
    EXPECT_EQ(weekly->triggers[0].rgFlags, 0u);
    const Job* longest = named("Longest");
    ASSERT_NE(longest, nullptr);
    EXPECT_EQ(longest->maxRunTime_ms, 2147460000u);
}

// The list: this program's tasks only (its path in any letter case), four
// sub-entries on every row, "Multiple schedule times", refresh on showing
// the page; "Delete" without a selection does nothing and with one removes
// the task without asking; "Edit" saves the agent's dialog.
TEST(ScheduleList, RowsAndCommands) {
    SavedCrontab saved;
    CronDaemon cron;
    Window win(false);
    ModalAnswerer answerer;
    QTreeWidget* list = win.list();
    ASSERT_NE(list, nullptr);
    const QStringList headers = {"Taskname", "Status", "Next run time", "Last run time",
                                 "Scheduled time"};
    for (int c = 0; c < 5; ++c)
        EXPECT_EQ(list->headerItem()->text(c), headers[c]);
    EXPECT_EQ(list->columnWidth(0), 259);
    EXPECT_EQ(list->columnWidth(1), 200);
    EXPECT_EQ(list->columnWidth(4), 100);
    QStringList menu;
    for (QAction* a : list->findChild<QMenu*>("pmSchedule")->actions())
        menu << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(menu, (QStringList{"Start now", "-", "Delete", "Edit"}));

    SchedulingAgent agent(win.tasks(), SchedulingAgent::RunnerBeside(QELTV_BINARY),
                          [](const QString&) {});
    ASSERT_EQ(agent.ConnectSchedulingAgent(), sched::kOk);
    const QDate start = QDate::currentDate().addDays(3);
    const auto save = [&](const QString& name, const QString& program, int triggers) {
        std::unique_ptr<ITask> task;
        ASSERT_EQ(agent.agent()->NewWorkItem(name, task), sched::kOk);
        task->SetApplicationName(program);
        task->SetParameters("1");
        for (int i = 0; i < triggers; ++i) {
            std::uint16_t index = 0;
            std::unique_ptr<ITaskTrigger> trigger;
            task->CreateTrigger(index, trigger);
            TASK_TRIGGER t;
            t.cbTriggerSize = 48;
            t.wBeginYear = std::uint16_t(start.year());
            t.wBeginMonth = std::uint16_t(start.month());
            t.wBeginDay = std::uint16_t(start.day());
            t.wStartHour = std::uint16_t(i);
            t.TriggerType = TASK_TIME_TRIGGER_ONCE;
            trigger->SetTrigger(t);
        }
        ASSERT_EQ(task->Save(), sched::kOk);
    };
    save("Ours in capitals", QCoreApplication::applicationFilePath().toUpper(), 1);
    save("Another program", "/usr/bin/true", 1);
    save("Two triggers", QCoreApplication::applicationFilePath(), 2);
    save("No trigger", QCoreApplication::applicationFilePath(), 0);

    // Showing the page refreshes it.
    auto* notebook = win.w->findChild<QTabWidget*>("Notebook1");
    notebook->setCurrentIndex(PageSchedules);
    const QString midnight = ScheduleList::DateTimeText(QDateTime(start, QTime(0, 0)));
    EXPECT_EQ(midnight, QLocale::system().toString(start, QLocale::ShortFormat));
    EXPECT_EQ(win.rows(),
              (QStringList{
                  "No trigger | One or more of the properties that are needed to run this task "
                  "on a schedule have not been set. | Either the task has no triggers or "
                  "the existing triggers are disabled or not set. | The task has not yet run. | ",
                  "Ours in capitals | The task has not yet run. | " + midnight +
                      " | The task has not yet run. | At 00:00 on " + start.toString("dd.MM.yyyy"),
                  "Two triggers | The task has not yet run. | " + midnight +
                      " | The task has not yet run. | Multiple schedule times"}));
    for (const auto& row : win.w->session().snapshot().schedules)
        EXPECT_EQ(row.cells.size(), 4u);

    // Nothing selected: nothing happens.
    win.action("Delete1")->trigger();
    EXPECT_EQ(win.rows().size(), 3);
    win.select("Two triggers");
    win.action("Delete1")->trigger();
    EXPECT_EQ(win.rows().size(), 2);
    EXPECT_TRUE(answerer.messages.isEmpty());
    std::unique_ptr<ITask> task;
    EXPECT_NE(agent.agent()->Activate("Two triggers", task), sched::kOk);
    EXPECT_FALSE(RunCrontab({"-l"}).contains(
        QByteArray::fromStdString(agent.agent()->jobFile("Two triggers").string())));

    answerer.onDialog = [](QDialog* d) {
        d->findChild<QSpinBox*>("seHour")->setValue(3);
        d->findChild<QComboBox*>("cmbTriggerType")->setCurrentIndex(1);
        d->findChild<QTimeEdit*>("dtStartTime")->setTime(QTime(20, 15));
        d->accept();
    };
    win.select("Ours in capitals");
    win.action("Edit1")->trigger();
    ASSERT_EQ(agent.agent()->Activate("Ours in capitals", task), sched::kOk);
    std::uint32_t maxRunTime_ms = 0;
    task->GetMaxRunTime(maxRunTime_ms);
    EXPECT_EQ(maxRunTime_ms, 3u * 3600 * 1000);
    EXPECT_TRUE(RunCrontab({"-l"}).contains("15 20 * * * "));
    EXPECT_TRUE(win.rows().contains("Ours in capitals | The task has not yet run. | " +
                                    ScheduleList::DateTimeText(QDateTime(start, QTime(20, 15))) +
                                    " | The task has not yet run. | At 20:15 every day, starting " +
                                    start.toString("dd.MM.yyyy")));
    EXPECT_EQ(win.rows().size(), 2);
}

// Without cron's command there is no agent: the message, and the program
// ends once its start-up has run.
TEST(ScheduleList, NoAgentEndsTheProgram) {
    const QByteArray path = qgetenv("PATH");
    QTemporaryDir empty;
    qputenv("PATH", empty.path().toUtf8());
    ModalAnswerer answerer;
    bool ended = false;
    {
        Window win;
        qputenv("PATH", path);
        QTimer safety;
        safety.setSingleShot(true);
        QObject::connect(&safety, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        safety.start(30000);
        ended = QCoreApplication::exec() == 0;
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(
        answerer.messages.contains("Error in ActiveX.CoCreateInstance.Error Code :80040154"))
        << answerer.messages.join("\n").toStdString();
}

QELTV_GUI_TEST_MAIN()
