#include "app/session/Schedules.h"

namespace qeltv {

Schedules::Schedules(const std::filesystem::path& tasksDir, const QString& program,
                     std::function<void(const QString&)> showMessage, SessionNotify notify)
    : agent_(tasksDir, SchedulingAgent::RunnerBeside(program), std::move(showMessage)),
      list_(agent_, program), notify_(std::move(notify)) {}

SchedCode Schedules::connectAgent() {
    const SchedCode code = agent_.ConnectSchedulingAgent();
    list_.AgentConnected();
    return code;
}

void Schedules::showSchedules(ScheduleReading reading) {
    list_.Show(std::move(reading));
    notify_(SessionChange::Schedules);
}

void Schedules::refreshSchedules() {
    list_.Refresh();
    notify_(SessionChange::Schedules);
}

void Schedules::useProgram(const QString& programPath) {
    list_.setProgramPath(programPath);
    agent_.setRunner(SchedulingAgent::RunnerBeside(programPath));
}

void Schedules::addSchedule(const ScheduleItemValues& values) {
    if (list_.AddSchedule(values))
        notify_(SessionChange::Schedules);
}

void Schedules::startScheduleNow(const QString& name) {
    list_.Startnow(name);
    notify_(SessionChange::Schedules);
}

void Schedules::deleteSchedule(const QString& name) {
    list_.Delete(name);
    notify_(SessionChange::Schedules);
}

void Schedules::editSchedule(const QString& name, TaskEditor& editor) {
    list_.Edit(name, editor);
    notify_(SessionChange::Schedules);
}

} // namespace qeltv
