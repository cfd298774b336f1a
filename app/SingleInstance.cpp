#include "app/SingleInstance.h"

#include "app/Logging.h"

#include <QCoreApplication>
#include <QPointer>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace qeltv {

InstanceLock::InstanceLock(std::filesystem::path lockFile) {
    fd_.reset(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd_) {
        qCDebug(lcApp) << "cannot open the instance lock" << lockFile.c_str() << errno;
        return;
    }
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        heldElsewhere_ = errno == EWOULDBLOCK;
        qCDebug(lcApp) << "instance lock not taken, held elsewhere:" << heldElsewhere_;
        fd_.reset();
    }
}

InstanceLock::~InstanceLock() {
    release();
}

void InstanceLock::release() {
    fd_.reset();
}

CommandServer::CommandServer(QObject* receiver, QObject* parent)
    : QObject(parent), receiver_(receiver) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &CommandServer::onNewConnection);
}

CommandServer::~CommandServer() {
    server_.close();
    if (!socketPath_.empty())
        std::filesystem::remove(socketPath_);
}

bool CommandServer::listen(const std::filesystem::path& socketPath) {
    // Only the lock holder gets here, so a socket file left behind belongs to
    // a crashed instance.
    QLocalServer::removeServer(QString::fromStdString(socketPath.string()));
    if (!server_.listen(QString::fromStdString(socketPath.string())))
        return false;
    socketPath_ = socketPath;
    return true;
}

void CommandServer::onNewConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        if (static_cast<int>(connections_.size()) >= kMaxConnections) {
            qCDebug(lcApp) << "command connection refused: too many";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setParent(this);
        connections_[socket] = LineState{};
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
            connections_.erase(socket);
            socket->deleteLater();
        });
    }
}

void CommandServer::onReadyRead(QLocalSocket* socket) {
    auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    LineState& state = it->second;
    state.pending += socket->readAll();
    qsizetype start = 0;
    for (qsizetype nl; (nl = state.pending.indexOf('\n', start)) >= 0; start = nl + 1) {
        QByteArray line = state.pending.mid(start, nl - start);
        if (state.discarding) {
            // The rest of an over-long line.
            state.discarding = false;
            continue;
        }
        if (line.endsWith('\r'))
            line.chop(1);
        if (auto command = ParseCommand(line)) {
            qCDebug(lcApp) << "received" << FormatCommand(*command);
            if (command->kind == CommandKind::StopRec)
                state.started.clear();
            // The answer goes back on the connection it came by, if the
            // peer is still there.
            QPointer<QLocalSocket> peer(socket);
            QPointer<CommandServer> server(this);
            QCoreApplication::postEvent(
                receiver_, new CommandEvent(*command, [peer, server](const StartAnswer& answer) {
                    qCDebug(lcApp) << "answered" << FormatAnswer(answer);
                    if (peer && peer->state() == QLocalSocket::ConnectedState) {
                        peer->write(FormatAnswer(answer) + '\n');
                        peer->flush();
                        if (answer.accepted && server)
                            if (auto it = server->connections_.find(peer.data());
                                it != server->connections_.end())
                                it->second.started = answer.recording;
                    }
                }));
        } else {
            qCDebug(lcApp) << "ignored a command line of" << line.size() << "bytes";
        }
    }
    state.pending.remove(0, start);
    if (state.pending.size() > kMaxCommandLineBytes) {
        qCDebug(lcApp) << "ignored an over-long command line";
        state.pending.clear();
        state.discarding = true;
    }
}

void CommandServer::recordingEnded(const QByteArray& name) {
    if (name.isEmpty())
        return;
    std::vector<QLocalSocket*> starters;
    for (const auto& [socket, state] : connections_)
        if (state.started == name)
            starters.push_back(socket);
    for (QLocalSocket* socket : starters) {
        qCDebug(lcApp) << "recording" << name << "ended: its starter's connection is closed";
        connections_[socket].started.clear();
        socket->disconnectFromServer();
    }
}

bool CommandClient::connect(const std::filesystem::path& socketPath, int timeout_ms) {
    socket_ = std::make_unique<QLocalSocket>();
    socket_->connectToServer(QString::fromStdString(socketPath.string()));
    if (!socket_->waitForConnected(timeout_ms)) {
        socket_.reset();
        return false;
    }
    return true;
}

void CommandClient::send(const Command& command) {
    if (!socket_ || socket_->state() != QLocalSocket::ConnectedState)
        return;
    socket_->write(FormatCommand(command) + '\n');
    socket_->waitForBytesWritten(1000);
}

} // namespace qeltv
