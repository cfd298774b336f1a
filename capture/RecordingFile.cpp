#include "capture/RecordingFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace qeltv {

std::filesystem::path MoveToUniqueName(const std::filesystem::path& from,
                                       const std::filesystem::path& to, std::string& error) {
    constexpr int kMaxAttempts = 1000;
    const std::string stem = (to.parent_path() / to.stem()).string();
    const std::string ext = to.extension().string();
    for (int n = 1; n <= kMaxAttempts; ++n) {
        const std::filesystem::path target =
            n == 1 ? to : std::filesystem::path(stem + "_" + std::to_string(n) + ext);
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return target;
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS) {
            error = std::strerror(errno);
            return {};
        }
        if (::link(from.c_str(), target.c_str()) == 0) {
            ::unlink(from.c_str());
            return target;
        }
        if (errno == EEXIST)
            continue;
        // No hard links either (FAT, exFAT): a plain rename, only onto a
        // name that is free; a taken one moves on to the next number.
        std::error_code ec;
        if (std::filesystem::exists(target, ec))
            continue;
        if (ec) {
            error = ec.message();
            return {};
        }
        if (::rename(from.c_str(), target.c_str()) == 0)
            return target;
        error = std::strerror(errno);
        return {};
    }
    error = "no free name";
    return {};
}

} // namespace qeltv
