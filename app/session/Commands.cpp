#include "app/session/Commands.h"

#include "app/Logging.h"

namespace qeltv {

std::optional<long> ChannelArgument(const QStringList& arguments) {
    if (arguments.isEmpty())
        return std::nullopt;
    bool ok = false;
    const int value = arguments.first().trimmed().toInt(&ok);
    return ok ? value : 1;
}

const char* CommandName(CommandKind kind) {
    switch (kind) {
    case CommandKind::StartRec:
        return "QelTVStartRec";
    case CommandKind::StopRec:
        return "QelTVStopRec";
    case CommandKind::StartWebcast:
        return "QelTVStartWebcast";
    case CommandKind::StopWebcast:
        return "QelTVStopWebcast";
    case CommandKind::FirstChannel:
        return "firstchannel";
    case CommandKind::PreviousChannel:
        return "prevchannel";
    case CommandKind::NextChannel:
        return "nextchannel";
    case CommandKind::LastChannel:
        return "lastchannel";
    }
    return "";
}

std::optional<Command> WebCommand(const std::string& action) {
    if (action == "startwebcast")
        return Command{CommandKind::StartWebcast};
    for (CommandKind step : {CommandKind::FirstChannel, CommandKind::PreviousChannel,
                             CommandKind::NextChannel, CommandKind::LastChannel})
        if (action == CommandName(step))
            return Command{step};
    return std::nullopt;
}

QByteArray FormatCommand(const Command& command) {
    QByteArray line = CommandName(command.kind);
    if (command.kind == CommandKind::StartRec)
        line += ' ' + QByteArray::number(static_cast<qlonglong>(command.wParam));
    else if (command.kind == CommandKind::StopRec && !command.recording.isEmpty())
        line += ' ' + command.recording;
    return line;
}

bool IsRecordingName(const QByteArray& name) {
    const QList<QByteArray> parts = name.split('.');
    if (parts.size() != 2)
        return false;
    for (const QByteArray& part : parts) {
        bool ok = false;
        if (part.isEmpty() || part.toULongLong(&ok) == 0 || !ok)
            return false;
    }
    return true;
}

namespace {
constexpr const char* kAccepted = "accepted";
constexpr const char* kRefused = "refused";
} // namespace

QByteArray FormatAnswer(const StartAnswer& answer) {
    if (answer.accepted)
        return QByteArray(kAccepted) + ' ' + answer.recording;
    QByteArray reason = answer.reason.toUtf8();
    reason.replace('\r', ' ').replace('\n', ' ');
    return QByteArray(kRefused) + ' ' + reason.left(kMaxCommandLineBytes);
}

std::optional<StartAnswer> ParseAnswer(const QByteArray& line) {
    const qsizetype blank = line.indexOf(' ');
    const QByteArray word = blank < 0 ? line : line.left(blank);
    const QByteArray rest = blank < 0 ? QByteArray() : line.mid(blank + 1).trimmed();
    if (word == kAccepted && IsRecordingName(rest))
        return StartAnswer{true, rest, {}};
    if (word == kRefused)
        return StartAnswer{false, {}, QString::fromUtf8(rest)};
    return std::nullopt;
}

std::optional<Command> ParseCommand(const QByteArray& line) {
    if (line.size() > kMaxCommandLineBytes)
        return std::nullopt;
    const QList<QByteArray> words = line.trimmed().split(' ');
    if (words.isEmpty())
        return std::nullopt;
    for (CommandKind kind : {CommandKind::StartRec, CommandKind::StopRec, CommandKind::StartWebcast,
                             CommandKind::StopWebcast}) {
        if (words.first() != CommandName(kind))
            continue;
        Command command{kind, 0};
        if (kind == CommandKind::StartRec) {
            // The channel number travels as a 32-bit parameter.
            bool ok = false;
            const int channel = words.size() == 2 ? words[1].toInt(&ok) : 0;
            if (!ok)
                return std::nullopt;
            command.wParam = channel;
        } else if (kind == CommandKind::StopRec && words.size() == 2) {
            if (!IsRecordingName(words[1]))
                return std::nullopt;
            command.recording = words[1];
        } else if (words.size() != 1) {
            return std::nullopt;
        }
        return command;
    }
    return std::nullopt;
}

QEvent::Type CommandEvent::eventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

CommandEvent::~CommandEvent() {
    answer({false, {}, kRefusedClosing});
}

void CommandEvent::answer(const StartAnswer& answer) {
    if (command_.kind != CommandKind::StartRec || !answer_)
        return;
    // Taken out first: the sink runs once, whatever it does.
    const AnswerSink sink = std::move(answer_);
    answer_ = nullptr;
    sink(answer);
}

std::optional<StartAnswer> DispatchCommand(CommandTarget& target, const Command& command) {
    const GraphMode mode = target.graphMode();
    qCDebug(lcApp) << "command" << CommandName(command.kind) << command.wParam << "in mode"
                   << ToInt(mode);
    switch (command.kind) {
    case CommandKind::StartRec:
        if (mode == GraphMode::Preview || mode == GraphMode::Webcast) {
            target.recordCommand(command.wParam);
            // A build that failed has told the user why; the caller hears
            // that nothing records.
            if (target.graphMode() == GraphMode::Recording)
                return StartAnswer{true, target.recordingName(), {}};
            return StartAnswer{false, {}, kRefusedNotStarted};
        }
        target.showCouldNotStartRecording();
        return StartAnswer{
            false, {}, mode == GraphMode::Recording ? kRefusedRecording : kRefusedAutoTuning};
    case CommandKind::StopRec:
        // A stop meant for a recording that has ended already must not end
        // the one that runs now, which someone else started.
        if (mode == GraphMode::Recording && !command.recording.isEmpty() &&
            command.recording != target.recordingName()) {
            qCDebug(lcApp) << "stop for recording" << command.recording
                           << "ignored; running:" << target.recordingName();
            break;
        }
        if (mode == GraphMode::Recording) {
            target.stopCommand();
            target.playCommand();
        }
        break;
    case CommandKind::StartWebcast:
        if (mode == GraphMode::Preview)
            target.webcastCommand(true);
        break;
    case CommandKind::StopWebcast:
        if (mode == GraphMode::Webcast)
            target.webcastCommand(false);
        break;
    case CommandKind::FirstChannel:
    case CommandKind::PreviousChannel:
    case CommandKind::NextChannel:
    case CommandKind::LastChannel:
        // The web pages step the channels of a running webcast only.
        if (mode == GraphMode::Webcast)
            target.channelCommand(command.kind);
        break;
    }
    return std::nullopt;
}

} // namespace qeltv
