// The "Schedules" page: the schedule list with its pop-up menu and the two
// buttons under it. The rows come from the session's schedules; the page's
// commands go to the window's handlers.
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

class ErrorHandler;
class TfrmMain;
class TvSession;
struct MainWindowUi;

struct ScheduleControls {
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

class SchedulesPage {
public:
    SchedulesPage(TfrmMain& window, const MainWindowUi& ui, TvSession& session,
                  ErrorHandler& errors);

    void connectControls();
    // The schedule dialog, filled with the channels and the current one; on
    // OK its values become a task.
    void addSchedule();
    // The pop-up menu's commands on the selected row's task; nothing without
    // a selected row.
    void startSelectedNow();
    void deleteSelected();
    void editSelected();

private:
    TfrmMain& window_;
    const MainWindowUi& ui_;
    TvSession& session_;
    ErrorHandler& errors_;
};

} // namespace qeltv
