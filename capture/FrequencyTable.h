// Channel numbers and their frequencies: the broadcast and cable channel
// plans by country code and input type, the overrides of the auto-tune store
// and the fine-tuning that AutoTune finds, and the part of a tuner that turns
// channel numbers into frequencies (shared by the V4L2 and virtual tuners).
#pragma once

#include "capture/TunerState.h"
#include "capture/TvTuner.h"
#include "settings/AutoTuneStore.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qeltv {

// The highest country code (international dialling codes have three digits).
constexpr long kMaxCountryCode = 999;
// The highest tuning space the tuners accept.
constexpr long kMaxTuningSpace = 9999;
// Tuner inputs: one RF input, index 0.
constexpr long kTunerInputCount = 1;

struct TableChannel {
    std::string label;          // the plan's own name, "E5", "S21"
    std::uint32_t frequency_hz; // video carrier
};

// The channel plan for a country code and input type: channel number n is
// element n-1, in ascending frequency. Western Europe (31) is the only plan
// kept; every other country code falls back to it. Cable carries the
// special channels S1 to S41 between the broadcast bands, antenna only the
// broadcast channels E2 to E12 and E21 to E69.
const std::vector<TableChannel>& ChannelTable(long countryCode, TunerInputType inputType);

// The frequency of each channel number for one tuner. The input type selects
// the plan (cable or antenna); the tuning space selects the auto-tune store
// list ("TS<space>-1") whose values override the plan's frequencies, so the
// cable-grid scan (space 0, normally no list) tunes the plain plan and the
// continuous scan (space 31) tunes what it wrote. An override may name a
// channel beyond the plan.
class ChannelFrequencies {
public:
    explicit ChannelFrequencies(AutoTuneStore& store);

    void setCountryCode(long countryCode) { countryCode_ = countryCode; }
    void setTuningSpace(long tuningSpace) { tuningSpace_ = tuningSpace; }
    void setInputType(TunerInputType inputType) { inputType_ = inputType; }
    long countryCode() const { return countryCode_; }
    long tuningSpace() const { return tuningSpace_; }
    TunerInputType inputType() const { return inputType_; }

    // Reads the overrides of the tuning space again and forgets fine-tuning.
    void reload();

    // Fine-tuning first, then the store's override, then the plan.
    std::optional<std::uint32_t> frequency(long channel) const;
    // The plan's range: 1 to the number of its channels.
    long minimumChannel() const { return 1; }
    long maximumChannel() const;

    // Keeps the frequency AutoTune settled on until the next reload.
    void setFineTuned(long channel, std::uint32_t frequency_hz);

private:
    AutoTuneStore& store_;
    long countryCode_ = kCountryCodeWesternEurope;
    long tuningSpace_ = kCountryCodeWesternEurope;
    TunerInputType inputType_ = TunerInputType::Cable;
    std::map<long, std::uint32_t> overrides_;
    std::map<long, std::uint32_t> fineTuned_;
};

// The channel-number side of a tuner: country code, tuning space, mode,
// input type, channel selection, property page and saved state. A backend
// adds the hardware: tuning a frequency, signal and AutoTune.
class TableTuner : public TvTuner, public TunerStatePersistence {
public:
    explicit TableTuner(AutoTuneStore& store);

    HResult put_CountryCode(long countryCode) override;
    HResult put_TuningSpace(long tuningSpace) override;
    HResult put_Mode(TunerMode mode) override;
    HResult put_InputType(long index, TunerInputType type) override;
    HResult put_Channel(long channel, long videoSubChannel, long audioSubChannel) override;
    HResult ChannelMinMax(long& minimum, long& maximum) override;

    std::vector<TunerProperty> properties() const override;
    HResult setProperty(const std::string& name, long value) override;

    TunerState state() const override;
    HResult restoreState(const TunerState& state) override;

    long channel() const { return channel_; }

protected:
    // Tunes the hardware; on success the frequency is the tuned one.
    virtual HResult tuneFrequency(std::uint32_t frequency_hz) = 0;
    // The lowest and highest frequency the hardware tunes.
    virtual void frequencyRange(std::uint32_t& low_hz, std::uint32_t& high_hz) const = 0;

    // Tunes frequency_hz as channel channel (AutoTune's result), keeping it
    // as that channel's fine-tuning.
    HResult tuneFineTuned(long channel, std::uint32_t frequency_hz);
    std::optional<std::uint32_t> channelFrequency(long channel) const {
        return frequencies_.frequency(channel);
    }
    // The last frequency tuned successfully (0 before the first).
    std::uint32_t tunedFrequency() const { return frequency_hz_; }
    void setTuned(long channel, std::uint32_t frequency_hz);

private:
    ChannelFrequencies frequencies_;
    TunerMode mode_ = TunerMode::TV;
    long channel_ = 0;
    std::uint32_t frequency_hz_ = 0;
};

} // namespace qeltv
