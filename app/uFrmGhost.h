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
