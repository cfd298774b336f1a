#include "app/uFrmGhost.h"

#include "app/Logging.h"

#include <QDeadlineTimer>
#include <QThread>

namespace qeltv {

TfrmGhost::TfrmGhost(const std::filesystem::path& socketPath, long channel) {
    FormCreate(socketPath, channel);
}

TfrmGhost::~TfrmGhost() {
    FormDestroy();
}

void TfrmGhost::FormCreate(const std::filesystem::path& socketPath, long channel) {
    // The lock is held, so a first instance exists; until it listens, the
    // socket is missing (or left over from a crash) and refuses.
    const QDeadlineTimer deadline(kWaitForFirstInstance_ms);
    bool announced = false;
    while (true) {
        found_ = client_.connect(socketPath, int(deadline.remainingTime()));
        if (found_ || deadline.hasExpired())
            break;
        if (!announced) {
            qCDebug(lcApp) << "relay: the first instance does not listen yet; waiting";
            announced = true;
        }
        QThread::msleep(kRetryInterval_ms);
    }
    qCDebug(lcApp) << "relay: first instance found:" << found_;
    if (found_)
        client_.send({CommandKind::StartRec, channel});
}

void TfrmGhost::FormDestroy() {
    if (found_)
        client_.send({CommandKind::StopRec, 0});
}

} // namespace qeltv
