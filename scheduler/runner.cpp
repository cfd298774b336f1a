// The scheduling agent's runner: cron starts it with a job file at the times
// of the job's crontab lines; "Run" starts it with --now.
//
//   qeltv-runner [--now] <job file>
//
// It checks that the job is due today (cron knows no year and no start
// date), records "running", its pid and the run time in the job, starts the
// job's program with its parameters in its working folder and the session's
// environment recorded in the job, and ends it in order when the maximum run
// time is reached: SIGTERM, then SIGKILL after a grace period. A maximum run
// time of 0 ends the program at once (it gets SIGTERM right after it
// started). Then it records the exit code and "exited". A job whose runner
// still runs is not started a second time. A SIGTERM, SIGINT or SIGHUP to the
// runner ends the program in the same order.
#include "scheduler/JobFile.h"
#include "scheduler/TaskScheduler.h"

#include <QDate>
#include <QDateTime>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
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
// 128 + signal, as shells report a program that a signal ended.
constexpr int kSignalExitBase = 128;
// Time the program gets to finish its recording after SIGTERM.
constexpr auto kGracePeriod = std::chrono::seconds(30);
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr const char* kX11SocketFolder = "/tmp/.X11-unix/X";

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

// Whether the display named by the environment can be reached from here.
bool displayReachable(const std::map<std::string, std::string>& env) {
    const auto get = [&](const char* name) {
        const auto it = env.find(name);
        return it == env.end() ? std::string() : it->second;
    };
    const std::string wayland = get("WAYLAND_DISPLAY");
    if (!wayland.empty()) {
        const std::string socket =
            wayland.front() == '/' ? wayland : get("XDG_RUNTIME_DIR") + "/" + wayland;
        if (QFileInfo::exists(QString::fromStdString(socket)))
            return true;
    }
    const std::string display = get("DISPLAY");
    if (display.empty())
        return false;
    const auto colon = display.rfind(':');
    if (colon == std::string::npos)
        return false;
    const std::string host = display.substr(0, colon);
    // A display on another host cannot be checked without connecting.
    if (!host.empty() && host != "unix")
        return true;
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    return QFileInfo::exists(QString::fromStdString(kX11SocketFolder + number));
}

std::vector<std::string> programEnvironment(const Job& job) {
    std::map<std::string, std::string> env;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string pair = *entry;
        const auto at = pair.find('=');
        if (at != std::string::npos)
            env[pair.substr(0, at)] = pair.substr(at + 1);
    }
    for (const auto& [name, value] : job.environment)
        env[name.toStdString()] = value.toStdString();
    // No display to reach (the user is not logged in, or on another seat):
    // the program still records, hidden, without one.
    if (!displayReachable(env) && env.find("QT_QPA_PLATFORM") == env.end())
        env["QT_QPA_PLATFORM"] = "offscreen";
    std::vector<std::string> out;
    for (const auto& [name, value] : env)
        out.push_back(name + "=" + value);
    return out;
}

pid_t startProgram(const Job& job) {
    const std::string program = job.application.toStdString();
    std::vector<std::string> args{program};
    for (const QString& p : job.parameters.split(' ', Qt::SkipEmptyParts))
        args.push_back(p.toStdString());
    const std::vector<std::string> env = programEnvironment(job);
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

// Waits for the program, ending it in order at `deadline`; its exit code.
int superviseProgram(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> killAt;
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return exitCodeOf(status);
        if (done < 0 && errno != EINTR) {
            log(std::string("waitpid: ") + std::strerror(errno));
            return kExitFailed;
        }
        const auto now = Clock::now();
        if (!killAt && (now >= deadline || g_stopSignal != 0)) {
            ::kill(pid, SIGTERM);
            killAt = now + kGracePeriod;
        } else if (killAt && now >= *killAt) {
            log("the program did not end in time after SIGTERM: killed");
            ::kill(pid, SIGKILL);
            killAt = Clock::time_point::max();
        }
        std::this_thread::sleep_for(kPollInterval);
    }
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
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(job.maxRunTime_ms);
        const pid_t pid = startProgram(job);
        int exitCode = kExitNotStarted;
        if (pid < 0)
            log(std::string("fork: ") + std::strerror(errno));
        else
            exitCode = superviseProgram(pid, deadline);
        record(file, [&](Job& j) {
            j.status = Job::Status::Exited;
            j.runnerPid = 0;
            j.exitCode = exitCode;
        });
        return 0;
    } catch (const std::exception& e) {
        log(e.what());
        return kExitFailed;
    }
}
