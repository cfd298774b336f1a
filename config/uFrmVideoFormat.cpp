#include "config/uFrmVideoFormat.h"

#include "config/VideoFormatRules.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace qeltv {

TfrmVideoFormat::TfrmVideoFormat(QWidget* owner, Pin& pin) : QDialog(owner), pin_(pin) {
    setObjectName("TfrmVideoFormat");
    // A fixed border and only the system menu's close box.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);

    auto* grid = new QGridLayout(this);
    grid->addWidget(new QLabel("Resolution", this), 0, 0);
    cmbResolution = new QComboBox(this);
    cmbResolution->setObjectName("cmbResolution");
    cmbResolution->addItems(VideoResolutions());
    grid->addWidget(cmbResolution, 0, 1, 1, 2);
    grid->addWidget(new QLabel("Framerate", this), 1, 0);
    edFrameRate = new QLineEdit(this);
    edFrameRate->setObjectName("edFrameRate");
    edFrameRate->setReadOnly(true);
    grid->addWidget(edFrameRate, 1, 1);
    auto* arrows = new QVBoxLayout;
    arrows->setSpacing(0);
    SpinButton1Up = new QToolButton(this);
    SpinButton1Up->setObjectName("SpinButton1Up");
    SpinButton1Up->setArrowType(Qt::UpArrow);
    SpinButton1Down = new QToolButton(this);
    SpinButton1Down->setObjectName("SpinButton1Down");
    SpinButton1Down->setArrowType(Qt::DownArrow);
    arrows->addWidget(SpinButton1Up);
    arrows->addWidget(SpinButton1Down);
    grid->addLayout(arrows, 1, 2);
    btnOK = new QPushButton("&OK", this);
    btnOK->setObjectName("btnOK");
    btnOK->setDefault(true);
    btnCancel = new QPushButton("&Cancel", this);
    btnCancel->setObjectName("btnCancel");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOK);
    buttons->addWidget(btnCancel);
    grid->addLayout(buttons, 2, 0, 1, 3);

    connect(cmbResolution, &QComboBox::currentIndexChanged, this,
            &TfrmVideoFormat::cmbResolutionChange);
    connect(SpinButton1Up, &QToolButton::clicked, this, &TfrmVideoFormat::SpinButton1UpClick);
    connect(SpinButton1Down, &QToolButton::clicked, this, &TfrmVideoFormat::SpinButton1DownClick);
    connect(btnOK, &QPushButton::clicked, this, &TfrmVideoFormat::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    // Opening: the pin's format, its name as the caption, its size in the
    // list (or "320x240"), its rate.
    pin_.GetFormat(format_);
    setWindowTitle(QString::fromStdString(pin_.name()));
    const int index = cmbResolution->findText(
        QString("%1x%2").arg(format_.video.biWidth).arg(format_.video.biHeight));
    cmbResolution->setCurrentIndex(index >= 0 ? index : kFallbackResolutionIndex);
    frameRate_ = FrameRateOf(format_.video.AvgTimePerFrame);
    showFrameRate();
}

int TfrmVideoFormat::execChecked() {
    const int result = exec();
    if (failure_)
        std::rethrow_exception(failure_);
    return result;
}

void TfrmVideoFormat::showFrameRate() {
    edFrameRate->setText(FrameRateText(frameRate_, QLocale::system().decimalPoint()));
}

void TfrmVideoFormat::SpinButton1UpClick() {
    frameRate_ = FrameRateUp(frameRate_);
    showFrameRate();
}

void TfrmVideoFormat::SpinButton1DownClick() {
    frameRate_ = FrameRateDown(frameRate_);
    showFrameRate();
}

void TfrmVideoFormat::btnOKClick() {
    try {
        // A format the pin refuses is not reported: the caller reads back
        // whatever the pin keeps.
        pin_.SetFormat(FormatForChoice(format_, cmbResolution->currentText(), frameRate_));
    } catch (const RangeCheckError&) {
        // The command ends with this error once the dialog is closed; the
        // pin keeps its format.
        failure_ = std::current_exception();
        reject();
        return;
    }
    accept();
}

} // namespace qeltv
