// The session core: the state of the first instance and every operation on
// it, without a widget. The main window owns it and is a view of it; the
// message hook, the web pages, the scheduler and the auto-tune scan call the
// same operations. Everything here belongs to the GUI thread; other threads
// reach it only through runOnGuiThread.
#pragma once

#include "app/Commands.h"
#include "app/Paths.h"
#include "app/SingleInstance.h"
#include "app/WebServerControl.h"
#include "capture/AutoTuneScan.h"
#include "capture/Devices.h"
#include "capture/GraphBuilder.h"
#include "capture/VirtualTvCard.h"
#include "scheduler/ScheduleList.h"
#include "settings/AutoTuneStore.h"
#include "settings/ChannelList.h"
#include "settings/RegStore.h"
#include "settings/Settings.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <vector>

namespace qeltv {

// One list of the Preferences page as data: its entries, what each entry
// stands for (a device's enumeration position, a pin index; -1 for none)
// and the selected entry (-1 for none).
struct ChoiceList {
    QStringList entries;
    std::vector<int> data;
    int selected = -1;

    void clear();
    void add(const QString& entry, int value);
    bool empty() const { return entries.isEmpty(); }
    QString selectedText() const;
    std::optional<int> selectedData() const;
};

// The values of the "Web options" page; read when a webcast or the web server
// starts, never stored.
struct WebOptions {
    static constexpr int kDefaultWebcastPort = 8080;
    static constexpr int kDefaultMaxClients = 1;
    static constexpr int kDefaultWebServerPort = 80;

    int webcastPort = kDefaultWebcastPort;
    int maxClients = kDefaultMaxClients;
    int profileIndex = 0;
    int webServerPort = kDefaultWebServerPort;
    QString userName;
    QString password;
};

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

// The parts of the session a change notification is about.
enum class SessionChange {
    Channels,      // the channel list's rows (and so the quick-channel entries)
    ChannelChosen, // the selection, the current channel, the quick-channel entry
    Preferences,   // the device, compressor, format and input line lists
    CaptureFile,   // the capture file name
    Schedules,     // the schedule list's rows
};

// What the session shows; the main window implements it.
class SessionView {
public:
    virtual ~SessionView() = default;
    virtual void setBusyCursor(bool busy) = 0;
    virtual void setBackCaption(const QString& caption) = 0;
    virtual void showVideoWindow(bool visible) = 0;
    virtual void setStatusText(const QString& text) = 0;
    // The control-state update for the graph mode.
    virtual void UpdateControls() = 0;
    enum class Box { Plain, Warning };
    // A message box with only OK. With wait false the box is shown without
    // holding the caller (an operation that a web request started): the
    // person at the screen still sees it.
    virtual void showMessageBox(Box kind, const QString& text, bool wait) = 0;
    // The application-wide error handler.
    virtual void reportError(const QString& what) = 0;
    // A tray balloon; icon 0 none, 1 information, 2 warning, 3 error.
    virtual void showBalloon(const QString& title, const QString& text, int icon, int seconds) = 0;
    // The caption over the picture for five seconds; the session asks only
    // when the tuner is known.
    virtual void showOsdText(const QString& text) = 0;
    // Ends the program at once, saving nothing (the corrupted-data path).
    virtual void endProgram() = 0;
    // The configuration dialogs of the Preferences page and F12, modal and
    // owned by the main window; each returns once its dialog has closed. A
    // view without dialogs shows none.
    virtual void showCaptureDeviceProperties(Filter&) {}
    virtual void showAudioDeviceProperties(Filter&) {}
    virtual void showCompressorProperties(Filter&) {}
    virtual void showCrossbarProperties(Crossbar&) {}
    virtual void showTunerProperties(TvTuner&) {}
    // The video format dialog for a pin; throws what the dialog's OK failed
    // with (a frame duration out of range).
    virtual void showVideoFormat(Pin&) {}
};

class TvSession : public QObject, public CommandTarget, public GraphChoices, private GraphView {
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

    // --- state
    const Paths& paths() const { return paths_; }
    GraphBuilder& graphBuilder() { return *graph_; }
    const GraphBuilder& graphBuilder() const { return *graph_; }
    VirtualTvCard& virtualCard() { return card_; }
    const Settings& settings() const { return settings_; }
    const ChannelList& channels() const { return channels_; }
    long currentChannel() const { return settings_.CurrentChannel; }
    QStringList quickChannelEntries() const;
    int quickChannelIndex() const { return quickChannelIndex_; }
    QString quickChannelText() const;
    const WebOptions& webOptions() const { return webOptions_; }
    // The caption of the video panel as the last build left it.
    const QString& backCaption() const { return backCaption_; }

    // --- the internal web server
    // Listens as the web options say now; the reason when it cannot (it then
    // stays inactive), empty when it runs.
    QString StartWebServer() { return webServer_->StartWebServer(); }
    // Throws web::HttpServerError ("Terminate Thread Timeout") when a
    // connection does not end in time; the server then stays active.
    void StopWebServer() { webServer_->StopWebServer(); }
    bool webServerActive() const { return webServer_->active(); }
    std::uint16_t webServerPort() const { return webServer_->port(); }
    void setWebOptions(const WebOptions& options) { webOptions_ = options; }
    SessionSnapshot snapshot() const;

    const ChoiceList& videoCaptureDevices() const { return videoCapDevices_; }
    const ChoiceList& videoCompressors() const { return videoCompressors_; }
    const ChoiceList& audioCaptureDevices() const { return audioCapDevices_; }
    const ChoiceList& audioCompressors() const { return audioCompressors_; }
    const ChoiceList& audioFormats() const { return audioFormatNames_; }
    const ChoiceList& inputLines() const { return inputLines_; }

    // --- channels
    // Tunes the selected channel and makes it the current one.
    void chooseSelectedChannel();
    void firstChannel();
    void previousChannel();
    void nextChannel();
    void lastChannel();
    void chooseQuickChannel(int index);
    // Follows the list view's highlighted row, without tuning.
    void selectChannel(std::optional<std::size_t> index);
    void renameChannel(std::size_t index, const QString& name);

    // --- graph and transport
    void BuildGraph(GraphMode mode);
    void record();
    void pause();
    void play();
    void stop();
    // The "Enable Webcast" item: webcast mode when enabled, else preview.
    void setWebcast(bool enable);
    // "Enable Webcast" as a click: its check mark, which the control-state
    // update keeps equal to webcast mode, is toggled and the mode built.
    void StartWebcast1Click() { setWebcast(graph_->mode() != GraphMode::Webcast); }
    void setCaptureFile(const QString& file);

    // --- video window: the renderer keeps both states, so they survive
    // every rebuild; the window follows them.
    void ToggleFullScreen();
    // Leaves full screen; nothing happens when not in it.
    void ExitFullScreen();
    bool fullScreen() const { return graph_->VideoWindow.fullScreen(); }
    // Letterboxed when on, stretched to the window when off (at start).
    void setKeepAspectRatio(bool keep);
    bool keepAspectRatio() const { return graph_->VideoWindow.keepAspectRatio(); }

    // --- schedules
    // Reads the schedule list again, as when its page is shown. From another
    // thread: runOnGuiThread([&] { s.refreshSchedules(); return
    // s.snapshot().schedules; }, stop).
    void refreshSchedules();
    const std::vector<ScheduleRow>& scheduleRows() const { return scheduleList_.rows(); }
    // The program that new schedules start and whose schedules are listed:
    // this program unless told otherwise; the agent's runner is the one
    // beside it.
    void useProgram(const QString& programPath);
    // The add-schedule command once the schedule dialog was accepted: writes
    // the task and refreshes. Throws what ScheduleList::AddSchedule throws.
    void addSchedule(const ScheduleItemValues& values);
    // The schedule dialog's line about where the runner lives (empty when
    // the program runs installed).
    QString scheduleRunnerNote() const {
        return SchedulingAgent::BuildFolderNote(schedulingAgent_.runner());
    }
    // The schedule list's commands on the named task, each ending in a
    // refresh; "Edit" shows the agent's dialog owned by `owner`.
    void startScheduleNow(const QString& name);
    void deleteSchedule(const QString& name);
    void editSchedule(const QString& name, QWidget* owner);

    // --- auto-tune
    // The "&AutoTune" button: aborts the running scan; otherwise asks before
    // a non-empty list is erased, then runs the chosen scan in graph mode
    // auto-tuning and ends in preview with the first channel chosen. When the
    // auto-tune store cannot be written, the scan still ends that way and the
    // failure then goes to the error handler.
    void btnAutoTuneClick(AutoTuneView& view, AutoTuneMode mode);
    // A scan is in progress, running or aborting.
    bool autoTuneInProgress() const { return runningScan_ != nullptr; }
    // Stops the running scan at its next check, as the button's abort does.
    void abortAutoTune();

    // --- Preferences start-up fills
    void FillVideoCaptureDevices();
    void FillVideoCompressors();
    void FillAudioCaptureDevices();
    void FillAudioCompressors();
    void FillAudioFormats();
    void FillInputLines();

    // --- Preferences change handlers: index is the chosen entry, -1 for
    // none. Each keeps the choice's name in the settings.
    // Binds the video capture device; the graph is rebuilt in preview.
    void cmbVideoCapDevChange(int index);
    // Binds the compressor, or none for "None"; rebuilt in preview.
    void cmbCompressionFiltersChange(int index);
    // Binds the audio device and refills the input lines; the graph stays
    // stopped until the next build or Play.
    void cmbAudioCapDevChange(int index);
    // Binds the audio compressor and refills its formats; rebuilt in preview.
    void cmbAudioCompressionFiltersChange(int index);
    // Sets the format on the compressor's output; stopped and run again.
    void cmbAudioCompressionFormatChange(int index);
    // Switches the input line on; rebuilt in preview.
    void cmbInputLinesChange(int index);

    // --- Preferences buttons
    // The capture device's dialog; the graph runs on.
    void btnVideoCapConfigureClick();
    // The crossbar's dialog when a crossbar is known; the graph runs on.
    void btnCrossbarClick();
    // The compressor's dialog; the graph is stopped and run again.
    void btnCompressConfigClick();
    // The audio device's dialog, then its input lines again; rebuilt in
    // preview.
    void btnAudioCapDevConfigureClick();
    // The video format dialog for the preview or capture pin: the pin's
    // format is read back whatever the dialog's end, the graph run again.
    // Throws RangeCheckError ("Range check error") for a frame duration
    // beyond a signed 32-bit number; the graph then stays stopped.
    void btnPreviewFormatClick();
    void btnCaptureFormatClick();
    // F12: the tuner's dialog; nothing without a known tuner.
    void ShowTunerProperties();
    // The webcast profile list: the profiles of one video and one audio
    // stream, each with its index; the current profile index selected, else
    // the first entry, without changing the index.
    void ListWebcastProfiles();
    const ChoiceList& webcastProfiles() const { return webcastProfiles_; }
    // The profile index := the index stored with the entry.
    void cmbWebcastProfileChange(int entry);

    // CommandTarget, for the message hook.
    GraphMode graphMode() const override { return graph_->mode(); }
    QByteArray recordingName() const override;
    void setCurrentChannel(long channel) override;
    void recordCommand() override { record(); }
    void stopCommand() override { stop(); }
    void playCommand() override { play(); }
    void webcastCommand(bool enable) override { setWebcast(enable); }
    void showCouldNotStartRecording() override;

    // GraphChoices, for the graph builder.
    bool videoDevicesListed() const override { return !videoCapDevices_.empty(); }
    std::optional<int> selectedInputLine() const override { return inputLines_.selectedData(); }
    std::optional<MediaType> selectedAudioFormat() const override;
    int webcastPort() const override { return webOptions_.webcastPort; }
    int webcastMaxClients() const override { return webOptions_.maxClients; }
    int webcastProfileIndex() const override { return webOptions_.profileIndex; }
    void reselectAudioCaptureDevice() override;

    // Runs `work` on the GUI thread and waits for it, from any thread.
    // Gives up as soon as `stop` is requested: work not yet started is then
    // dropped, never run later, and false is returned. Work that runs checks
    // the state (the graph mode) when it runs, which may be inside a modal
    // loop. A message box it raises does not hold it. An exception it
    // throws is thrown again to the caller. Called on the GUI thread, the
    // work runs at once.
    bool handOff(std::function<void()> work, const std::stop_token& stop);
    // The same, with the work's result; empty when it was dropped.
    template <class Work>
    auto runOnGuiThread(Work work, const std::stop_token& stop)
        -> std::optional<std::invoke_result_t<Work&>> {
        using Result = std::invoke_result_t<Work&>;
        // Shared: a caller that gives up on stop leaves before the work ends.
        auto result = std::make_shared<std::optional<Result>>();
        if (!handOff([result, work = std::move(work)]() mutable { result->emplace(work()); }, stop))
            return std::nullopt;
        return std::move(*result);
    }

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
    void UpdateControls() override { view_.UpdateControls(); }
    void showMessage(const QString& text) override;
    void showBalloon(const QString& title, const QString& text, int icon, int seconds) override {
        view_.showBalloon(title, text, icon, seconds);
    }
    void showWarning(const QString& text) override;
    void endProgram() override;

    void LoadSettings();
    void SaveSettings();
    void stepTo(bool moved);
    void resetQuickChannelIndex();
    void showChannelCaption();
    void bindAndAttach(FilterObject& object, DeviceCategory category, const ChoiceList& list);
    void fillDevices(ChoiceList& list, DeviceCategory category, const std::string& saved,
                     bool lastMatch);
    void showVideoFormat(bool preview);
    // Whether the running code was handed over by another thread.
    bool handedOver() const { return handedOverDepth_ > 0; }

    Paths paths_;
    std::unique_ptr<InstanceLock> lock_;
    SessionView& view_;
    RegFile userStore_;
    RegFile machineStore_;
    AutoTuneStore autoTune_;
    Settings settings_;
    ChannelList channels_;
    VirtualTvCard card_;
    CaptureContext context_{card_, autoTune_};
    DeviceEnumerator devices_;
    std::unique_ptr<GraphBuilder> graph_;
    std::unique_ptr<CommandServer> commandServer_;

    ChoiceList videoCapDevices_;
    ChoiceList videoCompressors_;
    ChoiceList audioCapDevices_;
    ChoiceList audioCompressors_;
    ChoiceList audioFormatNames_;
    std::vector<MediaType> audioFormats_;
    ChoiceList inputLines_;
    ChoiceList webcastProfiles_;
    int quickChannelIndex_ = -1;
    // The scan in progress, owned by btnAutoTuneClick's frame.
    AutoTuneScan* runningScan_ = nullptr;
    WebOptions webOptions_;
    QString backCaption_;
    // Declared last: its connections reach the session until it is gone.
    std::unique_ptr<WebServerControl> webServer_;
    SchedulingAgent schedulingAgent_;
    ScheduleList scheduleList_;

    // Recordings started in this process; with the process id it names the
    // recording in progress.
    long recordingNumber_ = 0;
    bool hookInstalled_ = false;
    bool shuttingDown_ = false;
    bool corrupted_ = false;
    int handedOverDepth_ = 0;
};

} // namespace qeltv
