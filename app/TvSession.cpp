#include "app/TvSession.h"

#include "app/Logging.h"
#include "capture/TvTuner.h"
#include "config/DeviceSelection.h"
#include "config/VideoFormatRules.h"
#include "scheduler/TaskEditDialog.h"

#include <QCoreApplication>
#include <QThread>

#include <condition_variable>
#include <limits>
#include <mutex>

namespace qeltv {

namespace {
QString fromBytes(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

std::string toBytes(const QString& s) {
    const QByteArray bytes = s.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}
} // namespace

// ------------------------------------------------------------ ChoiceList

void ChoiceList::clear() {
    entries.clear();
    data.clear();
    selected = -1;
}

void ChoiceList::add(const QString& entry, int value) {
    entries << entry;
    data.push_back(value);
}

QString ChoiceList::selectedText() const {
    return selected >= 0 && selected < entries.size() ? entries[selected] : QString();
}

std::optional<int> ChoiceList::selectedData() const {
    if (selected < 0 || static_cast<std::size_t>(selected) >= data.size())
        return std::nullopt;
    return data[static_cast<std::size_t>(selected)];
}

// ------------------------------------------------------ start-up, shutdown

TvSession::TvSession(const Paths& paths, std::unique_ptr<InstanceLock> lock, SessionView& view)
    : paths_(paths), lock_(std::move(lock)), view_(view),
      userStore_(paths.userStore(), "HKEY_CURRENT_USER"),
      machineStore_(paths.machineStore(), "HKEY_LOCAL_MACHINE"), autoTune_(machineStore_),
      devices_(paths.cacheDir),
      schedulingAgent_(paths.dataDir / "tasks",
                       SchedulingAgent::RunnerBeside(QCoreApplication::applicationFilePath()),
                       [this](const QString& text) { showMessage(text); }),
      scheduleList_(schedulingAgent_, QCoreApplication::applicationFilePath()) {
    graph_ =
        std::make_unique<GraphBuilder>(context_, settings_, *this, static_cast<GraphView&>(*this));
    webServer_ = std::make_unique<WebServerControl>(*this);
}

TvSession::~TvSession() {
    shutdown();
    if (hookInstalled_ && QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
}

void TvSession::start(std::optional<long> startChannel, AnswerSink startAnswer) {
    QCoreApplication* app = QCoreApplication::instance();
    app->installEventFilter(this);
    hookInstalled_ = true;
    // The command channel: relays and other programs of the user post here.
    commandServer_ = std::make_unique<CommandServer>(app);
    if (!commandServer_->listen(paths_.commandSocket()))
        qCWarning(lcApp) << "command channel:" << commandServer_->errorString();
    // The program cannot go on without the agent: it ends once the start-up
    // has run to its end and the event loop runs.
    if (const SchedCode code = schedulingAgent_.ConnectSchedulingAgent(); code != sched::kOk) {
        showMessage(SchedulingAgent::ErrorText("Error in ActiveX.CoCreateInstance", code));
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
    }
    graph_->Activate();
    settings_.CurrentChannel = 1;
    LoadSettings();
    FillVideoCaptureDevices();
    FillVideoCompressors();
    FillAudioCaptureDevices();
    FillAudioCompressors();
    FillAudioFormats();
    FillInputLines();
    ListWebcastProfiles();
    // A working file left by a recording that was killed would be deleted
    // by the first build: keep it under its final name instead.
    if (const auto kept = graph_->KeepInterruptedRecording(); !kept.empty())
        view_.setStatusText("An interrupted recording was kept as " + fromBytes(kept.string()));
    graph_->RestoreGraph(paths_.dataFile());
    if (corrupted_)
        return;
    // Handled once the event loop runs, after the whole start-up.
    if (startChannel)
        QCoreApplication::postEvent(
            app, new CommandEvent({CommandKind::StartRec, *startChannel}, std::move(startAnswer)));
    refreshSchedules();
    view_.UpdateControls();
    emit changed(SessionChange::ChannelChosen);
    showChannelCaption();
}

void TvSession::shutdown() {
    if (shuttingDown_)
        return;
    shuttingDown_ = true;
    qCDebug(lcApp) << "shutdown";
    // No page acts on the session from here on: the server stops first,
    // dropping whatever its connections were waiting for.
    try {
        webServer_->StopWebServer();
    } catch (const std::exception& e) {
        qCWarning(lcApp) << "web server not stopped:" << e.what();
    }
    // After corrupted data nothing is saved.
    if (!corrupted_) {
        try {
            if (graph_->mode() == GraphMode::Recording)
                graph_->StopRecording();
            else if (graph_->mode() == GraphMode::Webcast)
                BuildGraph(GraphMode::Preview);
            graph_->SaveGraph(paths_.dataFile());
        } catch (const std::exception& e) {
            qCWarning(lcApp) << "graph not saved:" << e.what();
        }
    }
    try {
        graph_->graph().Stop();
        graph_->graph().Deactivate();
    } catch (const std::exception& e) {
        qCWarning(lcApp) << "graph not stopped:" << e.what();
    }
    if (!corrupted_) {
        try {
            SaveSettings();
        } catch (const std::exception& e) {
            // The error handler is gone by now: say it where it can be read.
            qCritical().noquote() << "qeltv: settings not saved:" << e.what();
        }
    }
    // A new first instance may start from here on.
    commandServer_.reset();
    if (lock_)
        lock_->release();
}

void TvSession::LoadSettings() {
    try {
        machineStore_.load();
    } catch (const RegParseError& e) {
        view_.reportError(QString::fromUtf8(e.what()));
    }
    try {
        userStore_.load();
    } catch (const RegParseError& e) {
        view_.reportError(QString::fromUtf8(e.what()));
    }
    paths_.createDataDirs();
    std::vector<std::string> problems;
    qeltv::LoadSettings(userStore_, autoTune_, paths_.defaultCaptureFile(), settings_, channels_,
                        problems);
    // A value of the wrong type kept its default; say so and go on.
    for (const auto& p : problems)
        view_.reportError(fromBytes(p));
    resetQuickChannelIndex();
    emit changed(SessionChange::CaptureFile);
    emit changed(SessionChange::Channels);
}

void TvSession::SaveSettings() {
    qeltv::SaveSettings(userStore_, settings_, channels_);
}

// ----------------------------------------------------------- message hook

bool TvSession::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == CommandEvent::eventType()) {
        // Every command is taken here, whatever the state; once the shutdown
        // has begun the graph is not there to act on.
        auto* command = static_cast<CommandEvent*>(event);
        if (!shuttingDown_) {
            if (const auto answer = DispatchCommand(*this, command->command()))
                command->answer(*answer);
        } else {
            qCDebug(lcApp) << "command ignored during shutdown";
            command->answer({false, {}, kRefusedClosing});
        }
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void TvSession::setCurrentChannel(long channel) {
    settings_.CurrentChannel = static_cast<std::int32_t>(channel);
}

void TvSession::showCouldNotStartRecording() {
    view_.showBalloon("qEL TV", "Could not start recording...", 3, 10);
}

// ------------------------------------------------------------- channels

QStringList TvSession::quickChannelEntries() const {
    QStringList entries;
    for (const auto& c : channels_.channels())
        entries << fromBytes(c.quickText());
    return entries;
}

QString TvSession::quickChannelText() const {
    if (quickChannelIndex_ < 0 || static_cast<std::size_t>(quickChannelIndex_) >= channels_.size())
        return QString();
    return fromBytes(channels_.at(static_cast<std::size_t>(quickChannelIndex_)).quickText());
}

void TvSession::resetQuickChannelIndex() {
    const auto selected = channels_.selected();
    quickChannelIndex_ = selected ? static_cast<int>(*selected) : (channels_.empty() ? -1 : 0);
}

void TvSession::chooseSelectedChannel() {
    const auto selected = channels_.selected();
    TvTuner* tuner = graph_->tuner();
    if (tuner && selected) {
        const long number = ChannelNumberOr(channels_.at(*selected).number, 1);
        tuner->put_Channel(number, kSubChannelDefault, kSubChannelDefault);
        settings_.CurrentChannel = static_cast<std::int32_t>(number);
        quickChannelIndex_ = static_cast<int>(*selected);
    }
    qCDebug(lcApp) << "channel chosen:" << settings_.CurrentChannel
                   << "tuner:" << (tuner != nullptr);
    emit changed(SessionChange::ChannelChosen);
    showChannelCaption();
}

void TvSession::showChannelCaption() {
    // The caption over the picture needs a known tuner.
    qCDebug(lcApp).noquote() << "caption:" << quickChannelText()
                             << "tuner:" << (graph_->tuner() != nullptr);
    if (graph_->tuner())
        view_.showOsdText(quickChannelText());
}

void TvSession::stepTo(bool moved) {
    if (!moved)
        return;
    emit changed(SessionChange::ChannelChosen);
    chooseSelectedChannel();
}

void TvSession::firstChannel() {
    stepTo(channels_.selectFirst());
}

void TvSession::previousChannel() {
    stepTo(channels_.selectPrevious());
}

void TvSession::nextChannel() {
    stepTo(channels_.selectNext());
}

void TvSession::lastChannel() {
    stepTo(channels_.selectLast());
}

void TvSession::chooseQuickChannel(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= channels_.size())
        return;
    channels_.select(static_cast<std::size_t>(index));
    stepTo(true);
}

void TvSession::selectChannel(std::optional<std::size_t> index) {
    if (index && *index >= channels_.size())
        return;
    if (channels_.selected() == index)
        return;
    channels_.select(index);
    emit changed(SessionChange::ChannelChosen);
}

void TvSession::renameChannel(std::size_t index, const QString& name) {
    if (index >= channels_.size())
        return;
    channels_.at(index).setName(toBytes(name));
    // The quick-channel box is filled again and shows the selected row.
    resetQuickChannelIndex();
    emit changed(SessionChange::Channels);
}

SessionSnapshot TvSession::snapshot() const {
    SessionSnapshot s;
    s.mode = graph_->mode();
    s.currentChannel = settings_.CurrentChannel;
    s.channels = channels_.channels();
    s.selectedChannel = channels_.selected();
    s.quickChannelText = quickChannelText();
    s.web = webOptions_;
    s.captureFile = settings_.CapFile;
    s.schedules = scheduleList_.rows();
    return s;
}

// ------------------------------------------------------------- auto-tune

namespace {
constexpr const char* kEraseChannelsQuestion =
    "Autotune will erase the list of current channels, and starts tuning \r\nfor tv channels "
    "from scratch. Are you sure you want to continue ?";
} // namespace

void TvSession::abortAutoTune() {
    if (runningScan_ && runningScan_->running())
        runningScan_->abort();
}

void TvSession::btnAutoTuneClick(AutoTuneView& view, AutoTuneMode mode) {
    if (runningScan_) {
        abortAutoTune();
        return;
    }
    if (shuttingDown_)
        return;
    if (!channels_.empty() &&
        view.askYesNoCancel(kEraseChannelsQuestion) != AutoTuneView::Answer::Yes)
        return;
    // The window may have been closed while the question was open.
    TvTuner* tuner = graph_->tuner();
    if (shuttingDown_ || !tuner)
        return;
    // The preview keeps running: the picture follows the scan.
    graph_->setMode(GraphMode::AutoTuning);
    view_.UpdateControls();
    AutoTuneScan scan(view, [this] {
        resetQuickChannelIndex();
        emit changed(SessionChange::Channels);
    });
    runningScan_ = &scan;
    std::optional<QString> failure;
    try {
        if (mode == AutoTuneMode::CableGrid)
            scan.CableGridScan(*tuner, channels_, settings_.TuningSpace);
        else
            scan.ContinuousScan(*tuner, autoTune_, channels_, settings_.TuningSpace);
    } catch (const RegError& e) {
        // Reported once the program is back in preview.
        failure = "Auto-tune store not written: " + QString::fromUtf8(e.what());
    } catch (const std::exception& e) {
        failure = QString::fromUtf8(e.what());
    }
    runningScan_ = nullptr;
    qCDebug(lcApp) << "auto-tune ended after" << scan.steps() << "steps," << channels_.size()
                   << "channels";
    view.setProgress(0);
    if (!channels_.empty()) {
        channels_.selectFirst();
        chooseSelectedChannel();
    }
    resetQuickChannelIndex();
    emit changed(SessionChange::Channels);
    graph_->setMode(GraphMode::Preview);
    view_.UpdateControls();
    if (failure)
        view_.reportError(*failure);
}

// ------------------------------------------------------- graph and modes

void TvSession::BuildGraph(GraphMode mode) {
    graph_->BuildGraph(mode);
    if (mode == GraphMode::Recording && graph_->mode() == GraphMode::Recording)
        ++recordingNumber_;
}

QByteArray TvSession::recordingName() const {
    if (graph_->mode() != GraphMode::Recording)
        return {};
    return QByteArray::number(QCoreApplication::applicationPid()) + '.' +
           QByteArray::number(static_cast<qlonglong>(recordingNumber_));
}

void TvSession::record() {
    BuildGraph(GraphMode::Recording);
}

void TvSession::pause() {
    graph_->Pause();
}

void TvSession::play() {
    graph_->Play();
}

void TvSession::stop() {
    graph_->Stop();
}

void TvSession::setWebcast(bool enable) {
    BuildGraph(enable ? GraphMode::Webcast : GraphMode::Preview);
}

void TvSession::setCaptureFile(const QString& file) {
    const std::string bytes = toBytes(file);
    if (bytes == settings_.CapFile)
        return;
    settings_.CapFile = bytes;
    emit changed(SessionChange::CaptureFile);
}

void TvSession::ToggleFullScreen() {
    graph_->VideoWindow.setFullScreen(!graph_->VideoWindow.fullScreen());
}

void TvSession::ExitFullScreen() {
    if (graph_->VideoWindow.fullScreen())
        ToggleFullScreen();
}

void TvSession::setKeepAspectRatio(bool keep) {
    graph_->VideoWindow.setKeepAspectRatio(keep);
}

// ------------------------------------------------------------- schedules

void TvSession::refreshSchedules() {
    scheduleList_.Refresh();
    emit changed(SessionChange::Schedules);
}

void TvSession::useProgram(const QString& programPath) {
    scheduleList_.setProgramPath(programPath);
    schedulingAgent_.setRunner(SchedulingAgent::RunnerBeside(programPath));
}

void TvSession::addSchedule(const ScheduleItemValues& values) {
    if (scheduleList_.AddSchedule(values))
        emit changed(SessionChange::Schedules);
}

void TvSession::startScheduleNow(const QString& name) {
    scheduleList_.Startnow(name);
    emit changed(SessionChange::Schedules);
}

void TvSession::deleteSchedule(const QString& name) {
    scheduleList_.Delete(name);
    emit changed(SessionChange::Schedules);
}

void TvSession::editSchedule(const QString& name, QWidget* owner) {
    TaskEditDialogEditor editor(owner);
    scheduleList_.Edit(name, editor);
    emit changed(SessionChange::Schedules);
}

void TvSession::showMessage(const QString& text) {
    qCDebug(lcApp).noquote() << "message:" << text;
    view_.showMessageBox(SessionView::Box::Plain, text, !handedOver());
}

void TvSession::showWarning(const QString& text) {
    qCDebug(lcApp).noquote() << "warning:" << text;
    view_.showMessageBox(SessionView::Box::Warning, text, !handedOver());
}

void TvSession::endProgram() {
    // Nothing is saved on this path.
    corrupted_ = true;
    view_.endProgram();
}

// ------------------------------------------------------- Preferences lists

void TvSession::bindAndAttach(FilterObject& object, DeviceCategory category,
                              const ChoiceList& list) {
    // Binding re-enumerates the category and takes the moniker at the
    // position kept with the entry.
    const auto position = list.selectedData();
    object.Detach();
    object.setMoniker(position && *position >= 0 ? devices_.MonikerAt(category, *position)
                                                 : std::string());
    object.Attach();
}

void TvSession::fillDevices(ChoiceList& list, DeviceCategory category, const std::string& saved,
                            bool lastMatch) {
    list.clear();
    for (const auto& d : devices_.Enumerate(category))
        list.add(QString::fromStdString(d.friendlyName), d.position);
    list.selected = SelectBySavedName(list.entries, fromBytes(saved),
                                      lastMatch ? NameMatch::Last : NameMatch::First, 0);
}

void TvSession::FillVideoCaptureDevices() {
    graph_->filterVideoCap.Detach();
    fillDevices(videoCapDevices_, DeviceCategory::VideoInput, settings_.VideoCapDev, true);
    bindAndAttach(graph_->filterVideoCap, DeviceCategory::VideoInput, videoCapDevices_);
    emit changed(SessionChange::Preferences);
}

void TvSession::FillVideoCompressors() {
    videoCompressors_.clear();
    videoCompressors_.add("None", -1);
    graph_->filterVideoCompression.Detach();
    for (const auto& d : devices_.Enumerate(DeviceCategory::VideoCompressor))
        videoCompressors_.add(QString::fromStdString(d.friendlyName), d.position);
    videoCompressors_.selected = SelectBySavedName(
        videoCompressors_.entries, fromBytes(settings_.VideoCompressor), NameMatch::First, 0);
    // With "None" the compressor stays out of the graph.
    if (videoCompressors_.selected > 0)
        bindAndAttach(graph_->filterVideoCompression, DeviceCategory::VideoCompressor,
                      videoCompressors_);
    emit changed(SessionChange::Preferences);
}

void TvSession::FillAudioCaptureDevices() {
    graph_->filterAudioCap.Detach();
    fillDevices(audioCapDevices_, DeviceCategory::AudioInput, settings_.AudioCapDev, true);
    bindAndAttach(graph_->filterAudioCap, DeviceCategory::AudioInput, audioCapDevices_);
    emit changed(SessionChange::Preferences);
}

void TvSession::FillAudioCompressors() {
    graph_->filterAudioCompression.Detach();
    fillDevices(audioCompressors_, DeviceCategory::AudioCompressor, settings_.AudioCompressor,
                false);
    bindAndAttach(graph_->filterAudioCompression, DeviceCategory::AudioCompressor,
                  audioCompressors_);
    emit changed(SessionChange::Preferences);
}

void TvSession::FillAudioFormats() {
    audioFormatNames_.clear();
    if (Filter* compressor = graph_->filterAudioCompression.filterOrNull()) {
        // The last output pin's formats remain.
        for (Pin* pin : compressor->pins())
            if (pin->direction() == PinDirection::Output)
                audioFormats_ = pin->GetStreamCaps();
    }
    const QStringList entries = AudioFormatEntries(audioFormats_);
    for (int i = 0; i < entries.size(); ++i)
        audioFormatNames_.add(entries[i], i);
    audioFormatNames_.selected =
        SelectBySavedName(audioFormatNames_.entries, fromBytes(settings_.AudioCompressionFormat),
                          NameMatch::First, 0);
    emit changed(SessionChange::Preferences);
}

void TvSession::FillInputLines() {
    Filter* audioCap = graph_->filterAudioCap.filterOrNull();
    if (!audioCap)
        return;
    inputLines_.clear();
    const auto pins = audioCap->pins();
    for (std::size_t i = 0; i < pins.size(); ++i) {
        if (pins[i]->direction() != PinDirection::Input)
            continue;
        inputLines_.add(QString::fromStdString(pins[i]->name()), static_cast<int>(i));
        bool enabled = false;
        // A pin without the mixer counts as not enabled.
        if (pins[i]->hasMixer() && Succeeded(pins[i]->get_Enable(enabled)) && enabled)
            inputLines_.selected = static_cast<int>(inputLines_.entries.size()) - 1;
    }
    emit changed(SessionChange::Preferences);
}

void TvSession::ListWebcastProfiles() {
    webcastProfiles_.clear();
    const auto& profiles = WebcastProfiles();
    for (std::size_t i = 0; i < profiles.size(); ++i) {
        if (profiles[i].streamCount != kListedProfileStreamCount)
            continue;
        webcastProfiles_.add(QString::fromUtf8(profiles[i].displayName), static_cast<int>(i));
        if (static_cast<int>(i) == webOptions_.profileIndex)
            webcastProfiles_.selected = static_cast<int>(webcastProfiles_.entries.size()) - 1;
    }
    // Selecting the first entry here leaves the profile index as it is.
    if (webcastProfiles_.selected < 0 && !webcastProfiles_.empty())
        webcastProfiles_.selected = 0;
}

void TvSession::cmbWebcastProfileChange(int entry) {
    if (entry < 0 || entry >= static_cast<int>(webcastProfiles_.data.size()))
        return;
    webcastProfiles_.selected = entry;
    webOptions_.profileIndex = webcastProfiles_.data[static_cast<std::size_t>(entry)];
}

std::optional<MediaType> TvSession::selectedAudioFormat() const {
    const auto i = audioFormatNames_.selectedData();
    if (!i || *i < 0 || static_cast<std::size_t>(*i) >= audioFormats_.size())
        return std::nullopt;
    return audioFormats_[static_cast<std::size_t>(*i)];
}

void TvSession::reselectAudioCaptureDevice() {
    // The graph stays stopped; the caller builds.
    if (audioCapDevices_.selected < 0)
        return;
    graph_->graph().Stop();
    bindAndAttach(graph_->filterAudioCap, DeviceCategory::AudioInput, audioCapDevices_);
    FillInputLines();
    settings_.AudioCapDev = toBytes(audioCapDevices_.selectedText());
}

// ------------------------------------------------ Preferences handlers

namespace {
// Selects an entry of a list: -1, or one out of range, selects none.
void Choose(ChoiceList& list, int index) {
    list.selected = index >= 0 && index < list.entries.size() ? index : -1;
}
} // namespace

void TvSession::cmbVideoCapDevChange(int index) {
    Choose(videoCapDevices_, index);
    if (videoCapDevices_.selected >= 0) {
        graph_->graph().Stop();
        bindAndAttach(graph_->filterVideoCap, DeviceCategory::VideoInput, videoCapDevices_);
        // The next build finds the new device's tuner and crossbar.
        graph_->forgetDevices();
        settings_.VideoCapDev = toBytes(videoCapDevices_.selectedText());
        BuildGraph(GraphMode::Preview);
    }
    emit changed(SessionChange::Preferences);
}

void TvSession::cmbCompressionFiltersChange(int index) {
    Choose(videoCompressors_, index);
    graph_->graph().Stop();
    if (videoCompressors_.selected >= 0) {
        graph_->filterVideoCompression.Detach();
        const QString text = videoCompressors_.selectedText();
        // With "None" the compressor stays out of the graph.
        if (text.compare("None", Qt::CaseInsensitive) != 0)
            bindAndAttach(graph_->filterVideoCompression, DeviceCategory::VideoCompressor,
                          videoCompressors_);
        settings_.VideoCompressor = toBytes(text);
        BuildGraph(GraphMode::Preview);
    }
    emit changed(SessionChange::Preferences);
}

void TvSession::cmbAudioCapDevChange(int index) {
    Choose(audioCapDevices_, index);
    reselectAudioCaptureDevice();
    emit changed(SessionChange::Preferences);
}

void TvSession::cmbAudioCompressionFiltersChange(int index) {
    Choose(audioCompressors_, index);
    graph_->graph().Stop();
    graph_->filterAudioCompression.Detach();
    if (audioCompressors_.selected >= 0) {
        bindAndAttach(graph_->filterAudioCompression, DeviceCategory::AudioCompressor,
                      audioCompressors_);
        settings_.AudioCompressor = toBytes(audioCompressors_.selectedText());
        FillAudioFormats();
        BuildGraph(GraphMode::Preview);
    }
    emit changed(SessionChange::Preferences);
}

void TvSession::cmbAudioCompressionFormatChange(int index) {
    Choose(audioFormatNames_, index);
    graph_->graph().Stop();
    if (const auto format = selectedAudioFormat()) {
        // The recording build applies the chosen format again; a pin that
        // refuses it keeps its own.
        if (Filter* compressor = graph_->filterAudioCompression.filterOrNull())
            for (Pin* pin : compressor->pins())
                if (pin->direction() == PinDirection::Output && pin->hasStreamConfig())
                    pin->SetFormat(*format);
        settings_.AudioCompressionFormat = toBytes(audioFormatNames_.selectedText());
    }
    graph_->graph().Run();
    emit changed(SessionChange::Preferences);
}

void TvSession::cmbInputLinesChange(int index) {
    Choose(inputLines_, index);
    if (const auto position = inputLines_.selectedData()) {
        if (Filter* audioCap = graph_->filterAudioCap.filterOrNull()) {
            const auto pins = audioCap->pins();
            if (*position >= 0 && static_cast<std::size_t>(*position) < pins.size() &&
                pins[static_cast<std::size_t>(*position)]->hasMixer())
                pins[static_cast<std::size_t>(*position)]->put_Enable(true);
        }
        settings_.InputLine = toBytes(inputLines_.selectedText());
        BuildGraph(GraphMode::Preview);
    }
    emit changed(SessionChange::Preferences);
}

void TvSession::btnVideoCapConfigureClick() {
    if (Filter* videoCap = graph_->filterVideoCap.filterOrNull())
        view_.showCaptureDeviceProperties(*videoCap);
}

void TvSession::btnCrossbarClick() {
    if (Crossbar* crossbar = graph_->crossbar())
        view_.showCrossbarProperties(*crossbar);
}

void TvSession::btnCompressConfigClick() {
    Filter* compressor = graph_->filterVideoCompression.filterOrNull();
    if (!compressor)
        return;
    graph_->graph().Stop();
    view_.showCompressorProperties(*compressor);
    graph_->graph().Run();
}

void TvSession::btnAudioCapDevConfigureClick() {
    Filter* audioCap = graph_->filterAudioCap.filterOrNull();
    if (!audioCap)
        return;
    graph_->graph().Stop();
    view_.showAudioDeviceProperties(*audioCap);
    FillInputLines();
    BuildGraph(GraphMode::Preview);
}

void TvSession::btnPreviewFormatClick() {
    showVideoFormat(true);
}

void TvSession::btnCaptureFormatClick() {
    showVideoFormat(false);
}

void TvSession::showVideoFormat(bool preview) {
    Pin* pin = preview ? graph_->previewPin() : graph_->capturePin();
    if (!pin)
        return;
    graph_->graph().Stop();
    view_.showVideoFormat(*pin);
    // OK or Cancel: the pin's format is what every later build applies.
    MediaType format;
    pin->GetFormat(format);
    const std::int64_t duration = format.video.AvgTimePerFrame;
    if (duration < std::numeric_limits<std::int32_t>::min() ||
        duration > std::numeric_limits<std::int32_t>::max())
        throw RangeCheckError();
    if (preview) {
        settings_.PreviewWidth = format.video.biWidth;
        settings_.PreviewHeight = format.video.biHeight;
        settings_.PreviewFramerate = static_cast<std::int32_t>(duration);
        view_.setStatusText(QString::fromStdString(MediaTypeText(format)));
        graph_->VideoWindow.ApplyAspectRatio();
    } else {
        settings_.CaptureWidth = format.video.biWidth;
        settings_.CaptureHeight = format.video.biHeight;
        settings_.CaptureFramerate = static_cast<std::int32_t>(duration);
    }
    graph_->graph().Run();
}

void TvSession::ShowTunerProperties() {
    if (TvTuner* tuner = graph_->tuner())
        view_.showTunerProperties(*tuner);
}

// ------------------------------------------------------------- hand-off

namespace {
// One piece of work on its way to the GUI thread, shared by the waiting
// thread and the queued call: either may be the last to let go of it.
struct HandOffState {
    enum class Stage { Queued, Running, Done, Dropped };
    std::mutex mutex;
    std::condition_variable changed;
    Stage stage = Stage::Queued;
    std::exception_ptr error;
};
} // namespace

bool TvSession::handOff(std::function<void()> work, const std::stop_token& stop) {
    // A connection that is being stopped asks for nothing any more.
    if (stop.stop_requested())
        return false;
    if (QThread::currentThread() == thread()) {
        work();
        return true;
    }
    auto state = std::make_shared<HandOffState>();
    using Stage = HandOffState::Stage;
    QMetaObject::invokeMethod(
        this,
        [this, state, work = std::move(work)] {
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                // The caller gave up before the work started: it never runs.
                if (state->stage == Stage::Dropped)
                    return;
                state->stage = Stage::Running;
            }
            ++handedOverDepth_;
            try {
                work();
            } catch (...) {
                state->error = std::current_exception();
            }
            --handedOverDepth_;
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->stage = Stage::Done;
            }
            state->changed.notify_all();
        },
        Qt::QueuedConnection);
    // Registered before the wait takes the lock: when the stop was requested
    // already, the callback runs right here.
    std::stop_callback onStop(stop, [state] {
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->stage == Stage::Queued)
                state->stage = Stage::Dropped;
        }
        state->changed.notify_all();
    });
    std::unique_lock<std::mutex> lock(state->mutex);
    state->changed.wait(lock, [&] {
        return state->stage == Stage::Done || state->stage == Stage::Dropped ||
               stop.stop_requested();
    });
    if (state->stage != Stage::Done)
        return false;
    if (state->error)
        std::rethrow_exception(state->error);
    return true;
}

} // namespace qeltv
