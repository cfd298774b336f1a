// The tuner settings that the graph file keeps, so a restored graph comes
// back on the channel and table it was saved with.
#pragma once

#include "capture/Status.h"
#include "capture/TvTuner.h"

#include <cstdint>

namespace qeltv {

struct TunerState {
    long countryCode = kCountryCodeWesternEurope;
    long tuningSpace = kCountryCodeWesternEurope;
    TunerMode mode = TunerMode::TV;
    TunerInputType inputType = TunerInputType::Cable;
    long channel = 0;               // 0: nothing tuned yet
    std::uint32_t frequency_hz = 0; // the tuned carrier, fine-tuning included
};

// Implemented by the tuners of this layer beside TvTuner; reach it with
// dynamic_cast from a TvTuner.
class TunerStatePersistence {
public:
    virtual ~TunerStatePersistence() = default;
    virtual TunerState state() const = 0;
    // Applies the settings, then tunes the channel and, when the saved
    // frequency differs from the channel's, that frequency.
    virtual HResult restoreState(const TunerState& state) = 0;
};

} // namespace qeltv
