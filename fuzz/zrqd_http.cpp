// zrqd's HTTP endpoint, on any bytes a client may send: the service runs in this process on
// the shipped virtual platform, each input goes to it over a fresh loopback connection, and
// afterwards the endpoint must still answer /healthz. An answer, when there is one, is HTTP.
#include "log.hpp"
#include "service.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

zrqd::Service &service() {
    static std::unique_ptr<zrqd::Service> s = [] {
        setenv("PVQSMB_PLATFORM", ZRQ_SHIPPED_PLATFORM, 1);
        zrqd::set_log_sink([](zrqd::Level, const std::string &) {});
        zrqd::Config c;
        c.listen_port = 0;
        c.plugins = ZRQ_PLUGIN_DIR;
        c.poll_interval_ms = 1000;
        c.panel.enabled = false;
        auto made = std::make_unique<zrqd::Service>(c);
        made->start();
        return made;
    }();
    return *s;
}

// Sends `request` and reads the whole answer. `half_close` ends the sending side first, so that
// an unfinished request ends at once rather than at the server's idle time-out; a whole one is
// still answered.
std::string exchange(const std::string &request, bool half_close) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(service().port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // libFuzzer's own timers interrupt system calls: each is taken again, and an interrupted
    // connect starts over on a new socket.
    int fd = -1;
    for (;;) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            std::perror("socket");
            std::abort();
        }
        // The server closes a connection it has nothing more to say on; this bound only
        // catches a server that hangs.
        const timeval patience{30, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) break;
        if (errno != EINTR) {
            std::perror("connect to the service");
            std::abort();
        }
        close(fd);
    }
    for (size_t sent = 0; sent < request.size();) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // the server may close early on a request it refuses
        sent += static_cast<size_t>(n);
    }
    if (half_close) shutdown(fd, SHUT_WR);
    std::string answer;
    char buf[4096];
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string answer =
        exchange(std::string(reinterpret_cast<const char *>(data), size), true);
    if (!answer.empty() && answer.rfind("HTTP/1.1 ", 0) != 0) std::abort();
    const std::string health =
        exchange("GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", false);
    if (health.rfind("HTTP/1.1 200", 0) != 0) std::abort();
    return 0;
}
