// zrqd's HTTP endpoint: libmicrohttpd driven by one thread of ours, bounded against the
// clients a fleet's network brings (slow, idle, oversized, never reading, too many).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

struct MHD_Daemon;

namespace zrqd {

struct HttpAnswer {
    int status = 200;
    std::string content_type = "text/plain";
    // Shared, so that a scrape sends the poller's prepared text without copying it.
    std::shared_ptr<const std::string> body;
};

// What a GET (or HEAD) of a path answers.
using HttpRoute = std::function<HttpAnswer(const std::string &path)>;

struct HttpLimits {
    // Connections at once, and from one address; beyond them a connection is closed at once.
    // 0: from the descriptors this process may open, keeping a reserve for the hardware.
    unsigned connections = 0;
    unsigned per_address = 0;
    // A connection that moves no byte for this long is closed.
    unsigned idle_s = 10;
    // A request (its head and its answer) that has not completed in this long is cut off,
    // however slowly its client keeps it moving.
    unsigned request_s = 30;
    // Memory for one connection's request head; a larger head is answered 431.
    size_t head_bytes = 16 * 1024;
};

class HttpServer {
  public:
    // Listens on host:port (0: a free port); throws ListenError naming the address and what
    // was wrong with it.
    HttpServer(const std::string &host, int port, HttpRoute route, HttpLimits limits = {});
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    int port() const { return port_; }
    const HttpLimits &limits() const { return limits_; }

    struct State;

  private:
    void run();

    HttpLimits limits_;
    int port_ = 0;
    std::unique_ptr<State> state_;
    std::thread thread_;
};

// The connection cap for a process that may open `open_files` descriptors: what is left after
// a reserve for the plug-ins, the LCD and the platform libraries, at most 256.
unsigned connection_cap(unsigned long open_files);

} // namespace zrqd
