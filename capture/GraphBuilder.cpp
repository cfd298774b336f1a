#include "capture/GraphBuilder.h"

#include "capture/GraphPersistence.h"
#include "capture/RecordingFile.h"
#include "common/Ascii.h"
#include "settings/Settings.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <cerrno>
#include <cstring>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcGraph, "qeltv.capture.graph", QtWarningMsg)

namespace qeltv {

namespace {
// How often the status bar catches up with the frames a recording lost.
constexpr int kDroppedFramesReport_ms = 1000;
} // namespace

GraphBuilder::GraphBuilder(CaptureContext& context, Settings& settings, GraphChoices& choices,
                           const WebcastChoices& webcast, GraphView& view)
    : context_(context), settings_(settings), choices_(choices), webcast_(webcast), view_(view),
      graph_(context), filterVideoCap(graph_, "filterVideoCap"),
      filterVideoCompression(graph_, "filterVideoCompression"),
      filterAudioCap(graph_, "filterAudioCap"),
      filterAudioCompression(graph_, "filterAudioCompression"),
      filterAVIMux(graph_, "filterAVIMux"), filterAVIOut(graph_, "filterAVIOut"),
      filterNull(graph_, "filterNull"), VideoWindow(graph_), ASFWriter(graph_),
      repairs_([this](const std::filesystem::path& file,
                      int percent) { onRepairProgress(file, percent); },
               [this](const std::filesystem::path& file, const AviRepairResult& result) {
                   onRepairFinished(file, result);
               }) {
    filterAVIMux.setMoniker(kAviMuxMoniker);
    filterAVIOut.setMoniker(kFileWriterMoniker);
    filterNull.setMoniker(kNullRendererMoniker);
    QObject::connect(&graph_, &FilterGraph::streamError, &graph_,
                     [this](const QString& message) { onStreamError(message); });
    droppedReport_.setInterval(kDroppedFramesReport_ms);
    QObject::connect(&droppedReport_, &QTimer::timeout, &graph_, [this] { showDroppedFrames(); });
}

GraphBuilder::~GraphBuilder() {
    // The counters go before the graph: no streaming thread may still count.
    graph_.Stop();
    droppedFrames_.reset();
}

bool GraphBuilder::tuneTo(long channel) {
    if (!tuner_)
        return false;
    // Tuner results are not examined.
    tuner_->put_Channel(channel, kSubChannelDefault, kSubChannelDefault);
    settings_.CurrentChannel = static_cast<std::int32_t>(channel);
    qCDebug(lcGraph) << "tuned channel" << channel << "tuning space" << settings_.TuningSpace;
    return true;
}

void GraphBuilder::forgetDevices() {
    tuner_ = nullptr;
    crossbar_ = nullptr;
    tvAudio_ = nullptr;
}

void GraphBuilder::Activate() {
    graph_.Activate();
    for (FilterObject* object : {&filterAVIMux, &filterAVIOut, &filterNull})
        object->Attach();
}

void GraphBuilder::BuildGraph(GraphMode mode) {
    // Without a video capture device there is no graph to build.
    if (!choices_.videoDevicesListed())
        return;
    // A recording that could not be renamed is never recorded over.
    if (mode == GraphMode::Recording && checkWorkingFileHeld()) {
        qCDebug(lcGraph) << "recording refused: the working file holds a recording";
        view_.setStatusText(workingFileHeldText());
        view_.showMessage(QString("Recording refused: %1 holds an earlier recording that could "
                                  "not be renamed. Move it elsewhere, then record again.")
                              .arg(QString::fromStdString(settings_.CapFile)));
        return;
    }
    view_.setBusyCursor(true);
    try {
        buildSteps(mode);
    } catch (const std::exception& e) {
        // Nothing is rolled back: the mode keeps its new value.
        qCDebug(lcGraph) << "build failed:" << e.what();
        view_.setBusyCursor(false);
        view_.showMessage(QString::fromUtf8(kBuildErrorText) + QString::fromUtf8(e.what()));
        return;
    }
    view_.setBusyCursor(false);
}

void GraphBuilder::buildSteps(GraphMode mode) {
    mode_ = mode;
    qCDebug(lcGraph) << "graph mode" << ToInt(mode);
    view_.setBackCaption(QString());
    previewPin_ = nullptr;
    capturePin_ = nullptr;
    droppedReport_.stop();
    graph_.Stop();
    // Stopped: no streaming thread counts any more.
    droppedFrames_.reset();
    droppedShown_ = 0;
    // The capture pins and their formats before the teardown.
    const bool videoDevice = !filterVideoCap.moniker().empty();
    if (videoDevice && filterVideoCap.hasFilter()) {
        previewPin_ = FilterGraph::FindPinByName(filterVideoCap.filter(), "Preview");
        capturePin_ = FilterGraph::FindPinByName(filterVideoCap.filter(), "Capture");
    }
    if (previewPin_)
        previewPin_->GetFormat(previewFormat_);
    if (capturePin_)
        capturePin_->GetFormat(captureFormat_);
    // Down to the fixed members: every link goes, and so does every filter
    // that wiring inserted. These objects are used as filters here: one that
    // holds none fails the build.
    graph_.DisconnectAll();
    for (FilterObject* object : {&filterVideoCap, &filterAudioCap, &filterAudioCompression,
                                 &filterAVIMux, &filterAVIOut, &filterNull})
        object->filter();
    graph_.RemoveUnownedFilters();
    // Every file starts from a new muxer and writer: a muxer that wrote a
    // file keeps counting that file's streams after their pins are gone,
    // and refuses the picture of the next one.
    filterAVIMux.Renew();
    filterAVIOut.Renew();
    // The renderer joins again only for a preview, the writer only for a
    // webcast: leaving webcast mode closes its port and every client.
    publisher_.reset();
    publishError_.clear();
    ASFWriter.Detach();
    VideoWindow.Detach();

    if (videoDevice) {
        Filter& videoCap = filterVideoCap.filter();
        Filter& audioCap = filterAudioCap.filter();
        // The chosen audio input line is switched on before anything flows.
        if (const auto line = choices_.selectedInputLine()) {
            const auto pins = audioCap.pins();
            if (*line >= 0 && *line < static_cast<int>(pins.size()))
                pins[static_cast<std::size_t>(*line)]->put_Enable(true);
        }
        switch (mode) {
        case GraphMode::Preview:
            wirePreview(videoCap);
            break;
        case GraphMode::Recording:
            wireRecording(videoCap, audioCap);
            break;
        case GraphMode::Webcast:
            wireWebcast(videoCap, audioCap);
            break;
        case GraphMode::AutoTuning:
            break;
        }
        // The tuner belongs to the capture filter, so it needs no
        // reconnection of its own; the first build that lacks them finds it
        // and the crossbar.
        if (!crossbar_)
            crossbar_ = graph_.FindCrossbar(videoCap);
        if (!tuner_)
            tuner_ = graph_.FindTuner(videoCap);
        // Every build tunes to the current channel; tuner results are not
        // examined.
        if (crossbar_)
            settings_.Crossbar = crossbar_->name().substr(0, kMaxFilterNameLength);
        if (tuner_) {
            settings_.TVTuner = tuner_->name().substr(0, kMaxFilterNameLength);
            tuner_->put_CountryCode(kCountryCodeWesternEurope);
            tuner_->put_TuningSpace(settings_.TuningSpace);
            tuner_->put_Mode(TunerMode::TV);
            tuner_->put_InputType(0, TunerInputType::Cable);
            tuneTo(settings_.CurrentChannel);
        }
        // The working file never survives a rebuild, unless it holds a
        // recording that could not be renamed.
        const std::filesystem::path capFile = settings_.CapFile;
        std::error_code ec;
        if (!checkWorkingFileHeld() && !capFile.empty() && std::filesystem::exists(capFile, ec)) {
            std::filesystem::remove(capFile, ec);
            qCDebug(lcGraph) << "deleted" << capFile.c_str();
        }
        filterAVIOut.filter().SetFileName(settings_.CapFile);
        if (mode == GraphMode::Recording) {
            // The recording starts now: the audio format chosen on the
            // Preferences page, then the muxer into the file writer.
            recordingStart_ = QDateTime::currentDateTime();
            if (const auto format = choices_.selectedAudioFormat()) {
                for (Pin* pin : filterAudioCompression.filter().pins())
                    if (pin->direction() == PinDirection::Output)
                        pin->SetFormat(*format);
            }
            graph_.RenderStream(PinCategory::None, MediaKind::Any, &filterAVIMux.filter(), nullptr,
                                &filterAVIOut.filter());
            if (capturePin_)
                droppedFrames_ = std::make_unique<DroppedFrames>(*capturePin_);
            view_.showBalloon("qEL TV", "Recording started", 1, 10);
        }
    }
    // The preview format from the settings; the status bar shows it.
    if (previewPin_) {
        previewFormat_.video.biWidth = settings_.PreviewWidth;
        previewFormat_.video.biHeight = settings_.PreviewHeight;
        previewFormat_.video.AvgTimePerFrame = settings_.PreviewFramerate;
        previewPin_->SetFormat(previewFormat_);
        buildStatus_ = QString::fromStdString(MediaTypeText(previewFormat_));
        view_.setStatusText(buildStatus_);
    }
    // A recording held in the working file stays in sight until it is moved.
    if (workingFileHeld_)
        view_.setStatusText(workingFileHeldText());
    // The capture format from the settings; a webcast has its own size and
    // rate.
    if (capturePin_) {
        const bool webcast = mode == GraphMode::Webcast;
        captureFormat_.video.biWidth = webcast ? kWebcastWidth : settings_.CaptureWidth;
        captureFormat_.video.biHeight = webcast ? kWebcastHeight : settings_.CaptureHeight;
        captureFormat_.video.AvgTimePerFrame =
            webcast ? kWebcastFrameDuration : settings_.CaptureFramerate;
        capturePin_->SetFormat(captureFormat_);
    }
    // A port that could not be opened is a webcast no one can reach: said
    // where the user looks, not only in the caption.
    if (mode == GraphMode::Webcast && !ASFWriter.networkSinkError().empty())
        view_.setStatusText(webcastPortError());
    if (mode == GraphMode::Webcast && !publishError_.isEmpty())
        view_.setStatusText(publishError_);
    view_.UpdateControls();
    graph_.Run();
    if (droppedFrames_)
        droppedReport_.start();
    // Tuner sound reaches the audio decoder unless something else is routed.
    if (crossbar_)
        RouteTunerAudio();
}

void GraphBuilder::wirePreview(Filter& videoCap) {
    view_.showVideoWindow(true);
    VideoWindow.Attach();
    graph_.RenderStream(PinCategory::Preview, MediaKind::Video, &videoCap, nullptr,
                        &VideoWindow.filter());
    VideoWindow.ApplyAspectRatio();
}

void GraphBuilder::wireRecording(Filter& videoCap, Filter& audioCap) {
    view_.setBackCaption("Recording in progress...");
    graph_.RenderStream(PinCategory::Capture, MediaKind::Video, &videoCap,
                        filterVideoCompression.filterOrNull(), &filterAVIMux.filter());
    graph_.RenderStream(PinCategory::Capture, MediaKind::Audio, &audioCap,
                        &filterAudioCompression.filter(), &filterAVIMux.filter());
    view_.showVideoWindow(false);
}

void GraphBuilder::wireWebcast(Filter& videoCap, Filter& audioCap) {
    VideoWindow.Detach();
    ASFWriter.setPort(webcast_.webcastPort());
    ASFWriter.setMaxUsers(webcast_.webcastMaxClients());
    ASFWriter.Attach();
    // The writer writes no file of its own: only its network sink serves.
    const int profileIndex = webcast_.webcastProfileIndex();
    ASFWriter.ConfigureFilterUsingProfile(profileIndex);
    // A stream the profile lacks stays unconnected.
    const WebcastProfile& profile = WebcastProfileAt(profileIndex);
    if (profile.hasVideo())
        graph_.RenderStream(PinCategory::Capture, MediaKind::Video, &videoCap, nullptr,
                            &ASFWriter.filter());
    if (profile.hasAudio())
        graph_.RenderStream(PinCategory::Capture, MediaKind::Audio, &audioCap, nullptr,
                            &ASFWriter.filter());
    view_.setBackCaption(ASFWriter.networkSinkError().empty()
                             ? "Webcasting at port " + QString::number(webcast_.webcastPort())
                             : webcastPortError());
    view_.showVideoWindow(false);
    startPublishing();
}

void GraphBuilder::startPublishing() {
    std::string error;
    const auto target = webcast_.icecastTarget(error);
    if (!error.empty()) {
        // The local webcast goes on without it; the build's status says why.
        qCWarning(lcGraph) << "not published to Icecast:" << error.c_str();
        publishError_ = "Icecast: " + QString::fromStdString(error);
        return;
    }
    auto* writer = dynamic_cast<WebmWriterFilter*>(&ASFWriter.filter());
    if (!target || !writer)
        return;
    auto publisher = std::make_unique<IcecastPublisher>(
        *target, [this](const QString& text) { view_.setStatusText(text); });
    publisher->Start(writer->muxedStream());
    publisher_ = std::move(publisher);
}

void GraphBuilder::showDroppedFrames() {
    if (!droppedFrames_ || mode_ != GraphMode::Recording)
        return;
    const std::uint64_t dropped = droppedFrames_->dropped();
    if (dropped == droppedShown_)
        return;
    droppedShown_ = dropped;
    const QString report = QString("Recording: %1 frames dropped").arg(dropped);
    view_.setStatusText(buildStatus_.isEmpty() ? report : buildStatus_ + " - " + report);
}

void GraphBuilder::logDroppedFrames(const std::filesystem::path& file) {
    if (!droppedFrames_)
        return;
    const std::uint64_t dropped = droppedFrames_->dropped();
    const QString text = QString("recording %1: %2 of %3 frames dropped")
                             .arg(QString::fromStdString(file.string()))
                             .arg(dropped)
                             .arg(dropped + droppedFrames_->written());
    if (dropped > 0)
        qCWarning(lcGraph).noquote() << text;
    else
        qCInfo(lcGraph).noquote() << text;
}

QString GraphBuilder::webcastPortError() const {
    return QString("Webcast: could not open port %1: %2")
        .arg(ASFWriter.port())
        .arg(QString::fromStdString(ASFWriter.networkSinkError()));
}

void GraphBuilder::RouteTunerAudio() {
    long outputs = 0, inputs = 0;
    crossbar_->get_PinCounts(outputs, inputs);
    long tunerAudio = -1, decoder = -1;
    for (long i = 0; i < inputs && tunerAudio < 0; ++i) {
        long related = 0, type = 0;
        if (Succeeded(crossbar_->get_CrossbarPinInfo(true, i, related, type)) &&
            type == PhysConn_Audio_Tuner)
            tunerAudio = i;
    }
    for (long o = 0; o < outputs && decoder < 0; ++o) {
        long related = 0, type = 0;
        if (Succeeded(crossbar_->get_CrossbarPinInfo(false, o, related, type)) &&
            type == PhysConn_Audio_AudioDecoder)
            decoder = o;
    }
    if (tunerAudio < 0 || decoder < 0)
        return;
    long routed = -1;
    // An existing routing is never changed.
    if (Failed(crossbar_->get_IsRoutedTo(decoder, routed)) || routed < 0)
        crossbar_->Route(decoder, tunerAudio);
}

std::filesystem::path GraphBuilder::FinalName(const std::string& captureFile,
                                              const QDateTime& start) {
    // The extension is what follows the last dot of the file's own name.
    const std::size_t slash = captureFile.find_last_of('/');
    const std::size_t dot = captureFile.find_last_of('.');
    const bool hasExtension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string base = hasExtension ? captureFile.substr(0, dot) : captureFile;
    const std::string ext = hasExtension ? captureFile.substr(dot) : std::string();
    return base + "_" + start.toString("yyyyMMddHHmmss").toStdString() + ext;
}

void GraphBuilder::StopRecording() {
    finishRecording(QString());
}

void GraphBuilder::finishRecording(const QString& reason) {
    droppedReport_.stop();
    // End of stream first, so the file has its index.
    if (graph_.IsActive() && !graph_.StopAfterEndOfStream())
        qCDebug(lcGraph) << "recording ended without a complete end of stream";
    // The working file gets its final name with the start time.
    const std::filesystem::path capFile = settings_.CapFile;
    std::error_code ec;
    if (!capFile.empty() && std::filesystem::exists(capFile, ec)) {
        keepRecording(FinalName(settings_.CapFile, recordingStart_), reason);
        logDroppedFrames(lastRecording_);
    } else {
        logDroppedFrames(capFile);
    }
    BuildGraph(GraphMode::Preview);
    if (!reason.isEmpty()) {
        view_.setStatusText(reason);
        view_.showBalloon("qEL TV", reason, 3, 10);
    }
}

void GraphBuilder::keepRecording(const std::filesystem::path& finalName, const QString& reason) {
    const std::filesystem::path capFile = settings_.CapFile;
    std::string error;
    lastRecording_ = MoveToUniqueName(capFile, finalName, error);
    if (lastRecording_.empty()) {
        // Keep it all the same, aside or where it is: it is never deleted.
        std::string asideError;
        lastRecording_ = MoveToUniqueName(
            capFile, capFile.parent_path() / ("unsaved_" + capFile.filename().string()),
            asideError);
        if (lastRecording_.empty()) {
            lastRecording_ = capFile;
            workingFileHeld_ = true;
        }
        view_.setStatusText(QString("The recording could not be renamed (%1); it is kept as %2")
                                .arg(QString::fromStdString(error),
                                     QString::fromStdString(lastRecording_.string())));
    }
    qCDebug(lcGraph) << "recording finished as" << lastRecording_.c_str()
                     << (workingFileHeld_ ? "(the working file is held)" : "");
    // A recording its writer could not finish (a full disk, a failed
    // stream) gets its index and sizes now.
    stopReason_ = reason;
    if (repairs_.start(lastRecording_))
        qCDebug(lcGraph) << "repairing" << lastRecording_.c_str();
}

bool GraphBuilder::checkWorkingFileHeld() {
    if (workingFileHeld_) {
        std::error_code ec;
        // Moved away by the user: recordings may start again.
        if (!std::filesystem::exists(settings_.CapFile, ec))
            workingFileHeld_ = false;
    }
    return workingFileHeld_;
}

QString GraphBuilder::workingFileHeldText() const {
    return QString("A recording that could not be renamed is kept in %1: move it elsewhere "
                   "before the next recording")
        .arg(QString::fromStdString(settings_.CapFile));
}

std::filesystem::path GraphBuilder::KeepInterruptedRecording() {
    const std::filesystem::path capFile = settings_.CapFile;
    std::error_code ec;
    if (capFile.empty() || !std::filesystem::is_regular_file(capFile, ec) ||
        std::filesystem::file_size(capFile, ec) == 0)
        return {};
    const QDateTime changed = QFileInfo(QString::fromStdString(capFile.string())).lastModified();
    std::string error;
    auto kept = MoveToUniqueName(capFile, FinalName(settings_.CapFile, changed), error);
    if (kept.empty()) {
        // Not renamed: it stays where it is, and nothing records over it.
        kept = capFile;
        workingFileHeld_ = true;
    }
    qCDebug(lcGraph) << "interrupted recording kept as" << kept.c_str() << error.c_str();
    stopReason_.clear();
    if (repairs_.start(kept))
        qCDebug(lcGraph) << "repairing" << kept.c_str();
    return kept;
}

void GraphBuilder::onRepairProgress(const std::filesystem::path& file, int percent) {
    view_.setStatusText(QString("Repairing the recording %1: %2 %")
                            .arg(QString::fromStdString(file.string()))
                            .arg(percent));
}

void GraphBuilder::onRepairFinished(const std::filesystem::path& file,
                                    const AviRepairResult& result) {
    const QString name = QString::fromStdString(file.string());
    QString text;
    if (!result.error.empty()) {
        text = QString("The recording %1 could not be repaired: %2")
                   .arg(name, QString::fromStdString(result.error));
    } else {
        text =
            QString("The recording %1 was repaired: %2 frames").arg(name).arg(result.videoFrames);
        if (result.droppedChunks > 0)
            text +=
                QString(" (its last %1 chunks made room for its index)").arg(result.droppedChunks);
    }
    qCDebug(lcGraph).noquote() << "repair:" << text;
    if (!stopReason_.isEmpty()) {
        QString reason = stopReason_;
        while (reason.endsWith('.'))
            reason.chop(1);
        text = reason + ". " + text;
    }
    if (workingFileHeld_)
        text += ". " + workingFileHeldText();
    view_.setStatusText(text);
}

void GraphBuilder::onStreamError(const QString& message) {
    qCDebug(lcGraph) << "stream error in mode" << ToInt(mode_) << message;
    if (mode_ == GraphMode::Recording) {
        // A full disk or a device that went away: finish what was recorded.
        // The file writer is named by its file.
        QString what = message;
        const QString writer = QString::fromUtf8(filterAVIOut.name().c_str()) + ": ";
        if (what.startsWith(writer))
            what = QString::fromStdString(settings_.CapFile) + ": " + what.mid(writer.size());
        finishRecording("Recording stopped: " + what);
    } else {
        view_.setStatusText(message);
    }
}

void GraphBuilder::Play() {
    if (choices_.videoDevicesListed())
        graph_.Run();
}

void GraphBuilder::Pause() {
    if (choices_.videoDevicesListed())
        graph_.Pause();
}

void GraphBuilder::Stop() {
    if (mode_ == GraphMode::Recording)
        StopRecording();
    else if (mode_ == GraphMode::Webcast)
        BuildGraph(GraphMode::Preview);
    else
        graph_.Stop();
}

void GraphBuilder::SaveGraph(const std::filesystem::path& dataFile) {
    if (!choices_.videoDevicesListed())
        return;
    graph_.Stop();
    SaveGraphFile(graph_, dataFile);
    graph_.Run();
}

void GraphBuilder::RestoreGraph(const std::filesystem::path& dataFile) {
    // Without a saved graph the preview is built from the Preferences
    // choices, as on a first start.
    if (!std::filesystem::exists(dataFile)) {
        BuildGraph(GraphMode::Preview);
        return;
    }
    if (!choices_.videoDevicesListed())
        return;
    try {
        // A fresh graph, from which every object's filter is taken out: the
        // file brings its own filters under the objects' names.
        graph_.Stop();
        graph_.RemoveUnownedFilters();
        graph_.Deactivate();
        graph_.Activate();
        for (FilterObject* object :
             {&filterVideoCap, &filterVideoCompression, &filterAudioCap, &filterAudioCompression,
              &filterAVIMux, &filterAVIOut, &filterNull, static_cast<FilterObject*>(&VideoWindow),
              static_cast<FilterObject*>(&ASFWriter)})
            object->Detach();
        LoadGraphFile(graph_, dataFile);
        // Each object takes the loaded filter of its name.
        for (FilterObject* object :
             {static_cast<FilterObject*>(&VideoWindow), &filterVideoCap, &filterAudioCap,
              &filterVideoCompression, &filterAudioCompression, &filterAVIMux, &filterAVIOut,
              &filterNull, static_cast<FilterObject*>(&ASFWriter)})
            object->Rebind();
        // The devices are known again only under the names saved with them.
        forgetDevices();
        if (Filter* videoCap = filterVideoCap.filterOrNull()) {
            if (TvTuner* t = videoCap->tuner();
                t && equalsIgnoringAsciiCase(t->name(), settings_.TVTuner))
                tuner_ = t;
            if (Crossbar* c = videoCap->crossbar();
                c && equalsIgnoringAsciiCase(c->name(), settings_.Crossbar))
                crossbar_ = c;
            if (TvAudio* a = videoCap->tvAudio();
                a && equalsIgnoringAsciiCase(a->name(), settings_.TVAudio))
                tvAudio_ = a;
            previewPin_ = FilterGraph::FindPinByName(*videoCap, "Preview");
            capturePin_ = FilterGraph::FindPinByName(*videoCap, "Capture");
        }
        tuneTo(settings_.CurrentChannel);
        choices_.reselectAudioCaptureDevice();
    } catch (const DeviceMissingError& e) {
        // A device that is unplugged is no damage of the file: the preview is
        // built from the Preferences choices as on a first start, and the
        // file is written anew at the close.
        qCDebug(lcGraph) << "saved graph not used:" << e.what();
        graph_.Stop();
        graph_.RemoveUnownedFilters();
        for (FilterObject* object :
             {&filterVideoCap, &filterVideoCompression, &filterAudioCap, &filterAudioCompression,
              &filterAVIMux, &filterAVIOut, &filterNull})
            object->Attach();
        forgetDevices();
        BuildGraph(GraphMode::Preview);
        view_.setStatusText("The saved graph was not used: " + QString::fromUtf8(e.what()));
        return;
    } catch (const std::exception& e) {
        qCDebug(lcGraph) << "corrupted data file:" << e.what();
        // A file that does not load: the graph is cleared, the file deleted
        // and the program ends without saving anything.
        try {
            graph_.Stop();
            graph_.RemoveUnownedFilters();
            graph_.Deactivate();
            graph_.Activate();
        } catch (const std::exception& again) {
            qCDebug(lcGraph) << "while clearing:" << again.what();
        }
        view_.showWarning(QString::fromUtf8(kCorruptedDataText));
        std::error_code ec;
        std::filesystem::remove(dataFile, ec);
        view_.endProgram();
        return;
    }
    BuildGraph(GraphMode::Preview);
}

} // namespace qeltv
