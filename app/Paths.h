// Where the program keeps its files; every path honours the XDG variables so
// tests run in temporary folders.
#pragma once

#include <filesystem>
#include <sys/types.h>

namespace qeltv {

struct Paths {
    // The system's per-user runtime folders, /run/user/<uid>.
    static constexpr const char* kUserRuntimeRoot = "/run/user";

    std::filesystem::path runtimeDir; // lock and command socket, mode 0700
    std::filesystem::path configDir;  // HKEY_CURRENT_USER.reg
    std::filesystem::path dataDir;    // HKEY_LOCAL_MACHINE.reg, qeltv.dat, job files
    std::filesystem::path cacheDir;   // compressor cache
    std::filesystem::path videosDir;  // recordings

    std::filesystem::path userStore() const { return configDir / "HKEY_CURRENT_USER.reg"; }
    std::filesystem::path machineStore() const { return dataDir / "HKEY_LOCAL_MACHINE.reg"; }
    std::filesystem::path dataFile() const { return dataDir / "qeltv.dat"; }
    std::filesystem::path defaultCaptureFile() const { return videosDir / "capture.avi"; }
    std::filesystem::path lockFile() const { return runtimeDir / "QELTV.lock"; }
    std::filesystem::path commandSocket() const { return runtimeDir / "QELTV.sock"; }

    // Reads the environment. Nothing is created.
    static Paths FromEnvironment();
    // The folder of the instance lock and the command socket. Every instance
    // of one user must arrive at the same folder, also when started by cron
    // or over SSH without XDG_RUNTIME_DIR:
    //   $XDG_RUNTIME_DIR/qeltv                 when the variable is an absolute path;
    //   <userRuntimeRoot>/<uid>/qeltv          when that per-user folder exists,
    //                                          belongs to `uid` and has mode 0700
    //                                          (what a login session provides);
    //   /tmp/qeltv-<uid>                       otherwise.
    // `xdgRuntimeDir` may be null (the variable is not set).
    static std::filesystem::path ChooseRuntimeDir(const char* xdgRuntimeDir,
                                                  const std::filesystem::path& userRuntimeRoot,
                                                  uid_t uid);
    // Creates the runtime folder (mode 0700). Throws std::runtime_error, with
    // a text that names the folder and what is wrong, when it cannot be made
    // or exists but is not a private folder of this user (someone else's, or
    // a mode other than 0700): the lock and the socket would not be safe
    // there.
    void createRuntimeDir() const;
    // Creates the data and videos folders when missing (errors are left to
    // whoever writes there).
    void createDataDirs() const;
};

} // namespace qeltv
