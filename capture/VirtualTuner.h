// The tuner and crossbar of the Virtual TV Card. Both change the card's
// state at once, so its video and audio sources follow every channel change
// and routing without delay.
#pragma once

#include "capture/Crossbar.h"
#include "capture/FrequencyTable.h"
#include "capture/VirtualTvCard.h"

namespace qeltv {

// The range the virtual tuner tunes: every channel of the plans and the
// whole range of the continuous frequency scan (38 to 900 MHz).
constexpr std::uint32_t kVirtualTunerLowest_hz = 38'000'000;
constexpr std::uint32_t kVirtualTunerHighest_hz = 900'000'000;

class VirtualTuner : public TableTuner {
public:
    VirtualTuner(VirtualTvCard& card, AutoTuneStore& store);

    std::string name() const override { return "Virtual TV Card Tuner"; }
    // kSignalPresent within kVirtualCaptureRange_hz of a station.
    HResult SignalPresent(long& strength) override;
    // A station within the capture range of the channel's frequency is tuned
    // exactly (found 1); otherwise the channel's frequency stays (found 0).
    HResult AutoTune(long channel, long& found) override;
    HResult get_VideoFrequency(long& frequency_hz) override;

protected:
    HResult tuneFrequency(std::uint32_t frequency_hz) override;
    void frequencyRange(std::uint32_t& low_hz, std::uint32_t& high_hz) const override;

private:
    VirtualTvCard& card_;
};

// Inputs in VirtualInput order; outputs Video Decoder (0) and Audio
// Decoder (1).
class VirtualCrossbar : public Crossbar {
public:
    explicit VirtualCrossbar(VirtualTvCard& card) : card_(card) {}

    std::string name() const override { return "Virtual TV Card Crossbar"; }
    HResult get_PinCounts(long& outputs, long& inputs) override;
    HResult get_CrossbarPinInfo(bool isInput, long index, long& relatedIndex,
                                long& physicalType) override;
    // Video inputs route to the video decoder, audio inputs to the audio
    // decoder; input -1 leaves an output unconnected.
    HResult CanRoute(long outputIndex, long inputIndex) override;
    HResult Route(long outputIndex, long inputIndex) override;
    HResult get_IsRoutedTo(long outputIndex, long& inputIndex) override;

private:
    VirtualTvCard& card_;
};

} // namespace qeltv
