#include "app/session/CapturePreferences.h"

#include "capture/TvTuner.h"
#include "config/DeviceSelection.h"
#include "config/VideoFormatRules.h"
#include "settings/Settings.h"

#include "common/Utf8.h"
#include <limits>

namespace qeltv {

CapturePreferences::CapturePreferences(GraphBuilder& graph, DeviceEnumerator& devices,
                                       Settings& settings, SessionView& view,
                                       std::function<void(GraphMode)> build, SessionNotify notify)
    : graph_(graph), devices_(devices), settings_(settings), view_(view), build_(std::move(build)),
      notify_(std::move(notify)) {}

// ------------------------------------------------------------ the fills

void CapturePreferences::bindAndAttach(FilterObject& object, DeviceCategory category,
                                       const ChoiceList& list) {
    // Binding re-enumerates the category and takes the moniker at the
    // position kept with the entry.
    const auto position = list.selectedData();
    object.Detach();
    object.setMoniker(position && *position >= 0 ? devices_.MonikerAt(category, *position)
                                                 : std::string());
    object.Attach();
}

void CapturePreferences::fillDevices(ChoiceList& list, DeviceCategory category,
                                     const std::string& saved, bool lastMatch) {
    list.clear();
    for (const auto& d : devices_.Enumerate(category))
        list.add(QString::fromStdString(d.friendlyName), d.position);
    list.selected = SelectBySavedName(list.entries, fromUtf8(saved),
                                      lastMatch ? NameMatch::Last : NameMatch::First, 0);
}

void CapturePreferences::fillAll() {
    FillVideoCaptureDevices();
    FillVideoCompressors();
    FillAudioCaptureDevices();
    FillAudioCompressors();
    FillAudioFormats();
    FillInputLines();
}

void CapturePreferences::FillVideoCaptureDevices() {
    graph_.filterVideoCap.Detach();
    fillDevices(videoCapDevices_, DeviceCategory::VideoInput, settings_.VideoCapDev, true);
    bindAndAttach(graph_.filterVideoCap, DeviceCategory::VideoInput, videoCapDevices_);
    notify_(SessionChange::Preferences);
}

void CapturePreferences::FillVideoCompressors() {
    videoCompressors_.clear();
    videoCompressors_.add("None", -1);
    graph_.filterVideoCompression.Detach();
    for (const auto& d : devices_.Enumerate(DeviceCategory::VideoCompressor))
        videoCompressors_.add(QString::fromStdString(d.friendlyName), d.position);
    videoCompressors_.selected = SelectBySavedName(
        videoCompressors_.entries, fromUtf8(settings_.VideoCompressor), NameMatch::First, 0);
    // With "None" the compressor stays out of the graph.
    if (videoCompressors_.selected > 0)
        bindAndAttach(graph_.filterVideoCompression, DeviceCategory::VideoCompressor,
                      videoCompressors_);
    notify_(SessionChange::Preferences);
}

void CapturePreferences::FillAudioCaptureDevices() {
    graph_.filterAudioCap.Detach();
    fillDevices(audioCapDevices_, DeviceCategory::AudioInput, settings_.AudioCapDev, true);
    bindAndAttach(graph_.filterAudioCap, DeviceCategory::AudioInput, audioCapDevices_);
    notify_(SessionChange::Preferences);
}

void CapturePreferences::FillAudioCompressors() {
    graph_.filterAudioCompression.Detach();
    fillDevices(audioCompressors_, DeviceCategory::AudioCompressor, settings_.AudioCompressor,
                false);
    bindAndAttach(graph_.filterAudioCompression, DeviceCategory::AudioCompressor,
                  audioCompressors_);
    notify_(SessionChange::Preferences);
}

void CapturePreferences::FillAudioFormats() {
    audioFormatNames_.clear();
    if (Filter* compressor = graph_.filterAudioCompression.filterOrNull()) {
        // The last output pin's formats remain.
        for (Pin* pin : compressor->pins())
            if (pin->direction() == PinDirection::Output)
                audioFormats_ = pin->GetStreamCaps();
    }
    const QStringList entries = AudioFormatEntries(audioFormats_);
    for (int i = 0; i < entries.size(); ++i)
        audioFormatNames_.add(entries[i], i);
    audioFormatNames_.selected = SelectBySavedName(
        audioFormatNames_.entries, fromUtf8(settings_.AudioCompressionFormat), NameMatch::First, 0);
    notify_(SessionChange::Preferences);
}

void CapturePreferences::FillInputLines() {
    Filter* audioCap = graph_.filterAudioCap.filterOrNull();
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
    notify_(SessionChange::Preferences);
}

std::optional<MediaType> CapturePreferences::selectedAudioFormat() const {
    const auto i = audioFormatNames_.selectedData();
    if (!i || *i < 0 || static_cast<std::size_t>(*i) >= audioFormats_.size())
        return std::nullopt;
    return audioFormats_[static_cast<std::size_t>(*i)];
}

void CapturePreferences::reselectAudioCaptureDevice() {
    // The graph stays stopped; the caller builds.
    if (audioCapDevices_.selected < 0)
        return;
    graph_.graph().Stop();
    bindAndAttach(graph_.filterAudioCap, DeviceCategory::AudioInput, audioCapDevices_);
    FillInputLines();
    settings_.AudioCapDev = toUtf8(audioCapDevices_.selectedText());
}

// ------------------------------------------------------------ the choices

void CapturePreferences::chooseVideoCaptureDevice(int index) {
    videoCapDevices_.choose(index);
    if (videoCapDevices_.selected >= 0) {
        graph_.graph().Stop();
        bindAndAttach(graph_.filterVideoCap, DeviceCategory::VideoInput, videoCapDevices_);
        // The next build finds the new device's tuner and crossbar.
        graph_.forgetDevices();
        settings_.VideoCapDev = toUtf8(videoCapDevices_.selectedText());
        build_(GraphMode::Preview);
    }
    notify_(SessionChange::Preferences);
}

void CapturePreferences::chooseVideoCompressor(int index) {
    videoCompressors_.choose(index);
    graph_.graph().Stop();
    if (videoCompressors_.selected >= 0) {
        graph_.filterVideoCompression.Detach();
        const QString text = videoCompressors_.selectedText();
        // With "None" the compressor stays out of the graph.
        if (text.compare("None", Qt::CaseInsensitive) != 0)
            bindAndAttach(graph_.filterVideoCompression, DeviceCategory::VideoCompressor,
                          videoCompressors_);
        settings_.VideoCompressor = toUtf8(text);
        build_(GraphMode::Preview);
    }
    notify_(SessionChange::Preferences);
}

void CapturePreferences::chooseAudioCaptureDevice(int index) {
    audioCapDevices_.choose(index);
    reselectAudioCaptureDevice();
    notify_(SessionChange::Preferences);
}

void CapturePreferences::chooseAudioCompressor(int index) {
    audioCompressors_.choose(index);
    graph_.graph().Stop();
    graph_.filterAudioCompression.Detach();
    if (audioCompressors_.selected >= 0) {
        bindAndAttach(graph_.filterAudioCompression, DeviceCategory::AudioCompressor,
                      audioCompressors_);
        settings_.AudioCompressor = toUtf8(audioCompressors_.selectedText());
        FillAudioFormats();
        build_(GraphMode::Preview);
    }
    notify_(SessionChange::Preferences);
}

void CapturePreferences::chooseAudioFormat(int index) {
    audioFormatNames_.choose(index);
    graph_.graph().Stop();
    if (const auto format = selectedAudioFormat()) {
        // The recording build applies the chosen format again; a pin that
        // refuses it keeps its own.
        if (Filter* compressor = graph_.filterAudioCompression.filterOrNull())
            for (Pin* pin : compressor->pins())
                if (pin->direction() == PinDirection::Output && pin->hasStreamConfig())
                    pin->SetFormat(*format);
        settings_.AudioCompressionFormat = toUtf8(audioFormatNames_.selectedText());
    }
    graph_.graph().Run();
    notify_(SessionChange::Preferences);
}

void CapturePreferences::chooseInputLine(int index) {
    inputLines_.choose(index);
    if (const auto position = inputLines_.selectedData()) {
        if (Filter* audioCap = graph_.filterAudioCap.filterOrNull()) {
            const auto pins = audioCap->pins();
            if (*position >= 0 && static_cast<std::size_t>(*position) < pins.size() &&
                pins[static_cast<std::size_t>(*position)]->hasMixer())
                pins[static_cast<std::size_t>(*position)]->put_Enable(true);
        }
        settings_.InputLine = toUtf8(inputLines_.selectedText());
        build_(GraphMode::Preview);
    }
    notify_(SessionChange::Preferences);
}

// ----------------------------------------------------- the configuration

void CapturePreferences::configureVideoCaptureDevice() {
    if (Filter* videoCap = graph_.filterVideoCap.filterOrNull())
        view_.showCaptureDeviceProperties(*videoCap);
}

void CapturePreferences::configureCrossbar() {
    if (Crossbar* crossbar = graph_.crossbar())
        view_.showCrossbarProperties(*crossbar);
}

void CapturePreferences::configureVideoCompressor() {
    Filter* compressor = graph_.filterVideoCompression.filterOrNull();
    if (!compressor)
        return;
    graph_.graph().Stop();
    view_.showCompressorProperties(*compressor);
    graph_.graph().Run();
}

void CapturePreferences::configureAudioCaptureDevice() {
    Filter* audioCap = graph_.filterAudioCap.filterOrNull();
    if (!audioCap)
        return;
    graph_.graph().Stop();
    view_.showAudioDeviceProperties(*audioCap);
    FillInputLines();
    build_(GraphMode::Preview);
}

void CapturePreferences::configurePreviewFormat() {
    configureFormat(true);
}

void CapturePreferences::configureCaptureFormat() {
    configureFormat(false);
}

void CapturePreferences::configureFormat(bool preview) {
    Pin* pin = preview ? graph_.previewPin() : graph_.capturePin();
    if (!pin)
        return;
    graph_.graph().Stop();
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
        graph_.VideoWindow.ApplyAspectRatio();
    } else {
        settings_.CaptureWidth = format.video.biWidth;
        settings_.CaptureHeight = format.video.biHeight;
        settings_.CaptureFramerate = static_cast<std::int32_t>(duration);
    }
    graph_.graph().Run();
}

void CapturePreferences::configureTuner() {
    if (TvTuner* tuner = graph_.tuner())
        view_.showTunerProperties(*tuner);
}

} // namespace qeltv
