#include "app/SchedulesPage.h"

#include "app/ControlEvents.h"
#include "app/MainWindowUi.h"
#include "app/uFrmMain.h"
#include "common/Utf8.h"
#include "scheduler/SchedulingAgent.h"
#include "scheduler/TaskEditDialog.h"
#include "scheduler/uFrmScheduleItem.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace qeltv {

void ScheduleControls::setupUi(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    lvTasks = new QTreeWidget(page);
    lvTasks->setObjectName("lvTasks");
    lvTasks->setHeaderLabels(
        {"Taskname", "Status", "Next run time", "Last run time", "Scheduled time"});
    const int widths[] = {kTaskNameWidth, kStatusWidth, kTimeWidth, kTimeWidth, kTimeWidth};
    for (int column = 0; column < static_cast<int>(std::size(widths)); ++column)
        lvTasks->setColumnWidth(column, widths[column]);
    lvTasks->setRootIsDecorated(false);
    lvTasks->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvTasks->setSelectionMode(QAbstractItemView::SingleSelection);
    lvTasks->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvTasks->setContextMenuPolicy(Qt::CustomContextMenu);
    pmSchedule = new QMenu(lvTasks);
    pmSchedule->setObjectName("pmSchedule");
    Startnow1 = pmSchedule->addAction("Start now");
    Startnow1->setObjectName("Startnow1");
    pmSchedule->addSeparator();
    Delete1 = pmSchedule->addAction("Delete");
    Delete1->setObjectName("Delete1");
    Edit1 = pmSchedule->addAction("Edit");
    Edit1->setObjectName("Edit1");
    QObject::connect(lvTasks, &QWidget::customContextMenuRequested, lvTasks,
                     [menu = pmSchedule, list = lvTasks](const QPoint& at) {
                         menu->popup(list->viewport()->mapToGlobal(at));
                     });
    layout->addWidget(lvTasks);

    auto* buttons = new QHBoxLayout;
    btnAddSchedule = new QPushButton("Add new schedule", page);
    btnAddSchedule->setObjectName("btnAddSchedule");
    btnRefresh = new QPushButton("&Refresh", page);
    btnRefresh->setObjectName("btnRefresh");
    buttons->addWidget(btnAddSchedule);
    buttons->addWidget(btnRefresh);
    buttons->addStretch();
    layout->addLayout(buttons);
}

void ScheduleControls::showRows(const std::vector<ScheduleRow>& rows) {
    lvTasks->clear();
    const QIcon icon = QApplication::windowIcon();
    for (const auto& row : rows) {
        QStringList texts{row.name};
        for (const QString& cell : row.cells)
            texts << cell;
        auto* item = new QTreeWidgetItem(texts);
        item->setIcon(0, icon);
        lvTasks->addTopLevelItem(item);
    }
}

std::optional<QString> ScheduleControls::selectedTask() const {
    const auto selected = lvTasks->selectedItems();
    if (selected.isEmpty())
        return std::nullopt;
    return selected.front()->text(0);
}

// ----------------------------------------------------------- the page

SchedulesPage::SchedulesPage(TfrmMain& window, const MainWindowUi& ui, TvSession& session,
                             ErrorHandler& errors)
    : window_(window), ui_(ui), session_(session), errors_(errors) {}

void SchedulesPage::connectControls() {
    TfrmMain* w = &window_;
    const ScheduleControls& c = ui_.schedules;
    QObject::connect(c.btnAddSchedule, &QPushButton::clicked, w,
                     Guarded<>(errors_, [w] { w->btnAddScheduleClick(); }));
    QObject::connect(c.btnRefresh, &QPushButton::clicked, w,
                     Guarded<>(errors_, [w] { w->btnRefreshClick(); }));
    QObject::connect(c.Startnow1, &QAction::triggered, w,
                     Guarded<>(errors_, [w] { w->Startnow1Click(); }));
    QObject::connect(c.Delete1, &QAction::triggered, w,
                     Guarded<>(errors_, [w] { w->Delete1Click(); }));
    QObject::connect(c.Edit1, &QAction::triggered, w, Guarded<>(errors_, [w] { w->Edit1Click(); }));
    QObject::connect(ui_.btRootMenu, &QAction::triggered, w,
                     Guarded<>(errors_, [w] { w->btRootMenuClick(); }));
}

void SchedulesPage::addSchedule() {
    std::vector<TfrmScheduleItem::ChannelEntry> entries;
    for (const auto& c : session_.channels().channels())
        entries.push_back({TfrmScheduleItem::ChannelEntryText(
                               fromUtf8(c.number), fromUtf8(c.frequency()), fromUtf8(c.name())),
                           ChannelNumberOr(c.number, 0)});
    TfrmScheduleItem dialog(&window_, std::move(entries), session_.currentChannel(),
                            SchedulingAgent::CurrentAccountName(), QDateTime::currentDateTime());
    dialog.setRunnerNote(session_.schedules().runnerNote());
    if (dialog.exec() != QDialog::Accepted)
        return;
    session_.schedules().addSchedule(dialog.values());
}

void SchedulesPage::startSelectedNow() {
    if (const auto task = ui_.schedules.selectedTask())
        session_.schedules().startScheduleNow(*task);
}

void SchedulesPage::deleteSelected() {
    if (const auto task = ui_.schedules.selectedTask())
        session_.schedules().deleteSchedule(*task);
}

void SchedulesPage::editSelected() {
    if (const auto task = ui_.schedules.selectedTask()) {
        TaskEditDialogEditor editor(&window_);
        session_.schedules().editSchedule(*task, editor);
    }
}

} // namespace qeltv
