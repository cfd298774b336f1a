// The settings files as the running program meets them.
#include "tests/app/ProgramRun.h"
#include "tests/settings/TempDir.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

using qeltv::test::Home;
using qeltv::test::ProgramRun;
using qeltv::test::ReadFile;
using qeltv::test::WriteFile;

// A settings file that cannot be read (here a folder in its place, which
// even root cannot read) is reported at start-up, the program runs on with
// its defaults, and the save at close moves it aside instead of writing over
// it.
TEST(SettingsFiles, UnreadableUserStoreIsReportedAndNotOverwritten) {
    Home home;
    const auto user = home.userStore();
    std::filesystem::create_directories(user);
    WriteFile(user / "kept", "user channels");

    ProgramRun run(home, {});
    const std::string reason = std::strerror(EISDIR);
    EXPECT_TRUE(
        run.waitForLog(QString::fromStdString("Cannot read " + user.string() + ": " + reason)))
        << run.log().toStdString();
    run.signal(SIGTERM);
    EXPECT_EQ(run.waitForExit(), 0) << run.log().toStdString();

    EXPECT_EQ(ReadFile(user.string() + ".bad/kept"), "user channels");
    EXPECT_EQ(ReadFile(user).rfind("REGEDIT4\n", 0), 0u);
}
