// A raw TCP client for the web server tests: bytes in, bytes out, on
// 127.0.0.1, every wait bounded so that a fault fails a test instead of
// hanging it.
#pragma once

#include "common/UniqueFd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace qeltv::web::test {

inline constexpr int kClientWaitMs = 5000;

class TestClient {
public:
    explicit TestClient(std::uint16_t port) {
        fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd_)
            throw std::runtime_error("socket failed");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0)
            throw std::runtime_error("connect failed");
    }

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const auto n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0)
                throw std::runtime_error("send failed");
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    int fd() const { return fd_.get(); }

    // Ends the client's sending side; the server sees the client's close.
    void closeSending() { ::shutdown(fd_.get(), SHUT_WR); }

    // Everything up to the server's close. `closed` tells whether the close
    // came within the wait.
    std::string readAll(bool* closed = nullptr, int wait_ms = kClientWaitMs) {
        std::string received;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        bool ended = false;
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd ready{fd_.get(), POLLIN, 0};
            if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buffer[65536];
            const auto n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
            if (n <= 0) {
                ended = true;
                break;
            }
            received.append(buffer, static_cast<std::size_t>(n));
        }
        if (closed)
            *closed = ended;
        return received;
    }

    // True when the server closed the connection within the wait without
    // sending anything.
    bool closedWithoutReply(int wait_ms = kClientWaitMs) {
        bool closed = false;
        const auto received = readAll(&closed, wait_ms);
        return closed && received.empty();
    }

private:
    UniqueFd fd_;
};

// Sends one request and returns everything the server answers until it closes.
inline std::string exchange(std::uint16_t port, std::string_view request) {
    TestClient client(port);
    client.send(request);
    return client.readAll();
}

} // namespace qeltv::web::test
