#include "app/RunnerReport.h"

#include "app/Logging.h"
#include "common/ScheduledRun.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace qeltv {

RunnerReport RunnerReport::FromEnvironment() {
    const char* value = std::getenv(kRunnerReportVariable);
    if (!value)
        return {};
    char* end = nullptr;
    const long fd = std::strtol(value, &end, 10);
    // Programs this one starts (a runner for "Start now") get no channel.
    ::unsetenv(kRunnerReportVariable);
    struct stat info {};
    if (end == value || *end != '\0' || fd < 0 || fd > INT32_MAX ||
        ::fstat(static_cast<int>(fd), &info) != 0 || !S_ISSOCK(info.st_mode)) {
        qCWarning(lcApp) << "no runner report channel at" << value;
        return {};
    }
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return RunnerReport(UniqueFd(static_cast<int>(fd)));
}

void RunnerReport::recordingStarted() {
    send(kReportRecording);
}

void RunnerReport::failed(const QString& reason) {
    QByteArray text = reason.toUtf8();
    text.replace('\r', ' ').replace('\n', ' ');
    send(QByteArray(kReportFailed) + ' ' + text);
}

void RunnerReport::notRecorded(long channel, const QString& reason, bool inPart) {
    const QString text = QString(inPart ? "channel %1 was recorded only in part: %2"
                                        : "channel %1 was not recorded: %2")
                             .arg(channel)
                             .arg(reason);
    std::fprintf(stderr, "qeltv: %s\n", text.toLocal8Bit().constData());
    failed(text);
}

void RunnerReport::send(QByteArray line) {
    if (!fd_)
        return;
    line.truncate(kMaxReportLineBytes - 1);
    line += '\n';
    // The runner may be gone: no SIGPIPE for that.
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t n = ::send(fd_.get(), line.constData() + done,
                                 static_cast<size_t>(line.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            qCWarning(lcApp) << "runner report not sent:" << std::strerror(errno);
            fd_.reset();
            return;
        }
        done += n;
    }
    qCDebug(lcApp) << "reported to the runner:" << line.trimmed();
}

} // namespace qeltv
