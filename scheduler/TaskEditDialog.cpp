#include "scheduler/TaskEditDialog.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QTimeEdit>

namespace qeltv {

namespace {
constexpr std::uint32_t kMsPerMinute = 60 * 1000;
constexpr std::uint32_t kMinutesPerHour = 60;
constexpr std::uint64_t kMaxRunTime_ms = 0x7FFFFFFF; // the signed 32-bit count
} // namespace

TaskEditDialog::TaskEditDialog(QWidget* owner, const Job& job) : QDialog(owner) {
    setObjectName("TaskEditDialog");
    setWindowTitle(job.name);
    setModal(true);
    auto* form = new QFormLayout(this);
    cmbTriggerType = new QComboBox(this);
    cmbTriggerType->setObjectName("cmbTriggerType");
    cmbTriggerType->addItems({"Once", "Daily", "Weekly"});
    dtStartDate = new QDateEdit(this);
    dtStartDate->setObjectName("dtStartDate");
    dtStartDate->setCalendarPopup(true);
    dtStartTime = new QTimeEdit(this);
    dtStartTime->setObjectName("dtStartTime");
    dtStartTime->setDisplayFormat("HH:mm");
    seHour = new QSpinBox(this);
    seHour->setObjectName("seHour");
    seHour->setRange(0, kMaxHours);
    seMinutes = new QSpinBox(this);
    seMinutes->setObjectName("seMinutes");
    seMinutes->setRange(0, static_cast<int>(kMinutesPerHour) - 1);
    seChannel = new QSpinBox(this);
    seChannel->setObjectName("seChannel");
    seChannel->setRange(1, kMaxChannel);

    TASK_TRIGGER t;
    if (!job.triggers.empty())
        t = job.triggers.front();
    else {
        const QDateTime now = QDateTime::currentDateTime();
        t.wBeginYear = static_cast<std::uint16_t>(now.date().year());
        t.wBeginMonth = static_cast<std::uint16_t>(now.date().month());
        t.wBeginDay = static_cast<std::uint16_t>(now.date().day());
        t.wStartHour = static_cast<std::uint16_t>(now.time().hour());
        t.wStartMinute = static_cast<std::uint16_t>(now.time().minute());
    }
    cmbTriggerType->setCurrentIndex(
        t.TriggerType <= TASK_TIME_TRIGGER_WEEKLY ? static_cast<int>(t.TriggerType) : 0);
    dtStartDate->setDate(QDate(t.wBeginYear, t.wBeginMonth, t.wBeginDay));
    dtStartTime->setTime(QTime(t.wStartHour, t.wStartMinute));
    const std::uint32_t minutes = job.maxRunTime_ms / kMsPerMinute;
    seHour->setValue(static_cast<int>(minutes / kMinutesPerHour));
    seMinutes->setValue(static_cast<int>(minutes % kMinutesPerHour));
    seChannel->setValue(job.parameters.trimmed().toInt());

    form->addRow("Trigger type", cmbTriggerType);
    auto* when = new QHBoxLayout;
    when->addWidget(dtStartDate);
    when->addWidget(dtStartTime);
    form->addRow("Start", when);
    auto* duration = new QHBoxLayout;
    duration->addWidget(seHour);
    duration->addWidget(new QLabel("hour", this));
    duration->addWidget(seMinutes);
    duration->addWidget(new QLabel("minutes", this));
    form->addRow("Duration", duration);
    form->addRow("Channel", seChannel);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
}

void TaskEditDialog::apply(Job& job) const {
    if (job.triggers.empty()) {
        TASK_TRIGGER t;
        t.cbTriggerSize = TASK_TRIGGER::kSize;
        job.triggers.push_back(t);
    }
    TASK_TRIGGER& t = job.triggers.front();
    t.TriggerType = static_cast<std::uint32_t>(cmbTriggerType->currentIndex());
    const QDate date = dtStartDate->date();
    t.wBeginYear = static_cast<std::uint16_t>(date.year());
    t.wBeginMonth = static_cast<std::uint16_t>(date.month());
    t.wBeginDay = static_cast<std::uint16_t>(date.day());
    t.wStartHour = static_cast<std::uint16_t>(dtStartTime->time().hour());
    t.wStartMinute = static_cast<std::uint16_t>(dtStartTime->time().minute());
    const std::uint64_t ms =
        (std::uint64_t(seHour->value()) * kMinutesPerHour + std::uint64_t(seMinutes->value())) *
        kMsPerMinute;
    job.maxRunTime_ms = static_cast<std::uint32_t>(std::min(ms, kMaxRunTime_ms));
    job.parameters = QString::number(seChannel->value());
}

bool TaskEditDialogEditor::EditJob(Job& job) {
    TaskEditDialog dialog(owner_, job);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    dialog.apply(job);
    return true;
}

} // namespace qeltv
