// The web server answering every request with the same 2 KiB page, for
// bench/http_server.sh to measure with wrk.
//
//   http_server_bench --page-file PATH   write the page, serve it, print
//                                        "port N", run until SIGINT/SIGTERM
//   http_server_bench --free-port        print a free loopback port and exit
#include "common/UniqueFd.h"
#include "web/HttpServer.h"

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t kPageBytes = 2048;
// The largest webcast client count, which is the web server's limit too.
constexpr int kMaxConnections = 255;

std::string makePage() {
    std::string page = "<html><head><title>qEL TV - Webcast</title></head><body>\r\n";
    const std::string closing = "</body></html>\r\n";
    const std::string row = "<p>Webcast is not active.</p>\r\n";
    while (page.size() + row.size() + closing.size() <= kPageBytes)
        page += row;
    page += std::string(kPageBytes - page.size() - closing.size(), ' ');
    return page + closing;
}

int printFreePort() {
    const qeltv::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        std::perror("free port");
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--free-port") == 0)
        return printFreePort();
    if (argc != 3 || std::strcmp(argv[1], "--page-file") != 0) {
        std::fprintf(stderr, "usage: %s --page-file PATH | --free-port\n", argv[0]);
        return 2;
    }
    const std::string page = makePage();
    std::ofstream(argv[2], std::ios::binary) << page;

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Blocked before the server's threads start, so they inherit the mask
    // and the signal reaches sigwait below.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::atomic<long> served = 0;
    qeltv::web::HttpServer server([&](qeltv::web::HttpConnection&, const qeltv::web::HttpRequest&,
                                      qeltv::web::HttpResponse& response) {
        response.body_text = page;
        served.fetch_add(1, std::memory_order_relaxed);
    });
    try {
        server.start(0, kMaxConnections);
    } catch (const qeltv::web::HttpServerError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::printf("port %d\n", server.port());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&signals, &signal);
    try {
        server.stop();
    } catch (const qeltv::web::HttpServerError& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::printf("served %ld\n", served.load());
    return 0;
}
