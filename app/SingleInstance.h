// The single-instance rule and the command channel between instances.
//
// The first instance holds an exclusive flock on QELTV.lock in the runtime
// folder for its whole life (the kernel drops it when the process dies, so a
// crash never blocks the next start) and listens on the local socket
// QELTV.sock beside it. A later instance finds the lock held and talks to the
// first through the socket, one command a line.
#pragma once

#include "app/session/Commands.h"
#include "common/UniqueFd.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <filesystem>
#include <map>
#include <memory>

namespace qeltv {

class InstanceLock {
public:
    explicit InstanceLock(std::filesystem::path lockFile);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // True when another process holds the lock. A lock that cannot be taken
    // for any other reason counts as not held: this process is then a first
    // instance, as when the lock could be created.
    bool heldElsewhere() const { return heldElsewhere_; }
    // Releases the lock (the last step of the first instance's shutdown).
    void release();

private:
    UniqueFd fd_;
    bool heldElsewhere_ = false;
};

// The first instance's end of the channel: every valid line becomes a
// CommandEvent posted to `receiver` (the application, where the message hook
// sees it). A start is answered on its connection with one line (see
// FormatAnswer). Anything else is ignored.
class CommandServer : public QObject {
    Q_OBJECT
public:
    // Connections at once and bytes kept per connection; beyond them a peer
    // is dropped, so no peer can exhaust the first instance.
    static constexpr int kMaxConnections = 32;

    CommandServer(QObject* receiver, QObject* parent = nullptr);
    ~CommandServer() override;
    // Listens on the socket path, replacing a stale socket file left by a
    // crashed instance. Returns false (with errorString()) when it cannot.
    bool listen(const std::filesystem::path& socketPath);
    QString errorString() const { return server_.errorString(); }
    // The recording named `name` has ended other than by its starter's own
    // stop: the connection that started it is closed, so that a relay learns
    // that its recording is over before its time.
    void recordingEnded(const QByteArray& name);

private:
    void onNewConnection();
    void onReadyRead(QLocalSocket* socket);

    struct LineState {
        QByteArray pending;
        bool discarding = false;
        // The recording that this connection's accepted start began, until
        // the connection stops it itself.
        QByteArray started;
    };

    QObject* receiver_;
    QLocalServer server_;
    std::map<QLocalSocket*, LineState> connections_;
    std::filesystem::path socketPath_;
};

// A relay's end: one connection to the first instance.
class CommandClient {
public:
    // False when no first instance answers on the socket.
    bool connect(const std::filesystem::path& socketPath, int timeout_ms = 2000);
    // Sends one command; failures (the first instance is gone) are ignored.
    void send(const Command& command);
    // The connection, for reading the answers; null before connect().
    QLocalSocket* socket() const { return socket_.get(); }

private:
    std::unique_ptr<QLocalSocket> socket_;
};

} // namespace qeltv
