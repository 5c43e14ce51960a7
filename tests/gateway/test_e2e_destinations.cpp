/* End-to-end: where clients may go. By default the gateway keeps them off
 * its own host (loopback in every spelling, its addresses, its listeners)
 * and off addresses no server lives at; an allow rule opens exactly what it
 * names, for the clients and users it names. */
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>

#include "gateway/e2e_fixture.h"

using namespace e2e;

namespace {

std::string v4_request(const char *address, uint16_t port)
{
    in_addr a{};
    inet_pton(AF_INET, address, &a);
    return bytes({5, 1, 0, 1}) + std::string(reinterpret_cast<const char *>(&a), 4) + be16(port);
}

std::string v6_request(const char *address, uint16_t port)
{
    in6_addr a{};
    inet_pton(AF_INET6, address, &a);
    return bytes({5, 1, 0, 4}) + std::string(reinterpret_cast<const char *>(&a), 16) + be16(port);
}

class Destinations : public GatewayE2E {
protected:
    /* The SOCKS5 reply to `request`: 0 when the server was reached. */
    int reply(const std::string &request, const Socks5 &login = {})
    {
        Socks5 opt = login;
        opt.request = request;
        int rep = -1;
        socks5_connect(gw.port(), 0, &rep, opt);
        return rep;
    }
};

} // namespace

/* The default configuration: every way of naming this host is refused with
 * "not allowed", nothing reaches the listeners, and each refusal is an event
 * that names the rule. (Addresses beyond the host are tried in a namespace
 * of their own, below.) */
TEST_F(Destinations, DefaultsKeepClientsOffTheGatewayHost)
{
    Listener v6(64, true);
    destinations.clear();
    /* Listening on every address takes clients beyond loopback: TEST-NET
     * stands for them. */
    auto s = settings({"listen=0.0.0.0:0", "http-listen=127.0.0.1:0", "allow-clients=127.0.0.0/8,192.0.2.0/24"});
    s.erase(std::find(s.begin(), s.end(), "listen=127.0.0.1:0"));
    ASSERT_TRUE(gw.start(TQ_GATEWAY_BIN, s, dir)) << gw.error();
    const uint16_t own = gw.port();
    const struct {
        const char *name;
        std::string request;
        const char *rule;
    } cases[] = {
        {"127.0.0.1", v4_request("127.0.0.1", ns.port()), "deny-destinations = loopback"},
        {"another loopback address", v4_request("127.8.9.10", ns.port()), "deny-destinations = loopback"},
        {"::1", v6_request("::1", v6.port()), "deny-destinations = loopback"},
        {"127.0.0.1 mapped into IPv6", v6_request("::ffff:127.0.0.1", ns.port()), "deny-destinations = loopback"},
        {"0.0.0.0", v4_request("0.0.0.0", ns.port()), "deny-destinations = unspecified"},
        {"::", v6_request("::", v6.port()), "deny-destinations = unspecified"},
        {"localhost by name", socks5_request_domain("localhost", ns.port()), "deny-destinations = loopback"},
        /* Names that the resolver reads as numbers. */
        {"127.0.0.1 as one decimal number", socks5_request_domain("2130706433", ns.port()),
         "deny-destinations = loopback"},
        {"127.0.0.1 in hexadecimal", socks5_request_domain("0x7f.0.0.1", ns.port()), "deny-destinations = loopback"},
        {"127.0.0.1 shortened", socks5_request_domain("127.1", ns.port()), "deny-destinations = loopback"},
    };
    size_t denied = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reply(c.request), 0x02);
        auto events = notices("destination-denied", ++denied);
        ASSERT_EQ(events.size(), denied);
        EXPECT_NE(events.back().find(std::string("rule=\"") + c.rule + "\""), std::string::npos) << events.back();
        EXPECT_NE(events.back().find("origin=\"default\""), std::string::npos) << events.back();
    }
    /* The other doors ask the same rules. */
    const std::string ns_port = std::to_string(ns.port());
    for (const std::string &target : {"127.0.0.1:" + ns_port, "[::ffff:127.0.0.1]:" + ns_port, "localhost:" + ns_port}) {
        std::string head = http_ask(gw.port("http"), "CONNECT " + target + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(head.rfind("HTTP/1.1 403 ", 0), 0u) << target << ": " << head;
    }
    int rep = -1;
    EXPECT_FALSE(socks4_connect(own, ns.port(), &rep));
    EXPECT_EQ(rep, 0x5b) << "SOCKS4 to 127.0.0.1";
    EXPECT_FALSE(socks4_connect(own, ns.port(), &rep, "localhost"));
    EXPECT_EQ(rep, 0x5b) << "SOCKS4a to localhost";
    denied += 5;
    EXPECT_EQ(notices("destination-denied", denied).size(), denied);
    EXPECT_FALSE(ns.accept(milliseconds(200))) << "a denied destination was contacted";
    EXPECT_FALSE(v6.accept(milliseconds(50))) << "a denied destination was contacted";

    /* The gateway's own listener on every address of the host: refused
     * before any rule is asked. */
    for (const char *a : {"127.0.0.1", "127.0.0.2", "0.0.0.0"})
        EXPECT_EQ(reply(v4_request(a, own)), 0x02) << a;
    auto itself = notices("connect-refused", 3);
    ASSERT_EQ(itself.size(), 3u) << slurp(events);
    for (const auto &e : itself)
        EXPECT_NE(e.find("is the gateway itself"), std::string::npos) << e;
}

/* Allow rules come first and open exactly what they name: one port of one
 * address, for one client network, for one checked user. */
TEST_F(Destinations, AnAllowRuleOpensExactlyWhatItNames)
{
    Listener other;
    std::string users = dir / "users";
    std::ofstream(users) << "alice:pw\nbob:pw\n";
    destinations = {"allow-destinations=127.0.0.1 port " + std::to_string(ns.port()),
                    "allow-destinations=127.0.0.1 port " + std::to_string(sb.port()) + " user alice",
                    "allow-destinations=127.0.0.1 port " + std::to_string(plain.port()) + " from 192.0.2.0/24",
                    "deny-destinations=any port " + std::to_string(other.port())};
    start({"user-file=" + users});
    const Socks5 alice{std::make_pair("alice", "pw"), ""}, bob{std::make_pair("bob", "pw"), ""};
    const struct {
        const char *name;
        std::string request;
        const Socks5 &login;
        Listener *reached; /* null: refused */
    } cases[] = {
        {"the named port", v4_request("127.0.0.1", ns.port()), bob, &ns},
        {"the named port, another loopback address", v4_request("127.0.0.2", ns.port()), bob, nullptr},
        {"the named port as ::1", v6_request("::1", ns.port()), bob, nullptr},
        {"the user's port, for the user", v4_request("127.0.0.1", sb.port()), alice, &sb},
        {"the user's port, for another user", v4_request("127.0.0.1", sb.port()), bob, nullptr},
        {"a port for other clients", v4_request("127.0.0.1", plain.port()), alice, nullptr},
        {"a port no rule names", v4_request("127.0.0.1", other.port()), alice, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reply(c.request, c.login), c.reached ? 0 : 0x02);
        if (c.reached) {
            EXPECT_TRUE(c.reached->accept());
        }
    }
    for (Listener *l : {&ns, &sb, &plain, &other})
        EXPECT_FALSE(l->accept(milliseconds(50))) << "a denied destination was contacted";
    auto denied = notices("destination-denied", 5);
    ASSERT_EQ(denied.size(), 5u);
    EXPECT_NE(denied.back().find("rule=\"deny-destinations = any port " + std::to_string(other.port()) + "\""),
              std::string::npos)
        << denied.back();
    EXPECT_NE(denied.back().find("origin=\"--set deny-destinations\""), std::string::npos) << denied.back();
}

/* Beyond loopback, in a namespace of the test's own, so that nothing can
 * leave the machine even if a rule failed: the host's other addresses
 * (10.99.0.2 and .3 here) are its own; link-local (the cloud's metadata
 * address too), multicast and broadcast are denied; a rule that allows one
 * link-local address and port opens that one. */
TEST(DestinationsInANamespace, OwnAndLinkLocalAddresses)
{
    TempDir dir;
    ENTER_OWN_NETNS(dir, "DestinationsInANamespace.*");
    ASSERT_EQ(sh("ip addr add 169.254.7.7/32 dev lo"), 0);
    Fd server = listen_at("0.0.0.0", 1863);
    ASSERT_TRUE(server);
    std::string events = dir / "events.log";
    Gateway gw;
    ASSERT_TRUE(gw.start(TQ_GATEWAY_BIN,
                         {"listen=127.0.0.1:0", "module=" TQ_MODULE_PATH, "admin-socket=" + (dir / "admin.sock"),
                          "events-file=" + events, "allow-destinations=169.254.7.7 port 1863"},
                         dir))
        << gw.error();
    const struct {
        const char *address;
        uint16_t port;
        const char *rule; /* null: allowed */
    } cases[] = {
        {"169.254.7.7", 1863, nullptr},
        {"169.254.7.7", 1864, "link-local"},
        {"169.254.7.8", 1863, "link-local"},
        {"169.254.169.254", 80, "link-local"},
        {"10.99.0.2", 1863, "own"},
        {"10.99.0.3", 1863, "own"},
        {"224.0.0.1", 1863, "multicast"},
        {"255.255.255.255", 1863, "broadcast"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.address + std::string(":") + std::to_string(c.port));
        Socks5 opt;
        opt.request = v4_request(c.address, c.port);
        int rep = -1;
        Fd fd = socks5_connect(gw.port(), 0, &rep, opt);
        EXPECT_EQ(rep, c.rule ? 0x02 : 0);
        EXPECT_EQ(static_cast<bool>(accept_within(server, milliseconds(300))), !c.rule);
        if (c.rule) {
            const std::string dest = "destination=\"" + std::string(c.address) + ":" + std::to_string(c.port) + "\"";
            std::string notice;
            for (const auto &l : lines_of(slurp(events)))
                if (l.find(dest) != std::string::npos)
                    notice = l;
            EXPECT_NE(notice.find(std::string("rule=\"deny-destinations = ") + c.rule + "\""), std::string::npos)
                << notice;
        }
    }
    EXPECT_EQ(gw.stop(SIGTERM), 0) << gw.stderr_text();
}
