// The Virtual TV Card: its stations, tuner, crossbar, mixer lines and
// listeners, and both auto-tune scans run against it as the Channels page
// runs them.
#include "capture/VirtualTuner.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

namespace qeltv {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kScanStart_hz = 38'000'000;
constexpr std::uint32_t kScanEnd_hz = 900'000'000;
constexpr std::uint32_t kScanStep_hz = 250'000;
constexpr long kTuningSpaceCableGrid = 0;
constexpr long kTuningSpaceContinuous = 31;

struct FoundChannel {
    long number;
    long frequency_hz;
};

class TunerVirtualCard : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qeltv-virtual-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        file_ = std::make_unique<RegFile>(folder_ / "HKEY_LOCAL_MACHINE.reg", "HKEY_LOCAL_MACHINE");
        store_ = std::make_unique<AutoTuneStore>(*file_);
        tuner_ = std::make_unique<VirtualTuner>(card_, *store_);
    }
    void TearDown() override {
        tuner_.reset();
        store_.reset();
        file_.reset();
        fs::remove_all(folder_);
    }

    // Tunes an exact frequency through a store override, as the continuous
    // scan does.
    void tuneFrequency(std::uint32_t frequency_hz) {
        store_->set(kTuningSpaceContinuous, 1, static_cast<std::int32_t>(frequency_hz));
        tuner_->put_TuningSpace(kTuningSpaceContinuous);
        tuner_->put_CountryCode(kCountryCodeWesternEurope);
        ASSERT_EQ(tuner_->put_Channel(1, kSubChannelDefault, kSubChannelDefault), status::S_OK);
    }

    long signal() {
        long strength = kSignalUnknown;
        tuner_->SignalPresent(strength);
        return strength;
    }

    // The cable-grid scan of the Channels page.
    std::vector<FoundChannel> cableGridScan() {
        std::vector<FoundChannel> found;
        tuner_->put_TuningSpace(kTuningSpaceCableGrid);
        tuner_->put_CountryCode(kCountryCodeWesternEurope);
        long minimum = 0;
        long maximum = 0;
        tuner_->ChannelMinMax(minimum, maximum);
        for (long channel = minimum; channel <= maximum; ++channel) {
            tuner_->put_Channel(channel, kSubChannelDefault, kSubChannelDefault);
            long frequency_hz = 0;
            tuner_->get_VideoFrequency(frequency_hz);
            if (signal() != kSignalNone) {
                found.push_back({channel, frequency_hz});
            }
        }
        return found;
    }

    // The continuous frequency scan of the Channels page.
    std::vector<FoundChannel> continuousScan() {
        std::vector<FoundChannel> found;
        std::set<long> foundFrequencies;
        store_->clear(kTuningSpaceContinuous);
        long next = 1;
        tuner_->put_TuningSpace(kTuningSpaceContinuous);
        tuner_->put_CountryCode(kCountryCodeWesternEurope);
        for (std::uint32_t f = kScanStart_hz; f <= kScanEnd_hz; f += kScanStep_hz) {
            store_->set(kTuningSpaceContinuous, next, static_cast<std::int32_t>(f));
            tuner_->put_CountryCode(kCountryCodeWesternEurope);
            tuner_->put_Channel(next, kSubChannelDefault, kSubChannelDefault);
            if (signal() == kSignalNone) {
                continue;
            }
            long signalFound = 0;
            tuner_->AutoTune(next, signalFound);
            if (signalFound > 0) {
                long frequency_hz = 0;
                tuner_->get_VideoFrequency(frequency_hz);
                if (foundFrequencies.insert(frequency_hz).second) {
                    found.push_back({next, frequency_hz});
                    ++next;
                }
            }
        }
        return found;
    }

    fs::path folder_;
    std::unique_ptr<RegFile> file_;
    std::unique_ptr<AutoTuneStore> store_;
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

TEST_F(TunerVirtualCard, SignalWithinTheCaptureRangeOnly) {
    const std::uint32_t station_hz = 175'250'000;
    tuneFrequency(station_hz);
    EXPECT_EQ(signal(), kSignalPresent);
    ASSERT_NE(card_.received(), nullptr);
    EXPECT_EQ(card_.received()->name, "Aurora 1");
    tuneFrequency(station_hz + kVirtualCaptureRange_hz);
    EXPECT_EQ(signal(), kSignalPresent);
    tuneFrequency(station_hz - kVirtualCaptureRange_hz);
    EXPECT_EQ(signal(), kSignalPresent);
    tuneFrequency(station_hz + kVirtualCaptureRange_hz + kScanStep_hz);
    EXPECT_EQ(signal(), kSignalNone);
    EXPECT_EQ(card_.received(), nullptr);
    EXPECT_EQ(card_.receivedAudio(), nullptr);
}

TEST_F(TunerVirtualCard, AutoTuneSettlesOnTheStationsExactFrequency) {
    tuneFrequency(519'250'000 - 750'000);
    long found = 0;
    ASSERT_EQ(tuner_->AutoTune(1, found), status::S_OK);
    EXPECT_EQ(found, 1);
    long frequency_hz = 0;
    tuner_->get_VideoFrequency(frequency_hz);
    EXPECT_EQ(frequency_hz, 519'250'000);
    EXPECT_EQ(tuner_->state().frequency_hz, 519'250'000u);
    ASSERT_NE(card_.received(), nullptr);
    EXPECT_EQ(card_.received()->name, "Lumen Kids");
}

TEST_F(TunerVirtualCard, AutoTuneWithoutStationStaysOnTheChannel) {
    tuner_->put_TuningSpace(kTuningSpaceCableGrid);
    tuner_->put_CountryCode(kCountryCodeWesternEurope);
    long found = 1;
    ASSERT_EQ(tuner_->AutoTune(1, found), status::S_OK); // E2: nobody there
    EXPECT_EQ(found, 0);
    EXPECT_EQ(card_.frequency(), 48'250'000u);
    EXPECT_EQ(tuner_->AutoTune(500, found), status::E_INVALIDARG);
    EXPECT_EQ(found, 0);
}

TEST_F(TunerVirtualCard, CableGridScanFindsTheStationsOnThePlan) {
    const std::vector<FoundChannel> found = cableGridScan();
    std::vector<long> frequencies;
    for (const FoundChannel& channel : found) {
        frequencies.push_back(channel.frequency_hz);
    }
    EXPECT_EQ(frequencies, (std::vector<long>{140'250'000, 175'250'000, 196'250'000, 471'250'000,
                                              519'250'000, 623'250'000, 783'250'000}));
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[1].number, 14); // E5 is cable channel 14
}

// Guards the continuous scan: the station between the plan's channels is
// found, every station once, with consecutive channel numbers, and each
// channel number then tunes within reach of its station.
TEST_F(TunerVirtualCard, ContinuousScanFindsEveryStationOnceIncludingTheOneBetween) {
    const std::vector<FoundChannel> found = continuousScan();
    const auto& stations = VirtualTvCard::stations();
    ASSERT_EQ(found.size(), stations.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].number, static_cast<long>(i + 1));
        EXPECT_EQ(found[i].frequency_hz, static_cast<long>(stations[i].frequency_hz));
    }
    EXPECT_TRUE(std::any_of(found.begin(), found.end(), [](const FoundChannel& channel) {
        return channel.frequency_hz == 499'250'000;
    }));

    tuner_->put_CountryCode(kCountryCodeWesternEurope);
    for (const FoundChannel& channel : found) {
        tuner_->put_Channel(channel.number, kSubChannelDefault, kSubChannelDefault);
        EXPECT_EQ(signal(), kSignalPresent) << channel.number;
        ASSERT_NE(card_.received(), nullptr);
        EXPECT_EQ(card_.received()->frequency_hz, static_cast<std::uint32_t>(channel.frequency_hz));
    }
    // The store holds one more value: the last frequency tried.
    const auto entries = store_->entries(kTuningSpaceContinuous);
    ASSERT_EQ(entries.size(), stations.size() + 1);
    EXPECT_EQ(entries.back().second, static_cast<std::int32_t>(kScanEnd_hz));
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

TEST_F(TunerVirtualCard, CrossbarPinsAndDefaultRouting) {
    VirtualCrossbar crossbar(card_);
    EXPECT_EQ(crossbar.name(), "Virtual TV Card Crossbar");
    EXPECT_EQ(tuner_->name(), "Virtual TV Card Tuner");
    long outputs = 0;
    long inputs = 0;
    crossbar.get_PinCounts(outputs, inputs);
    ASSERT_EQ(outputs, 2);
    ASSERT_EQ(inputs, 5);

    const long expectedInputs[] = {PhysConn_Video_Tuner, PhysConn_Video_Composite,
                                   PhysConn_Video_SVideo, PhysConn_Audio_Tuner,
                                   PhysConn_Audio_Line};
    const long expectedRelated[] = {3, 4, 4, 0, 1};
    for (long i = 0; i < inputs; ++i) {
        long related = -5;
        long type = 0;
        ASSERT_EQ(crossbar.get_CrossbarPinInfo(true, i, related, type), status::S_OK);
        EXPECT_EQ(type, expectedInputs[i]) << i;
        EXPECT_EQ(related, expectedRelated[i]) << i;
    }
    long related = 0;
    long type = 0;
    crossbar.get_CrossbarPinInfo(false, 0, related, type);
    EXPECT_EQ(type, PhysConn_Video_VideoDecoder);
    crossbar.get_CrossbarPinInfo(false, 1, related, type);
    EXPECT_EQ(type, 0x1009);
    EXPECT_EQ(crossbar.get_CrossbarPinInfo(true, 5, related, type), status::E_INVALIDARG);
    EXPECT_EQ(crossbar.get_CrossbarPinInfo(false, -1, related, type), status::E_INVALIDARG);

    long routed = -5;
    crossbar.get_IsRoutedTo(0, routed);
    EXPECT_EQ(routed, 0);
    crossbar.get_IsRoutedTo(1, routed);
    EXPECT_EQ(routed, 3);
}

TEST_F(TunerVirtualCard, RoutingOtherInputsGivesSnowAndSilence) {
    VirtualCrossbar crossbar(card_);
    int calls = 0;
    card_.addListener([&calls] { ++calls; });
    tuneFrequency(623'250'000);
    calls = 0;
    ASSERT_NE(card_.received(), nullptr);
    ASSERT_NE(card_.receivedAudio(), nullptr);

    EXPECT_EQ(crossbar.CanRoute(0, 3), status::S_FALSE);
    EXPECT_EQ(crossbar.CanRoute(1, 2), status::S_FALSE);
    EXPECT_EQ(crossbar.Route(0, 4), status::E_INVALIDARG);
    EXPECT_EQ(crossbar.Route(2, 0), status::E_INVALIDARG);
    EXPECT_EQ(calls, 0);

    ASSERT_EQ(crossbar.Route(0, 1), status::S_OK);
    EXPECT_EQ(card_.received(), nullptr);
    EXPECT_NE(card_.receivedAudio(), nullptr);
    ASSERT_EQ(crossbar.Route(1, 4), status::S_OK);
    EXPECT_EQ(card_.receivedAudio(), nullptr);
    EXPECT_EQ(calls, 2);

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

TEST_F(TunerVirtualCard, FrequenciesOutsideTheTunerRangeAreRefused) {
    store_->set(kTuningSpaceContinuous, 1, static_cast<std::int32_t>(kVirtualTunerHighest_hz + 1));
    tuner_->put_TuningSpace(kTuningSpaceContinuous);
    tuner_->put_CountryCode(kCountryCodeWesternEurope);
    EXPECT_EQ(tuner_->put_Channel(1, kSubChannelDefault, kSubChannelDefault), status::E_INVALIDARG);
    EXPECT_EQ(card_.frequency(), 0u);
}

} // namespace
} // namespace qeltv
