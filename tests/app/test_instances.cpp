// The single-instance rule and the relay, with real processes.
#include "settings/RegStore.h"
#include "tests/app/ProgramRun.h"
#include "tests/settings/TempDir.h"

#include <QFileInfo>
#include <QLocalSocket>
#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace qeltv;
using namespace qeltv::test;

namespace {
// The exit status of a relay whose recording was not made.
constexpr int kExitNotRecorded = 3;
// An AVI file grows past its headers once frames are written to it.
constexpr qint64 kFramesWritten_bytes = 256 * 1024;
constexpr int kRecordingWait_ms = 60000;

// Waits until the working file of the recording holds frames: the graph
// runs, rather than only having been built.
bool WaitForRecordedFrames(const Home& home) {
    const QString file = home.path("videos") + "/qeltv/capture.avi";
    QDeadlineTimer deadline(kRecordingWait_ms);
    while (QFileInfo(file).size() < kFramesWritten_bytes) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}
} // namespace

TEST(Instances, SecondInstanceAndRelay) {
    Home home;
    ProgramRun first(home, {});
    ASSERT_TRUE(first.waitForLog("first instance, window shown")) << first.log().toStdString();
    EXPECT_TRUE(first.log().contains("splash: Version: 1.0.0.160"));

    // Without arguments: ends at once, says nothing to the first.
    ProgramRun second(home, {});
    EXPECT_EQ(second.waitForExit(), 0);

    // With an argument: relays start, stays, relays stop when asked to close.
    ProgramRun relay(home, {"7"});
    ASSERT_TRUE(first.waitForLog("command QelTVStartRec 7 in mode 0"));
    QThread::msleep(300);
    EXPECT_TRUE(relay.running());
    relay.signal(SIGTERM);
    EXPECT_EQ(relay.waitForExit(), 0);
    EXPECT_TRUE(first.waitForLog("command QelTVStopRec 0 in mode 1"));
    EXPECT_TRUE(first.waitForLog("recording finished as"));
    EXPECT_EQ(home.recordings().size(), 1u);

    // Not an integer: channel 1.
    ProgramRun abc(home, {"abc", "9"});
    EXPECT_TRUE(first.waitForLog("command QelTVStartRec 1 in mode 0"));
    abc.signal(SIGHUP);
    EXPECT_EQ(abc.waitForExit(), 0);
    // A relay shows no splash.
    EXPECT_FALSE(abc.log().contains("splash"));
    EXPECT_TRUE(first.waitForLog("command QelTVStopRec 0 in mode 1", 15000, 2));
    EXPECT_TRUE(first.waitForLog("recording finished as", 15000, 2));

    // A relay's recording that another program stops: the relay hears
    // that its recording ended before its time, and its own end says so.
    ProgramRun stopped(home, {"8"});
    ASSERT_TRUE(first.waitForLog("answered \"accepted", 15000, 3)) << first.log().toStdString();
    {
        QLocalSocket socket;
        socket.connectToServer(home.path("run") + "/qeltv/QELTV.sock");
        ASSERT_TRUE(socket.waitForConnected(5000));
        socket.write("QelTVStopRec\n");
        ASSERT_TRUE(socket.waitForBytesWritten(5000));
        ASSERT_TRUE(stopped.waitForLog("relay: waiting for the running instance to end"))
            << stopped.log().toStdString();
    }
    stopped.signal(SIGTERM);
    EXPECT_EQ(stopped.waitForExit(), kExitNotRecorded);
    EXPECT_TRUE(stopped.log().contains("qeltv: channel 8 was recorded only in part: the running "
                                       "instance ended the recording before its time"))
        << stopped.log().toStdString();
    EXPECT_EQ(home.recordings().size(), 3u);

    // The second instance without arguments sent nothing.
    EXPECT_EQ(first.log().count("received"), 6) << first.log().toStdString();
    first.signal(SIGTERM);
    EXPECT_EQ(first.waitForExit(), 0);
    EXPECT_TRUE(first.log().contains("shutdown"));
}

// A relay that reaches no first instance ends at once and posts nothing; a
// first instance with an argument starts hidden and records from its own
// command; closing it saves every setting.
TEST(Instances, FirstInstanceWithArgumentAndSettingsAtClose) {
    Home home;
    {
        ProgramRun first(home, {"5"});
        ASSERT_TRUE(first.waitForLog("first instance, window hidden"));
        ASSERT_TRUE(first.waitForLog("command QelTVStartRec 5 in mode 0"));
        ASSERT_TRUE(first.waitForLog("graph mode 1"));
        ASSERT_TRUE(WaitForRecordedFrames(home));
        // Closed while recording: the file is finished under its final name.
        first.signal(SIGTERM);
        EXPECT_EQ(first.waitForExit(), 0);
        EXPECT_TRUE(first.log().contains("recording finished as"));
    }
    EXPECT_EQ(home.recordings().size(), 1u);
    EXPECT_FALSE(QFile::exists(home.path("videos") + "/qeltv/capture.avi"));
    RegFile saved(home.userStore(), "HKEY_CURRENT_USER");
    saved.load();
    const auto names = saved.valueNames("Software\\Qel\\QelTV");
    EXPECT_EQ(names.size(), 18u);
    EXPECT_EQ(names.front(), "VideoCapDev");
    EXPECT_EQ(names.back(), "TuningSpace");
    EXPECT_TRUE(saved.keyExists("Software\\Qel\\QelTV\\Channels"));

    // The relayed start set the current channel. A value edited by hand, its
    // name in other letters, is read at the next start (and so written back
    // at its close).
    std::string text = ReadFile(home.userStore());
    const auto at = text.find("\"CurrentChannel\"=dword:00000005");
    ASSERT_NE(at, std::string::npos) << text;
    text.replace(at, 31, "\"currentCHANNEL\"=dword:00000009");
    WriteFile(home.userStore(), text);
    {
        ProgramRun first(home, {});
        ASSERT_TRUE(first.waitForLog("first instance, window shown"));
        first.signal(SIGINT);
        EXPECT_EQ(first.waitForExit(), 0);
    }
    RegFile again(home.userStore(), "HKEY_CURRENT_USER");
    again.load();
    EXPECT_EQ(std::get<std::uint32_t>(*again.value("Software\\Qel\\QelTV", "CurrentChannel")), 9u);
    EXPECT_EQ(again.valueNames("Software\\Qel\\QelTV")[16], "currentCHANNEL");
}

TEST(Instances, RelayWithoutFirstInstanceAndStaleSocket) {
    Home home;
    home.makeRuntimeDir();
    const QString lockPath = home.path("run") + "/qeltv/QELTV.lock";
    {
        // The lock is held but nobody answers: the relay ends once it has
        // waited for a first instance that might still be starting, and
        // says that nothing was recorded.
        int fd = ::open(lockPath.toLocal8Bit().constData(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);
        ProgramRun orphan(home, {"4"});
        EXPECT_EQ(orphan.waitForExit(), kExitNotRecorded);
        EXPECT_TRUE(orphan.log().contains("relay: first instance found: false"));
        EXPECT_TRUE(orphan.log().contains(
            "qeltv: channel 4 was not recorded: the running instance does not answer"))
            << orphan.log().toStdString();
        ::close(fd);
    }
    // A socket file left by a crashed instance is replaced by the next one.
    QFile stale(home.path("run") + "/qeltv/QELTV.sock");
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    ProgramRun first(home, {"3"});
    ASSERT_TRUE(first.waitForLog("first instance, window hidden"));
    ASSERT_TRUE(first.waitForLog("graph mode 1"));
    ProgramRun relay(home, {"4"});
    EXPECT_TRUE(first.waitForLog("command QelTVStartRec 4"));
    // It is recording channel 3 already: the second start gets the balloon
    // and a refusal, and the relay waits for the instance to end.
    EXPECT_TRUE(first.waitForLog("command QelTVStartRec 4 in mode 1"));
    EXPECT_TRUE(first.waitForLog("balloon: qEL TV | Could not start recording... | icon 3"));
    EXPECT_TRUE(first.waitForLog("answered \"refused a recording is in progress\""));
    ASSERT_TRUE(relay.waitForLog("relay: waiting for the running instance to end"));
    relay.signal(SIGTERM);
    EXPECT_EQ(relay.waitForExit(), kExitNotRecorded);
    EXPECT_TRUE(
        relay.log().contains("qeltv: channel 4 was not recorded: a recording is in progress"))
        << relay.log().toStdString();
    // The refused relay's end does not touch the recording of channel 3.
    QThread::msleep(1000);
    EXPECT_FALSE(first.log().contains("command QelTVStopRec")) << first.log().toStdString();
    EXPECT_FALSE(first.log().contains("recording finished as"));
    // A stop that names no recording (another program's) ends it.
    {
        QLocalSocket socket;
        socket.connectToServer(home.path("run") + "/qeltv/QELTV.sock");
        ASSERT_TRUE(socket.waitForConnected(5000));
        socket.write("QelTVStopRec\n");
        ASSERT_TRUE(socket.waitForBytesWritten(5000));
        ASSERT_TRUE(first.waitForLog("recording finished as"));
    }
    // Killed while recording channel 6 for a relay: the lock goes with the
    // process. The relay still owns its time: it becomes the first instance,
    // keeps the working file under a final name instead of deleting it, and
    // records the rest of its time.
    ProgramRun again(home, {"6"});
    ASSERT_TRUE(first.waitForLog("graph mode 1", 15000, 2));
    ASSERT_TRUE(WaitForRecordedFrames(home));
    first.signal(SIGKILL);
    first.waitForExit();
    ASSERT_TRUE(again.waitForLog("relay: starting as the first instance"))
        << again.log().toStdString();
    ASSERT_TRUE(again.waitForLog("interrupted recording kept as")) << again.log().toStdString();
    ASSERT_TRUE(again.waitForLog("graph mode 1")) << again.log().toStdString();
    again.signal(SIGTERM);
    EXPECT_EQ(again.waitForExit(), 0) << again.log().toStdString();
    EXPECT_EQ(home.recordings().size(), 3u) << home.recordings().join(", ").toStdString();
}

namespace {
// Reads one line (without its end) from a socket, waiting at most
// `timeout_ms` for it; empty when none came.
std::string ReadLine(int fd, int timeout_ms) {
    std::string line;
    QDeadlineTimer deadline(timeout_ms);
    while (!deadline.hasExpired()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
            break;
        char c = 0;
        if (::read(fd, &c, 1) != 1)
            break;
        if (c == '\n')
            return line;
        line += c;
    }
    return {};
}
} // namespace

// The first instance takes the lock before it listens on the socket. A relay
// that comes in between (a scheduled start while the desktop instance is
// still starting) waits for the socket instead of dropping its command.
TEST(Instances, RelayWaitsForAFirstInstanceThatIsStillStarting) {
    constexpr int kWait_ms = 15000;
    Home home;
    const QString runtime = home.makeRuntimeDir();
    // This test stands in for the starting first instance: the lock is
    // held, the socket comes later.
    int lockFd = ::open((runtime + "/QELTV.lock").toLocal8Bit().constData(),
                        O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lockFd, 0);
    ASSERT_EQ(::flock(lockFd, LOCK_EX), 0);

    ProgramRun relay(home, {"4"});
    ASSERT_TRUE(relay.waitForLog("relay: the first instance does not listen yet"))
        << relay.log().toStdString();

    const std::string socketPath = (runtime + "/QELTV.sock").toStdString();
    int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(server, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(server, 1), 0);

    pollfd incoming{server, POLLIN, 0};
    ASSERT_EQ(::poll(&incoming, 1, kWait_ms), 1) << relay.log().toStdString();
    int peer = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(ReadLine(peer, kWait_ms), "QelTVStartRec 4");
    // The stop names the recording that the answer named.
    const std::string accepted = "accepted 4711.2\n";
    ASSERT_EQ(::write(peer, accepted.data(), accepted.size()), ssize_t(accepted.size()));
    ASSERT_TRUE(relay.waitForLog("relay: recording \"4711.2\" started"));
    EXPECT_TRUE(relay.running());
    relay.signal(SIGTERM);
    EXPECT_EQ(ReadLine(peer, kWait_ms), "QelTVStopRec 4711.2");
    EXPECT_EQ(relay.waitForExit(), 0);
    EXPECT_TRUE(relay.log().contains("relay: first instance found: true"));
    ::close(peer);

    // Refused by an instance that then ends: the relay becomes the first
    // instance and records its channel itself.
    ProgramRun refused(home, {"5"});
    ASSERT_EQ(::poll(&incoming, 1, kWait_ms), 1) << refused.log().toStdString();
    peer = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(ReadLine(peer, kWait_ms), "QelTVStartRec 5");
    const std::string refusal = "refused a recording is in progress\n";
    ASSERT_EQ(::write(peer, refusal.data(), refusal.size()), ssize_t(refusal.size()));
    ASSERT_TRUE(refused.waitForLog("relay: waiting for the running instance to end"));
    QThread::msleep(500);
    EXPECT_FALSE(refused.log().contains("starting as the first instance"));
    ::close(peer);

    // An instance that closes before it answers (its shutdown has begun):
    // the relay waits for it to end too, and is told nothing was recorded
    // when it is asked to close first.
    ProgramRun unanswered(home, {"6"});
    ASSERT_EQ(::poll(&incoming, 1, kWait_ms), 1) << unanswered.log().toStdString();
    peer = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(ReadLine(peer, kWait_ms), "QelTVStartRec 6");
    ::close(peer);
    ASSERT_TRUE(unanswered.waitForLog("relay: waiting for the running instance to end"));
    unanswered.signal(SIGTERM);
    EXPECT_EQ(unanswered.waitForExit(), kExitNotRecorded);
    EXPECT_TRUE(unanswered.log().contains("qeltv: channel 6 was not recorded: the running "
                                          "instance closed before it answered"))
        << unanswered.log().toStdString();

    // An instance that accepts the start and then ends that recording
    // early (it closed, or the recording was stopped there) closes the
    // relay's connection: the relay does not count that as done but waits
    // to record the rest, and asked to close first, it says that its
    // channel was recorded only in part.
    ProgramRun cut(home, {"7"});
    ASSERT_EQ(::poll(&incoming, 1, kWait_ms), 1) << cut.log().toStdString();
    peer = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(ReadLine(peer, kWait_ms), "QelTVStartRec 7");
    const std::string acceptedCut = "accepted 4711.3\n";
    ASSERT_EQ(::write(peer, acceptedCut.data(), acceptedCut.size()), ssize_t(acceptedCut.size()));
    ASSERT_TRUE(cut.waitForLog("relay: recording \"4711.3\" started"));
    ::close(peer);
    ASSERT_TRUE(cut.waitForLog("relay: waiting for the running instance to end"))
        << cut.log().toStdString();
    cut.signal(SIGTERM);
    EXPECT_EQ(cut.waitForExit(), kExitNotRecorded);
    EXPECT_TRUE(cut.log().contains("qeltv: channel 7 was recorded only in part: the running "
                                   "instance ended the recording before its time"))
        << cut.log().toStdString();
    ::close(server);
    ::unlink(socketPath.c_str());
    ::close(lockFd);
    ASSERT_TRUE(refused.waitForLog("relay: starting as the first instance", kWait_ms))
        << refused.log().toStdString();
    ASSERT_TRUE(refused.waitForLog("command QelTVStartRec 5 in mode 0", kWait_ms));
    ASSERT_TRUE(refused.waitForLog("graph mode 1", kWait_ms));
    ASSERT_TRUE(WaitForRecordedFrames(home));
    refused.signal(SIGTERM);
    EXPECT_EQ(refused.waitForExit(), 0) << refused.log().toStdString();
    EXPECT_EQ(home.recordings().size(), 1u);
}
