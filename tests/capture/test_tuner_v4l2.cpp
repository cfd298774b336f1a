// The V4L2 tuner and crossbar against a fake device node, for what only
// this backend does: frequency units, the AutoTune window search and its AFC
// following, inputs selected through ioctls, and the error texts of failed
// ioctls. What every backend promises is in test_tuner_contract.cpp.
#include "capture/V4l2Tuner.h"
#include "test_tuner_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <linux/videodev2.h>

namespace qeltv {
namespace {

using test::FakeCard;
using test::Signal;

class TunerV4l2 : public ::testing::Test {
protected:
    void SetUp() override { card_ = std::make_shared<FakeCard>(); }

    std::unique_ptr<V4l2Tuner> makeTuner() {
        auto tuner = std::make_unique<V4l2Tuner>(
            std::make_unique<V4l2Device>(card_, test::kFakeCardNode), temporary_.store(),
            [this](std::chrono::milliseconds wait) { waited_ += wait; });
        tuner->put_TuningSpace(0);
        tuner->put_CountryCode(kCountryCodeWesternEurope);
        return tuner;
    }

    test::TemporaryAutoTuneStore temporary_;
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

// Guards scans on real cards: after a frequency change the tuner is read
// until its readings agree, so SignalPresent reports the station once the
// PLL has locked; and a tuner that never settles, or cannot be read, costs
// the bounded settle time and no more.
TEST_F(TunerV4l2, WaitsUntilTheSignalReadingIsStableWithinTheSettleTime) {
    card_->stations_hz = {175'250'000};
    card_->settlingReads = 2;
    auto tuner = makeTuner();
    waited_ = std::chrono::milliseconds{0};
    ASSERT_EQ(tuner->put_Channel(14, kSubChannelDefault, kSubChannelDefault), status::S_OK);
    EXPECT_EQ(Signal(*tuner), kSignalPresent);
    // Not cut short by the readings that agree on no signal yet, and ended
    // early once the station's readings agree.
    EXPECT_GT(waited_, card_->settlingReads * kTunerSettlePoll_ms);
    EXPECT_LT(waited_, kTunerSettleTime_ms);

    struct Case {
        const char* what;
        int settlingReads;
        bool unsteady;
        bool unreadable;
    };
    for (const Case& c : {Case{"never locks", 1000, false, false}, Case{"flickers", 0, true, false},
                          Case{"unreadable", 0, false, true}}) {
        card_->settlingReads = c.settlingReads;
        card_->unsteady = c.unsteady;
        if (c.unreadable) {
            card_->failures[VIDIOC_G_TUNER] = EIO;
        }
        waited_ = std::chrono::milliseconds{0};
        // Away and back, so each case tunes.
        tuner->put_Channel(1, kSubChannelDefault, kSubChannelDefault);
        EXPECT_EQ(waited_, kTunerSettleTime_ms) << c.what;
        waited_ = std::chrono::milliseconds{0};
        tuner->put_Channel(14, kSubChannelDefault, kSubChannelDefault);
        EXPECT_EQ(waited_, kTunerSettleTime_ms) << c.what;
    }
}

TEST_F(TunerV4l2, RangeComesFromTheDevice) {
    card_->rangeHigh_hz = 300'000'000;
    auto tuner = makeTuner();
    // E21 lies above the tuner's range: refused without an ioctl.
    EXPECT_EQ(tuner->put_Channel(53, kSubChannelDefault, kSubChannelDefault), status::E_INVALIDARG);
    EXPECT_TRUE(card_->unitsSet.empty());
    const auto properties = tuner->properties();
    EXPECT_EQ(properties.back().minimum, 44'000'000);
    EXPECT_EQ(properties.back().maximum, 300'000'000);
}

TEST_F(TunerV4l2, FailedSignalReadLeavesTheStrengthAndKeepsTheCallsName) {
    card_->stations_hz = {175'250'000};
    auto tuner = makeTuner();
    tuner->put_Channel(14, kSubChannelDefault, kSubChannelDefault);
    card_->failures[VIDIOC_G_TUNER] = EIO;
    long strength = kSignalUnknown;
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

// Routing selects the device's input and audio input; an output cannot be
// left unconnected, as a V4L2 device always has one input selected.
TEST_F(TunerV4l2, CrossbarRoutesThroughInputAndAudioSelection) {
    V4l2Crossbar crossbar(std::make_unique<V4l2Device>(card_, test::kFakeCardNode));
    EXPECT_EQ(crossbar.Route(1, -1), status::E_INVALIDARG);
    ASSERT_EQ(crossbar.Route(0, 0), status::S_OK);
    EXPECT_EQ(card_->currentInput, 0);
    ASSERT_EQ(crossbar.Route(1, 3), status::S_OK);
    EXPECT_EQ(card_->currentAudio, 0u);

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
