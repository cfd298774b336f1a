// The "Preferences" page as data: the capture device, compressor, audio
// format and input line lists, the choices made in them, and the
// configuration operations. The graph builder reads the choices from here.
#pragma once

#include "app/session/ChoiceList.h"
#include "app/session/SessionView.h"
#include "capture/Devices.h"
#include "capture/GraphBuilder.h"

#include <functional>
#include <vector>

namespace qeltv {

struct Settings;

class CapturePreferences : public GraphChoices {
public:
    // `build` builds the graph in a mode as the session does. The graph
    // builder is only kept here, not used, until the lists are filled.
    CapturePreferences(GraphBuilder& graph, DeviceEnumerator& devices, Settings& settings,
                       SessionView& view, std::function<void(GraphMode)> build,
                       SessionNotify notify);

    // The start-up fills, each selecting the entry by its saved name.
    void FillVideoCaptureDevices();
    void FillVideoCompressors();
    void FillAudioCaptureDevices();
    void FillAudioCompressors();
    void FillAudioFormats();
    void FillInputLines();
    void fillAll();

    const ChoiceList& videoCaptureDevices() const { return videoCapDevices_; }
    const ChoiceList& videoCompressors() const { return videoCompressors_; }
    const ChoiceList& audioCaptureDevices() const { return audioCapDevices_; }
    const ChoiceList& audioCompressors() const { return audioCompressors_; }
    const ChoiceList& audioFormats() const { return audioFormatNames_; }
    const ChoiceList& inputLines() const { return inputLines_; }

    // The choices: index is the chosen entry, -1 for none. Each keeps the
    // choice's name in the settings.
    // Binds the video capture device; the graph is rebuilt in preview.
    void chooseVideoCaptureDevice(int index);
    // Binds the compressor, or none for "None"; rebuilt in preview.
    void chooseVideoCompressor(int index);
    // Binds the audio device and refills the input lines; the graph stays
    // stopped until the next build or Play.
    void chooseAudioCaptureDevice(int index);
    // Binds the audio compressor and refills its formats; rebuilt in preview.
    void chooseAudioCompressor(int index);
    // Sets the format on the compressor's output; stopped and run again.
    void chooseAudioFormat(int index);
    // Switches the input line on; rebuilt in preview.
    void chooseInputLine(int index);

    // The configuration dialogs.
    // The capture device's dialog; the graph runs on.
    void configureVideoCaptureDevice();
    // The crossbar's dialog when a crossbar is known; the graph runs on.
    void configureCrossbar();
    // The compressor's dialog; the graph is stopped and run again.
    void configureVideoCompressor();
    // The audio device's dialog, then its input lines again; rebuilt in
    // preview.
    void configureAudioCaptureDevice();
    // The video format dialog for the preview or capture pin: the pin's
    // format is read back whatever the dialog's end, the graph run again.
    // Throws RangeCheckError ("Range check error") for a frame duration
    // beyond a signed 32-bit number; the graph then stays stopped.
    void configurePreviewFormat();
    void configureCaptureFormat();
    // F12: the tuner's dialog; nothing without a known tuner.
    void configureTuner();

    // GraphChoices, for the graph builder.
    bool videoDevicesListed() const override { return !videoCapDevices_.empty(); }
    std::optional<int> selectedInputLine() const override { return inputLines_.selectedData(); }
    std::optional<MediaType> selectedAudioFormat() const override;
    void reselectAudioCaptureDevice() override;

private:
    void bindAndAttach(FilterObject& object, DeviceCategory category, const ChoiceList& list);
    void fillDevices(ChoiceList& list, DeviceCategory category, const std::string& saved,
                     bool lastMatch);
    void configureFormat(bool preview);

    GraphBuilder& graph_;
    DeviceEnumerator& devices_;
    Settings& settings_;
    SessionView& view_;
    std::function<void(GraphMode)> build_;
    SessionNotify notify_;

    ChoiceList videoCapDevices_;
    ChoiceList videoCompressors_;
    ChoiceList audioCapDevices_;
    ChoiceList audioCompressors_;
    ChoiceList audioFormatNames_;
    std::vector<MediaType> audioFormats_;
    ChoiceList inputLines_;
};

} // namespace qeltv
