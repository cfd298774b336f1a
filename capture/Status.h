// Status codes of the capture layer and the exception that carries them.
//
// Calls that report a status return an HRESULT-style 32-bit code, as tuner
// and crossbar drivers traditionally do; callers may ignore it. Layer
// operations that fail throw CaptureError instead, whose text is the
// platform's error text (at most 255 characters) followed by " ($%X)." with
// the status in upper-case hexadecimal.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qeltv {

using HResult = std::int32_t;

namespace status {
constexpr HResult S_OK = 0;
constexpr HResult S_FALSE = 1;
constexpr HResult E_FAIL = static_cast<HResult>(0x80004005u);
constexpr HResult E_INVALIDARG = static_cast<HResult>(0x80070057u);
constexpr HResult E_NOTIMPL = static_cast<HResult>(0x80004001u);
constexpr HResult E_NOINTERFACE = static_cast<HResult>(0x80004002u);
constexpr HResult E_POINTER = static_cast<HResult>(0x80004003u);
constexpr HResult E_OUTOFMEMORY = static_cast<HResult>(0x8007000Eu);
// The device or file is not there (ERROR_FILE_NOT_FOUND as a status).
constexpr HResult E_NOTFOUND = static_cast<HResult>(0x80070002u);
// Access to a device or file was refused.
constexpr HResult E_ACCESSDENIED = static_cast<HResult>(0x80070005u);
// Two pins or elements could not be linked.
constexpr HResult VFW_E_CANNOT_CONNECT = static_cast<HResult>(0x80040217u);
// A format the pin cannot deliver.
constexpr HResult VFW_E_INVALIDMEDIATYPE = static_cast<HResult>(0x80040200u);
// A state change the pipeline refused.
constexpr HResult VFW_E_STATE_CHANGE_FAILED = static_cast<HResult>(0x8004022Fu);
// The stream itself failed while running (an error message on the bus).
constexpr HResult VFW_E_RUNTIME_ERROR = static_cast<HResult>(0x8004020Bu);
// A persisted graph that cannot be read back.
constexpr HResult VFW_E_INVALID_FILE_FORMAT = static_cast<HResult>(0x8004022Eu);
} // namespace status

inline bool Succeeded(HResult hr) {
    return hr >= 0;
}
inline bool Failed(HResult hr) {
    return hr < 0;
}

// The maximum length of a platform error text inside a CaptureError.
constexpr std::size_t kMaxErrorTextLength = 255;

class CaptureError : public std::runtime_error {
public:
    CaptureError(const std::string& platformText, HResult status);
    HResult status() const { return status_; }

private:
    HResult status_;
};

// Throws CaptureError(text, hr) when hr is a failure.
void CheckStatus(HResult hr, const std::string& text);

} // namespace qeltv
