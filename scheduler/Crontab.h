// The agent's clock: the user's crontab, read with `crontab -l` and written
// with `crontab -` (cron's own command, which also tells the daemon), never
// by touching cron's spool.
//
// Each trigger of a task is one line, ending in a shell comment that marks it
// as ours and names the job file:
//   <minute> <hour> <day> <month> <weekday> '<runner>' '<job file>' # qeltv-job <job file>
// Once:   the start's minute, hour, day and month; cron has no year, so the
//         runner checks it.
// Daily:  every day at the start time ("M H * * *"); the runner does not run
//         before the start date.
// Weekly: every week on the start date's weekday at the start time
//         ("M H * * W"), from the start date; the interval and day fields
//         are not used (the schedule command writes them as 0).
// The end date is not a limit: the has-end-date flag is never set by us.
// Every line that is not ours stays as it is, byte for byte.
#pragma once

#include "scheduler/TaskScheduler.h"

#include <QByteArray>
#include <QString>

#include <filesystem>
#include <optional>
#include <vector>

namespace qeltv {

class Crontab {
public:
    // What ends every line of ours, followed by the job file.
    static constexpr const char* kTag = "# qeltv-job ";
    static constexpr int kCommandTimeout_ms = 10000;

    // The `crontab` command on PATH; empty when there is none.
    static QString FindCommand();
    // Whether a cron daemon (cron or crond) is running on this machine.
    static bool DaemonRunning();

    explicit Crontab(QString command) : command_(std::move(command)) {}

    const QString& command() const { return command_; }

    // The user's crontab as `crontab -l` gives it; empty when the user has
    // none. Throws std::runtime_error with cron's message otherwise.
    QByteArray Read() const;
    // Installs `text` with `crontab -`; throws std::runtime_error with
    // cron's message when it refuses.
    void Write(const QByteArray& text) const;

    // The lines of `job`'s triggers.
    static std::vector<QByteArray> LinesFor(const std::filesystem::path& runner,
                                            const std::filesystem::path& job,
                                            const std::vector<TASK_TRIGGER>& triggers);
    // `crontab` without the lines of `job`, with `lines` added at its end.
    static QByteArray Replace(const QByteArray& crontab, const std::filesystem::path& job,
                              const std::vector<QByteArray>& lines);
    // Whether `crontab` holds a line of `job`.
    static bool HasJob(const QByteArray& crontab, const std::filesystem::path& job);
    // The runner that the first line of `job` starts, as LinesFor wrote it;
    // nothing when there is no such line or it starts something else.
    static std::optional<std::filesystem::path> RunnerOf(const QByteArray& crontab,
                                                         const std::filesystem::path& job);

private:
    QString command_;
};

} // namespace qeltv
