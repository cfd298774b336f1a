// The values of the "Web options" page, read when a webcast or the web
// server starts; and the webcast profile list. Of these only the Icecast
// publishing is stored (without its password, kept for the session only).
#pragma once

#include "app/session/ChoiceList.h"
#include "capture/GraphBuilder.h"
#include "settings/Settings.h"

#include <QString>

namespace qeltv {

struct WebOptions {
    static constexpr int kDefaultWebcastPort = 8080;
    static constexpr int kDefaultMaxClients = 1;
    static constexpr int kDefaultWebServerPort = 80;

    int webcastPort = kDefaultWebcastPort;
    int maxClients = kDefaultMaxClients;
    int profileIndex = 0;
    int webServerPort = kDefaultWebServerPort;
    QString userName;
    QString password;
    // "Publish to Icecast server", its address, user name and password.
    bool icecastEnabled = false;
    QString icecastAddress;
    QString icecastUserName = kIcecastDefaultUserName;
    QString icecastPassword;
};

class WebcastOptions : public WebcastChoices {
public:
    const WebOptions& options() const { return options_; }
    void setOptions(const WebOptions& options) { options_ = options; }

    // The webcast profile list: the profiles of one video and one audio
    // stream, each with its index; the current profile index selected, else
    // the first entry, without changing the index.
    void ListWebcastProfiles();
    const ChoiceList& profiles() const { return profiles_; }
    // The profile index := the index stored with the entry.
    void chooseProfile(int entry);

    // WebcastChoices, for the graph builder.
    int webcastPort() const override { return options_.webcastPort; }
    int webcastMaxClients() const override { return options_.maxClients; }
    int webcastProfileIndex() const override { return options_.profileIndex; }
    std::optional<IcecastTarget> icecastTarget(std::string& error) const override;

    // What is wrong with the Icecast address while publishing is on; empty
    // when it is good or publishing is off.
    QString icecastAddressError() const;
    // The stored Icecast values, to and from the settings.
    void loadIcecast(const IcecastSettings& stored);
    IcecastSettings storedIcecast() const;

private:
    WebOptions options_;
    ChoiceList profiles_;
};

} // namespace qeltv
