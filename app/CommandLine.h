// The two arguments that only inform: they start nothing and reach no
// running instance. Every other first argument keeps its meaning, a channel
// to record.
#pragma once

#include <QString>
#include <QStringList>

namespace qeltv {

enum class InfoRequest { None, Help, Version };

// Exactly "--help" or "-h", and "--version", as the first argument.
InfoRequest InfoArgument(const QStringList& argumentsWithoutProgram);

// What `qeltv --help` prints.
QString UsageText();
// What `qeltv --version` prints: "qEL TV <version>".
QString VersionLine();

} // namespace qeltv
