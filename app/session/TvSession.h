// The session core: the state of the first instance and every operation on
// it, without a widget. The main window owns it and is a view of it; the
// message hook, the web pages, the scheduler and the auto-tune scan call the
// same operations. The session owns the graph, the stores and the command
// channel, holds the graph mode, and wires the feature objects together:
// the capture preferences, the channels and their tuning, the auto-tune
// run, the webcast options, the schedules and the web server. Everything
// here belongs to the GUI thread; other threads reach it only through the
// hand-off.
#pragma once

#include "app/Paths.h"
#include "app/SingleInstance.h"
#include "app/session/AutoTuneRun.h"
#include "app/session/CapturePreferences.h"
#include "app/session/ChannelTuning.h"
#include "app/session/Commands.h"
#include "app/session/GuiHandOff.h"
#include "app/session/Schedules.h"
#include "app/session/SessionView.h"
#include "app/session/WebServerControl.h"
#include "app/session/WebcastOptions.h"
#include "capture/AudioEncoderTrials.h"
#include "capture/Devices.h"
#include "capture/GraphBuilder.h"
#include "capture/VirtualTvCard.h"
#include "settings/AutoTuneStore.h"
#include "settings/ChannelList.h"
#include "settings/RegStore.h"
#include "settings/Settings.h"

#include <QObject>

#include <memory>
#include <optional>
#include <vector>

namespace qeltv {

// What a page reads, taken in one call so that every tag of a page sees the
// same state.
struct SessionSnapshot {
    GraphMode mode = GraphMode::Preview;
    long currentChannel = 1;
    std::vector<Channel> channels;
    std::optional<std::size_t> selectedChannel;
    QString quickChannelText;
    WebOptions web;
    std::string captureFile;
    // The schedule list's rows as the last refresh left them.
    std::vector<ScheduleRow> schedules;
};

class TvSession : public QObject, public CommandTarget, private GraphView, private WebSessionSteps {
    Q_OBJECT
public:
    // The session takes the instance lock and keeps it until the very end of
    // its shutdown.
    TvSession(const Paths& paths, std::unique_ptr<InstanceLock> lock, SessionView& view);
    ~TvSession() override;

    // The start-up: the message hook and the command channel, the graph,
    // the settings and channels, the Preferences lists, the saved graph or a
    // new preview; a start for recording posts its command to itself, to be
    // handled once the event loop runs, and `startAnswer` hears what became
    // of it (also when the program closes before it is handled).
    void start(std::optional<long> startChannel, AnswerSink startAnswer = {});
    // The shutdown: a recording is finished, a webcast ended, the graph
    // saved and stopped, the settings written, and the lock released. Runs
    // once; commands that arrive from here on are ignored.
    void shutdown();
    bool shuttingDown() const { return shuttingDown_; }

    // --- the feature objects
    CapturePreferences& preferences() { return preferences_; }
    const CapturePreferences& preferences() const { return preferences_; }
    ChannelTuning& tuning() { return tuning_; }
    const ChannelTuning& tuning() const { return tuning_; }
    AutoTuneRun& autoTune() { return autoTune_; }
    WebcastOptions& webcast() { return webcast_; }
    const WebcastOptions& webcast() const { return webcast_; }
    Schedules& schedules() { return schedules_; }
    WebServerControl& webServer() { return *webServer_; }
    const WebServerControl& webServer() const { return *webServer_; }
    GuiHandOff& guiThread() { return handOff_; }

    // --- state
    const Paths& paths() const { return paths_; }
    GraphBuilder& graphBuilder() { return graph_; }
    const GraphBuilder& graphBuilder() const { return graph_; }
    // The preview renderer, which the window's video widget paints.
    VideoRenderer& renderer() { return graph_.VideoWindow; }
    VirtualTvCard& virtualCard() { return card_; }
    const Settings& settings() const { return settings_; }
    const ChannelList& channels() const { return channels_; }
    long currentChannel() const { return settings_.CurrentChannel; }
    // The caption of the video panel as the last build left it.
    const QString& backCaption() const { return backCaption_; }
    SessionSnapshot snapshot() const;

    // --- graph and transport
    void BuildGraph(GraphMode mode);
    void record();
    void pause();
    void play();
    void stop();
    // The "Enable Webcast" item: webcast mode when enabled, else preview.
    void setWebcast(bool enable);
    void setCaptureFile(const QString& file);

    // --- video window: the renderer keeps both states, so they survive
    // every rebuild; the window follows them.
    void ToggleFullScreen();
    // Leaves full screen; nothing happens when not in it.
    void ExitFullScreen();
    bool fullScreen() const { return graph_.VideoWindow.fullScreen(); }
    // Letterboxed when on, stretched to the window when off (at start).
    void setKeepAspectRatio(bool keep);
    bool keepAspectRatio() const { return graph_.VideoWindow.keepAspectRatio(); }

    // CommandTarget, for the message hook and the web pages.
    GraphMode graphMode() const override { return graph_.mode(); }
    QByteArray recordingName() const override;
    void recordCommand(long channel) override;
    void stopCommand() override { stop(); }
    void playCommand() override { play(); }
    void webcastCommand(bool enable) override { setWebcast(enable); }
    void channelCommand(CommandKind step) override;
    void showCouldNotStartRecording() override;

signals:
    void changed(SessionChange what);

protected:
    // The message hook: every command posted to the application.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // GraphView, for the graph builder: forwarded to the session's view.
    void setBusyCursor(bool busy) override { view_.setBusyCursor(busy); }
    void setBackCaption(const QString& caption) override {
        backCaption_ = caption;
        view_.setBackCaption(caption);
    }
    void showVideoWindow(bool visible) override { view_.showVideoWindow(visible); }
    void setStatusText(const QString& text) override { view_.setStatusText(text); }
    void UpdateControls() override;
    void showMessage(const QString& text) override;
    void showBalloon(const QString& title, const QString& text, int icon, int seconds) override {
        view_.showBalloon(title, text, icon, seconds);
    }
    void showWarning(const QString& text) override;
    void endProgram() override;

    // WebSessionSteps, for the web server's pages.
    ScheduleReading readSchedules() override { return schedules_.readSchedules(); }
    web::PageState pageStep(const std::string& action,
                            std::optional<ScheduleReading> schedules) override;

    void LoadSettings();
    void SaveSettings();
    SessionNotify notifier();

    Paths paths_;
    std::unique_ptr<InstanceLock> lock_;
    SessionView& view_;
    GuiHandOff handOff_;
    RegFile userStore_;
    RegFile machineStore_;
    AutoTuneStore autoTuneStore_;
    Settings settings_;
    ChannelList channels_;
    VirtualTvCard card_;
    AudioEncoderTrials audioTrials_;
    CaptureContext context_{card_, autoTuneStore_, &audioTrials_};
    DeviceEnumerator devices_;
    WebcastOptions webcast_;
    // Bound to the graph builder declared after it, which it does not touch
    // before the start-up.
    CapturePreferences preferences_;
    GraphBuilder graph_;
    ChannelTuning tuning_;
    AutoTuneRun autoTune_;
    std::unique_ptr<CommandServer> commandServer_;
    QString backCaption_;
    Schedules schedules_;
    // Declared last: its connections reach the session until it is gone.
    std::unique_ptr<WebServerControl> webServer_;

    // Recordings started in this process; with the process id it names the
    // recording in progress.
    long recordingNumber_ = 0;
    // The recording that the controls last showed running.
    QByteArray shownRecording_;
    bool hookInstalled_ = false;
    bool shuttingDown_ = false;
    bool corrupted_ = false;
};

} // namespace qeltv
