#include "scheduler/CronAgent.h"

#include "scheduler/TaskEditor.h"

#include <QLoggingCategory>

#include <QDir>
#include <QLocale>
#include <QProcess>

#include <algorithm>
#include <stdexcept>

extern char** environ;

namespace qeltv {

Q_LOGGING_CATEGORY(lcScheduler, "qeltv.scheduler")

namespace {
constexpr const char* kRunNowOption = "--now";
// The longest search for a next run: a weekly trigger comes within a week.
constexpr int kMaxDaysAhead = 8;

QDate beginDate(const TASK_TRIGGER& t) {
    return QDate(t.wBeginYear, t.wBeginMonth, t.wBeginDay);
}

QTime startTime(const TASK_TRIGGER& t) {
    return QTime(t.wStartHour, t.wStartMinute);
}

bool hasOnlyOnceTriggers(const std::vector<TASK_TRIGGER>& triggers) {
    return std::all_of(triggers.begin(), triggers.end(), [](const TASK_TRIGGER& t) {
        return t.TriggerType == TASK_TIME_TRIGGER_ONCE;
    });
}

class CronTrigger : public ITaskTrigger {
public:
    CronTrigger(std::vector<TASK_TRIGGER>& triggers, std::size_t index)
        : triggers_(triggers), index_(index) {}
    SchedCode SetTrigger(const TASK_TRIGGER& trigger) override {
        if (index_ >= triggers_.size())
            return sched::SCHED_E_TRIGGER_NOT_FOUND;
        if (!beginDate(trigger).isValid() || !startTime(trigger).isValid())
            return sched::E_INVALIDARG;
        triggers_[index_] = trigger;
        return sched::kOk;
    }
    SchedCode GetTrigger(TASK_TRIGGER& trigger) override {
        if (index_ >= triggers_.size())
            return sched::SCHED_E_TRIGGER_NOT_FOUND;
        trigger = triggers_[index_];
        return sched::kOk;
    }

private:
    // The task's list: a trigger lives as long as the task it came from.
    std::vector<TASK_TRIGGER>& triggers_;
    std::size_t index_;
};

class CronEnum : public IEnumWorkItems {
public:
    explicit CronEnum(QStringList names) : names_(std::move(names)) {}
    SchedCode Next(unsigned count, QStringList& names, unsigned& fetched) override {
        names.clear();
        fetched = 0;
        while (fetched < count && next_ < names_.size()) {
            names << names_[next_++];
            ++fetched;
        }
        // S_FALSE when fewer than asked for came back.
        return fetched == count ? sched::kOk : 1;
    }

private:
    QStringList names_;
    qsizetype next_ = 0;
};
} // namespace

class CronTask : public ITask {
public:
    CronTask(CronAgent& agent, Job job, bool isNew,
             std::shared_ptr<const CronSnapshot> snapshot = nullptr)
        : agent_(agent), job_(std::move(job)), new_(isNew), snapshot_(std::move(snapshot)) {}

    SchedCode SetApplicationName(const QString& path) override {
        job_.application = path;
        return sched::kOk;
    }
    SchedCode SetParameters(const QString& parameters) override {
        job_.parameters = parameters;
        return sched::kOk;
    }
    SchedCode SetWorkingDirectory(const QString& folder) override {
        job_.workingDirectory = folder;
        return sched::kOk;
    }
    SchedCode SetAccountInformation(const QString& account, const QString&) override {
        job_.account = account;
        return sched::kOk;
    }
    SchedCode SetMaxRunTime(std::uint32_t maxRunTime_ms) override {
        job_.maxRunTime_ms = maxRunTime_ms;
        return sched::kOk;
    }
    SchedCode CreateTrigger(std::uint16_t& index, std::unique_ptr<ITaskTrigger>& trigger) override {
        TASK_TRIGGER t;
        t.cbTriggerSize = TASK_TRIGGER::kSize;
        const QDate today = QDate::currentDate();
        t.wBeginYear = static_cast<std::uint16_t>(today.year());
        t.wBeginMonth = static_cast<std::uint16_t>(today.month());
        t.wBeginDay = static_cast<std::uint16_t>(today.day());
        job_.triggers.push_back(t);
        index = static_cast<std::uint16_t>(job_.triggers.size() - 1);
        trigger = std::make_unique<CronTrigger>(job_.triggers, index);
        return sched::kOk;
    }

    SchedCode GetApplicationName(QString& path) override {
        path = job_.application;
        return sched::kOk;
    }
    SchedCode GetParameters(QString& parameters) override {
        parameters = job_.parameters;
        return sched::kOk;
    }
    SchedCode GetWorkingDirectory(QString& folder) override {
        folder = job_.workingDirectory;
        return sched::kOk;
    }
    SchedCode GetAccountInformation(QString& account) override {
        account = job_.account;
        return sched::kOk;
    }
    SchedCode GetMaxRunTime(std::uint32_t& maxRunTime_ms) override {
        maxRunTime_ms = job_.maxRunTime_ms;
        return sched::kOk;
    }
    SchedCode GetStatus(SchedCode& status) override {
        if (job_.status == Job::Status::Running && Job::RunnerAlive(job_.runnerPid, file()))
            status = sched::SCHED_S_TASK_RUNNING;
        else if (!daemonRunning())
            status = sched::SCHED_E_SERVICE_NOT_RUNNING;
        else if (!scheduled())
            status = sched::SCHED_S_TASK_NOT_SCHEDULED;
        else if (noMoreRuns())
            status = sched::SCHED_S_TASK_NO_MORE_RUNS;
        else if (!job_.lastRun.isValid())
            status = sched::SCHED_S_TASK_HAS_NOT_RUN;
        else
            status = sched::SCHED_S_TASK_READY;
        return sched::kOk;
    }
    SchedCode GetNextRunTime(QDateTime& time) override {
        if (job_.triggers.empty())
            return sched::SCHED_S_TASK_NO_VALID_TRIGGERS;
        if (!scheduled())
            return sched::SCHED_S_TASK_NOT_SCHEDULED;
        time = CronAgent::NextRunTime(job_.triggers, QDateTime::currentDateTime());
        return time.isValid() ? sched::kOk : sched::SCHED_S_TASK_NO_MORE_RUNS;
    }
    SchedCode GetMostRecentRunTime(QDateTime& time) override {
        if (!job_.lastRun.isValid())
            return sched::SCHED_S_TASK_HAS_NOT_RUN;
        time = job_.lastRun;
        return sched::kOk;
    }
    // A task whose crontab line names a runner that is gone (a build folder
    // cleaned or moved) fails at every run, as the shell fails a command
    // that is not found: it is shown so, with the reason.
    SchedCode GetExitCode(int& exitCode) override {
        if (missingRunner()) {
            exitCode = kRunnerMissingExitCode;
            return sched::kOk;
        }
        if (!job_.lastRun.isValid())
            return sched::SCHED_S_TASK_HAS_NOT_RUN;
        exitCode = job_.exitCode;
        return sched::kOk;
    }
    SchedCode GetFailureText(QString& text) override {
        if (const auto runner = missingRunner()) {
            text = "the runner " + QString::fromStdString(runner->string()) +
                   " is missing: install qeltv, then save the task again";
            return sched::kOk;
        }
        if (!job_.lastRun.isValid())
            return sched::SCHED_S_TASK_HAS_NOT_RUN;
        text = job_.failure;
        return sched::kOk;
    }
    SchedCode GetTriggerCount(std::uint16_t& count) override {
        count = static_cast<std::uint16_t>(job_.triggers.size());
        return sched::kOk;
    }
    SchedCode GetTrigger(std::uint16_t index, std::unique_ptr<ITaskTrigger>& trigger) override {
        if (index >= job_.triggers.size())
            return sched::SCHED_E_TRIGGER_NOT_FOUND;
        trigger = std::make_unique<CronTrigger>(job_.triggers, index);
        return sched::kOk;
    }
    SchedCode GetTriggerString(std::uint16_t index, QString& text) override {
        if (index >= job_.triggers.size())
            return sched::SCHED_E_TRIGGER_NOT_FOUND;
        text = CronAgent::TriggerString(job_.triggers[index]);
        return sched::kOk;
    }

    SchedCode Run() override {
        if (new_)
            return sched::SCHED_E_TASK_NOT_READY;
        // Detached: the run outlives the program that asked for it.
        const bool started =
            QProcess::startDetached(QString::fromStdString(agent_.runner_.string()),
                                    {kRunNowOption, QString::fromStdString(file().string())});
        return started ? sched::kOk : sched::SCHED_E_TASK_NOT_READY;
    }
    SchedCode EditWorkItem(TaskEditor& editor) override {
        if (!editor.EditJob(job_))
            return sched::kOk;
        return Save();
    }
    SchedCode Save() override {
        try {
            const std::filesystem::path path = file();
            if (new_ && std::filesystem::exists(path))
                return sched::E_FILE_EXISTS;
            Job saved = job_;
            if (!new_) {
                // The runner's record is the runner's: keep what it wrote
                // since this task was opened.
                const Job current = Job::Read(path);
                saved.status = current.status;
                saved.runnerPid = current.runnerPid;
                saved.lastRun = current.lastRun;
                saved.exitCode = current.exitCode;
                saved.failure = current.failure;
            }
            saved.environment = CronAgent::SessionEnvironment();
            saved.Write(path);
            const QByteArray before = agent_.crontab_.Read();
            agent_.crontab_.Write(Crontab::Replace(
                before, path, Crontab::LinesFor(agent_.runner_, path, saved.triggers)));
            job_ = saved;
            new_ = false;
            return sched::kOk;
        } catch (const std::exception& e) {
            qCWarning(lcScheduler).noquote() << "task" << job_.name << "not saved:" << e.what();
            return sched::E_FAIL;
        }
    }

private:
    std::filesystem::path file() const { return agent_.jobFile(job_.name); }
    bool daemonRunning() const {
        return snapshot_ ? snapshot_->daemonRunning : Crontab::DaemonRunning();
    }
    std::optional<QByteArray> crontabText() const {
        return snapshot_ ? snapshot_->crontab : agent_.readCrontab();
    }
    bool scheduled() const {
        const std::optional<QByteArray> text = crontabText();
        return text && Crontab::HasJob(*text, file());
    }
    bool noMoreRuns() const {
        return hasOnlyOnceTriggers(job_.triggers) &&
               !CronAgent::NextRunTime(job_.triggers, QDateTime::currentDateTime()).isValid();
    }
    // The runner the task's crontab line starts, when that file is gone; read
    // once for this task object.
    const std::optional<std::filesystem::path>& missingRunner() {
        if (!missingRunnerChecked_) {
            missingRunnerChecked_ = true;
            if (const std::optional<QByteArray> text = crontabText()) {
                const auto runner = Crontab::RunnerOf(*text, file());
                std::error_code ec;
                if (runner && !std::filesystem::exists(*runner, ec))
                    missingRunner_ = runner;
            }
        }
        return missingRunner_;
    }

    // What /bin/sh gives for a command that is not found.
    static constexpr int kRunnerMissingExitCode = 127;

    CronAgent& agent_;
    Job job_;
    bool new_;
    // Shared by the tasks of one list.
    std::shared_ptr<const CronSnapshot> snapshot_;
    bool missingRunnerChecked_ = false;
    std::optional<std::filesystem::path> missingRunner_;
};

CronAgent::CronAgent(std::filesystem::path tasksDir, std::filesystem::path runner,
                     QString crontabCommand)
    : tasksDir_(std::move(tasksDir)), runner_(std::move(runner)),
      crontab_(std::move(crontabCommand)) {}

SchedCode CronAgent::Activate(const QString& name, std::unique_ptr<ITask>& task) {
    return Activate(name, nullptr, task);
}

SchedCode CronAgent::Activate(const QString& name, std::shared_ptr<const CronSnapshot> snapshot,
                              std::unique_ptr<ITask>& task) {
    const std::filesystem::path path = jobFile(name);
    if (!std::filesystem::exists(path))
        return sched::E_FILE_NOT_FOUND;
    try {
        task = std::make_unique<CronTask>(*this, Job::Read(path), false, std::move(snapshot));
        return sched::kOk;
    } catch (const std::exception& e) {
        qCWarning(lcScheduler) << e.what();
        return sched::SCHED_E_CANNOT_OPEN_TASK;
    }
}

std::optional<QByteArray> CronAgent::readCrontab() const {
    try {
        return crontab_.Read();
    } catch (const std::exception& e) {
        qCWarning(lcScheduler) << "crontab not read:" << e.what();
        return std::nullopt;
    }
}

CronSnapshot CronAgent::Snapshot() const {
    CronSnapshot snapshot;
    snapshot.crontab = readCrontab();
    snapshot.daemonRunning = Crontab::DaemonRunning();
    return snapshot;
}

SchedCode CronAgent::NewWorkItem(const QString& name, std::unique_ptr<ITask>& task) {
    task.reset();
    if (name.isEmpty() || name.size() > kMaxNameLength)
        return sched::E_INVALIDARG;
    if (std::filesystem::exists(jobFile(name)))
        return sched::E_FILE_EXISTS;
    Job job;
    job.name = name;
    task = std::make_unique<CronTask>(*this, std::move(job), true);
    return sched::kOk;
}

SchedCode CronAgent::Delete(const QString& name) {
    const std::filesystem::path path = jobFile(name);
    if (!std::filesystem::exists(path))
        return sched::E_FILE_NOT_FOUND;
    try {
        crontab_.Write(Crontab::Replace(crontab_.Read(), path, {}));
    } catch (const std::exception& e) {
        qCWarning(lcScheduler) << "task not deleted:" << e.what();
        return sched::E_FAIL;
    }
    std::error_code error;
    std::filesystem::remove(path, error);
    if (error) {
        qCWarning(lcScheduler) << "job file not removed:" << path.c_str()
                               << error.message().c_str();
        return sched::E_FAIL;
    }
    return sched::kOk;
}

SchedCode CronAgent::Enum(std::unique_ptr<IEnumWorkItems>& items) {
    QStringList names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(tasksDir_, error)) {
        if (entry.path().extension() != ".job")
            continue;
        try {
            names << Job::Read(entry.path()).name;
        } catch (const std::exception& e) {
            // A file that is not a job is no task.
            qCWarning(lcScheduler) << e.what();
        }
    }
    names.sort(Qt::CaseInsensitive);
    items = std::make_unique<CronEnum>(std::move(names));
    return sched::kOk;
}

std::vector<std::pair<QString, QString>> CronAgent::SessionEnvironment() {
    static constexpr const char* kSessionVariables[] = {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY",
                                                        "DBUS_SESSION_BUS_ADDRESS"};
    std::vector<std::pair<QString, QString>> recorded;
    for (char** entry = environ; entry && *entry; ++entry) {
        const QString pair = QString::fromLocal8Bit(*entry);
        const auto at = pair.indexOf('=');
        if (at <= 0)
            continue;
        const QString name = pair.left(at);
        const bool session = name.startsWith("XDG_") ||
                             std::find(std::begin(kSessionVariables), std::end(kSessionVariables),
                                       name.toStdString()) != std::end(kSessionVariables);
        if (session)
            recorded.emplace_back(name, pair.mid(at + 1));
    }
    std::sort(recorded.begin(), recorded.end());
    return recorded;
}

QDateTime CronAgent::NextRunTime(const std::vector<TASK_TRIGGER>& triggers, const QDateTime& now) {
    // The minute under way has passed: cron started it on the minute.
    const QDateTime from(now.date(), QTime(now.time().hour(), now.time().minute()));
    QDateTime best;
    for (const auto& t : triggers) {
        const QDate begin = beginDate(t);
        const QTime at = startTime(t);
        if (!begin.isValid() || !at.isValid())
            continue;
        QDateTime next;
        if (t.TriggerType == TASK_TIME_TRIGGER_ONCE) {
            const QDateTime once(begin, at);
            if (once > from)
                next = once;
        } else if (t.TriggerType == TASK_TIME_TRIGGER_DAILY ||
                   t.TriggerType == TASK_TIME_TRIGGER_WEEKLY) {
            QDate day = std::max(begin, from.date());
            for (int i = 0; i < kMaxDaysAhead && !next.isValid(); ++i, day = day.addDays(1)) {
                const bool weekday = t.TriggerType == TASK_TIME_TRIGGER_DAILY ||
                                     day.dayOfWeek() == begin.dayOfWeek();
                if (weekday && QDateTime(day, at) > from)
                    next = QDateTime(day, at);
            }
        }
        if (next.isValid() && (!best.isValid() || next < best))
            best = next;
    }
    return best;
}

QString CronAgent::TriggerString(const TASK_TRIGGER& t) {
    const QDate begin = beginDate(t);
    const QString at = QTime(t.wStartHour, t.wStartMinute).toString("HH:mm");
    const QString date = begin.toString("dd.MM.yyyy");
    switch (t.TriggerType) {
    case TASK_TIME_TRIGGER_ONCE:
        return "At " + at + " on " + date;
    case TASK_TIME_TRIGGER_DAILY:
        return "At " + at + " every day, starting " + date;
    case TASK_TIME_TRIGGER_WEEKLY:
        return "At " + at + " every " + QLocale::c().dayName(begin.dayOfWeek()) +
               " of every week, starting " + date;
    default:
        return QString();
    }
}

} // namespace qeltv
