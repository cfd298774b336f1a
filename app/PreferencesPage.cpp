#include "app/PreferencesPage.h"

#include "app/ControlEvents.h"
#include "app/MainWindowUi.h"
#include "app/uFrmMain.h"
#include "common/Utf8.h"
#include "config/PropertyDialog.h"
#include "config/uFrmVideoFormat.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>

namespace qeltv {

namespace {
void fillCombo(QComboBox* box, const ChoiceList& list) {
    box->clear();
    box->addItems(list.entries);
    box->setCurrentIndex(list.selected);
}
} // namespace

PreferencesPage::PreferencesPage(TfrmMain& window, const MainWindowUi& ui, TvSession& session,
                                 ErrorHandler& errors)
    : window_(window), ui_(ui), session_(session), errors_(errors) {}

void PreferencesPage::connectControls() {
    // A person's choice in a list; the page's own fills are not.
    auto choice = [this](QComboBox* box, void (TfrmMain::*handler)(int)) {
        QObject::connect(box, &QComboBox::activated, &window_,
                         Guarded<int>(errors_, [this, handler](int index) {
                             if (!filling_)
                                 (window_.*handler)(index);
                         }));
    };
    choice(ui_.cmbVideoCapDev, &TfrmMain::cmbVideoCapDevChange);
    choice(ui_.cmbCompressionFilters, &TfrmMain::cmbCompressionFiltersChange);
    choice(ui_.cmbAudioCapDev, &TfrmMain::cmbAudioCapDevChange);
    choice(ui_.cmbAudioCompressionFilters, &TfrmMain::cmbAudioCompressionFiltersChange);
    choice(ui_.cmbAudioCompressionFormat, &TfrmMain::cmbAudioCompressionFormatChange);
    choice(ui_.cmbInputLines, &TfrmMain::cmbInputLinesChange);
    auto click = [this](QPushButton* button, void (TfrmMain::*handler)()) {
        QObject::connect(button, &QPushButton::clicked, &window_,
                         Guarded<>(errors_, [this, handler] { (window_.*handler)(); }));
    };
    click(ui_.btnVideoCapConfigure, &TfrmMain::btnVideoCapConfigureClick);
    click(ui_.btnPreviewFormat, &TfrmMain::btnPreviewFormatClick);
    click(ui_.btnCaptureFormat, &TfrmMain::btnCaptureFormatClick);
    click(ui_.btnCrossbar, &TfrmMain::btnCrossbarClick);
    click(ui_.btnCompressConfig, &TfrmMain::btnCompressConfigClick);
    click(ui_.btnAudioCapDevConfigure, &TfrmMain::btnAudioCapDevConfigureClick);
    click(ui_.SpeedButton1, &TfrmMain::SpeedButton1Click);
    QObject::connect(ui_.edCapFile, &QLineEdit::textChanged, &window_, [this](const QString& text) {
        if (!filling_)
            session_.setCaptureFile(text);
    });
}

void PreferencesPage::showLists() {
    filling_ = true;
    const CapturePreferences& p = session_.preferences();
    fillCombo(ui_.cmbVideoCapDev, p.videoCaptureDevices());
    fillCombo(ui_.cmbCompressionFilters, p.videoCompressors());
    fillCombo(ui_.cmbAudioCapDev, p.audioCaptureDevices());
    fillCombo(ui_.cmbAudioCompressionFilters, p.audioCompressors());
    fillCombo(ui_.cmbAudioCompressionFormat, p.audioFormats());
    fillCombo(ui_.cmbInputLines, p.inputLines());
    filling_ = false;
}

void PreferencesPage::showCaptureFile() {
    filling_ = true;
    ui_.edCapFile->setText(fromUtf8(session_.settings().CapFile));
    filling_ = false;
}

void PreferencesPage::browseCaptureFile() {
    QFileDialog SaveDialog1(&window_);
    SaveDialog1.setObjectName("SaveDialog1");
    SaveDialog1.setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1.setNameFilter("AVI files (*.avi)");
    SaveDialog1.setDefaultSuffix("avi");
    SaveDialog1.setDirectory(QString::fromStdString(session_.paths().videosDir.string()));
    SaveDialog1.selectFile(ui_.edCapFile->text());
    if (SaveDialog1.exec() == QDialog::Accepted && !SaveDialog1.selectedFiles().isEmpty())
        ui_.edCapFile->setText(SaveDialog1.selectedFiles().front());
}

void PreferencesPage::showDeviceDialog(Filter& filter) {
    ShowCaptureDeviceProperties(&window_, filter);
}

void PreferencesPage::showAudioDialog(Filter& filter) {
    ShowAudioDeviceProperties(&window_, filter);
}

void PreferencesPage::showCompressorDialog(Filter& filter) {
    ShowCompressorProperties(&window_, filter);
}

void PreferencesPage::showCrossbarDialog(Crossbar& crossbar) {
    ShowCrossbarProperties(&window_, crossbar);
}

void PreferencesPage::showTunerDialog(TvTuner& tuner) {
    ShowTunerProperties(&window_, tuner);
}

void PreferencesPage::showVideoFormatDialog(Pin& pin) {
    TfrmVideoFormat dialog(&window_, pin);
    dialog.execChecked();
}

} // namespace qeltv
