// Channel plans, auto-tune store overrides, the tuner's property page and
// saved state, and the text of capture errors.
#include "capture/FrequencyTable.h"
#include "capture/Status.h"
#include "capture/VirtualTuner.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace qeltv {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t MHz(double value) {
    return static_cast<std::uint32_t>(value * 1e6 + 0.5);
}

// A machine store in a fresh temporary folder, removed afterwards.
class TunerStore : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qeltv-tuner-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        file_ = std::make_unique<RegFile>(folder_ / "HKEY_LOCAL_MACHINE.reg", "HKEY_LOCAL_MACHINE");
        store_ = std::make_unique<AutoTuneStore>(*file_);
    }
    void TearDown() override {
        store_.reset();
        file_.reset();
        fs::remove_all(folder_);
    }

    fs::path folder_;
    std::unique_ptr<RegFile> file_;
    std::unique_ptr<AutoTuneStore> store_;
    VirtualTvCard card_;
};

long ChannelOf(const std::vector<TableChannel>& table, const std::string& label) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].label == label) {
            return static_cast<long>(i + 1);
        }
    }
    return 0;
}

TEST(TunerChannelTable, CablePlanHasTheKnownCarriers) {
    const auto& cable = ChannelTable(kCountryCodeWesternEurope, TunerInputType::Cable);
    ASSERT_EQ(cable.size(), 3u + 10u + 8u + 10u + 21u + 49u);
    EXPECT_EQ(cable.front().label, "E2");
    EXPECT_EQ(cable.front().frequency_hz, MHz(48.25));
    EXPECT_EQ(cable[2].frequency_hz, MHz(62.25)); // E4
    EXPECT_EQ(cable[3].label, "S1");
    EXPECT_EQ(cable[3].frequency_hz, MHz(105.25));
    EXPECT_EQ(cable[ChannelOf(cable, "S10") - 1].frequency_hz, MHz(168.25));
    EXPECT_EQ(ChannelOf(cable, "E5"), 14);
    EXPECT_EQ(cable[ChannelOf(cable, "E5") - 1].frequency_hz, MHz(175.25));
    EXPECT_EQ(cable[ChannelOf(cable, "E12") - 1].frequency_hz, MHz(224.25));
    EXPECT_EQ(cable[ChannelOf(cable, "S11") - 1].frequency_hz, MHz(231.25));
    EXPECT_EQ(cable[ChannelOf(cable, "S20") - 1].frequency_hz, MHz(294.25));
    EXPECT_EQ(cable[ChannelOf(cable, "S21") - 1].frequency_hz, MHz(303.25));
    EXPECT_EQ(cable[ChannelOf(cable, "S41") - 1].frequency_hz, MHz(463.25));
    EXPECT_EQ(cable[ChannelOf(cable, "E21") - 1].frequency_hz, MHz(471.25));
    EXPECT_EQ(cable.back().label, "E69");
    EXPECT_EQ(cable.back().frequency_hz, MHz(855.25));
}

TEST(TunerChannelTable, ChannelNumbersAscendInFrequency) {
    for (TunerInputType type : {TunerInputType::Cable, TunerInputType::Antenna}) {
        const auto& table = ChannelTable(kCountryCodeWesternEurope, type);
        for (std::size_t i = 1; i < table.size(); ++i) {
            EXPECT_LT(table[i - 1].frequency_hz, table[i].frequency_hz) << table[i].label;
        }
    }
}

TEST(TunerChannelTable, AntennaPlanHasNoSpecialChannels) {
    const auto& antenna = ChannelTable(kCountryCodeWesternEurope, TunerInputType::Antenna);
    ASSERT_EQ(antenna.size(), 3u + 8u + 49u);
    for (const TableChannel& channel : antenna) {
        EXPECT_EQ(channel.label[0], 'E') << channel.label;
    }
    EXPECT_EQ(ChannelOf(antenna, "E5"), 4);
    EXPECT_EQ(antenna[3].frequency_hz, MHz(175.25));
    EXPECT_EQ(antenna[ChannelOf(antenna, "E21") - 1].frequency_hz, MHz(471.25));
    EXPECT_EQ(antenna.back().frequency_hz, MHz(855.25));
}

TEST(TunerChannelTable, OtherCountriesUseTheWesternEuropeanPlan) {
    EXPECT_EQ(&ChannelTable(1, TunerInputType::Cable),
              &ChannelTable(kCountryCodeWesternEurope, TunerInputType::Cable));
    EXPECT_EQ(&ChannelTable(44, TunerInputType::Antenna),
              &ChannelTable(kCountryCodeWesternEurope, TunerInputType::Antenna));
}

TEST_F(TunerStore, InputTypeSelectsThePlan) {
    VirtualTuner tuner(card_, *store_);
    long minimum = 0;
    long maximum = 0;
    ASSERT_EQ(tuner.put_InputType(0, TunerInputType::Antenna), status::S_OK);
    tuner.ChannelMinMax(minimum, maximum);
    EXPECT_EQ(minimum, 1);
    EXPECT_EQ(maximum, 60);
    ASSERT_EQ(tuner.put_Channel(4, kSubChannelDefault, kSubChannelDefault), status::S_OK);
    EXPECT_EQ(card_.frequency(), MHz(175.25));

    ASSERT_EQ(tuner.put_InputType(0, TunerInputType::Cable), status::S_OK);
    tuner.ChannelMinMax(minimum, maximum);
    EXPECT_EQ(maximum, 101);
    ASSERT_EQ(tuner.put_Channel(4, kSubChannelDefault, kSubChannelDefault), status::S_OK);
    EXPECT_EQ(card_.frequency(), MHz(105.25));

    EXPECT_EQ(tuner.put_InputType(1, TunerInputType::Cable), status::E_INVALIDARG);
    EXPECT_EQ(tuner.put_InputType(0, static_cast<TunerInputType>(7)), status::E_INVALIDARG);
}

TEST_F(TunerStore, ChannelsOutsideThePlanAreRefusedAndTuneNothing) {
    VirtualTuner tuner(card_, *store_);
    ASSERT_EQ(tuner.put_Channel(14, kSubChannelDefault, kSubChannelDefault), status::S_OK);
    EXPECT_EQ(tuner.put_Channel(0, kSubChannelDefault, kSubChannelDefault), status::E_INVALIDARG);
    EXPECT_EQ(tuner.put_Channel(102, kSubChannelDefault, kSubChannelDefault), status::E_INVALIDARG);
    EXPECT_EQ(card_.frequency(), MHz(175.25));
    EXPECT_EQ(tuner.channel(), 14);
}

// Guards the continuous scan: a value written to the store and the country
// code set again makes the channel number stand for that frequency.
TEST_F(TunerStore, StoreValueOverridesThePlanAfterCountryCodeIsSetAgain) {
    VirtualTuner tuner(card_, *store_);
    tuner.put_TuningSpace(31);
    tuner.put_CountryCode(31);
    store_->clear(31);
    store_->set(31, 1, static_cast<std::int32_t>(MHz(38.25)));

    // Not yet reloaded: channel 1 is still E2.
    tuner.put_Channel(1, kSubChannelDefault, kSubChannelDefault);
    EXPECT_EQ(card_.frequency(), MHz(48.25));

    tuner.put_CountryCode(31);
    tuner.put_Channel(1, kSubChannelDefault, kSubChannelDefault);
    EXPECT_EQ(card_.frequency(), MHz(38.25));
    long frequency_hz = 0;
    tuner.get_VideoFrequency(frequency_hz);
    EXPECT_EQ(frequency_hz, 38'250'000);

    store_->set(31, 1, static_cast<std::int32_t>(MHz(38.5)));
    tuner.put_CountryCode(31);
    tuner.put_Channel(1, kSubChannelDefault, kSubChannelDefault);
    EXPECT_EQ(card_.frequency(), MHz(38.5));
}

TEST_F(TunerStore, OverridesBelongToTheirTuningSpace) {
    store_->set(31, 2, static_cast<std::int32_t>(MHz(499.25)));
    VirtualTuner tuner(card_, *store_);
    tuner.put_TuningSpace(0);
    tuner.put_CountryCode(31);
    tuner.put_Channel(2, kSubChannelDefault, kSubChannelDefault);
    EXPECT_EQ(card_.frequency(), MHz(55.25)); // the plan's E3

    tuner.put_TuningSpace(31);
    tuner.put_CountryCode(31);
    tuner.put_Channel(2, kSubChannelDefault, kSubChannelDefault);
    EXPECT_EQ(card_.frequency(), MHz(499.25));
}

TEST_F(TunerStore, OverrideBeyondThePlanIsTunableButMinMaxCoversThePlan) {
    store_->set(31, 150, static_cast<std::int32_t>(MHz(600.0)));
    // A value that names no channel is passed over.
    file_->setValue(AutoTuneKeyPath(31), "Extra", std::uint32_t{MHz(700.0)});
    VirtualTuner tuner(card_, *store_);
    tuner.put_TuningSpace(31);
    tuner.put_CountryCode(31);
    EXPECT_EQ(tuner.put_Channel(150, kSubChannelDefault, kSubChannelDefault), status::S_OK);
    EXPECT_EQ(card_.frequency(), MHz(600.0));
    long minimum = 0;
    long maximum = 0;
    tuner.ChannelMinMax(minimum, maximum);
    EXPECT_EQ(minimum, 1);
    EXPECT_EQ(maximum, 101);
}

TEST_F(TunerStore, OverridesSurviveTheStoreFile) {
    store_->set(31, 3, static_cast<std::int32_t>(MHz(623.25)));
    store_->save();
    RegFile reloaded(folder_ / "HKEY_LOCAL_MACHINE.reg", "HKEY_LOCAL_MACHINE");
    reloaded.load();
    AutoTuneStore other(reloaded);
    VirtualTuner tuner(card_, other);
    tuner.put_TuningSpace(31);
    tuner.put_CountryCode(31);
    tuner.put_Channel(3, kSubChannelDefault, kSubChannelDefault);
    EXPECT_EQ(card_.frequency(), MHz(623.25));
}

TEST_F(TunerStore, SettingsOutOfRangeAreRefused) {
    VirtualTuner tuner(card_, *store_);
    EXPECT_EQ(tuner.put_CountryCode(-1), status::E_INVALIDARG);
    EXPECT_EQ(tuner.put_CountryCode(kMaxCountryCode + 1), status::E_INVALIDARG);
    EXPECT_EQ(tuner.put_TuningSpace(-1), status::E_INVALIDARG);
    EXPECT_EQ(tuner.put_Mode(TunerMode::FMRadio), status::E_INVALIDARG);
    EXPECT_EQ(tuner.put_Mode(TunerMode::TV), status::S_OK);
    EXPECT_EQ(tuner.state().countryCode, kCountryCodeWesternEurope);
}

TEST_F(TunerStore, PropertyPageShowsAndEditsTheSettings) {
    VirtualTuner tuner(card_, *store_);
    ASSERT_EQ(tuner.setProperty("Channel", 14), status::S_OK);
    EXPECT_EQ(card_.frequency(), MHz(175.25));
    ASSERT_EQ(tuner.setProperty("Input type", 1), status::S_OK);
    ASSERT_EQ(tuner.setProperty("Tuning space", 0), status::S_OK);
    EXPECT_EQ(tuner.setProperty("Video frequency (Hz)", 1), status::E_INVALIDARG);
    EXPECT_EQ(tuner.setProperty("Volume", 1), status::E_INVALIDARG);

    const std::vector<TunerProperty> properties = tuner.properties();
    ASSERT_EQ(properties.size(), 5u);
    EXPECT_EQ(properties[0].name, "Channel");
    EXPECT_EQ(properties[0].value, 14);
    EXPECT_EQ(properties[0].minimum, 1);
    EXPECT_EQ(properties[0].maximum, 60); // antenna plan now
    EXPECT_EQ(properties[1].name, "Country code");
    EXPECT_EQ(properties[1].value, 31);
    EXPECT_EQ(properties[2].name, "Tuning space");
    EXPECT_EQ(properties[2].value, 0);
    EXPECT_EQ(properties[3].name, "Input type");
    EXPECT_EQ(properties[3].value, 1);
    EXPECT_EQ(properties[4].name, "Video frequency (Hz)");
    EXPECT_EQ(properties[4].value, 175'250'000);
    EXPECT_TRUE(properties[4].readOnly);
    EXPECT_FALSE(properties[0].readOnly);
}

TEST_F(TunerStore, SavedStateComesBackWithItsFineTuning) {
    // The first tuner sits half a megahertz above the plan's E5, where its
    // store's list puts the channel.
    const std::uint32_t fineTuned_hz = MHz(175.25) + 500'000;
    store_->set(0, 14, static_cast<std::int32_t>(fineTuned_hz));
    VirtualTuner first(card_, *store_);
    first.put_TuningSpace(0);
    first.put_CountryCode(31);
    ASSERT_EQ(first.put_Channel(14, kSubChannelDefault, kSubChannelDefault), status::S_OK);
    ASSERT_EQ(card_.frequency(), fineTuned_hz);
    const TunerState saved = first.state();

    // Restored on another card whose store has no list: only the saved
    // state can bring the frequency back.
    RegFile emptyFile(folder_ / "empty.reg", "HKEY_LOCAL_MACHINE");
    AutoTuneStore emptyStore(emptyFile);
    VirtualTvCard otherCard;
    VirtualTuner second(otherCard, emptyStore);
    ASSERT_EQ(second.restoreState(saved), status::S_OK);
    EXPECT_EQ(otherCard.frequency(), fineTuned_hz);
    const TunerState state = second.state();
    EXPECT_EQ(state.channel, 14);
    EXPECT_EQ(state.tuningSpace, 0);
    EXPECT_EQ(state.countryCode, 31);
    EXPECT_EQ(state.frequency_hz, fineTuned_hz);
    // Choosing the channel again keeps the fine-tuning until the table is
    // reloaded.
    second.put_Channel(15, kSubChannelDefault, kSubChannelDefault);
    second.put_Channel(14, kSubChannelDefault, kSubChannelDefault);
    EXPECT_EQ(otherCard.frequency(), fineTuned_hz);
    second.put_CountryCode(31);
    second.put_Channel(14, kSubChannelDefault, kSubChannelDefault);
    EXPECT_EQ(otherCard.frequency(), MHz(175.25));
}

TEST_F(TunerStore, RestoringABadStateAppliesTheRestAndReportsTheFailure) {
    VirtualTuner tuner(card_, *store_);
    TunerState saved = {31, 0, TunerMode::AMRadio, TunerInputType::Antenna, 4, 0};
    EXPECT_EQ(tuner.restoreState(saved), status::E_INVALIDARG);
    EXPECT_EQ(tuner.state().inputType, TunerInputType::Antenna);
    EXPECT_EQ(card_.frequency(), MHz(175.25));
}

TEST(TunerCaptureError, TextEndsWithTheStatusInUpperCaseHex) {
    const CaptureError error("Invalid argument", status::E_INVALIDARG);
    EXPECT_STREQ(error.what(), "Invalid argument ($80070057).");
    EXPECT_EQ(error.status(), status::E_INVALIDARG);
    EXPECT_STREQ(CaptureError("Odd", 0x1A).what(), "Odd ($1A).");
}

TEST(TunerCaptureError, LongTextIsCutTo255Characters) {
    const std::string text(300, 'x');
    const CaptureError error(text, status::E_FAIL);
    EXPECT_EQ(std::string(error.what()), std::string(255, 'x') + " ($80004005).");
}

// Guards against a cut in the middle of a UTF-8 character.
TEST(TunerCaptureError, CutNeverSplitsACharacter) {
    const std::string text = std::string(254, 'x') + "\xC3\xA9" + "tail";
    const CaptureError error(text, status::E_FAIL);
    EXPECT_EQ(std::string(error.what()), std::string(254, 'x') + " ($80004005).");
}

TEST(TunerCaptureError, CheckStatusThrowsOnlyOnFailure) {
    EXPECT_NO_THROW(CheckStatus(status::S_FALSE, "fine"));
    try {
        CheckStatus(status::E_ACCESSDENIED, "Access is denied");
        FAIL() << "no exception";
    } catch (const CaptureError& error) {
        EXPECT_STREQ(error.what(), "Access is denied ($80070005).");
    }
}

} // namespace
} // namespace qeltv
