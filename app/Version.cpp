#include "app/Version.h"

namespace qeltv {

QString VersionText() {
#ifdef QELTV_VERSION
    return QStringLiteral(QELTV_VERSION);
#else
    return QStringLiteral("0.0.0.0");
#endif
}

} // namespace qeltv
