#include "scheduler/ScheduleList.h"

#include "scheduler/CronAgent.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <stdexcept>

namespace qeltv {

namespace {
constexpr qint64 kSecondsPerHour = 3600;
constexpr qint64 kSecondsPerMinute = 60;
constexpr qint64 kMsPerSecond = 1000;

void checkLength(const QString& text, const char* what) {
    if (text.size() > ScheduleList::kMaxAccountLength)
        throw std::length_error(std::string("The ") + what + " is longer than " +
                                std::to_string(ScheduleList::kMaxAccountLength) + " characters.");
}
} // namespace

ScheduleList::ScheduleList(SchedulingAgent& agent, QString programPath)
    : agent_(agent), programPath_(std::move(programPath)) {}

QString ScheduleList::FailedRunText(int lastResult, const QString& failure) {
    const QString code =
        QString("%1").arg(static_cast<std::uint32_t>(lastResult), 8, 16, QChar('0')).toUpper();
    return "The last run failed (last result 0x" + code + ")" +
           (failure.isEmpty() ? QString(".") : ": " + failure);
}

QString ScheduleList::DateTimeText(const QDateTime& time) {
    const QLocale locale = QLocale::system();
    const QString date = locale.toString(time.date(), QLocale::ShortFormat);
    if (time.time() == QTime(0, 0))
        return date;
    return date + " " + locale.toString(time.time(), QLocale::LongFormat);
}

void ScheduleList::setProgramPath(const QString& path) {
    programPath_ = path;
    updateSource();
}

void ScheduleList::updateSource() {
    const CronAgent* agent = agent_.agent();
    const std::lock_guard lock(sourceMutex_);
    if (agent)
        source_ = ScheduleSource{agent->tasksDir(), agent->crontab().command(), programPath_};
    else
        source_.reset();
}

void ScheduleList::Refresh() {
    updateSource();
    Show(Read());
}

ScheduleReading ScheduleList::Read() const {
    ScheduleReading reading;
    reading.number = ++readingsBegun_;
    std::optional<ScheduleSource> source;
    {
        const std::lock_guard lock(sourceMutex_);
        source = source_;
    }
    if (source)
        reading.rows = ReadRows(*source, reading.messages);
    return reading;
}

void ScheduleList::Show(ScheduleReading reading) {
    // A slower reading begun earlier would show older rows.
    if (reading.number < shownReading_)
        return;
    shownReading_ = reading.number;
    for (const QString& message : reading.messages)
        agent_.showMessage(message);
    if (reading.rows)
        rows_ = std::move(*reading.rows);
}

std::vector<ScheduleRow> ScheduleList::ReadRows(const ScheduleSource& source,
                                                QStringList& messages) {
    // An agent of this reading's own; it starts and writes nothing, so it
    // needs no runner.
    CronAgent agent(source.tasksDir, {}, source.crontabCommand);
    std::vector<ScheduleRow> rows;
    std::unique_ptr<IEnumWorkItems> items;
    if (agent.Enum(items) != sched::kOk || !items)
        return rows;
    // Taken at the first task of this program, so that a list without one
    // asks cron nothing.
    std::shared_ptr<const CronSnapshot> snapshot;
    const auto open = [&](const QString& name, std::unique_ptr<ITask>& task) {
        const SchedCode code = agent.Activate(name, snapshot, task);
        if (code == sched::kOk && task)
            return true;
        // Deleted since it was listed (the reading may run beside the
        // commands): it is simply gone.
        if (code == sched::E_FILE_NOT_FOUND)
            return false;
        messages << SchedulingAgent::ErrorText("Error in SchedulingAgent.Activate", code);
        return false;
    };
    QStringList names;
    unsigned fetched = 0;
    while (items->Next(1, names, fetched) == sched::kOk && fetched > 0) {
        const QString name = names.front();
        SchedulingAgent::CheckWideText(name);
        std::unique_ptr<ITask> task;
        if (!open(name, task))
            continue;
        QString application;
        task->GetApplicationName(application);
        if (application.compare(source.programPath, Qt::CaseInsensitive) != 0)
            continue;
        if (!snapshot) {
            snapshot = std::make_shared<const CronSnapshot>(agent.Snapshot());
            // Opened again to answer from the snapshot.
            if (!open(name, task))
                continue;
        }
        rows.push_back(RowOf(name, *task));
    }
    return rows;
}

ScheduleRow ScheduleList::RowOf(const QString& name, ITask& task) {
    ScheduleRow row;
    row.name = name;
    SchedCode status = 0;
    task.GetStatus(status);
    row.cells[ScheduleRow::Status] = SchedulingAgent::TaskStatusText(status);
    // A run that recorded nothing is never shown as a success.
    int lastResult = 0;
    QString failure;
    if (status != sched::SCHED_S_TASK_RUNNING && task.GetExitCode(lastResult) == sched::kOk &&
        lastResult != 0) {
        task.GetFailureText(failure);
        QString& cell = row.cells[ScheduleRow::Status];
        cell += (cell.isEmpty() ? "" : " ") + FailedRunText(lastResult, failure);
    }
    QDateTime time;
    const SchedCode next = task.GetNextRunTime(time);
    row.cells[ScheduleRow::NextRunTime] =
        next == sched::kOk ? DateTimeText(time) : SchedulingAgent::TaskStatusText(next);
    const SchedCode last = task.GetMostRecentRunTime(time);
    row.cells[ScheduleRow::LastRunTime] =
        last == sched::kOk ? DateTimeText(time) : SchedulingAgent::TaskStatusText(last);
    std::uint16_t triggers = 0;
    if (task.GetTriggerCount(triggers) == sched::kOk) {
        if (triggers >= 2)
            row.cells[ScheduleRow::ScheduledTime] = "Multiple schedule times";
        else if (QString text; task.GetTriggerString(0, text) == sched::kOk)
            row.cells[ScheduleRow::ScheduledTime] = text;
    }
    return row;
}

void ScheduleList::Startnow(const QString& name) {
    if (auto task = agent_.ActivateTask(name))
        task->Run();
    Refresh();
}

void ScheduleList::Delete(const QString& name) {
    if (ITaskScheduler* agent = agent_.agent())
        agent->Delete(QString::fromUtf16(agent_.ToWideText(name)));
    Refresh();
}

void ScheduleList::Edit(const QString& name, TaskEditor& editor) {
    if (auto task = agent_.ActivateTask(name))
        task->EditWorkItem(editor);
    Refresh();
}

bool ScheduleList::AddSchedule(const ScheduleItemValues& values) {
    ITaskScheduler* agent = agent_.agent();
    std::unique_ptr<ITask> task;
    if (!agent ||
        agent->NewWorkItem(QString::fromUtf16(agent_.ToWideText(values.taskName)), task) !=
            sched::kOk ||
        !task) {
        agent_.showMessage("Unable to create task. Duplicate name ?");
        return false;
    }
    checkLength(values.account, "account name");
    checkLength(values.password, "password");
    const QFileInfo program(programPath_);
    task->SetApplicationName(program.absoluteFilePath());
    task->SetWorkingDirectory(program.absolutePath() + "/");
    if (!values.channel)
        throw std::out_of_range("List index out of bounds (-1)");
    task->SetParameters(QString::number(*values.channel));
    task->SetAccountInformation(values.account, values.password);
    const qint64 maxRunTime_ms =
        (values.hours * kSecondsPerHour + values.minutes * kSecondsPerMinute) * kMsPerSecond;
    if (maxRunTime_ms < 0)
        throw std::range_error("Range check error");
    if (maxRunTime_ms > kMaxRunTime_ms)
        throw std::range_error("A recording may last at most 596 hours 31 minutes.");
    task->SetMaxRunTime(static_cast<std::uint32_t>(maxRunTime_ms));
    std::uint16_t index = 0;
    std::unique_ptr<ITaskTrigger> trigger;
    if (task->CreateTrigger(index, trigger) == sched::kOk && trigger) {
        TASK_TRIGGER t;
        t.cbTriggerSize = TASK_TRIGGER::kSize;
        t.wBeginYear = static_cast<std::uint16_t>(values.startDate.year());
        t.wBeginMonth = static_cast<std::uint16_t>(values.startDate.month());
        t.wBeginDay = static_cast<std::uint16_t>(values.startDate.day());
        t.wEndYear = static_cast<std::uint16_t>(values.endDate.year());
        t.wEndMonth = static_cast<std::uint16_t>(values.endDate.month());
        t.wEndDay = static_cast<std::uint16_t>(values.endDate.day());
        t.wStartHour = static_cast<std::uint16_t>(values.startTime.hour());
        t.wStartMinute = static_cast<std::uint16_t>(values.startTime.minute());
        t.TriggerType = static_cast<std::uint32_t>(values.triggerType);
        trigger->SetTrigger(t);
    }
    agent_.SaveTask(task.get());
    Refresh();
    return true;
}

} // namespace qeltv
