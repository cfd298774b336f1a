// Process entry: the first instance runs the main window; a later instance
// with an argument relays a recording command to it (and becomes the first
// instance itself when the running one refused and then ended); a later
// instance without one ends at once.
//
// Which of the three this process is, is decided under a core application,
// without a display: a relay started by cron or over SSH needs none. Only the
// first instance goes on to make the GUI application.
#include "app/CommandLine.h"
#include "app/ErrorHandler.h"
#include "app/Logging.h"
#include "app/Paths.h"
#include "app/Resources.h"
#include "app/RunnerReport.h"
#include "app/SignalCloser.h"
#include "app/SingleInstance.h"
#include "app/uFrmAbout.h"
#include "app/uFrmGhost.h"
#include "app/uFrmMain.h"
#include "app/uFrmSplash.h"

#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <variant>

using namespace qeltv;

namespace {

// The exit status of a start that could not go on (an unsafe runtime folder).
constexpr int kExitRefused = 1;

constexpr const char* kApplicationName = "qeltv";
constexpr const char* kDisplayName = "qEL TV";

// What a first instance takes from the decision into its GUI life.
struct FirstInstance {
    Paths paths;
    std::optional<long> channel;
    std::unique_ptr<InstanceLock> lock;
    // A relay's first part of the channel's time is recorded already.
    bool recordedInPart = false;
};

// Decides between first instance, relay and silent second instance. A relay
// or a second instance runs to its end here and yields its exit status.
std::variant<int, FirstInstance> Decide(int& argc, char** argv, SignalCloser& closer,
                                        RunnerReport& report) {
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName(kApplicationName);
    SignalCloser::Attachment signalDelivery(closer, SignalCloser::OnRequest::Signal);
    const std::optional<long> channel = ChannelArgument(QCoreApplication::arguments().mid(1));

    Paths paths = Paths::FromEnvironment();
    try {
        paths.createRuntimeDir();
    } catch (const std::exception& e) {
        // Without a private runtime folder neither the lock nor the command
        // socket is safe: refuse rather than start exposed.
        std::fprintf(stderr, "%s: %s\n", kApplicationName, e.what());
        report.failed(QString::fromLocal8Bit(e.what()));
        return kExitRefused;
    }
    auto lock = std::make_unique<InstanceLock>(paths.lockFile());
    if (!lock->heldElsewhere())
        return FirstInstance{std::move(paths), channel, std::move(lock)};

    // A second instance without arguments tells nobody anything.
    if (!channel)
        return 0;
    // The relay: posts the start now and the stop of its own recording when
    // it is asked to close.
    TfrmGhost ghost(paths.commandSocket(), paths.lockFile(), *channel, report);
    if (!ghost.done()) {
        QObject::connect(&closer, &SignalCloser::closeRequested, &ghost,
                         [&ghost](int) { ghost.close(); });
        QObject::connect(&ghost, &TfrmGhost::finished, &core, &QCoreApplication::quit);
        QCoreApplication::exec();
    }
    if (ghost.becomesFirstInstance()) {
        qCDebug(lcApp) << "relay: starting as the first instance";
        return FirstInstance{std::move(paths), channel, ghost.takeLock(), ghost.cutShort()};
    }
    return ghost.exitStatus();
}

} // namespace

int main(int argc, char** argv) {
    // --help and --version answer and end: no instance, no relay.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (const InfoRequest info = InfoArgument(arguments); info != InfoRequest::None) {
        const QString text = info == InfoRequest::Help ? UsageText() : VersionLine() + "\n";
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return 0;
    }

    // From here on a SIGTERM, SIGINT or SIGHUP is kept until it can be acted
    // on; nothing that comes during the start-up is lost.
    SignalCloser closer;
    // Started by the scheduling agent's runner: what became of the
    // recording goes there too.
    RunnerReport report = RunnerReport::FromEnvironment();

    auto decided = Decide(argc, argv, closer, report);
    if (const int* status = std::get_if<int>(&decided))
        return *status;
    FirstInstance first = std::move(std::get<FirstInstance>(decided));

    // The first instance. Qt allows one application object at a time: the
    // core application of the decision is gone by now.
    QelApplication app(argc, argv);
    QApplication::setApplicationName(kApplicationName);
    QApplication::setApplicationDisplayName(kDisplayName);
    RegisterResources();
    QApplication::setQuitOnLastWindowClosed(false);
    SignalCloser::Attachment signalDelivery(closer, SignalCloser::OnRequest::CloseWindow);

    auto splash = std::make_unique<TfrmSplash>();
    splash->show();
    splash->repaint();
    QCoreApplication::processEvents();
    qCDebug(lcApp).noquote() << "splash:" << splash->versionLine();
    const std::optional<long> channel = first.channel;
    auto window = std::make_unique<TfrmMain>(
        first.paths, channel, std::move(first.lock), app, kOsdDuration_ms,
        [&report, &first](const StartAnswer& answer) {
            if (answer.accepted)
                report.recordingStarted();
            else
                report.notRecorded(*first.channel, answer.reason, first.recordedInPart);
        });
    new TfrmAbout(window.get());
    splash.reset();
    // A close requested during the start-up runs the shutdown sequence now;
    // the start-up's own start command, still queued, is dropped with it.
    closer.setWindow(window.get());
    if (closer.requested()) {
        qCDebug(lcApp) << "closed during the start-up";
        return 0;
    }
    // Started with an argument, the window stays hidden: only the tray icon.
    if (!channel)
        window->show();
    qCDebug(lcApp) << "first instance, window" << (window->isVisible() ? "shown" : "hidden");
    return QCoreApplication::exec();
}
