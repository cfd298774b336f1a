#include "app/SignalCloser.h"

#include "app/Logging.h"

#include <QApplication>
#include <QDialog>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qeltv {

namespace {
// The write end of the pipe; a signal handler can reach nothing else.
volatile sig_atomic_t g_writeFd = -1;

constexpr int kCloseSignals[] = {SIGTERM, SIGINT, SIGHUP};

void onSignal(int signalNumber) {
    const int saved = errno;
    const char byte = static_cast<char>(signalNumber);
    if (g_writeFd >= 0) [[maybe_unused]]
        auto n = ::write(g_writeFd, &byte, 1);
    errno = saved;
}

// Closes every modal box that is open; true when there was one.
bool closeModalBoxes() {
    // Only a GUI application has boxes; a core application has no widgets.
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return false;
    bool found = false;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible() || !widget->isModal())
            continue;
        found = true;
        qCDebug(lcApp) << "closing a modal box:" << widget->windowTitle();
        if (auto* dialog = qobject_cast<QDialog*>(widget))
            dialog->reject(); // ends the box's own loop too
        else
            widget->close();
    }
    return found;
}
} // namespace

SignalCloser::SignalCloser() {
    closing_.setInterval(kModalCloseInterval_ms);
    connect(&closing_, &QTimer::timeout, this, &SignalCloser::closeStep);
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        qCWarning(lcApp) << "no close on signals: socketpair failed:" << std::strerror(errno);
        return;
    }
    readFd_.reset(fds[0]);
    writeFd_.reset(fds[1]);
    // A flood of signals never blocks the handler; one byte is enough.
    ::fcntl(writeFd_.get(), F_SETFL, O_NONBLOCK);
    g_writeFd = writeFd_.get();
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : kCloseSignals)
        if (::sigaction(sig, &sa, nullptr) != 0)
            qCWarning(lcApp) << "no close on signal" << sig << ":" << std::strerror(errno);
}

SignalCloser::~SignalCloser() {
    for (int sig : kCloseSignals)
        ::signal(sig, SIG_DFL);
    g_writeFd = -1;
    detach();
}

void SignalCloser::attach(OnRequest onRequest) {
    onRequest_ = onRequest;
    if (!readFd_)
        return;
    // Level-triggered: a request written before this point is read as soon
    // as the event loop runs.
    notifier_ = std::make_unique<QSocketNotifier>(readFd_.get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &SignalCloser::takeRequest);
}

void SignalCloser::detach() {
    closing_.stop();
    notifier_.reset();
}

void SignalCloser::takeRequest() {
    char byte = 0;
    if (::read(readFd_.get(), &byte, 1) != 1)
        return;
    const bool first = !requested();
    if (first)
        signalNumber_ = byte;
    qCDebug(lcApp) << "signal" << int(byte) << ": closing";
    emit closeRequested(byte);
    if (first && onRequest_ == OnRequest::CloseWindow) {
        closing_.start();
        closeStep();
    }
}

void SignalCloser::setWindow(QWidget* window) {
    window_ = window;
    if (requested() && onRequest_ == OnRequest::CloseWindow)
        closeStep();
}

void SignalCloser::closeStep() {
    // The boxes go first: closing the window under a box would run the
    // shutdown inside the box's loop, with the box's caller still waiting.
    if (closeModalBoxes() || !window_ || closingWindow_)
        return;
    // Closing runs the shutdown sequence; boxes it opens are closed by the
    // timer, which keeps running until the window has closed.
    closingWindow_ = true;
    window_->close();
    closing_.stop();
}

} // namespace qeltv
