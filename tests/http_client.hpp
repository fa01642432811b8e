// A loopback HTTP/1.1 client small enough to misbehave on purpose: the tests and the benchmark
// use it for scrapes and for the slow, idle and oversized clients they hold beside them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

namespace zrqtest {

struct HttpReply {
    int status = 0;
    std::string head;
    std::string body;
};

class HttpConn {
  public:
    // Connects to 127.0.0.1:port from `from` (any 127/8 address is the loopback's, so a test
    // can be a second client address). `patience_s` only catches a server that hangs.
    explicit HttpConn(int port, const char *from = "127.0.0.1", int patience_s = 120) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &src.sin_addr);
        ::bind(fd_, reinterpret_cast<sockaddr *>(&src), sizeof src);
        const timeval patience{patience_s, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
        const int yes = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) close();
    }
    ~HttpConn() { close(); }
    HttpConn(HttpConn &&o) noexcept : fd_(std::exchange(o.fd_, -1)), buf_(std::move(o.buf_)) {}
    HttpConn(const HttpConn &) = delete;
    HttpConn &operator=(const HttpConn &) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void half_close() { ::shutdown(fd_, SHUT_WR); }

    bool send(const std::string &bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // One answer (its body by Content-Length); nothing when the server closed or hung.
    std::optional<HttpReply> reply(bool to_head = false) {
        size_t end;
        while ((end = buf_.find("\r\n\r\n")) == std::string::npos)
            if (!fill()) return std::nullopt;
        HttpReply r;
        r.head = buf_.substr(0, end + 2);
        buf_.erase(0, end + 4);
        if (r.head.rfind("HTTP/1.1 ", 0) != 0) return std::nullopt;
        r.status = std::atoi(r.head.c_str() + 9);
        size_t length = 0;
        if (const size_t at = lower(r.head).find("\r\ncontent-length:"); at != std::string::npos)
            length = std::strtoul(r.head.c_str() + at + 17, nullptr, 10);
        if (to_head) length = 0;
        while (buf_.size() < length)
            if (!fill()) return std::nullopt;
        r.body = buf_.substr(0, length);
        buf_.erase(0, length);
        return r;
    }

    std::optional<HttpReply> get(const std::string &path, const std::string &extra = "") {
        if (!send("GET " + path + " HTTP/1.1\r\nHost: zrqd\r\n" + extra + "\r\n"))
            return std::nullopt;
        return reply();
    }

    // True when the server closed the connection (a read that ends), false on a time-out.
    bool closed_by_server() {
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) continue;
            return n == 0 || errno == ECONNRESET;
        }
    }

  private:
    static std::string lower(std::string s) {
        for (char &c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        return s;
    }
    bool fill() {
        char chunk[16384];
        for (;;) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buf_.append(chunk, static_cast<size_t>(n));
            return true;
        }
    }
    int fd_ = -1;
    std::string buf_;
};

} // namespace zrqtest
