#include "capture/Status.h"

#include <cstdio>

namespace qeltv {

namespace {

// Cuts text to at most maxBytes without splitting a UTF-8 sequence, so a
// localised error text never ends in half a character.
std::string CutText(const std::string& text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t end = maxBytes;
    // Step back over continuation bytes (10xxxxxx) to the start of the cut
    // character, which is then left out whole.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

std::string ErrorMessage(const std::string& platformText, HResult status) {
    char code[sizeof(" ($FFFFFFFF).")];
    std::snprintf(code, sizeof code, " ($%X).", static_cast<std::uint32_t>(status));
    return CutText(platformText, kMaxErrorTextLength) + code;
}

} // namespace

CaptureError::CaptureError(const std::string& platformText, HResult status)
    : std::runtime_error(ErrorMessage(platformText, status)), status_(status) {}

void CheckStatus(HResult hr, const std::string& text) {
    if (Failed(hr)) {
        throw CaptureError(text, hr);
    }
}

} // namespace qeltv
