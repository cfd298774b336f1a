// The program's settings under "Software\Qel\QelTV" of the current user:
// read once at start-up, written once at shutdown.
#pragma once

#include "settings/ChannelList.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qeltv {

class RegFile;
class AutoTuneStore;

constexpr const char* kSettingsKey = "\\Software\\Qel\\QelTV";
constexpr const char* kChannelsKey = "\\Software\\Qel\\QelTV\\Channels";
// The webcast's publishing to an Icecast server, in a key of its own so that
// the program's key keeps its values. The password is never stored.
constexpr const char* kIcecastKey = "\\Software\\Qel\\QelTV\\Icecast";

struct IcecastSettings {
    std::int32_t Enabled = 0;
    std::string Address;
    std::string UserName = "source";
};

struct Settings {
    std::string VideoCapDev;
    std::string VideoCompressor;
    std::string AudioCapDev;
    std::string AudioCompressor;
    std::string AudioCompressionFormat;
    std::string TVTuner;
    std::string Crossbar;
    std::string TVAudio;
    std::string InputLine;
    std::string CapFile;
    std::int32_t PreviewWidth = 640;
    std::int32_t PreviewHeight = 480;
    std::int32_t PreviewFramerate = 400000; // frame duration in 100 ns units
    std::int32_t CaptureWidth = 640;
    std::int32_t CaptureHeight = 480;
    std::int32_t CaptureFramerate = 400000;
    std::int32_t CurrentChannel = 1;
    std::int32_t TuningSpace = 31;
    // Under kIcecastKey, not among the fields below.
    IcecastSettings Icecast;
};

// The stored values in the order in which they are written.
struct SettingField {
    const char* name;
    std::string Settings::*text = nullptr;
    std::int32_t Settings::*number = nullptr;
};
const std::vector<SettingField>& SettingFields();

// The values of kIcecastKey, in their order.
struct IcecastField {
    const char* name;
    std::string IcecastSettings::*text = nullptr;
    std::int32_t IcecastSettings::*number = nullptr;
};
const std::vector<IcecastField>& IcecastFields();

// Loads the settings and the channel list. Every value keeps its default
// when it is missing. A value of the wrong type also keeps its default; its
// error text is added to `problems` so the caller can report it while the
// rest of start-up goes on. The fallback auto-tune store is read when the
// own list is empty (and then sets the tuning space to 31).
void LoadSettings(RegFile& userStore, const AutoTuneStore& autoTune,
                  const std::filesystem::path& defaultCapFile, Settings& settings,
                  ChannelList& channels, std::vector<std::string>& problems);

// Sets every value in its order and rebuilds the "Channels" subkey, all in
// the store's memory, then writes the file once, atomically: a kill or a full
// disk leaves the old complete file or the new one, never values without
// their channels. A key that cannot be made is passed over without a message;
// a text holding a zero byte, or a file that cannot be saved, throws RegError
// and the file keeps what it had.
void SaveSettings(RegFile& userStore, const Settings& settings, const ChannelList& channels);

} // namespace qeltv
