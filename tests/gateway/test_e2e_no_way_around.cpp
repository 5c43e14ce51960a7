/* End-to-end: a blocked contact reads nothing, whatever way the client
 * takes. The switchboards run on another port than the notification
 * server and only the notification server's port is an MSNP port; each
 * front door (SOCKS5 by address and by name, SOCKS4, HTTP CONNECT, and a
 * redirecting firewall in a network namespace) carries the same
 * conversations, with the disguises a client could give what it sends:
 * pipelined ahead of the server's reply, in the door's own request write,
 * cut a byte at a time, with handles in a newer protocol's form, on a
 * second connection into the same conversation:
 *  - one the user opens on a switchboard the server announced (XFR), with
 *    a call to the blocked contact pipelined behind the sign-in, and a
 *    blocked contact who joins behind a colleague;
 *  - one the user is invited to (RNG), answered with ANS and a message in
 *    the same write as the front door's request, while the blocked contact
 *    is among the participants;
 *  - an allowed one, whose messages arrive.
 * Each blocked text is followed by a harmless command: once that command
 * arrives, the blocked text would have arrived before it. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <functional>

#include "gateway/e2e_fixture.h"

using namespace e2e;

namespace {

const std::string kCookie = "17262740.1050826919.32308";

/* What the scripted servers receive up to `marker`, which must come. */
std::string until(int fd, const std::string &marker)
{
    std::string got = read_until(fd, marker);
    EXPECT_NE(got.find(marker), std::string::npos) << "never came: " << marker << "\ngot: " << got;
    return got;
}

/* The network a scenario runs on: how a client reaches a server port
 * through the gateway (with bytes sent in the same write as the front
 * door's request), and the scripted servers. */
struct Net {
    std::string host;
    uint16_t ns_port = 0, sb_port = 0;
    std::function<Fd(uint16_t port, const std::string &early)> open;
    std::function<Fd()> accept_ns, accept_sb;
    std::string events_file;
};

/* The sign-in and the three conversations. */
void conversations(const Net &net)
{
    const std::string sb_address = net.host + ":" + std::to_string(net.sb_port);
    const std::string secret = "the blocked contact must never read this";

    /* Alice signs in; the sign-in's last command and a ping share a write
     * with the front door's request. */
    Fd c = net.open(net.ns_port, "VER 1 MSNP7 CVR0\r\n");
    ASSERT_TRUE(c);
    Fd s = net.accept_ns();
    ASSERT_TRUE(s);
    EXPECT_EQ(recv_exact(s.get(), 18), "VER 1 MSNP7 CVR0\r\n");
    EXPECT_TRUE(pass_through(s.get(), c.get(), "VER 1 MSNP7 CVR0\r\n"));
    EXPECT_TRUE(pass_through(c.get(), s.get(), "USR 2 MD5 I alice@example.com\r\n"));
    EXPECT_TRUE(pass_through(s.get(), c.get(), "USR 2 MD5 S 1013928519.693957190\r\n"));
    /* A command pipelined behind the sign-in waits for the confirmation
     * and is decided then: mallory is not added to her list. */
    ASSERT_TRUE(send_all(c.get(), "USR 3 MD5 S 9a3e1a4e7b33a9a7fd0d17dd1d2dcbd8\r\n"
                                  "ADD 4 FL mallory@example.net mallory@example.net\r\nPNG\r\n"));
    EXPECT_EQ(recv_exact(s.get(), 46), "USR 3 MD5 S 9a3e1a4e7b33a9a7fd0d17dd1d2dcbd8\r\n");
    EXPECT_TRUE(pass_through(s.get(), c.get(), "USR 3 OK alice@example.com Alice\r\n"));
    std::string after = until(s.get(), "PNG\r\n");
    EXPECT_EQ(after.find("mallory"), std::string::npos) << after;

    /* What follows a withheld message on a switchboard, to wait for: a
     * call to ann, whom the policy allows. */
    const std::string kSbMarker = "CAL 90 ann@example.org\r\n";

    /* 1. A switchboard she asks for. A call to mallory and a message
     * ride behind its sign-in, in the same write as the door's request:
     * the call is refused, and the message, for nobody, is not sent. */
    EXPECT_TRUE(pass_through(c.get(), s.get(), "XFR 5 SB\r\n"));
    EXPECT_TRUE(pass_through(s.get(), c.get(), "XFR 5 SB " + sb_address + " CKI " + kCookie + "\r\n"));
    const std::string usr = "USR 1 alice@example.com " + kCookie + "\r\n";
    Fd bc = net.open(net.sb_port, usr + "CAL 2 mallory@example.net\r\n" + msg("MSG 3 N", text_payload(secret)));
    ASSERT_TRUE(bc);
    Fd bs = net.accept_sb();
    ASSERT_TRUE(bs);
    EXPECT_EQ(recv_exact(bs.get(), usr.size()), usr);
    ASSERT_TRUE(send_all(bs.get(), "USR 1 OK alice@example.com Alice\r\n"));
    EXPECT_EQ(recv_exact(bc.get(), 34), "USR 1 OK alice@example.com Alice\r\n");
    ASSERT_TRUE(send_all(bc.get(), "CAL 4 ann@example.org\r\n"));
    after = until(bs.get(), "CAL 4 ann@example.org\r\n");
    EXPECT_EQ(after.find("mallory"), std::string::npos) << "the call to mallory went out: " << after;
    EXPECT_EQ(after.find(secret), std::string::npos) << after;
    /* Ann alone: the conversation works. */
    ASSERT_TRUE(send_all(bs.get(), "CAL 4 RINGING 11752013\r\nJOI ann@example.org Ann\r\n"));
    until(bc.get(), "JOI ann@example.org Ann\r\n");
    EXPECT_TRUE(pass_through(bc.get(), bs.get(), msg("MSG 5 N", text_payload("hello ann"))));
    EXPECT_TRUE(pass_through(bs.get(), bc.get(), msg("MSG ann@example.org Ann", text_payload("hi alice"))));
    /* Mallory joins, named as newer clients name her; the message, now
     * for both and written a byte at a time, is withheld. */
    ASSERT_TRUE(send_all(bs.get(), "JOI 1:mallory@example.net;{f52973b6-c926-4bad-9ba8-7c1e840e4ab0} Mallory\r\n"
                                   "ACK 5\r\n"));
    EXPECT_EQ(until(bc.get(), "ACK 5\r\n").find("mallory"), std::string::npos);
    ASSERT_TRUE(send_segmented(bc.get(), msg("MSG 6 N", text_payload(secret)) + kSbMarker, 1));
    after = until(bs.get(), kSbMarker);
    EXPECT_EQ(after.find(secret), std::string::npos) << after;

    /* 2. An invitation from ann to a conversation mallory is in, answered
     * with a message in the same write as the front door's request. */
    const std::string rng = "RNG 11752099 " + sb_address + " CKI 849102291.520491113 ann@example.org Ann\r\n";
    EXPECT_TRUE(pass_through(s.get(), c.get(), rng));
    Fd ic = net.open(net.sb_port, "ANS 1 alice@example.com 849102291.520491113 11752099\r\n" +
                                      msg("MSG 2 N", text_payload(secret)) + kSbMarker);
    ASSERT_TRUE(ic);
    Fd is = net.accept_sb();
    ASSERT_TRUE(is);
    const std::string ans = "ANS 1 alice@example.com 849102291.520491113 11752099\r\n";
    EXPECT_EQ(recv_exact(is.get(), ans.size()), ans);
    ASSERT_TRUE(send_all(is.get(), "IRO 1 1 2 1:mallory@example.net;{f52973b6-c926-4bad-9ba8-7c1e840e4ab0} "
                                   "Mallory\r\nIRO 1 2 2 ann@example.org Ann\r\nANS 1 OK\r\n"));
    until(ic.get(), "ANS 1 OK\r\n");
    after = until(is.get(), kSbMarker);
    EXPECT_EQ(after.find(secret), std::string::npos) << after;

    /* 2b. Mallory's own invitation never reaches the client; one that
     * goes there all the same is policed. */
    ASSERT_TRUE(send_all(s.get(), "RNG 11752100 " + sb_address +
                                      " CKI 849102291.520491114 mallory@example.net Mallory\r\nQNG 50\r\n"));
    EXPECT_EQ(until(c.get(), "QNG 50\r\n").find("mallory"), std::string::npos);
    const std::string ans_mallory = "ANS 1 alice@example.com 849102291.520491114 11752100\r\n";
    Fd mc = net.open(net.sb_port, ans_mallory);
    ASSERT_TRUE(mc);
    Fd ms = net.accept_sb();
    ASSERT_TRUE(ms);
    EXPECT_EQ(recv_exact(ms.get(), ans_mallory.size()), ans_mallory);
    ASSERT_TRUE(send_all(ms.get(), "IRO 1 1 1 mallory@example.net Mallory\r\nANS 1 OK\r\n"));
    until(mc.get(), "ANS 1 OK\r\n");
    ASSERT_TRUE(send_all(mc.get(), msg("MSG 2 N", text_payload(secret)) + kSbMarker));
    after = until(ms.get(), kSbMarker);
    EXPECT_EQ(after.find(secret), std::string::npos) << after;
    /* A second connection into the same conversation, the answer and the
     * message cut a byte at a time ahead of the server's reply. */
    Fd mc2 = net.open(net.sb_port, "");
    ASSERT_TRUE(mc2);
    Fd ms2 = net.accept_sb();
    ASSERT_TRUE(ms2);
    ASSERT_TRUE(send_segmented(mc2.get(), ans_mallory + msg("MSG 2 N", text_payload(secret)) + kSbMarker, 1));
    EXPECT_EQ(recv_exact(ms2.get(), ans_mallory.size()), ans_mallory);
    ASSERT_TRUE(send_all(ms2.get(), "IRO 1 1 1 mallory@example.net Mallory\r\nANS 1 OK\r\n"));
    after = until(ms2.get(), kSbMarker);
    EXPECT_EQ(after.find(secret), std::string::npos) << after;

    /* 3. Ann alone invites her: the same pipelined answer arrives whole. */
    EXPECT_TRUE(pass_through(s.get(), c.get(), rng));
    const std::string hello = msg("MSG 2 N", text_payload("hello ann"));
    Fd ac = net.open(net.sb_port, ans + hello);
    ASSERT_TRUE(ac);
    Fd as = net.accept_sb();
    ASSERT_TRUE(as);
    EXPECT_EQ(recv_exact(as.get(), ans.size()), ans);
    ASSERT_TRUE(send_all(as.get(), "IRO 1 1 1 ann@example.org Ann\r\nANS 1 OK\r\n"));
    until(ac.get(), "ANS 1 OK\r\n");
    EXPECT_EQ(recv_exact(as.get(), hello.size()), hello);
    EXPECT_TRUE(pass_through(as.get(), ac.get(), msg("MSG ann@example.org Ann", text_payload("hi alice"))));
    EXPECT_TRUE(pass_through(ac.get(), as.get(), msg("MSG 3 N", text_payload("lunch?"))));

    /* No switchboard went around the module. */
    EXPECT_TRUE(eventually([&] { return slurp(net.events_file).find(net.host + ":" + std::to_string(net.sb_port)) !=
                                        std::string::npos; }));
    EXPECT_EQ(slurp(net.events_file).find("relayed as plain TCP"), std::string::npos) << slurp(net.events_file);
}

class NoWayAround : public GatewayE2E {
protected:
    /* Only the notification server's port is an MSNP port. */
    void start_with(const std::vector<std::string> &extra)
    {
        std::vector<std::string> s = settings(extra);
        for (auto &line : s)
            if (line.rfind("msnp-ports=", 0) == 0)
                line = "msnp-ports=" + std::to_string(ns.port());
        ASSERT_TRUE(gw.start(TQ_GATEWAY_BIN, s, dir)) << gw.error();
    }

    Net loopback(std::function<Fd(uint16_t, const std::string &)> open)
    {
        Net n;
        n.host = "127.0.0.1";
        n.ns_port = ns.port();
        n.sb_port = sb.port();
        n.open = std::move(open);
        n.accept_ns = [this] { return ns.accept(); };
        n.accept_sb = [this] { return sb.accept(); };
        n.events_file = events;
        return n;
    }

    /* The doors, each with bytes in the same write as its request. */
    Fd socks5(uint16_t port, const std::string &early)
    {
        Fd fd = tcp_connect(gw.port());
        if (!fd || !send_all(fd.get(), bytes({5, 1, 0})) || recv_exact(fd.get(), 2) != bytes({5, 0}))
            return Fd();
        if (!send_all(fd.get(), bytes({5, 1, 0, 1, 127, 0, 0, 1}) + be16(port) + early))
            return Fd();
        std::string reply = recv_exact(fd.get(), 10);
        return reply.size() == 10 && reply[1] == 0 ? std::move(fd) : Fd();
    }
    /* SOCKS5 naming the server's host instead of its address. */
    Fd socks5_by_name(uint16_t port, const std::string &early)
    {
        Fd fd = tcp_connect(gw.port());
        if (!fd || !send_all(fd.get(), bytes({5, 1, 0})) || recv_exact(fd.get(), 2) != bytes({5, 0}))
            return Fd();
        if (!send_all(fd.get(), socks5_request_domain("localhost", port) + early))
            return Fd();
        std::string reply = recv_exact(fd.get(), 10);
        return reply.size() == 10 && reply[1] == 0 ? std::move(fd) : Fd();
    }
    Fd socks4(uint16_t port, const std::string &early)
    {
        Fd fd = tcp_connect(gw.port());
        if (!fd || !send_all(fd.get(), bytes({4, 1}) + be16(port) + bytes({127, 0, 0, 1}) + "alice" + '\0' + early))
            return Fd();
        std::string reply = recv_exact(fd.get(), 8);
        return reply.size() == 8 && reply[1] == 0x5a ? std::move(fd) : Fd();
    }
    Fd http(uint16_t port, const std::string &early)
    {
        Fd fd = tcp_connect(gw.port("http"));
        if (!fd || !send_all(fd.get(), "CONNECT 127.0.0.1:" + std::to_string(port) + " HTTP/1.1\r\n\r\n" + early))
            return Fd();
        const std::string head = "HTTP/1.1 200 Connection established\r\n\r\n";
        return recv_exact(fd.get(), head.size()) == head ? std::move(fd) : Fd();
    }
};

} // namespace

TEST_F(NoWayAround, EveryDoorEveryConversation)
{
    start_with({"http-listen=127.0.0.1:0"});
    const std::pair<const char *, std::function<Fd(uint16_t, const std::string &)>> doors[] = {
        {"socks5", [this](uint16_t p, const std::string &e) { return socks5(p, e); }},
        {"socks5 by name", [this](uint16_t p, const std::string &e) { return socks5_by_name(p, e); }},
        {"socks4", [this](uint16_t p, const std::string &e) { return socks4(p, e); }},
        {"http", [this](uint16_t p, const std::string &e) { return http(p, e); }},
    };
    for (const auto &[name, open] : doors) {
        SCOPED_TRACE(name);
        conversations(loopback(open));
    }
}

/* Strict: only MSNP ports and announced servers; both conversations work. */
TEST_F(NoWayAround, StrictAdmitsAnnouncedSwitchboards)
{
    start_with({"strict=yes"});
    conversations(loopback([this](uint16_t p, const std::string &e) { return socks5(p, e); }));
}

/* The same conversations through a redirecting firewall, in a network
 * namespace the test makes for itself (no packet can leave it): the
 * client at 10.99.0.3 goes straight to 10.99.0.2, ports 1863 and 1864,
 * and nftables sends both to the gateway's transparent listener. */
TEST(NoWayAroundInANamespace, TheRedirectedDoorToo)
{
    TempDir dir;
    ENTER_OWN_NETNS(dir, "NoWayAroundInANamespace.*");
    Fd ns = listen_at("10.99.0.2", 1863), sb = listen_at("10.99.0.2", 1864);
    ASSERT_TRUE(ns && sb);

    std::string policy = dir / "policy.xml", admin = dir / "admin.sock", events = dir / "events.log";
    std::filesystem::copy_file(std::string(TQ_SOURCE_DIR) + "/tests/gateway/data/policy.xml", policy);
    Gateway gw;
    ASSERT_TRUE(gw.start(TQ_GATEWAY_BIN,
                         {"listen=127.0.0.1:0", "transparent-listen=127.0.0.1:0", "module=" TQ_MODULE_PATH,
                          "policy=" + policy, "admin-socket=" + admin, "events-file=" + events, "msnp-ports=1863",
                          "allow-clients=10.99.0.0/24,127.0.0.0/8", "allow-destinations=10.99.0.0/24"},
                         dir))
        << gw.error();
    const std::string to = std::to_string(gw.port("transparent"));
    ASSERT_EQ(sh("nft add table ip tq && nft 'add chain ip tq out { type nat hook output priority -100 ; }' && "
                 "nft 'add rule ip tq out ip saddr 10.99.0.3 tcp dport { 1863, 1864 } redirect to :" + to + "'"),
              0);
    Net net;
    net.host = "10.99.0.2";
    net.ns_port = 1863;
    net.sb_port = 1864;
    net.open = [](uint16_t port, const std::string &early) {
        Fd c = connect_from("10.99.0.3", "10.99.0.2", port);
        if (c && !early.empty() && !send_all(c.get(), early))
            return Fd();
        return c;
    };
    net.accept_ns = [&] { return accept_within(ns, milliseconds(5000)); };
    net.accept_sb = [&] { return accept_within(sb, milliseconds(5000)); };
    net.events_file = events;
    conversations(net);
    EXPECT_EQ(gw.stop(SIGTERM), 0) << gw.stderr_text();
}
