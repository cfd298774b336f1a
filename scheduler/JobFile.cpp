#include "scheduler/JobFile.h"

#include "common/UniqueFd.h"

#include <QCryptographicHash>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace qeltv {

namespace {
constexpr const char* kMagic = "qeltv-job 1";
constexpr const char* kDateTimeFormat = "yyyy-MM-ddTHH:mm:ss";
// Every field of TASK_TRIGGER, the union's three words included.
constexpr std::size_t kTriggerFields = 19;

std::string escape(const QString& value) {
    std::string out;
    for (char c : value.toStdString()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

QString unescape(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
        } else {
            out += value[i];
        }
    }
    return QString::fromStdString(out);
}

std::string triggerText(const TASK_TRIGGER& t) {
    std::ostringstream s;
    s << t.cbTriggerSize << ',' << t.Reserved1 << ',' << t.wBeginYear << ',' << t.wBeginMonth << ','
      << t.wBeginDay << ',' << t.wEndYear << ',' << t.wEndMonth << ',' << t.wEndDay << ','
      << t.wStartHour << ',' << t.wStartMinute << ',' << t.MinutesDuration << ','
      << t.MinutesInterval << ',' << t.rgFlags << ',' << t.TriggerType << ',' << t.Type[0] << ','
      << t.Type[1] << ',' << t.Type[2] << ',' << t.Reserved2 << ',' << t.wRandomMinutesInterval;
    return s.str();
}

std::optional<TASK_TRIGGER> parseTrigger(const std::string& text) {
    std::vector<unsigned long> v;
    std::istringstream s(text);
    std::string field;
    while (std::getline(s, field, ',')) {
        try {
            v.push_back(std::stoul(field));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    if (v.size() != kTriggerFields)
        return std::nullopt;
    TASK_TRIGGER t;
    auto w = [&](std::size_t i) { return static_cast<std::uint16_t>(v[i]); };
    auto d = [&](std::size_t i) { return static_cast<std::uint32_t>(v[i]); };
    t.cbTriggerSize = w(0);
    t.Reserved1 = w(1);
    t.wBeginYear = w(2);
    t.wBeginMonth = w(3);
    t.wBeginDay = w(4);
    t.wEndYear = w(5);
    t.wEndMonth = w(6);
    t.wEndDay = w(7);
    t.wStartHour = w(8);
    t.wStartMinute = w(9);
    t.MinutesDuration = d(10);
    t.MinutesInterval = d(11);
    t.rgFlags = d(12);
    t.TriggerType = d(13);
    t.Type[0] = w(14);
    t.Type[1] = w(15);
    t.Type[2] = w(16);
    t.Reserved2 = w(17);
    t.wRandomMinutesInterval = w(18);
    return t;
}

const char* statusText(Job::Status s) {
    switch (s) {
    case Job::Status::Running:
        return "running";
    case Job::Status::Exited:
        return "exited";
    case Job::Status::None:
        break;
    }
    return "none";
}

std::runtime_error fileError(const std::filesystem::path& file, const char* call) {
    return std::runtime_error("Job file " + file.string() + ": " + call + ": " +
                              std::strerror(errno));
}
} // namespace

std::string Job::FileNameFor(const QString& taskName) {
    const QByteArray hash =
        QCryptographicHash::hash(taskName.toCaseFolded().toUtf8(), QCryptographicHash::Sha256);
    return hash.toHex().toStdString() + ".job";
}

bool Job::RunnerAlive(long pid, const std::filesystem::path& file) {
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0)
        return false;
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    const std::string cmdline((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    return cmdline.find(file.string()) != std::string::npos;
}

Job Job::Read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw fileError(file, "open");
    std::string line;
    if (!std::getline(in, line) || line != kMagic)
        throw std::runtime_error("Job file " + file.string() + " is not a job file");
    Job job;
    while (std::getline(in, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "name")
            job.name = unescape(value);
        else if (key == "application")
            job.application = unescape(value);
        else if (key == "parameters")
            job.parameters = unescape(value);
        else if (key == "workingDirectory")
            job.workingDirectory = unescape(value);
        else if (key == "account")
            job.account = unescape(value);
        else if (key == "maxRunTime_ms")
            job.maxRunTime_ms =
                static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        else if (key == "trigger") {
            const auto t = parseTrigger(value);
            if (!t)
                throw std::runtime_error("Job file " + file.string() + ": bad trigger " + value);
            job.triggers.push_back(*t);
        } else if (key == "env") {
            const QString pair = unescape(value);
            const auto at = pair.indexOf('=');
            if (at > 0)
                job.environment.emplace_back(pair.left(at), pair.mid(at + 1));
        } else if (key == "status")
            job.status = value == "running"  ? Status::Running
                         : value == "exited" ? Status::Exited
                                             : Status::None;
        else if (key == "runnerPid")
            job.runnerPid = std::strtol(value.c_str(), nullptr, 10);
        else if (key == "lastRun")
            job.lastRun = QDateTime::fromString(QString::fromStdString(value), kDateTimeFormat);
        else if (key == "exitCode")
            job.exitCode = static_cast<int>(std::strtol(value.c_str(), nullptr, 10));
        else if (key == "failure")
            job.failure = unescape(value);
    }
    if (job.name.isEmpty())
        throw std::runtime_error("Job file " + file.string() + " names no task");
    return job;
}

void Job::Write(const std::filesystem::path& file) const {
    std::ostringstream s;
    s << kMagic << '\n';
    s << "name=" << escape(name) << '\n';
    s << "application=" << escape(application) << '\n';
    s << "parameters=" << escape(parameters) << '\n';
    s << "workingDirectory=" << escape(workingDirectory) << '\n';
    s << "account=" << escape(account) << '\n';
    s << "maxRunTime_ms=" << maxRunTime_ms << '\n';
    for (const auto& t : triggers)
        s << "trigger=" << triggerText(t) << '\n';
    for (const auto& [key, value] : environment)
        s << "env=" << escape(key + "=" + value) << '\n';
    s << "status=" << statusText(status) << '\n';
    s << "runnerPid=" << runnerPid << '\n';
    s << "lastRun=" << (lastRun.isValid() ? lastRun.toString(kDateTimeFormat).toStdString() : "")
      << '\n';
    s << "exitCode=" << exitCode << '\n';
    s << "failure=" << escape(failure) << '\n';
    const std::string text = s.str();

    std::filesystem::create_directories(file.parent_path());
    const std::filesystem::path temporary = file.string() + ".tmp." + std::to_string(::getpid());
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd)
        throw fileError(temporary, "open");
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const auto error = fileError(temporary, "write");
            ::unlink(temporary.c_str());
            throw error;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) {
        const auto error = fileError(temporary, "fsync");
        ::unlink(temporary.c_str());
        throw error;
    }
    if (const int error = fd.close(); error != 0) {
        errno = error;
        const auto failure = fileError(temporary, "close");
        ::unlink(temporary.c_str());
        throw failure;
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        const auto error = fileError(file, "rename");
        ::unlink(temporary.c_str());
        throw error;
    }
}

} // namespace qeltv
