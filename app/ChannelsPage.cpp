#include "app/ChannelsPage.h"

#include "app/ControlEvents.h"
#include "app/MainWindowUi.h"
#include "app/uFrmMain.h"
#include "common/Utf8.h"
#include "settings/uFrmEditChannelName.h"

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

namespace qeltv {

namespace {
constexpr const char* kAutoTuneCaption = "&AutoTune";
// The quick-channel box's hint while the channel list is empty.
constexpr const char* kNoChannelsHint = "No channels: Channels page, AutoTune";
constexpr const char* kAbortCaption = "&Abort";
} // namespace

void AutoTuneControls::setupUi(QWidget* page, QBoxLayout* layout) {
    auto* row = new QHBoxLayout;
    btnAutoTune = new QPushButton(kAutoTuneCaption, page);
    btnAutoTune->setObjectName("btnAutoTune");
    row->addWidget(btnAutoTune);
    lblTuningMode = new QLabel("Tuning mode:", page);
    lblTuningMode->setObjectName("lblTuningMode");
    row->addWidget(lblTuningMode);
    auto* modes = new QVBoxLayout;
    rbCableGrid = new QRadioButton("Cable grid", page);
    rbCableGrid->setObjectName("rbCableGrid");
    rbCableGrid->setChecked(true);
    modes->addWidget(rbCableGrid);
    rbContinuousFrequencies = new QRadioButton("Continuous frequencies", page);
    rbContinuousFrequencies->setObjectName("rbContinuousFrequencies");
    modes->addWidget(rbContinuousFrequencies);
    row->addLayout(modes);
    lblFrequency = new QLabel(page);
    lblFrequency->setObjectName("lblFrequency");
    QFont bold = lblFrequency->font();
    bold.setBold(true);
    bold.setPointSize(kFrequencyFontPoints);
    lblFrequency->setFont(bold);
    lblFrequency->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    row->addWidget(lblFrequency, 1);
    layout->addLayout(row);
    ProgressBar1 = new QProgressBar(page);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setValue(0);
    layout->addWidget(ProgressBar1);
}

AutoTuneMode ChannelsPageView::mode() const {
    return controls_.rbCableGrid->isChecked() ? AutoTuneMode::CableGrid
                                              : AutoTuneMode::ContinuousFrequencies;
}

AutoTuneView::Answer ChannelsPageView::askYesNoCancel(const QString& text) {
    switch (QMessageBox::warning(&window_, QApplication::applicationDisplayName(), text,
                                 QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                                 QMessageBox::Yes)) {
    case QMessageBox::Yes:
        return Answer::Yes;
    case QMessageBox::No:
        return Answer::No;
    default:
        return Answer::Cancel;
    }
}

void ChannelsPageView::showScanRunning(bool running) {
    controls_.btnAutoTune->setText(running ? kAbortCaption : kAutoTuneCaption);
    controls_.btnAutoTune->setEnabled(true);
}

void ChannelsPageView::showAborting() {
    controls_.btnAutoTune->setEnabled(false);
}

void ChannelsPageView::setProgressRange(long minimum, long maximum) {
    controls_.ProgressBar1->setRange(static_cast<int>(minimum), static_cast<int>(maximum));
}

void ChannelsPageView::setProgress(long value) {
    QProgressBar* bar = controls_.ProgressBar1;
    // The bar ignores a value outside its range; the scan's end sets 0 to
    // show it empty.
    if (value < bar->minimum())
        bar->setMinimum(static_cast<int>(value));
    bar->setValue(static_cast<int>(value));
}

void ChannelsPageView::showFrequency(long frequency_hz) {
    controls_.lblFrequency->setText(FrequencyLabelText(frequency_hz));
}

void ChannelsPageView::repaintWindow() {
    // What the step shown changes is painted now; the rest of the window
    // (the picture, rows found) is painted by the pending events that
    // follow.
    controls_.lblFrequency->repaint();
    controls_.ProgressBar1->repaint();
}

void ChannelsPageView::processPendingEvents() {
    QCoreApplication::processEvents();
}

// ----------------------------------------------------------- the page

ChannelsPage::ChannelsPage(TfrmMain& window, const MainWindowUi& ui, TvSession& session,
                           ErrorHandler& errors)
    : window_(window), ui_(ui), session_(session), errors_(errors), scanView_(window, ui.autoTune) {
}

void ChannelsPage::connectControls() {
    TfrmMain* w = &window_;
    QObject::connect(ui_.cmbQuickChannel, &QComboBox::activated, w,
                     Guarded<int>(errors_, [w](int index) { w->cmbQuickChannelChange(index); }));
    const auto rename = Guarded<>(errors_, [w] { w->lstChannelsDblClick(); });
    QObject::connect(ui_.ToolButton1, &QAction::triggered, w, rename);
    QObject::connect(ui_.Edit2, &QAction::triggered, w, rename);
    QObject::connect(ui_.lstChannels, &QTreeWidget::itemDoubleClicked, w, rename);
    QObject::connect(ui_.autoTune.btnAutoTune, &QPushButton::clicked, w,
                     Guarded<>(errors_, [w] { w->btnAutoTuneClick(); }));
    // Every move of the highlighted row (click, right-click, keys) is the
    // list's selection, so the rename and the steps act on the row shown; a
    // click also tunes.
    QObject::connect(ui_.lstChannels, &QTreeWidget::currentItemChanged, w,
                     [this](QTreeWidgetItem* item) {
                         if (filling_)
                             return;
                         const int row = item ? ui_.lstChannels->indexOfTopLevelItem(item) : -1;
                         session_.tuning().selectChannel(row >= 0 ? std::optional<std::size_t>(row)
                                                                  : std::nullopt);
                     });
    QObject::connect(ui_.lstChannels, &QTreeWidget::itemClicked, w,
                     Guarded<QTreeWidgetItem*>(errors_, [this, w](QTreeWidgetItem* item) {
                         session_.tuning().selectChannel(
                             static_cast<std::size_t>(ui_.lstChannels->indexOfTopLevelItem(item)));
                         w->lstChannelsClick();
                     }));
}

void ChannelsPage::showChannels() {
    filling_ = true;
    ui_.lstChannels->clear();
    for (const auto& c : session_.channels().channels())
        ui_.lstChannels->addTopLevelItem(
            new QTreeWidgetItem({fromUtf8(c.number), fromUtf8(c.name()), fromUtf8(c.frequency())}));
    ui_.cmbQuickChannel->clear();
    const QStringList entries = session_.tuning().quickChannelEntries();
    ui_.cmbQuickChannel->addItems(entries);
    // Shown only while the box has no entry, so it never stands for a
    // channel in the tray hint or the caption.
    ui_.cmbQuickChannel->setPlaceholderText(entries.isEmpty() ? QString::fromLatin1(kNoChannelsHint)
                                                              : QString());
    filling_ = false;
    showSelection();
}

void ChannelsPage::showSelection() {
    filling_ = true;
    ui_.lstChannels->clearSelection();
    if (const auto index = session_.channels().selected()) {
        QTreeWidgetItem* item = ui_.lstChannels->topLevelItem(static_cast<int>(*index));
        item->setSelected(true);
        ui_.lstChannels->setCurrentItem(item);
    }
    ui_.cmbQuickChannel->setCurrentIndex(session_.tuning().quickChannelIndex());
    filling_ = false;
}

void ChannelsPage::renameSelected() {
    const auto selected = session_.channels().selected();
    if (!selected)
        return;
    TfrmEditChannelname dialog(&window_, fromUtf8(session_.channels().at(*selected).name()));
    if (dialog.exec() == QDialog::Accepted)
        session_.tuning().renameChannel(*selected, dialog.name());
}

void ChannelsPage::autoTune() {
    if (session_.autoTune().inProgress())
        session_.autoTune().abortAutoTune();
    else
        session_.autoTune().startAutoTune(scanView_, scanView_.mode());
}

} // namespace qeltv
