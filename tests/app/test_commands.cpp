#include "app/Commands.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace qeltv;

TEST(Commands, IntegerOrOneRule) {
    EXPECT_FALSE(ChannelArgument({}).has_value());
    EXPECT_EQ(ChannelArgument({"7"}), 7);
    EXPECT_EQ(ChannelArgument({"abc"}), 1);
    EXPECT_EQ(ChannelArgument({""}), 1);
    EXPECT_EQ(ChannelArgument({"-3", "9"}), -3); // only the first argument counts
    EXPECT_EQ(ChannelArgument({"12x"}), 1);
    EXPECT_EQ(ChannelArgument({"99999999999"}), 1); // not a 32-bit integer
}

TEST(Commands, LinesOnTheChannel) {
    EXPECT_EQ(FormatCommand({CommandKind::StartRec, 5}), "QelTVStartRec 5");
    EXPECT_EQ(FormatCommand({CommandKind::StopWebcast, 0}), "QelTVStopWebcast");
    auto c = ParseCommand("QelTVStartRec -12");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->kind, CommandKind::StartRec);
    EXPECT_EQ(c->wParam, -12);
    EXPECT_TRUE(ParseCommand("QelTVStopRec"));
    EXPECT_TRUE(ParseCommand("QelTVStartWebcast"));
    for (const char* bad : {"", "QelTVStartRec", "QelTVStartRec x", "QelTVStartRec 1 2",
                            "qeltvstoprec", "QelTVStopRec 1", "Hello", "QelTVStartRec 4294967296"})
        EXPECT_FALSE(ParseCommand(bad)) << bad;
    EXPECT_FALSE(ParseCommand("QelTVStopRec" + QByteArray(kMaxCommandLineBytes, ' ')));
}

namespace {
// Records what the message hook asked of the main window.
class Recorder : public CommandTarget {
public:
    explicit Recorder(GraphMode mode) : mode_(mode) {}
    GraphMode graphMode() const override { return mode_; }
    void setCurrentChannel(long c) override { calls.push_back("channel " + std::to_string(c)); }
    void recordCommand() override { calls.push_back("record"); }
    void stopCommand() override { calls.push_back("stop"); }
    void playCommand() override { calls.push_back("play"); }
    void webcastCommand(bool on) override { calls.push_back(on ? "webcast on" : "webcast off"); }
    void showCouldNotStartRecording() override { calls.push_back("balloon"); }
    std::vector<std::string> calls;

private:
    GraphMode mode_;
};

using Calls = std::vector<std::string>;
} // namespace

// Every message in every mode, as the hook's table says.
TEST(Commands, HookTable) {
    const GraphMode modes[] = {GraphMode::Preview, GraphMode::Recording, GraphMode::Webcast,
                               GraphMode::AutoTuning};
    const Command start{CommandKind::StartRec, 4}, stop{CommandKind::StopRec, 0},
        webOn{CommandKind::StartWebcast, 0}, webOff{CommandKind::StopWebcast, 0};
    const std::vector<std::pair<Command, std::vector<Calls>>> table = {
        {start, {{"channel 4", "record"}, {"balloon"}, {"channel 4", "record"}, {"balloon"}}},
        {stop, {{}, {"stop", "play"}, {}, {}}},
        {webOn, {{"webcast on"}, {}, {}, {}}},
        {webOff, {{}, {}, {"webcast off"}, {}}},
    };
    for (const auto& [command, expected] : table) {
        for (int m = 0; m < 4; ++m) {
            Recorder r(modes[m]);
            DispatchCommand(r, command);
            EXPECT_EQ(r.calls, expected[m]) << CommandName(command.kind) << " in mode " << m;
        }
    }
}
