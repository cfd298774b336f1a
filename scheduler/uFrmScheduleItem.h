// The schedule dialog: the values of one new scheduled recording.
#pragma once

#include "scheduler/ScheduleList.h"

#include <QDateTime>
#include <QDialog>

#include <vector>

class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTimeEdit;

namespace qeltv {

class TfrmScheduleItem : public QDialog {
    Q_OBJECT
public:
    static constexpr int kWidth = 313;
    static constexpr int kHeight = 518;

    // One entry of the channel box: its text and the channel number.
    struct ChannelEntry {
        QString text;
        long number = 0;
    };
    // "<number> - freq. = <frequency> - <name>"
    static QString ChannelEntryText(const QString& number, const QString& frequency,
                                    const QString& name);
    // "My Recording at " and the time as yyyyMMddhhmmss.
    static QString DefaultTaskName(const QDateTime& now);

    TfrmScheduleItem(QWidget* owner, std::vector<ChannelEntry> channels, long currentChannel,
                     const QString& accountName, const QDateTime& now);

    ScheduleItemValues values() const;
    // One line under the trigger settings about where the runner lives;
    // hidden while empty.
    void setRunnerNote(const QString& note);

    QLineEdit* edTaskname = nullptr;
    QComboBox* cmbChannel = nullptr;
    QLineEdit* edUsername = nullptr;
    QLineEdit* edPassword = nullptr;
    QComboBox* cmbTriggerType = nullptr;
    QDateEdit* dtStartDate = nullptr;
    QTimeEdit* dtStartTime = nullptr;
    QDateEdit* dtEndDate = nullptr;
    QSpinBox* seHour = nullptr;
    QSpinBox* seMinutes = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;
    QLabel* lblRunnerNote = nullptr;

private:
    void FormCreate(const std::vector<ChannelEntry>& channels, long currentChannel,
                    const QString& accountName, const QDateTime& now);
};

} // namespace qeltv
