#include "app/Paths.h"

#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace qeltv {

namespace {
// The only mode the runtime folder may have: nobody else reaches the lock or
// the command socket.
constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kModeBits = 07777;

std::filesystem::path home() {
    const char* h = std::getenv("HOME");
    return h && *h ? h : "/tmp";
}

std::filesystem::path envOr(const char* name, const std::filesystem::path& fallback) {
    const char* v = std::getenv(name);
    return v && *v == '/' ? std::filesystem::path(v) : fallback;
}

std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

// A folder (not a link to one) of `uid` that nobody else may enter.
bool isPrivateFolderOf(const std::filesystem::path& folder, uid_t uid) {
    struct stat st {};
    return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
           (st.st_mode & kModeBits) == kPrivateFolderMode;
}
} // namespace

std::filesystem::path Paths::ChooseRuntimeDir(const char* xdgRuntimeDir,
                                              const std::filesystem::path& userRuntimeRoot,
                                              uid_t uid) {
    if (xdgRuntimeDir && *xdgRuntimeDir == '/')
        return std::filesystem::path(xdgRuntimeDir) / "qeltv";
    // cron, SSH and other starters without a login session give no
    // XDG_RUNTIME_DIR; the session's folder still exists while the user is
    // logged in, and a desktop instance keeps its lock there.
    const std::filesystem::path sessionFolder = userRuntimeRoot / std::to_string(uid);
    if (isPrivateFolderOf(sessionFolder, uid))
        return sessionFolder / "qeltv";
    return "/tmp/qeltv-" + std::to_string(uid);
}

Paths Paths::FromEnvironment() {
    Paths p;
    p.runtimeDir = ChooseRuntimeDir(std::getenv("XDG_RUNTIME_DIR"), kUserRuntimeRoot, ::getuid());
    p.configDir = envOr("XDG_CONFIG_HOME", home() / ".config") / "qeltv";
    p.dataDir = envOr("XDG_DATA_HOME", home() / ".local/share") / "qeltv";
    p.cacheDir = envOr("XDG_CACHE_HOME", home() / ".cache") / "qeltv";
    // XDG_VIDEOS_DIR is normally set in user-dirs.dirs, which Qt reads.
    std::filesystem::path videos = home() / "Videos";
    const QString movies = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    if (!movies.isEmpty())
        videos = movies.toStdString();
    p.videosDir = envOr("XDG_VIDEOS_DIR", videos) / "qeltv";
    return p;
}

void Paths::createRuntimeDir() const {
    const std::string folder = runtimeDir.string();
    // A parent that cannot be made shows as the failing mkdir below.
    std::error_code ignored;
    std::filesystem::create_directories(runtimeDir.parent_path(), ignored);
    if (::mkdir(runtimeDir.c_str(), kPrivateFolderMode) == 0) {
        // The umask may have taken bits away that this user needs.
        if (::chmod(runtimeDir.c_str(), kPrivateFolderMode) != 0)
            throw std::runtime_error("cannot set the mode of the runtime folder " + folder + ": " +
                                     std::strerror(errno));
    } else if (errno != EEXIST) {
        throw std::runtime_error("cannot create the runtime folder " + folder + ": " +
                                 std::strerror(errno));
    }
    // A folder that was there already is used only when it is private to
    // this user: anyone else who can enter it could take the lock or listen
    // on the command socket in place of the first instance.
    struct stat st {};
    if (::lstat(runtimeDir.c_str(), &st) != 0)
        throw std::runtime_error("cannot examine the runtime folder " + folder + ": " +
                                 std::strerror(errno));
    const std::string refusal = ": refusing to use it";
    if (!S_ISDIR(st.st_mode))
        throw std::runtime_error("the runtime folder " + folder + " is not a folder" + refusal);
    if (st.st_uid != ::getuid())
        throw std::runtime_error("the runtime folder " + folder + " belongs to user " +
                                 std::to_string(st.st_uid) + ", not to this user (" +
                                 std::to_string(::getuid()) + ")" + refusal);
    if ((st.st_mode & kModeBits) != kPrivateFolderMode)
        throw std::runtime_error("the runtime folder " + folder + " has mode " +
                                 octal(st.st_mode & kModeBits) + ", not " +
                                 octal(kPrivateFolderMode) + refusal);
}

void Paths::createDataDirs() const {
    std::error_code ec;
    for (const auto& dir : {configDir, dataDir, videosDir})
        std::filesystem::create_directories(dir, ec);
}

} // namespace qeltv
