// How a control's event reaches its handler: what the handler throws goes to
// the error handler right there, never through Qt's signal frames.
#pragma once

#include "app/ErrorHandler.h"

#include <exception>

namespace qeltv {

// A slot for a signal with the arguments Args that runs `handler` with them.
template <class... Args, class Handler> auto Guarded(ErrorHandler& errors, Handler handler) {
    return [&errors, handler](Args... args) {
        try {
            handler(args...);
        } catch (const std::exception& e) {
            errors.report(QString::fromUtf8(e.what()));
        }
    };
}

} // namespace qeltv
