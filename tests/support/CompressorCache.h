// The compressor trials' results, shared by the test homes of one build. A
// program's first start in a new home tries every encoder (seconds of work
// on two cores); the tests that start the program do not test that, so their
// homes begin with the results of one trial run for the whole test run.
#pragma once

#include "capture/Devices.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QString>

namespace qeltv::test {

// Puts the build's trial results into `cacheFolder` (the qeltv folder of a
// home's XDG_CACHE_HOME); the first test to ask runs the trials, the others
// wait for it. The program still checks the results against its plug-ins
// and tries again when they differ. The shared folder is named by the build
// (QELTV_TEST_COMPRESSOR_CACHE, tests/CMakeLists.txt).
inline void SeedCompressorCache(const QString& cacheFolder) {
    const QString shared = QStringLiteral(QELTV_TEST_COMPRESSOR_CACHE);
    QDir().mkpath(shared);
    QLockFile lock(shared + "/trials.lock");
    // A test killed during the trials leaves its lock behind: it is taken
    // over once its process has gone. Without the lock the home stays empty
    // and its program runs the trials itself, as on a user's first start.
    if (!lock.lock())
        return;
    DeviceEnumerator(shared.toStdString()).Enumerate(DeviceCategory::VideoCompressor);
    QDir().mkpath(cacheFolder);
    QFile::remove(cacheFolder + "/compressors.txt");
    QFile::copy(shared + "/compressors.txt", cacheFolder + "/compressors.txt");
}

} // namespace qeltv::test
