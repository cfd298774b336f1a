// The scheduling agent over job files and the user's crontab.
//
// The agent's own rules:
// - A task is its job file (JobFile.h) in the tasks folder, and one crontab
//   line per trigger (Crontab.h). Saving writes the job first, then the
//   lines; deleting removes the lines first, then the job.
// - Status, in this order: running while the runner of that job is alive;
//   "the service is not running" when no cron daemon runs; not scheduled
//   when the job's crontab line is gone (removed by hand, say); no more runs
//   when every trigger is Once and its time has come; has not run before the
//   first run; ready otherwise.
// - Next run: the earliest coming start of any trigger (Once: its start;
//   Daily: every day at the start time from the start date; Weekly: the
//   start date's weekday from the start date). A minute that has begun has
//   passed: cron starts on the minute.
// - Most recent run: the time the runner recorded when it last started the
//   program; "has not run" before.
// - The runner is the program `runner` beside the program; cron starts it
//   with the job file, "Run" starts it at once with "--now".
// - The session's environment (display, runtime folder, session bus, the
//   XDG folders) is recorded in the job when it is saved, so that the
//   program started by cron reaches the user's session.
// - No password is kept; the account name is kept as information only: the
//   task runs as the owner of the crontab.
#pragma once

#include "scheduler/Crontab.h"
#include "scheduler/JobFile.h"
#include "scheduler/TaskScheduler.h"

#include <QLoggingCategory>

#include <filesystem>
#include <memory>
#include <optional>

namespace qeltv {

Q_DECLARE_LOGGING_CATEGORY(lcScheduler)

// What the statuses of all tasks read of the system, taken once for a whole
// list: the crontab's text and whether the cron daemon runs.
struct CronSnapshot {
    // None when the crontab could not be read: then no task is scheduled.
    std::optional<QByteArray> crontab;
    bool daemonRunning = false;
};

class CronAgent : public ITaskScheduler {
public:
    // The runner program's file name, installed beside `qeltv`.
    static constexpr const char* kRunnerName = "qeltv-runner";
    // The agent's longest task name, as the wide text buffer allows.
    static constexpr qsizetype kMaxNameLength = 511;

    CronAgent(std::filesystem::path tasksDir, std::filesystem::path runner, QString crontabCommand);

    SchedCode Activate(const QString& name, std::unique_ptr<ITask>& task) override;
    SchedCode NewWorkItem(const QString& name, std::unique_ptr<ITask>& task) override;
    SchedCode Delete(const QString& name) override;
    SchedCode Enum(std::unique_ptr<IEnumWorkItems>& items) override;
    // The task answering from `snapshot` instead of reading the crontab and
    // looking for the daemon at every question; for reading only, as what
    // it saves is not seen in the snapshot.
    SchedCode Activate(const QString& name, std::shared_ptr<const CronSnapshot> snapshot,
                       std::unique_ptr<ITask>& task);
    // Reads the crontab once and looks for the cron daemon once.
    CronSnapshot Snapshot() const;

    const std::filesystem::path& tasksDir() const { return tasksDir_; }
    const std::filesystem::path& runner() const { return runner_; }
    // Tasks saved from here on are started by `runner`.
    void setRunner(std::filesystem::path runner) { runner_ = std::move(runner); }
    const Crontab& crontab() const { return crontab_; }
    std::filesystem::path jobFile(const QString& name) const {
        return tasksDir_ / Job::FileNameFor(name);
    }

    // The variables of the session recorded in a job when it is saved.
    static std::vector<std::pair<QString, QString>> SessionEnvironment();
    // The next start of `triggers` after `now`; invalid when none comes.
    static QDateTime NextRunTime(const std::vector<TASK_TRIGGER>& triggers, const QDateTime& now);
    // The agent's sentence for a trigger, e.g. "At 21:30 every day, starting
    // 08.12.2026".
    static QString TriggerString(const TASK_TRIGGER& trigger);

private:
    friend class CronTask;
    // The crontab's text; none, after a warning, when it cannot be read.
    std::optional<QByteArray> readCrontab() const;
    std::filesystem::path tasksDir_;
    std::filesystem::path runner_;
    Crontab crontab_;
};

} // namespace qeltv
