/* The HTTP CONNECT front door's request parser: what it relays, what it
 * refuses with which status, whatever the pieces the bytes arrive in. */
#include <gtest/gtest.h>

#include <string>

#include "http_connect.h"

using gw::HttpConnectHandshake;
using gw::SocksAddressType;
using gw::SocksStatus;

namespace {

struct Outcome {
    SocksStatus status = SocksStatus::NeedMore;
    int code = 0;
    std::string reply, host, user, leftover;
    uint16_t port = 0;
    SocksAddressType type = SocksAddressType::Domain;
    bool authenticated = false;
};

/* Feeds `bytes` in pieces of `piece` bytes (0: at once) until the parser
 * decides; the leftover is what it kept after the head and what was never
 * fed, as the relay forwards both. */
Outcome run(const std::string &bytes, bool passwords, size_t piece = 0)
{
    HttpConnectHandshake h(passwords, [](const std::string &u, const std::string &p) {
        return u == "alice" && p == "secret";
    });
    Outcome o;
    size_t step = piece ? piece : bytes.size(), at = 0;
    for (; at < bytes.size() && o.status == SocksStatus::NeedMore; at += step) {
        std::string part = bytes.substr(at, step);
        o.status = h.feed(reinterpret_cast<const uint8_t *>(part.data()), part.size());
    }
    o.code = h.status();
    o.reply = h.take_reply();
    o.host = h.target().host;
    o.port = h.target().port;
    o.type = h.target().type;
    o.user = h.target().user;
    o.authenticated = h.target().authenticated;
    o.leftover = h.take_leftover() + (at < bytes.size() ? bytes.substr(at) : "");
    return o;
}

const std::string kAlice = "Proxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n"; /* alice:secret */

TEST(HttpConnect, RequestsThatAreRelayed)
{
    struct Row {
        const char *why;
        std::string bytes;
        bool passwords;
        std::string host;
        uint16_t port;
        SocksAddressType type;
        std::string user, leftover;
    };
    const Row rows[] = {
        {"a name", "CONNECT ns.example:1863 HTTP/1.1\r\nHost: ns.example:1863\r\n\r\n", false, "ns.example", 1863,
         SocksAddressType::Domain, "", ""},
        {"HTTP/1.0, an address", "CONNECT 10.0.0.1:443 HTTP/1.0\r\n\r\n", false, "10.0.0.1", 443,
         SocksAddressType::IPv4, "", ""},
        {"IPv6", "CONNECT [2001:db8::7]:1863 HTTP/1.1\r\n\r\n", false, "2001:db8::7", 1863,
         SocksAddressType::IPv6, "", ""},
        {"bytes after the head", "CONNECT h:1863 HTTP/1.1\r\n\r\nVER 1 MSNP8 CVR0\r\n", false, "h", 1863,
         SocksAddressType::Domain, "", "VER 1 MSNP8 CVR0\r\n"},
        {"a checked login", "CONNECT h:1863 HTTP/1.1\r\n" + kAlice + "\r\n", true, "h", 1863,
         SocksAddressType::Domain, "alice", ""},
        {"a login read for its name", "CONNECT h:1863 HTTP/1.1\r\nproxy-authorization:  basic  YWxpY2U6eA==\r\n\r\n",
         false, "h", 1863, SocksAddressType::Domain, "alice", ""},
    };
    for (const Row &r : rows)
        for (size_t piece : {size_t(0), size_t(1), size_t(7)}) {
            SCOPED_TRACE(std::string(r.why) + ", pieces of " + std::to_string(piece));
            Outcome o = run(r.bytes, r.passwords, piece);
            ASSERT_EQ(o.status, SocksStatus::Request) << o.reply;
            EXPECT_EQ(o.reply, "");
            EXPECT_EQ(o.host, r.host);
            EXPECT_EQ(o.port, r.port);
            EXPECT_EQ(o.type, r.type);
            EXPECT_EQ(o.user, r.user);
            EXPECT_EQ(o.authenticated, r.passwords);
            EXPECT_EQ(o.leftover, r.leftover);
        }
    HttpConnectHandshake h;
    EXPECT_EQ(h.success_reply(nullptr, 4, 0), "HTTP/1.1 200 Connection established\r\n\r\n");
    EXPECT_EQ(h.failure_reply(gw::SOCKS_NOT_ALLOWED).rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u);
    EXPECT_EQ(h.failure_reply(gw::SOCKS_CONNECTION_REFUSED).rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u);
}

TEST(HttpConnect, HostileOrWrongRequestsGetTheirStatus)
{
    struct Row {
        const char *why;
        std::string bytes;
        bool passwords;
        int code;
    };
    const Row rows[] = {
        {"another method", "GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n", false, 405},
        {"port 0", "CONNECT h:0 HTTP/1.1\r\n\r\n", false, 400},
        {"port past 65535", "CONNECT h:65536 HTTP/1.1\r\n\r\n", false, 400},
        {"a huge port", "CONNECT h:99999999999999999999 HTTP/1.1\r\n\r\n", false, 400},
        {"a signed port", "CONNECT h:-1 HTTP/1.1\r\n\r\n", false, 400},
        {"no port", "CONNECT h HTTP/1.1\r\n\r\n", false, 400},
        {"a URL as target", "CONNECT http://h:1863/ HTTP/1.1\r\n\r\n", false, 400},
        {"a bad IPv6", "CONNECT [::g]:1863 HTTP/1.1\r\n\r\n", false, 400},
        {"two blanks", "CONNECT  h:1863 HTTP/1.1\r\n\r\n", false, 400},
        {"no version", "CONNECT h:1863\r\n\r\n", false, 400},
        {"a later version", "CONNECT h:1863 HTTP/2.0\r\n\r\n", false, 505},
        {"not HTTP", "CONNECT h:1863 SPDY/3.1\r\n\r\n", false, 400},
        {"bare LF lines", "CONNECT h:1863 HTTP/1.1\n\n", false, 400},
        {"a CR alone", "CONNECT h:1863 HTTP/1.1\rX\r\n\r\n", false, 400},
        {"a NUL", std::string("CONNECT h:1863 HTTP/1.1\r\nX: a\0b\r\n\r\n", 36), false, 400},
        {"a field without name", "CONNECT h:1863 HTTP/1.1\r\n: x\r\n\r\n", false, 400},
        {"a field without colon", "CONNECT h:1863 HTTP/1.1\r\nHost h\r\n\r\n", false, 400},
        {"100 KB of headers", "CONNECT h:1863 HTTP/1.1\r\nX: " + std::string(100 * 1024, 'a') + "\r\n\r\n", false, 431},
        {"no end in sight", std::string(9000, 'a'), false, 431},
        {"no login", "CONNECT h:1863 HTTP/1.1\r\n\r\n", true, 407},
        {"a wrong password", "CONNECT h:1863 HTTP/1.1\r\nProxy-Authorization: Basic YWxpY2U6eA==\r\n\r\n", true, 407},
        {"not Basic", "CONNECT h:1863 HTTP/1.1\r\nProxy-Authorization: Digest x\r\n\r\n", true, 407},
        {"broken Base64", "CONNECT h:1863 HTTP/1.1\r\nProxy-Authorization: Basic YWxp*2U=\r\n\r\n", true, 407},
        {"no colon inside", "CONNECT h:1863 HTTP/1.1\r\nProxy-Authorization: Basic YWxpY2U=\r\n\r\n", true, 407},
        {"broken login without passwords", "CONNECT h:1863 HTTP/1.1\r\nProxy-Authorization: Basic !\r\n\r\n", false, 400},
        {"two logins", "CONNECT h:1863 HTTP/1.1\r\n" + kAlice + kAlice + "\r\n", true, 400},
    };
    for (const Row &r : rows)
        for (size_t piece : {size_t(0), size_t(1), size_t(1000)}) {
            SCOPED_TRACE(std::string(r.why) + ", pieces of " + std::to_string(piece));
            Outcome o = run(r.bytes, r.passwords, piece);
            ASSERT_EQ(o.status, SocksStatus::Failed);
            EXPECT_EQ(o.code, r.code);
            EXPECT_EQ(o.reply.rfind("HTTP/1.1 " + std::to_string(r.code) + " ", 0), 0u) << o.reply;
            EXPECT_NE(o.reply.find("Connection: close\r\n\r\n"), std::string::npos) << o.reply;
            EXPECT_EQ(o.reply.find("Proxy-Authenticate: Basic realm=\"trevalquin\"\r\n") != std::string::npos,
                      r.code == 407);
            EXPECT_EQ(o.reply.find("Allow: CONNECT\r\n") != std::string::npos, r.code == 405);
        }
}

} // namespace
