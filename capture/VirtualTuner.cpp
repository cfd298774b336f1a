#include "capture/VirtualTuner.h"

#include <array>

namespace qeltv {

namespace {

struct PinInfo {
    long physicalType;
    long relatedIndex;
};

// Video inputs pair with their sound: the tuner with tuner audio, the
// composite and S-Video sockets with the line input (which names composite
// as its partner).
constexpr std::array<PinInfo, 5> kInputs = {{
    {PhysConn_Video_Tuner, static_cast<long>(VirtualInput::TunerAudio)},
    {PhysConn_Video_Composite, static_cast<long>(VirtualInput::LineAudio)},
    {PhysConn_Video_SVideo, static_cast<long>(VirtualInput::LineAudio)},
    {PhysConn_Audio_Tuner, static_cast<long>(VirtualInput::TunerVideo)},
    {PhysConn_Audio_Line, static_cast<long>(VirtualInput::Composite)},
}};
constexpr std::array<PinInfo, 2> kOutputs = {{
    {PhysConn_Video_VideoDecoder, kAudioDecoderOutput},
    {PhysConn_Audio_AudioDecoder, kVideoDecoderOutput},
}};

bool IsVideo(long physicalType) {
    return physicalType < PhysConn_Audio_Tuner;
}

} // namespace

VirtualTuner::VirtualTuner(VirtualTvCard& card, AutoTuneStore& store)
    : TableTuner(store), card_(card) {}

HResult VirtualTuner::SignalPresent(long& strength) {
    strength =
        VirtualTvCard::stationNear(card_.frequency()) != nullptr ? kSignalPresent : kSignalNone;
    return status::S_OK;
}

HResult VirtualTuner::AutoTune(long channel, long& found) {
    found = 0;
    const std::optional<std::uint32_t> frequency_hz = channelFrequency(channel);
    if (!frequency_hz) {
        return status::E_INVALIDARG;
    }
    const VirtualStation* station = VirtualTvCard::stationNear(*frequency_hz);
    if (station == nullptr) {
        return put_Channel(channel, kSubChannelDefault, kSubChannelDefault);
    }
    const HResult hr = tuneFineTuned(channel, station->frequency_hz);
    if (Succeeded(hr)) {
        found = 1;
    }
    return hr;
}

HResult VirtualTuner::get_VideoFrequency(long& frequency_hz) {
    frequency_hz = static_cast<long>(card_.frequency());
    return status::S_OK;
}

HResult VirtualTuner::tuneFrequency(std::uint32_t frequency_hz) {
    if (frequency_hz < kVirtualTunerLowest_hz || frequency_hz > kVirtualTunerHighest_hz) {
        return status::E_INVALIDARG;
    }
    card_.tune(frequency_hz);
    return status::S_OK;
}

void VirtualTuner::frequencyRange(std::uint32_t& low_hz, std::uint32_t& high_hz) const {
    low_hz = kVirtualTunerLowest_hz;
    high_hz = kVirtualTunerHighest_hz;
}

HResult VirtualCrossbar::get_PinCounts(long& outputs, long& inputs) {
    outputs = static_cast<long>(kOutputs.size());
    inputs = static_cast<long>(kInputs.size());
    return status::S_OK;
}

HResult VirtualCrossbar::get_CrossbarPinInfo(bool isInput, long index, long& relatedIndex,
                                             long& physicalType) {
    const long count = static_cast<long>(isInput ? kInputs.size() : kOutputs.size());
    if (index < 0 || index >= count) {
        return status::E_INVALIDARG;
    }
    const PinInfo& pin = isInput ? kInputs[index] : kOutputs[index];
    relatedIndex = pin.relatedIndex;
    physicalType = pin.physicalType;
    return status::S_OK;
}

HResult VirtualCrossbar::CanRoute(long outputIndex, long inputIndex) {
    if (outputIndex < 0 || outputIndex >= static_cast<long>(kOutputs.size()) ||
        inputIndex < kNoPin || inputIndex >= static_cast<long>(kInputs.size())) {
        return status::E_INVALIDARG;
    }
    if (inputIndex == kNoPin) {
        return status::S_OK;
    }
    return IsVideo(kInputs[inputIndex].physicalType) == IsVideo(kOutputs[outputIndex].physicalType)
               ? status::S_OK
               : status::S_FALSE;
}

HResult VirtualCrossbar::Route(long outputIndex, long inputIndex) {
    if (CanRoute(outputIndex, inputIndex) != status::S_OK) {
        return status::E_INVALIDARG;
    }
    card_.route(outputIndex, inputIndex);
    return status::S_OK;
}

HResult VirtualCrossbar::get_IsRoutedTo(long outputIndex, long& inputIndex) {
    if (outputIndex < 0 || outputIndex >= static_cast<long>(kOutputs.size())) {
        return status::E_INVALIDARG;
    }
    inputIndex = card_.routedTo(outputIndex);
    return status::S_OK;
}

} // namespace qeltv
