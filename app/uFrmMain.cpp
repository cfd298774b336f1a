#include "app/uFrmMain.h"

#include "app/Logging.h"
#include "capture/TvTuner.h"
#include "capture/VideoWindow.h"
#include "config/DeviceSelection.h"
#include "settings/uFrmEditChannelName.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>

namespace qeltv {

namespace {
QString fromBytes(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

enum Page { PageVideo = 0, PageChannels, PageSchedules, PagePreferences, PageWebOptions };
} // namespace

TfrmMain::TfrmMain(const Paths& paths, std::optional<long> startChannel,
                   std::unique_ptr<InstanceLock> lock, QelApplication& app)
    : paths_(paths), startChannel_(startChannel), lock_(std::move(lock)), app_(app),
      userStore_(paths.userStore(), "HKEY_CURRENT_USER"),
      machineStore_(paths.machineStore(), "HKEY_LOCAL_MACHINE"), autoTune_(machineStore_),
      devices_(paths.cacheDir) {
    setObjectName("TfrmMain");
    graph_ = std::make_unique<GraphBuilder>(context_, settings_, *this);
    setWindowTitle(QApplication::applicationDisplayName());
    resize(kDesignWidth, kDesignHeight);
    app_.setErrorHandler(&errorHandler_);
    buildPages();
    buildMenus();
    buildTray();
    BalloonhintTimer_.setSingleShot(true);
    BalloonhintTimer_.setInterval(kBalloonTimeout_ms);
    connect(&BalloonhintTimer_, &QTimer::timeout, this, &TfrmMain::BalloonhintTimerTimer);
    try {
        FormCreate();
    } catch (const std::exception& e) {
        // A failing step skips the rest of the start-up; the program runs on.
        errorHandler_.report(QString::fromUtf8(e.what()));
    }
}

TfrmMain::~TfrmMain() {
    FormDestroy();
    // The video window is a filter object of the graph: it goes first.
    delete VideoWindow_;
    VideoWindow_ = nullptr;
    app_.removeEventFilter(this);
    app_.setErrorHandler(nullptr);
}

// ------------------------------------------------------------ construction

void TfrmMain::buildPages() {
    pages_ = new QTabWidget(this);
    pages_->setObjectName("Notebook1");
    pages_->setTabPosition(QTabWidget::South);
    setCentralWidget(pages_);

    // Video: the grey panel behind the picture, the toolbar along its bottom.
    auto* video = new QWidget;
    auto* videoLayout = new QVBoxLayout(video);
    videoLayout->setContentsMargins(0, 0, 0, 0);
    videoLayout->setSpacing(0);
    pnlBack_ = new QLabel(video);
    pnlBack_->setObjectName("pnlBack");
    pnlBack_->setAlignment(Qt::AlignCenter);
    pnlBack_->setAutoFillBackground(true);
    pnlBack_->setStyleSheet("QLabel#pnlBack { background: #808080; color: red; font: bold 8pt; }");
    pnlBack_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    videoLayout->addWidget(pnlBack_, 1);
    VideoWindow_ = new VideoWindow(graph_->graph(), pnlBack_);
    VideoWindow_->setObjectName("VideoWindow");
    graph_->setVideoWindow(VideoWindow_);
    toolBar_ = new QToolBar(video);
    toolBar_->setObjectName("ToolBar1");
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    auto style = QApplication::style();
    auto button = [&](const char* name, const QString& hint, QStyle::StandardPixmap icon,
                      void (TfrmMain::*handler)()) {
        QAction* a = toolBar_->addAction(style->standardIcon(icon), hint);
        a->setObjectName(name);
        a->setToolTip(hint);
        connect(a, &QAction::triggered, this, handler);
        return a;
    };
    btPreviousChapter_ = button("btPreviousChapter", "First channel", QStyle::SP_MediaSkipBackward,
                                &TfrmMain::btPreviousChapterClick);
    btRewind_ = button("btRewind", "Previous channel", QStyle::SP_MediaSeekBackward,
                       &TfrmMain::btRewindClick);
    btRec_ = button("btRec", "Start recording", QStyle::SP_DialogYesButton, &TfrmMain::btRecClick);
    btPause_ = button("btPause", "Pause", QStyle::SP_MediaPause, &TfrmMain::btPauseClick);
    btPlay_ = button("btPlay", "Play", QStyle::SP_MediaPlay, &TfrmMain::btPlayClick);
    btStop_ = button("btStop", "Stop", QStyle::SP_MediaStop, &TfrmMain::btStopClick);
    btFastForward_ = button("btFastForward", "Next channel", QStyle::SP_MediaSeekForward,
                            &TfrmMain::btFastForwardClick);
    btNextChapter_ = button("btNextChapter", "Last channel", QStyle::SP_MediaSkipForward,
                            &TfrmMain::btNextChapterClick);
    toolBar_->addSeparator();
    btFrameStep_ =
        toolBar_->addAction(style->standardIcon(QStyle::SP_DriveNetIcon), "Start/stop webcast");
    btFrameStep_->setObjectName("btFrameStep");
    connect(btFrameStep_, &QAction::triggered, this, [this] {
        // Clicks the menu item, which acts only while it is enabled.
        if (StartWebcast1_->isEnabled())
            StartWebcast1_->trigger();
    });
    cmbQuickChannel_ = new QComboBox;
    cmbQuickChannel_->setObjectName("cmbQuickChannel");
    cmbQuickChannel_->setFixedWidth(164);
    connect(cmbQuickChannel_, &QComboBox::activated, this, &TfrmMain::cmbQuickChannelChange);
    toolBar_->addWidget(cmbQuickChannel_);
    ToolButton1_ = button("ToolButton1", "Edit Channelname", QStyle::SP_FileDialogDetailedView,
                          &TfrmMain::lstChannelsDblClick);
    videoLayout->addWidget(toolBar_);
    pages_->addTab(video, "Video");

    // Channels.
    auto* channelsPage = new QWidget;
    auto* channelsLayout = new QVBoxLayout(channelsPage);
    lstChannels_ = new QTreeWidget(channelsPage);
    lstChannels_->setObjectName("lstChannels");
    lstChannels_->setHeaderLabels({"Nr.", "Name", "Frequency"});
    lstChannels_->setRootIsDecorated(false);
    lstChannels_->setSelectionBehavior(QAbstractItemView::SelectRows);
    lstChannels_->setSelectionMode(QAbstractItemView::SingleSelection);
    lstChannels_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstChannels_->header()->setStretchLastSection(false);
    lstChannels_->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    lstChannels_->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* edit = new QAction("&Edit", lstChannels_);
    edit->setObjectName("Edit2");
    connect(edit, &QAction::triggered, this, &TfrmMain::lstChannelsDblClick);
    lstChannels_->addAction(edit);
    connect(lstChannels_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        channels_.select(static_cast<std::size_t>(lstChannels_->indexOfTopLevelItem(item)));
        lstChannelsClick();
    });
    connect(lstChannels_, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem*) { lstChannelsDblClick(); });
    channelsLayout->addWidget(lstChannels_);
    pages_->addTab(channelsPage, "Channels");

    pages_->addTab(new QWidget, "Schedules");

    auto* prefs = new QWidget;
    auto* prefsLayout = new QVBoxLayout(prefs);
    auto combo = [](QWidget* parent, const char* name) {
        auto* box = new QComboBox(parent);
        box->setObjectName(name);
        return box;
    };
    auto* videoGroup = new QGroupBox("Video capture", prefs);
    auto* videoForm = new QFormLayout(videoGroup);
    cmbVideoCapDev_ = combo(videoGroup, "cmbVideoCapDev");
    videoForm->addRow("Capture device", cmbVideoCapDev_);
    cmbCompressionFilters_ = combo(videoGroup, "cmbCompressionFilters");
    videoForm->addRow("Compression", cmbCompressionFilters_);
    edCapFile_ = new QLineEdit(videoGroup);
    edCapFile_->setObjectName("edCapFile");
    videoForm->addRow("Capture to file", edCapFile_);
    connect(edCapFile_, &QLineEdit::textChanged, this, [this](const QString& text) {
        const QByteArray bytes = text.toUtf8();
        settings_.CapFile.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    });
    prefsLayout->addWidget(videoGroup);
    auto* audioGroup = new QGroupBox("Audio capture", prefs);
    auto* audioForm = new QFormLayout(audioGroup);
    cmbAudioCapDev_ = combo(audioGroup, "cmbAudioCapDev");
    audioForm->addRow("Capture device", cmbAudioCapDev_);
    cmbInputLines_ = combo(audioGroup, "cmbInputLines");
    audioForm->addRow("Input mixer device", cmbInputLines_);
    cmbAudioCompressionFilters_ = combo(audioGroup, "cmbAudioCompressionFilters");
    audioForm->addRow("Compression", cmbAudioCompressionFilters_);
    cmbAudioCompressionFormat_ = combo(audioGroup, "cmbAudioCompressionFormat");
    audioForm->addRow("Format", cmbAudioCompressionFormat_);
    prefsLayout->addWidget(audioGroup);
    prefsLayout->addStretch();
    pages_->addTab(prefs, "Preferences");

    pages_->addTab(new QWidget, "Web options");
    statusBar()->setObjectName("StatusBar1");
}

void TfrmMain::buildMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    QAction* exit = file->addAction("E&xit");
    exit->setObjectName("Exit1");
    exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
    connect(exit, &QAction::triggered, this, &QWidget::close);

    QMenu* view = menuBar()->addMenu("&View");
    StartWebcast1_ = view->addAction("Enable Webcast");
    StartWebcast1_->setObjectName("StartWebcast1");
    StartWebcast1_->setCheckable(true);
    // The check mark is toggled by the handler itself, as the item's click.
    connect(StartWebcast1_, &QAction::triggered, this, [this](bool) { StartWebcast1Click(); });

    QMenu* help = menuBar()->addMenu("&Help");
    QAction* about = help->addAction("&About");
    about->setObjectName("About1");
    connect(about, &QAction::triggered, this, [this] {
        if (auto* box = findChild<QDialog*>("TfrmAbout"))
            box->exec();
    });
}

void TfrmMain::buildTray() {
    tray_ = new QSystemTrayIcon(QApplication::windowIcon(), this);
    tray_->setObjectName("CoolTrayIcon1");
    trayMenu_ = new QMenu(this);
    QAction* restore = trayMenu_->addAction("Restore");
    restore->setObjectName("Restore1");
    connect(restore, &QAction::triggered, this, &TfrmMain::Restore1Click);
    trayMenu_->addSeparator();
    QAction* close = trayMenu_->addAction("Close");
    close->setObjectName("Close1");
    connect(close, &QAction::triggered, this, &QWidget::close);
    tray_->setContextMenu(trayMenu_);
    tray_->setToolTip(QApplication::applicationDisplayName());
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick)
                    CoolTrayIcon1DblClick();
            });
    tray_->show();
}

// ------------------------------------------------------ start-up, shutdown

void TfrmMain::FormCreate() {
    // 1. The error handler reports every failure from here on.
    errorHandler_.install();
    // 3. The message hook sees every command posted to the application.
    app_.installEventFilter(this);
    // 4. The command channel ("registered messages").
    commandServer_ = std::make_unique<CommandServer>(&app_);
    if (!commandServer_->listen(paths_.commandSocket()))
        qCWarning(lcApp) << "command channel:" << commandServer_->errorString();
    // 7.
    graph_->Activate();
    // 8, 9.
    settings_.CurrentChannel = 1;
    pages_->setCurrentIndex(PageVideo);
    // 10.
    LoadSettings();
    // 11.
    FillVideoCaptureDevices();
    FillVideoCompressors();
    FillAudioCaptureDevices();
    FillAudioCompressors();
    FillAudioFormats();
    FillInputLines();
    // A working file left by a recording that was killed would be deleted
    // by the first build: keep it under its final name instead.
    if (const auto kept = graph_->KeepInterruptedRecording(); !kept.empty())
        setStatusText("An interrupted recording was kept as " + fromBytes(kept.string()));
    // 12.
    graph_->RestoreGraph(paths_.dataFile());
    if (corrupted_)
        return;
    // 13. Handled once the message loop runs, after the whole start-up.
    if (startChannel_)
        QCoreApplication::postEvent(&app_,
                                    new CommandEvent({CommandKind::StartRec, *startChannel_}));
    UpdateControls();
    // 15, 16.
    SetTrayHint();
    ShowOsdText(cmbQuickChannel_->currentText());
}

void TfrmMain::FormDestroy() {
    if (shutDown_)
        return;
    shutDown_ = true;
    qCDebug(lcApp) << "shutdown";
    // 1. Errors from here on are not shown.
    errorHandler_.remove();
    // After corrupted data nothing is saved.
    if (!corrupted_) {
        try {
            // 2, 3.
            if (VideoWindow_)
                VideoWindow_->ShowOsdText(QString(), nullptr);
            if (graph_->mode() == GraphMode::Recording)
                graph_->StopRecording();
            else if (graph_->mode() == GraphMode::Webcast)
                BuildGraph(GraphMode::Preview);
            // 4.
            graph_->SaveGraph(paths_.dataFile());
        } catch (const std::exception& e) {
            qCWarning(lcApp) << "graph not saved:" << e.what();
        }
    }
    // 5.
    try {
        graph_->graph().Stop();
        graph_->graph().Deactivate();
    } catch (const std::exception& e) {
        qCWarning(lcApp) << "graph not stopped:" << e.what();
    }
    // 6.
    if (!corrupted_) {
        try {
            SaveSettings();
        } catch (const std::exception& e) {
            qCWarning(lcApp) << "settings not saved:" << e.what();
        }
    }
    // 8. A new first instance may start from here on.
    commandServer_.reset();
    if (lock_)
        lock_->release();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    FormDestroy();
    event->accept();
    QCoreApplication::quit();
}

void TfrmMain::LoadSettings() {
    try {
        machineStore_.load();
    } catch (const RegParseError& e) {
        errorHandler_.report(QString::fromUtf8(e.what()));
    }
    try {
        userStore_.load();
    } catch (const RegParseError& e) {
        errorHandler_.report(QString::fromUtf8(e.what()));
    }
    paths_.createDataDirs();
    std::vector<std::string> problems;
    qeltv::LoadSettings(userStore_, autoTune_, paths_.defaultCaptureFile(), settings_, channels_,
                        problems);
    edCapFile_->setText(fromBytes(settings_.CapFile));
    // A value of the wrong type kept its default; say so and go on.
    for (const auto& p : problems)
        errorHandler_.report(fromBytes(p));
    fillChannelView();
    FillQuickChannelBox();
}

void TfrmMain::SaveSettings() {
    qeltv::SaveSettings(userStore_, settings_, channels_);
}

// ----------------------------------------------------------- message hook

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == CommandEvent::eventType()) {
        // Every command is handled here, whatever the state.
        DispatchCommand(*this, static_cast<CommandEvent*>(event)->command());
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TfrmMain::setCurrentChannel(long channel) {
    settings_.CurrentChannel = static_cast<std::int32_t>(channel);
}

void TfrmMain::webcastCommand(bool enable) {
    StartWebcast1_->setChecked(enable);
    BuildGraph(enable ? GraphMode::Webcast : GraphMode::Preview);
}

void TfrmMain::showCouldNotStartRecording() {
    ShowBalloon("qEL TV", "Could not start recording...", QSystemTrayIcon::Critical, 10);
}

void TfrmMain::ShowBalloon(const QString& title, const QString& text,
                           QSystemTrayIcon::MessageIcon icon, int seconds) {
    qCDebug(lcApp).noquote() << "balloon:" << title << "|" << text << "| icon" << int(icon);
    // Showing a balloon replaces the one before.
    tray_->showMessage(title.left(63), text.left(255), icon, seconds * 1000);
    BalloonhintTimer_.start();
}

void TfrmMain::BalloonhintTimerTimer() {
    BalloonhintTimer_.stop();
    qCDebug(lcApp) << "balloon removed";
}

// ------------------------------------------------------------ channels

void TfrmMain::fillChannelView() {
    lstChannels_->clear();
    for (const auto& c : channels_.channels()) {
        auto* item = new QTreeWidgetItem(
            {fromBytes(c.number), fromBytes(c.name()), fromBytes(c.frequency())});
        lstChannels_->addTopLevelItem(item);
    }
    selectChannelRow(channels_.selected());
}

void TfrmMain::selectChannelRow(std::optional<std::size_t> index) {
    lstChannels_->clearSelection();
    if (index) {
        QTreeWidgetItem* item = lstChannels_->topLevelItem(static_cast<int>(*index));
        item->setSelected(true);
        lstChannels_->setCurrentItem(item);
    }
}

void TfrmMain::FillQuickChannelBox() {
    cmbQuickChannel_->clear();
    for (const auto& c : channels_.channels())
        cmbQuickChannel_->addItem(fromBytes(c.quickText()));
    const auto selected = channels_.selected();
    cmbQuickChannel_->setCurrentIndex(selected ? static_cast<int>(*selected)
                                               : (channels_.empty() ? -1 : 0));
}

QString TfrmMain::quickChannelText() const {
    return cmbQuickChannel_->currentText();
}

void TfrmMain::lstChannelsClick() {
    const auto selected = channels_.selected();
    TvTuner* tuner = graph_->tuner();
    if (tuner && selected) {
        const long number = ChannelNumberOr(channels_.at(*selected).number, 1);
        tuner->put_Channel(number, kSubChannelDefault, kSubChannelDefault);
        settings_.CurrentChannel = static_cast<std::int32_t>(number);
        cmbQuickChannel_->setCurrentIndex(static_cast<int>(*selected));
    }
    qCDebug(lcApp) << "channel chosen:" << settings_.CurrentChannel
                   << "tuner:" << (tuner != nullptr);
    SetTrayHint();
    ShowOsdText(cmbQuickChannel_->currentText());
}

void TfrmMain::btPreviousChapterClick() {
    if (channels_.selectFirst()) {
        selectChannelRow(channels_.selected());
        lstChannelsClick();
    }
}

void TfrmMain::btRewindClick() {
    if (channels_.selectPrevious()) {
        selectChannelRow(channels_.selected());
        lstChannelsClick();
    }
}

void TfrmMain::btFastForwardClick() {
    if (channels_.selectNext()) {
        selectChannelRow(channels_.selected());
        lstChannelsClick();
    }
}

void TfrmMain::btNextChapterClick() {
    if (channels_.selectLast()) {
        selectChannelRow(channels_.selected());
        lstChannelsClick();
    }
}

void TfrmMain::cmbQuickChannelChange(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= channels_.size())
        return;
    channels_.select(static_cast<std::size_t>(index));
    selectChannelRow(channels_.selected());
    lstChannelsClick();
}

void TfrmMain::lstChannelsDblClick() {
    const auto selected = channels_.selected();
    if (!selected)
        return;
    Channel& channel = channels_.at(*selected);
    TfrmEditChannelname dialog(this, fromBytes(channel.name()));
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QByteArray name = dialog.name().toUtf8();
    channel.setName(std::string(name.constData(), static_cast<std::size_t>(name.size())));
    lstChannels_->topLevelItem(static_cast<int>(*selected))->setText(1, dialog.name());
    FillQuickChannelBox();
}

void TfrmMain::SetTrayHint() {
    trayHint_ =
        (windowTitle() + " [ " + cmbQuickChannel_->currentText() + " ]").left(kMaxTrayHintLength);
    tray_->setToolTip(trayHint_);
}

void TfrmMain::ShowOsdText(const QString& text) {
    // The caption over the picture needs a known tuner.
    qCDebug(lcApp).noquote() << "caption:" << text << "tuner:" << (graph_->tuner() != nullptr);
    VideoWindow_->ShowOsdText(text, graph_->tuner());
}

// ------------------------------------------------------- graph and modes

void TfrmMain::BuildGraph(GraphMode mode) {
    graph_->BuildGraph(mode);
}

void TfrmMain::btRecClick() {
    BuildGraph(GraphMode::Recording);
}

void TfrmMain::btPauseClick() {
    graph_->Pause();
}

void TfrmMain::btPlayClick() {
    graph_->Play();
}

void TfrmMain::btStopClick() {
    graph_->Stop();
}

void TfrmMain::StartWebcast1Click() {
    // Reached by the item's own click (already toggled by Qt) and by the
    // toolbar button.
    BuildGraph(StartWebcast1_->isChecked() ? GraphMode::Webcast : GraphMode::Preview);
}

void TfrmMain::UpdateControls() {
    const GraphMode mode = graph_->mode();
    const bool preview = mode == GraphMode::Preview;
    const bool recording = mode == GraphMode::Recording;
    const bool webcast = mode == GraphMode::Webcast;
    for (QAction* a : {btPreviousChapter_, btRewind_, btFastForward_, btNextChapter_})
        a->setEnabled(preview || webcast);
    btRec_->setEnabled(preview);
    for (QAction* a : {btPause_, btPlay_, btStop_})
        a->setEnabled(preview || recording);
    StartWebcast1_->setEnabled(preview || webcast);
    btFrameStep_->setEnabled(preview || webcast);
    StartWebcast1_->setChecked(webcast);
    lstChannels_->setEnabled(preview || webcast);
    cmbQuickChannel_->setEnabled(preview || webcast);
    pages_->widget(PagePreferences)->setEnabled(preview);
}

// ------------------------------------------------------- Preferences page

void TfrmMain::bindAndAttach(FilterObject& object, DeviceCategory category, QComboBox* box) {
    // Binding re-enumerates the category and takes the moniker at the
    // position kept with the entry.
    const QVariant position = box->currentData();
    object.Detach();
    object.setMoniker(position.isValid() ? devices_.MonikerAt(category, position.toInt())
                                         : std::string());
    object.Attach();
}

static void fillDevices(QComboBox* box, const std::vector<DeviceInfo>& devices) {
    box->clear();
    for (const auto& d : devices)
        box->addItem(QString::fromStdString(d.friendlyName), d.position);
}

static QStringList entries(const QComboBox* box) {
    QStringList list;
    for (int i = 0; i < box->count(); ++i)
        list << box->itemText(i);
    return list;
}

void TfrmMain::FillVideoCaptureDevices() {
    graph_->filterVideoCap.Detach();
    fillDevices(cmbVideoCapDev_, devices_.Enumerate(DeviceCategory::VideoInput));
    cmbVideoCapDev_->setCurrentIndex(SelectBySavedName(
        entries(cmbVideoCapDev_), fromBytes(settings_.VideoCapDev), NameMatch::Last, 0));
    bindAndAttach(graph_->filterVideoCap, DeviceCategory::VideoInput, cmbVideoCapDev_);
}

void TfrmMain::FillVideoCompressors() {
    cmbCompressionFilters_->clear();
    cmbCompressionFilters_->addItem("None");
    graph_->filterVideoCompression.Detach();
    for (const auto& d : devices_.Enumerate(DeviceCategory::VideoCompressor))
        cmbCompressionFilters_->addItem(QString::fromStdString(d.friendlyName), d.position);
    cmbCompressionFilters_->setCurrentIndex(SelectBySavedName(entries(cmbCompressionFilters_),
                                                              fromBytes(settings_.VideoCompressor),
                                                              NameMatch::First, 0));
    // With "None" the compressor stays out of the graph.
    if (cmbCompressionFilters_->currentIndex() > 0)
        bindAndAttach(graph_->filterVideoCompression, DeviceCategory::VideoCompressor,
                      cmbCompressionFilters_);
}

void TfrmMain::FillAudioCaptureDevices() {
    graph_->filterAudioCap.Detach();
    fillDevices(cmbAudioCapDev_, devices_.Enumerate(DeviceCategory::AudioInput));
    cmbAudioCapDev_->setCurrentIndex(SelectBySavedName(
        entries(cmbAudioCapDev_), fromBytes(settings_.AudioCapDev), NameMatch::Last, 0));
    bindAndAttach(graph_->filterAudioCap, DeviceCategory::AudioInput, cmbAudioCapDev_);
}

void TfrmMain::FillAudioCompressors() {
    graph_->filterAudioCompression.Detach();
    fillDevices(cmbAudioCompressionFilters_, devices_.Enumerate(DeviceCategory::AudioCompressor));
    cmbAudioCompressionFilters_->setCurrentIndex(
        SelectBySavedName(entries(cmbAudioCompressionFilters_),
                          fromBytes(settings_.AudioCompressor), NameMatch::First, 0));
    bindAndAttach(graph_->filterAudioCompression, DeviceCategory::AudioCompressor,
                  cmbAudioCompressionFilters_);
}

void TfrmMain::FillAudioFormats() {
    cmbAudioCompressionFormat_->clear();
    if (Filter* compressor = graph_->filterAudioCompression.filterOrNull()) {
        // The last output pin's formats remain.
        for (Pin* pin : compressor->pins())
            if (pin->direction() == PinDirection::Output)
                audioFormats_ = pin->GetStreamCaps();
    }
    for (const auto& format : audioFormats_)
        cmbAudioCompressionFormat_->addItem(QString::fromStdString(AudioFormatText(format)));
    cmbAudioCompressionFormat_->setCurrentIndex(
        SelectBySavedName(entries(cmbAudioCompressionFormat_),
                          fromBytes(settings_.AudioCompressionFormat), NameMatch::First, 0));
}

void TfrmMain::FillInputLines() {
    Filter* audioCap = graph_->filterAudioCap.filterOrNull();
    if (!audioCap)
        return;
    cmbInputLines_->clear();
    int selected = -1;
    const auto pins = audioCap->pins();
    for (std::size_t i = 0; i < pins.size(); ++i) {
        if (pins[i]->direction() != PinDirection::Input)
            continue;
        cmbInputLines_->addItem(QString::fromStdString(pins[i]->name()), static_cast<int>(i));
        bool enabled = false;
        // A pin without the mixer counts as not enabled.
        if (pins[i]->hasMixer() && Succeeded(pins[i]->get_Enable(enabled)) && enabled)
            selected = cmbInputLines_->count() - 1;
    }
    cmbInputLines_->setCurrentIndex(selected);
}

void TfrmMain::reselectAudioCaptureDevice() {
    // cmbAudioCapDevChange: the graph stays stopped; the caller builds.
    if (cmbAudioCapDev_->currentIndex() < 0)
        return;
    graph_->graph().Stop();
    bindAndAttach(graph_->filterAudioCap, DeviceCategory::AudioInput, cmbAudioCapDev_);
    FillInputLines();
    settings_.AudioCapDev = cmbAudioCapDev_->currentText().toStdString();
}

// ------------------------------------------------------------ GraphView

void TfrmMain::setBusyCursor(bool busy) {
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TfrmMain::setBackCaption(const QString& caption) {
    pnlBack_->setText(caption);
}

void TfrmMain::setStatusText(const QString& text) {
    qCDebug(lcApp).noquote() << "status:" << text;
    statusBar()->showMessage(text);
}

void TfrmMain::showMessage(const QString& text) {
    qCDebug(lcApp).noquote() << "message:" << text;
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, this);
    box.exec();
}

void TfrmMain::showWarning(const QString& text) {
    qCDebug(lcApp).noquote() << "warning:" << text;
    QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, this);
    box.exec();
}

void TfrmMain::showBalloon(const QString& title, const QString& text, int icon, int seconds) {
    ShowBalloon(title, text, static_cast<QSystemTrayIcon::MessageIcon>(icon), seconds);
}

bool TfrmMain::videoDevicesListed() const {
    return cmbVideoCapDev_->count() > 0;
}

std::optional<int> TfrmMain::selectedInputLine() const {
    if (cmbInputLines_->currentIndex() < 0)
        return std::nullopt;
    return cmbInputLines_->currentData().toInt();
}

std::optional<MediaType> TfrmMain::selectedAudioFormat() const {
    const int i = cmbAudioCompressionFormat_->currentIndex();
    if (i < 0 || static_cast<std::size_t>(i) >= audioFormats_.size())
        return std::nullopt;
    return audioFormats_[static_cast<std::size_t>(i)];
}

void TfrmMain::endProgram() {
    // Nothing is saved on this path; the loop ends as soon as it runs.
    corrupted_ = true;
    QMetaObject::invokeMethod(&app_, &QCoreApplication::quit, Qt::QueuedConnection);
}

// ----------------------------------------------------------------- tray

void TfrmMain::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange && isMinimized())
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
