#include "settings/Settings.h"

#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcSettings, "qeltv.settings", QtWarningMsg)

namespace qeltv {

const std::vector<SettingField>& SettingFields() {
    static const std::vector<SettingField> fields = {
        {"VideoCapDev", &Settings::VideoCapDev},
        {"VideoCompressor", &Settings::VideoCompressor},
        {"AudioCapDev", &Settings::AudioCapDev},
        {"AudioCompressor", &Settings::AudioCompressor},
        {"AudioCompressionFormat", &Settings::AudioCompressionFormat},
        {"TVTuner", &Settings::TVTuner},
        {"Crossbar", &Settings::Crossbar},
        {"TVAudio", &Settings::TVAudio},
        {"InputLine", &Settings::InputLine},
        {"CapFile", &Settings::CapFile},
        {"PreviewWidth", nullptr, &Settings::PreviewWidth},
        {"PreviewHeight", nullptr, &Settings::PreviewHeight},
        {"PreviewFramerate", nullptr, &Settings::PreviewFramerate},
        {"CaptureWidth", nullptr, &Settings::CaptureWidth},
        {"CaptureHeight", nullptr, &Settings::CaptureHeight},
        {"CaptureFramerate", nullptr, &Settings::CaptureFramerate},
        {"CurrentChannel", nullptr, &Settings::CurrentChannel},
        {"TuningSpace", nullptr, &Settings::TuningSpace},
    };
    return fields;
}

const std::vector<IcecastField>& IcecastFields() {
    static const std::vector<IcecastField> fields = {
        {"Enabled", nullptr, &IcecastSettings::Enabled},
        {"Address", &IcecastSettings::Address},
        {"UserName", &IcecastSettings::UserName},
    };
    return fields;
}

void LoadSettings(RegFile& userStore, const AutoTuneStore& autoTune,
                  const std::filesystem::path& defaultCapFile, Settings& settings,
                  ChannelList& channels, std::vector<std::string>& problems) {
    const std::int32_t currentChannel = settings.CurrentChannel;
    settings = Settings{};
    settings.CurrentChannel = currentChannel;
    settings.CapFile = defaultCapFile.string();

    Registry reg(userStore);
    if (reg.OpenKeyReadOnly(kSettingsKey)) {
        for (const auto& f : SettingFields()) {
            if (!reg.ValueExists(f.name))
                continue;
            try {
                if (f.text)
                    settings.*f.text = reg.ReadString(f.name);
                else
                    settings.*f.number = reg.ReadInteger(f.name);
            } catch (const RegError& e) {
                problems.push_back(e.what());
            }
        }
        try {
            channels.load(userStore, kChannelsKey, settings.CurrentChannel);
        } catch (const RegError& e) {
            problems.push_back(e.what());
        }
        reg.CloseKey();
    }
    if (reg.OpenKeyReadOnly(kIcecastKey)) {
        for (const auto& f : IcecastFields()) {
            if (!reg.ValueExists(f.name))
                continue;
            try {
                if (f.text)
                    settings.Icecast.*f.text = reg.ReadString(f.name);
                else
                    settings.Icecast.*f.number = reg.ReadInteger(f.name);
            } catch (const RegError& e) {
                problems.push_back(e.what());
            }
        }
        reg.CloseKey();
    }
    if (channels.empty() && channels.loadFallback(autoTune, settings.CurrentChannel)) {
        settings.TuningSpace = 31;
        qCDebug(lcSettings) << "channels taken from the auto-tune store";
    }
    qCDebug(lcSettings) << "loaded from" << userStore.path().c_str() << ":" << channels.size()
                        << "channels, current channel" << settings.CurrentChannel;
}

void SaveSettings(RegFile& userStore, const Settings& settings, const ChannelList& channels) {
    // Not through a Registry handle: it writes the file whenever a key is
    // closed or deleted, and this save must be a single write.
    if (userStore.createKey(kSettingsKey)) {
        for (const auto& f : SettingFields()) {
            if (f.text)
                userStore.setValue(kSettingsKey, f.name, settings.*f.text);
            else
                userStore.setValue(kSettingsKey, f.name,
                                   static_cast<std::uint32_t>(settings.*f.number));
        }
    }
    const bool saved = channels.storeTo(userStore, kChannelsKey);
    // Written again after the channels, which are written anew: the
    // program's key and its channels stay together.
    userStore.deleteKey(kIcecastKey);
    if (userStore.createKey(kIcecastKey)) {
        for (const auto& f : IcecastFields()) {
            if (f.text)
                userStore.setValue(kIcecastKey, f.name, settings.Icecast.*f.text);
            else
                userStore.setValue(kIcecastKey, f.name,
                                   static_cast<std::uint32_t>(settings.Icecast.*f.number));
        }
    }
    userStore.save();
    qCDebug(lcSettings) << "saved to" << userStore.path().c_str() << ":" << channels.size()
                        << "channels" << (saved ? "" : "(the Channels key could not be made)");
}

} // namespace qeltv
