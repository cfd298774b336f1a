// The relay: a later instance started with an argument. It is never shown;
// it tells the first instance to start recording, stays idle, and tells it
// to stop when it is itself asked to close.
#pragma once

#include "app/SingleInstance.h"

#include <QObject>

namespace qeltv {

class TfrmGhost : public QObject {
    Q_OBJECT
public:
    // A first instance takes its lock before it listens on the command
    // socket; a relay started in between waits this long for the socket
    // before it concludes that nobody is there.
    static constexpr int kWaitForFirstInstance_ms = 3000;
    // Pause between two tries to reach the socket.
    static constexpr int kRetryInterval_ms = 50;

    // Called only when the instance lock is held elsewhere.
    TfrmGhost(const std::filesystem::path& socketPath, long channel);
    ~TfrmGhost() override;
    // False when no running first instance was reached; the relay then ends.
    bool foundMainWindow() const { return found_; }

private:
    void FormCreate(const std::filesystem::path& socketPath, long channel);
    void FormDestroy();

    CommandClient client_;
    bool found_ = false;
};

} // namespace qeltv
