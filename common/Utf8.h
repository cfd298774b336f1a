// Text between Qt and the rest of the program: a std::string holds UTF-8
// bytes (names in files, settings, web pages), a QString the same text for
// Qt. Only for code that links Qt6::Core; qeltv_common does not link it, so
// that the web server stays free of Qt.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <string>
#include <string_view>

namespace qeltv {

inline QString fromUtf8(std::string_view bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

inline std::string toUtf8(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

} // namespace qeltv
