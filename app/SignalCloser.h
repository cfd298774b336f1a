// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the GUI thread, so a
// request to close from outside takes the same orderly path as closing the
// window.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace qeltv {

class SignalCloser : public QObject {
    Q_OBJECT
public:
    explicit SignalCloser(QObject* parent = nullptr);
    ~SignalCloser() override;

signals:
    void closeRequested(int signalNumber);

private:
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace qeltv
