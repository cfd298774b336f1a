#include "app/uFrmGhost.h"

#include "app/Logging.h"

namespace qeltv {

TfrmGhost::TfrmGhost(const std::filesystem::path& socketPath, long channel) {
    FormCreate(socketPath, channel);
}

TfrmGhost::~TfrmGhost() {
    FormDestroy();
}

void TfrmGhost::FormCreate(const std::filesystem::path& socketPath, long channel) {
    found_ = client_.connect(socketPath);
    qCDebug(lcApp) << "relay: first instance found:" << found_;
    if (found_)
        client_.send({CommandKind::StartRec, channel});
}

void TfrmGhost::FormDestroy() {
    if (found_)
        client_.send({CommandKind::StopRec, 0});
}

} // namespace qeltv
