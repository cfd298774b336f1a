// The "Schedules" page: the schedule list with its pop-up menu and the two
// buttons under it. The rows come from the session core.
#pragma once

#include "scheduler/ScheduleList.h"

#include <QString>

#include <optional>
#include <vector>

class QAction;
class QMenu;
class QPushButton;
class QTreeWidget;
class QWidget;

namespace qeltv {

struct SchedulesPage {
    static constexpr int kTaskNameWidth = 259;
    static constexpr int kStatusWidth = 200;
    static constexpr int kTimeWidth = 100;

    QTreeWidget* lvTasks = nullptr;
    QMenu* pmSchedule = nullptr;
    QAction* Startnow1 = nullptr;
    QAction* Delete1 = nullptr;
    QAction* Edit1 = nullptr;
    QPushButton* btnAddSchedule = nullptr;
    QPushButton* btnRefresh = nullptr;

    // Builds the page's controls into `page`.
    void setupUi(QWidget* page);
    // The list shows `rows`, each with the program's icon.
    void showRows(const std::vector<ScheduleRow>& rows);
    // The caption of the selected row; none without a selection.
    std::optional<QString> selectedTask() const;
};

} // namespace qeltv
