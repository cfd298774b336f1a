// The actions that reach the session from outside the window: the four
// commands of the command channel (from a relay instance, from the first
// instance itself, or from any other program of the same user) and the
// actions of the web pages. Which action acts in which graph mode is
// decided here, once, for all of them.
#pragma once

#include "capture/GraphMode.h"

#include <QByteArray>
#include <QEvent>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>

namespace qeltv {

enum class CommandKind {
    StartRec,
    StopRec,
    StartWebcast,
    StopWebcast,
    // The web pages' channel steps; no socket command names them.
    FirstChannel,
    PreviousChannel,
    NextChannel,
    LastChannel,
};

struct Command {
    CommandKind kind;
    // "QelTVStartRec" only: the channel to record.
    long wParam = 0;
    // "QelTVStopRec" only: the recording the stop is meant for, as the
    // answer to its start named it. A stop without a name ends whatever
    // recording runs; one with a name ends only that recording.
    QByteArray recording = {};
};

// What became of a start command: accepted, with the name of the recording
// it started, or refused, with the reason.
struct StartAnswer {
    bool accepted = false;
    QByteArray recording;
    QString reason;
};
// Receives the answer to one start command.
using AnswerSink = std::function<void(const StartAnswer&)>;

// The reasons a start is refused.
constexpr const char* kRefusedRecording = "a recording is in progress";
constexpr const char* kRefusedAutoTuning = "the channels are being tuned";
constexpr const char* kRefusedClosing = "the program is closing";
constexpr const char* kRefusedNotStarted = "the recording could not be started";

// The longest command line a peer may send; longer lines are ignored.
constexpr int kMaxCommandLineBytes = 256;

// The integer-or-1 rule: the first argument as an integer, 1 when it is not
// one. Empty when there is no argument.
std::optional<long> ChannelArgument(const QStringList& argumentsWithoutProgram);

// "QelTVStartRec 5", "QelTVStopRec", "QelTVStopRec <recording>", ... (no
// line end).
QByteArray FormatCommand(const Command& command);
// Parses one line (without its line end); empty for anything else. Only
// the four commands of the command channel are parsed.
std::optional<Command> ParseCommand(const QByteArray& line);
// The command channel's name of a command; the web action's word for a
// channel step.
const char* CommandName(CommandKind kind);
// A web page's action ("startwebcast", "nextchannel", ...); empty for an
// action that is none of them.
std::optional<Command> WebCommand(const std::string& action);

// A recording's name: "<process id>.<number>", both positive.
bool IsRecordingName(const QByteArray& name);

// The answer line to a start, "accepted <recording>" or "refused <reason>"
// (no line end; line breaks in the reason become blanks).
QByteArray FormatAnswer(const StartAnswer& answer);
// Parses an answer line (without its line end); empty for anything else.
std::optional<StartAnswer> ParseAnswer(const QByteArray& line);

// A command posted to the GUI thread, where the message hook takes it. A
// start is answered exactly once: by the hook, or, when the event is dropped
// unhandled (the program closed first), refused as closing.
class CommandEvent : public QEvent {
public:
    static QEvent::Type eventType();
    explicit CommandEvent(Command command, AnswerSink answer = {})
        : QEvent(eventType()), command_(std::move(command)), answer_(std::move(answer)) {}
    ~CommandEvent() override;
    CommandEvent(const CommandEvent&) = delete;
    CommandEvent& operator=(const CommandEvent&) = delete;
    const Command& command() const { return command_; }
    // Gives the answer to a start; later calls do nothing.
    void answer(const StartAnswer& answer);

private:
    Command command_;
    AnswerSink answer_;
};

// What the actions act on: the session's operations.
class CommandTarget {
public:
    virtual ~CommandTarget() = default;
    virtual GraphMode graphMode() const = 0;
    // The name of the recording in progress, unique among the recordings of
    // the running program; empty when none runs.
    virtual QByteArray recordingName() const = 0;
    // The channel becomes the current channel, then the Record button.
    virtual void recordCommand(long channel) = 0;
    virtual void stopCommand() = 0; // the Stop button
    virtual void playCommand() = 0; // the Play button
    // Sets or clears the "Enable Webcast" check mark, then builds mode 2 or 0.
    virtual void webcastCommand(bool enable) = 0;
    // A channel step of the list (FirstChannel ... LastChannel).
    virtual void channelCommand(CommandKind step) = 0;
    virtual void showCouldNotStartRecording() = 0;
};

// Applies one action by the graph mode, for the message hook and the web
// pages alike. For a start, what became of it: accepted when it left a
// recording running.
std::optional<StartAnswer> DispatchCommand(CommandTarget& target, const Command& command);

} // namespace qeltv
