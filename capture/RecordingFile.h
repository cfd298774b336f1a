// Finished recordings reach their final names without ever replacing a file.
#pragma once

#include <filesystem>
#include <string>

namespace qeltv {

// Moves a finished recording to its final name without ever replacing a
// file that is there already: a second recording in the same second, or a
// name the user made, gets "_2", "_3", ... before the extension. The rename
// itself refuses a taken name (RENAME_NOREPLACE), so it also works on file
// systems without hard links (FAT, exFAT); where the kernel or the file
// system does not know the flag, a hard link does the same, and the plain
// rename is the last resort, taken only for a name that is free.
// Returns the name taken, or an empty path with the reason in `error`.
std::filesystem::path MoveToUniqueName(const std::filesystem::path& from,
                                       const std::filesystem::path& to, std::string& error);

} // namespace qeltv
