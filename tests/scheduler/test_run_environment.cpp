// The environment a scheduled run gets: the variables recorded from the
// session that saved the task pass only while they still lead somewhere.
#include "common/UniqueFd.h"
#include "scheduler/RunEnvironment.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

using namespace qeltv;

namespace {

// A listening socket file at `path`, closed at the end of the test.
struct SocketFile {
    UniqueFd fd;
    explicit SocketFile(const std::string& path) : fd(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << path;
    }
};

std::string Get(const EnvironmentMap& env, const std::string& name) {
    const auto it = env.find(name);
    return it == env.end() ? "(unset)" : it->second;
}

} // namespace

TEST(RunEnvironment, RuntimeFolderOnlyWhenPrivate) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    const std::string privateDir = root + "/private", openDir = root + "/open",
                      link = root + "/link", gone = root + "/gone";
    ASSERT_EQ(::mkdir(privateDir.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(openDir.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(openDir.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(privateDir.c_str(), link.c_str()), 0);
    const uid_t uid = ::getuid();

    EXPECT_TRUE(IsPrivateFolderOf(privateDir, uid));
    EXPECT_FALSE(IsPrivateFolderOf(privateDir, uid + 1));
    for (const std::string& bad : {openDir, link, gone, std::string("relative")})
        EXPECT_FALSE(IsPrivateFolderOf(bad, uid)) << bad;

    // As cron starts the runner: nothing of its own.
    const EnvironmentMap cron{{"PATH", "/usr/bin:/bin"}};
    EXPECT_EQ(Get(ScheduledRunEnvironment(cron, {{"XDG_RUNTIME_DIR", privateDir}}, uid),
                  "XDG_RUNTIME_DIR"),
              privateDir);
    for (const std::string& bad : {openDir, link, gone})
        EXPECT_EQ(
            Get(ScheduledRunEnvironment(cron, {{"XDG_RUNTIME_DIR", bad}}, uid), "XDG_RUNTIME_DIR"),
            "(unset)")
            << bad;
    // Started from a session ("Start now"): its own folder stands in.
    const EnvironmentMap session{{"XDG_RUNTIME_DIR", privateDir}};
    EXPECT_EQ(
        Get(ScheduledRunEnvironment(session, {{"XDG_RUNTIME_DIR", gone}}, uid), "XDG_RUNTIME_DIR"),
        privateDir);
    // Other places inside the gone folder go with it.
    const EnvironmentMap env = ScheduledRunEnvironment(cron,
                                                       {{"XDG_RUNTIME_DIR", gone},
                                                        {"XDG_STATE_DIR", gone + "/state"},
                                                        {"XDG_DATA_HOME", root + "/data"},
                                                        {"XDG_SESSION_TYPE", "x11"}},
                                                       uid);
    EXPECT_EQ(Get(env, "XDG_STATE_DIR"), "(unset)");
    EXPECT_EQ(Get(env, "XDG_DATA_HOME"), root + "/data");
    EXPECT_EQ(Get(env, "XDG_SESSION_TYPE"), "x11");
    EXPECT_EQ(Get(env, "PATH"), "/usr/bin:/bin");
}

TEST(RunEnvironment, BusDisplayAndAuthorityOnlyWhileThere) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    const std::string runtime = root + "/run";
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    SocketFile bus(runtime + "/bus");
    const uid_t uid = ::getuid();
    const EnvironmentMap cron{{"PATH", "/usr/bin:/bin"}};

    auto run = [&](std::vector<std::pair<std::string, std::string>> recorded) {
        return ScheduledRunEnvironment(cron, recorded, uid);
    };
    EXPECT_EQ(Get(run({{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + runtime + "/bus"}}),
                  "DBUS_SESSION_BUS_ADDRESS"),
              "unix:path=" + runtime + "/bus");
    EXPECT_EQ(Get(run({{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + root + "/gone/bus"}}),
                  "DBUS_SESSION_BUS_ADDRESS"),
              "(unset)");
    // Of several addresses those that may answer stay; escaped paths count.
    EXPECT_EQ(Get(run({{"DBUS_SESSION_BUS_ADDRESS",
                        "unix:path=" + root + "/gone/bus,guid=1;unix:abstract=/tmp/x"}}),
                  "DBUS_SESSION_BUS_ADDRESS"),
              "unix:abstract=/tmp/x");
    std::string escaped = runtime + "/bus";
    escaped.replace(escaped.rfind('/'), 1, "%2f");
    EXPECT_EQ(Get(run({{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + escaped}}),
                  "DBUS_SESSION_BUS_ADDRESS"),
              "unix:path=" + escaped);

    EXPECT_EQ(Get(run({{"XAUTHORITY", root + "/gone/.Xauthority"}}), "XAUTHORITY"), "(unset)");

    // A Wayland socket in a runtime folder that is gone: no display at all.
    EnvironmentMap env = run({{"XDG_RUNTIME_DIR", root + "/gone"}, {"WAYLAND_DISPLAY", "wl-0"}});
    EXPECT_EQ(Get(env, "WAYLAND_DISPLAY"), "(unset)");
    EXPECT_EQ(Get(env, "QT_QPA_PLATFORM"), "offscreen");
    // One that is there is a display.
    SocketFile wayland(runtime + "/wl-0");
    env = run({{"XDG_RUNTIME_DIR", runtime}, {"WAYLAND_DISPLAY", "wl-0"}});
    EXPECT_EQ(Get(env, "WAYLAND_DISPLAY"), "wl-0");
    EXPECT_EQ(Get(env, "QT_QPA_PLATFORM"), "(unset)");
    // An X display without its socket stays named, but the program goes
    // offscreen.
    env = run({{"DISPLAY", ":97531"}});
    EXPECT_EQ(Get(env, "DISPLAY"), ":97531");
    EXPECT_EQ(Get(env, "QT_QPA_PLATFORM"), "offscreen");
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
