// What every tuner and crossbar backend promises the channel list, the
// auto-tune scans and graph building, run against each backend: the V4L2
// backend on a fake card that carries the Virtual TV Card's stations, and
// the Virtual TV Card itself. Backend-specific behaviour is tested in
// test_tuner_v4l2.cpp and test_tuner_virtual.cpp.
#include "capture/V4l2Tuner.h"
#include "capture/VirtualTuner.h"
#include "test_tuner_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace qeltv {
namespace {

using test::FakeCard;
using test::FoundChannel;
using test::kTuningSpaceCableGrid;
using test::kTuningSpaceContinuous;
using test::Signal;

static_assert(test::kFakeCaptureRange_hz == kVirtualCaptureRange_hz,
              "the fake card receives its stations as the Virtual TV Card does");

// The V4L2 backend on the fake card, whose signal reading shows nothing for
// a while after each tune as a real tuner's does; the waits between the
// readings take no time.
class V4l2Backend {
public:
    static constexpr const char* kName = "V4l2";
    static constexpr const char* kTunerName = "Fake TV Card Tuner";
    static constexpr const char* kCrossbarName = "Fake TV Card Crossbar";
    // The fake card starts on its composite input and its line audio.
    static constexpr long kInitialVideoInput = 1;
    static constexpr long kInitialAudioInput = 4;
    static constexpr int kSettlingReads = 2;

    explicit V4l2Backend(AutoTuneStore& store) : card_(std::make_shared<FakeCard>()) {
        for (const VirtualStation& station : VirtualTvCard::stations()) {
            card_->stations_hz.push_back(station.frequency_hz);
        }
        card_->settlingReads = kSettlingReads;
        tuner_ =
            std::make_unique<V4l2Tuner>(std::make_unique<V4l2Device>(card_, test::kFakeCardNode),
                                        store, [](std::chrono::milliseconds) {});
        crossbar_ = std::make_unique<V4l2Crossbar>(
            std::make_unique<V4l2Device>(card_, test::kFakeCardNode));
    }

    TableTuner& tuner() { return *tuner_; }
    Crossbar& crossbar() { return *crossbar_; }
    // The frequency the hardware is tuned to.
    std::uint32_t tuned_hz() const { return V4l2UnitsToFrequency(card_->units, card_->lowUnits); }
    std::uint32_t lowest_hz() const { return card_->rangeLow_hz; }
    std::uint32_t highest_hz() const { return card_->rangeHigh_hz; }

private:
    std::shared_ptr<FakeCard> card_;
    std::unique_ptr<V4l2Tuner> tuner_;
    std::unique_ptr<V4l2Crossbar> crossbar_;
};

class VirtualBackend {
public:
    static constexpr const char* kName = "Virtual";
    static constexpr const char* kTunerName = "Virtual TV Card Tuner";
    static constexpr const char* kCrossbarName = "Virtual TV Card Crossbar";
    static constexpr long kInitialVideoInput = static_cast<long>(VirtualInput::TunerVideo);
    static constexpr long kInitialAudioInput = static_cast<long>(VirtualInput::TunerAudio);

    explicit VirtualBackend(AutoTuneStore& store) : tuner_(card_, store), crossbar_(card_) {}

    TableTuner& tuner() { return tuner_; }
    Crossbar& crossbar() { return crossbar_; }
    std::uint32_t tuned_hz() const { return card_.frequency(); }
    std::uint32_t lowest_hz() const { return kVirtualTunerLowest_hz; }
    std::uint32_t highest_hz() const { return kVirtualTunerHighest_hz; }

private:
    VirtualTvCard card_;
    VirtualTuner tuner_;
    VirtualCrossbar crossbar_;
};

template <class Backend> class TunerContract : public ::testing::Test {
protected:
    TableTuner& tuner() { return backend_.tuner(); }
    Crossbar& crossbar() { return backend_.crossbar(); }

    // Tunes an exact frequency through a store override, as the continuous
    // scan does.
    HResult tuneFrequency(std::uint32_t frequency_hz) {
        store_.set(kTuningSpaceContinuous, 1, static_cast<std::int32_t>(frequency_hz));
        tuner().put_TuningSpace(kTuningSpaceContinuous);
        tuner().put_CountryCode(kCountryCodeWesternEurope);
        return tuner().put_Channel(1, kSubChannelDefault, kSubChannelDefault);
    }

    long routedTo(long output) {
        long input = -5;
        EXPECT_EQ(crossbar().get_IsRoutedTo(output, input), status::S_OK);
        return input;
    }

    test::TemporaryAutoTuneStore temporary_;
    AutoTuneStore& store_ = temporary_.store();
    Backend backend_{store_};
};

class BackendNames {
public:
    template <class Backend> static std::string GetName(int) { return Backend::kName; }
};

using Backends = ::testing::Types<V4l2Backend, VirtualBackend>;
TYPED_TEST_SUITE(TunerContract, Backends, BackendNames);

TYPED_TEST(TunerContract, NamesComeFromTheCard) {
    EXPECT_EQ(this->tuner().name(), TypeParam::kTunerName);
    EXPECT_EQ(this->crossbar().name(), TypeParam::kCrossbarName);
}

TYPED_TEST(TunerContract, SignalWithinTheCaptureRangeOnly) {
    auto& tuner = this->tuner();
    tuner.put_TuningSpace(kTuningSpaceCableGrid);
    tuner.put_CountryCode(kCountryCodeWesternEurope);
    ASSERT_EQ(tuner.put_Channel(14, kSubChannelDefault, kSubChannelDefault), status::S_OK);
    long frequency_hz = 0;
    ASSERT_EQ(tuner.get_VideoFrequency(frequency_hz), status::S_OK);
    EXPECT_EQ(frequency_hz, 175'250'000); // E5, where "Aurora 1" sends
    long strength = kSignalUnknown;
    ASSERT_EQ(tuner.SignalPresent(strength), status::S_OK);
    EXPECT_EQ(strength, kSignalPresent);
    tuner.put_Channel(1, kSubChannelDefault, kSubChannelDefault);
    EXPECT_EQ(Signal(tuner), kSignalNone);

    const std::uint32_t station_hz = 175'250'000;
    ASSERT_EQ(this->tuneFrequency(station_hz), status::S_OK);
    EXPECT_EQ(Signal(tuner), kSignalPresent);
    ASSERT_EQ(this->tuneFrequency(station_hz + kVirtualCaptureRange_hz), status::S_OK);
    EXPECT_EQ(Signal(tuner), kSignalPresent);
    ASSERT_EQ(this->tuneFrequency(station_hz - kVirtualCaptureRange_hz), status::S_OK);
    EXPECT_EQ(Signal(tuner), kSignalPresent);
    ASSERT_EQ(this->tuneFrequency(station_hz + kVirtualCaptureRange_hz + test::kScanStep_hz),
              status::S_OK);
    EXPECT_EQ(Signal(tuner), kSignalNone);
}

// Guards the continuous scan on every backend: the override written for the
// channel is where the search starts, and the found carrier, exactly, is
// where the tuner stays, below or above it, on or off the channel grid.
TYPED_TEST(TunerContract, AutoTuneStartsFromTheStoreOverrideAndSettlesOnTheStation) {
    struct Case {
        std::uint32_t override_hz;
        std::uint32_t station_hz;
    };
    for (const Case& c : {Case{498'500'000, 499'250'000}, Case{519'250'000 - 750'000, 519'250'000},
                          Case{519'250'000 + 687'500, 519'250'000}}) {
        ASSERT_EQ(this->tuneFrequency(c.override_hz), status::S_OK);
        EXPECT_EQ(this->backend_.tuned_hz(), c.override_hz);
        long found = 0;
        ASSERT_EQ(this->tuner().AutoTune(1, found), status::S_OK);
        EXPECT_EQ(found, 1) << c.override_hz;
        long frequency_hz = 0;
        this->tuner().get_VideoFrequency(frequency_hz);
        EXPECT_EQ(frequency_hz, static_cast<long>(c.station_hz)) << c.override_hz;
        EXPECT_EQ(this->backend_.tuned_hz(), c.station_hz);
        EXPECT_EQ(this->tuner().state().frequency_hz, c.station_hz);
    }
}

TYPED_TEST(TunerContract, AutoTuneWithoutStationStaysOnTheChannel) {
    auto& tuner = this->tuner();
    tuner.put_TuningSpace(kTuningSpaceCableGrid);
    tuner.put_CountryCode(kCountryCodeWesternEurope);
    long found = 1;
    ASSERT_EQ(tuner.AutoTune(1, found), status::S_OK); // E2: nobody there
    EXPECT_EQ(found, 0);
    EXPECT_EQ(this->backend_.tuned_hz(), 48'250'000u);
    long frequency_hz = 0;
    tuner.get_VideoFrequency(frequency_hz);
    EXPECT_EQ(frequency_hz, 48'250'000);
    EXPECT_EQ(tuner.AutoTune(500, found), status::E_INVALIDARG);
    EXPECT_EQ(found, 0);
}

TYPED_TEST(TunerContract, FrequenciesOutsideTheTunerRangeAreRefused) {
    for (const std::uint32_t outside_hz :
         {this->backend_.highest_hz() + 1, this->backend_.lowest_hz() - 1}) {
        EXPECT_EQ(this->tuneFrequency(outside_hz), status::E_INVALIDARG) << outside_hz;
        EXPECT_EQ(this->backend_.tuned_hz(), 0u);
    }
    const auto properties = this->tuner().properties();
    EXPECT_EQ(properties.back().minimum, static_cast<long>(this->backend_.lowest_hz()));
    EXPECT_EQ(properties.back().maximum, static_cast<long>(this->backend_.highest_hz()));
}

TYPED_TEST(TunerContract, CableGridScanFindsTheStationsOnThePlan) {
    const std::vector<FoundChannel> found = test::CableGridScan(this->tuner());
    std::vector<long> frequencies;
    for (const FoundChannel& channel : found) {
        frequencies.push_back(channel.frequency_hz);
    }
    EXPECT_EQ(frequencies, (std::vector<long>{140'250'000, 175'250'000, 196'250'000, 471'250'000,
                                              519'250'000, 623'250'000, 783'250'000}));
    ASSERT_GE(found.size(), 2u);
    EXPECT_EQ(found[1].number, 14); // E5 is cable channel 14
}

// Guards the continuous scan: the station between the plan's channels is
// found, every station once, with consecutive channel numbers, and each
// channel number then tunes within reach of its station.
TYPED_TEST(TunerContract, ContinuousScanFindsEveryStationOnceIncludingTheOneBetween) {
    auto& tuner = this->tuner();
    const std::vector<FoundChannel> found = test::ContinuousScan(tuner, this->store_);
    const auto& stations = VirtualTvCard::stations();
    ASSERT_EQ(found.size(), stations.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].number, static_cast<long>(i + 1));
        EXPECT_EQ(found[i].frequency_hz, static_cast<long>(stations[i].frequency_hz));
    }
    EXPECT_TRUE(std::any_of(found.begin(), found.end(), [](const FoundChannel& channel) {
        return channel.frequency_hz == 499'250'000;
    }));

    tuner.put_CountryCode(kCountryCodeWesternEurope);
    for (const FoundChannel& channel : found) {
        tuner.put_Channel(channel.number, kSubChannelDefault, kSubChannelDefault);
        EXPECT_EQ(Signal(tuner), kSignalPresent) << channel.number;
        // The store keeps where the scan first heard the station, which is
        // within the capture range of it.
        EXPECT_LE(
            std::llabs(static_cast<long long>(this->backend_.tuned_hz()) - channel.frequency_hz),
            static_cast<long long>(kVirtualCaptureRange_hz))
            << channel.number;
    }
    // The store holds one more value: the last frequency tried.
    const auto entries = this->store_.entries(kTuningSpaceContinuous);
    ASSERT_EQ(entries.size(), stations.size() + 1);
    EXPECT_EQ(entries.back().second, static_cast<std::int32_t>(test::kScanEnd_hz));
}

TYPED_TEST(TunerContract, CrossbarPinsPairVideoWithItsSound) {
    auto& crossbar = this->crossbar();
    long outputs = 0;
    long inputs = 0;
    ASSERT_EQ(crossbar.get_PinCounts(outputs, inputs), status::S_OK);
    ASSERT_EQ(outputs, 2);
    ASSERT_EQ(inputs, 5);
    const long expectedTypes[] = {PhysConn_Video_Tuner, PhysConn_Video_Composite,
                                  PhysConn_Video_SVideo, PhysConn_Audio_Tuner, PhysConn_Audio_Line};
    const long expectedRelated[] = {3, 4, 4, 0, 1};
    for (long i = 0; i < inputs; ++i) {
        long related = -5;
        long type = 0;
        ASSERT_EQ(crossbar.get_CrossbarPinInfo(true, i, related, type), status::S_OK);
        EXPECT_EQ(type, expectedTypes[i]) << i;
        EXPECT_EQ(related, expectedRelated[i]) << i;
    }
    long related = 0;
    long type = 0;
    crossbar.get_CrossbarPinInfo(false, 0, related, type);
    EXPECT_EQ(type, PhysConn_Video_VideoDecoder);
    EXPECT_EQ(related, 1);
    crossbar.get_CrossbarPinInfo(false, 1, related, type);
    EXPECT_EQ(type, 0x1009); // the decoder output that tuner audio is routed to
    EXPECT_EQ(related, 0);
    EXPECT_EQ(crossbar.get_CrossbarPinInfo(true, 5, related, type), status::E_INVALIDARG);
    EXPECT_EQ(crossbar.get_CrossbarPinInfo(false, -1, related, type), status::E_INVALIDARG);
}

TYPED_TEST(TunerContract, CrossbarRoutesVideoToVideoAndAudioToAudio) {
    auto& crossbar = this->crossbar();
    EXPECT_EQ(this->routedTo(0), TypeParam::kInitialVideoInput);
    EXPECT_EQ(this->routedTo(1), TypeParam::kInitialAudioInput);

    EXPECT_EQ(crossbar.CanRoute(0, 3), status::S_FALSE);
    EXPECT_EQ(crossbar.CanRoute(1, 2), status::S_FALSE);
    EXPECT_EQ(crossbar.Route(0, 3), status::E_INVALIDARG);
    EXPECT_EQ(crossbar.Route(0, 4), status::E_INVALIDARG);
    EXPECT_EQ(crossbar.Route(2, 0), status::E_INVALIDARG);
    // Refused routes change nothing.
    EXPECT_EQ(this->routedTo(0), TypeParam::kInitialVideoInput);
    EXPECT_EQ(this->routedTo(1), TypeParam::kInitialAudioInput);

    ASSERT_EQ(crossbar.Route(0, 0), status::S_OK);
    EXPECT_EQ(this->routedTo(0), 0);
    ASSERT_EQ(crossbar.Route(1, 3), status::S_OK);
    EXPECT_EQ(this->routedTo(1), 3);
    ASSERT_EQ(crossbar.Route(0, 2), status::S_OK);
    EXPECT_EQ(this->routedTo(0), 2);
    ASSERT_EQ(crossbar.Route(1, 4), status::S_OK);
    EXPECT_EQ(this->routedTo(1), 4);
    EXPECT_EQ(this->routedTo(0), 2); // each output keeps its own route
}

} // namespace
} // namespace qeltv
