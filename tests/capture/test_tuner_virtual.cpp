// The Virtual TV Card for what only it does: its stations, the picture and
// sound its sources receive, its listeners, leaving a crossbar output
// unconnected and its mixer lines. What every backend promises is in
// test_tuner_contract.cpp.
#include "capture/VirtualTuner.h"
#include "test_tuner_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

namespace qeltv {
namespace {

using test::FoundChannel;
using test::kScanStep_hz;
using test::kTuningSpaceCableGrid;
using test::kTuningSpaceContinuous;

class TunerVirtualCard : public ::testing::Test {
protected:
    void SetUp() override { tuner_ = std::make_unique<VirtualTuner>(card_, temporary_.store()); }

    // Tunes an exact frequency through a store override, as the continuous
    // scan does.
    void tuneFrequency(std::uint32_t frequency_hz) {
        temporary_.store().set(kTuningSpaceContinuous, 1, static_cast<std::int32_t>(frequency_hz));
        tuner_->put_TuningSpace(kTuningSpaceContinuous);
        tuner_->put_CountryCode(kCountryCodeWesternEurope);
        ASSERT_EQ(tuner_->put_Channel(1, kSubChannelDefault, kSubChannelDefault), status::S_OK);
    }

    test::TemporaryAutoTuneStore temporary_;
    VirtualTvCard card_;
    std::unique_ptr<VirtualTuner> tuner_;
};

bool OnCablePlan(std::uint32_t frequency_hz) {
    const auto& table = ChannelTable(kCountryCodeWesternEurope, TunerInputType::Cable);
    return std::any_of(table.begin(), table.end(), [frequency_hz](const TableChannel& channel) {
        return channel.frequency_hz == frequency_hz;
    });
}

TEST(TunerVirtualStations, SixOrMoreOnThePlanAndOneBetween) {
    const auto& stations = VirtualTvCard::stations();
    const auto onPlan = std::count_if(stations.begin(), stations.end(), [](const auto& station) {
        return OnCablePlan(station.frequency_hz);
    });
    EXPECT_GE(onPlan, 6);
    int between = 0;
    for (const VirtualStation& station : stations) {
        const auto& table = ChannelTable(kCountryCodeWesternEurope, TunerInputType::Cable);
        const bool nearPlan =
            std::any_of(table.begin(), table.end(), [&station](const TableChannel& channel) {
                return std::llabs(static_cast<long long>(channel.frequency_hz) -
                                  station.frequency_hz) <= kVirtualCaptureRange_hz;
            });
        between += nearPlan ? 0 : 1;
        EXPECT_FALSE(station.name.empty());
        EXPECT_GT(station.tone_hz, 0.0);
    }
    EXPECT_GE(between, 1);
    for (std::size_t i = 1; i < stations.size(); ++i) {
        EXPECT_LT(stations[i - 1].frequency_hz, stations[i].frequency_hz);
    }
}

// The picture and sound follow the tuner: the station within the capture
// range is received, snow and silence beyond it, after a plain tune, an
// AutoTune and the continuous scan alike.
TEST_F(TunerVirtualCard, ReceivesTheStationTheTunerTuned) {
    const std::uint32_t station_hz = 175'250'000;
    tuneFrequency(station_hz);
    ASSERT_NE(card_.received(), nullptr);
    EXPECT_EQ(card_.received()->name, "Aurora 1");
    tuneFrequency(station_hz + kVirtualCaptureRange_hz + kScanStep_hz);
    EXPECT_EQ(card_.received(), nullptr);
    EXPECT_EQ(card_.receivedAudio(), nullptr);

    tuneFrequency(519'250'000 - 750'000);
    long found = 0;
    ASSERT_EQ(tuner_->AutoTune(1, found), status::S_OK);
    ASSERT_NE(card_.received(), nullptr);
    EXPECT_EQ(card_.received()->name, "Lumen Kids");

    const std::vector<FoundChannel> channels = test::ContinuousScan(*tuner_, temporary_.store());
    ASSERT_FALSE(channels.empty());
    tuner_->put_CountryCode(kCountryCodeWesternEurope);
    for (const FoundChannel& channel : channels) {
        tuner_->put_Channel(channel.number, kSubChannelDefault, kSubChannelDefault);
        ASSERT_NE(card_.received(), nullptr);
        EXPECT_EQ(card_.received()->frequency_hz, static_cast<std::uint32_t>(channel.frequency_hz));
    }
}

TEST_F(TunerVirtualCard, ChannelChangeReachesListenersAtOnce) {
    std::vector<std::string> seen;
    const int id = card_.addListener([this, &seen] {
        const VirtualStation* station = card_.received();
        seen.push_back(station != nullptr ? station->name : "snow");
    });
    tuner_->put_TuningSpace(kTuningSpaceCableGrid);
    tuner_->put_CountryCode(kCountryCodeWesternEurope);
    tuner_->put_Channel(14, kSubChannelDefault, kSubChannelDefault);
    tuner_->put_Channel(14, kSubChannelDefault, kSubChannelDefault); // no change, no call
    tuner_->put_Channel(1, kSubChannelDefault, kSubChannelDefault);
    EXPECT_EQ(seen, (std::vector<std::string>{"Aurora 1", "snow"}));

    card_.removeListener(id);
    tuner_->put_Channel(14, kSubChannelDefault, kSubChannelDefault);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(TunerVirtualCard, ListenerMayRemoveItself) {
    int calls = 0;
    int id = 0;
    id = card_.addListener([this, &calls, &id] {
        ++calls;
        card_.removeListener(id);
    });
    card_.tune(175'250'000);
    card_.tune(196'250'000);
    EXPECT_EQ(calls, 1);
}

// Guards the card's locking: sources read and come and go on streaming
// threads while the tuner changes channels on the GUI thread.
TEST_F(TunerVirtualCard, ReadersOnOtherThreadsSeeWholeStates) {
    constexpr int kRounds = 2000;
    constexpr int kOverlappingReads = 100;
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done) {
            const int id = card_.addListener([] {});
            const VirtualStation* station = card_.received();
            if (station != nullptr) {
                EXPECT_NE(VirtualTvCard::stationNear(station->frequency_hz), nullptr);
            }
            card_.receivedAudio();
            card_.lineEnabled(0);
            card_.removeListener(id);
            ++reads;
        }
    });
    while (reads == 0) {
        std::this_thread::yield();
    }
    const int readsBefore = reads;
    const auto& stations = VirtualTvCard::stations();
    // Tune at least kRounds times and until the reader has overlapped.
    for (int round = 0; round < kRounds || reads < readsBefore + kOverlappingReads; ++round) {
        card_.tune(round % 2 == 0 ? stations[round % stations.size()].frequency_hz : 60'000'000);
        card_.route(1, round % 3 == 0 ? 4 : 3);
    }
    card_.tune(60'000'000);
    done = true;
    reader.join();
    EXPECT_EQ(card_.frequency(), 60'000'000u);
    EXPECT_EQ(card_.received(), nullptr);
}

TEST_F(TunerVirtualCard, RoutingOtherInputsGivesSnowAndSilence) {
    VirtualCrossbar crossbar(card_);
    int calls = 0;
    card_.addListener([&calls] { ++calls; });
    tuneFrequency(623'250'000);
    calls = 0;
    ASSERT_NE(card_.received(), nullptr);
    ASSERT_NE(card_.receivedAudio(), nullptr);

    // Refused routes tell no listener.
    EXPECT_EQ(crossbar.CanRoute(0, 3), status::S_FALSE);
    EXPECT_EQ(crossbar.Route(0, 4), status::E_INVALIDARG);
    EXPECT_EQ(crossbar.Route(2, 0), status::E_INVALIDARG);
    EXPECT_EQ(calls, 0);

    ASSERT_EQ(crossbar.Route(0, 1), status::S_OK);
    EXPECT_EQ(card_.received(), nullptr);
    EXPECT_NE(card_.receivedAudio(), nullptr);
    ASSERT_EQ(crossbar.Route(1, 4), status::S_OK);
    EXPECT_EQ(card_.receivedAudio(), nullptr);
    EXPECT_EQ(calls, 2);

    // Input -1 leaves an output unconnected.
    ASSERT_EQ(crossbar.Route(1, -1), status::S_OK);
    long routed = 0;
    crossbar.get_IsRoutedTo(1, routed);
    EXPECT_EQ(routed, -1);
}

TEST_F(TunerVirtualCard, MixerLines) {
    EXPECT_EQ(VirtualTvCard::mixerLines(),
              (std::vector<std::string>{"Tuner", "Line", "Microphone"}));
    EXPECT_TRUE(card_.lineEnabled(0));
    EXPECT_FALSE(card_.lineEnabled(1));
    EXPECT_FALSE(card_.lineEnabled(2));
    EXPECT_FALSE(card_.lineEnabled(3));
    card_.setLineEnabled(2, true);
    EXPECT_TRUE(card_.lineEnabled(2));
    try {
        card_.setLineEnabled(3, true);
        FAIL() << "no exception";
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "Virtual TV Card: no mixer line 3");
    }
}

} // namespace
} // namespace qeltv
