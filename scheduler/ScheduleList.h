// The schedule list as data: the rows of the "Schedules" page (and of the
// web interface's schedules page), rebuilt from the agent at every refresh,
// the commands on one task, and the add-schedule command that writes the
// schedule dialog's values as a task.
#pragma once

#include "scheduler/SchedulingAgent.h"
#include "scheduler/TaskEditor.h"

#include <QDate>
#include <QTime>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <vector>

namespace qeltv {

// One row: the task's name and its four sub-entries, always all four.
struct ScheduleRow {
    enum Cell { Status = 0, NextRunTime, LastRunTime, ScheduledTime, kCells };
    QString name;
    std::array<QString, kCells> cells;
};

// Where a reading of the rows looks, copied from the connected agent so that
// the reading shares nothing with the GUI thread.
struct ScheduleSource {
    std::filesystem::path tasksDir;
    QString crontabCommand;
    QString programPath;
};

// The rows as read at one moment, before they are shown.
struct ScheduleReading {
    // A reading begun later has a higher number.
    std::uint64_t number = 0;
    // None without a connection to the agent: the rows shown stay.
    std::optional<std::vector<ScheduleRow>> rows;
    // The agent's messages about tasks that could not be opened.
    QStringList messages;
};

// What the schedule dialog hands to the add-schedule command.
struct ScheduleItemValues {
    QString taskName;
    std::optional<long> channel; // the selected entry's value; none selected
    QString account;
    QString password;
    int triggerType = 0; // 0 Once, 1 Daily, 2 Weekly
    QDate startDate;
    QTime startTime;
    QDate endDate;
    qint64 hours = 1;
    qint64 minutes = 0;
};

class ScheduleList {
public:
    // The account name and the password each fit a buffer of 255 bytes.
    static constexpr qsizetype kMaxAccountLength = 126;
    // The longest maximum run time, a signed 32-bit count of milliseconds
    // (596 hours 31 minutes and a little).
    static constexpr qint64 kMaxRunTime_ms = 0x7FFFFFFF;

    // `programPath`: the program that the tasks start, whose tasks are
    // listed.
    ScheduleList(SchedulingAgent& agent, QString programPath);

    const QString& programPath() const { return programPath_; }
    void setProgramPath(const QString& path);
    const std::vector<ScheduleRow>& rows() const { return rows_; }

    // Rebuilds the rows from the agent; without a connection the rows stay.
    // The same as Show(Read()).
    void Refresh();
    // Takes note of the agent's connection for the readings that follow.
    void AgentConnected() { updateSource(); }
    // Reads the rows, on any thread: reads the job files, the crontab once
    // and the daemon's state once, and touches nothing of the GUI thread.
    // Throws std::length_error for a task name too long for the agent.
    ScheduleReading Read() const;
    // Shows what was read, with the agent's messages, unless a reading
    // begun later is shown already.
    void Show(ScheduleReading reading);
    // The commands on the task of that name, each followed by a refresh.
    void Startnow(const QString& name);
    void Delete(const QString& name);
    void Edit(const QString& name, TaskEditor& editor);
    // Writes the dialog's values as a new task and refreshes. False, after
    // "Unable to create task. Duplicate name ?", when the agent gives no
    // task for the name. Throws std::out_of_range ("List index out of
    // bounds (-1)") without a channel, std::range_error for a negative
    // ("Range check error") or too long duration and std::length_error for
    // a too long task name, account name or password; nothing is written
    // then.
    bool AddSchedule(const ScheduleItemValues& values);

    // What the status cell adds for a run that failed: "The last run failed
    // (last result 0x00000003): <failure>".
    static QString FailedRunText(int lastResult, const QString& failure);

    // A local time as the list shows it: short date, a blank and long time;
    // midnight as the date alone.
    static QString DateTimeText(const QDateTime& time);

private:
    // The row of an opened task of this program.
    static ScheduleRow RowOf(const QString& name, ITask& task);
    static std::vector<ScheduleRow> ReadRows(const ScheduleSource& source, QStringList& messages);
    void updateSource();

    SchedulingAgent& agent_;
    QString programPath_;
    std::vector<ScheduleRow> rows_;
    // What readings on other threads look at; set on the GUI thread.
    mutable std::mutex sourceMutex_;
    std::optional<ScheduleSource> source_;
    mutable std::atomic<std::uint64_t> readingsBegun_ = 0;
    std::uint64_t shownReading_ = 0;
};

} // namespace qeltv
