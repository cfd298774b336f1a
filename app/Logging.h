// Diagnostics: off by default, switched on with QT_LOGGING_RULES, for
// example QT_LOGGING_RULES="qeltv.*.debug=true".
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcApp)
