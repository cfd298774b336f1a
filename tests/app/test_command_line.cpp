// The arguments that only inform, with the real program: they print, end
// with status 0 and start nothing, neither a first instance nor a relay.
#include "tests/app/ProgramRun.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace qeltv::test;

TEST(CommandLine, HelpAndVersionStartNothing) {
    Home home;
    const QString runtime = home.path("run") + "/qeltv";
    for (const QString& help : {QString("--help"), QString("-h")}) {
        ProgramRun run(home, {help});
        EXPECT_EQ(run.waitForExit(), 0) << help.toStdString();
        EXPECT_TRUE(run.output().startsWith("Usage: qeltv [N]\n")) << run.output().toStdString();
        EXPECT_TRUE(run.output().contains("QelTVStartRec N")) << run.output().toStdString();
    }
    ProgramRun version(home, {"--version"});
    EXPECT_EQ(version.waitForExit(), 0);
    EXPECT_EQ(version.output(), "qEL TV 1.0.0.160\n");
    // No instance was started: no runtime folder, no lock, no recording.
    EXPECT_FALSE(QFileInfo::exists(runtime));
    EXPECT_TRUE(home.recordings().isEmpty());

    // Beside a running first instance they relay nothing either, while any
    // other first argument still asks it to record.
    ProgramRun first(home, {});
    ASSERT_TRUE(first.waitForLog("first instance, window shown")) << first.log().toStdString();
    for (const QString& info : {QString("--help"), QString("-h"), QString("--version")}) {
        ProgramRun run(home, {info});
        EXPECT_EQ(run.waitForExit(), 0) << info.toStdString();
    }
    ProgramRun relay(home, {"--helpful"});
    ASSERT_TRUE(first.waitForLog("command QelTVStartRec 1 in mode 0")) << first.log().toStdString();
    EXPECT_FALSE(first.waitForLog("command QelTVStartRec", 2000, 2)) << first.log().toStdString();
}
