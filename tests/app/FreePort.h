// A TCP port on this machine that nobody listens on now. Only for the
// webcast, whose port must be known before it listens: the web pages and the
// caption name the configured port, and to the webcast writer port 0 means
// "no network sink". Servers that can take port 0 and say which port they
// got (the web server) are started that way instead, without the race of a
// number that another process may take in the meantime.
#pragma once

#include "common/UniqueFd.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace qeltv::test {

inline int FreePort() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t length = sizeof a;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

} // namespace qeltv::test
