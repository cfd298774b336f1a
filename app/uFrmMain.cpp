#include "app/uFrmMain.h"

#include "app/Logging.h"
#include "app/VideoWindow.h"
#include "config/PropertyDialog.h"
#include "config/uFrmVideoFormat.h"
#include "scheduler/SchedulingAgent.h"
#include "scheduler/uFrmScheduleItem.h"
#include "settings/uFrmEditChannelName.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeWidget>

namespace qeltv {

namespace {
// The quick-channel box's hint while the channel list is empty.
constexpr const char* kNoChannelsHint = "No channels: Channels page, AutoTune";

QString fromBytes(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

void fillCombo(QComboBox* box, const ChoiceList& list) {
    box->clear();
    box->addItems(list.entries);
    box->setCurrentIndex(list.selected);
}
} // namespace

template <class Handler> auto TfrmMain::guarded(Handler handler) {
    return [this, handler] {
        try {
            (this->*handler)();
        } catch (const std::exception& e) {
            errorHandler_.report(QString::fromUtf8(e.what()));
        }
    };
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
    VideoWindow_ =
        new VideoWindow(session_->graphBuilder().VideoWindow, ui_.pnlBack, osdDuration_ms);
    VideoWindow_->setObjectName("VideoWindow");
    // Full screen, the picture is a window of its own: these keys work there
    // too.
    VideoWindow_->addActions({ui_.Keepaspectratio1, ui_.Fullscreen1, ui_.EscapeKey});
    tray_ = new QSystemTrayIcon(QApplication::windowIcon(), this);
    tray_->setObjectName("CoolTrayIcon1");
    tray_->setContextMenu(ui_.trayMenu);
    tray_->setToolTip(QApplication::applicationDisplayName());
    tray_->show();
    BalloonhintTimer_.setSingleShot(true);
    BalloonhintTimer_.setInterval(kBalloonTimeout_ms);
    connect(&BalloonhintTimer_, &QTimer::timeout, this, &TfrmMain::BalloonhintTimerTimer);
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
    connect(ui_.btPreviousChapter, &QAction::triggered, this,
            guarded(&TfrmMain::btPreviousChapterClick));
    connect(ui_.btRewind, &QAction::triggered, this, guarded(&TfrmMain::btRewindClick));
    connect(ui_.btRec, &QAction::triggered, this, guarded(&TfrmMain::btRecClick));
    connect(ui_.btPause, &QAction::triggered, this, guarded(&TfrmMain::btPauseClick));
    connect(ui_.btPlay, &QAction::triggered, this, guarded(&TfrmMain::btPlayClick));
    connect(ui_.btStop, &QAction::triggered, this, guarded(&TfrmMain::btStopClick));
    connect(ui_.btFastForward, &QAction::triggered, this, guarded(&TfrmMain::btFastForwardClick));
    connect(ui_.btNextChapter, &QAction::triggered, this, guarded(&TfrmMain::btNextChapterClick));
    // The toolbar button clicks the menu item, which acts only while enabled.
    connect(ui_.btFrameStep, &QAction::triggered, this, guarded(&TfrmMain::btFrameStepClick));
    // The handler toggles the check mark itself (a web page calls it too):
    // the toggle Qt made on the click is taken back first.
    connect(ui_.StartWebcast1, &QAction::triggered, this, [this](bool checked) {
        ui_.StartWebcast1->setChecked(!checked);
        guarded (&TfrmMain::StartWebcast1Click)();
    });
    // The web server's settings are read when it starts.
    connect(ui_.webServer.btnStartWebserver, &QPushButton::clicked, this,
            guarded(&TfrmMain::btnStartWebserverClick));
    connect(ui_.webServer.btnStopWebserver, &QPushButton::clicked, this,
            guarded(&TfrmMain::btnStopWebserverClick));
    connect(ui_.webServer.seWebserverPort, &QSpinBox::valueChanged, this, [this](int port) {
        WebOptions options = session_->webOptions();
        options.webServerPort = port;
        session_->setWebOptions(options);
    });
    connect(ui_.webServer.edWebUsername, &QLineEdit::textChanged, this,
            [this](const QString& text) {
                WebOptions options = session_->webOptions();
                options.userName = text;
                session_->setWebOptions(options);
            });
    connect(ui_.webServer.edWebPassword, &QLineEdit::textChanged, this,
            [this](const QString& text) {
                WebOptions options = session_->webOptions();
                options.password = text;
                session_->setWebOptions(options);
            });
    // The webcast options are read when a webcast graph is built.
    connect(ui_.webcast.seWebcastPort, &QSpinBox::valueChanged, this, [this](int port) {
        WebOptions options = session_->webOptions();
        options.webcastPort = port;
        session_->setWebOptions(options);
    });
    connect(ui_.webcast.seWebcastClients, &QSpinBox::valueChanged, this, [this](int clients) {
        WebOptions options = session_->webOptions();
        options.maxClients = clients;
        session_->setWebOptions(options);
    });
    connect(ui_.webcast.cmbWebcastProfile, &QComboBox::currentIndexChanged, this,
            [this](int entry) { session_->cmbWebcastProfileChange(entry); });
    connect(ui_.Fullscreen1, &QAction::triggered, this, guarded(&TfrmMain::Fullscreen1Click));
    connect(ui_.btFullScreen, &QAction::triggered, this, guarded(&TfrmMain::btFullScreenClick));
    connect(VideoWindow_, &VideoWindow::doubleClicked, this,
            guarded(&TfrmMain::VideoWindowDblClick));
    connect(ui_.ExitFullscreen1, &QAction::triggered, this,
            guarded(&TfrmMain::ExitFullscreen1Click));
    connect(&session_->graphBuilder().VideoWindow, &VideoRenderer::fullScreenChanged, this,
            &TfrmMain::fullScreenChanged);
    connect(ui_.Keepaspectratio1, &QAction::triggered, this,
            guarded(&TfrmMain::Keepaspectratio1Click));
    connect(ui_.btRootMenu, &QAction::triggered, this, guarded(&TfrmMain::btRootMenuClick));
    connect(ui_.schedules.btnAddSchedule, &QPushButton::clicked, this,
            guarded(&TfrmMain::btnAddScheduleClick));
    connect(ui_.schedules.btnRefresh, &QPushButton::clicked, this,
            guarded(&TfrmMain::btnRefreshClick));
    connect(ui_.schedules.Startnow1, &QAction::triggered, this, guarded(&TfrmMain::Startnow1Click));
    connect(ui_.schedules.Delete1, &QAction::triggered, this, guarded(&TfrmMain::Delete1Click));
    connect(ui_.schedules.Edit1, &QAction::triggered, this, guarded(&TfrmMain::Edit1Click));
    auto keyDown = [this](int key) {
        return [this, key] {
            try {
                FormKeyDown(key);
            } catch (const std::exception& e) {
                errorHandler_.report(QString::fromUtf8(e.what()));
            }
        };
    };
    connect(ui_.EscapeKey, &QAction::triggered, this, keyDown(Qt::Key_Escape));
    connect(ui_.F12Key, &QAction::triggered, this, keyDown(Qt::Key_F12));
    connect(ui_.Notebook1, &QTabWidget::currentChanged, this, [this](int page) {
        try {
            Notebook1PageChanged(page);
        } catch (const std::exception& e) {
            errorHandler_.report(QString::fromUtf8(e.what()));
        }
    });
    connect(ui_.cmbQuickChannel, &QComboBox::activated, this, [this](int index) {
        try {
            cmbQuickChannelChange(index);
        } catch (const std::exception& e) {
            errorHandler_.report(QString::fromUtf8(e.what()));
        }
    });
    connect(ui_.ToolButton1, &QAction::triggered, this, guarded(&TfrmMain::lstChannelsDblClick));
    connect(ui_.autoTune.btnAutoTune, &QPushButton::clicked, this,
            guarded(&TfrmMain::btnAutoTuneClick));
    connect(ui_.Edit2, &QAction::triggered, this, guarded(&TfrmMain::lstChannelsDblClick));
    // Every move of the highlighted row (click, right-click, keys) is the
    // list's selection, so the rename and the steps act on the row shown; a
    // click also tunes.
    connect(ui_.lstChannels, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (filling_)
            return;
        const int row = item ? ui_.lstChannels->indexOfTopLevelItem(item) : -1;
        session_->selectChannel(row >= 0 ? std::optional<std::size_t>(row) : std::nullopt);
    });
    connect(ui_.lstChannels, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        session_->selectChannel(
            static_cast<std::size_t>(ui_.lstChannels->indexOfTopLevelItem(item)));
        guarded (&TfrmMain::lstChannelsClick)();
    });
    connect(ui_.lstChannels, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem*) { guarded (&TfrmMain::lstChannelsDblClick)(); });
    connectPreferences();
    connect(ui_.edCapFile, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (!filling_)
            session_->setCaptureFile(text);
    });
    connect(ui_.Exit1, &QAction::triggered, this, &QWidget::close);
    connect(ui_.About1, &QAction::triggered, this, [this] {
        if (auto* box = findChild<QDialog*>("TfrmAbout"))
            box->exec();
    });
    connect(ui_.Restore1, &QAction::triggered, this, &TfrmMain::Restore1Click);
    connect(ui_.Close1, &QAction::triggered, this, &QWidget::close);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick)
                    CoolTrayIcon1DblClick();
            });
}

// ------------------------------------------------------ start-up, shutdown

void TfrmMain::FormCreate(std::optional<long> startChannel, AnswerSink startAnswer) {
    // The error handler reports every failure from here on.
    errorHandler_.install();
    ui_.Notebook1->setCurrentIndex(PageVideo);
    session_->start(startChannel, std::move(startAnswer));
    ui_.webcast.fillProfiles(session_->webcastProfiles());
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
    if (session_->autoTuneInProgress()) {
        closeAfterAutoTune_ = true;
        session_->abortAutoTune();
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
        fillChannelView();
        break;
    case SessionChange::ChannelChosen:
        showChannelSelection();
        SetTrayHint();
        break;
    case SessionChange::Preferences:
        fillPreferences();
        break;
    case SessionChange::CaptureFile:
        filling_ = true;
        ui_.edCapFile->setText(fromBytes(session_->settings().CapFile));
        filling_ = false;
        break;
    case SessionChange::Schedules:
        ui_.schedules.showRows(session_->scheduleRows());
        break;
    }
}

void TfrmMain::fillChannelView() {
    filling_ = true;
    ui_.lstChannels->clear();
    for (const auto& c : session_->channels().channels())
        ui_.lstChannels->addTopLevelItem(new QTreeWidgetItem(
            {fromBytes(c.number), fromBytes(c.name()), fromBytes(c.frequency())}));
    ui_.cmbQuickChannel->clear();
    const QStringList entries = session_->quickChannelEntries();
    ui_.cmbQuickChannel->addItems(entries);
    // Shown only while the box has no entry, so it never stands for a
    // channel in the tray hint or the caption.
    ui_.cmbQuickChannel->setPlaceholderText(entries.isEmpty() ? QString::fromLatin1(kNoChannelsHint)
                                                              : QString());
    filling_ = false;
    showChannelSelection();
}

void TfrmMain::showChannelSelection() {
    filling_ = true;
    ui_.lstChannels->clearSelection();
    if (const auto index = session_->channels().selected()) {
        QTreeWidgetItem* item = ui_.lstChannels->topLevelItem(static_cast<int>(*index));
        item->setSelected(true);
        ui_.lstChannels->setCurrentItem(item);
    }
    ui_.cmbQuickChannel->setCurrentIndex(session_->quickChannelIndex());
    filling_ = false;
}

void TfrmMain::fillPreferences() {
    filling_ = true;
    fillCombo(ui_.cmbVideoCapDev, session_->videoCaptureDevices());
    fillCombo(ui_.cmbCompressionFilters, session_->videoCompressors());
    fillCombo(ui_.cmbAudioCapDev, session_->audioCaptureDevices());
    fillCombo(ui_.cmbAudioCompressionFilters, session_->audioCompressors());
    fillCombo(ui_.cmbAudioCompressionFormat, session_->audioFormats());
    fillCombo(ui_.cmbInputLines, session_->inputLines());
    filling_ = false;
}

void TfrmMain::SetTrayHint() {
    trayHint_ =
        (windowTitle() + " [ " + session_->quickChannelText() + " ]").left(kMaxTrayHintLength);
    tray_->setToolTip(trayHint_);
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
    ShowBalloon(title, text, static_cast<QSystemTrayIcon::MessageIcon>(icon), seconds);
}

void TfrmMain::ShowBalloon(const QString& title, const QString& text,
                           QSystemTrayIcon::MessageIcon icon, int seconds) {
    qCDebug(lcApp).noquote() << "balloon:" << title << "|" << text << "| icon" << int(icon);
    // Showing a balloon replaces the one before.
    tray_->showMessage(title.left(kMaxBalloonTitleLength), text.left(kMaxBalloonTextLength), icon,
                       seconds * 1000);
    BalloonhintTimer_.start();
}

void TfrmMain::BalloonhintTimerTimer() {
    BalloonhintTimer_.stop();
    qCDebug(lcApp) << "balloon removed";
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

void TfrmMain::lstChannelsClick() {
    session_->chooseSelectedChannel();
}

void TfrmMain::btPreviousChapterClick() {
    session_->firstChannel();
}

void TfrmMain::btRewindClick() {
    session_->previousChannel();
}

void TfrmMain::btFastForwardClick() {
    session_->nextChannel();
}

void TfrmMain::btNextChapterClick() {
    session_->lastChannel();
}

void TfrmMain::cmbQuickChannelChange(int index) {
    session_->chooseQuickChannel(index);
}

void TfrmMain::lstChannelsDblClick() {
    const auto selected = session_->channels().selected();
    if (!selected)
        return;
    TfrmEditChannelname dialog(this, fromBytes(session_->channels().at(*selected).name()));
    if (dialog.exec() == QDialog::Accepted)
        session_->renameChannel(*selected, dialog.name());
}

void TfrmMain::btRecClick() {
    session_->record();
}

void TfrmMain::btPauseClick() {
    session_->pause();
}

void TfrmMain::btPlayClick() {
    session_->play();
}

void TfrmMain::btStopClick() {
    session_->stop();
}

void TfrmMain::btFrameStepClick() {
    // The button clicks the menu item, which acts only while enabled.
    if (ui_.StartWebcast1->isEnabled())
        StartWebcast1Click();
}

void TfrmMain::btnStartWebserverClick() {
    // A port a user may not open (below 1024) or one in use: the controls
    // stay as they were, the status bar says why.
    const QString failure = session_->StartWebServer();
    if (!failure.isEmpty()) {
        setStatusText(failure);
        return;
    }
    ui_.webServer.showRunning(true);
}

void TfrmMain::btnStopWebserverClick() {
    // A stop that times out goes to the error handler and leaves the
    // controls as they were while the server ran.
    session_->StopWebServer();
    ui_.webServer.showRunning(false);
}

void TfrmMain::StartWebcast1Click() {
    ui_.StartWebcast1->setChecked(!ui_.StartWebcast1->isChecked());
    session_->setWebcast(ui_.StartWebcast1->isChecked());
}

void TfrmMain::btnAutoTuneClick() {
    session_->btnAutoTuneClick(autoTuneView_, autoTuneView_.mode());
    if (closeAfterAutoTune_ && !session_->autoTuneInProgress()) {
        closeAfterAutoTune_ = false;
        close();
    }
}

void TfrmMain::Fullscreen1Click() {
    session_->ToggleFullScreen();
}

void TfrmMain::btFullScreenClick() {
    Fullscreen1Click();
}

void TfrmMain::VideoWindowDblClick() {
    // Into full screen only when the item could be used; out always.
    if (session_->fullScreen() || ui_.Fullscreen1->isEnabled())
        Fullscreen1Click();
}

void TfrmMain::ExitFullscreen1Click() {
    session_->ExitFullScreen();
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

void TfrmMain::btnAddScheduleClick() {
    std::vector<TfrmScheduleItem::ChannelEntry> entries;
    for (const auto& c : session_->channels().channels())
        entries.push_back({TfrmScheduleItem::ChannelEntryText(
                               fromBytes(c.number), fromBytes(c.frequency()), fromBytes(c.name())),
                           ChannelNumberOr(c.number, 0)});
    TfrmScheduleItem dialog(this, std::move(entries), session_->currentChannel(),
                            SchedulingAgent::CurrentAccountName(), QDateTime::currentDateTime());
    dialog.setRunnerNote(session_->scheduleRunnerNote());
    if (dialog.exec() != QDialog::Accepted)
        return;
    session_->addSchedule(dialog.values());
}

void TfrmMain::btnRefreshClick() {
    session_->refreshSchedules();
}

void TfrmMain::Startnow1Click() {
    if (const auto task = ui_.schedules.selectedTask())
        session_->startScheduleNow(*task);
}

void TfrmMain::Delete1Click() {
    if (const auto task = ui_.schedules.selectedTask())
        session_->deleteSchedule(*task);
}

void TfrmMain::Edit1Click() {
    if (const auto task = ui_.schedules.selectedTask())
        session_->editSchedule(*task, this);
}

void TfrmMain::Notebook1PageChanged(int page) {
    if (page == PageSchedules)
        session_->refreshSchedules();
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

void TfrmMain::ShowTunerPropertyPages() {
    session_->ShowTunerProperties();
}

// ------------------------------------------------------------ Preferences

void TfrmMain::connectPreferences() {
    // A person's choice in a list; the window's own fills are not.
    auto choice = [this](QComboBox* box, void (TfrmMain::*handler)(int)) {
        connect(box, &QComboBox::activated, this, [this, handler](int index) {
            if (filling_)
                return;
            try {
                (this->*handler)(index);
            } catch (const std::exception& e) {
                errorHandler_.report(QString::fromUtf8(e.what()));
            }
        });
    };
    choice(ui_.cmbVideoCapDev, &TfrmMain::cmbVideoCapDevChange);
    choice(ui_.cmbCompressionFilters, &TfrmMain::cmbCompressionFiltersChange);
    choice(ui_.cmbAudioCapDev, &TfrmMain::cmbAudioCapDevChange);
    choice(ui_.cmbAudioCompressionFilters, &TfrmMain::cmbAudioCompressionFiltersChange);
    choice(ui_.cmbAudioCompressionFormat, &TfrmMain::cmbAudioCompressionFormatChange);
    choice(ui_.cmbInputLines, &TfrmMain::cmbInputLinesChange);
    connect(ui_.btnVideoCapConfigure, &QPushButton::clicked, this,
            guarded(&TfrmMain::btnVideoCapConfigureClick));
    connect(ui_.btnPreviewFormat, &QPushButton::clicked, this,
            guarded(&TfrmMain::btnPreviewFormatClick));
    connect(ui_.btnCaptureFormat, &QPushButton::clicked, this,
            guarded(&TfrmMain::btnCaptureFormatClick));
    connect(ui_.btnCrossbar, &QPushButton::clicked, this, guarded(&TfrmMain::btnCrossbarClick));
    connect(ui_.btnCompressConfig, &QPushButton::clicked, this,
            guarded(&TfrmMain::btnCompressConfigClick));
    connect(ui_.btnAudioCapDevConfigure, &QPushButton::clicked, this,
            guarded(&TfrmMain::btnAudioCapDevConfigureClick));
    connect(ui_.SpeedButton1, &QPushButton::clicked, this, guarded(&TfrmMain::SpeedButton1Click));
}

void TfrmMain::cmbVideoCapDevChange(int index) {
    session_->cmbVideoCapDevChange(index);
}

void TfrmMain::cmbCompressionFiltersChange(int index) {
    session_->cmbCompressionFiltersChange(index);
}

void TfrmMain::cmbAudioCapDevChange(int index) {
    session_->cmbAudioCapDevChange(index);
}

void TfrmMain::cmbAudioCompressionFiltersChange(int index) {
    session_->cmbAudioCompressionFiltersChange(index);
}

void TfrmMain::cmbAudioCompressionFormatChange(int index) {
    session_->cmbAudioCompressionFormatChange(index);
}

void TfrmMain::cmbInputLinesChange(int index) {
    session_->cmbInputLinesChange(index);
}

void TfrmMain::btnVideoCapConfigureClick() {
    session_->btnVideoCapConfigureClick();
}

void TfrmMain::btnPreviewFormatClick() {
    session_->btnPreviewFormatClick();
}

void TfrmMain::btnCaptureFormatClick() {
    session_->btnCaptureFormatClick();
}

void TfrmMain::btnCrossbarClick() {
    session_->btnCrossbarClick();
}

void TfrmMain::btnCompressConfigClick() {
    session_->btnCompressConfigClick();
}

void TfrmMain::btnAudioCapDevConfigureClick() {
    session_->btnAudioCapDevConfigureClick();
}

void TfrmMain::SpeedButton1Click() {
    // Starts in the recording folder with the box's name; only the box
    // changes, the graph builds read it.
    QFileDialog SaveDialog1(this);
    SaveDialog1.setObjectName("SaveDialog1");
    SaveDialog1.setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1.setNameFilter("AVI files (*.avi)");
    SaveDialog1.setDefaultSuffix("avi");
    SaveDialog1.setDirectory(fromBytes(session_->paths().videosDir.string()));
    SaveDialog1.selectFile(ui_.edCapFile->text());
    if (SaveDialog1.exec() == QDialog::Accepted && !SaveDialog1.selectedFiles().isEmpty())
        ui_.edCapFile->setText(SaveDialog1.selectedFiles().front());
}

void TfrmMain::showCaptureDeviceProperties(Filter& filter) {
    qeltv::ShowCaptureDeviceProperties(this, filter);
}

void TfrmMain::showAudioDeviceProperties(Filter& filter) {
    qeltv::ShowAudioDeviceProperties(this, filter);
}

void TfrmMain::showCompressorProperties(Filter& filter) {
    qeltv::ShowCompressorProperties(this, filter);
}

void TfrmMain::showCrossbarProperties(Crossbar& crossbar) {
    qeltv::ShowCrossbarProperties(this, crossbar);
}

void TfrmMain::showTunerProperties(TvTuner& tuner) {
    qeltv::ShowTunerProperties(this, tuner);
}

void TfrmMain::showVideoFormat(Pin& pin) {
    TfrmVideoFormat dialog(this, pin);
    dialog.execChecked();
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
