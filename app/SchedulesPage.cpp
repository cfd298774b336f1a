#include "app/SchedulesPage.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace qeltv {

void SchedulesPage::setupUi(QWidget* page) {
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

void SchedulesPage::showRows(const std::vector<ScheduleRow>& rows) {
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

std::optional<QString> SchedulesPage::selectedTask() const {
    const auto selected = lvTasks->selectedItems();
    if (selected.isEmpty())
        return std::nullopt;
    return selected.front()->text(0);
}

} // namespace qeltv
