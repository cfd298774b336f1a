// The agent's job file: one per task in the tasks folder, in a small text
// format of our own, written atomically (temporary file, fsync, rename).
//
//   qeltv-job 1
//   name=<task name>
//   application=<program path>
//   parameters=<command line parameters>
//   workingDirectory=<folder>
//   account=<account name>             (never a password)
//   maxRunTime_ms=<unsigned 32-bit>
//   trigger=<the 19 fields of TASK_TRIGGER in declaration order, comma separated>
//   env=<NAME>=<value>                 (one line per variable of the session)
//   status=none|running|exited         (the runner's record from here on)
//   runnerPid=<pid while running, else 0>
//   lastRun=<yyyy-MM-ddTHH:mm:ss local time, empty before the first run>
//   exitCode=<result of the last run: the program's exit status, 128 + signal
//             when killed; not 0 whenever the recording was not made>
//   failure=<why the last run failed, empty when it did not>
//
// Values are UTF-8 with "\\" for a backslash, "\n" and "\r" for line breaks;
// unknown keys are ignored, so later versions can add some.
//
// The file's name is the SHA-256 of the case-folded task name in hex with
// ".job": any name up to the agent's 511 characters fits a file name, names
// that differ only in case share one file, and slashes, dots or non-ASCII
// characters in a name never reach the file system.
#pragma once

#include "scheduler/TaskScheduler.h"

#include <QDateTime>
#include <QString>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qeltv {

struct Job {
    enum class Status { None, Running, Exited };

    QString name;
    QString application;
    QString parameters;
    QString workingDirectory;
    QString account;
    std::uint32_t maxRunTime_ms = 0;
    std::vector<TASK_TRIGGER> triggers;
    std::vector<std::pair<QString, QString>> environment;

    Status status = Status::None;
    long runnerPid = 0;
    QDateTime lastRun;
    int exitCode = 0;
    QString failure;

    static std::string FileNameFor(const QString& taskName);
    // Throws std::runtime_error naming the file when it cannot be read or
    // is not a job file.
    static Job Read(const std::filesystem::path& file);
    // Whether the runner with `pid` still runs the job in `file` (a pid may
    // have been reused by then).
    static bool RunnerAlive(long pid, const std::filesystem::path& file);
    // Atomic; throws std::runtime_error naming the file and the failing call.
    void Write(const std::filesystem::path& file) const;
};

} // namespace qeltv
