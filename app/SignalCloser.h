// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the GUI thread, so a
// request to close from outside takes the same orderly path as closing the
// window.
//
// The handlers are installed when the object is made, at the very start of
// the process, before any application object exists: a request that comes
// while the process decides what it is, or while the main window is still
// being made, is kept and acted on as soon as an event loop runs.
#pragma once

#include "common/UniqueFd.h"

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <memory>

namespace qeltv {

class SignalCloser : public QObject {
    Q_OBJECT
public:
    // How often, once a close is requested, open modal boxes are closed
    // until the main window has closed: a box that waits for a user who is
    // not there must not hold the shutdown.
    static constexpr int kModalCloseInterval_ms = 100;

    // What a request does besides closeRequested().
    enum class OnRequest {
        Signal,      // nothing more (a relay quits its loop on closeRequested)
        CloseWindow, // close modal boxes, then the window given to setWindow
    };

    SignalCloser();
    ~SignalCloser() override;
    SignalCloser(const SignalCloser&) = delete;
    SignalCloser& operator=(const SignalCloser&) = delete;

    // Starts delivering requests under the application object that exists
    // now; detach() before that object goes (Attachment does both).
    void attach(OnRequest onRequest);
    void detach();

    // True once a request has been taken from the handlers.
    bool requested() const { return signalNumber_ != 0; }
    // The main window, once made. A request taken before closes it at once.
    void setWindow(QWidget* window);

    class Attachment {
    public:
        Attachment(SignalCloser& closer, OnRequest onRequest) : closer_(closer) {
            closer_.attach(onRequest);
        }
        ~Attachment() { closer_.detach(); }
        Attachment(const Attachment&) = delete;
        Attachment& operator=(const Attachment&) = delete;

    private:
        SignalCloser& closer_;
    };

signals:
    void closeRequested(int signalNumber);

private:
    void takeRequest();
    void closeStep();

    // The pair the signal handler writes to and the event loop reads.
    UniqueFd readFd_;
    UniqueFd writeFd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    OnRequest onRequest_ = OnRequest::Signal;
    int signalNumber_ = 0;
    QTimer closing_;
    QPointer<QWidget> window_;
    bool closingWindow_ = false;
};

} // namespace qeltv
