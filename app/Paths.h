// Where the program keeps its files; every path honours the XDG variables so
// tests run in temporary folders.
#pragma once

#include <filesystem>

namespace qeltv {

struct Paths {
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
    // Creates the runtime folder (mode 0700) and throws std::runtime_error
    // when it cannot be made private to this user.
    void createRuntimeDir() const;
    // Creates the data and videos folders when missing (errors are left to
    // whoever writes there).
    void createDataDirs() const;
};

} // namespace qeltv
