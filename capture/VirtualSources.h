// Capture filters: a video capture filter splits one source into its
// "Capture" and "Preview" pins; an audio capture filter has one output pin
// and one input pin per mixer line. The Virtual TV Card's filters draw and
// play what the card receives; V4L2 and sound-server devices capture for real.
#pragma once

#include "capture/FilterObject.h"
#include "capture/PictureControls.h"
#include "capture/VirtualTuner.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qeltv {

// Frames per second and picture size every capture pin starts with.
constexpr int kDefaultCaptureWidth = 640;
constexpr int kDefaultCaptureHeight = 480;
constexpr std::int64_t kDefaultFrameDuration = 400000; // 25 frames per second
// Audio capture pins start with 44100 Hz, 16 bits, stereo.
constexpr int kDefaultSampleRate_hz = 44100;
constexpr int kDefaultAudioChannels = 2;
constexpr int kDefaultAudioBits = 16;

class VideoCaptureFilter : public Filter {
public:
    GstElement* configurable() const override { return source_; }
    // The source delivers the format of the pin that is in use: the
    // preview pin's when it is linked, else the capture pin's.
    void prepareToRun() override;

protected:
    // bin holds the source chain ending in `last`; the filter adds the
    // native format filter after `beforeNative`, then what follows it up to
    // `last`, then the tee and the two pin branches.
    VideoCaptureFilter(GstElement* bin, std::string name, std::string moniker, GstElement* source);
    // Builds the branches: `native` is the capsfilter of the source's own
    // format and `last` the element the tee follows.
    void buildPins(GstElement* native, GstElement* last, CapsRef deliverable,
                   std::vector<MediaType> offered, const MediaType& initial);

private:
    GstElement* source_;
    GstElement* native_ = nullptr;
};

// The Virtual TV Card's video: a live test picture in the tuned station's
// pattern and colours with its name and a running clock burned in; snow
// where no station is received. Follows every tune at once.
class VirtualVideoCapture : public VideoCaptureFilter {
public:
    VirtualVideoCapture(std::string name, std::string moniker, CaptureContext& context);
    ~VirtualVideoCapture() override;

    TvTuner* tuner() override { return &tuner_; }
    Crossbar* crossbar() override { return &crossbar_; }
    PictureControls* pictureControls() override { return balanceControls_.get(); }

    // Sets the picture for what the card receives now (also called by the
    // card's listener, on the tuning thread: properties only).
    void showReceived();

private:
    VirtualTvCard& card_;
    VirtualTuner tuner_;
    VirtualCrossbar crossbar_;
    GstElement* testSource_ = nullptr;
    GstElement* stationName_ = nullptr;
    // The station the picture shows (nullptr: snow); empty before the first.
    std::optional<const VirtualStation*> shown_;
    std::unique_ptr<BalancePictureControls> balanceControls_;
    int listener_ = 0;
};

// A V4L2 capture device, with its tuner and inputs when it has them.
class V4l2VideoCapture : public VideoCaptureFilter {
public:
    V4l2VideoCapture(std::string name, std::string moniker, const std::string& devicePath,
                     AutoTuneStore& autoTune);
    TvTuner* tuner() override { return tuner_.get(); }
    Crossbar* crossbar() override { return crossbar_.get(); }
    PictureControls* pictureControls() override { return controls_.get(); }

private:
    std::unique_ptr<TvTuner> tuner_;
    std::unique_ptr<Crossbar> crossbar_;
    std::unique_ptr<PictureControls> controls_;
};

class AudioCaptureFilter : public Filter {
public:
    GstElement* configurable() const override { return source_; }

protected:
    AudioCaptureFilter(GstElement* bin, std::string name, std::string moniker, GstElement* source);
    // Adds the converters, the output pin "Capture" after `last`, with its
    // format filter; the mixer line pins are added by the device.
    void buildOutput(GstElement* last);

private:
    GstElement* source_;
};

// The Virtual TV Card's audio: the tuned station's tone, silence where none
// is received or the "Tuner" line is off. Input pins "Tuner", "Line",
// "Microphone" carry the card's mixer.
class VirtualAudioCapture : public AudioCaptureFilter {
public:
    VirtualAudioCapture(std::string name, std::string moniker, VirtualTvCard& card);
    ~VirtualAudioCapture() override;
    void playReceived();

private:
    VirtualTvCard& card_;
    GstElement* tone_ = nullptr;
    // The station whose tone plays (nullptr: silence); empty before the first.
    std::optional<const VirtualStation*> heard_;
    int listener_ = 0;
};

// A sound-server or ALSA source (pulsesrc, pipewiresrc, alsasrc); its one
// mixer line switches the capture on and off.
class DeviceAudioCapture : public AudioCaptureFilter {
public:
    DeviceAudioCapture(std::string name, std::string moniker, const char* factory,
                       const char* deviceProperty, const std::string& device);
};

// The formats an audio pin offers: PCM at the usual rates, 16 and 8 bits,
// stereo and mono.
std::vector<MediaType> PcmFormats();
// A PCM media type.
MediaType PcmFormat(int rate_hz, int bits, int channels);
// A video media type at the given size and frame duration.
MediaType VideoFormat(std::uint32_t subtypeCode, int width, int height,
                      std::int64_t avgTimePerFrame);

} // namespace qeltv
