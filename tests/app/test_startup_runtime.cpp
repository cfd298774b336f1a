// The runtime folder (instance lock and command socket): how it is chosen
// without XDG_RUNTIME_DIR, that a relay started that way and without a
// display still reaches the first instance, that an unsafe folder is
// refused, and that a new one is private whatever the umask.
#include "app/Paths.h"
#include "tests/CannotRun.h"
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
        QELTV_CANNOT_RUN("a private /run needs root");
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

// A runtime folder that others could enter is not used: the program says why
// and ends with status 1, first instance and relay alike, and leaves the
// folder as it found it.
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
}

// A private folder that belongs to someone else is not used either.
TEST(StartupRuntime, RuntimeFolderOfAnotherUserIsRefused) {
    if (::geteuid() != 0)
        QELTV_CANNOT_RUN("only root can give a folder to another user");
    Home home;
    const std::filesystem::path folder =
        MakeFolder((home.path("run") + "/qeltv").toStdString(), 0700);
    const std::string refusal = "qeltv: the runtime folder " + folder.string();
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
    ProgramRun run(home, {});
    EXPECT_EQ(run.waitForExit(), 1) << run.log().toStdString();
    EXPECT_TRUE(run.log().contains(
        QString::fromStdString(refusal + " belongs to user 65534, not to this user (" +
                               std::to_string(::getuid()) + "): refusing to use it\n")))
        << run.log().toStdString();
    EXPECT_FALSE(std::filesystem::exists(folder / "QELTV.lock"));
}

// A link in the runtime folder's place is refused, even one to a private
// folder of this very user: whoever can change the link would choose where
// the lock and the socket go.
TEST(StartupRuntime, LinkInPlaceOfTheRuntimeFolderIsRefused) {
    Home home;
    TempDir elsewhere;
    const std::filesystem::path target = MakeFolder(elsewhere / "private", 0700);
    const std::filesystem::path link = (home.path("run") + "/qeltv").toStdString();
    std::filesystem::create_directory_symlink(target, link);
    for (const QStringList& arguments : {QStringList{}, QStringList{"4"}}) {
        ProgramRun run(home, arguments);
        EXPECT_EQ(run.waitForExit(), 1) << run.log().toStdString();
        EXPECT_TRUE(
            run.log().contains(QString::fromStdString("qeltv: the runtime folder " + link.string() +
                                                      " is not a folder: refusing to use it\n")))
            << run.log().toStdString();
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ModeOf(target), 0700u);
    EXPECT_TRUE(std::filesystem::is_empty(target));
}

// The runtime folder is made private whatever the umask: a umask of 000
// must not leave it open to others, one that takes the user's own bits away
// must not leave it unusable.
TEST(StartupRuntime, RuntimeFolderIsPrivateUnderAnyUmask) {
    struct UmaskFor {
        explicit UmaskFor(mode_t mask) : old(::umask(mask)) {}
        ~UmaskFor() { ::umask(old); }
        mode_t old;
    };
    // The program itself, started under a umask of 000.
    {
        Home home;
        const std::filesystem::path folder = (home.path("run") + "/qeltv").toStdString();
        std::unique_ptr<ProgramRun> first;
        {
            UmaskFor open(0);
            first = std::make_unique<ProgramRun>(home, QStringList{});
        }
        ASSERT_TRUE(first->waitForLog("first instance, window shown"))
            << first->log().toStdString();
        EXPECT_EQ(ModeOf(folder), 0700u);
        first->signal(SIGTERM);
        EXPECT_EQ(first->waitForExit(), 0) << first->log().toStdString();
    }
    // Every umask from none to all bits; the rest of the program could not
    // run under the latter, so the folder is made alone.
    for (const mode_t mask : {mode_t(0), mode_t(022), mode_t(077), mode_t(0777)}) {
        SCOPED_TRACE(mask);
        TempDir root;
        Paths paths;
        paths.runtimeDir = root / "run" / "qeltv";
        {
            UmaskFor masked(mask);
            EXPECT_NO_THROW(paths.createRuntimeDir());
        }
        EXPECT_EQ(ModeOf(paths.runtimeDir), 0700u);
    }
}
