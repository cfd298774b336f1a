// The program's one connection to the scheduling agent and the thin layer
// over it: connecting, opening and saving tasks, the status texts, the
// conversion into the agent's wide text and the current account name.
#pragma once

#include "scheduler/CronAgent.h"
#include "scheduler/TaskScheduler.h"

#include <QString>

#include <array>
#include <filesystem>
#include <functional>
#include <memory>

namespace qeltv {

class SchedulingAgent {
public:
    // The shared wide text buffer: 511 characters and the terminating zero.
    static constexpr std::size_t kWideTextUnits = 512;
    static constexpr qsizetype kMaxWideTextLength = kWideTextUnits - 1;

    // `showMessage` shows a plain message box with the given text.
    SchedulingAgent(std::filesystem::path tasksDir, std::filesystem::path runner,
                    std::function<void(const QString&)> showMessage);

    // 0 when connected (also when already connected); otherwise the
    // creation code, and there is no agent.
    SchedCode ConnectSchedulingAgent();
    CronAgent* agent() const { return agent_.get(); }
    // The runner that the agent starts from here on.
    void setRunner(const std::filesystem::path& runner);
    // The runner beside `program`.
    static std::filesystem::path RunnerBeside(const QString& program);
    const std::filesystem::path& runner() const { return runner_; }
    // "Runs from the build folder <folder>: install qeltv to keep schedules
    // working" when `runner` lies in a CMake build folder, whose cleaning or
    // moving would break every task; empty for an installed runner.
    static QString BuildFolderNote(const std::filesystem::path& runner);
    // A plain message box of the scheduler.
    void showMessage(const QString& text) const { showMessage_(text); }

    // The task, or none after "Error in SchedulingAgent.Activate.Error
    // Code :<code>" has been shown.
    std::unique_ptr<ITask> ActivateTask(const QString& name);
    // The code of the task's Save; -1 when there is no task.
    SchedCode SaveTask(ITask* task);
    // The sentence for a status or error code; empty for any other code.
    static QString TaskStatusText(SchedCode code);
    // Converts `text` into the shared buffer and returns it. Text of more
    // than 511 characters is refused with std::length_error; nothing is
    // written past the buffer.
    const char16_t* ToWideText(const QString& text);
    // Refuses, as ToWideText does, a text too long for the shared buffer.
    static void CheckWideText(const QString& text);
    // "<host name>\<user name>"; throws std::system_error when the user
    // cannot be read.
    static QString CurrentAccountName();
    // "<what>.Error Code :<8 upper-case hex digits>"
    static QString ErrorText(const QString& what, SchedCode code);

private:
    std::filesystem::path tasksDir_;
    std::filesystem::path runner_;
    std::function<void(const QString&)> showMessage_;
    std::unique_ptr<CronAgent> agent_;
    std::array<char16_t, kWideTextUnits> wideText_{};
};

} // namespace qeltv
