#include "app/CommandLine.h"

#include "app/Version.h"

namespace qeltv {

InfoRequest InfoArgument(const QStringList& arguments) {
    if (arguments.isEmpty())
        return InfoRequest::None;
    const QString& first = arguments.first();
    if (first == QLatin1String("--help") || first == QLatin1String("-h"))
        return InfoRequest::Help;
    if (first == QLatin1String("--version"))
        return InfoRequest::Version;
    return InfoRequest::None;
}

QString UsageText() {
    return QStringLiteral(
        "Usage: qeltv [N]\n"
        "Watches and records television; without a TV card on its Virtual TV Card.\n"
        "\n"
        "  qeltv          start; a second start without arguments ends at once\n"
        "  qeltv N        record channel N: the first instance starts hidden in the\n"
        "                 tray and records; a later instance asks the running one to\n"
        "                 record N, and to stop when it is itself closed (a first\n"
        "                 argument that is not a number means channel 1)\n"
        "  qeltv --help   this text\n"
        "  qeltv --version\n"
        "\n"
        "SIGTERM, SIGINT and SIGHUP close the program in an orderly way: a running\n"
        "recording is finished. The running instance takes the commands\n"
        "QelTVStartRec N, QelTVStopRec, QelTVStartWebcast and QelTVStopWebcast, one a\n"
        "line, on its socket $XDG_RUNTIME_DIR/qeltv/QELTV.sock.\n"
        "See qeltv(1) for the files it keeps.\n");
}

QString VersionLine() {
    return QStringLiteral("qEL TV ") + VersionText();
}

} // namespace qeltv
