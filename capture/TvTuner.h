// The TV tuner as the program uses it: exactly the calls the channel list,
// auto-tune and graph building make. The V4L2 backend and the Virtual TV Card
// implement it. Results are statuses that callers may ignore.
#pragma once

#include "capture/Status.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qeltv {

enum class TunerMode : long { Default = 0, TV = 1, FMRadio = 2, AMRadio = 4, Dss = 8 };
enum class TunerInputType : long { Cable = 0, Antenna = 1 };

constexpr long kSubChannelDefault = -1; // AMTUNER_SUBCHAN_DEFAULT
constexpr long kSubChannelNoTune = -2;  // AMTUNER_SUBCHAN_NO_TUNE
constexpr long kCountryCodeWesternEurope = 31;

// Signal strengths reported by SignalPresent.
constexpr long kSignalNone = 0;
constexpr long kSignalPresent = 1;
constexpr long kSignalUnknown = -1;

// One editable setting shown on the tuner's property page.
struct TunerProperty {
    std::string name;
    long value = 0;
    long minimum = 0;
    long maximum = 0;
    bool readOnly = false;
};

class TvTuner {
public:
    virtual ~TvTuner() = default;

    // The tuner filter's own name (what QueryFilterInfo reports).
    virtual std::string name() const = 0;

    // Selects the channel table and reloads the frequency overrides of the
    // auto-tune store for the current tuning space.
    virtual HResult put_CountryCode(long countryCode) = 0;
    virtual HResult put_TuningSpace(long tuningSpace) = 0;
    virtual HResult put_Mode(TunerMode mode) = 0;
    virtual HResult put_InputType(long index, TunerInputType type) = 0;
    virtual HResult put_Channel(long channel, long videoSubChannel, long audioSubChannel) = 0;
    virtual HResult ChannelMinMax(long& minimum, long& maximum) = 0;
    virtual HResult SignalPresent(long& strength) = 0;
    // Fine-tunes around the channel's frequency; found > 0 when a signal was
    // found and the tuner now sits on it.
    virtual HResult AutoTune(long channel, long& found) = 0;
    virtual HResult get_VideoFrequency(long& frequency_hz) = 0;

    // The tuner's property page.
    virtual std::vector<TunerProperty> properties() const = 0;
    virtual HResult setProperty(const std::string& name, long value) = 0;
};

} // namespace qeltv
