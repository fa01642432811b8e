#include "http.hpp"

#include "config.hpp"

#include <microhttpd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <memory>
#include <netdb.h>
#include <sys/select.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace zrqd {

unsigned connection_cap(unsigned long open_files) {
    // The plug-ins' buses, the LCD's line, the platform libraries' state and the journal need a
    // few descriptors; 64 leaves them room whatever clients hold.
    constexpr unsigned long reserve = 64;
    if (open_files <= reserve + 4) return 4;
    return static_cast<unsigned>(std::min<unsigned long>(open_files - reserve, 256));
}

namespace {

using Clock = std::chrono::steady_clock;

// One client connection as the deadline sweep sees it.
struct Conn {
    int fd = -1;
    Clock::time_point request_start;
    bool cut = false;
};

unsigned long open_files_limit() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return 1024;
    return static_cast<unsigned long>(r.rlim_cur);
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int release() { return std::exchange(fd, -1); }
};

// The listening socket, made here rather than by the library so that a refusal names the
// address and its reason, and so that SO_REUSEADDR alone is set: with SO_REUSEPORT a second
// zrqd on the same address would start too and the two would answer scrapes in turn.
int listen_socket(const std::string &host, int port, int &bound_port) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    const std::string service = std::to_string(port);
    if (const int r =
            ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
        r != 0)
        throw ListenError("the host \"" + host + "\" cannot be resolved: " + ::gai_strerror(r));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
    const std::string where = host_port(host, port);
    Fd sock(::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                     found->ai_protocol));
    if (sock.fd < 0) throw ListenError("cannot listen on " + where + ": " + std::strerror(errno));
    const int yes = 1;
    ::setsockopt(sock.fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(sock.fd, found->ai_addr, found->ai_addrlen) != 0)
        throw ListenError("cannot listen on " + where + ": " + std::strerror(errno));
    if (::listen(sock.fd, 64) != 0)
        throw ListenError("cannot listen on " + where + ": " + std::strerror(errno));
    sockaddr_storage name{};
    socklen_t len = sizeof name;
    ::getsockname(sock.fd, reinterpret_cast<sockaddr *>(&name), &len);
    bound_port = name.ss_family == AF_INET6
                     ? ntohs(reinterpret_cast<sockaddr_in6 *>(&name)->sin6_port)
                     : ntohs(reinterpret_cast<sockaddr_in *>(&name)->sin_port);
    return sock.release();
}

MHD_Result queue(MHD_Connection *c, int status, const char *type,
                 std::shared_ptr<const std::string> body, const char *allow = nullptr) {
    // The response owns a reference to the text until the library has sent it.
    auto *held = new std::shared_ptr<const std::string>(std::move(body));
    MHD_Response *r = MHD_create_response_from_buffer_with_free_callback_cls(
        (*held)->size(), const_cast<char *>((*held)->data()),
        [](void *p) { delete static_cast<std::shared_ptr<const std::string> *>(p); }, held);
    if (r == nullptr) {
        delete held;
        return MHD_NO;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (allow != nullptr) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, allow);
    const MHD_Result q = MHD_queue_response(c, static_cast<unsigned>(status), r);
    MHD_destroy_response(r);
    return q;
}

std::shared_ptr<const std::string> text(const char *s) {
    return std::make_shared<const std::string>(s);
}

bool has_body(MHD_Connection *c) {
    const char *length =
        MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) !=
               nullptr ||
           (length != nullptr && std::strcmp(length, "0") != 0);
}

} // namespace

struct HttpServer::State {
    HttpRoute route;
    MHD_Daemon *daemon = nullptr;
    int wake = -1;
    std::list<Conn> conns; // touched by the serving thread only
    std::chrono::seconds request_limit{30};

    static MHD_Result answer(void *cls, MHD_Connection *c, const char *url, const char *method,
                             const char *, const char *, size_t *upload_size, void **request) {
        auto *self = static_cast<State *>(cls);
        // The first call has the head only. An answer queued now is an early one, after which
        // the library closes the connection instead of reading on: right for a refusal, while
        // a request served is answered at the second call, keeping the connection for the
        // client's next (pipelined) request.
        if (*request == nullptr) {
            *request = self;
            const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
                             std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
            if (!get)
                return queue(c, MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain",
                             text("only GET and HEAD are served\n"), "GET, HEAD");
            // Nothing here takes a body: one is refused before it is read.
            if (has_body(c))
                return queue(c, MHD_HTTP_CONTENT_TOO_LARGE, "text/plain",
                             text("a request here has no body\n"));
            return MHD_YES;
        }
        if (*upload_size != 0) {
            *upload_size = 0;
            return MHD_YES;
        }
        HttpAnswer a;
        try {
            a = self->route(url);
        } catch (const std::exception &) {
            return queue(c, MHD_HTTP_INTERNAL_SERVER_ERROR, "text/plain",
                         text("the answer could not be made\n"));
        }
        if (!a.body) a.body = text("");
        return queue(c, a.status, a.content_type.c_str(), a.body);
    }

    static void connection(void *cls, MHD_Connection *c, void **context,
                           MHD_ConnectionNotificationCode code) {
        auto *self = static_cast<State *>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo *info =
                MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
            self->conns.push_back({info != nullptr ? info->connect_fd : -1, Clock::now()});
            *context = new std::list<Conn>::iterator(std::prev(self->conns.end()));
        } else if (*context != nullptr) {
            auto *it = static_cast<std::list<Conn>::iterator *>(*context);
            self->conns.erase(*it);
            delete it;
            *context = nullptr;
        }
    }

    // A request answered: the next one on this connection gets its own time.
    static void completed(void *, MHD_Connection *c, void **, MHD_RequestTerminationCode) {
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        if (info == nullptr || info->socket_context == nullptr) return;
        (*static_cast<std::list<Conn>::iterator *>(info->socket_context))->request_start =
            Clock::now();
    }

    // Cuts off every request past its time (shutdown, so that the library sees the end at its
    // next turn and closes the connection itself); returns the milliseconds until the next
    // one is due, -1 when none is.
    int sweep() {
        const auto now = Clock::now();
        auto next = Clock::time_point::max();
        for (Conn &conn : conns) {
            if (conn.cut || conn.fd < 0) continue;
            const auto due = conn.request_start + request_limit;
            if (due <= now) {
                ::shutdown(conn.fd, SHUT_RDWR);
                conn.cut = true;
            } else {
                next = std::min(next, due);
            }
        }
        if (next == Clock::time_point::max()) return -1;
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1);
    }
};

HttpServer::HttpServer(const std::string &host, int port, HttpRoute route, HttpLimits limits)
    : limits_(limits), state_(std::make_unique<State>()) {
    if (limits_.connections == 0) limits_.connections = connection_cap(open_files_limit());
    if (limits_.per_address == 0) limits_.per_address = std::max(1u, limits_.connections / 2);
    state_->route = std::move(route);
    state_->request_limit = std::chrono::seconds(limits_.request_s);
    Fd sock(listen_socket(host, port, port_));
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (wake.fd < 0 || wake.fd >= FD_SETSIZE)
        throw ListenError("cannot serve on " + host_port(host, port_) + ": " +
                          (wake.fd < 0 ? std::strerror(errno) : "too many descriptors open"));
    // One thread of ours drives the library by select(): a slow client costs a descriptor in
    // the set, never a thread, and the deadline sweep runs between the library's turns, when
    // no connection is being closed under it. Level-triggered on purpose: with the library's
    // epoll mode a client's end that came with its last bytes went unseen until the idle
    // time-out. The connection cap keeps the descriptors under select()'s 1024.
    state_->daemon = MHD_start_daemon(
        0, 0, nullptr, nullptr, &State::answer, state_.get(), MHD_OPTION_LISTEN_SOCKET, sock.fd,
        MHD_OPTION_CONNECTION_LIMIT, limits_.connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        limits_.per_address, MHD_OPTION_CONNECTION_TIMEOUT, limits_.idle_s,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.head_bytes, MHD_OPTION_NOTIFY_CONNECTION,
        &State::connection, state_.get(), MHD_OPTION_NOTIFY_COMPLETED, &State::completed,
        state_.get(), MHD_OPTION_END);
    if (state_->daemon == nullptr)
        throw ListenError("cannot serve on " + host_port(host, port_) +
                          ": the HTTP library refused to start");
    sock.release(); // the daemon's now
    state_->wake = wake.release();
    thread_ = std::thread([this] { run(); });
}

HttpServer::~HttpServer() {
    const uint64_t one = 1;
    if (::write(state_->wake, &one, sizeof one) < 0) { /* the thread then ends at its turn */
    }
    if (thread_.joinable()) thread_.join();
    MHD_stop_daemon(state_->daemon); // closes every connection and the listening socket
    ::close(state_->wake);
}

void HttpServer::run() {
    const int wake = state_->wake;
    for (;;) {
        fd_set rs, ws, es;
        FD_ZERO(&rs);
        FD_ZERO(&ws);
        FD_ZERO(&es);
        MHD_socket max = wake;
        FD_SET(wake, &rs);
        if (MHD_get_fdset(state_->daemon, &rs, &ws, &es, &max) != MHD_YES) break;
        int wait_ms = state_->sweep();
        MHD_UNSIGNED_LONG_LONG library_ms = 0;
        if (MHD_get_timeout(state_->daemon, &library_ms) == MHD_YES) {
            const int l = static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(library_ms, 60000));
            wait_ms = wait_ms < 0 ? l : std::min(wait_ms, l);
        }
        timeval tv{wait_ms / 1000, (wait_ms % 1000) * 1000};
        const int n = ::select(max + 1, &rs, &ws, &es, wait_ms < 0 ? nullptr : &tv);
        if (n < 0 && errno != EINTR) break;
        if (n > 0 && FD_ISSET(wake, &rs)) break;
        if (n < 0) continue;
        MHD_run_from_select(state_->daemon, &rs, &ws, &es);
    }
}

} // namespace zrqd
