/* The front doors besides SOCKS: HTTP CONNECT (with and without a login)
 * and connections redirected by the firewall, each relayed byte for byte
 * through the module; what each refuses, and the allow-list on all. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>

#include "gateway/e2e_fixture.h"

using namespace e2e;

namespace {

const std::string kHead = "HTTP/1.1 200 Connection established\r\n\r\n";

class FrontDoors : public GatewayE2E {
protected:
    /* A sign-in through `c`/`s` that the module must admit: the tracker it
     * made is what `info` shows for the listed connection. */
    void sign_in_and_check(int c, int s, const std::string &handle, const std::string &door,
                           const std::string &user = "-")
    {
        md5_sign_in(c, s, handle);
        EXPECT_TRUE(pass_through(s, c, "USR 4 OK " + handle + " Someone\r\n"));
        std::optional<Listed> l;
        ASSERT_TRUE(eventually([&] {
            return (l = find_listed(tqctl({"connections"}).out, "127.0.0.1:" + std::to_string(ns.port()))).has_value();
        }));
        EXPECT_EQ(l->kind, "msnp");
        EXPECT_EQ(l->door, door);
        EXPECT_EQ(l->user, user);
        EXPECT_NE(tqctl({"info", std::to_string(l->tid)}).out.find("<handle>" + handle + "</handle>"),
                  std::string::npos);
    }

    /* carol (bound to the proxy account cproxy) signs in on `c` and the
     * module refuses her: the server's confirmation never reaches the
     * client, which is closed. */
    void expect_carol_refused(int c, const char *why)
    {
        Fd s = ns.accept();
        ASSERT_TRUE(s);
        md5_sign_in(c, s.get(), "carol@example.com");
        ASSERT_TRUE(send_all(s.get(), "USR 4 OK carol@example.com Carol\r\n"));
        ReadResult r = recv_until_closed(c);
        EXPECT_TRUE(r.closed) << why;
        EXPECT_EQ(r.bytes, "") << why;
    }
};

TEST_F(FrontDoors, HttpConnectRelaysThroughTheModule)
{
    start({"http-listen=127.0.0.1:0"});
    Fd c;
    ASSERT_EQ(http_ask(gw.port("http"), "CONNECT 127.0.0.1:" + std::to_string(ns.port()) + " HTTP/1.1\r\n\r\n", &c),
              kHead);
    Fd s = ns.accept();
    ASSERT_TRUE(s);
    sign_in_and_check(c.get(), s.get(), "alice@example.com", "http");
    auto opened = notices("connection-open");
    EXPECT_NE(opened.back().find("door=\"http\""), std::string::npos) << opened.back();

    /* Without a user file nobody checks a Proxy-Authorization: carol's
     * proxy account named there (cproxy, any password) proves nothing. */
    Fd u;
    ASSERT_EQ(http_ask(gw.port("http"),
                       "CONNECT 127.0.0.1:" + std::to_string(ns.port()) +
                           " HTTP/1.1\r\nProxy-Authorization: Basic Y3Byb3h5Omd1ZXNz\r\n\r\n", /* cproxy:guess */
                       &u),
              kHead);
    expect_carol_refused(u.get(), "an unchecked proxy name");
}

/* With a user file the login is required; the user name it carries is the
 * one the module binds persons to (carol must come as "cproxy"). */
TEST_F(FrontDoors, HttpConnectWithALoginBindsTheUser)
{
    std::string users = dir / "users";
    std::ofstream(users) << "cproxy:pw1\nmallory:pw2\n";
    start({"http-listen=127.0.0.1:0", "user-file=" + users});
    const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(ns.port()) + " HTTP/1.1\r\n";
    std::string denied = http_ask(gw.port("http"), connect + "\r\n");
    EXPECT_EQ(denied.rfind("HTTP/1.1 407 ", 0), 0u) << denied;
    EXPECT_NE(denied.find("Proxy-Authenticate: Basic realm=\"trevalquin\""), std::string::npos) << denied;
    EXPECT_EQ(http_ask(gw.port("http"), connect + "Proxy-Authorization: Basic Y3Byb3h5OnB3Mg==\r\n\r\n")
                  .rfind("HTTP/1.1 407 ", 0),
              0u)
        << "a wrong password";

    Fd c; /* cproxy:pw1 */
    ASSERT_EQ(http_ask(gw.port("http"), connect + "Proxy-Authorization: Basic Y3Byb3h5OnB3MQ==\r\n\r\n", &c), kHead);
    Fd s = ns.accept();
    ASSERT_TRUE(s);
    sign_in_and_check(c.get(), s.get(), "carol@example.com", "http", "cproxy");

    /* The same person behind another login is refused by the module. */
    Fd m; /* mallory:pw2 */
    ASSERT_EQ(http_ask(gw.port("http"), connect + "Proxy-Authorization: Basic bWFsbG9yeTpwdzI=\r\n\r\n", &m), kHead);
    expect_carol_refused(m.get(), "another proxy account");
}

TEST_F(FrontDoors, HostileHttpRequestsAreRefusedAndTheGatewayServesOn)
{
    start({"http-listen=127.0.0.1:0"});
    const uint16_t port = gw.port("http");
    struct Row {
        const char *why;
        std::string request;
        int status;
    };
    const Row rows[] = {
        {"another method", "GET http://127.0.0.1:" + std::to_string(ns.port()) + "/ HTTP/1.1\r\n\r\n", 405},
        {"no CRLF", "CONNECT 127.0.0.1:1863 HTTP/1.1\n\n", 400},
        {"100 KB of headers", "CONNECT 127.0.0.1:1863 HTTP/1.1\r\nX: " + std::string(100 * 1024, 'x') + "\r\n\r\n",
         431},
        {"an absurd port", "CONNECT 127.0.0.1:4294967297 HTTP/1.1\r\n\r\n", 400},
        {"the gateway's own HTTP port", "CONNECT 127.0.0.1:" + std::to_string(port) + " HTTP/1.1\r\n\r\n", 403},
        {"the gateway's SOCKS port", "CONNECT 127.0.0.1:" + std::to_string(gw.port()) + " HTTP/1.1\r\n\r\n", 403},
        {"a closed port", "CONNECT 127.0.0.1:1 HTTP/1.1\r\n\r\n", 502},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.why);
        std::string head = http_ask(port, r.request);
        EXPECT_EQ(head.rfind("HTTP/1.1 " + std::to_string(r.status) + " ", 0), 0u) << head;
    }
    EXPECT_GE(notices("http-refused", 4).size(), 4u);
    EXPECT_GE(notices("connect-refused", 3).size(), 3u);
    Fd c;
    ASSERT_EQ(http_ask(port, "CONNECT 127.0.0.1:" + std::to_string(ns.port()) + " HTTP/1.1\r\n\r\n", &c), kHead);
    Fd s = ns.accept();
    ASSERT_TRUE(s);
    EXPECT_TRUE(pass_through(c.get(), s.get(), "VER 1 MSNP8 CVR0\r\n"));
}

TEST_F(FrontDoors, TheAllowListGuardsEveryDoor)
{
    start({"http-listen=127.0.0.1:0", "transparent-listen=127.0.0.1:0", "allow-clients=192.0.2.0/24"});
    for (const char *door : {"socks", "http", "transparent"}) {
        SCOPED_TRACE(door);
        Fd c = tcp_connect(gw.port(door));
        ASSERT_TRUE(c);
        send_all(c.get(), "CONNECT 127.0.0.1:1863 HTTP/1.1\r\n\r\n");
        ReadResult r = recv_until_closed(c.get());
        EXPECT_TRUE(r.closed);
        EXPECT_EQ(r.bytes, "");
    }
    EXPECT_FALSE(notices("client-refused").empty());
}

/* ---- a redirecting firewall, in a network namespace of the test's own --- */


/* The test runs itself again inside a new network namespace, where it may
 * give loopback addresses and firewall rules without touching the host.
 * There the client, at 10.99.0.3, connects straight to the server's port
 * 1863 at 10.99.0.2; an nftables rule sends it to the gateway instead,
 * which connects to where the client was going. */
TEST(FrontDoorsInANamespace, ARedirectedClientReachesItsServerThroughTheModule)
{
    TempDir dir;
    ENTER_OWN_NETNS(dir, "FrontDoorsInANamespace.*");
    Fd server = listen_at("10.99.0.2", 1863);
    ASSERT_TRUE(server);

    std::string policy = dir / "policy.xml", admin = dir / "admin.sock", events = dir / "events.log";
    std::filesystem::copy_file(std::string(TQ_SOURCE_DIR) + "/tests/gateway/data/policy.xml", policy);
    Gateway gw;
    ASSERT_TRUE(gw.start(TQ_GATEWAY_BIN,
                         {"listen=127.0.0.1:0", "transparent-listen=127.0.0.1:0", "module=" TQ_MODULE_PATH,
                          "policy=" + policy, "admin-socket=" + admin, "events-file=" + events,
                          "allow-clients=10.99.0.0/24,127.0.0.0/8", "allow-destinations=10.99.0.0/24"},
                         dir))
        << gw.error();
    const std::string to = std::to_string(gw.port("transparent"));
    ASSERT_EQ(sh("nft add table ip tq && nft 'add chain ip tq out { type nat hook output priority -100 ; }' && "
                 "nft 'add rule ip tq out ip saddr 10.99.0.3 tcp dport 1863 redirect to :" + to + "'"),
              0);

    /* A user who may sign in only from the clients' network: the module
     * must see the client's own address, not the gateway's. */
    for (std::vector<std::string> words : {std::vector<std::string>{"new", "person", "nina", "nina@example.com"},
                                           {"modify", "nina", "network_source:", "10.99.0.0/255.255.255.0"},
                                           {"add", "nina", "/"}}) {
        words.insert(words.begin(), {TQCTL_BIN, "-s", admin, "msnp"});
        RunResult r = run_program(words, dir);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    Fd c = connect_from("10.99.0.3", "10.99.0.2", 1863);
    ASSERT_TRUE(c);
    Fd s = accept_within(server, milliseconds(5000));
    ASSERT_TRUE(s) << "the gateway did not reach the server; events:\n" << slurp(events);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    ASSERT_EQ(::getpeername(s.get(), reinterpret_cast<sockaddr *>(&peer), &len), 0);
    EXPECT_EQ(peer.sin_addr.s_addr, inet_addr("10.99.0.2")) << "the server hears from the gateway, not the client";

    md5_sign_in(c.get(), s.get(), "nina@example.com");
    EXPECT_TRUE(pass_through(s.get(), c.get(), "USR 4 OK nina@example.com Nina\r\n"));
    RunResult conns = run_program({TQCTL_BIN, "-s", admin, "connections"}, dir);
    auto listed = find_listed(conns.out, "10.99.0.2:1863");
    ASSERT_TRUE(listed) << conns.out;
    EXPECT_EQ(listed->client.rfind("10.99.0.3:", 0), 0u) << "the real client address";
    EXPECT_EQ(listed->kind, "msnp");
    EXPECT_EQ(listed->door, "transparent");
    EXPECT_NE(run_program({TQCTL_BIN, "-s", admin, "info", std::to_string(listed->tid)}, dir)
                  .out.find("<handle>nina@example.com</handle>"),
              std::string::npos);

    /* Straight to the listener, nothing was redirected: the original
     * destination is the gateway itself, and that is refused. */
    Fd direct = tcp_connect(gw.port("transparent"));
    ASSERT_TRUE(direct);
    EXPECT_TRUE(recv_until_closed(direct.get()).closed);
    EXPECT_TRUE(eventually([&] { return slurp(events).find("is the gateway itself") != std::string::npos; }))
        << slurp(events);
    c.reset();
    s.reset();
    EXPECT_EQ(gw.stop(SIGTERM), 0) << gw.stderr_text();
}

} // namespace
