// The pictures compiled into the program.
#pragma once

namespace qeltv {

// Registers the program's pictures (logo, icon) and sets the application's
// window icon. Call once after the application object exists.
void RegisterResources();

} // namespace qeltv
