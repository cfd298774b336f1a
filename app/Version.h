// The program's version, compiled in from the build.
#pragma once

#include <QString>

namespace qeltv {

// "1.0.0.160": the four numbers of the file version.
QString VersionText();

} // namespace qeltv
