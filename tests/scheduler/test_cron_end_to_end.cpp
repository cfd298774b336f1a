// A scheduled recording end to end: a Once task for the coming minute is
// written through the schedule dialog of a running main window; the real
// cron daemon starts the runner, the runner the program, which relays to
// the window; a minute later the window holds a finished recording and the
// list says the task will not run again.
#include "app/uFrmMain.h"
#include "scheduler/uFrmScheduleItem.h"
#include "tests/app/GuiTest.h"
#include "tests/scheduler/CronSupport.h"
#include "tests/scheduler/RecordingSupport.h"
#include "tests/settings/TempDir.h"

#include <QComboBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimeEdit>
#include <QTreeWidget>

using namespace qeltv;
using namespace qeltv::test;

namespace {
// Cron reads a changed crontab when it wakes on the minute; a start that
// close would be missed, so the task goes a minute further.
constexpr int kLeadSeconds = 15;
constexpr int kRecordingSeconds = 60;
// The start (at most two minutes ahead), the recording and its end.
constexpr int kWait_ms = (120 + kRecordingSeconds + 60) * 1000;
} // namespace

TEST(CronEndToEnd, OnceTaskRecordsAMinute) {
    SavedCrontab saved;
    CronDaemon cron;
    QTemporaryDir dir;
    const Paths paths = TempPaths(dir);
    // Channel 2, which the task records, is the station Aurora 1 (175.25 MHz):
    // picture and a tone for the recording check.
    WriteFile(paths.machineStore(),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\TV System "
              "Services\\TVAutoTune\\TS31-1]\n\"1\"=dword:02e03c90\n\"2\"=dword:0a721a50\n");
    // The session the task records: the program cron starts must find this
    // window's lock and command socket, and its folders.
    const QString root = dir.path();
    qputenv("XDG_RUNTIME_DIR", (root + "/run").toUtf8());
    qputenv("XDG_CONFIG_HOME", (root + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (root + "/data").toUtf8());
    qputenv("XDG_VIDEOS_DIR", (root + "/videos").toUtf8());
    qputenv("XDG_CACHE_HOME", (root + "/cache").toUtf8());
    qunsetenv("DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");

    auto w = std::make_unique<TfrmMain>(paths, std::nullopt,
                                        std::make_unique<InstanceLock>(paths.lockFile()), App());
    // The tasks start the real program, as when it runs installed.
    w->session().schedules().useProgram(QELTV_BINARY);

    QDateTime start = QDateTime::currentDateTime().addSecs(60);
    start.setTime(QTime(start.time().hour(), start.time().minute()));
    if (QDateTime::currentDateTime().secsTo(start) < kLeadSeconds)
        start = start.addSecs(60);
    ModalAnswerer answerer;
    answerer.onDialog = [&](QDialog* d) {
        auto* item = qobject_cast<TfrmScheduleItem*>(d);
        ASSERT_NE(item, nullptr);
        item->edTaskname->setText("Next minute");
        item->cmbChannel->setCurrentIndex(1);
        item->cmbTriggerType->setCurrentIndex(0);
        item->dtStartDate->setDate(start.date());
        item->dtStartTime->setTime(start.time());
        item->seHour->setValue(0);
        item->seMinutes->setValue(1);
        item->btnOK->click();
    };
    w->findChild<QPushButton*>("btnAddSchedule")->click();
    ASSERT_EQ(w->session().schedules().rows().size(), 1u);
    EXPECT_EQ(w->session().schedules().rows()[0].cells[ScheduleRow::NextRunTime],
              ScheduleList::DateTimeText(start));

    const auto recordings = [&] {
        QStringList files;
        for (const auto& e : std::filesystem::directory_iterator(paths.videosDir))
            if (e.path().filename().string().rfind("capture_", 0) == 0)
                files << QString::fromStdString(e.path().string());
        return files;
    };
    const auto job = [&] {
        return Job::Read(paths.dataDir / "tasks" / Job::FileNameFor("Next minute"));
    };
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return recordings().size() == 1 && job().status == Job::Status::Exited; }, kWait_ms))
        << "recordings: " << recordings().join(", ").toStdString();
    EXPECT_EQ(w->graphMode(), GraphMode::Preview);
    EXPECT_EQ(job().exitCode, 0);
    const RecordingCheck check = CheckRecording(recordings()[0].toStdString(), kRecordingSeconds);
    EXPECT_EQ(check.problems, "") << check.summary;
    EXPECT_GE(job().lastRun, start);

    w->findChild<QPushButton*>("btnRefresh")->click();
    const ScheduleRow row = w->session().schedules().rows().at(0);
    EXPECT_EQ(row.cells[ScheduleRow::Status], "There are no more runs scheduled for this task.");
    EXPECT_EQ(row.cells[ScheduleRow::NextRunTime],
              "There are no more runs scheduled for this task.");
    EXPECT_EQ(row.cells[ScheduleRow::LastRunTime], ScheduleList::DateTimeText(job().lastRun));
    EXPECT_EQ(w->findChild<QTreeWidget*>("lvTasks")->topLevelItem(0)->text(3),
              ScheduleList::DateTimeText(job().lastRun));
    w->close();
}

QELTV_GUI_TEST_MAIN()
