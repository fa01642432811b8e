// zrqd's HTTP endpoint against the clients a fleet's network brings: each row holds some
// misbehaving connections, checks what they get, and then a scrape from another address must
// be answered in full while they are still held; the server is stopped with them held.
#include "http.hpp"
#include "http_client.hpp"

#include <gtest/gtest.h>

#include <poll.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using zrqtest::HttpConn;

const auto kMetrics = std::make_shared<const std::string>(std::string(200000, 'm') + "\n");

zrqd::HttpRoute route() {
    return [](const std::string &path) -> zrqd::HttpAnswer {
        if (path == "/metrics") return {200, "text/plain", kMetrics};
        return {404, "text/plain", std::make_shared<const std::string>("not found\n")};
    };
}

struct Hostile {
    const char *name;
    zrqd::HttpLimits limits;
    // Opens and drives the misbehaving connections, checking what they are answered; they stay
    // open until the row ends.
    std::function<void(int port, std::vector<HttpConn> &held)> act;
};

const std::string kGet = "GET /metrics HTTP/1.1\r\nHost: zrqd\r\n\r\n";

// Connections that began a request and send nothing more, as a client sending one header line
// every few seconds is between its lines.
void slow_heads(int port, std::vector<HttpConn> &held) {
    for (int i = 0; i < 20; ++i) {
        held.emplace_back(port);
        ASSERT_TRUE(held.back().send("GET /metrics HTTP/1.1\r\nX-Slow: 1\r\n"));
    }
}

void idle(int port, std::vector<HttpConn> &held) {
    for (int i = 0; i < 50; ++i) held.emplace_back(port);
}

void oversized_head(int port, std::vector<HttpConn> &held) {
    HttpConn &c = held.emplace_back(port);
    std::string head = "GET /metrics HTTP/1.1\r\n";
    while (head.size() < 64 * 1024) head += "X-Filler: " + std::string(100, 'f') + "\r\n";
    c.send(head + "\r\n");
    const auto r = c.reply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 431);
    EXPECT_TRUE(c.closed_by_server());
}

void announced_body(int port, std::vector<HttpConn> &held) {
    HttpConn &c = held.emplace_back(port);
    c.send("GET /metrics HTTP/1.1\r\nHost: zrqd\r\nContent-Length: 200000000\r\n\r\n" +
           std::string(4096, 'b'));
    const auto r = c.reply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 413);
    EXPECT_TRUE(c.closed_by_server());
}

// Asks for the large answer again and again and never reads a byte of it.
void never_reads(int port, std::vector<HttpConn> &held) {
    for (int i = 0; i < 4; ++i) {
        HttpConn &c = held.emplace_back(port);
        std::string many;
        for (int n = 0; n < 50; ++n) many += kGet;
        c.send(many);
    }
}

// Beyond the cap from one address, a connection is closed at once; the others keep theirs.
void over_the_cap(int port, std::vector<HttpConn> &held) {
    held.emplace_back(port);
    held.emplace_back(port);
    HttpConn &third = held.emplace_back(port);
    EXPECT_TRUE(third.closed_by_server());
    EXPECT_EQ(held[0].get("/metrics")->status, 200);
}

void half_closed(int port, std::vector<HttpConn> &held) {
    HttpConn &c = held.emplace_back(port);
    c.send(kGet);
    c.half_close();
    const auto r = c.reply();
    ASSERT_TRUE(r) << "no answer to a request whose client then ended its sending side";
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body.size(), kMetrics->size());
}

void pipelined(int port, std::vector<HttpConn> &held) {
    HttpConn &c = held.emplace_back(port);
    c.send(kGet + "GET /nothing HTTP/1.1\r\nHost: zrqd\r\n\r\n" + kGet);
    for (const int want : {200, 404, 200}) {
        const auto r = c.reply();
        ASSERT_TRUE(r) << "a pipelined request went unanswered";
        EXPECT_EQ(r->status, want);
    }
}

// A client that keeps a request moving, a byte now and then, is cut off at the request's
// deadline however patient the idle time-out is.
void trickles(int port, std::vector<HttpConn> &held) {
    HttpConn &c = held.emplace_back(port);
    c.send("GET /metrics HTTP/1.1\r\n");
    bool cut = false;
    for (int i = 0; i < 1000 && !cut; ++i) {
        if (!c.send("X")) cut = true;
        pollfd p{c.fd(), POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) cut = c.closed_by_server();
    }
    EXPECT_TRUE(cut) << "a trickling request was never cut off";
}

void idle_closed(int port, std::vector<HttpConn> &held) {
    HttpConn &c = held.emplace_back(port);
    EXPECT_TRUE(c.closed_by_server());
}

zrqd::HttpLimits limits(unsigned connections, unsigned per_address, unsigned idle_s = 60,
                        unsigned request_s = 60) {
    zrqd::HttpLimits l;
    l.connections = connections;
    l.per_address = per_address;
    l.idle_s = idle_s;
    l.request_s = request_s;
    return l;
}

const Hostile kHostile[] = {
    {"slow request heads", limits(256, 128), slow_heads},
    {"idle connections", limits(256, 128), idle},
    {"an oversized request head", limits(256, 128), oversized_head},
    {"a body of 200 MB announced", limits(256, 128), announced_body},
    {"clients that never read", limits(256, 128), never_reads},
    {"more connections than the cap", limits(4, 2), over_the_cap},
    {"a half-closed request", limits(256, 128), half_closed},
    {"pipelined requests", limits(256, 128), pipelined},
    {"a trickling request", limits(256, 128, 60, 1), trickles},
    {"an idle connection", limits(256, 128, 1), idle_closed},
};

TEST(ZrqdHttp, HostileClientsNeitherDelayAScrapeNorHoldTheStop) {
    for (const Hostile &h : kHostile) {
        SCOPED_TRACE(h.name);
        auto server = std::make_unique<zrqd::HttpServer>("127.0.0.1", 0, route(), h.limits);
        std::vector<HttpConn> held;
        held.reserve(64);
        h.act(server->port(), held);
        HttpConn scrape(server->port(), "127.0.0.2");
        const auto r = scrape.get("/metrics");
        ASSERT_TRUE(r) << "no answer to a scrape beside them";
        EXPECT_EQ(r->status, 200);
        EXPECT_EQ(r->body, *kMetrics);
        server.reset(); // with every misbehaving connection still held
        for (HttpConn &c : held) {
            if (c.ok()) {
                EXPECT_TRUE(c.closed_by_server());
            }
        }
    }
}

TEST(ZrqdHttp, MethodsOtherThanGetAndHeadAreRefusedNamingTheAllowedOnes) {
    zrqd::HttpServer server("127.0.0.1", 0, route());
    HttpConn c(server.port());
    c.send("HEAD /metrics HTTP/1.1\r\nHost: zrqd\r\n\r\n");
    const auto head = c.reply(true);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    c.send("DELETE /metrics HTTP/1.1\r\nHost: zrqd\r\n\r\n");
    const auto del = c.reply();
    ASSERT_TRUE(del);
    EXPECT_EQ(del->status, 405);
    EXPECT_NE(del->head.find("Allow: GET, HEAD"), std::string::npos) << del->head;
}

TEST(ZrqdHttp, TheConnectionCapKeepsAReserveOfDescriptors) {
    EXPECT_EQ(zrqd::connection_cap(1024), 256u);
    EXPECT_EQ(zrqd::connection_cap(128), 64u);
    EXPECT_EQ(zrqd::connection_cap(20), 4u);
}

} // namespace
