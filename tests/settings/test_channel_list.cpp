#include "settings/AutoTuneStore.h"
#include "settings/ChannelList.h"
#include "settings/RegStore.h"
#include "settings/Settings.h"
#include "tests/settings/TempDir.h"

#include <gtest/gtest.h>

using namespace qeltv;
using qeltv::test::ReadFile;
using qeltv::test::TempDir;
using qeltv::test::WriteFile;

using Fields = std::vector<std::string>;

TEST(CommaText, Writing) {
    EXPECT_EQ(ToCommaText({"Noname", "175250000"}), "Noname,175250000");
    EXPECT_EQ(ToCommaText({"Big News", "1"}), "\"Big News\",1");
    EXPECT_EQ(ToCommaText({"say \"hi\"", "a,b", "tab\tx"}),
              "\"say \"\"hi\"\"\",\"a,b\",\"tab\tx\"");
    EXPECT_EQ(ToCommaText({""}), "\"\"");
    EXPECT_EQ(ToCommaText({"", ""}), ",");
    EXPECT_EQ(ToCommaText({}), "");
    EXPECT_EQ(ToCommaText({"\x7f\xe9"}), "\x7f\xe9");
}

TEST(CommaText, Reading) {
    EXPECT_EQ(FromCommaText("Noname,175250000"), (Fields{"Noname", "175250000"}));
    EXPECT_EQ(FromCommaText("  \t\"Big News\" , 1"), (Fields{"Big News", "1"}));
    EXPECT_EQ(FromCommaText("a b"), (Fields{"a", "b"}));      // blanks split fields
    EXPECT_EQ(FromCommaText("a,"), (Fields{"a", ""}));        // trailing comma adds one
    EXPECT_EQ(FromCommaText("a, "), (Fields{"a"}));           // but not before blanks
    EXPECT_EQ(FromCommaText("a,,b"), (Fields{"a", "", "b"})); // empty field kept
    EXPECT_EQ(FromCommaText("\"\""), (Fields{""}));
    EXPECT_EQ(FromCommaText(""), Fields{});
    EXPECT_EQ(FromCommaText("\"open"), (Fields{"open"}));
    EXPECT_EQ(FromCommaText("\"a\"\"b\"x"), (Fields{"a\"b", "x"}));
}

TEST(CommaText, AwkwardNamesRoundTrip) {
    for (const Fields& row : {Fields{"a, b \"c\"\x01", "5"}, Fields{""}, Fields{"x", "", "y"},
                              Fields{" lead", "trail ", "3", "extra field"}}) {
        EXPECT_EQ(FromCommaText(ToCommaText(row)), row) << ToCommaText(row);
    }
}

TEST(ChannelList, CyclicNavigation) {
    ChannelList list;
    EXPECT_FALSE(list.selectNext());
    EXPECT_FALSE(list.selectFirst());
    for (long n : {5, 2, 9})
        list.addNew(n, n * 1000);
    EXPECT_TRUE(list.selectNext()); // none selected: first
    EXPECT_EQ(list.selected(), 0u);
    list.select(std::nullopt);
    list.selectPrevious(); // none selected: last
    EXPECT_EQ(list.selected(), 2u);
    list.selectNext(); // last: wraps to first
    EXPECT_EQ(list.selected(), 0u);
    list.selectPrevious(); // first: wraps to last
    EXPECT_EQ(list.selected(), 2u);
    list.selectPrevious();
    EXPECT_EQ(list.at(*list.selected()).number, "2");
    list.selectLast();
    EXPECT_EQ(list.selected(), 2u);
    list.selectFirst();
    EXPECT_EQ(list.selected(), 0u);
}

TEST(ChannelList, LoadKeepsStoreOrderAndSelectsCurrent) {
    TempDir dir;
    WriteFile(dir / "u.reg", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Qel\\QelTV\\Channels]\n"
                             "\"5\"=\"Five,1000\"\n\"2\"=\"\\\"Two Two\\\",2000,extra\"\n"
                             "\"9\"=\"\"\n\"x\"=\"Bad,0\"\n");
    RegFile user(dir / "u.reg", "HKEY_CURRENT_USER");
    user.load();
    ChannelList list;
    ASSERT_TRUE(list.load(user, kChannelsKey, 2));
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list.at(0).number, "5");
    EXPECT_EQ(list.at(1).name(), "Two Two");
    EXPECT_EQ(list.at(1).data, (Fields{"Two Two", "2000", "extra"}));
    EXPECT_EQ(list.selected(), 1u);
    // A row without any field shows an empty name and stays empty when saved.
    EXPECT_EQ(list.at(2).quickText(), "9 - ");
    EXPECT_EQ(ChannelNumberOr(list.at(3).number, -1), -1);

    ASSERT_TRUE(list.load(user, kChannelsKey, 77)); // matches none
    EXPECT_FALSE(list.selected().has_value());

    list.at(1).setName("a,\"b\" c\x02");
    ASSERT_TRUE(list.save(user, kChannelsKey));
    RegFile again(dir / "u.reg", "HKEY_CURRENT_USER");
    again.load();
    ChannelList back;
    back.load(again, kChannelsKey, 0);
    ASSERT_EQ(back.size(), 4u);
    EXPECT_EQ(back.at(1).data, (Fields{"a,\"b\" c\x02", "2000", "extra"}));
    EXPECT_TRUE(back.at(2).data.empty());
}

TEST(Settings, FirstRunDefaultsAndFallbackChannels) {
    TempDir dir;
    RegFile user(dir / "u.reg", "HKEY_CURRENT_USER");
    RegFile machine(dir / "m.reg", "HKEY_LOCAL_MACHINE");
    AutoTuneStore autoTune(machine);
    autoTune.set(31, 1, 48250000);
    autoTune.set(31, 3, 62250000);
    autoTune.set(31, 2, 55250000);
    Settings s;
    s.TuningSpace = 0;
    s.CurrentChannel = 3;
    ChannelList channels;
    std::vector<std::string> problems;
    LoadSettings(user, autoTune, "/videos/capture.avi", s, channels, problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(s.CapFile, "/videos/capture.avi");
    EXPECT_EQ(s.PreviewWidth, 640);
    EXPECT_EQ(s.CaptureFramerate, 400000);
    EXPECT_EQ(s.TuningSpace, 31);
    ASSERT_EQ(channels.size(), 3u);
    EXPECT_EQ(channels.at(1).number, "3");
    EXPECT_EQ(channels.at(1).data, (Fields{"Noname", "62250000"}));
    EXPECT_EQ(channels.selected(), 1u);

    SaveSettings(user, s, channels);
    const std::string text = ReadFile(user.path());
    const std::string values =
        "[HKEY_CURRENT_USER\\Software\\Qel\\QelTV]\n"
        "\"VideoCapDev\"=\"\"\n\"VideoCompressor\"=\"\"\n\"AudioCapDev\"=\"\"\n"
        "\"AudioCompressor\"=\"\"\n\"AudioCompressionFormat\"=\"\"\n\"TVTuner\"=\"\"\n"
        "\"Crossbar\"=\"\"\n\"TVAudio\"=\"\"\n\"InputLine\"=\"\"\n"
        "\"CapFile\"=\"/videos/capture.avi\"\n"
        "\"PreviewWidth\"=dword:00000280\n\"PreviewHeight\"=dword:000001e0\n"
        "\"PreviewFramerate\"=dword:00061a80\n\"CaptureWidth\"=dword:00000280\n"
        "\"CaptureHeight\"=dword:000001e0\n\"CaptureFramerate\"=dword:00061a80\n"
        "\"CurrentChannel\"=dword:00000003\n\"TuningSpace\"=dword:0000001f\n\n"
        "[HKEY_CURRENT_USER\\Software\\Qel\\QelTV\\Channels]\n"
        "\"1\"=\"Noname,48250000\"\n\"3\"=\"Noname,62250000\"\n\"2\"=\"Noname,55250000\"\n\n";
    EXPECT_NE(text.find(values), std::string::npos) << text;
}

// A wrong type keeps the default and is reported; the other values load.
TEST(Settings, WrongTypeIsReportedAndOthersStillLoad) {
    TempDir dir;
    WriteFile(dir / "u.reg", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Qel\\QelTV]\n"
                             "\"PreviewWidth\"=\"wide\"\n\"capfile\"=dword:00000001\n"
                             "\"CURRENTCHANNEL\"=dword:00000007\n"
                             "[HKEY_CURRENT_USER\\Software\\Qel\\QelTV\\Channels]\n");
    RegFile user(dir / "u.reg", "HKEY_CURRENT_USER");
    user.load();
    RegFile machine(dir / "m.reg", "HKEY_LOCAL_MACHINE");
    AutoTuneStore autoTune(machine);
    Settings s;
    ChannelList channels;
    std::vector<std::string> problems;
    LoadSettings(user, autoTune, "/c.avi", s, channels, problems);
    EXPECT_EQ(problems, (std::vector<std::string>{"Invalid data type for 'CapFile'",
                                                  "Invalid data type for 'PreviewWidth'"}));
    EXPECT_EQ(s.PreviewWidth, 640);
    EXPECT_EQ(s.CapFile, "/c.avi");
    EXPECT_EQ(s.CurrentChannel, 7);
    EXPECT_TRUE(channels.empty());
}
