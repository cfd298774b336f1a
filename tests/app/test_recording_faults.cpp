// Recordings that go wrong, with the real program: killed outright in the
// middle of a recording (the next start keeps and repairs the file), and a
// disk that fills up (the recording stops in order, the file is kept and
// repaired, the user is told, the graph is back in preview).
#include "capture/AviRepair.h"
#include "tests/app/ProgramRun.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <random>

using namespace qeltv;
using namespace qeltv::test;

namespace {
constexpr int kProgramWait_ms = 60000;
constexpr double kDurationTolerance_s = 1.0;
// A recording killed after this much time plus a random share of the next.
constexpr int kShortestRecording_ms = 2000;
constexpr int kRandomRecording_ms = 3000;
// Room for a few seconds of the default recording, no more.
constexpr const char* kSmallDisk = "size=12m";

struct Probe {
    long framesRead = -1;
    long framesClaimed = -1;
    double duration_s = -1;
    QString output;
};

Probe ProbeFile(const QString& file) {
    QProcess ffprobe;
    ffprobe.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0",
                              "-show_entries", "stream=nb_read_frames,nb_frames:format=duration",
                              "-of", "default=noprint_wrappers=1", file});
    Probe probe;
    if (!ffprobe.waitForFinished(kProgramWait_ms))
        return probe;
    probe.output =
        QString::fromUtf8(ffprobe.readAllStandardOutput() + ffprobe.readAllStandardError());
    for (const QString& line : probe.output.split('\n')) {
        const QString value = line.section('=', 1);
        if (line.startsWith("nb_read_frames="))
            probe.framesRead = value.toLong();
        else if (line.startsWith("nb_frames="))
            probe.framesClaimed = value.toLong();
        else if (line.startsWith("duration="))
            probe.duration_s = value.toDouble();
    }
    return probe;
}

bool WaitFor(const std::function<bool()>& condition) {
    QDeadlineTimer deadline(kProgramWait_ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

// The folder on a small tmpfs of this test's own mount namespace, so a full
// disk is a real one without filling the machine's. Needs root, as CI has.
bool SmallDiskAt(const QString& folder) {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("tmpfs", folder.toUtf8().constData(), "tmpfs", 0, kSmallDisk) == 0;
}

bool UnderCi() {
    return qgetenv("CI") == "true";
}
} // namespace

// kill -KILL at a random moment of a recording: the next start keeps the
// working file under its final name and repairs it, so it lasts the time
// recorded and every frame decodes.
TEST(RecordingFaults, KilledRecordingIsKeptAndRepairedAtTheNextStart) {
    Home home;
    const QString folder = home.path("videos") + "/qeltv";
    std::mt19937 random(std::random_device{}());
    const int extra_ms = std::uniform_int_distribution<int>(0, kRandomRecording_ms)(random);
    std::cout << "killed after " << kShortestRecording_ms + extra_ms << " ms of recording\n";
    double recorded_s = 0;
    {
        ProgramRun first(home, {"14"});
        ASSERT_TRUE(first.waitForLog("graph mode 1")) << first.log().toStdString();
        // The recording runs once the working file holds frames.
        ASSERT_TRUE(WaitFor([&] { return QFileInfo(folder + "/capture.avi").size() > 65536; }));
        QElapsedTimer recording;
        recording.start();
        QThread::msleep(kShortestRecording_ms + extra_ms);
        first.signal(SIGKILL);
        // The time from the first frames written to the kill, and the frames
        // before them.
        recorded_s = recording.elapsed() / 1000.0;
        EXPECT_EQ(first.waitForExit(), -2);
    }
    ASSERT_TRUE(QFile::exists(folder + "/capture.avi"));
    ASSERT_FALSE(AviIsFinished((folder + "/capture.avi").toStdString()));
    ProgramRun next(home, {});
    ASSERT_TRUE(next.waitForLog("repair: The recording")) << next.log().toStdString();
    EXPECT_TRUE(next.log().contains("status: Repairing the recording")) << next.log().toStdString();
    EXPECT_TRUE(next.log().contains(" was repaired: ")) << next.log().toStdString();
    const QStringList kept = home.recordings();
    ASSERT_EQ(kept.size(), 1) << kept.join(", ").toStdString();
    const QString file = folder + "/" + kept[0];
    EXPECT_TRUE(AviIsFinished(file.toStdString()));
    const Probe probe = ProbeFile(file);
    EXPECT_GT(probe.framesRead, 0) << probe.output.toStdString();
    EXPECT_EQ(probe.framesRead, probe.framesClaimed) << probe.output.toStdString();
    // The frames written before the file passed 64 KB count too: the
    // duration lies between the measured time and a second more.
    EXPECT_NEAR(probe.duration_s, recorded_s, kDurationTolerance_s) << probe.output.toStdString();
    next.signal(SIGTERM);
    EXPECT_EQ(next.waitForExit(), 0);
}

// A full disk in the middle of a recording: the recording stops in order,
// the file is kept with its index and plays up to its last frame, the status
// bar and a balloon say why, the graph is back in preview and the program
// goes on.
TEST(RecordingFaults, FullDiskStopsTheRecordingInOrder) {
    Home home;
    const QString folder = home.path("videos") + "/qeltv";
    QDir().mkpath(folder);
    if (!SmallDiskAt(folder)) {
        if (UnderCi())
            FAIL() << "a small disk needs a private mount namespace (root)";
        GTEST_SKIP() << "a small disk needs a private mount namespace (root)";
    }
    ProgramRun run(home, {"2"});
    ASSERT_TRUE(run.waitForLog("graph mode 1")) << run.log().toStdString();
    ASSERT_TRUE(run.waitForLog("status: Recording stopped: ", kProgramWait_ms))
        << run.log().toStdString();
    EXPECT_TRUE(run.waitForLog("balloon: qEL TV | Recording stopped: ")) << run.log().toStdString();
    EXPECT_TRUE(run.log().contains("No space left")) << run.log().toStdString();
    ASSERT_TRUE(run.waitForLog("repair: The recording", kProgramWait_ms))
        << run.log().toStdString();
    EXPECT_TRUE(run.log().contains(" was repaired: ")) << run.log().toStdString();
    // Back in preview after the recording.
    const QString log = run.log();
    EXPECT_GT(log.lastIndexOf("graph mode 0"), log.indexOf("stream error in mode 1"))
        << log.toStdString();
    EXPECT_TRUE(run.running());

    const QStringList kept = home.recordings();
    ASSERT_EQ(kept.size(), 1) << kept.join(", ").toStdString();
    const QString file = folder + "/" + kept[0];
    EXPECT_TRUE(AviIsFinished(file.toStdString()));
    const Probe probe = ProbeFile(file);
    EXPECT_GT(probe.framesRead, 0) << probe.output.toStdString();
    EXPECT_EQ(probe.framesRead, probe.framesClaimed) << probe.output.toStdString();
    EXPECT_NEAR(probe.duration_s, probe.framesRead / 25.0, kDurationTolerance_s)
        << probe.output.toStdString();
    EXPECT_FALSE(QFile::exists(folder + "/capture.avi"));
    run.signal(SIGTERM);
    EXPECT_EQ(run.waitForExit(), 0) << run.log().toStdString();
    ::umount2(folder.toUtf8().constData(), MNT_DETACH);
}
