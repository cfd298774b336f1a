// The V4L2 tuner and crossbar against a fake device node: frequency units,
// signal, the AutoTune window search, inputs as crossbar pins and the error
// texts of failed ioctls.
#include "capture/V4l2Tuner.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <linux/videodev2.h>
#include <map>

namespace qeltv {
namespace {

namespace fs = std::filesystem;

constexpr int kFakeFd = 7;
constexpr std::uint32_t kFullSignal = 0xFFFF;
// A fake carrier is received this far either side.
constexpr std::int64_t kFakeCaptureRange_hz = 1'000'000;
constexpr std::int64_t kFakeAfcUnit_hz = 62'500;

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
        if (path != "/dev/video0") {
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
            reading(*tuner);
            return 0;
        }
        case VIDIOC_S_FREQUENCY: {
            const auto* frequency = static_cast<const v4l2_frequency*>(argument);
            if (frequency->tuner != kTunerIndex || frequency->type != V4L2_TUNER_ANALOG_TV) {
                return EINVAL;
            }
            unitsSet.push_back(frequency->frequency);
            units = frequency->frequency;
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

class TunerV4l2 : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qeltv-v4l2-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        file_ = std::make_unique<RegFile>(folder_ / "HKEY_LOCAL_MACHINE.reg", "HKEY_LOCAL_MACHINE");
        store_ = std::make_unique<AutoTuneStore>(*file_);
        card_ = std::make_shared<FakeCard>();
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::unique_ptr<V4l2Tuner> makeTuner() {
        auto tuner = std::make_unique<V4l2Tuner>(
            std::make_unique<V4l2Device>(card_, "/dev/video0"), *store_,
            [this](std::chrono::milliseconds wait) { waited_ += wait; });
        tuner->put_TuningSpace(0);
        tuner->put_CountryCode(kCountryCodeWesternEurope);
        return tuner;
    }

    fs::path folder_;
    std::unique_ptr<RegFile> file_;
    std::unique_ptr<AutoTuneStore> store_;
    std::shared_ptr<FakeCard> card_;
    std::chrono::milliseconds waited_{0};
};

TEST(TunerV4l2Units, ConversionBothWays) {
    EXPECT_EQ(FrequencyToV4l2Units(175'250'000, false), 2804u);
    EXPECT_EQ(V4l2UnitsToFrequency(2804, false), 175'250'000u);
    EXPECT_EQ(FrequencyToV4l2Units(855'250'000, false), 13'684u);
    EXPECT_EQ(FrequencyToV4l2Units(175'250'000, true), 2'804'000u);
    EXPECT_EQ(V4l2UnitsToFrequency(2'804'000, true), 175'250'000u);
    EXPECT_EQ(FrequencyToV4l2Units(855'250'000, true), 13'684'000u);
    // Rounded to the nearest unit, not cut.
    EXPECT_EQ(FrequencyToV4l2Units(175'290'000, false), 2805u);
    EXPECT_EQ(FrequencyToV4l2Units(100, true), 2u);
    EXPECT_EQ(V4l2UnitsToFrequency(1, true), 63u);
}

TEST_F(TunerV4l2, TunesInTheUnitsTheTunerReports) {
    for (bool low : {false, true}) {
        card_->lowUnits = low;
        card_->unitsSet.clear();
        auto tuner = makeTuner();
        ASSERT_EQ(tuner->put_Channel(14, kSubChannelDefault, kSubChannelDefault), status::S_OK);
        ASSERT_EQ(card_->unitsSet.size(), 1u);
        EXPECT_EQ(card_->unitsSet[0], low ? 2'804'000u : 2804u);
        long frequency_hz = 0;
        ASSERT_EQ(tuner->get_VideoFrequency(frequency_hz), status::S_OK);
        EXPECT_EQ(frequency_hz, 175'250'000);
    }
    EXPECT_EQ(waited_, 2 * kTunerSettleTime_ms);
}

TEST_F(TunerV4l2, NameAndRangeComeFromTheDevice) {
    card_->rangeHigh_hz = 300'000'000;
    auto tuner = makeTuner();
    EXPECT_EQ(tuner->name(), "Fake TV Card Tuner");
    // E21 lies above the tuner's range: refused without an ioctl.
    EXPECT_EQ(tuner->put_Channel(53, kSubChannelDefault, kSubChannelDefault), status::E_INVALIDARG);
    EXPECT_TRUE(card_->unitsSet.empty());
    const auto properties = tuner->properties();
    EXPECT_EQ(properties.back().minimum, 44'000'000);
    EXPECT_EQ(properties.back().maximum, 300'000'000);
}

TEST_F(TunerV4l2, SignalFollowsTheTunerReport) {
    card_->stations_hz = {175'250'000};
    auto tuner = makeTuner();
    long strength = kSignalUnknown;
    tuner->put_Channel(14, kSubChannelDefault, kSubChannelDefault);
    ASSERT_EQ(tuner->SignalPresent(strength), status::S_OK);
    EXPECT_EQ(strength, kSignalPresent);
    tuner->put_Channel(1, kSubChannelDefault, kSubChannelDefault);
    tuner->SignalPresent(strength);
    EXPECT_EQ(strength, kSignalNone);

    // A failed read leaves the strength alone and keeps the call's name.
    card_->failures[VIDIOC_G_TUNER] = EIO;
    strength = kSignalUnknown;
    EXPECT_EQ(tuner->SignalPresent(strength), status::E_FAIL);
    EXPECT_EQ(strength, kSignalUnknown);
    EXPECT_EQ(tuner->lastErrorText(), "VIDIOC_G_TUNER on /dev/video0: Input/output error");
}

TEST_F(TunerV4l2, AutoTuneCentresOnACarrierOffTheGrid) {
    // 687.5 kHz above E5: between two coarse steps.
    const std::int64_t station_hz = 175'250'000 + 687'500;
    for (bool signDriven : {false, true}) {
        card_->signDrivenAfc = signDriven;
        card_->stations_hz = {station_hz};
        auto tuner = makeTuner();
        long found = 0;
        ASSERT_EQ(tuner->AutoTune(14, found), status::S_OK);
        EXPECT_EQ(found, 1);
        long frequency_hz = 0;
        tuner->get_VideoFrequency(frequency_hz);
        EXPECT_EQ(frequency_hz, station_hz) << "sign-driven AFC: " << signDriven;
        EXPECT_EQ(tuner->state().frequency_hz, static_cast<std::uint32_t>(station_hz));
        // Every probe stayed inside the window.
        for (std::uint32_t units : card_->unitsSet) {
            EXPECT_LE(std::llabs(static_cast<long long>(units) * 62'500 - 175'250'000),
                      static_cast<long long>(kAutoTuneWindow_hz));
        }
        card_->unitsSet.clear();
    }
}

TEST_F(TunerV4l2, AutoTuneFindsNothingOutsideTheWindow) {
    card_->stations_hz = {175'250'000 + 3'250'000};
    auto tuner = makeTuner();
    long found = 1;
    ASSERT_EQ(tuner->AutoTune(14, found), status::S_OK);
    EXPECT_EQ(found, 0);
    long frequency_hz = 0;
    tuner->get_VideoFrequency(frequency_hz);
    EXPECT_EQ(frequency_hz, 175'250'000);
    // The whole window was searched in coarse steps, then the channel tuned.
    const std::size_t coarsePoints = 2 * kAutoTuneWindow_hz / kAutoTuneCoarseStep_hz + 1;
    EXPECT_EQ(card_->unitsSet.size(), coarsePoints + 1);
}

// Guards the continuous scan on real cards: the override written for the
// channel is where the search starts, and the found carrier is where the
// tuner stays.
TEST_F(TunerV4l2, AutoTuneStartsFromTheStoreOverride) {
    card_->stations_hz = {499'250'000};
    store_->set(31, 1, 498'500'000);
    auto tuner = makeTuner();
    tuner->put_TuningSpace(31);
    tuner->put_CountryCode(kCountryCodeWesternEurope);
    tuner->put_Channel(1, kSubChannelDefault, kSubChannelDefault);
    EXPECT_EQ(card_->units, FrequencyToV4l2Units(498'500'000, false));
    long found = 0;
    tuner->AutoTune(1, found);
    EXPECT_EQ(found, 1);
    long frequency_hz = 0;
    tuner->get_VideoFrequency(frequency_hz);
    EXPECT_EQ(frequency_hz, 499'250'000);
}

TEST_F(TunerV4l2, FailedTuningCarriesTheIoctlNameAndStatus) {
    auto tuner = makeTuner();
    card_->failures[VIDIOC_S_FREQUENCY] = EINVAL;
    EXPECT_EQ(tuner->put_Channel(14, kSubChannelDefault, kSubChannelDefault), status::E_INVALIDARG);
    EXPECT_EQ(tuner->lastErrorText(), "VIDIOC_S_FREQUENCY on /dev/video0: Invalid argument");
    EXPECT_EQ(tuner->state().channel, 0);
    EXPECT_EQ(waited_.count(), 0);
}

TEST_F(TunerV4l2, DeviceErrorsBecomeCaptureErrors) {
    try {
        V4l2Device device(card_, "/dev/video9");
        FAIL() << "no exception";
    } catch (const CaptureError& error) {
        EXPECT_STREQ(error.what(), "open /dev/video9: No such file or directory ($80070002).");
    }
    card_->hasTuner = false;
    try {
        makeTuner();
        FAIL() << "no exception";
    } catch (const CaptureError& error) {
        EXPECT_STREQ(error.what(), "/dev/video0 has no tuner ($80004002).");
    }
    EXPECT_EQ(card_->openCount, 0); // the descriptor was closed again
    card_->failures[VIDIOC_QUERYCAP] = ENOTTY;
    try {
        V4l2Crossbar crossbar(std::make_unique<V4l2Device>(card_, "/dev/video0"));
        FAIL() << "no exception";
    } catch (const CaptureError& error) {
        EXPECT_STREQ(error.what(),
                     "VIDIOC_QUERYCAP on /dev/video0: Inappropriate ioctl for device ($80004001).");
    }
}

TEST_F(TunerV4l2, CrossbarPinsFromInputsAndAudioInputs) {
    V4l2Crossbar crossbar(std::make_unique<V4l2Device>(card_, "/dev/video0"));
    EXPECT_EQ(crossbar.name(), "Fake TV Card Crossbar");
    long outputs = 0;
    long inputs = 0;
    crossbar.get_PinCounts(outputs, inputs);
    ASSERT_EQ(outputs, 2);
    ASSERT_EQ(inputs, 5);
    const long expectedTypes[] = {PhysConn_Video_Tuner, PhysConn_Video_Composite,
                                  PhysConn_Video_SVideo, PhysConn_Audio_Tuner, PhysConn_Audio_Line};
    const long expectedRelated[] = {3, 4, 4, 0, 1};
    for (long i = 0; i < inputs; ++i) {
        long related = 0;
        long type = 0;
        ASSERT_EQ(crossbar.get_CrossbarPinInfo(true, i, related, type), status::S_OK);
        EXPECT_EQ(type, expectedTypes[i]) << i;
        EXPECT_EQ(related, expectedRelated[i]) << i;
    }
    long related = 0;
    long type = 0;
    crossbar.get_CrossbarPinInfo(false, 0, related, type);
    EXPECT_EQ(type, PhysConn_Video_VideoDecoder);
    crossbar.get_CrossbarPinInfo(false, 1, related, type);
    EXPECT_EQ(type, PhysConn_Audio_AudioDecoder);
}

TEST_F(TunerV4l2, CrossbarRoutesThroughInputAndAudioSelection) {
    V4l2Crossbar crossbar(std::make_unique<V4l2Device>(card_, "/dev/video0"));
    long routed = -5;
    crossbar.get_IsRoutedTo(0, routed);
    EXPECT_EQ(routed, 1);
    crossbar.get_IsRoutedTo(1, routed);
    EXPECT_EQ(routed, 4);

    EXPECT_EQ(crossbar.CanRoute(0, 3), status::S_FALSE);
    EXPECT_EQ(crossbar.Route(0, 3), status::E_INVALIDARG);
    EXPECT_EQ(crossbar.Route(1, -1), status::E_INVALIDARG);
    ASSERT_EQ(crossbar.Route(0, 0), status::S_OK);
    EXPECT_EQ(card_->currentInput, 0);
    ASSERT_EQ(crossbar.Route(1, 3), status::S_OK);
    EXPECT_EQ(card_->currentAudio, 0u);
    crossbar.get_IsRoutedTo(1, routed);
    EXPECT_EQ(routed, 3);

    card_->failures[VIDIOC_S_INPUT] = EBUSY;
    EXPECT_EQ(crossbar.Route(0, 2), status::E_FAIL);
    EXPECT_EQ(crossbar.lastErrorText(), "VIDIOC_S_INPUT on /dev/video0: Device or resource busy");
}

TEST_F(TunerV4l2, CrossbarWithoutAudioInputsHasOnlyTheVideoOutput) {
    card_->audios.clear();
    V4l2Crossbar crossbar(std::make_unique<V4l2Device>(card_, "/dev/video0"));
    long outputs = 0;
    long inputs = 0;
    crossbar.get_PinCounts(outputs, inputs);
    EXPECT_EQ(outputs, 1);
    EXPECT_EQ(inputs, 3);
    long related = 0;
    long type = 0;
    crossbar.get_CrossbarPinInfo(true, 0, related, type);
    EXPECT_EQ(related, -1);
}

} // namespace
} // namespace qeltv
