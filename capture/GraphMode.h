// The graph mode held by the main window: what the capture graph is wired
// for. Modes 0 to 2 are entered only through BuildGraph; auto-tuning sets 3
// and 0 directly.
#pragma once

#include <cstdint>

namespace qeltv {

enum class GraphMode : std::uint8_t { Preview = 0, Recording = 1, Webcast = 2, AutoTuning = 3 };

inline int ToInt(GraphMode mode) {
    return static_cast<int>(mode);
}

} // namespace qeltv
