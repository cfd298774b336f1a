#include "app/session/WebcastOptions.h"

#include "capture/WebcastProfiles.h"

namespace qeltv {

void WebcastOptions::ListWebcastProfiles() {
    profiles_.clear();
    const auto& profiles = WebcastProfiles();
    for (std::size_t i = 0; i < profiles.size(); ++i) {
        if (profiles[i].streamCount != kListedProfileStreamCount)
            continue;
        profiles_.add(QString::fromUtf8(profiles[i].displayName), static_cast<int>(i));
        if (static_cast<int>(i) == options_.profileIndex)
            profiles_.selected = static_cast<int>(profiles_.entries.size()) - 1;
    }
    // Selecting the first entry here leaves the profile index as it is.
    if (profiles_.selected < 0 && !profiles_.empty())
        profiles_.selected = 0;
}

void WebcastOptions::chooseProfile(int entry) {
    if (entry < 0 || entry >= static_cast<int>(profiles_.data.size()))
        return;
    profiles_.selected = entry;
    options_.profileIndex = profiles_.data[static_cast<std::size_t>(entry)];
}

} // namespace qeltv
