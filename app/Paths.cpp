#include "app/Paths.h"

#include <QStandardPaths>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace qeltv {

namespace {
std::filesystem::path home() {
    const char* h = std::getenv("HOME");
    return h && *h ? h : "/tmp";
}

std::filesystem::path envOr(const char* name, const std::filesystem::path& fallback) {
    const char* v = std::getenv(name);
    return v && *v == '/' ? std::filesystem::path(v) : fallback;
}
} // namespace

Paths Paths::FromEnvironment() {
    Paths p;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/')
        p.runtimeDir = std::filesystem::path(runtime) / "qeltv";
    else
        p.runtimeDir = "/tmp/qeltv-" + std::to_string(::getuid());
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
    std::error_code ec;
    std::filesystem::create_directories(runtimeDir.parent_path(), ec);
    if (::mkdir(runtimeDir.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("Cannot create " + runtimeDir.string() + ": " +
                                 std::strerror(errno));
    struct stat st {};
    if (::lstat(runtimeDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        throw std::runtime_error(runtimeDir.string() + " is not a folder of this user");
    if ((st.st_mode & 0777) != 0700)
        ::chmod(runtimeDir.c_str(), 0700);
}

void Paths::createDataDirs() const {
    std::error_code ec;
    for (const auto& dir : {configDir, dataDir, videosDir})
        std::filesystem::create_directories(dir, ec);
}

} // namespace qeltv
