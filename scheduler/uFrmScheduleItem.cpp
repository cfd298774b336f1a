#include "scheduler/uFrmScheduleItem.h"

#include <QComboBox>
#include <QDateEdit>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTimeEdit>
#include <QVBoxLayout>

#include <limits>

namespace qeltv {

namespace {
constexpr int kLastMinute = 59;
constexpr int kDefaultHours = 1;
constexpr int kEndDateYears = 1;
} // namespace

QString TfrmScheduleItem::ChannelEntryText(const QString& number, const QString& frequency,
                                           const QString& name) {
    return number + " - freq. = " + frequency + " - " + name;
}

QString TfrmScheduleItem::DefaultTaskName(const QDateTime& now) {
    return "My Recording at " + now.toString("yyyyMMddHHmmss");
}

TfrmScheduleItem::TfrmScheduleItem(QWidget* owner, std::vector<ChannelEntry> channels,
                                   long currentChannel, const QString& accountName,
                                   const QDateTime& now)
    : QDialog(owner) {
    setObjectName("TfrmScheduleItem");
    setWindowTitle("Schedule item");
    setModal(true);
    resize(kWidth, kHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    auto* layout = new QVBoxLayout(this);
    auto* top = new QFormLayout;
    edTaskname = new QLineEdit(this);
    edTaskname->setObjectName("edTaskname");
    top->addRow("Task name", edTaskname);
    cmbChannel = new QComboBox(this);
    cmbChannel->setObjectName("cmbChannel");
    top->addRow("Select channel", cmbChannel);
    layout->addLayout(top);

    auto* account = new QGroupBox("Account information", this);
    auto* accountForm = new QFormLayout(account);
    edUsername = new QLineEdit(account);
    edUsername->setObjectName("edUsername");
    accountForm->addRow("Username", edUsername);
    edPassword = new QLineEdit(account);
    edPassword->setObjectName("edPassword");
    edPassword->setEchoMode(QLineEdit::Password);
    edPassword->setToolTip("Not needed: the recording runs as your own user from your crontab, "
                           "and no password is ever stored.");
    accountForm->addRow("Password", edPassword);
    layout->addWidget(account);

    auto* timing = new QGroupBox("Date and time settings", this);
    auto* timingForm = new QFormLayout(timing);
    cmbTriggerType = new QComboBox(timing);
    cmbTriggerType->setObjectName("cmbTriggerType");
    cmbTriggerType->addItems({"Once", "Daily", "Weekly"});
    timingForm->addRow("Trigger type", cmbTriggerType);
    dtStartDate = new QDateEdit(timing);
    dtStartDate->setObjectName("dtStartDate");
    dtStartDate->setCalendarPopup(true);
    dtStartTime = new QTimeEdit(timing);
    dtStartTime->setObjectName("dtStartTime");
    dtStartTime->setDisplayFormat("HH:mm");
    auto* start = new QHBoxLayout;
    start->addWidget(dtStartDate);
    start->addWidget(dtStartTime);
    timingForm->addRow("Start date", start);
    dtEndDate = new QDateEdit(timing);
    dtEndDate->setObjectName("dtEndDate");
    dtEndDate->setCalendarPopup(true);
    timingForm->addRow("End date", dtEndDate);
    seHour = new QSpinBox(timing);
    seHour->setObjectName("seHour");
    seHour->setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    seMinutes = new QSpinBox(timing);
    seMinutes->setObjectName("seMinutes");
    seMinutes->setRange(0, kLastMinute);
    auto* duration = new QHBoxLayout;
    duration->addWidget(seHour);
    duration->addWidget(new QLabel("hour", timing));
    duration->addWidget(seMinutes);
    duration->addWidget(new QLabel("minutes", timing));
    timingForm->addRow("Duration", duration);
    layout->addWidget(timing);
    lblRunnerNote = new QLabel(this);
    lblRunnerNote->setObjectName("lblRunnerNote");
    lblRunnerNote->setWordWrap(true);
    lblRunnerNote->hide();
    layout->addWidget(lblRunnerNote);
    layout->addStretch();

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    btnOK = new QPushButton("&OK", this);
    btnOK->setObjectName("btnOK");
    btnOK->setDefault(true);
    btnCancel = new QPushButton("&Cancel", this);
    btnCancel->setObjectName("btnCancel");
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    layout->addLayout(buttons);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    FormCreate(channels, currentChannel, accountName, now);
}

void TfrmScheduleItem::FormCreate(const std::vector<ChannelEntry>& channels, long currentChannel,
                                  const QString& accountName, const QDateTime& now) {
    edUsername->setText(accountName);
    edTaskname->setText(DefaultTaskName(now));
    cmbChannel->clear();
    int current = -1;
    for (const auto& c : channels) {
        cmbChannel->addItem(c.text, QVariant::fromValue<qlonglong>(c.number));
        if (c.number == currentChannel && current < 0)
            current = cmbChannel->count() - 1;
    }
    cmbChannel->setCurrentIndex(current);
    dtStartDate->setDate(now.date());
    dtEndDate->setDate(now.date().addYears(kEndDateYears));
    dtStartTime->setTime(now.time());
    seHour->setValue(kDefaultHours);
    seMinutes->setValue(0);
}

ScheduleItemValues TfrmScheduleItem::values() const {
    ScheduleItemValues v;
    v.taskName = edTaskname->text();
    if (cmbChannel->currentIndex() >= 0)
        v.channel = static_cast<long>(cmbChannel->currentData().toLongLong());
    v.account = edUsername->text();
    v.password = edPassword->text();
    v.triggerType = cmbTriggerType->currentIndex();
    v.startDate = dtStartDate->date();
    v.startTime = dtStartTime->time();
    v.endDate = dtEndDate->date();
    v.hours = seHour->value();
    v.minutes = seMinutes->value();
    return v;
}

void TfrmScheduleItem::setRunnerNote(const QString& note) {
    lblRunnerNote->setText(note);
    lblRunnerNote->setVisible(!note.isEmpty());
}

} // namespace qeltv
