#include "capture/GraphBuilder.h"

#include "capture/GraphPersistence.h"
#include "capture/VideoWindow.h"
#include "settings/Settings.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <cerrno>
#include <cstring>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcGraph, "qeltv.capture.graph", QtWarningMsg)

namespace qeltv {

namespace {
bool sameNameNoCase(const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

// Moves a finished recording to its final name without ever replacing a
// file that is there already: a second recording in the same second, or a
// name the user made, gets "_2", "_3", ... before the extension.
std::filesystem::path MoveToUniqueName(const std::filesystem::path& from,
                                       const std::filesystem::path& to, std::string& error) {
    constexpr int kMaxAttempts = 1000;
    const std::string stem = (to.parent_path() / to.stem()).string();
    const std::string ext = to.extension().string();
    for (int n = 1; n <= kMaxAttempts; ++n) {
        const std::filesystem::path target =
            n == 1 ? to : std::filesystem::path(stem + "_" + std::to_string(n) + ext);
        if (::link(from.c_str(), target.c_str()) == 0) {
            ::unlink(from.c_str());
            return target;
        }
        if (errno == EEXIST)
            continue;
        // A file system without hard links: a plain rename to a free name.
        if (!std::filesystem::exists(target) && ::rename(from.c_str(), target.c_str()) == 0)
            return target;
        error = std::strerror(errno);
        return {};
    }
    error = "no free name";
    return {};
}
} // namespace

GraphBuilder::GraphBuilder(CaptureContext& context, Settings& settings, GraphView& view)
    : context_(context), settings_(settings), view_(view), graph_(context),
      filterVideoCap(graph_, "filterVideoCap"),
      filterVideoCompression(graph_, "filterVideoCompression"),
      filterAudioCap(graph_, "filterAudioCap"),
      filterAudioCompression(graph_, "filterAudioCompression"),
      filterAVIMux(graph_, "filterAVIMux"), filterAVIOut(graph_, "filterAVIOut"),
      filterNull(graph_, "filterNull") {
    filterAVIMux.setMoniker(kAviMuxMoniker);
    filterAVIOut.setMoniker(kFileWriterMoniker);
    filterNull.setMoniker(kNullRendererMoniker);
    QObject::connect(&graph_, &FilterGraph::streamError, &graph_,
                     [this](const QString& message) { onStreamError(message); });
}

GraphBuilder::~GraphBuilder() = default;

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
    // 1.
    if (!view_.videoDevicesListed())
        return;
    // 2.
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
    // 23.
    view_.setBusyCursor(false);
}

void GraphBuilder::buildSteps(GraphMode mode) {
    // 3 to 6.
    mode_ = mode;
    qCDebug(lcGraph) << "graph mode" << ToInt(mode);
    view_.setBackCaption(QString());
    previewPin_ = nullptr;
    capturePin_ = nullptr;
    graph_.Stop();
    // 7, 8.
    const bool videoDevice = !filterVideoCap.moniker().empty();
    if (videoDevice && filterVideoCap.hasFilter()) {
        previewPin_ = FilterGraph::FindPinByName(filterVideoCap.filter(), "Preview");
        capturePin_ = FilterGraph::FindPinByName(filterVideoCap.filter(), "Capture");
    }
    if (previewPin_)
        previewPin_->GetFormat(previewFormat_);
    if (capturePin_)
        capturePin_->GetFormat(captureFormat_);
    // 9.
    graph_.DisconnectAll();
    // 10. These objects are used as filters here: one that holds none fails
    // the build.
    for (FilterObject* object : {&filterVideoCap, &filterAudioCap, &filterAudioCompression,
                                 &filterAVIMux, &filterAVIOut, &filterNull})
        object->filter();
    graph_.RemoveUnownedFilters();
    // 11. The webcast writer is never attached in this build of the program.
    if (VideoWindow_)
        VideoWindow_->Detach();

    if (videoDevice) {
        Filter& videoCap = filterVideoCap.filter();
        Filter& audioCap = filterAudioCap.filter();
        // 13.
        if (const auto line = view_.selectedInputLine()) {
            const auto pins = audioCap.pins();
            if (*line >= 0 && *line < static_cast<int>(pins.size()))
                pins[static_cast<std::size_t>(*line)]->put_Enable(true);
        }
        // 14.
        switch (mode) {
        case GraphMode::Preview:
            if (VideoWindow_) {
                VideoWindow_->show();
                VideoWindow_->Attach();
                graph_.RenderStream(PinCategory::Preview, MediaKind::Video, &videoCap, nullptr,
                                    &VideoWindow_->filter());
                VideoWindow_->ApplyAspectRatio();
            }
            break;
        case GraphMode::Recording:
            view_.setBackCaption("Recording in progress...");
            graph_.RenderStream(PinCategory::Capture, MediaKind::Video, &videoCap,
                                filterVideoCompression.filterOrNull(), &filterAVIMux.filter());
            graph_.RenderStream(PinCategory::Capture, MediaKind::Audio, &audioCap,
                                &filterAudioCompression.filter(), &filterAVIMux.filter());
            if (VideoWindow_)
                VideoWindow_->hide();
            break;
        case GraphMode::Webcast:
            view_.setBackCaption("Webcasting at port " + QString::number(view_.webcastPort()));
            if (VideoWindow_)
                VideoWindow_->hide();
            break;
        case GraphMode::AutoTuning:
            break;
        }
        // 15. The tuner belongs to the capture filter, so it needs no
        // reconnection of its own.
        if (!crossbar_)
            crossbar_ = graph_.FindCrossbar(videoCap);
        if (!tuner_)
            tuner_ = graph_.FindTuner(videoCap);
        // 16. Tuner results are not examined.
        if (crossbar_)
            settings_.Crossbar = crossbar_->name().substr(0, kMaxFilterNameLength);
        if (tuner_) {
            settings_.TVTuner = tuner_->name().substr(0, kMaxFilterNameLength);
            tuner_->put_CountryCode(kCountryCodeWesternEurope);
            tuner_->put_TuningSpace(settings_.TuningSpace);
            tuner_->put_Mode(TunerMode::TV);
            tuner_->put_InputType(0, TunerInputType::Cable);
            tuner_->put_Channel(settings_.CurrentChannel, kSubChannelDefault, kSubChannelDefault);
            qCDebug(lcGraph) << "tuned channel" << settings_.CurrentChannel << "tuning space"
                             << settings_.TuningSpace;
        }
        // 17. The working file never survives a rebuild.
        const std::filesystem::path capFile = settings_.CapFile;
        std::error_code ec;
        if (!capFile.empty() && std::filesystem::exists(capFile, ec)) {
            std::filesystem::remove(capFile, ec);
            qCDebug(lcGraph) << "deleted" << capFile.c_str();
        }
        filterAVIOut.filter().SetFileName(settings_.CapFile);
        // 18.
        if (mode == GraphMode::Recording) {
            recordingStart_ = QDateTime::currentDateTime();
            if (const auto format = view_.selectedAudioFormat()) {
                for (Pin* pin : filterAudioCompression.filter().pins())
                    if (pin->direction() == PinDirection::Output)
                        pin->SetFormat(*format);
            }
            graph_.RenderStream(PinCategory::None, MediaKind::Any, &filterAVIMux.filter(), nullptr,
                                &filterAVIOut.filter());
            view_.showBalloon("qEL TV", "Recording started", 1, 10);
        }
    }
    // 19.
    if (previewPin_) {
        previewFormat_.video.biWidth = settings_.PreviewWidth;
        previewFormat_.video.biHeight = settings_.PreviewHeight;
        previewFormat_.video.AvgTimePerFrame = settings_.PreviewFramerate;
        previewPin_->SetFormat(previewFormat_);
        view_.setStatusText(QString::fromStdString(MediaTypeText(previewFormat_)));
    }
    // 20.
    if (capturePin_) {
        const bool webcast = mode == GraphMode::Webcast;
        captureFormat_.video.biWidth = webcast ? kWebcastWidth : settings_.CaptureWidth;
        captureFormat_.video.biHeight = webcast ? kWebcastHeight : settings_.CaptureHeight;
        captureFormat_.video.AvgTimePerFrame =
            webcast ? kWebcastFrameDuration : settings_.CaptureFramerate;
        capturePin_->SetFormat(captureFormat_);
    }
    if (mode == GraphMode::Webcast)
        view_.setStatusText("The webcast is not available in this version: nothing is streamed");
    // 21.
    view_.UpdateControls();
    graph_.Run();
    // 22.
    if (crossbar_)
        RouteTunerAudio();
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
    // 1. End of stream first, so the file has its index.
    if (graph_.IsActive() && !graph_.StopAfterEndOfStream())
        qCDebug(lcGraph) << "recording ended without a complete end of stream";
    // 2.
    const std::filesystem::path capFile = settings_.CapFile;
    std::error_code ec;
    if (!capFile.empty() && std::filesystem::exists(capFile, ec)) {
        std::string error;
        lastRecording_ =
            MoveToUniqueName(capFile, FinalName(settings_.CapFile, recordingStart_), error);
        if (lastRecording_.empty()) {
            // Keep it all the same: the next build would delete the
            // working file.
            const auto aside = MoveToUniqueName(
                capFile, capFile.parent_path() / ("unsaved_" + capFile.filename().string()), error);
            view_.setStatusText(
                QString("The recording could not be renamed (%1); it is kept as %2")
                    .arg(QString::fromStdString(error), QString::fromStdString(aside.string())));
            lastRecording_ = aside;
        }
        qCDebug(lcGraph) << "recording finished as" << lastRecording_.c_str();
    }
    // 3.
    BuildGraph(GraphMode::Preview);
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
    qCDebug(lcGraph) << "interrupted recording kept as" << kept.c_str() << error.c_str();
    return kept;
}

void GraphBuilder::onStreamError(const QString& message) {
    qCDebug(lcGraph) << "stream error in mode" << ToInt(mode_) << message;
    if (mode_ == GraphMode::Recording) {
        // A full disk or a device that went away: finish what was recorded.
        StopRecording();
        view_.setStatusText("Recording stopped: " + message);
    } else {
        view_.setStatusText(message);
    }
}

void GraphBuilder::Play() {
    if (view_.videoDevicesListed())
        graph_.Run();
}

void GraphBuilder::Pause() {
    if (view_.videoDevicesListed())
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
    if (!view_.videoDevicesListed())
        return;
    graph_.Stop();
    SaveGraphFile(graph_, dataFile);
    graph_.Run();
}

void GraphBuilder::RestoreGraph(const std::filesystem::path& dataFile) {
    // 1, 2.
    if (!std::filesystem::exists(dataFile)) {
        BuildGraph(GraphMode::Preview);
        return;
    }
    if (!view_.videoDevicesListed())
        return;
    try {
        // 3.1: a fresh graph into which the attached objects put their filters.
        graph_.Stop();
        graph_.RemoveUnownedFilters();
        graph_.Deactivate();
        graph_.Activate();
        // 3.2: the file brings its own filters under these names.
        std::vector<FilterObject*> objects = {
            &filterVideoCap, &filterVideoCompression, &filterAudioCap, &filterAudioCompression,
            &filterAVIMux,   &filterAVIOut,           &filterNull};
        if (VideoWindow_)
            objects.push_back(VideoWindow_);
        for (FilterObject* object : objects)
            object->Detach();
        // 3.3.
        LoadGraphFile(graph_, dataFile);
        // 3.4.
        std::vector<FilterObject*> rebind = {&filterVideoCap,
                                             &filterAudioCap,
                                             &filterVideoCompression,
                                             &filterAudioCompression,
                                             &filterAVIMux,
                                             &filterAVIOut,
                                             &filterNull};
        if (VideoWindow_)
            rebind.insert(rebind.begin(), VideoWindow_);
        for (FilterObject* object : rebind)
            object->Rebind();
        // 3.5: the devices by their saved names.
        forgetDevices();
        if (Filter* videoCap = filterVideoCap.filterOrNull()) {
            if (TvTuner* t = videoCap->tuner(); t && sameNameNoCase(t->name(), settings_.TVTuner))
                tuner_ = t;
            if (Crossbar* c = videoCap->crossbar();
                c && sameNameNoCase(c->name(), settings_.Crossbar))
                crossbar_ = c;
            if (TvAudio* a = videoCap->tvAudio(); a && sameNameNoCase(a->name(), settings_.TVAudio))
                tvAudio_ = a;
            // 3.6.
            previewPin_ = FilterGraph::FindPinByName(*videoCap, "Preview");
            capturePin_ = FilterGraph::FindPinByName(*videoCap, "Capture");
        }
        // 3.7.
        if (tuner_)
            tuner_->put_Channel(settings_.CurrentChannel, kSubChannelDefault, kSubChannelDefault);
        // 3.8.
        view_.reselectAudioCaptureDevice();
    } catch (const std::exception& e) {
        qCDebug(lcGraph) << "corrupted data file:" << e.what();
        // 4. The corrupted-data path.
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
    // 3.9.
    BuildGraph(GraphMode::Preview);
}

} // namespace qeltv
