#include "app/session/Commands.h"

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
    // A stop may name the recording it is for.
    EXPECT_EQ(FormatCommand({CommandKind::StopRec, 0, "812.3"}), "QelTVStopRec 812.3");
    c = ParseCommand("QelTVStopRec 812.3");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->recording, "812.3");
    for (const char* bad : {"QelTVStopRec 1.", "QelTVStopRec .1", "QelTVStopRec 0.1",
                            "QelTVStopRec 1.2.3", "QelTVStopRec a.b", "QelTVStopRec 1.2 3"})
        EXPECT_FALSE(ParseCommand(bad)) << bad;
}

// The answer line to a start, both ways.
TEST(Commands, AnswerLines) {
    EXPECT_EQ(FormatAnswer({true, "812.3", {}}), "accepted 812.3");
    EXPECT_EQ(FormatAnswer({false, {}, "a recording\r\nis in progress"}),
              "refused a recording  is in progress");
    auto a = ParseAnswer("accepted 812.3");
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->accepted);
    EXPECT_EQ(a->recording, "812.3");
    a = ParseAnswer("refused the program is closing");
    ASSERT_TRUE(a);
    EXPECT_FALSE(a->accepted);
    EXPECT_EQ(a->reason, "the program is closing");
    for (const char* bad : {"", "accepted", "accepted x", "Accepted 1.2", "QelTVStartRec 5"})
        EXPECT_FALSE(ParseAnswer(bad)) << bad;
}

// A start posted but never handled (the program closed first) is answered
// all the same, once.
TEST(Commands, UnhandledStartIsRefusedOnce) {
    std::vector<StartAnswer> answers;
    {
        CommandEvent event({CommandKind::StartRec, 2},
                           [&](const StartAnswer& a) { answers.push_back(a); });
    }
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_FALSE(answers[0].accepted);
    EXPECT_EQ(answers[0].reason, kRefusedClosing);
    answers.clear();
    {
        CommandEvent event({CommandKind::StartRec, 2},
                           [&](const StartAnswer& a) { answers.push_back(a); });
        event.answer({true, "5.1", {}});
    }
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].accepted);
}

namespace {
// Records what the message hook asked of the main window.
class Recorder : public CommandTarget {
public:
    explicit Recorder(GraphMode mode) : mode_(mode) {}
    GraphMode graphMode() const override { return mode_; }
    QByteArray recordingName() const override {
        return mode_ == GraphMode::Recording ? "77.1" : "";
    }
    void recordCommand(long c) override {
        calls.push_back("channel " + std::to_string(c));
        calls.push_back("record");
        if (recordStarts)
            mode_ = GraphMode::Recording;
    }
    bool recordStarts = true;
    void stopCommand() override { calls.push_back("stop"); }
    void playCommand() override { calls.push_back("play"); }
    void webcastCommand(bool on) override { calls.push_back(on ? "webcast on" : "webcast off"); }
    void channelCommand(CommandKind step) override { calls.push_back(CommandName(step)); }
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

// The web pages' actions go through the same table: "startwebcast" is the
// command channel's start, the channel steps act only while webcasting, and
// no other word is an action. The command channel knows no channel step.
TEST(Commands, WebActionsShareTheTable) {
    const GraphMode modes[] = {GraphMode::Preview, GraphMode::Recording, GraphMode::Webcast,
                               GraphMode::AutoTuning};
    const std::vector<std::pair<std::string, std::vector<Calls>>> table = {
        {"startwebcast", {{"webcast on"}, {}, {}, {}}},
        {"firstchannel", {{}, {}, {"firstchannel"}, {}}},
        {"prevchannel", {{}, {}, {"prevchannel"}, {}}},
        {"nextchannel", {{}, {}, {"nextchannel"}, {}}},
        {"lastchannel", {{}, {}, {"lastchannel"}, {}}},
    };
    for (const auto& [action, expected] : table) {
        const auto command = WebCommand(action);
        ASSERT_TRUE(command) << action;
        for (int m = 0; m < 4; ++m) {
            Recorder r(modes[m]);
            EXPECT_FALSE(DispatchCommand(r, *command)) << action;
            EXPECT_EQ(r.calls, expected[m]) << action << " in mode " << m;
        }
    }
    for (const char* none : {"", "stopwebcast", "NextChannel", "startrec", "nextchannel "})
        EXPECT_FALSE(WebCommand(none)) << none;
    for (const char* line : {"firstchannel", "nextchannel", "QelTVNextChannel"})
        EXPECT_FALSE(ParseCommand(line)) << line;
}

// What a start answers in each mode, and a stop that names a recording ends
// that recording only.
TEST(Commands, StartAnswersAndNamedStops) {
    const Command start{CommandKind::StartRec, 4};
    const std::pair<GraphMode, StartAnswer> cases[] = {
        {GraphMode::Preview, {true, "77.1", {}}},
        {GraphMode::Webcast, {true, "77.1", {}}},
        {GraphMode::Recording, {false, {}, kRefusedRecording}},
        {GraphMode::AutoTuning, {false, {}, kRefusedAutoTuning}},
    };
    for (const auto& [mode, expected] : cases) {
        Recorder r(mode);
        const auto answer = DispatchCommand(r, start);
        ASSERT_TRUE(answer) << ToInt(mode);
        EXPECT_EQ(answer->accepted, expected.accepted) << ToInt(mode);
        EXPECT_EQ(answer->recording, expected.recording) << ToInt(mode);
        EXPECT_EQ(answer->reason, expected.reason) << ToInt(mode);
    }
    // A build that does not end in recording mode refuses.
    Recorder failing(GraphMode::Preview);
    failing.recordStarts = false;
    const auto refused = DispatchCommand(failing, start);
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->accepted);
    EXPECT_EQ(refused->reason, kRefusedNotStarted);
    EXPECT_FALSE(DispatchCommand(failing, {CommandKind::StopRec, 0}));

    Recorder other(GraphMode::Recording);
    DispatchCommand(other, {CommandKind::StopRec, 0, "77.2"});
    DispatchCommand(other, {CommandKind::StopRec, 0, "76.1"});
    EXPECT_EQ(other.calls, Calls{});
    DispatchCommand(other, {CommandKind::StopRec, 0, "77.1"});
    EXPECT_EQ(other.calls, (Calls{"stop", "play"}));
}
