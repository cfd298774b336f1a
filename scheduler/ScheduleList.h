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
#include <optional>
#include <vector>

namespace qeltv {

// One row: the task's name and its four sub-entries, always all four.
struct ScheduleRow {
    enum Cell { Status = 0, NextRunTime, LastRunTime, ScheduledTime, kCells };
    QString name;
    std::array<QString, kCells> cells;
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
    void setProgramPath(const QString& path) { programPath_ = path; }
    const std::vector<ScheduleRow>& rows() const { return rows_; }

    // Rebuilds the rows from the agent; without a connection the rows stay.
    void Refresh();
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
    SchedulingAgent& agent_;
    QString programPath_;
    std::vector<ScheduleRow> rows_;
};

} // namespace qeltv
