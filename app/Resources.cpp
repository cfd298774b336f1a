#include "app/Resources.h"

#include <QApplication>
#include <QIcon>

// The resource table lives in a static library, so it is registered by name
// (from the global namespace, as the macro requires).
static void registerResourceTable() {
    Q_INIT_RESOURCE(resources);
}

namespace qeltv {

void RegisterResources() {
    registerResourceTable();
    QApplication::setWindowIcon(QIcon(":/qeltv/qeltv.png"));
}

} // namespace qeltv
