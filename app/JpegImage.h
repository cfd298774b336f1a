// Decodes a JPEG picture with libjpeg.
#pragma once

#include <QByteArray>
#include <QImage>

namespace qeltv {

// A null image when the bytes are not a JPEG picture.
QImage DecodeJpeg(const QByteArray& bytes);

} // namespace qeltv
