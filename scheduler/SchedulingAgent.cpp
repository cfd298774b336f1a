#include "scheduler/SchedulingAgent.h"

#include "scheduler/CronAgent.h"

#include <cerrno>
#include <pwd.h>
#include <stdexcept>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace qeltv {

namespace {
// The longest host name the system hands out.
constexpr std::size_t kHostNameBuffer = 256;
constexpr std::size_t kPasswdBuffer = 16384;
} // namespace

SchedulingAgent::SchedulingAgent(std::filesystem::path tasksDir, std::filesystem::path runner,
                                 std::function<void(const QString&)> showMessage)
    : tasksDir_(std::move(tasksDir)), runner_(std::move(runner)),
      showMessage_(std::move(showMessage)) {}

std::filesystem::path SchedulingAgent::RunnerBeside(const QString& program) {
    return std::filesystem::path(program.toStdString()).parent_path() / CronAgent::kRunnerName;
}

QString SchedulingAgent::BuildFolderNote(const std::filesystem::path& runner) {
    // A build folder holds CMakeCache.txt; the runner sits a level or two
    // below it.
    constexpr int kLevels = 3;
    std::filesystem::path folder = runner.parent_path();
    for (int level = 0; level < kLevels && !folder.empty(); ++level) {
        std::error_code ec;
        if (std::filesystem::exists(folder / "CMakeCache.txt", ec))
            return "Runs from the build folder " + QString::fromStdString(folder.string()) +
                   ": install qeltv to keep schedules working";
        if (folder == folder.parent_path())
            break;
        folder = folder.parent_path();
    }
    return {};
}

void SchedulingAgent::setRunner(const std::filesystem::path& runner) {
    runner_ = runner;
    if (agent_)
        agent_->setRunner(runner);
}

SchedCode SchedulingAgent::ConnectSchedulingAgent() {
    if (agent_)
        return sched::kOk;
    // Without cron's own command the agent has no clock.
    const QString crontab = Crontab::FindCommand();
    if (crontab.isEmpty())
        return sched::REGDB_E_CLASSNOTREG;
    agent_ = std::make_unique<CronAgent>(tasksDir_, runner_, crontab);
    return sched::kOk;
}

std::unique_ptr<ITask> SchedulingAgent::ActivateTask(const QString& name) {
    std::unique_ptr<ITask> task;
    SchedCode code = sched::SCHED_E_SERVICE_NOT_INSTALLED;
    if (agent_)
        code = agent_->Activate(QString::fromUtf16(ToWideText(name)), task);
    if (code != sched::kOk || !task) {
        showMessage_(ErrorText("Error in SchedulingAgent.Activate", code));
        return nullptr;
    }
    return task;
}

SchedCode SchedulingAgent::SaveTask(ITask* task) {
    if (!task)
        return sched::kFail;
    const SchedCode code = task->Save();
    // A task the agent did not keep would silently never record.
    if (code != sched::kOk)
        showMessage_(ErrorText("Error in Task.Save", code));
    return code;
}

QString SchedulingAgent::ErrorText(const QString& what, SchedCode code) {
    return what + ".Error Code :" +
           QString::number(static_cast<std::uint32_t>(code), 16).toUpper().rightJustified(8, '0');
}

QString SchedulingAgent::TaskStatusText(SchedCode code) {
    using namespace sched;
    static constexpr std::pair<SchedCode, const char*> kTexts[] = {
        {SCHED_S_TASK_READY, "The task is ready to run at its next scheduled time."},
        {SCHED_S_TASK_RUNNING, "The task is currently running."},
        {SCHED_S_TASK_DISABLED,
         "The task will not run at the scheduled times because it has been disabled."},
        {SCHED_S_TASK_HAS_NOT_RUN, "The task has not yet run."},
        {SCHED_S_TASK_NO_MORE_RUNS, "There are no more runs scheduled for this task."},
        {SCHED_S_TASK_NOT_SCHEDULED, "One or more of the properties that are needed to run this "
                                     "task on a schedule have not been set."},
        {SCHED_S_TASK_TERMINATED, "The last run of the task was terminated by the user."},
        {SCHED_S_TASK_NO_VALID_TRIGGERS,
         "Either the task has no triggers or the existing triggers are disabled or not set."},
        {SCHED_S_EVENT_TRIGGER, "Event triggers dont have set run times."},
        {SCHED_E_TRIGGER_NOT_FOUND, "Trigger not found."},
        {SCHED_E_TASK_NOT_READY,
         "One or more of the properties that are needed to run this task have not been set."},
        {SCHED_E_TASK_NOT_RUNNING, "There is no running instance of the task to terminate."},
        {SCHED_E_SERVICE_NOT_INSTALLED,
         "The Task Scheduler Service is not installed on this computer."},
        {SCHED_E_CANNOT_OPEN_TASK, "The task object could not be opened."},
        {SCHED_E_INVALID_TASK, "The object is either an invalid task object or is not a task "
                               "object."},
        {SCHED_E_ACCOUNT_INFORMATION_NOT_SET, "No account information could be found in the Task "
                                              "Scheduler security database for the task "
                                              "indicated."},
        {SCHED_E_ACCOUNT_NAME_NOT_FOUND, "Unable to establish existence of the account specified."},
        {SCHED_E_ACCOUNT_DBASE_CORRUPT, "Corruption was detected in the Task Scheduler security "
                                        "database; the database has been reset."},
        {SCHED_E_NO_SECURITY_SERVICES,
         "Task Scheduler security services are available only on Windows NT."},
        {SCHED_E_UNKNOWN_OBJECT_VERSION,
         "The task object version is either unsupported or invalid."},
        {SCHED_E_UNSUPPORTED_ACCOUNT_OPTION, "The task has been configured with an unsupported "
                                             "combination of account settings and run time "
                                             "options."},
        {SCHED_E_SERVICE_NOT_RUNNING, "The Task Scheduler Service is not running."},
        {E_OUTOFMEMORY, "Not enough memory is available."},
        {E_INVALIDARG, "The arguments are not valid."},
    };
    for (const auto& [known, text] : kTexts)
        if (known == code)
            return QString::fromLatin1(text);
    return QString();
}

void SchedulingAgent::CheckWideText(const QString& text) {
    if (text.size() > kMaxWideTextLength)
        throw std::length_error("The text of " + std::to_string(text.size()) +
                                " characters is longer than the scheduling agent's " +
                                std::to_string(kMaxWideTextLength) + " characters.");
}

const char16_t* SchedulingAgent::ToWideText(const QString& text) {
    CheckWideText(text);
    std::copy(text.utf16(), text.utf16() + text.size(), wideText_.begin());
    wideText_[static_cast<std::size_t>(text.size())] = 0;
    return wideText_.data();
}

QString SchedulingAgent::CurrentAccountName() {
    char host[kHostNameBuffer] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        throw std::system_error(errno, std::generic_category(), "gethostname");
    std::vector<char> buffer(kPasswdBuffer);
    passwd entry{};
    passwd* found = nullptr;
    const int error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error != 0)
        throw std::system_error(error, std::generic_category(), "getpwuid_r");
    if (!found)
        throw std::system_error(ENOENT, std::generic_category(),
                                "getpwuid_r: no account for user " + std::to_string(::geteuid()));
    return QString::fromLocal8Bit(host) + "\\" + QString::fromLocal8Bit(found->pw_name);
}

} // namespace qeltv
