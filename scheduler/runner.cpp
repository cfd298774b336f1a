// The scheduling agent's runner: cron starts it with a job file at the times
// of the job's crontab lines; "Run" starts it with --now.
//
//   qeltv-runner [--now] <job file>
//
// It checks that the job is due today (cron knows no year and no start
// date), records "running", its pid and the run time in the job, starts the
// job's program with its parameters in its working folder and the session's
// environment recorded in the job (less what no longer leads anywhere, see
// RunEnvironment.h), and ends it in order when the maximum run time is
// reached: SIGTERM, then SIGKILL after a grace period that covers the
// program's own end of a recording. A maximum run time of 0 ends the
// program at once (it gets SIGTERM right after it started). A SIGTERM,
// SIGINT or SIGHUP to the runner ends the program in the same order.
//
// The program reports on a channel of its own (common/ScheduledRun.h) when
// its recording started: the maximum run time then counts from that moment,
// so the start-up does not eat the recording, though the whole run never
// lasts longer than the maximum run time and a start-up allowance. It also
// reports why a recording was not made; a recording that started so late
// that the run time ended it early counts as not made. The runner then
// records the result ("exitCode", not 0 for every run that recorded
// nothing) and the failure text, and "exited". A job whose runner still
// runs is not started a second time.
#include "common/ScheduledRun.h"
#include "common/UniqueFd.h"
#include "scheduler/JobFile.h"
#include "scheduler/RunEnvironment.h"
#include "scheduler/TaskScheduler.h"

#include <QDate>
#include <QDateTime>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace qeltv;

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailed = 1;
// The started program's exit code when it could not be started.
constexpr int kExitNotStarted = 127;
// The result of a run whose program ended well but reported that its
// recording was not made.
constexpr int kExitNotRecorded = 3;
// 128 + signal, as shells report a program that a signal ended.
constexpr int kSignalExitBase = 128;
// Time the program gets to finish its recording after SIGTERM.
constexpr auto kGracePeriod = std::chrono::milliseconds(kRunnerGracePeriod_ms);
// However late the recording reports its start, the run ends this long
// after its maximum run time at the latest.
constexpr auto kStartAllowance = std::chrono::seconds(30);
constexpr int kPollInterval_ms = 50;
// A recording this much shorter than the run time still counts as whole
// (the report and the deadline are seen a poll interval apart at most).
constexpr auto kRecordedTolerance = std::chrono::milliseconds(5 * kPollInterval_ms);

std::atomic<int> g_stopSignal{0};

extern "C" void onStopSignal(int signalNumber) {
    g_stopSignal = signalNumber;
}

void log(const std::string& text) {
    std::fprintf(stderr, "qeltv-runner: %s\n", text.c_str());
}

QDate beginDate(const TASK_TRIGGER& t) {
    return QDate(t.wBeginYear, t.wBeginMonth, t.wBeginDay);
}

// Whether a trigger of `job` starts on `day` (cron chose the minute).
bool dueOn(const Job& job, const QDate& day) {
    for (const auto& t : job.triggers) {
        const QDate begin = beginDate(t);
        switch (t.TriggerType) {
        case TASK_TIME_TRIGGER_ONCE:
            if (day == begin)
                return true;
            break;
        case TASK_TIME_TRIGGER_DAILY:
            if (day >= begin)
                return true;
            break;
        case TASK_TIME_TRIGGER_WEEKLY:
            if (day >= begin && day.dayOfWeek() == begin.dayOfWeek())
                return true;
            break;
        default:
            break;
        }
    }
    return false;
}

std::vector<std::string> programEnvironment(const Job& job, int reportFd) {
    EnvironmentMap inherited;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string pair = *entry;
        const auto at = pair.find('=');
        if (at != std::string::npos)
            inherited[pair.substr(0, at)] = pair.substr(at + 1);
    }
    std::vector<std::pair<std::string, std::string>> recorded;
    for (const auto& [name, value] : job.environment)
        recorded.emplace_back(name.toStdString(), value.toStdString());
    EnvironmentMap env = ScheduledRunEnvironment(inherited, recorded, ::getuid());
    if (reportFd >= 0)
        env[kRunnerReportVariable] = std::to_string(reportFd);
    std::vector<std::string> out;
    for (const auto& [name, value] : env)
        out.push_back(name + "=" + value);
    return out;
}

// Starts the program; `reportFd` is the program's end of the report
// channel (or -1), which it inherits.
pid_t startProgram(const Job& job, int reportFd) {
    const std::string program = job.application.toStdString();
    std::vector<std::string> args{program};
    for (const QString& p : job.parameters.split(' ', Qt::SkipEmptyParts))
        args.push_back(p.toStdString());
    const std::vector<std::string> env = programEnvironment(job, reportFd);
    const std::string folder = job.workingDirectory.toStdString();
    // Everything the child needs is prepared before the fork.
    std::vector<char*> argv, envp;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    // A stop signal that comes while the child is not yet the program must
    // reach the program, not the runner's handler in the child.
    sigset_t stopSignals, previous;
    sigemptyset(&stopSignals);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&stopSignals, s);
    ::sigprocmask(SIG_BLOCK, &stopSignals, &previous);
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        return pid;
    }
    // The child: the signal dispositions of the runner are not its own.
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        std::signal(s, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (reportFd >= 0)
        ::fcntl(reportFd, F_SETFD, 0);
    if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
        std::fprintf(stderr, "qeltv-runner: chdir %s: %s\n", folder.c_str(), std::strerror(errno));
        ::_exit(kExitNotStarted);
    }
    ::execve(program.c_str(), argv.data(), envp.data());
    std::fprintf(stderr, "qeltv-runner: %s: %s\n", program.c_str(), std::strerror(errno));
    ::_exit(kExitNotStarted);
}

int exitCodeOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return kSignalExitBase + WTERMSIG(status);
    return kExitFailed;
}

// What became of one run.
struct RunResult {
    int exitCode = kExitFailed;
    std::string failure;
};

// The runner's end of the report channel: lines as they come.
class ReportReader {
public:
    explicit ReportReader(UniqueFd fd) : fd_(std::move(fd)) {}
    int fd() const { return fd_.get(); }
    // Waits at most `timeout_ms` for the channel; the complete lines read.
    std::vector<std::string> read(int timeout_ms) {
        std::vector<std::string> lines;
        if (!fd_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
            return lines;
        }
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0)
            return lines;
        char buffer[kMaxReportLineBytes];
        const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
        if (n <= 0) {
            // Every holder of the program's end has closed it.
            if (n == 0 || errno != EINTR)
                fd_.reset();
            return lines;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = pending_.find('\n')) != std::string::npos;) {
            lines.push_back(pending_.substr(0, nl));
            pending_.erase(0, nl + 1);
        }
        if (pending_.size() > std::size_t(kMaxReportLineBytes))
            pending_.clear();
        return lines;
    }

private:
    UniqueFd fd_;
    std::string pending_;
};

// Waits for the program, ending it in order at the deadline: the maximum
// run time from the start, or from the recording's start once reported
// (within the start-up allowance).
RunResult superviseProgram(pid_t pid, ReportReader& reports, std::chrono::milliseconds maxRunTime) {
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    auto deadline = started + maxRunTime;
    const auto latest = started + maxRunTime + kStartAllowance;
    std::optional<Clock::time_point> killAt;
    // When the recording reported its start, and when the run's own
    // deadline (not a stop asked of the runner) ended the program.
    std::optional<Clock::time_point> recordingAt, endedByDeadlineAt;
    bool killed = false;
    RunResult result;
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            result.exitCode = exitCodeOf(status);
            break;
        }
        if (done < 0 && errno != EINTR) {
            log(std::string("waitpid: ") + std::strerror(errno));
            result.failure = std::string("waitpid: ") + std::strerror(errno);
            return result;
        }
        const auto now = Clock::now();
        if (!killAt && (now >= deadline || g_stopSignal != 0)) {
            ::kill(pid, SIGTERM);
            killAt = now + kGracePeriod;
            if (g_stopSignal == 0)
                endedByDeadlineAt = now;
        } else if (killAt && now >= *killAt && !killed) {
            log("the program did not end in time after SIGTERM: killed");
            ::kill(pid, SIGKILL);
            killed = true;
        }
        for (const std::string& line : reports.read(kPollInterval_ms)) {
            if (line == kReportRecording) {
                recordingAt = Clock::now();
                if (!killAt)
                    deadline = std::min(*recordingAt + maxRunTime, latest);
            } else if (line.rfind(kReportFailed, 0) == 0) {
                result.failure = line.substr(std::min(line.size(), std::strlen(kReportFailed) + 1));
            }
        }
    }
    // What the program said last, once it has ended, is read too.
    for (const std::string& line : reports.read(0)) {
        if (line == kReportRecording)
            recordingAt = Clock::now();
        else if (line.rfind(kReportFailed, 0) == 0)
            result.failure = line.substr(std::min(line.size(), std::strlen(kReportFailed) + 1));
    }
    // A recording that started so late that the run's time ended it early
    // (a start-up longer than the run time, or past the allowance) is not
    // the recording that was asked for, however well the program ended.
    if (recordingAt && endedByDeadlineAt && result.failure.empty()) {
        const auto recorded = std::max(Clock::duration::zero(), *endedByDeadlineAt - *recordingAt);
        if (recorded + kRecordedTolerance < maxRunTime) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "The recording started late: %.1f s of the %.1f s were recorded.",
                          std::chrono::duration<double>(recorded).count(),
                          std::chrono::duration<double>(maxRunTime).count());
            result.failure = text;
        }
    }
    if (killed)
        result.failure = "The program did not end in time after SIGTERM and was killed." +
                         (result.failure.empty() ? "" : " " + result.failure);
    if (result.exitCode == 0 && !result.failure.empty())
        result.exitCode = kExitNotRecorded;
    if (result.exitCode != 0 && result.failure.empty())
        result.failure =
            result.exitCode > kSignalExitBase
                ? "The program was ended by signal " +
                      std::to_string(result.exitCode - kSignalExitBase) + "."
                : "The program ended with exit code " + std::to_string(result.exitCode) + ".";
    return result;
}

void record(const std::filesystem::path& file, const std::function<void(Job&)>& change) {
    // Read again: the job may have been edited while the program ran.
    Job job = Job::Read(file);
    change(job);
    job.Write(file);
}

} // namespace

int main(int argc, char** argv) {
    bool now = false;
    std::filesystem::path file;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--now") == 0)
            now = true;
        else
            file = argv[i];
    }
    if (file.empty()) {
        log("usage: qeltv-runner [--now] <job file>");
        return kExitUsage;
    }
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(s, &action, nullptr);

    try {
        const Job job = Job::Read(file);
        const QDateTime started = QDateTime::currentDateTime();
        if (!now && !dueOn(job, started.date()))
            return 0; // another year, or before the start date
        if (job.status == Job::Status::Running && Job::RunnerAlive(job.runnerPid, file)) {
            log("the task \"" + job.name.toStdString() + "\" is running already");
            return 0;
        }
        record(file, [&](Job& j) {
            j.status = Job::Status::Running;
            j.runnerPid = ::getpid();
            j.lastRun = started;
        });
        // The program's end of the report channel goes with it; the runner
        // closes its copy once the program has it.
        int channel[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
            log(std::string("socketpair: ") + std::strerror(errno));
            channel[0] = channel[1] = -1;
        }
        ReportReader reports{UniqueFd(channel[0])};
        UniqueFd programEnd(channel[1]);
        const pid_t pid = startProgram(job, programEnd.get());
        programEnd.reset();
        RunResult result{kExitNotStarted, {}};
        if (pid < 0) {
            result.failure =
                std::string("The program could not be started: fork: ") + std::strerror(errno);
            log(result.failure);
        } else {
            result = superviseProgram(pid, reports, std::chrono::milliseconds(job.maxRunTime_ms));
        }
        if (!result.failure.empty())
            log("the task \"" + job.name.toStdString() + "\" failed: " + result.failure);
        record(file, [&](Job& j) {
            j.status = Job::Status::Exited;
            j.runnerPid = 0;
            j.exitCode = result.exitCode;
            j.failure = QString::fromStdString(result.failure);
        });
        return 0;
    } catch (const std::exception& e) {
        log(e.what());
        return kExitFailed;
    }
}
