#include "app/ChannelsPage.h"

#include <QApplication>
#include <QBoxLayout>
#include <QFont>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

namespace qeltv {

namespace {
constexpr const char* kAutoTuneCaption = "&AutoTune";
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
    // What each step changes is painted now; the rest of the window (the
    // picture, rows found) is painted by the pending events that follow.
    controls_.lblFrequency->repaint();
    controls_.ProgressBar1->repaint();
}

void ChannelsPageView::processPendingEvents() {
    QCoreApplication::processEvents();
}

} // namespace qeltv
