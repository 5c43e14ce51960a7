/* The gateway under clients and servers that do not play along: a peer
 * that stops reading while the gateway has bytes for it, a client that
 * says nothing, one address opening connection after connection, and
 * incomplete commands held across many connections. */
#include <cstdio>
#include <thread>

#include "gateway/e2e_fixture.h"

using namespace e2e;

namespace {

class Hostile : public GatewayE2E {};

/* One worker only: if a write to the peer that does not read held up a
 * thread, everything else would stop with it. */
TEST_F(Hostile, APeerThatStopsReadingHoldsUpNobodyAndIsGivenUp)
{
    start({"workers=1", "stall-timeout=2"});
    OPEN_PAIR(stuck, ns);
    int small = 4096;
    ASSERT_EQ(::setsockopt(stuck.server.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    md5_sign_in(stuck.client.get(), stuck.server.get(), "alice@example.com");
    EXPECT_TRUE(pass_through(stuck.server.get(), stuck.client.get(), "USR 4 OK alice@example.com Alice\r\n"));
    std::optional<Listed> l;
    ASSERT_TRUE(eventually([&] {
        return (l = find_listed(tqctl({"connections"}).out, "127.0.0.1:" + std::to_string(ns.port()))).has_value();
    }));
    const std::string tid = std::to_string(l->tid);

    /* The module writes to the server, which reads nothing and keeps a
     * small receive buffer: up to 6 MB, far more than the sockets can
     * take (the time bound leaves room for the sanitizer builds, where
     * starting tqctl alone takes tens of ms). */
    const std::string text(60000, 'x');
    auto t0 = Clock::now();
    /* Where starting tqctl is slow, the stall time may end the
     * connection before the last command: from then on it is no longer
     * there to write to. */
    int sent = 0;
    for (; sent < 100; ++sent) {
        RunResult r = tqctl({"msnp", "impersonate", tid, text});
        if (r.status != 0) {
            EXPECT_NE(r.err.find("No connection " + tid), std::string::npos) << r.err;
            break;
        }
    }
    EXPECT_GE(sent, 20) << "more than the sockets take was queued before the stall time ended it";
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(20));
    /* Meanwhile the only worker still serves others. */
    auto t1 = Clock::now();
    expect_still_serving(sb);
    EXPECT_LT(Clock::now() - t1, std::chrono::seconds(1));

    /* The stuck server is given up within the stall time, and the events
     * say why. */
    EXPECT_TRUE(recv_until_closed(stuck.client.get(), milliseconds(6000)).closed);
    auto given_up = notices("stall-timeout");
    ASSERT_EQ(given_up.size(), 1u);
    EXPECT_NE(given_up[0].find("the server took none of the bytes"), std::string::npos) << given_up[0];
}

TEST_F(Hostile, ASilentConnectionEndsAfterTheIdleTimeAndATalkingOneStays)
{
    start({"idle-timeout=1"});
    OPEN_PAIR(silent, ns);
    OPEN_PAIR(talking, ns);
    auto t0 = Clock::now();
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(pass_through(talking.client.get(), talking.server.get(), "VER 1 MSNP8 CVR0\r\n"));
        EXPECT_TRUE(pass_through(talking.server.get(), talking.client.get(), "VER 1 MSNP8 CVR0\r\n"));
        std::this_thread::sleep_for(milliseconds(300));
    }
    EXPECT_TRUE(recv_until_closed(silent.client.get(), milliseconds(100)).closed);
    EXPECT_TRUE(recv_until_closed(silent.server.get(), milliseconds(100)).closed);
    EXPECT_GT(Clock::now() - t0, std::chrono::seconds(2)) << "the talking one outlived the idle time";
    EXPECT_TRUE(pass_through(talking.client.get(), talking.server.get(), "VER 1 MSNP8 CVR0\r\n"));
    auto idle = notices("idle-timeout");
    ASSERT_EQ(idle.size(), 1u);
    EXPECT_NE(idle[0].find("nothing relayed for 1 s"), std::string::npos) << idle[0];
}

TEST_F(Hostile, OneAddressCannotTakeEveryConnection)
{
    start({"max-connections-per-client=5"});
    std::vector<Pair> open;
    for (int i = 0; i < 5; ++i) {
        open.push_back(open_pair(plain));
        ASSERT_TRUE(open.back().client && open.back().server);
    }
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(socks5_connect(gw.port(), plain.port())) << "connection " << i << " beyond the limit";
    EXPECT_FALSE(plain.accept(milliseconds(100)));
    auto limited = notices("client-limit");
    ASSERT_FALSE(limited.empty());
    EXPECT_NE(limited[0].find("refused 127.0.0.1: it has 5 connections open"), std::string::npos) << limited[0];
    open.pop_back();
    EXPECT_TRUE(eventually([&] {
        Fd f = socks5_connect(gw.port(), plain.port());
        Fd s = f ? plain.accept() : Fd();
        return s && pass_through(f.get(), s.get(), "x");
    }));
}

/* Each connection stays within its own bound, but together they would
 * hold more than the gateway allows: the one that passes it is closed. */
TEST_F(Hostile, IncompleteCommandsOfAllConnectionsHaveOneBudget)
{
    start({"max-held-bytes=4096", "max-held-bytes-total=5000"});
    const std::string part = "MSG 2 N 4000\r\n" + std::string(2000, 'a');
    OPEN_PAIR(first, sb);
    OPEN_PAIR(second, sb);
    OPEN_PAIR(third, sb);
    for (Pair *p : {&first, &second, &third})
        sign_in_sb(*p);
    ASSERT_TRUE(send_all(first.client.get(), part));
    ASSERT_TRUE(send_all(second.client.get(), part));
    EXPECT_FALSE(recv_some(first.client.get(), 1, milliseconds(300)).closed);
    ASSERT_TRUE(send_all(third.client.get(), part));
    EXPECT_TRUE(recv_until_closed(third.client.get()).closed);
    auto over = notices("held-bytes-budget");
    ASSERT_EQ(over.size(), 1u);
    EXPECT_NE(over[0].find("more than 5000"), std::string::npos) << over[0];
    /* What the closed one held is free again: the first completes. */
    third.client.reset();
    const std::string rest(4000 - 2000, 'b');
    ASSERT_TRUE(send_all(first.client.get(), rest));
    EXPECT_EQ(recv_exact(first.server.get(), part.size() + rest.size()), part + rest);
}

} // namespace
