// The program's end of the report channel of the scheduling agent's runner
// (common/ScheduledRun.h): when the runner started this process for a
// scheduled recording, it hears here when the recording started, so that it
// counts the recording's length from then, and why it was not made.
#pragma once

#include "common/UniqueFd.h"

#include <QString>

namespace qeltv {

class RunnerReport {
public:
    // No channel: every report goes nowhere (a start by hand).
    RunnerReport() = default;
    // Takes the channel that the environment names, if it is an open
    // socket, and takes the variable out of the environment.
    static RunnerReport FromEnvironment();

    bool connected() const { return static_cast<bool>(fd_); }
    void recordingStarted();
    void failed(const QString& reason);
    // The channel's recording was not made, or only its first part (the
    // running instance ended it before its time): said on stderr and here.
    void notRecorded(long channel, const QString& reason, bool inPart = false);

private:
    explicit RunnerReport(UniqueFd fd) : fd_(std::move(fd)) {}
    void send(QByteArray line);

    UniqueFd fd_;
};

} // namespace qeltv
