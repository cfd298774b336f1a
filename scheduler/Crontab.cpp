#include "scheduler/Crontab.h"

#include <QDate>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>

#include <fstream>
#include <stdexcept>

namespace qeltv {

namespace {
// Cron gives "%" a meaning of its own (a line break); "\%" is a plain one.
QByteArray cronEscaped(const QByteArray& text) {
    QByteArray out;
    for (char c : text) {
        if (c == '%')
            out += '\\';
        out += c;
    }
    return out;
}

// A word for /bin/sh, which runs the line.
QByteArray shellQuoted(const std::filesystem::path& path) {
    QByteArray quoted = "'";
    for (char c : path.string()) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

// The tag that ends every line of `job`.
QByteArray tagOf(const std::filesystem::path& job) {
    return cronEscaped(QByteArray(Crontab::kTag) + QByteArray::fromStdString(job.string()));
}

std::vector<QByteArray> splitLines(const QByteArray& text) {
    std::vector<QByteArray> lines;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        lines.push_back(text.mid(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool isLineOf(const QByteArray& line, const QByteArray& tag) {
    return line.endsWith(tag);
}

QString output(QProcess& process) {
    return QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
}
} // namespace

QString Crontab::FindCommand() {
    return QStandardPaths::findExecutable("crontab");
}

bool Crontab::DaemonRunning() {
    const QDir proc("/proc");
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        entry.toLong(&numeric);
        if (!numeric)
            continue;
        // "<pid> (<name>) <state> ...": a daemon that has ended but is not
        // reaped yet (state Z) runs no more.
        std::ifstream stat("/proc/" + entry.toStdString() + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        const auto open = line.find('(');
        const auto close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= line.size())
            continue;
        const std::string name = line.substr(open + 1, close - open - 1);
        const char state = line[close + 2];
        if ((name == "cron" || name == "crond") && state != 'Z')
            return true;
    }
    return false;
}

QByteArray Crontab::Read() const {
    QProcess process;
    process.start(command_, {"-l"});
    if (!process.waitForFinished(kCommandTimeout_ms))
        throw std::runtime_error("crontab -l: " + process.errorString().toStdString());
    const QByteArray text = process.readAllStandardOutput();
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return text;
    const QString message = output(process);
    // The user has no crontab yet: an empty one.
    if (message.startsWith("no crontab for", Qt::CaseInsensitive))
        return QByteArray();
    throw std::runtime_error("crontab -l: " + message.toStdString());
}

void Crontab::Write(const QByteArray& text) const {
    QProcess process;
    process.start(command_, {"-"});
    if (!process.waitForStarted(kCommandTimeout_ms))
        throw std::runtime_error("crontab -: " + process.errorString().toStdString());
    process.write(text);
    process.closeWriteChannel();
    if (!process.waitForFinished(kCommandTimeout_ms))
        throw std::runtime_error("crontab -: " + process.errorString().toStdString());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        throw std::runtime_error("crontab -: " + output(process).toStdString());
}

std::optional<std::filesystem::path> Crontab::RunnerOf(const QByteArray& crontab,
                                                       const std::filesystem::path& job) {
    constexpr int kTimeFields = 5;
    const QByteArray tag = tagOf(job);
    for (const QByteArray& line : splitLines(crontab)) {
        if (!isLineOf(line, tag))
            continue;
        // Past the five time fields comes the runner, quoted for /bin/sh.
        qsizetype at = 0;
        for (int field = 0; field < kTimeFields; ++field) {
            while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
                ++at;
            while (at < line.size() && line[at] != ' ' && line[at] != '\t')
                ++at;
        }
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
        // Undoes shellQuoted ('...' pieces joined by \') and cronEscaped.
        std::string runner;
        while (at < line.size() && line[at] == '\'') {
            const qsizetype end = line.indexOf('\'', at + 1);
            if (end < 0)
                return std::nullopt;
            runner += line.mid(at + 1, end - at - 1).replace("\\%", "%").toStdString();
            at = end + 1;
            if (line.mid(at, 2) != "\\'")
                return runner.empty() ? std::nullopt : std::optional(std::filesystem::path(runner));
            runner += '\'';
            at += 2;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::vector<QByteArray> Crontab::LinesFor(const std::filesystem::path& runner,
                                          const std::filesystem::path& job,
                                          const std::vector<TASK_TRIGGER>& triggers) {
    std::vector<QByteArray> lines;
    const QByteArray command =
        cronEscaped(shellQuoted(runner) + ' ' + shellQuoted(job)) + ' ' + tagOf(job);
    for (const auto& t : triggers) {
        const QByteArray time =
            QByteArray::number(t.wStartMinute) + ' ' + QByteArray::number(t.wStartHour) + ' ';
        QByteArray when;
        switch (t.TriggerType) {
        case TASK_TIME_TRIGGER_ONCE:
            when = time + QByteArray::number(t.wBeginDay) + ' ' +
                   QByteArray::number(t.wBeginMonth) + " *";
            break;
        case TASK_TIME_TRIGGER_DAILY:
            when = time + "* * *";
            break;
        case TASK_TIME_TRIGGER_WEEKLY: {
            // Cron counts Sunday as 0, Qt as 7.
            const QDate begin(t.wBeginYear, t.wBeginMonth, t.wBeginDay);
            when = time + "* * " + QByteArray::number(begin.dayOfWeek() % 7);
            break;
        }
        default:
            // A kind of trigger the agent does not run: no line, so the
            // task shows as not scheduled.
            continue;
        }
        lines.push_back(when + ' ' + command);
    }
    return lines;
}

QByteArray Crontab::Replace(const QByteArray& crontab, const std::filesystem::path& job,
                            const std::vector<QByteArray>& lines) {
    const QByteArray tag = tagOf(job);
    QByteArray out;
    for (const QByteArray& line : splitLines(crontab))
        if (!isLineOf(line, tag))
            out += line + '\n';
    for (const QByteArray& line : lines)
        out += line + '\n';
    return out;
}

bool Crontab::HasJob(const QByteArray& crontab, const std::filesystem::path& job) {
    const QByteArray tag = tagOf(job);
    for (const QByteArray& line : splitLines(crontab))
        if (isLineOf(line, tag))
            return true;
    return false;
}

} // namespace qeltv
