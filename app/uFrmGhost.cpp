#include "app/uFrmGhost.h"

#include "app/Logging.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QThread>

namespace qeltv {

TfrmGhost::TfrmGhost(const std::filesystem::path& socketPath, const std::filesystem::path& lockFile,
                     long channel, RunnerReport& report)
    : lockFile_(lockFile), channel_(channel), report_(report) {
    lockRetry_.setInterval(kLockRetryInterval_ms);
    connect(&lockRetry_, &QTimer::timeout, this, [this] {
        if (tryTakeLock())
            finish(State::TakeOver);
    });
    answerWait_.setSingleShot(true);
    answerWait_.setInterval(kAnswerAfterClose_ms);
    connect(&answerWait_, &QTimer::timeout, this,
            [this] { fail("the running instance did not answer"); });
    FormCreate(socketPath);
}

TfrmGhost::~TfrmGhost() {
    FormDestroy();
}

void TfrmGhost::FormCreate(const std::filesystem::path& socketPath) {
    // The lock is held, so a first instance exists; until it listens, the
    // socket is missing (or left over from a crash) and refuses. One that
    // is closing lets go of its lock right after its socket.
    const QDeadlineTimer deadline(kWaitForFirstInstance_ms);
    bool announced = false;
    bool found = false;
    while (true) {
        found = client_.connect(socketPath, int(deadline.remainingTime()));
        if (found || deadline.hasExpired())
            break;
        if (tryTakeLock()) {
            qCDebug(lcApp) << "relay: the first instance has ended";
            state_ = State::TakeOver;
            return;
        }
        if (!announced) {
            qCDebug(lcApp) << "relay: the first instance does not listen yet; waiting";
            announced = true;
        }
        QThread::msleep(kRetryInterval_ms);
    }
    qCDebug(lcApp) << "relay: first instance found:" << found;
    if (!found) {
        if (tryTakeLock())
            state_ = State::TakeOver;
        else
            fail("the running instance does not answer");
        return;
    }
    QLocalSocket* socket = client_.socket();
    connect(socket, &QLocalSocket::readyRead, this, &TfrmGhost::onReadyRead);
    connect(socket, &QLocalSocket::disconnected, this, &TfrmGhost::onDisconnected);
    client_.send({CommandKind::StartRec, channel_});
}

void TfrmGhost::FormDestroy() {
    // Only the recording this relay started is stopped.
    if (recording_.isEmpty())
        return;
    client_.send({CommandKind::StopRec, 0, recording_});
    recording_.clear();
}

void TfrmGhost::onReadyRead() {
    QLocalSocket* socket = client_.socket();
    while (socket->canReadLine()) {
        const QByteArray line = socket->readLine(kMaxCommandLineBytes * 2).trimmed();
        if (state_ != State::AwaitingAnswer)
            continue;
        const auto answer = ParseAnswer(line);
        if (!answer)
            continue;
        answerWait_.stop();
        if (!answer->accepted) {
            qCDebug(lcApp).noquote() << "relay: start refused:" << answer->reason;
            waitForEnd(answer->reason);
            continue;
        }
        recording_ = answer->recording;
        state_ = State::Recording;
        qCDebug(lcApp) << "relay: recording" << recording_ << "started";
        report_.recordingStarted();
        if (closing_) {
            FormDestroy();
            finish(State::Done);
        }
    }
}

void TfrmGhost::onDisconnected() {
    // Before the answer the instance was closing. After an accepted start
    // the instance has ended this relay's recording early (it closed, or
    // the recording was stopped there): the time is still this relay's, so
    // it records the rest itself once that instance has ended.
    if (state_ == State::AwaitingAnswer) {
        waitForEnd("the running instance closed before it answered");
    } else if (state_ == State::Recording && !closing_) {
        qCDebug(lcApp) << "relay: the running instance ended recording" << recording_;
        recording_.clear();
        cutShort_ = true;
        waitForEnd("the running instance ended the recording before its time");
    }
}

bool TfrmGhost::tryTakeLock() {
    auto lock = std::make_unique<InstanceLock>(lockFile_);
    if (lock->heldElsewhere())
        return false;
    lock_ = std::move(lock);
    return true;
}

void TfrmGhost::waitForEnd(const QString& reason) {
    answerWait_.stop();
    reason_ = reason;
    if (closing_) {
        fail(reason);
        return;
    }
    state_ = State::WaitingForEnd;
    qCDebug(lcApp) << "relay: waiting for the running instance to end";
    if (tryTakeLock())
        finish(State::TakeOver);
    else
        lockRetry_.start();
}

void TfrmGhost::close() {
    if (closing_)
        return;
    closing_ = true;
    switch (state_) {
    case State::AwaitingAnswer:
        answerWait_.start();
        break;
    case State::Recording:
        FormDestroy();
        finish(State::Done);
        break;
    case State::WaitingForEnd:
        fail(reason_);
        break;
    case State::TakeOver:
    case State::Done:
        break;
    }
}

void TfrmGhost::fail(const QString& reason) {
    report_.notRecorded(channel_, reason, cutShort_);
    exitStatus_ = kExitNotRecorded;
    finish(State::Done);
}

void TfrmGhost::finish(State state) {
    state_ = state;
    lockRetry_.stop();
    answerWait_.stop();
    emit finished();
}

} // namespace qeltv
