#include "settings/AutoTuneStore.h"

namespace qeltv {

std::string AutoTuneKeyPath(long tuningSpace) {
    return "\\Software\\Microsoft\\TV System Services\\TVAutoTune\\TS" +
           std::to_string(tuningSpace) + "-1";
}

bool AutoTuneStore::exists(long tuningSpace) const {
    return store_.keyExists(AutoTuneKeyPath(tuningSpace));
}

std::vector<std::pair<std::string, std::int32_t>> AutoTuneStore::entries(long tuningSpace) const {
    std::vector<std::pair<std::string, std::int32_t>> out;
    const std::string key = AutoTuneKeyPath(tuningSpace);
    for (const auto& name : store_.valueNames(key)) {
        auto v = store_.value(key, name);
        if (v && std::holds_alternative<std::uint32_t>(*v))
            out.emplace_back(name, static_cast<std::int32_t>(std::get<std::uint32_t>(*v)));
    }
    return out;
}

void AutoTuneStore::clear(long tuningSpace) {
    store_.deleteKey(AutoTuneKeyPath(tuningSpace));
    store_.createKey(AutoTuneKeyPath(tuningSpace));
}

void AutoTuneStore::set(long tuningSpace, long channel, std::int32_t frequency_hz) {
    const std::string key = AutoTuneKeyPath(tuningSpace);
    store_.createKey(key);
    store_.setValue(key, std::to_string(channel), static_cast<std::uint32_t>(frequency_hz));
}

} // namespace qeltv
