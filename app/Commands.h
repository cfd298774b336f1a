// The four commands that reach the first instance: from a relay instance, from
// the first instance itself, or from any other program of the same user.
#pragma once

#include "capture/GraphMode.h"

#include <QEvent>
#include <QString>
#include <QStringList>
#include <optional>

namespace qeltv {

enum class CommandKind { StartRec, StopRec, StartWebcast, StopWebcast };

struct Command {
    CommandKind kind;
    long wParam = 0;
};

// The longest command line a peer may send; longer lines are ignored.
constexpr int kMaxCommandLineBytes = 256;

// The integer-or-1 rule: the first argument as an integer, 1 when it is not
// one. Empty when there is no argument.
std::optional<long> ChannelArgument(const QStringList& argumentsWithoutProgram);

// "QelTVStartRec 5", "QelTVStopRec", ... (no line end).
QByteArray FormatCommand(const Command& command);
// Parses one line (without its line end); empty for anything else.
std::optional<Command> ParseCommand(const QByteArray& line);
const char* CommandName(CommandKind kind);

// A command posted to the GUI thread, where the message hook takes it.
class CommandEvent : public QEvent {
public:
    static QEvent::Type eventType();
    explicit CommandEvent(Command command) : QEvent(eventType()), command_(command) {}
    const Command& command() const { return command_; }

private:
    Command command_;
};

// What the message hook acts on: the main window's commands.
class CommandTarget {
public:
    virtual ~CommandTarget() = default;
    virtual GraphMode graphMode() const = 0;
    virtual void setCurrentChannel(long channel) = 0;
    virtual void recordCommand() = 0; // the Record button
    virtual void stopCommand() = 0;   // the Stop button
    virtual void playCommand() = 0;   // the Play button
    // Sets or clears the "Enable Webcast" check mark, then builds mode 2 or 0.
    virtual void webcastCommand(bool enable) = 0;
    virtual void showCouldNotStartRecording() = 0;
};

// Applies one command by the graph mode, as the message hook does.
void DispatchCommand(CommandTarget& target, const Command& command);

} // namespace qeltv
