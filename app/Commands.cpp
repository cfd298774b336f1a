#include "app/Commands.h"

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
    }
    return "";
}

QByteArray FormatCommand(const Command& command) {
    QByteArray line = CommandName(command.kind);
    if (command.kind == CommandKind::StartRec)
        line += ' ' + QByteArray::number(static_cast<qlonglong>(command.wParam));
    return line;
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

void DispatchCommand(CommandTarget& target, const Command& command) {
    const GraphMode mode = target.graphMode();
    qCDebug(lcApp) << "command" << CommandName(command.kind) << command.wParam << "in mode"
                   << ToInt(mode);
    switch (command.kind) {
    case CommandKind::StartRec:
        if (mode == GraphMode::Preview || mode == GraphMode::Webcast) {
            target.setCurrentChannel(command.wParam);
            target.recordCommand();
        } else {
            target.showCouldNotStartRecording();
        }
        break;
    case CommandKind::StopRec:
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
    }
}

} // namespace qeltv
