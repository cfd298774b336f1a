// The agent's own dialog for one task ("Edit" on the schedule list): its
// trigger (type, start date and time), the recording's duration and the
// channel it starts the program with.
#pragma once

#include "scheduler/JobFile.h"
#include "scheduler/TaskEditor.h"

#include <QDialog>

class QComboBox;
class QDateEdit;
class QTimeEdit;
class QSpinBox;

namespace qeltv {

class TaskEditDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMaxHours = 596; // the 32-bit millisecond count's limit
    static constexpr int kMaxChannel = 9999;

    TaskEditDialog(QWidget* owner, const Job& job);
    // Writes the dialog's values into `job`: the first trigger (one is made
    // when there is none), the maximum run time and the parameters.
    void apply(Job& job) const;

    QComboBox* cmbTriggerType = nullptr;
    QDateEdit* dtStartDate = nullptr;
    QTimeEdit* dtStartTime = nullptr;
    QSpinBox* seHour = nullptr;
    QSpinBox* seMinutes = nullptr;
    QSpinBox* seChannel = nullptr;
};

// The agent's editor on the screen: a modal TaskEditDialog owned by the
// window it was made with.
class TaskEditDialogEditor : public TaskEditor {
public:
    explicit TaskEditDialogEditor(QWidget* owner) : owner_(owner) {}
    bool EditJob(Job& job) override;

private:
    QWidget* owner_;
};

} // namespace qeltv
