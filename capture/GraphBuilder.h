// The capture graph in its modes: BuildGraph tears the graph down to its
// fixed members and wires it again for preview, recording or webcast; the
// transport calls run, pause and stop it; StopRecording finishes a
// recording under its final name; SaveGraph and RestoreGraph keep the whole
// graph across runs in the data file.
//
// What the builder shows goes to a GraphView; what it reads of the
// Preferences choices comes from GraphChoices, and of the webcast options
// from WebcastChoices. All are the session core's,
// so the logic runs and is tested without a window.
#pragma once

#include "capture/DroppedFrames.h"
#include "capture/FilterGraph.h"
#include "capture/FilterObject.h"
#include "capture/GraphMode.h"
#include "capture/IcecastPublisher.h"
#include "capture/MediaType.h"
#include "capture/RecordingRepairs.h"
#include "capture/VideoRenderer.h"
#include "capture/WebmWriter.h"

#include <QDateTime>
#include <QString>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <optional>

namespace qeltv {

struct Settings;

// What graph building shows: output only.
class GraphView {
public:
    virtual ~GraphView() = default;
    virtual void setBusyCursor(bool busy) = 0;
    // The caption of the grey panel behind the video window (pnlBack).
    virtual void setBackCaption(const QString& caption) = 0;
    // Shows or hides the video window over pnlBack.
    virtual void showVideoWindow(bool visible) = 0;
    virtual void setStatusText(const QString& text) = 0;
    // The control-state update for the graph mode.
    virtual void UpdateControls() = 0;
    // A plain message box.
    virtual void showMessage(const QString& text) = 0;
    // A tray balloon; icon 0 none, 1 information, 2 warning, 3 error.
    virtual void showBalloon(const QString& title, const QString& text, int icon, int seconds) = 0;
    // A warning message box with only OK.
    virtual void showWarning(const QString& text) = 0;
    // Ends the program at once, saving nothing (the corrupted-data path).
    virtual void endProgram() = 0;
};

// The Preferences choices the builder reads.
class GraphChoices {
public:
    virtual ~GraphChoices() = default;
    // Whether the video capture device list has entries.
    virtual bool videoDevicesListed() const = 0;
    // The pin index stored with the selected input line, if one is selected.
    virtual std::optional<int> selectedInputLine() const = 0;
    // The media type of the selected audio format, if one is selected.
    virtual std::optional<MediaType> selectedAudioFormat() const = 0;
    // The audio capture device selection again (re-creates the filter and
    // refills the input lines), as restoring the saved graph asks for it.
    virtual void reselectAudioCaptureDevice() = 0;
};

// The webcast options the builder reads when it builds a webcast.
class WebcastChoices {
public:
    virtual ~WebcastChoices() = default;
    virtual int webcastPort() const = 0;
    // "Max number of clients" and the webcast profile index.
    virtual int webcastMaxClients() const = 0;
    virtual int webcastProfileIndex() const = 0;
    // Where the webcast is published besides its own port: nothing when
    // publishing is off, or when its address is not good (then `error`
    // says why).
    virtual std::optional<IcecastTarget> icecastTarget(std::string& error) const {
        error.clear();
        return std::nullopt;
    }
};

class GraphBuilder {
    // Declared first: the filter objects below register with the graph.
    CaptureContext& context_;
    Settings& settings_;
    GraphChoices& choices_;
    const WebcastChoices& webcast_;
    GraphView& view_;
    FilterGraph graph_;

public:
    static constexpr const char* kBuildErrorText =
        "There was an error while building the graph. Please check your configuration. "
        "Exception: ";
    static constexpr const char* kCorruptedDataText =
        "Corrupted data detected in configuration file ( qeltv.dat ). \r\n\r\nqEL TV will "
        "now close. Please restart the application";
    static constexpr int kWebcastWidth = 320;
    static constexpr int kWebcastHeight = 240;
    static constexpr std::int32_t kWebcastFrameDuration = 400000;

    GraphBuilder(CaptureContext& context, Settings& settings, GraphChoices& choices,
                 const WebcastChoices& webcast, GraphView& view);
    ~GraphBuilder();

    FilterGraph& graph() { return graph_; }
    GraphMode mode() const { return mode_; }
    // Auto-tuning sets its mode directly.
    void setMode(GraphMode mode) { mode_ = mode; }

    FilterObject filterVideoCap;
    FilterObject filterVideoCompression;
    FilterObject filterAudioCap;
    FilterObject filterAudioCompression;
    FilterObject filterAVIMux;
    FilterObject filterAVIOut;
    FilterObject filterNull;
    // The preview renderer; the window paints what it receives.
    VideoRenderer VideoWindow;
    // The webcast writer, attached only in webcast mode.
    WebmWriter ASFWriter;

    // Activates the graph and attaches the fixed members (AVI Mux, File
    // Writer, Null Renderer).
    void Activate();
    void BuildGraph(GraphMode mode);
    void RouteTunerAudio();
    void StopRecording();
    // Moves a non-empty working file left by a recording that never ended
    // to its final name, stamped with the file's last change, and repairs
    // it in the background; returns where it is kept (the working file
    // itself when it cannot be renamed), or an empty path when there was
    // nothing to keep.
    std::filesystem::path KeepInterruptedRecording();
    // The working file holds a recording that could not be renamed: no
    // build deletes it and no recording starts over it until it is moved.
    bool workingFileHeld() const { return workingFileHeld_; }
    // Waits for the repairs of recordings under way.
    void waitForRepairs() { repairs_.waitForAll(); }
    // The transport buttons.
    void Play();
    void Pause();
    void Stop();
    void SaveGraph(const std::filesystem::path& dataFile);
    void RestoreGraph(const std::filesystem::path& dataFile);

    // Known devices of the graph (found by the first build that lacks them).
    TvTuner* tuner() const { return tuner_; }
    Crossbar* crossbar() const { return crossbar_; }
    TvAudio* tvAudio() const { return tvAudio_; }
    // A change of video capture device forgets them.
    void forgetDevices();
    // Tunes the known tuner to `channel` and makes it the current channel;
    // every build, the restore and the channel list tune through here.
    // False, and nothing changed, without a known tuner.
    bool tuneTo(long channel);

    Pin* previewPin() const { return previewPin_; }
    Pin* capturePin() const { return capturePin_; }
    const MediaType& previewFormat() const { return previewFormat_; }
    const MediaType& captureFormat() const { return captureFormat_; }
    const QDateTime& recordingStart() const { return recordingStart_; }
    // The name of the last finished recording, empty when none.
    const std::filesystem::path& lastRecording() const { return lastRecording_; }

    // "<capture file without extension>_<yyyymmddhhnnss><extension>".
    static std::filesystem::path FinalName(const std::string& captureFile, const QDateTime& start);

private:
    void buildSteps(GraphMode mode);
    // The wiring of each mode, between the teardown and the tuning.
    void wirePreview(Filter& videoCap);
    void wireRecording(Filter& videoCap, Filter& audioCap);
    void wireWebcast(Filter& videoCap, Filter& audioCap);
    // Publishes the writer's stream to the Icecast server when that is asked for.
    void startPublishing();
    void onStreamError(const QString& message);
    // Ends a recording; `reason` says why when the stream failed.
    void finishRecording(const QString& reason);
    // Gives the recording its final name, or keeps it where it can.
    void keepRecording(const std::filesystem::path& finalName, const QString& reason);
    // Whether the working file is still there, holding the recording.
    bool checkWorkingFileHeld();
    QString workingFileHeldText() const;
    void onRepairProgress(const std::filesystem::path& file, int percent);
    void onRepairFinished(const std::filesystem::path& file, const AviRepairResult& result);
    // The status bar text of the build, with the frames a recording lost
    // so far after it.
    void showDroppedFrames();
    // "recording <file>: <n> of <m> frames dropped", in the log.
    void logDroppedFrames(const std::filesystem::path& file);
    // "Webcast: could not open port <n>: <reason>".
    QString webcastPortError() const;
    GraphMode mode_ = GraphMode::Preview;
    Pin* previewPin_ = nullptr;
    Pin* capturePin_ = nullptr;
    MediaType previewFormat_;
    MediaType captureFormat_;
    TvTuner* tuner_ = nullptr;
    Crossbar* crossbar_ = nullptr;
    TvAudio* tvAudio_ = nullptr;
    QDateTime recordingStart_;
    std::filesystem::path lastRecording_;
    bool workingFileHeld_ = false;
    // Why the last recording stopped early, said again when its repair ends.
    QString stopReason_;
    // The text the build put in the status bar.
    QString buildStatus_;
    // The frames the running recording loses, and how often the status bar
    // says so.
    std::unique_ptr<DroppedFrames> droppedFrames_;
    std::uint64_t droppedShown_ = 0;
    QTimer droppedReport_;
    // While a webcast runs: its publishing to an Icecast server. Declared
    // after the writer, so it goes first.
    std::unique_ptr<StreamPublisher> publisher_;
    // Why the webcast is not published as asked, empty when it is.
    QString publishError_;
    // Declared last: its destructor waits for the threads that report here.
    RecordingRepairs repairs_;
};

} // namespace qeltv
