#include "app/session/TvSession.h"

#include "app/Logging.h"

#include "common/Utf8.h"
#include <QCoreApplication>

namespace qeltv {

// ------------------------------------------------------ start-up, shutdown

TvSession::TvSession(const Paths& paths, std::unique_ptr<InstanceLock> lock, SessionView& view)
    : paths_(paths), lock_(std::move(lock)), view_(view),
      userStore_(paths.userStore(), "HKEY_CURRENT_USER"),
      machineStore_(paths.machineStore(), "HKEY_LOCAL_MACHINE"), autoTuneStore_(machineStore_),
      devices_(paths.cacheDir), preferences_(
                                    graph_, devices_, settings_, view_,
                                    [this](GraphMode mode) { BuildGraph(mode); }, notifier()),
      graph_(context_, settings_, preferences_, webcast_, static_cast<GraphView&>(*this)),
      tuning_(channels_, graph_, view_, notifier()),
      autoTune_(channels_, settings_, autoTuneStore_, graph_, tuning_, view_, notifier(),
                [this] { return shuttingDown_; }),
      schedules_(
          paths.dataDir / "tasks", QCoreApplication::applicationFilePath(),
          [this](const QString& text) { showMessage(text); }, notifier()),
      webServer_(std::make_unique<WebServerControl>(webcast_.options(), handOff_,
                                                    static_cast<WebSessionSteps&>(*this))) {}

TvSession::~TvSession() {
    shutdown();
    if (hookInstalled_ && QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
}

SessionNotify TvSession::notifier() {
    return [this](SessionChange what) { emit changed(what); };
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
    if (const SchedCode code = schedules_.connectAgent(); code != sched::kOk) {
        showMessage(SchedulingAgent::ErrorText("Error in ActiveX.CoCreateInstance", code));
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
    }
    graph_.Activate();
    settings_.CurrentChannel = 1;
    LoadSettings();
    preferences_.fillAll();
    webcast_.ListWebcastProfiles();
    // A working file left by a recording that was killed would be deleted
    // by the first build: keep it under its final name instead.
    if (const auto kept = graph_.KeepInterruptedRecording(); !kept.empty())
        view_.setStatusText("An interrupted recording was kept as " + fromUtf8(kept.string()));
    graph_.RestoreGraph(paths_.dataFile());
    if (corrupted_)
        return;
    // Handled once the event loop runs, after the whole start-up.
    if (startChannel)
        QCoreApplication::postEvent(
            app, new CommandEvent({CommandKind::StartRec, *startChannel}, std::move(startAnswer)));
    schedules_.refreshSchedules();
    view_.UpdateControls();
    emit changed(SessionChange::ChannelChosen);
    tuning_.showChannelCaption();
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
            if (graph_.mode() == GraphMode::Recording)
                graph_.StopRecording();
            else if (graph_.mode() == GraphMode::Webcast)
                BuildGraph(GraphMode::Preview);
            graph_.SaveGraph(paths_.dataFile());
        } catch (const std::exception& e) {
            qCWarning(lcApp) << "graph not saved:" << e.what();
        }
    }
    try {
        graph_.graph().Stop();
        graph_.graph().Deactivate();
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
    qeltv::LoadSettings(userStore_, autoTuneStore_, paths_.defaultCaptureFile(), settings_,
                        channels_, problems);
    webcast_.loadIcecast(settings_.Icecast);
    // A value of the wrong type kept its default; say so and go on.
    for (const auto& p : problems)
        view_.reportError(fromUtf8(p));
    tuning_.resetQuickChannel();
    emit changed(SessionChange::CaptureFile);
    emit changed(SessionChange::Channels);
}

void TvSession::SaveSettings() {
    settings_.Icecast = webcast_.storedIcecast();
    qeltv::SaveSettings(userStore_, settings_, channels_);
}

// ------------------------------------------------------ message hook

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

void TvSession::recordCommand(long channel) {
    settings_.CurrentChannel = static_cast<std::int32_t>(channel);
    record();
}

void TvSession::channelCommand(CommandKind step) {
    switch (step) {
    case CommandKind::FirstChannel:
        tuning_.firstChannel();
        break;
    case CommandKind::PreviousChannel:
        tuning_.previousChannel();
        break;
    case CommandKind::NextChannel:
        tuning_.nextChannel();
        break;
    case CommandKind::LastChannel:
        tuning_.lastChannel();
        break;
    default:
        break;
    }
}

void TvSession::showCouldNotStartRecording() {
    view_.showBalloon("qEL TV", "Could not start recording...", 3, 10);
}

// ------------------------------------------------------ the web pages

web::PageState TvSession::pageStep(const std::string& action,
                                   std::optional<ScheduleReading> schedules) {
    // The mode is the one when the step runs, not when it was asked.
    if (const auto command = WebCommand(action))
        DispatchCommand(*this, *command);
    if (schedules)
        schedules_.showSchedules(std::move(*schedules));
    web::PageState state;
    state.graphMode = ToInt(graph_.mode());
    state.captureFile = settings_.CapFile;
    state.backCaption = toUtf8(backCaption_);
    state.webcastPort = webcast_.options().webcastPort;
    for (const ScheduleRow& row : schedules_.rows())
        state.schedules.push_back({toUtf8(row.name), toUtf8(row.cells[0]), toUtf8(row.cells[1]),
                                   toUtf8(row.cells[2]), toUtf8(row.cells[3])});
    return state;
}

SessionSnapshot TvSession::snapshot() const {
    SessionSnapshot s;
    s.mode = graph_.mode();
    s.currentChannel = settings_.CurrentChannel;
    s.channels = channels_.channels();
    s.selectedChannel = channels_.selected();
    s.quickChannelText = tuning_.quickChannelText();
    s.web = webcast_.options();
    s.captureFile = settings_.CapFile;
    s.schedules = schedules_.rows();
    return s;
}

// ------------------------------------------------------- graph and modes

void TvSession::BuildGraph(GraphMode mode) {
    // A new recording has its new name while it is being built: the build
    // reports the controls' change, where the end of the last one is seen.
    if (mode == GraphMode::Recording)
        ++recordingNumber_;
    graph_.BuildGraph(mode);
}

void TvSession::UpdateControls() {
    // Every end of a recording passes here, whatever ended it; the peer
    // that started it (a relay waiting for its time to end) is told.
    const QByteArray current = recordingName();
    if (!shownRecording_.isEmpty() && shownRecording_ != current && commandServer_)
        commandServer_->recordingEnded(shownRecording_);
    shownRecording_ = current;
    view_.UpdateControls();
}

QByteArray TvSession::recordingName() const {
    if (graph_.mode() != GraphMode::Recording)
        return {};
    return QByteArray::number(QCoreApplication::applicationPid()) + '.' +
           QByteArray::number(static_cast<qlonglong>(recordingNumber_));
}

void TvSession::record() {
    BuildGraph(GraphMode::Recording);
}

void TvSession::pause() {
    graph_.Pause();
}

void TvSession::play() {
    graph_.Play();
}

void TvSession::stop() {
    graph_.Stop();
}

void TvSession::setWebcast(bool enable) {
    BuildGraph(enable ? GraphMode::Webcast : GraphMode::Preview);
}

void TvSession::setCaptureFile(const QString& file) {
    const std::string bytes = toUtf8(file);
    if (bytes == settings_.CapFile)
        return;
    settings_.CapFile = bytes;
    emit changed(SessionChange::CaptureFile);
}

void TvSession::ToggleFullScreen() {
    graph_.VideoWindow.setFullScreen(!graph_.VideoWindow.fullScreen());
}

void TvSession::ExitFullScreen() {
    if (graph_.VideoWindow.fullScreen())
        ToggleFullScreen();
}

void TvSession::setKeepAspectRatio(bool keep) {
    graph_.VideoWindow.setKeepAspectRatio(keep);
}

// ------------------------------------------------------------- messages

void TvSession::showMessage(const QString& text) {
    qCDebug(lcApp).noquote() << "message:" << text;
    view_.showMessageBox(SessionView::Box::Plain, text, !handOff_.handedOver());
}

void TvSession::showWarning(const QString& text) {
    qCDebug(lcApp).noquote() << "warning:" << text;
    view_.showMessageBox(SessionView::Box::Warning, text, !handOff_.handedOver());
}

void TvSession::endProgram() {
    // Nothing is saved on this path.
    corrupted_ = true;
    view_.endProgram();
}

} // namespace qeltv
