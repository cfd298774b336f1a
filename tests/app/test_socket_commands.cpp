// Commands that another program of the user writes to the running instance's
// socket, one a line, as socat would: the webcast commands change the graph
// mode, garbage and over-long lines are ignored without harm to the lines
// after them.
#include "app/session/Commands.h"
#include "tests/app/ProgramRun.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace qeltv;
using namespace qeltv::test;

namespace {

// A connection to the instance's command socket; -1 when refused.
int ConnectToInstance(const Home& home) {
    const std::string path = (home.path("run") + "/qeltv/QELTV.sock").toStdString();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    path.copy(address.sun_path, path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

} // namespace

TEST(SocketCommands, WebcastCommandsAndBadLinesFromAnotherProgram) {
    Home home;
    ProgramRun first(home, {});
    ASSERT_TRUE(first.waitForLog("first instance, window shown")) << first.log().toStdString();
    ASSERT_TRUE(first.waitForLog("graph mode 0"));
    const int fd = ConnectToInstance(home);
    ASSERT_GE(fd, 0);

    // Garbage, then a line far beyond the limit whose end is a valid
    // command: neither may act, and the connection keeps working.
    ASSERT_TRUE(SendAll(fd, "Hello there\n"));
    EXPECT_TRUE(first.waitForLog("ignored a command line of 11 bytes"));
    const std::string overLong(4 * kMaxCommandLineBytes, 'x');
    ASSERT_TRUE(SendAll(fd, overLong));
    EXPECT_TRUE(first.waitForLog("ignored an over-long command line"));
    ASSERT_TRUE(SendAll(fd, "QelTVStartWebcast\n"));

    ASSERT_TRUE(SendAll(fd, "QelTVStartWebcast\r\n"));
    EXPECT_TRUE(first.waitForLog("command QelTVStartWebcast 0 in mode 0"));
    EXPECT_TRUE(first.waitForLog("graph mode 2")) << first.log().toStdString();
    ASSERT_TRUE(SendAll(fd, "QelTVStopWebcast\n"));
    EXPECT_TRUE(first.waitForLog("command QelTVStopWebcast 0 in mode 2"));
    EXPECT_TRUE(first.waitForLog("graph mode 0", 15000, 2)) << first.log().toStdString();
    ::close(fd);

    first.signal(SIGTERM);
    EXPECT_EQ(first.waitForExit(), 0);
    // Only the two webcast lines were taken as commands.
    EXPECT_EQ(first.log().count("received"), 2) << first.log().toStdString();
    EXPECT_EQ(first.log().count("graph mode 2"), 1);
}
