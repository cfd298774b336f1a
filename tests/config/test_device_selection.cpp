#include "config/DeviceSelection.h"

#include <gtest/gtest.h>

using namespace qeltv;

TEST(DeviceSelection, SavedNamesPickEntries) {
    const QStringList devices = {"Card A", "virtual tv card", "Virtual TV Card"};
    // Devices: the last of several equal names.
    EXPECT_EQ(SelectBySavedName(devices, "VIRTUAL TV CARD", NameMatch::Last, 0), 2);
    // Compressors: the first.
    EXPECT_EQ(SelectBySavedName(devices, "VIRTUAL TV CARD", NameMatch::First, 0), 1);
    // A name that is gone falls back (first entry, or "None" at 0).
    EXPECT_EQ(SelectBySavedName(devices, "Card B", NameMatch::Last, 0), 0);
    EXPECT_EQ(SelectBySavedName(devices, "", NameMatch::First, 0), 0);
    EXPECT_EQ(SelectBySavedName({}, "x", NameMatch::Last, 0), -1);
}
