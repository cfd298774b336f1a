// The relay: a later instance started with an argument. It is never shown;
// it tells the first instance to start recording, learns from the answer
// whether that recording is its own, and when it is asked to close tells
// the first instance to stop that recording, and no other.
//
// A start that the first instance refuses (it records already, or is
// closing) is not given up: the relay still owns its time, so it waits for
// that instance to end and then becomes the first instance itself; so does
// a relay whose recording that instance ends before its time. When it is asked to
// close before that, its recording was not made (or made only in part): it
// says why on stderr and to the runner, and ends with kExitNotRecorded.
#pragma once

#include "app/RunnerReport.h"
#include "app/SingleInstance.h"

#include <QObject>
#include <QTimer>

#include <filesystem>
#include <memory>

namespace qeltv {

class TfrmGhost : public QObject {
    Q_OBJECT
public:
    // A first instance takes its lock before it listens on the command
    // socket; a relay started in between waits this long for the socket
    // before it concludes that nobody answers.
    static constexpr int kWaitForFirstInstance_ms = 3000;
    // Pause between two tries to reach the socket.
    static constexpr int kRetryInterval_ms = 50;
    // Pause between two looks at the instance lock while waiting for the
    // first instance to end.
    static constexpr int kLockRetryInterval_ms = 200;
    // Asked to close before the answer came, the relay still waits this
    // long for it, so that a recording it started is stopped.
    static constexpr int kAnswerAfterClose_ms = 5000;
    // The exit status of a relay whose recording was not made.
    static constexpr int kExitNotRecorded = 3;

    // Called only when the instance lock is held elsewhere. `report` is the
    // runner's channel (it may go nowhere) and outlives the relay.
    TfrmGhost(const std::filesystem::path& socketPath, const std::filesystem::path& lockFile,
              long channel, RunnerReport& report);
    ~TfrmGhost() override;

    // Whether the relay has ended its work: finished() was emitted (or is
    // not to be waited for, when the constructor ended it already).
    bool done() const { return state_ == State::Done || state_ == State::TakeOver; }
    // The lock, once the first instance has ended: this process is then the
    // first instance.
    std::unique_ptr<InstanceLock> takeLock() { return std::move(lock_); }
    bool becomesFirstInstance() const { return state_ == State::TakeOver; }
    // The running instance ended the recording this relay started before
    // its time: part of the channel's time is recorded already.
    bool cutShort() const { return cutShort_; }
    int exitStatus() const { return exitStatus_; }

    // The process is asked to close.
    void close();

signals:
    void finished();

private:
    enum class State { AwaitingAnswer, Recording, WaitingForEnd, TakeOver, Done };

    void FormCreate(const std::filesystem::path& socketPath);
    void FormDestroy();
    void onReadyRead();
    void onDisconnected();
    bool tryTakeLock();
    void waitForEnd(const QString& reason);
    void fail(const QString& reason);
    void finish(State state);

    std::filesystem::path lockFile_;
    long channel_;
    RunnerReport& report_;
    CommandClient client_;
    State state_ = State::AwaitingAnswer;
    QByteArray recording_;
    QString reason_;
    bool closing_ = false;
    // The running instance closed during the recording this relay started.
    bool cutShort_ = false;
    int exitStatus_ = 0;
    std::unique_ptr<InstanceLock> lock_;
    QTimer lockRetry_;
    QTimer answerWait_;
};

} // namespace qeltv
