// Shared set-up of the tuner and crossbar tests: a fake V4L2 capture card
// that answers as the kernel would, a temporary auto-tune store, and the
// program's two scans of the Channels page run against any tuner.
#pragma once

#include "capture/AutoTuneScan.h"
#include "capture/FrequencyTable.h"
#include "capture/V4l2Device.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <linux/videodev2.h>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace qeltv::test {

constexpr int kFakeFd = 7;
constexpr std::uint32_t kFullSignal = 0xFFFF;
// A fake carrier is received this far either side, as a Virtual TV Card
// station is.
constexpr std::int64_t kFakeCaptureRange_hz = 1'000'000;
constexpr std::int64_t kFakeAfcUnit_hz = 62'500;
constexpr const char* kFakeCardNode = "/dev/video0";

struct FakeInput {
    std::string name;
    std::uint32_t type;
    std::uint32_t audioset;
};

// A capture card as the kernel would answer for it: a tuner (index 1, to
// prove the index comes from the tuner input), inputs, audio inputs and
// stations. AFC reads the distance to the carrier in 62.5 kHz steps,
// positive when tuned too high, clamped to +-1 when signDrivenAfc is set
// (as many drivers report it).
class FakeCard : public V4l2FileLayer {
public:
    int open(const std::string& path, int& error) override {
        if (path != kFakeCardNode) {
            error = ENOENT;
            return -1;
        }
        ++openCount;
        return kFakeFd;
    }
    void close(int fd) override {
        EXPECT_EQ(fd, kFakeFd);
        --openCount;
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        EXPECT_EQ(fd, kFakeFd);
        if (auto failure = failures.find(request); failure != failures.end()) {
            return failure->second;
        }
        switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* capability = static_cast<v4l2_capability*>(argument);
            std::strcpy(reinterpret_cast<char*>(capability->card), "Fake TV Card");
            capability->capabilities =
                V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_DEVICE_CAPS | (hasTuner ? V4L2_CAP_TUNER : 0);
            capability->device_caps = capability->capabilities & ~V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        case VIDIOC_ENUMINPUT: {
            auto* input = static_cast<v4l2_input*>(argument);
            if (input->index >= inputs.size()) {
                return EINVAL;
            }
            const FakeInput& fake = inputs[input->index];
            std::strcpy(reinterpret_cast<char*>(input->name), fake.name.c_str());
            input->type = fake.type;
            input->tuner = fake.type == V4L2_INPUT_TYPE_TUNER ? kTunerIndex : 0;
            input->audioset = fake.audioset;
            return 0;
        }
        case VIDIOC_G_INPUT:
            *static_cast<int*>(argument) = currentInput;
            return 0;
        case VIDIOC_S_INPUT: {
            const int index = *static_cast<int*>(argument);
            if (index < 0 || static_cast<std::size_t>(index) >= inputs.size()) {
                return EINVAL;
            }
            currentInput = index;
            return 0;
        }
        case VIDIOC_ENUMAUDIO:
        case VIDIOC_G_AUDIO:
        case VIDIOC_S_AUDIO: {
            auto* audio = static_cast<v4l2_audio*>(argument);
            if (request == VIDIOC_G_AUDIO) {
                audio->index = currentAudio;
            }
            if (audio->index >= audios.size()) {
                return EINVAL;
            }
            if (request == VIDIOC_S_AUDIO) {
                currentAudio = audio->index;
            }
            std::strcpy(reinterpret_cast<char*>(audio->name), audios[audio->index].c_str());
            return 0;
        }
        case VIDIOC_G_TUNER: {
            auto* tuner = static_cast<v4l2_tuner*>(argument);
            if (tuner->index != kTunerIndex) {
                return EINVAL;
            }
            tuner->type = V4L2_TUNER_ANALOG_TV;
            tuner->capability = lowUnits ? V4L2_TUNER_CAP_LOW : 0;
            tuner->rangelow = toUnits(rangeLow_hz);
            tuner->rangehigh = toUnits(rangeHigh_hz);
            ++readsSinceTune;
            if (readsSinceTune <= settlingReads) {
                // The PLL has not locked yet: no signal, whatever is there.
                tuner->signal = 0;
                tuner->afc = 0;
            } else if (unsteady) {
                tuner->signal = readsSinceTune % 2 == 0 ? kFullSignal : 0;
                tuner->afc = 0;
            } else {
                reading(*tuner);
            }
            return 0;
        }
        case VIDIOC_S_FREQUENCY: {
            const auto* frequency = static_cast<const v4l2_frequency*>(argument);
            if (frequency->tuner != kTunerIndex || frequency->type != V4L2_TUNER_ANALOG_TV) {
                return EINVAL;
            }
            unitsSet.push_back(frequency->frequency);
            units = frequency->frequency;
            readsSinceTune = 0;
            return 0;
        }
        case VIDIOC_G_FREQUENCY: {
            auto* frequency = static_cast<v4l2_frequency*>(argument);
            if (frequency->tuner != kTunerIndex) {
                return EINVAL;
            }
            frequency->type = V4L2_TUNER_ANALOG_TV;
            frequency->frequency = units;
            return 0;
        }
        default:
            return ENOTTY;
        }
    }

    std::uint32_t toUnits(std::uint32_t hz) const {
        return static_cast<std::uint32_t>(lowUnits ? hz / 62.5 : hz / 62'500.0);
    }
    std::int64_t tuned_hz() const {
        return lowUnits ? static_cast<std::int64_t>(units * 62.5)
                        : static_cast<std::int64_t>(units) * 62'500;
    }
    void reading(v4l2_tuner& tuner) const {
        for (std::int64_t station_hz : stations_hz) {
            const std::int64_t offset_hz = tuned_hz() - station_hz;
            if (std::llabs(offset_hz) <= kFakeCaptureRange_hz) {
                tuner.signal = kFullSignal;
                const std::int32_t afc = static_cast<std::int32_t>(offset_hz / kFakeAfcUnit_hz);
                tuner.afc = signDrivenAfc ? (afc > 0) - (afc < 0) : afc;
                return;
            }
        }
        tuner.signal = 0;
        tuner.afc = 0;
    }

    static constexpr std::uint32_t kTunerIndex = 1;
    bool hasTuner = true;
    bool lowUnits = false;
    bool signDrivenAfc = false;
    // Readings after a frequency change that still show no signal, as a
    // real tuner's do while its PLL locks; and a tuner whose signal never
    // settles.
    int settlingReads = 0;
    bool unsteady = false;
    int readsSinceTune = 0;
    std::uint32_t rangeLow_hz = 44'000'000;
    std::uint32_t rangeHigh_hz = 870'000'000;
    std::vector<std::int64_t> stations_hz;
    std::vector<FakeInput> inputs = {{"Television", V4L2_INPUT_TYPE_TUNER, 0b001},
                                     {"Composite1", V4L2_INPUT_TYPE_CAMERA, 0b010},
                                     {"S-Video", V4L2_INPUT_TYPE_CAMERA, 0b010}};
    std::vector<std::string> audios = {"TV", "Line In"};
    int currentInput = 1;
    std::uint32_t currentAudio = 1;
    std::uint32_t units = 0;
    std::vector<std::uint32_t> unitsSet;
    std::map<unsigned long, int> failures;
    int openCount = 0;
};

// The machine-wide auto-tune store in a folder of its own, removed again.
class TemporaryAutoTuneStore {
public:
    TemporaryAutoTuneStore() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "qeltv-tuner-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
        }
        folder_ = pattern;
        file_ = std::make_unique<RegFile>(folder_ / "HKEY_LOCAL_MACHINE.reg", "HKEY_LOCAL_MACHINE");
        store_ = std::make_unique<AutoTuneStore>(*file_);
    }
    ~TemporaryAutoTuneStore() {
        store_.reset();
        file_.reset();
        std::error_code ignored; // a leftover temporary folder is not a test failure
        std::filesystem::remove_all(folder_, ignored);
    }
    TemporaryAutoTuneStore(const TemporaryAutoTuneStore&) = delete;
    TemporaryAutoTuneStore& operator=(const TemporaryAutoTuneStore&) = delete;

    AutoTuneStore& store() { return *store_; }

private:
    std::filesystem::path folder_;
    std::unique_ptr<RegFile> file_;
    std::unique_ptr<AutoTuneStore> store_;
};

// The Channels page's scans and their constants, as the program has them.
constexpr long kTuningSpaceCableGrid = qeltv::kTuningSpaceCableGrid;
constexpr long kTuningSpaceContinuous = qeltv::kTuningSpaceContinuous;
constexpr std::uint32_t kScanStart_hz = kContinuousScanStart_hz;
constexpr std::uint32_t kScanEnd_hz = kContinuousScanEnd_hz;
constexpr std::uint32_t kScanStep_hz = kContinuousScanStep_hz;

struct FoundChannel {
    long number;
    long frequency_hz;
};

inline long Signal(TvTuner& tuner) {
    long strength = kSignalUnknown;
    tuner.SignalPresent(strength);
    return strength;
}

// A scan run without a window: nothing is shown, nobody presses abort.
class UnattendedScanView : public AutoTuneView {
public:
    Answer askYesNoCancel(const QString&) override { return Answer::Yes; }
    void showScanRunning(bool) override {}
    void showAborting() override {}
    void setProgressRange(long, long) override {}
    void setProgress(long) override {}
    void showFrequency(long) override {}
    void repaintWindow() override {}
    void processPendingEvents() override {}
};

inline std::vector<FoundChannel> Found(const ChannelList& channels) {
    std::vector<FoundChannel> found;
    for (const Channel& channel : channels.channels()) {
        EXPECT_EQ(channel.name(), ChannelList::kNewChannelName);
        found.push_back({ChannelNumberOr(channel.number, -1), std::stol(channel.frequency())});
    }
    return found;
}

// The program's cable-grid scan.
inline std::vector<FoundChannel> CableGridScan(TvTuner& tuner) {
    UnattendedScanView view;
    AutoTuneScan scan(view, {});
    ChannelList channels;
    std::int32_t tuningSpace = -1;
    scan.CableGridScan(tuner, channels, tuningSpace);
    EXPECT_EQ(tuningSpace, kTuningSpaceCableGrid);
    return Found(channels);
}

// The program's continuous frequency scan.
inline std::vector<FoundChannel> ContinuousScan(TvTuner& tuner, AutoTuneStore& store) {
    UnattendedScanView view;
    AutoTuneScan scan(view, {});
    ChannelList channels;
    std::int32_t tuningSpace = -1;
    scan.ContinuousScan(tuner, store, channels, tuningSpace);
    EXPECT_EQ(tuningSpace, kTuningSpaceContinuous);
    EXPECT_EQ(scan.steps(), kContinuousScanSteps);
    return Found(channels);
}

} // namespace qeltv::test
