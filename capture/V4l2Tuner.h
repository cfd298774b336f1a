// The tuner and crossbar of a V4L2 capture device (/dev/videoN).
#pragma once

#include "capture/Crossbar.h"
#include "capture/FrequencyTable.h"
#include "capture/V4l2Device.h"

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace qeltv {

// After a frequency change the tuner's PLL and the video decoder need time
// before signal and AFC mean anything. The tuner is read every
// kTunerSettlePoll_ms until kTunerStableReadings readings in a row show the
// same signal and AFC, and never waited for longer than kTunerSettleTime_ms.
// Readings without a signal never count as settled: they look the same
// before the PLL has locked as where nothing is sent.
constexpr std::chrono::milliseconds kTunerSettleTime_ms{60};
constexpr std::chrono::milliseconds kTunerSettlePoll_ms{10};
constexpr int kTunerStableReadings = 2;
// AutoTune looks for a carrier this far either side of the channel's
// frequency in coarse steps, then follows AFC in coarse and then fine steps.
constexpr std::uint32_t kAutoTuneWindow_hz = 2'000'000;
constexpr std::uint32_t kAutoTuneCoarseStep_hz = 250'000;
constexpr std::uint32_t kAutoTuneFineStep_hz = 62'500;
// Enumeration of inputs stops here even if a driver keeps answering.
constexpr unsigned kMaxV4l2Inputs = 64;

// V4L2 frequency units: 62.5 Hz for tuners with V4L2_TUNER_CAP_LOW,
// otherwise 62.5 kHz. Conversions round to the nearest unit.
std::uint32_t FrequencyToV4l2Units(std::uint32_t frequency_hz, bool lowUnits);
std::uint32_t V4l2UnitsToFrequency(std::uint32_t units, bool lowUnits);

class V4l2Tuner : public TableTuner {
public:
    using Wait = std::function<void(std::chrono::milliseconds)>;

    // Throws CaptureError when the node cannot be opened or has no tuner.
    V4l2Tuner(const std::string& devicePath, AutoTuneStore& store);
    // wait defaults to sleeping on the calling thread.
    V4l2Tuner(std::unique_ptr<V4l2Device> device, AutoTuneStore& store, Wait wait = {});

    std::string name() const override { return name_; }
    // kSignalPresent when the tuner reports any signal.
    HResult SignalPresent(long& strength) override;
    // Searches kAutoTuneWindow_hz either side of the channel's frequency for
    // the strongest carrier, then steps against AFC until it is centred. The
    // tuner stays on what was found (found 1), or on the channel's frequency
    // when nothing was (found 0).
    HResult AutoTune(long channel, long& found) override;
    HResult get_VideoFrequency(long& frequency_hz) override;

    // The text of the last failed device call.
    const std::string& lastErrorText() const { return device_->lastErrorText(); }

protected:
    HResult tuneFrequency(std::uint32_t frequency_hz) override;
    void frequencyRange(std::uint32_t& low_hz, std::uint32_t& high_hz) const override;

private:
    struct Reading {
        bool signal = false;
        std::int32_t signalStrength = 0;
        std::int32_t afc = 0;
        bool operator==(const Reading&) const = default;
    };
    HResult read(Reading& reading);
    // Waits after a frequency change until the readings are stable or the
    // settle time has passed.
    void settle();
    HResult probe(std::uint32_t frequency_hz, Reading& reading);
    // Steps by step_hz against AFC while the signal stays, keeping at_hz on
    // the point nearest the carrier and within the window around center_hz.
    HResult followAfc(std::uint32_t center_hz, std::uint32_t step_hz, std::uint32_t& at_hz,
                      Reading& at);

    std::unique_ptr<V4l2Device> device_;
    Wait wait_;
    std::string name_;
    std::uint32_t tunerIndex_ = 0;
    std::uint32_t tunerType_ = 0;
    bool lowUnits_ = false;
    std::uint32_t rangeLow_hz_ = 0;
    std::uint32_t rangeHigh_hz_ = 0;
};

// Video inputs (VIDIOC_ENUMINPUT) then audio inputs (VIDIOC_ENUMAUDIO) as
// input pins; outputs Video Decoder (0) and, when the device has audio
// inputs, Audio Decoder (1).
class V4l2Crossbar : public Crossbar {
public:
    // Throws CaptureError when the node cannot be opened or has no inputs.
    explicit V4l2Crossbar(const std::string& devicePath);
    explicit V4l2Crossbar(std::unique_ptr<V4l2Device> device);

    std::string name() const override { return name_; }
    HResult get_PinCounts(long& outputs, long& inputs) override;
    HResult get_CrossbarPinInfo(bool isInput, long index, long& relatedIndex,
                                long& physicalType) override;
    HResult CanRoute(long outputIndex, long inputIndex) override;
    HResult Route(long outputIndex, long inputIndex) override;
    HResult get_IsRoutedTo(long outputIndex, long& inputIndex) override;

    const std::string& lastErrorText() const { return device_->lastErrorText(); }

private:
    struct Pin {
        long physicalType;
        long relatedIndex;
        std::uint32_t deviceIndex; // the V4L2 input or audio input index
        bool audio;
    };

    std::unique_ptr<V4l2Device> device_;
    std::string name_;
    std::vector<Pin> inputs_;
    std::vector<Pin> outputs_;
};

// The card name a device reports (VIDIOC_QUERYCAP), and its capabilities.
std::string V4l2CardName(V4l2Device& device, std::uint32_t& capabilities);

} // namespace qeltv
