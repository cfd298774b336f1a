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

std::optional<IcecastTarget> WebcastOptions::icecastTarget(std::string& error) const {
    error.clear();
    if (!options_.icecastEnabled)
        return std::nullopt;
    IcecastTarget target;
    error = ParseIcecastAddress(options_.icecastAddress.toStdString(), target);
    if (!error.empty())
        return std::nullopt;
    target.userName = options_.icecastUserName.toStdString();
    target.password = options_.icecastPassword.toStdString();
    return target;
}

QString WebcastOptions::icecastAddressError() const {
    std::string error;
    icecastTarget(error);
    return QString::fromStdString(error);
}

void WebcastOptions::loadIcecast(const IcecastSettings& stored) {
    options_.icecastEnabled = stored.Enabled != 0;
    options_.icecastAddress = QString::fromStdString(stored.Address);
    options_.icecastUserName = QString::fromStdString(stored.UserName);
}

IcecastSettings WebcastOptions::storedIcecast() const {
    IcecastSettings stored;
    stored.Enabled = options_.icecastEnabled ? 1 : 0;
    stored.Address = options_.icecastAddress.toStdString();
    stored.UserName = options_.icecastUserName.toStdString();
    return stored;
}

} // namespace qeltv
