// The runtime folder (instance lock and command socket): how it is chosen
// without XDG_RUNTIME_DIR, that a relay started that way and without a
// display still reaches the first instance, and that an unsafe folder is
// refused.
#include "app/Paths.h"
#include "tests/app/ProgramRun.h"
#include "tests/settings/TempDir.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace qeltv;
using namespace qeltv::test;

namespace {
std::filesystem::path MakeFolder(const std::filesystem::path& folder, mode_t mode) {
    std::filesystem::create_directories(folder);
    EXPECT_EQ(::chmod(folder.c_str(), mode), 0);
    return folder;
}

// Gives this test process, and the programs it starts, a /run of their own
// (a private mount namespace with a fresh tmpfs), so the program's real
// /run/user rule is exercised without touching the machine's. Needs root,
// as CI has.
bool PrivateRun() {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") == 0;
}

mode_t ModeOf(const std::filesystem::path& folder) {
    struct stat st {};
    EXPECT_EQ(::stat(folder.c_str(), &st), 0);
    return st.st_mode & 07777;
}
} // namespace

// The per-user folder of the login session is taken only when it is a
// private folder of the very user; anything else falls back to /tmp.
TEST(StartupRuntime, FolderChosenWithoutXdgRuntimeDir) {
    TempDir root;
    const uid_t uid = ::getuid();
    const std::filesystem::path fallback = "/tmp/qeltv-" + std::to_string(uid);
    const std::filesystem::path session = root / std::to_string(uid);

    // The variable wins when it is an absolute path.
    EXPECT_EQ(Paths::ChooseRuntimeDir("/x/run", root.path(), uid), "/x/run/qeltv");
    EXPECT_EQ(Paths::ChooseRuntimeDir("relative", root.path(), uid), fallback);
    EXPECT_EQ(Paths::ChooseRuntimeDir("", root.path(), uid), fallback);

    // No session folder.
    EXPECT_EQ(Paths::ChooseRuntimeDir(nullptr, root.path(), uid), fallback);
    // One that others may enter.
    MakeFolder(session, 0755);
    EXPECT_EQ(Paths::ChooseRuntimeDir(nullptr, root.path(), uid), fallback);
    // The real thing.
    MakeFolder(session, 0700);
    EXPECT_EQ(Paths::ChooseRuntimeDir(nullptr, root.path(), uid), session / "qeltv");
    // A folder under another user's number that this user owns is not that
    // user's session folder.
    const uid_t other = uid + 1;
    MakeFolder(root / std::to_string(other), 0700);
    EXPECT_EQ(Paths::ChooseRuntimeDir(nullptr, root.path(), other),
              "/tmp/qeltv-" + std::to_string(other));
    // A link to a private folder is not the folder.
    TempDir elsewhere;
    const std::filesystem::path target = MakeFolder(elsewhere / "private", 0700);
    std::filesystem::remove(session);
    std::filesystem::create_directory_symlink(target, session);
    EXPECT_EQ(Paths::ChooseRuntimeDir(nullptr, root.path(), uid), fallback);

    // The program itself looks in /run/user.
    EXPECT_STREQ(Paths::kUserRuntimeRoot, "/run/user");
}

// A relay started by cron or over SSH has neither XDG_RUNTIME_DIR nor a
// display. It still finds the desktop's first instance through the
// session's runtime folder and relays to it.
TEST(StartupRuntime, RelayWithoutRuntimeFolderOrDisplayReachesTheFirstInstance) {
    if (!PrivateRun())
        GTEST_SKIP() << "a private /run needs root";
    Home home;
    const std::filesystem::path session = MakeFolder(
        std::filesystem::path(Paths::kUserRuntimeRoot) / std::to_string(::getuid()), 0700);

    QProcessEnvironment desktop = home.environment();
    desktop.insert("XDG_RUNTIME_DIR", QString::fromStdString(session.string()));
    ProgramRun first(desktop, {});
    ASSERT_TRUE(first.waitForLog("first instance, window shown")) << first.log().toStdString();

    QProcessEnvironment cron = home.environment();
    for (const char* name : {"XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        cron.remove(name);
    ProgramRun relay(cron, {"3"});
    ASSERT_TRUE(first.waitForLog("command QelTVStartRec 3 in mode 0"))
        << first.log().toStdString() << relay.log().toStdString();
    ASSERT_TRUE(first.waitForLog("graph mode 1"));
    EXPECT_TRUE(relay.running()) << relay.log().toStdString();
    relay.signal(SIGTERM);
    EXPECT_EQ(relay.waitForExit(), 0) << relay.log().toStdString();
    EXPECT_TRUE(first.waitForLog("command QelTVStopRec 0 in mode 1"));
    EXPECT_TRUE(first.waitForLog("recording finished as"));
    EXPECT_EQ(home.recordings().size(), 1u);

    first.signal(SIGTERM);
    EXPECT_EQ(first.waitForExit(), 0);
}

// A runtime folder that others could enter, or that belongs to someone else,
// is not used: the program says why and ends with status 1, first instance
// and relay alike, and leaves the folder as it found it.
TEST(StartupRuntime, UnsafeRuntimeFolderIsRefused) {
    Home home;
    const std::filesystem::path folder =
        MakeFolder((home.path("run") + "/qeltv").toStdString(), 0755);
    const std::string refusal = "qeltv: the runtime folder " + folder.string();
    for (const QStringList& arguments : {QStringList{}, QStringList{"4"}}) {
        ProgramRun run(home, arguments);
        EXPECT_EQ(run.waitForExit(), 1) << run.log().toStdString();
        EXPECT_TRUE(run.log().contains(
            QString::fromStdString(refusal + " has mode 0755, not 0700: refusing to use it\n")))
            << run.log().toStdString();
    }
    EXPECT_EQ(ModeOf(folder), 0755u);
    EXPECT_FALSE(std::filesystem::exists(folder / "QELTV.lock"));

    // Someone else's folder; only root can make one.
    if (::geteuid() != 0)
        return;
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
    ProgramRun run(home, {});
    EXPECT_EQ(run.waitForExit(), 1) << run.log().toStdString();
    EXPECT_TRUE(run.log().contains(
        QString::fromStdString(refusal + " belongs to user 65534, not to this user (" +
                               std::to_string(::getuid()) + "): refusing to use it\n")))
        << run.log().toStdString();
    EXPECT_FALSE(std::filesystem::exists(folder / "QELTV.lock"));
}
