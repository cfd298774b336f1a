// A request to close (SIGTERM, SIGINT, SIGHUP) that comes while the first
// instance is still starting, with the real program.
#include "settings/RegStore.h"
#include "tests/app/ProgramRun.h"
#include "tests/settings/TempDir.h"

#include <gtest/gtest.h>

using namespace qeltv;
using namespace qeltv::test;

// A settings file that does not parse stops the start-up in a modal error
// box. A signal that comes while it is open must neither be lost nor wait
// for a user to answer the box: the box is closed, the start-up ends, and
// the shutdown sequence runs and writes the settings. Hidden (with a
// channel) and shown (without) both.
TEST(StartupSignals, CloseRequestedWhileAStartUpBoxIsOpen) {
    const std::pair<int, QStringList> cases[] = {{SIGTERM, {"5"}}, {SIGINT, {}}, {SIGHUP, {"2"}}};
    for (const auto& [signalNumber, arguments] : cases) {
        SCOPED_TRACE("signal " + std::to_string(signalNumber));
        Home home;
        const std::string garbage = "this is not a settings file\n";
        std::filesystem::create_directories(home.userStore().parent_path());
        WriteFile(home.userStore(), garbage);

        ProgramRun first(home, arguments);
        // Logged just before the box opens.
        ASSERT_TRUE(first.waitForLog("error:")) << first.log().toStdString();
        first.signal(signalNumber);
        ASSERT_EQ(first.waitForExit(), 0) << first.log().toStdString();
        const QString log = first.log();
        EXPECT_TRUE(log.contains("closing a modal box")) << log.toStdString();
        EXPECT_TRUE(log.contains("shutdown")) << log.toStdString();

        // The settings were written anew; what the user had is kept aside.
        RegFile saved(home.userStore(), "HKEY_CURRENT_USER");
        saved.load();
        EXPECT_EQ(saved.valueNames("Software\\Qel\\QelTV").size(), 18u);
        EXPECT_EQ(ReadFile(home.userStore().string() + ".bad"), garbage);
    }
}
