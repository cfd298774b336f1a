// Process entry: the first instance runs the main window; a later instance
// with an argument relays a recording command to it; a later instance
// without one ends at once.
#include "app/ErrorHandler.h"
#include "app/Logging.h"
#include "app/Paths.h"
#include "app/Resources.h"
#include "app/SignalCloser.h"
#include "app/SingleInstance.h"
#include "app/uFrmAbout.h"
#include "app/uFrmGhost.h"
#include "app/uFrmMain.h"
#include "app/uFrmSplash.h"

#include <memory>

using namespace qeltv;

int main(int argc, char** argv) {
    // 1.
    QelApplication app(argc, argv);
    QApplication::setApplicationName("qeltv");
    QApplication::setApplicationDisplayName("qEL TV");
    RegisterResources();
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList arguments = QApplication::arguments().mid(1);
    const std::optional<long> channel = ChannelArgument(arguments);

    // 2. Single-instance test.
    const Paths paths = Paths::FromEnvironment();
    try {
        paths.createRuntimeDir();
    } catch (const std::exception& e) {
        qCWarning(lcApp) << e.what();
    }
    auto lock = std::make_unique<InstanceLock>(paths.lockFile());
    SignalCloser closer;

    if (lock->heldElsewhere()) {
        // 3. A second instance without arguments tells nobody anything.
        if (!channel)
            return 0;
        // 4. The relay.
        auto ghost = std::make_unique<TfrmGhost>(paths.commandSocket(), *channel);
        if (!ghost->foundMainWindow())
            return 0;
        QObject::connect(&closer, &SignalCloser::closeRequested, &app,
                         [&](int) { QCoreApplication::quit(); });
        const int status = QCoreApplication::exec();
        ghost.reset(); // posts the stop command
        return status;
    }

    // 5. The first instance.
    auto splash = std::make_unique<TfrmSplash>();
    splash->show();
    splash->repaint();
    QCoreApplication::processEvents();
    qCDebug(lcApp).noquote() << "splash:" << splash->versionLine();
    TfrmMain window(paths, channel, std::move(lock), app);
    new TfrmAbout(&window);
    splash.reset();
    // Started with an argument, the window stays hidden: only the tray icon.
    if (!channel)
        window.show();
    qCDebug(lcApp) << "first instance, window" << (window.isVisible() ? "shown" : "hidden");
    QObject::connect(&closer, &SignalCloser::closeRequested, &window, [&](int signalNumber) {
        qCDebug(lcApp) << "signal" << signalNumber << ": closing";
        window.close();
    });
    return QCoreApplication::exec();
}
