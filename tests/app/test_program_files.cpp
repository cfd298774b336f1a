// The real program's folders, diagnostics and orderly ends: the default
// folders without XDG variables, no diagnostics unless asked for, SIGINT and
// SIGHUP while recording, and the name of a kept interrupted recording.
#include "settings/RegStore.h"
#include "tests/app/ProgramRun.h"
#include "tests/settings/TempDir.h"

#include <QDateTime>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace qeltv;
using namespace qeltv::test;

namespace {
// An AVI file grows past its headers once frames are written to it.
constexpr qint64 kFramesWritten_bytes = 256 * 1024;
constexpr int kProgramWait_ms = 60000;

bool WaitFor(const std::function<bool()>& condition) {
    QDeadlineTimer deadline(kProgramWait_ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

// Waits until the working file holds frames: the recording runs.
bool WaitForRecordedFrames(const QString& workingFile) {
    return WaitFor([&] { return QFileInfo(workingFile).size() >= kFramesWritten_bytes; });
}

// The test's own environment for the program with no XDG folder variable
// but the runtime folder, and HOME in a folder of the test.
QProcessEnvironment WithoutXdgFolders(const Home& home, const QString& userHome) {
    QProcessEnvironment env = home.environment();
    for (const char* name :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_VIDEOS_DIR", "XDG_CACHE_HOME"})
        env.remove(name);
    env.insert("HOME", userHome);
    return env;
}
} // namespace

TEST(ProgramFiles, DefaultFoldersWithoutXdgVariables) {
    // Nothing in the home's folders but what the program might write there.
    Home home(Home::Cache::Empty);
    QTemporaryDir user;
    {
        ProgramRun first(WithoutXdgFolders(home, user.path()), {"2"});
        ASSERT_TRUE(first.waitForLog("graph mode 1")) << first.log().toStdString();
        ASSERT_TRUE(WaitForRecordedFrames(user.path() + "/Videos/qeltv/capture.avi"))
            << first.log().toStdString();
        first.signal(SIGTERM);
        EXPECT_EQ(first.waitForExit(), 0);
    }
    EXPECT_EQ(QDir(user.path() + "/Videos/qeltv").entryList({"capture_*.avi"}, QDir::Files).size(),
              1);
    EXPECT_TRUE(QFile::exists(user.path() + "/.config/qeltv/HKEY_CURRENT_USER.reg"));
    EXPECT_TRUE(QFile::exists(user.path() + "/.local/share/qeltv/qeltv.dat"));
    EXPECT_TRUE(QFileInfo(user.path() + "/.cache/qeltv").isDir());
    // Nothing went to the folders the variables would have named.
    for (const char* folder : {"config", "data", "videos", "cache"})
        EXPECT_TRUE(QDir(home.path(folder)).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot))
            << folder;
}

TEST(ProgramFiles, NoDiagnosticsUnlessAskedFor) {
    Home home;
    QTemporaryDir user;
    QProcessEnvironment env = home.environment();
    env.remove("QT_LOGGING_RULES");
    env.insert("HOME", user.path()); // no logging configuration of the user's
    ProgramRun first(env, {});
    // The instance is up once it listens on its socket.
    const QString socket = home.path("run") + "/qeltv/QELTV.sock";
    ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(socket); }));
    ASSERT_TRUE(first.running());
    first.signal(SIGTERM);
    EXPECT_EQ(first.waitForExit(), 0);
    // What the same run prints with the diagnostics on.
    for (const char* text : {"splash:", "first instance", "graph mode", "shutdown"})
        EXPECT_FALSE(first.log().contains(text)) << first.log().toStdString();
}

// SIGTERM is covered with the instances; the other two signals close the
// program the same way.
TEST(ProgramFiles, InterruptAndHangUpWhileRecordingFinishTheFileAndSaveTheSettings) {
    for (int signalNumber : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        Home home;
        ProgramRun first(home, {"5"});
        ASSERT_TRUE(first.waitForLog("graph mode 1")) << first.log().toStdString();
        ASSERT_TRUE(WaitForRecordedFrames(home.path("videos") + "/qeltv/capture.avi"));
        first.signal(signalNumber);
        EXPECT_EQ(first.waitForExit(), 0);
        EXPECT_TRUE(first.log().contains("recording finished as")) << first.log().toStdString();
        EXPECT_EQ(home.recordings().size(), 1);
        EXPECT_FALSE(QFile::exists(home.path("videos") + "/qeltv/capture.avi"));
        RegFile saved(home.userStore(), "HKEY_CURRENT_USER");
        saved.load();
        const auto channel = saved.value("Software\\Qel\\QelTV", "CurrentChannel");
        ASSERT_TRUE(channel.has_value());
        EXPECT_EQ(std::get<std::uint32_t>(*channel), 5u);
    }
}

TEST(ProgramFiles, InterruptedRecordingIsKeptUnderItsLastChangeTime) {
    Home home;
    const QString folder = home.path("videos") + "/qeltv";
    QDir().mkpath(folder);
    const std::string content = "RIFF an interrupted recording";
    WriteFile((folder + "/capture.avi").toStdString(), content);
    const QDateTime changed(QDate(2026, 3, 4), QTime(5, 6, 7));
    {
        QFile file(folder + "/capture.avi");
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(changed, QFileDevice::FileModificationTime));
    }
    ProgramRun first(home, {});
    ASSERT_TRUE(first.waitForLog("first instance, window shown")) << first.log().toStdString();
    first.signal(SIGTERM);
    EXPECT_EQ(first.waitForExit(), 0);
    EXPECT_TRUE(first.log().contains("interrupted recording kept as")) << first.log().toStdString();
    const QString kept = folder + "/capture_20260304050607.avi";
    ASSERT_TRUE(QFile::exists(kept)) << QDir(folder).entryList().join(", ").toStdString();
    EXPECT_EQ(ReadFile(kept.toStdString()), content);
    EXPECT_FALSE(QFile::exists(folder + "/capture.avi"));
}
