#include "app/uFrmMain.h"

#include "app/ControlEvents.h"
#include "app/Logging.h"
#include "app/VideoWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeWidget>

namespace qeltv {

auto TfrmMain::handler(void (TfrmMain::*handler)()) {
    return Guarded<>(errorHandler_, [this, handler] { (this->*handler)(); });
}

TfrmMain::TfrmMain(const Paths& paths, std::optional<long> startChannel,
                   std::unique_ptr<InstanceLock> lock, QelApplication& app, int osdDuration_ms,
                   AnswerSink startAnswer)
    : app_(app), session_(std::make_unique<TvSession>(paths, std::move(lock), *this)) {
    setObjectName("TfrmMain");
    setWindowTitle(QApplication::applicationDisplayName());
    resize(kDesignWidth, kDesignHeight);
    app_.setErrorHandler(&errorHandler_);
    ui_.setupUi(this);
    VideoWindow_ = new VideoWindow(session_->renderer(), ui_.pnlBack, osdDuration_ms);
    VideoWindow_->setObjectName("VideoWindow");
    // Full screen, the picture is a window of its own: these keys work there
    // too.
    VideoWindow_->addActions({ui_.Keepaspectratio1, ui_.Fullscreen1, ui_.EscapeKey});
    tray_ = new TrayIcon(this, ui_.trayMenu);
    connectControls();
    connect(session_.get(), &TvSession::changed, this, &TfrmMain::sessionChanged);
    try {
        FormCreate(startChannel, std::move(startAnswer));
    } catch (const std::exception& e) {
        // A failing step skips the rest of the start-up; the program runs on.
        errorHandler_.report(QString::fromUtf8(e.what()));
    }
}

TfrmMain::~TfrmMain() {
    FormDestroy();
    // The widget paints the renderer's frames: it goes before the session.
    delete VideoWindow_;
    VideoWindow_ = nullptr;
    session_.reset();
    app_.setErrorHandler(nullptr);
}

void TfrmMain::connectControls() {
    for (const auto& [action, slot] :
         {std::pair{ui_.btPreviousChapter, &TfrmMain::btPreviousChapterClick},
          {ui_.btRewind, &TfrmMain::btRewindClick},
          {ui_.btRec, &TfrmMain::btRecClick},
          {ui_.btPause, &TfrmMain::btPauseClick},
          {ui_.btPlay, &TfrmMain::btPlayClick},
          {ui_.btStop, &TfrmMain::btStopClick},
          {ui_.btFastForward, &TfrmMain::btFastForwardClick},
          {ui_.btNextChapter, &TfrmMain::btNextChapterClick},
          // The toolbar button clicks the menu item, which acts only while
          // enabled.
          {ui_.btFrameStep, &TfrmMain::btFrameStepClick},
          {ui_.Fullscreen1, &TfrmMain::Fullscreen1Click},
          {ui_.btFullScreen, &TfrmMain::btFullScreenClick},
          {ui_.ExitFullscreen1, &TfrmMain::ExitFullscreen1Click},
          {ui_.Keepaspectratio1, &TfrmMain::Keepaspectratio1Click}})
        connect(action, &QAction::triggered, this, handler(slot));
    // The handler toggles the check mark itself (a web page calls it too):
    // the toggle Qt made on the click is taken back first.
    connect(ui_.StartWebcast1, &QAction::triggered, this, [this](bool checked) {
        ui_.StartWebcast1->setChecked(!checked);
        handler (&TfrmMain::StartWebcast1Click)();
    });
    connect(VideoWindow_, &VideoWindow::doubleClicked, this,
            handler(&TfrmMain::VideoWindowDblClick));
    connect(&session_->renderer(), &VideoRenderer::fullScreenChanged, this,
            &TfrmMain::fullScreenChanged);
    connect(ui_.EscapeKey, &QAction::triggered, this,
            Guarded<>(errorHandler_, [this] { FormKeyDown(Qt::Key_Escape); }));
    connect(ui_.F12Key, &QAction::triggered, this,
            Guarded<>(errorHandler_, [this] { FormKeyDown(Qt::Key_F12); }));
    connect(ui_.Notebook1, &QTabWidget::currentChanged, this,
            Guarded<int>(errorHandler_, [this](int page) { Notebook1PageChanged(page); }));
    channelsPage_.connectControls();
    schedulesPage_.connectControls();
    preferencesPage_.connectControls();
    webOptionsPage_.connectControls();
    connect(ui_.Exit1, &QAction::triggered, this, &QWidget::close);
    connect(ui_.About1, &QAction::triggered, this, [this] {
        if (auto* box = findChild<QDialog*>("TfrmAbout"))
            box->exec();
    });
    connect(ui_.Restore1, &QAction::triggered, this, &TfrmMain::Restore1Click);
    connect(ui_.Close1, &QAction::triggered, this, &QWidget::close);
    connect(tray_, &TrayIcon::doubleClicked, this, &TfrmMain::CoolTrayIcon1DblClick);
}

// ------------------------------------------------------ start-up, shutdown

void TfrmMain::FormCreate(std::optional<long> startChannel, AnswerSink startAnswer) {
    // The error handler reports every failure from here on.
    errorHandler_.install();
    ui_.Notebook1->setCurrentIndex(PageVideo);
    session_->start(startChannel, std::move(startAnswer));
    webOptionsPage_.showProfiles();
}

void TfrmMain::FormDestroy() {
    if (session_->shuttingDown())
        return;
    // Errors from here on are not shown.
    errorHandler_.remove();
    VideoWindow_->FreeOverlay();
    // The recording ends, the graph and the settings are saved, the
    // instance lock goes last.
    session_->shutdown();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    // The scan's loop holds the tuner: it ends first, and the shutdown runs
    // once btnAutoTuneClick has returned.
    if (session_->autoTune().inProgress()) {
        closeAfterAutoTune_ = true;
        session_->autoTune().abortAutoTune();
        event->ignore();
        return;
    }
    FormDestroy();
    event->accept();
    QCoreApplication::quit();
}

// ------------------------------------------------ what the session reports

void TfrmMain::sessionChanged(SessionChange what) {
    switch (what) {
    case SessionChange::Channels:
        channelsPage_.showChannels();
        break;
    case SessionChange::ChannelChosen:
        channelsPage_.showSelection();
        SetTrayHint();
        break;
    case SessionChange::Preferences:
        preferencesPage_.showLists();
        break;
    case SessionChange::CaptureFile:
        preferencesPage_.showCaptureFile();
        break;
    case SessionChange::Schedules:
        ui_.schedules.showRows(session_->schedules().rows());
        break;
    }
}

void TfrmMain::SetTrayHint() {
    tray_->setHint(windowTitle(), session_->tuning().quickChannelText());
}

void TfrmMain::setBusyCursor(bool busy) {
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TfrmMain::setBackCaption(const QString& caption) {
    ui_.pnlBack->setText(caption);
}

void TfrmMain::showVideoWindow(bool visible) {
    VideoWindow_->setVisible(visible);
}

void TfrmMain::setStatusText(const QString& text) {
    qCDebug(lcApp).noquote() << "status:" << text;
    statusBar()->showMessage(text);
}

void TfrmMain::showMessageBox(Box kind, const QString& text, bool wait) {
    auto* box =
        new QMessageBox(kind == Box::Warning ? QMessageBox::Warning : QMessageBox::NoIcon,
                        QApplication::applicationDisplayName(), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (wait)
        box->exec();
    else
        box->open();
}

void TfrmMain::reportError(const QString& what) {
    errorHandler_.report(what);
}

void TfrmMain::showBalloon(const QString& title, const QString& text, int icon, int seconds) {
    tray_->ShowBalloon(title, text, static_cast<QSystemTrayIcon::MessageIcon>(icon), seconds);
}

void TfrmMain::showOsdText(const QString& text) {
    VideoWindow_->ShowOsdText(text, session_->graphBuilder().tuner());
}

void TfrmMain::endProgram() {
    // The event loop ends as soon as it runs.
    QMetaObject::invokeMethod(&app_, &QCoreApplication::quit, Qt::QueuedConnection);
}

void TfrmMain::UpdateControls() {
    const GraphMode mode = session_->graphMode();
    const bool preview = mode == GraphMode::Preview;
    const bool recording = mode == GraphMode::Recording;
    const bool webcast = mode == GraphMode::Webcast;
    for (QAction* a : {ui_.btPreviousChapter, ui_.btRewind, ui_.btFastForward, ui_.btNextChapter})
        a->setEnabled(preview || webcast);
    ui_.btRec->setEnabled(preview);
    for (QAction* a : {ui_.btPause, ui_.btPlay, ui_.btStop})
        a->setEnabled(preview || recording);
    // Only the preview has a picture to show full screen.
    ui_.btFullScreen->setEnabled(preview);
    ui_.Fullscreen1->setEnabled(preview);
    ui_.StartWebcast1->setEnabled(preview || webcast);
    ui_.btFrameStep->setEnabled(preview || webcast);
    ui_.StartWebcast1->setChecked(webcast);
    ui_.lstChannels->setEnabled(preview || webcast);
    ui_.cmbQuickChannel->setEnabled(preview || webcast);
    ui_.page(PagePreferences)->setEnabled(preview);
    const bool autoTuning = mode == GraphMode::AutoTuning;
    // The button aborts a running scan; the scan's choice is fixed once it
    // runs.
    ui_.autoTune.btnAutoTune->setEnabled(preview || autoTuning);
    ui_.autoTune.rbCableGrid->setEnabled(!autoTuning);
    ui_.autoTune.rbContinuousFrequencies->setEnabled(!autoTuning);
}

// ------------------------------------------------------- control events

void TfrmMain::btFrameStepClick() {
    // The button clicks the menu item, which acts only while enabled.
    if (ui_.StartWebcast1->isEnabled())
        StartWebcast1Click();
}

void TfrmMain::StartWebcast1Click() {
    ui_.StartWebcast1->setChecked(!ui_.StartWebcast1->isChecked());
    session_->setWebcast(ui_.StartWebcast1->isChecked());
}

void TfrmMain::btnAutoTuneClick() {
    channelsPage_.autoTune();
    if (closeAfterAutoTune_ && !session_->autoTune().inProgress()) {
        closeAfterAutoTune_ = false;
        close();
    }
}

void TfrmMain::VideoWindowDblClick() {
    // Into full screen only when the item could be used; out always.
    if (session_->fullScreen() || ui_.Fullscreen1->isEnabled())
        Fullscreen1Click();
}

void TfrmMain::fullScreenChanged(bool fullScreen) {
    VideoWindow_->setPopupMenu(fullScreen ? ui_.PopupMenu1 : nullptr);
    ui_.Fullscreen1->setChecked(fullScreen);
    ui_.EscapeKey->setEnabled(fullScreen);
}

void TfrmMain::Keepaspectratio1Click() {
    session_->setKeepAspectRatio(ui_.Keepaspectratio1->isChecked());
}

void TfrmMain::btRootMenuClick() {
    // The toolbar button presses the schedule page's "Add new schedule".
    ui_.schedules.btnAddSchedule->click();
}

void TfrmMain::Notebook1PageChanged(int page) {
    if (page == PageSchedules)
        session_->schedules().refreshSchedules();
}

void TfrmMain::FormKeyDown(int key) {
    switch (key) {
    case Qt::Key_Escape:
        session_->ExitFullScreen();
        break;
    case Qt::Key_F12:
        ShowTunerPropertyPages();
        break;
    default:
        break;
    }
}

// ----------------------------------------------------------------- tray

void TfrmMain::changeEvent(QEvent* event) {
    // Without a system tray there is nothing to bring a hidden window back
    // from: the window is then only minimised.
    if (event->type() == QEvent::WindowStateChange && isMinimized() &&
        QSystemTrayIcon::isSystemTrayAvailable())
        QTimer::singleShot(0, this, &TfrmMain::minimiseToTray);
    QMainWindow::changeEvent(event);
}

void TfrmMain::minimiseToTray() {
    // Minimised, only the tray icon stays.
    if (isMinimized())
        hide();
}

void TfrmMain::Restore1Click() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TfrmMain::CoolTrayIcon1DblClick() {
    if (isMinimized() || !isVisible())
        Restore1Click();
    else
        showMinimized();
}

} // namespace qeltv
