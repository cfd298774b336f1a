#include "capture/V4l2Tuner.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <linux/videodev2.h>
#include <thread>

namespace qeltv {

namespace {

// 62.5 Hz and 62.5 kHz as fractions: hertz = units * numerator / 16.
constexpr std::uint64_t kUnitDenominator = 16;
constexpr std::uint64_t kLowUnitNumerator = 1'000;
constexpr std::uint64_t kHighUnitNumerator = 1'000'000;

// Audio inputs a video input's audioset can name.
constexpr std::uint32_t kAudioSetBits = 32;

std::string FixedText(const __u8* text, std::size_t size) {
    const char* begin = reinterpret_cast<const char*>(text);
    return std::string(begin, strnlen(begin, size));
}

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool Contains(const std::string& text, std::initializer_list<const char*> words) {
    return std::any_of(words.begin(), words.end(),
                       [&text](const char* word) { return text.find(word) != std::string::npos; });
}

// Driver input names are free text; these are the usual spellings.
long VideoConnector(const v4l2_input& input) {
    if (input.type == V4L2_INPUT_TYPE_TUNER) {
        return PhysConn_Video_Tuner;
    }
    const std::string name = Lowercase(FixedText(input.name, sizeof input.name));
    return Contains(name, {"s-video", "svideo", "s video", "y/c"}) ? PhysConn_Video_SVideo
                                                                   : PhysConn_Video_Composite;
}

long AudioConnector(const v4l2_audio& audio) {
    const std::string name = Lowercase(FixedText(audio.name, sizeof audio.name));
    if (Contains(name, {"tuner", "tv", "television"})) {
        return PhysConn_Audio_Tuner;
    }
    return Contains(name, {"mic"}) ? PhysConn_Audio_Mic : PhysConn_Audio_Line;
}

void SleepFor(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

int Sign(std::int32_t value) {
    return (value > 0) - (value < 0);
}

} // namespace

std::uint32_t FrequencyToV4l2Units(std::uint32_t frequency_hz, bool lowUnits) {
    const std::uint64_t numerator = lowUnits ? kLowUnitNumerator : kHighUnitNumerator;
    return static_cast<std::uint32_t>((frequency_hz * kUnitDenominator + numerator / 2) /
                                      numerator);
}

std::uint32_t V4l2UnitsToFrequency(std::uint32_t units, bool lowUnits) {
    const std::uint64_t numerator = lowUnits ? kLowUnitNumerator : kHighUnitNumerator;
    const std::uint64_t frequency_hz =
        (units * numerator + kUnitDenominator / 2) / kUnitDenominator;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(frequency_hz, UINT32_MAX));
}

std::string V4l2CardName(V4l2Device& device, std::uint32_t& capabilities) {
    v4l2_capability capability{};
    V4L2_CHECKED_IOCTL(device, VIDIOC_QUERYCAP, &capability);
    capabilities = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? capability.device_caps
                                                                         : capability.capabilities;
    return FixedText(capability.card, sizeof capability.card);
}

V4l2Tuner::V4l2Tuner(const std::string& devicePath, AutoTuneStore& store)
    : V4l2Tuner(std::make_unique<V4l2Device>(devicePath), store) {}

V4l2Tuner::V4l2Tuner(std::unique_ptr<V4l2Device> device, AutoTuneStore& store, Wait wait)
    : TableTuner(store), device_(std::move(device)), wait_(wait ? std::move(wait) : SleepFor) {
    std::uint32_t capabilities = 0;
    name_ = V4l2CardName(*device_, capabilities) + " Tuner";
    if ((capabilities & V4L2_CAP_TUNER) == 0) {
        throw CaptureError(device_->path() + " has no tuner", status::E_NOINTERFACE);
    }
    // The tuner is the one the tuner input names; a driver without such an
    // input has tuner 0.
    for (std::uint32_t index = 0; index < kMaxV4l2Inputs; ++index) {
        v4l2_input input{};
        input.index = index;
        if (Failed(V4L2_NAMED_IOCTL(*device_, VIDIOC_ENUMINPUT, &input))) {
            break;
        }
        if (input.type == V4L2_INPUT_TYPE_TUNER) {
            tunerIndex_ = input.tuner;
            break;
        }
    }
    v4l2_tuner tuner{};
    tuner.index = tunerIndex_;
    V4L2_CHECKED_IOCTL(*device_, VIDIOC_G_TUNER, &tuner);
    tunerType_ = tuner.type;
    lowUnits_ = (tuner.capability & V4L2_TUNER_CAP_LOW) != 0;
    rangeLow_hz_ = V4l2UnitsToFrequency(tuner.rangelow, lowUnits_);
    rangeHigh_hz_ = V4l2UnitsToFrequency(tuner.rangehigh, lowUnits_);
}

HResult V4l2Tuner::SignalPresent(long& strength) {
    v4l2_tuner tuner{};
    tuner.index = tunerIndex_;
    const HResult hr = V4L2_NAMED_IOCTL(*device_, VIDIOC_G_TUNER, &tuner);
    if (Succeeded(hr)) {
        strength = tuner.signal > 0 ? kSignalPresent : kSignalNone;
    }
    return hr;
}

HResult V4l2Tuner::get_VideoFrequency(long& frequency_hz) {
    v4l2_frequency frequency{};
    frequency.tuner = tunerIndex_;
    const HResult hr = V4L2_NAMED_IOCTL(*device_, VIDIOC_G_FREQUENCY, &frequency);
    if (Succeeded(hr)) {
        frequency_hz = static_cast<long>(V4l2UnitsToFrequency(frequency.frequency, lowUnits_));
    }
    return hr;
}

HResult V4l2Tuner::tuneFrequency(std::uint32_t frequency_hz) {
    if (frequency_hz < rangeLow_hz_ || frequency_hz > rangeHigh_hz_) {
        return status::E_INVALIDARG;
    }
    v4l2_frequency frequency{};
    frequency.tuner = tunerIndex_;
    frequency.type = tunerType_;
    frequency.frequency = FrequencyToV4l2Units(frequency_hz, lowUnits_);
    const HResult hr = V4L2_NAMED_IOCTL(*device_, VIDIOC_S_FREQUENCY, &frequency);
    if (Succeeded(hr)) {
        settle();
    }
    return hr;
}

HResult V4l2Tuner::read(Reading& reading) {
    v4l2_tuner tuner{};
    tuner.index = tunerIndex_;
    const HResult hr = V4L2_NAMED_IOCTL(*device_, VIDIOC_G_TUNER, &tuner);
    if (Succeeded(hr)) {
        reading.signal = tuner.signal > 0;
        reading.signalStrength = tuner.signal;
        reading.afc = tuner.afc;
    }
    return hr;
}

void V4l2Tuner::settle() {
    std::chrono::milliseconds waited{0};
    Reading previous;
    int agreeing = 0;
    while (waited < kTunerSettleTime_ms) {
        const std::chrono::milliseconds step =
            std::min(kTunerSettlePoll_ms, kTunerSettleTime_ms - waited);
        wait_(step);
        waited += step;
        Reading now;
        if (Failed(read(now))) {
            // Nothing to watch: the whole settle time is the only guess left.
            wait_(kTunerSettleTime_ms - waited);
            return;
        }
        agreeing = !now.signal ? 0 : (agreeing > 0 && now == previous ? agreeing + 1 : 1);
        if (agreeing >= kTunerStableReadings) {
            return;
        }
        previous = now;
    }
}

void V4l2Tuner::frequencyRange(std::uint32_t& low_hz, std::uint32_t& high_hz) const {
    low_hz = rangeLow_hz_;
    high_hz = rangeHigh_hz_;
}

HResult V4l2Tuner::probe(std::uint32_t frequency_hz, Reading& reading) {
    const HResult hr = tuneFrequency(frequency_hz);
    if (Failed(hr)) {
        return hr;
    }
    return read(reading);
}

HResult V4l2Tuner::AutoTune(long channel, long& found) {
    found = 0;
    const std::optional<std::uint32_t> center_hz = channelFrequency(channel);
    if (!center_hz) {
        return status::E_INVALIDARG;
    }

    // Coarse pass from the centre outwards; the strongest carrier wins, then
    // the one best centred by AFC, then the one nearest the channel.
    std::optional<std::uint32_t> best_hz;
    Reading best;
    const int coarseSteps = static_cast<int>(kAutoTuneWindow_hz / kAutoTuneCoarseStep_hz);
    for (int step = 0; step <= 2 * coarseSteps; ++step) {
        const int offset = (step % 2 == 1 ? 1 : -1) * ((step + 1) / 2);
        const long long candidate_hz = static_cast<long long>(*center_hz) +
                                       offset * static_cast<long long>(kAutoTuneCoarseStep_hz);
        if (candidate_hz < rangeLow_hz_ || candidate_hz > rangeHigh_hz_) {
            continue;
        }
        Reading reading;
        const HResult hr = probe(static_cast<std::uint32_t>(candidate_hz), reading);
        if (Failed(hr)) {
            return hr;
        }
        if (!reading.signal) {
            continue;
        }
        if (!best_hz || reading.signalStrength > best.signalStrength ||
            (reading.signalStrength == best.signalStrength &&
             std::abs(reading.afc) < std::abs(best.afc))) {
            best_hz = static_cast<std::uint32_t>(candidate_hz);
            best = reading;
        }
    }
    if (!best_hz) {
        return put_Channel(channel, kSubChannelDefault, kSubChannelDefault);
    }

    // Follow AFC in coarse steps, then in fine ones, until it reads zero or
    // changes sign (the carrier then lies within one fine step).
    std::uint32_t chosen_hz = *best_hz;
    Reading chosen = best;
    for (const std::uint32_t step_hz : {kAutoTuneCoarseStep_hz, kAutoTuneFineStep_hz}) {
        const HResult hr = followAfc(*center_hz, step_hz, chosen_hz, chosen);
        if (Failed(hr)) {
            return hr;
        }
    }
    const HResult hr = tuneFineTuned(channel, chosen_hz);
    if (Succeeded(hr)) {
        found = 1;
    }
    return hr;
}

HResult V4l2Tuner::followAfc(std::uint32_t center_hz, std::uint32_t step_hz, std::uint32_t& at_hz,
                             Reading& at) {
    // Never more steps than it takes to cross the window.
    const int maxSteps = static_cast<int>(2 * kAutoTuneWindow_hz / step_hz);
    for (int step = 0; step < maxSteps && at.afc != 0; ++step) {
        // A positive AFC means the tuner sits above the carrier.
        const long long next_hz =
            static_cast<long long>(at_hz) - Sign(at.afc) * static_cast<long long>(step_hz);
        if (next_hz < rangeLow_hz_ || next_hz > rangeHigh_hz_ ||
            std::llabs(next_hz - static_cast<long long>(center_hz)) > kAutoTuneWindow_hz) {
            break;
        }
        Reading next;
        const HResult hr = probe(static_cast<std::uint32_t>(next_hz), next);
        if (Failed(hr)) {
            return hr;
        }
        if (!next.signal) {
            break;
        }
        const bool crossed = Sign(next.afc) != Sign(at.afc);
        if (!crossed || std::abs(next.afc) < std::abs(at.afc)) {
            at_hz = static_cast<std::uint32_t>(next_hz);
            at = next;
        }
        if (crossed) {
            break;
        }
    }
    return status::S_OK;
}

V4l2Crossbar::V4l2Crossbar(const std::string& devicePath)
    : V4l2Crossbar(std::make_unique<V4l2Device>(devicePath)) {}

V4l2Crossbar::V4l2Crossbar(std::unique_ptr<V4l2Device> device) : device_(std::move(device)) {
    std::uint32_t capabilities = 0;
    name_ = V4l2CardName(*device_, capabilities) + " Crossbar";

    std::vector<std::uint32_t> audioSets;
    for (std::uint32_t index = 0; index < kMaxV4l2Inputs; ++index) {
        v4l2_input input{};
        input.index = index;
        if (Failed(V4L2_NAMED_IOCTL(*device_, VIDIOC_ENUMINPUT, &input))) {
            break;
        }
        inputs_.push_back({VideoConnector(input), kNoPin, input.index, false});
        audioSets.push_back(input.audioset);
    }
    if (inputs_.empty()) {
        throw CaptureError(device_->path() + " has no inputs", status::E_NOINTERFACE);
    }
    const std::size_t videoCount = inputs_.size();
    for (std::uint32_t index = 0; index < kMaxV4l2Inputs; ++index) {
        v4l2_audio audio{};
        audio.index = index;
        if (Failed(V4L2_NAMED_IOCTL(*device_, VIDIOC_ENUMAUDIO, &audio))) {
            break;
        }
        inputs_.push_back({AudioConnector(audio), kNoPin, audio.index, true});
    }

    // Pair each video input with the first audio input of its audio set, and
    // each audio input with the first video input that lists it.
    for (std::size_t video = 0; video < videoCount; ++video) {
        for (std::size_t audio = videoCount; audio < inputs_.size(); ++audio) {
            const std::uint32_t bit = inputs_[audio].deviceIndex;
            if (bit < kAudioSetBits && (audioSets[video] & (1u << bit)) != 0) {
                if (inputs_[video].relatedIndex == kNoPin) {
                    inputs_[video].relatedIndex = static_cast<long>(audio);
                }
                if (inputs_[audio].relatedIndex == kNoPin) {
                    inputs_[audio].relatedIndex = static_cast<long>(video);
                }
            }
        }
    }

    const bool hasAudio = inputs_.size() > videoCount;
    outputs_.push_back(
        {PhysConn_Video_VideoDecoder, hasAudio ? kAudioDecoderOutput : kNoPin, 0, false});
    if (hasAudio) {
        outputs_.push_back({PhysConn_Audio_AudioDecoder, kVideoDecoderOutput, 0, true});
    }
}

HResult V4l2Crossbar::get_PinCounts(long& outputs, long& inputs) {
    outputs = static_cast<long>(outputs_.size());
    inputs = static_cast<long>(inputs_.size());
    return status::S_OK;
}

HResult V4l2Crossbar::get_CrossbarPinInfo(bool isInput, long index, long& relatedIndex,
                                          long& physicalType) {
    const std::vector<Pin>& pins = isInput ? inputs_ : outputs_;
    if (index < 0 || index >= static_cast<long>(pins.size())) {
        return status::E_INVALIDARG;
    }
    relatedIndex = pins[index].relatedIndex;
    physicalType = pins[index].physicalType;
    return status::S_OK;
}

HResult V4l2Crossbar::CanRoute(long outputIndex, long inputIndex) {
    if (outputIndex < 0 || outputIndex >= static_cast<long>(outputs_.size()) || inputIndex < 0 ||
        inputIndex >= static_cast<long>(inputs_.size())) {
        return status::E_INVALIDARG;
    }
    return inputs_[inputIndex].audio == outputs_[outputIndex].audio ? status::S_OK
                                                                    : status::S_FALSE;
}

HResult V4l2Crossbar::Route(long outputIndex, long inputIndex) {
    // A V4L2 device always has one input selected: an output cannot be left
    // unconnected, so input -1 is refused with the other impossible routes.
    if (CanRoute(outputIndex, inputIndex) != status::S_OK) {
        return status::E_INVALIDARG;
    }
    const Pin& pin = inputs_[inputIndex];
    if (pin.audio) {
        v4l2_audio audio{};
        audio.index = pin.deviceIndex;
        return V4L2_NAMED_IOCTL(*device_, VIDIOC_S_AUDIO, &audio);
    }
    int index = static_cast<int>(pin.deviceIndex);
    return V4L2_NAMED_IOCTL(*device_, VIDIOC_S_INPUT, &index);
}

HResult V4l2Crossbar::get_IsRoutedTo(long outputIndex, long& inputIndex) {
    if (outputIndex < 0 || outputIndex >= static_cast<long>(outputs_.size())) {
        return status::E_INVALIDARG;
    }
    const bool audio = outputs_[outputIndex].audio;
    std::uint32_t deviceIndex = 0;
    HResult hr = status::S_OK;
    if (audio) {
        v4l2_audio current{};
        hr = V4L2_NAMED_IOCTL(*device_, VIDIOC_G_AUDIO, &current);
        deviceIndex = current.index;
    } else {
        int current = 0;
        hr = V4L2_NAMED_IOCTL(*device_, VIDIOC_G_INPUT, &current);
        deviceIndex = static_cast<std::uint32_t>(current);
    }
    if (Failed(hr)) {
        return hr;
    }
    inputIndex = kNoPin;
    for (std::size_t pin = 0; pin < inputs_.size(); ++pin) {
        if (inputs_[pin].audio == audio && inputs_[pin].deviceIndex == deviceIndex) {
            inputIndex = static_cast<long>(pin);
            break;
        }
    }
    return status::S_OK;
}

} // namespace qeltv
