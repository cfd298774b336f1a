// The "Schedules" page as data: the scheduling agent and the schedule list
// of this program's tasks, and the commands on them.
#pragma once

#include "app/session/SessionView.h"
#include "scheduler/ScheduleList.h"
#include "scheduler/SchedulingAgent.h"
#include "scheduler/TaskEditor.h"

#include <filesystem>
#include <functional>
#include <vector>

namespace qeltv {

class Schedules {
public:
    // The tasks live in `tasksDir`; `program` is this program, whose
    // schedules are listed and whose runner new schedules start;
    // `showMessage` shows the agent's messages.
    Schedules(const std::filesystem::path& tasksDir, const QString& program,
              std::function<void(const QString&)> showMessage, SessionNotify notify);

    // Connects the agent; the code says why it cannot be used.
    SchedCode connectAgent();

    // Reads the schedule list again, as when its page is shown.
    void refreshSchedules();
    // The two halves of a refresh. Reading is the slow one and runs on any
    // thread (a web page's connection thread): it reads the job files and
    // the crontab only. Showing runs on the GUI thread.
    ScheduleReading readSchedules() const { return list_.Read(); }
    void showSchedules(ScheduleReading reading);
    const std::vector<ScheduleRow>& rows() const { return list_.rows(); }
    // The program that new schedules start and whose schedules are listed;
    // the agent's runner is the one beside it.
    void useProgram(const QString& programPath);
    // The add-schedule command once the schedule dialog was accepted: writes
    // the task and refreshes. Throws what ScheduleList::AddSchedule throws.
    void addSchedule(const ScheduleItemValues& values);
    // The schedule dialog's line about where the runner lives (empty when
    // the program runs installed).
    QString runnerNote() const { return SchedulingAgent::BuildFolderNote(agent_.runner()); }
    // The schedule list's commands on the named task, each ending in a
    // refresh; "Edit" has the task edited by `editor`.
    void startScheduleNow(const QString& name);
    void deleteSchedule(const QString& name);
    void editSchedule(const QString& name, TaskEditor& editor);

private:
    SchedulingAgent agent_;
    ScheduleList list_;
    SessionNotify notify_;
};

} // namespace qeltv
