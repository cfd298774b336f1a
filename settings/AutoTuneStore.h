// The auto-tune store: per tuning space, a list of (channel number, video
// frequency in hertz) pairs in a fixed order, kept in the HKEY_LOCAL_MACHINE
// file under "Software\Microsoft\TV System Services\TVAutoTune\TS<space>-1".
// The channel list falls back on it, the continuous scan rewrites it and the
// tuners take their frequency overrides from it.
#pragma once

#include "settings/RegStore.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qeltv {

// "\Software\Microsoft\TV System Services\TVAutoTune\TS" + space + "-1"
std::string AutoTuneKeyPath(long tuningSpace);

class AutoTuneStore {
public:
    explicit AutoTuneStore(RegFile& machineStore) : store_(machineStore) {}

    // Whether the key of the tuning space exists.
    bool exists(long tuningSpace) const;
    // The entries in store order: value name (a channel number as text) and
    // frequency in hertz. Values that are not integers are passed over.
    std::vector<std::pair<std::string, std::int32_t>> entries(long tuningSpace) const;
    // Deletes and recreates the key of the tuning space (no file write).
    void clear(long tuningSpace);
    // Sets one entry (no file write; call save() when a batch is done).
    void set(long tuningSpace, long channel, std::int32_t frequency_hz);
    // Writes the store's file atomically.
    void save() const { store_.save(); }

    RegFile& file() { return store_; }

private:
    RegFile& store_;
};

} // namespace qeltv
