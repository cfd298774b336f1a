// The scheduling agent as the recording scheduler sees it: the agent, its
// tasks, their triggers and the enumeration of task names, with the
// operations and result codes of the agent the program was written for.
// One implementation (CronAgent) keeps tasks as job files with the user's
// crontab as the clock.
#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <memory>

namespace qeltv {

class TaskEditor;

// An agent result: 0 success, informational codes with the high bit clear,
// failures with it set.
using SchedCode = std::int32_t;

namespace sched {
constexpr SchedCode kOk = 0;
constexpr SchedCode kFail = -1; // all bits set: no task, or nothing to save
constexpr SchedCode code(std::uint32_t value) {
    return static_cast<SchedCode>(value);
}
constexpr SchedCode SCHED_S_TASK_READY = code(0x00041300);
constexpr SchedCode SCHED_S_TASK_RUNNING = code(0x00041301);
constexpr SchedCode SCHED_S_TASK_DISABLED = code(0x00041302);
constexpr SchedCode SCHED_S_TASK_HAS_NOT_RUN = code(0x00041303);
constexpr SchedCode SCHED_S_TASK_NO_MORE_RUNS = code(0x00041304);
constexpr SchedCode SCHED_S_TASK_NOT_SCHEDULED = code(0x00041305);
constexpr SchedCode SCHED_S_TASK_TERMINATED = code(0x00041306);
constexpr SchedCode SCHED_S_TASK_NO_VALID_TRIGGERS = code(0x00041307);
constexpr SchedCode SCHED_S_EVENT_TRIGGER = code(0x00041308);
constexpr SchedCode SCHED_E_TRIGGER_NOT_FOUND = code(0x80041309);
constexpr SchedCode SCHED_E_TASK_NOT_READY = code(0x8004130A);
constexpr SchedCode SCHED_E_TASK_NOT_RUNNING = code(0x8004130B);
constexpr SchedCode SCHED_E_SERVICE_NOT_INSTALLED = code(0x8004130C);
constexpr SchedCode SCHED_E_CANNOT_OPEN_TASK = code(0x8004130D);
constexpr SchedCode SCHED_E_INVALID_TASK = code(0x8004130E);
constexpr SchedCode SCHED_E_ACCOUNT_INFORMATION_NOT_SET = code(0x8004130F);
constexpr SchedCode SCHED_E_ACCOUNT_NAME_NOT_FOUND = code(0x80041310);
constexpr SchedCode SCHED_E_ACCOUNT_DBASE_CORRUPT = code(0x80041311);
constexpr SchedCode SCHED_E_NO_SECURITY_SERVICES = code(0x80041312);
constexpr SchedCode SCHED_E_UNKNOWN_OBJECT_VERSION = code(0x80041313);
constexpr SchedCode SCHED_E_UNSUPPORTED_ACCOUNT_OPTION = code(0x80041314);
constexpr SchedCode SCHED_E_SERVICE_NOT_RUNNING = code(0x80041315);
constexpr SchedCode E_OUTOFMEMORY = code(0x8007000E);
constexpr SchedCode E_INVALIDARG = code(0x80070057);
// The agent's class is not there (no crontab command to keep its clock).
constexpr SchedCode REGDB_E_CLASSNOTREG = code(0x80040154);
// Saving failed: the job file or the crontab could not be written.
constexpr SchedCode E_FAIL = code(0x80004005);
// No task of that name.
constexpr SchedCode E_FILE_NOT_FOUND = code(0x80070002);
// NewWorkItem: the name is taken.
constexpr SchedCode E_FILE_EXISTS = code(0x80070050);
} // namespace sched

// The trigger record, field for field (all zero until filled).
struct TASK_TRIGGER {
    static constexpr std::uint16_t kSize = 48;
    std::uint16_t cbTriggerSize = 0;
    std::uint16_t Reserved1 = 0;
    std::uint16_t wBeginYear = 0;
    std::uint16_t wBeginMonth = 0;
    std::uint16_t wBeginDay = 0;
    std::uint16_t wEndYear = 0;
    std::uint16_t wEndMonth = 0;
    std::uint16_t wEndDay = 0;
    std::uint16_t wStartHour = 0;
    std::uint16_t wStartMinute = 0;
    std::uint32_t MinutesDuration = 0;
    std::uint32_t MinutesInterval = 0;
    std::uint32_t rgFlags = 0;
    std::uint32_t TriggerType = 0;
    // The type-specific union: days interval, or weeks interval and days of
    // the week, or the monthly fields; kept as its raw words.
    std::uint16_t Type[3] = {0, 0, 0};
    std::uint16_t Reserved2 = 0;
    std::uint16_t wRandomMinutesInterval = 0;

    bool operator==(const TASK_TRIGGER&) const = default;
};

enum TASK_TRIGGER_TYPE : std::uint32_t {
    TASK_TIME_TRIGGER_ONCE = 0,
    TASK_TIME_TRIGGER_DAILY = 1,
    TASK_TIME_TRIGGER_WEEKLY = 2,
};
constexpr std::uint32_t TASK_TRIGGER_FLAG_HAS_END_DATE = 0x1;

class ITaskTrigger {
public:
    virtual ~ITaskTrigger() = default;
    virtual SchedCode SetTrigger(const TASK_TRIGGER& trigger) = 0;
    virtual SchedCode GetTrigger(TASK_TRIGGER& trigger) = 0;
};

// One task, opened for one operation; changes last only once saved.
class ITask {
public:
    virtual ~ITask() = default;
    virtual SchedCode SetApplicationName(const QString& path) = 0;
    virtual SchedCode SetParameters(const QString& parameters) = 0;
    virtual SchedCode SetWorkingDirectory(const QString& folder) = 0;
    // The password is taken and dropped: the agent never stores one.
    virtual SchedCode SetAccountInformation(const QString& account, const QString& password) = 0;
    virtual SchedCode SetMaxRunTime(std::uint32_t maxRunTime_ms) = 0;
    virtual SchedCode CreateTrigger(std::uint16_t& index,
                                    std::unique_ptr<ITaskTrigger>& trigger) = 0;

    virtual SchedCode GetApplicationName(QString& path) = 0;
    virtual SchedCode GetParameters(QString& parameters) = 0;
    virtual SchedCode GetWorkingDirectory(QString& folder) = 0;
    virtual SchedCode GetAccountInformation(QString& account) = 0;
    virtual SchedCode GetMaxRunTime(std::uint32_t& maxRunTime_ms) = 0;
    virtual SchedCode GetStatus(SchedCode& status) = 0;
    // 0 and a local time, or the code that says why there is none.
    virtual SchedCode GetNextRunTime(QDateTime& time) = 0;
    virtual SchedCode GetMostRecentRunTime(QDateTime& time) = 0;
    virtual SchedCode GetExitCode(int& exitCode) = 0;
    // Why the last run failed; empty when it did not.
    virtual SchedCode GetFailureText(QString& text) = 0;
    virtual SchedCode GetTriggerCount(std::uint16_t& count) = 0;
    virtual SchedCode GetTrigger(std::uint16_t index, std::unique_ptr<ITaskTrigger>& trigger) = 0;
    virtual SchedCode GetTriggerString(std::uint16_t index, QString& text) = 0;

    // Starts the task now, whatever its schedule.
    virtual SchedCode Run() = 0;
    // Has `editor` edit the task; saves when the edit is accepted.
    virtual SchedCode EditWorkItem(TaskEditor& editor) = 0;
    // Writes the task under its own name.
    virtual SchedCode Save() = 0;
};

class IEnumWorkItems {
public:
    virtual ~IEnumWorkItems() = default;
    // Up to `count` names; 0 while names remain, 1 (S_FALSE) at the end.
    virtual SchedCode Next(unsigned count, QStringList& names, unsigned& fetched) = 0;
};

class ITaskScheduler {
public:
    virtual ~ITaskScheduler() = default;
    virtual SchedCode Activate(const QString& name, std::unique_ptr<ITask>& task) = 0;
    // A new task that is not saved yet; none when the name is taken
    // (names are compared without regard to case).
    virtual SchedCode NewWorkItem(const QString& name, std::unique_ptr<ITask>& task) = 0;
    virtual SchedCode Delete(const QString& name) = 0;
    virtual SchedCode Enum(std::unique_ptr<IEnumWorkItems>& items) = 0;
};

} // namespace qeltv
