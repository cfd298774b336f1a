#include "capture/FrequencyTable.h"

#include <algorithm>
#include <charconv>

namespace qeltv {

namespace {

constexpr std::uint32_t kMHz = 1'000'000;
constexpr std::uint32_t kQuarterMHz = 250'000;

// One run of equally spaced channels of a plan.
struct Band {
    char prefix;
    int firstNumber;
    int lastNumber;
    std::uint32_t firstFrequency_hz;
    std::uint32_t spacing_hz;
};

// The CCIR broadcast channels and the cable special channels of Western
// Europe, in ascending frequency.
constexpr Band kBandE2toE4 = {'E', 2, 4, 48 * kMHz + kQuarterMHz, 7 * kMHz};
constexpr Band kBandS1toS10 = {'S', 1, 10, 105 * kMHz + kQuarterMHz, 7 * kMHz};
constexpr Band kBandE5toE12 = {'E', 5, 12, 175 * kMHz + kQuarterMHz, 7 * kMHz};
constexpr Band kBandS11toS20 = {'S', 11, 20, 231 * kMHz + kQuarterMHz, 7 * kMHz};
constexpr Band kBandS21toS41 = {'S', 21, 41, 303 * kMHz + kQuarterMHz, 8 * kMHz};
constexpr Band kBandE21toE69 = {'E', 21, 69, 471 * kMHz + kQuarterMHz, 8 * kMHz};

std::vector<TableChannel> MakeTable(std::initializer_list<Band> bands) {
    std::vector<TableChannel> table;
    for (const Band& band : bands) {
        for (int number = band.firstNumber; number <= band.lastNumber; ++number) {
            table.push_back(
                {band.prefix + std::to_string(number),
                 band.firstFrequency_hz +
                     band.spacing_hz * static_cast<std::uint32_t>(number - band.firstNumber)});
        }
    }
    return table;
}

std::optional<long> ParseChannelNumber(const std::string& text) {
    long number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return number;
}

// Property page names.
const char* const kPropertyChannel = "Channel";
const char* const kPropertyCountryCode = "Country code";
const char* const kPropertyTuningSpace = "Tuning space";
const char* const kPropertyInputType = "Input type";
const char* const kPropertyFrequency = "Video frequency (Hz)";

} // namespace

const std::vector<TableChannel>& ChannelTable(long countryCode, TunerInputType inputType) {
    // Only the Western European plans are kept: every country code uses them.
    static_cast<void>(countryCode);
    static const std::vector<TableChannel> cable = MakeTable(
        {kBandE2toE4, kBandS1toS10, kBandE5toE12, kBandS11toS20, kBandS21toS41, kBandE21toE69});
    static const std::vector<TableChannel> antenna =
        MakeTable({kBandE2toE4, kBandE5toE12, kBandE21toE69});
    return inputType == TunerInputType::Antenna ? antenna : cable;
}

ChannelFrequencies::ChannelFrequencies(AutoTuneStore& store) : store_(store) {
    reload();
}

void ChannelFrequencies::reload() {
    overrides_.clear();
    fineTuned_.clear();
    for (const auto& [name, frequency_hz] : store_.entries(tuningSpace_)) {
        const std::optional<long> channel = ParseChannelNumber(name);
        // A value that names no channel or holds no frequency tunes nothing.
        if (channel && frequency_hz > 0) {
            overrides_[*channel] = static_cast<std::uint32_t>(frequency_hz);
        }
    }
}

std::optional<std::uint32_t> ChannelFrequencies::frequency(long channel) const {
    if (const auto fine = fineTuned_.find(channel); fine != fineTuned_.end()) {
        return fine->second;
    }
    if (const auto stored = overrides_.find(channel); stored != overrides_.end()) {
        return stored->second;
    }
    const std::vector<TableChannel>& table = ChannelTable(countryCode_, inputType_);
    if (channel < minimumChannel() || channel > maximumChannel()) {
        return std::nullopt;
    }
    return table[static_cast<std::size_t>(channel - 1)].frequency_hz;
}

long ChannelFrequencies::maximumChannel() const {
    return static_cast<long>(ChannelTable(countryCode_, inputType_).size());
}

void ChannelFrequencies::setFineTuned(long channel, std::uint32_t frequency_hz) {
    fineTuned_[channel] = frequency_hz;
}

TableTuner::TableTuner(AutoTuneStore& store) : frequencies_(store) {}

HResult TableTuner::put_CountryCode(long countryCode) {
    if (countryCode < 0 || countryCode > kMaxCountryCode) {
        return status::E_INVALIDARG;
    }
    frequencies_.setCountryCode(countryCode);
    frequencies_.reload();
    return status::S_OK;
}

HResult TableTuner::put_TuningSpace(long tuningSpace) {
    if (tuningSpace < 0 || tuningSpace > kMaxTuningSpace) {
        return status::E_INVALIDARG;
    }
    frequencies_.setTuningSpace(tuningSpace);
    frequencies_.reload();
    return status::S_OK;
}

HResult TableTuner::put_Mode(TunerMode mode) {
    // Analog TV only: radio is a device of its own under V4L2.
    if (mode != TunerMode::TV) {
        return status::E_INVALIDARG;
    }
    mode_ = mode;
    return status::S_OK;
}

HResult TableTuner::put_InputType(long index, TunerInputType type) {
    if (index < 0 || index >= kTunerInputCount ||
        (type != TunerInputType::Cable && type != TunerInputType::Antenna)) {
        return status::E_INVALIDARG;
    }
    frequencies_.setInputType(type);
    frequencies_.reload();
    return status::S_OK;
}

HResult TableTuner::put_Channel(long channel, long videoSubChannel, long audioSubChannel) {
    static_cast<void>(audioSubChannel);
    const std::optional<std::uint32_t> frequency_hz = frequencies_.frequency(channel);
    if (!frequency_hz) {
        return status::E_INVALIDARG;
    }
    if (videoSubChannel == kSubChannelNoTune) {
        channel_ = channel;
        return status::S_OK;
    }
    const HResult hr = tuneFrequency(*frequency_hz);
    if (Succeeded(hr)) {
        setTuned(channel, *frequency_hz);
    }
    return hr;
}

HResult TableTuner::ChannelMinMax(long& minimum, long& maximum) {
    minimum = frequencies_.minimumChannel();
    maximum = frequencies_.maximumChannel();
    return status::S_OK;
}

std::vector<TunerProperty> TableTuner::properties() const {
    std::uint32_t low_hz = 0;
    std::uint32_t high_hz = 0;
    frequencyRange(low_hz, high_hz);
    return {
        {kPropertyChannel, channel_, frequencies_.minimumChannel(),
         std::max(frequencies_.maximumChannel(), channel_), false},
        {kPropertyCountryCode, frequencies_.countryCode(), 0, kMaxCountryCode, false},
        {kPropertyTuningSpace, frequencies_.tuningSpace(), 0, kMaxTuningSpace, false},
        {kPropertyInputType, static_cast<long>(frequencies_.inputType()),
         static_cast<long>(TunerInputType::Cable), static_cast<long>(TunerInputType::Antenna),
         false},
        {kPropertyFrequency, static_cast<long>(frequency_hz_), static_cast<long>(low_hz),
         static_cast<long>(high_hz), true},
    };
}

HResult TableTuner::setProperty(const std::string& name, long value) {
    if (name == kPropertyChannel) {
        return put_Channel(value, kSubChannelDefault, kSubChannelDefault);
    }
    if (name == kPropertyCountryCode) {
        return put_CountryCode(value);
    }
    if (name == kPropertyTuningSpace) {
        return put_TuningSpace(value);
    }
    if (name == kPropertyInputType) {
        return put_InputType(0, static_cast<TunerInputType>(value));
    }
    // The frequency is read-only; unknown names are refused as well.
    return status::E_INVALIDARG;
}

TunerState TableTuner::state() const {
    return {frequencies_.countryCode(),
            frequencies_.tuningSpace(),
            mode_,
            frequencies_.inputType(),
            channel_,
            frequency_hz_};
}

HResult TableTuner::restoreState(const TunerState& saved) {
    // Every setting is applied even when an earlier one is refused; the
    // first failure is reported.
    HResult result = status::S_OK;
    const auto keep = [&result](HResult hr) {
        if (Failed(hr) && Succeeded(result)) {
            result = hr;
        }
    };
    keep(put_CountryCode(saved.countryCode));
    keep(put_TuningSpace(saved.tuningSpace));
    keep(put_Mode(saved.mode));
    keep(put_InputType(0, saved.inputType));
    if (saved.channel != 0) {
        const HResult hr = put_Channel(saved.channel, kSubChannelDefault, kSubChannelDefault);
        keep(hr);
        if (Succeeded(hr) && saved.frequency_hz != 0 && saved.frequency_hz != frequency_hz_) {
            keep(tuneFineTuned(saved.channel, saved.frequency_hz));
        }
    }
    return result;
}

HResult TableTuner::tuneFineTuned(long channel, std::uint32_t frequency_hz) {
    const HResult hr = tuneFrequency(frequency_hz);
    if (Succeeded(hr)) {
        frequencies_.setFineTuned(channel, frequency_hz);
        setTuned(channel, frequency_hz);
    }
    return hr;
}

void TableTuner::setTuned(long channel, std::uint32_t frequency_hz) {
    channel_ = channel;
    frequency_hz_ = frequency_hz;
}

} // namespace qeltv
