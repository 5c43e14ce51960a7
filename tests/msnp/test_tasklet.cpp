/* The traffic entry points: the descriptor, msnp_tasklet on whole and cut
 * chunks as the host delivers them, and msnp_tasklet_fini. */
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "msnp/traffic_helpers.h"

using traffic::Conn;
using traffic::Iov;
using traffic::Module;
using traffic::RecordScope;

namespace {

int g_tracker;

match_t run(tq3_module *self, tqconn *conn, Iov &iov)
{
    return msnp_tasklet_lookup(self, conn, iov.v, traffic::recording_lookup);
}

// ---------------------------------------------------------------------
// Descriptor
// ---------------------------------------------------------------------

TEST(Descriptor, NamesVersionAndTrafficEntryPoints)
{
    EXPECT_STREQ(plugin_data.name, "msnp");
    EXPECT_STREQ(plugin_data.description, "MSN");
    EXPECT_NE(plugin_data.author, nullptr);
    EXPECT_NE(plugin_data.owner, nullptr);
    EXPECT_NE(plugin_data.tag, nullptr);
    EXPECT_EQ(plugin_data.version, 23u);
    EXPECT_EQ(plugin_data.patch, 50u);
    EXPECT_EQ(plugin_data.require, 1u);
    EXPECT_EQ(plugin_data.tasklet, &msnp_tasklet);
    EXPECT_EQ(plugin_data.tasklet_init, nullptr);
    EXPECT_EQ(plugin_data.tasklet_fini, &msnp_tasklet_fini);
    EXPECT_EQ(plugin_data.fini, nullptr);
    EXPECT_EQ(plugin_data.postinit, nullptr);
    EXPECT_EQ(plugin_data.poll, nullptr);
    EXPECT_EQ(plugin_data.alarm, nullptr);
    EXPECT_EQ(plugin_data.task_alarm, nullptr);
}

// ---------------------------------------------------------------------
// Whole chunks
// ---------------------------------------------------------------------

TEST(Tasklet, LineWithCrLfIsDispatched)
{
    RecordScope s;
    Module m;
    Conn c(DIR_CLIENT_TO_SERVER);
    Iov iov("VER 1 MSNP8 CVR0\r\n");
    EXPECT_EQ(run(m.get(), c.get(), iov), TQ_MATCH_PASS);
    ASSERT_EQ(s.rec.seen.size(), 1u);
    EXPECT_EQ(s.rec.seen[0].opcode, MSN_OPCODE_VER);
    EXPECT_EQ(s.rec.seen[0].bytes, "VER 1 MSNP8 CVR0\r\n");
    EXPECT_EQ(iov.joined(), "VER 1 MSNP8 CVR0\r\n");
}

TEST(Tasklet, LineWithoutCrLfAsksForMoreAndLeavesTheVector)
{
    RecordScope s;
    Module m;
    Conn c(DIR_CLIENT_TO_SERVER);
    Iov iov;
    iov.add("VER 1 MSN");
    iov.add("P8 CVR0");
    EXPECT_EQ(run(m.get(), c.get(), iov), TQ_MATCH_MOREDATA);
    EXPECT_TRUE(s.rec.seen.empty());
    EXPECT_EQ(iov.pieces(), (std::vector<std::string>{"VER 1 MSN", "P8 CVR0"}));
}

TEST(Tasklet, ProductionEntryPointRelaysUnchangedForNow)
{
    Module m;
    Conn c(DIR_SERVER_TO_CLIENT);
    Iov iov("USR 1 OK a@b.c Alice 1 0\r\nMSG a@b.c Alice 5\r\nhello");
    EXPECT_EQ(msnp_tasklet(m.get(), c.get(), iov.v), TQ_MATCH_PASS);
    EXPECT_EQ(iov.pieces(),
              (std::vector<std::string>{"USR 1 OK a@b.c Alice 1 0\r\n", "MSG a@b.c Alice 5\r\nhello"}));
    Iov part("MSG a@b.c Alice 5\r\nhel");
    EXPECT_EQ(msnp_tasklet(m.get(), c.get(), part.v), TQ_MATCH_MOREDATA);
    EXPECT_EQ(part.joined(), "MSG a@b.c Alice 5\r\nhel");
}

TEST(Tasklet, UnknownFirstCommandPassesTheWholeChunk)
{
    RecordScope s;
    s.rec.verdict = [](task_struct *) { return TQ_MATCH_BLOCK; };
    Module m;
    Conn c(DIR_SERVER_TO_CLIENT, &g_tracker);
    for (const char *chunk : {"911 4\r\nMSG a b 2\r\nhiOUT\r\n", "hello MSG\r\nOUT\r\n", "ms",
                              "msg a b 2\r\nhi"}) {
        Iov iov;
        iov.add(chunk);
        iov.add("PNG\r\n");
        EXPECT_EQ(run(m.get(), c.get(), iov), TQ_MATCH_PASS);
        EXPECT_EQ(iov.pieces(), (std::vector<std::string>{chunk, "PNG\r\n"})) << chunk;
    }
    EXPECT_TRUE(s.rec.seen.empty());
}

TEST(Tasklet, EmptyVectorPasses)
{
    Module m;
    Conn c;
    Iov iov;
    EXPECT_EQ(msnp_tasklet(m.get(), c.get(), iov.v), TQ_MATCH_PASS);
    EXPECT_EQ(iov.v->iovc, 0u);
    EXPECT_EQ(msnp_tasklet(m.get(), nullptr, iov.v), TQ_MATCH_PASS);
    EXPECT_EQ(msnp_tasklet(m.get(), c.get(), nullptr), TQ_MATCH_PASS);
}

TEST(Tasklet, BlockedCommandIsDroppedOthersKeepTheirOrder)
{
    RecordScope s;
    s.rec.verdict = [](task_struct *t) {
        return t->opcode == MSN_OPCODE_REM ? TQ_MATCH_BLOCK : TQ_MATCH_PASS;
    };
    Module m;
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    Iov iov("ADC 4 FL N=a@b.c\r\nREM 5 AL b@c.d\r\nCHG 6 NLN 0\r\n");
    EXPECT_EQ(run(m.get(), c.get(), iov), TQ_MATCH_PASS);
    EXPECT_EQ(iov.pieces(), (std::vector<std::string>{"ADC 4 FL N=a@b.c\r\n", "CHG 6 NLN 0\r\n"}));
    EXPECT_EQ(s.rec.seen.size(), 3u);
}

TEST(Tasklet, EveryVerdictButPassAndAlertDrops)
{
    RecordScope s;
    Module m;
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    struct Case {
        match_t verdict;
        bool kept;
    };
    for (Case k : {Case{TQ_MATCH_PASS, true}, Case{TQ_MATCH_ALERT, true},
                   Case{TQ_MATCH_BLOCK, false}, Case{TQ_MATCH_NONE, false},
                   Case{TQ_MATCH_INVALID, false}, Case{TQ_MATCH_CONTINUE, false},
                   Case{TQ_MATCH_MOREDATA, false}}) {
        s.rec.verdict = [k](task_struct *) { return k.verdict; };
        Iov iov("CHG 6 NLN 0\r\n");
        EXPECT_EQ(run(m.get(), c.get(), iov), TQ_MATCH_PASS);
        EXPECT_EQ(iov.joined(), k.kept ? "CHG 6 NLN 0\r\n" : "") << k.verdict;
    }
}

TEST(Tasklet, RewrittenBytesGoOut)
{
    RecordScope s;
    static char away[] = "AWY";
    s.rec.verdict = [](task_struct *t) {
        replace(t, 2, away);
        reconstruct(t, 1);
        return TQ_MATCH_PASS;
    };
    Module m;
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    Iov iov("CHG 6  NLN 0\r\nPNG\r\n");
    EXPECT_EQ(run(m.get(), c.get(), iov), TQ_MATCH_PASS);
    EXPECT_EQ(iov.pieces()[0], "CHG 6 AWY 0\r\n");
}

TEST(Tasklet, CompletePayloadAtTheEndIsDispatched)
{
    RecordScope s;
    Module m;
    Conn c(DIR_SERVER_TO_CLIENT, &g_tracker);
    Iov iov("JOI b@c.d Bob\r\nMSG b@c.d Bob 5\r\nhello");
    EXPECT_EQ(run(m.get(), c.get(), iov), TQ_MATCH_PASS);
    EXPECT_EQ(s.rec.commands(),
              (std::vector<std::string>{"JOI b@c.d Bob\r\n", "MSG b@c.d Bob 5\r\nhello"}));
}

TEST(Tasklet, PayloadCutAfterAnInnerCrLfIsHeld)
{
    RecordScope s;
    Module m;
    Conn c(DIR_SERVER_TO_CLIENT, &g_tracker);
    /* The first 19 of 40 payload bytes end with CR LF. */
    std::string head = "MSG b@c.d Bob 40\r\n";
    std::string body = "MIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\nhi";
    ASSERT_GE(body.size(), 40u);
    Iov iov(head + body.substr(0, 19));
    ASSERT_EQ(iov.joined().substr(iov.joined().size() - 2), "\r\n");
    EXPECT_EQ(run(m.get(), c.get(), iov), TQ_MATCH_MOREDATA);
    Iov bare(head);
    EXPECT_EQ(run(m.get(), c.get(), bare), TQ_MATCH_MOREDATA);
    Iov with_line("PNG\r\n" + head + "MIME-Version: 1.0\r\n");
    EXPECT_EQ(run(m.get(), c.get(), with_line), TQ_MATCH_MOREDATA);
    EXPECT_EQ(with_line.joined(), "PNG\r\n" + head + "MIME-Version: 1.0\r\n");
    EXPECT_TRUE(s.rec.seen.empty());
}

// ---------------------------------------------------------------------
// Cut streams, as the host delivers them
// ---------------------------------------------------------------------

struct Stream {
    std::string bytes;
    std::vector<std::string> commands;
    void add(const std::string &cmd)
    {
        bytes += cmd;
        commands.push_back(cmd);
    }
    void add_payload(const std::string &header, const std::string &payload)
    {
        add(header + " " + std::to_string(payload.size()) + "\r\n" + payload);
    }
};

Stream switchboard_stream()
{
    Stream s;
    s.add("USR 1 alice@example.com 1234567890.123456\r\n");
    s.add("IRO 1 1 1 bob@example.com Bob%20B 1342177280\r\n");
    s.add_payload("MSG bob@example.com Bob%20B",
                  "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                  "X-MMS-IM-Format: FN=Segoe%20UI; EF=; CO=0; CS=0; PF=0\r\n\r\n"
                  "Hi Alice,\r\nlunch at noon?");
    std::string p2p = "MIME-Version: 1.0\r\nContent-Type: application/x-msnmsgrp2p\r\n"
                      "P2P-Dest: alice@example.com\r\n\r\n";
    static const char kBinary[] = "\0\0\0\0\x12\x34\r\n\0MSG 9 N 5\r\n\xff\xfe\0\r\n";
    std::string binary(kBinary, sizeof kBinary - 1);
    s.add_payload("MSG 2 D", p2p + binary);
    s.add("JOI carol@example.com Carol 1342177280\r\n");
    s.add_payload("MSG bob@example.com Bob%20B",
                  "MIME-Version: 1.0\r\nContent-Type: text/x-msmsgscontrol\r\n"
                  "TypingUser: bob@example.com\r\n\r\n\r\n");
    s.add_payload("QRY 3 PROD0090YUAUV{2B", "0123456789abcdef0123456789abcdef");
    s.add_payload("UBX bob@example.com", "<Data><PSM>\r\n</PSM></Data>");
    s.add("PNG\r\n");
    s.add_payload("GCF 0", std::string("<Policy>\0</Policy>", 18));
    s.add_payload("MSG 4 U", std::string("ab\r\ncd\0", 7));
    s.add("BYE carol@example.com\r\n");
    s.add_payload("UUX 5", "<Data></Data>");
    s.add_payload("MSG 6 N", "x");
    s.add("OUT\r\n");
    return s;
}

/* Feeds `chunks` like the host: a TQ_MATCH_MOREDATA chunk comes back in
 * front of the next one. Returns what went out; `held` is what the host
 * still holds at the end. */
std::string relay(const std::vector<std::string> &chunks, tq3_module *self, tqconn *conn,
                  std::string *held)
{
    std::string out;
    held->clear();
    for (const auto &chunk : chunks) {
        std::string data = *held + chunk;
        Iov iov(data);
        match_t r = run(self, conn, iov);
        if (r == TQ_MATCH_MOREDATA) {
            EXPECT_EQ(iov.joined(), data);
            *held = data;
        } else {
            EXPECT_EQ(r, TQ_MATCH_PASS);
            held->clear();
            out += iov.joined();
        }
    }
    return out;
}

TEST(TaskletStream, WholeStreamInOneChunk)
{
    Stream s = switchboard_stream();
    RecordScope rs;
    Module m;
    Conn c(DIR_SERVER_TO_CLIENT, &g_tracker);
    std::string held;
    EXPECT_EQ(relay({s.bytes}, m.get(), c.get(), &held), s.bytes);
    EXPECT_TRUE(held.empty());
    EXPECT_EQ(rs.rec.commands(), s.commands);
}

TEST(TaskletStream, EveryCutPositionRelaysTheStreamExactly)
{
    Stream s = switchboard_stream();
    Module m;
    for (conn_direction dir : {DIR_SERVER_TO_CLIENT, DIR_CLIENT_TO_SERVER}) {
        Conn c(dir, &g_tracker);
        for (size_t k = 1; k < s.bytes.size(); ++k) {
            RecordScope rs;
            std::string held;
            std::string out =
                relay({s.bytes.substr(0, k), s.bytes.substr(k)}, m.get(), c.get(), &held);
            ASSERT_TRUE(held.empty()) << "cut " << k;
            ASSERT_EQ(out, s.bytes) << "cut " << k;
            if (k < 3) {
                /* Too short to name a command: both halves go through
                 * unexamined. */
                EXPECT_TRUE(rs.rec.seen.empty()) << "cut " << k;
            } else {
                ASSERT_EQ(rs.rec.commands(), s.commands) << "cut " << k;
                for (const auto &seen : rs.rec.seen)
                    EXPECT_EQ(seen.direction, dir);
            }
        }
    }
}

TEST(TaskletStream, RandomChunkSizesRelayTheStreamExactly)
{
    Stream s = switchboard_stream();
    Module m;
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    std::mt19937 rng(4242);
    for (int round = 0; round < 300; ++round) {
        /* At least three bytes per chunk, so every chunk the tasklet sees
         * can name its first command. */
        std::vector<std::string> chunks;
        size_t at = 0;
        while (at < s.bytes.size()) {
            size_t n = 3 + rng() % (round % 2 ? 12 : 80);
            chunks.push_back(s.bytes.substr(at, n));
            at += n;
        }
        if (chunks.size() > 1 && chunks.back().size() < 3) {
            chunks[chunks.size() - 2] += chunks.back();
            chunks.pop_back();
        }
        RecordScope rs;
        std::string held;
        ASSERT_EQ(relay(chunks, m.get(), c.get(), &held), s.bytes) << "round " << round;
        ASSERT_TRUE(held.empty());
        ASSERT_EQ(rs.rec.commands(), s.commands) << "round " << round;
    }
}

TEST(TaskletStream, BlockingOneCommandRemovesExactlyItAtEveryCut)
{
    Stream s = switchboard_stream();
    const std::string victim = s.commands[4]; /* the JOI line */
    std::string expected = s.bytes;
    expected.erase(expected.find(victim), victim.size());
    Module m;
    Conn c(DIR_SERVER_TO_CLIENT, &g_tracker);
    for (size_t k = 3; k < s.bytes.size(); ++k) {
        RecordScope rs;
        rs.rec.verdict = [](task_struct *t) {
            return t->opcode == MSN_OPCODE_JOI ? TQ_MATCH_BLOCK : TQ_MATCH_PASS;
        };
        std::string held;
        ASSERT_EQ(relay({s.bytes.substr(0, k), s.bytes.substr(k)}, m.get(), c.get(), &held),
                  expected)
            << "cut " << k;
    }
}

TEST(TaskletStream, HostileBytesNeverLoseOrInventData)
{
    /* Garbage around real commands: whatever is decided, what goes out
     * plus what the host still holds is exactly what came in. */
    static const char *parts[] = {"MSG a b ", "-3", "99999999999", "x", "\r\n", "\r", "\n",
                                  "PNG", " ",  "QRY 1 ", "SDC 2 ", "GCF 0 ", "UBX q ", "7",
                                  "hello", "OUT\r\n", "UUN 3 a 1 "};
    std::mt19937 rng(777);
    Module m;
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    for (int round = 0; round < 400; ++round) {
        std::string stream = "PNG\r\n";
        int n = 1 + static_cast<int>(rng() % 30);
        for (int i = 0; i < n; ++i) {
            if (rng() % 9 == 0)
                stream += '\0';
            stream += parts[rng() % (sizeof parts / sizeof *parts)];
        }
        std::vector<std::string> chunks;
        for (size_t at = 0; at < stream.size();) {
            size_t len = 1 + rng() % 16;
            chunks.push_back(stream.substr(at, len));
            at += len;
        }
        RecordScope rs;
        std::string held;
        std::string out = relay(chunks, m.get(), c.get(), &held);
        ASSERT_EQ(out + held, stream) << "round " << round;
    }
}

// ---------------------------------------------------------------------
// End of a connection
// ---------------------------------------------------------------------

TEST(TaskletFini, WithoutTrackerReturnsAtOnce)
{
    Module m;
    Conn c;
    EXPECT_EQ(msnp_tasklet_fini(m.get(), c.get()), 0);
    EXPECT_EQ(msnp_tasklet_fini(m.get(), nullptr), 0);
}

TEST(TaskletFini, UnlinksTheTrackerFromTheModule)
{
    Module m;
    auto *mine = new msnp_conntrack();
    auto *other = new msnp_conntrack();
    tqlist_insert_begin(&m.m.data, other);
    tqlist_insert_begin(&m.m.data, mine);
    Conn c(DIR_CLIENT_TO_SERVER, mine);
    EXPECT_EQ(msnp_tasklet_fini(m.get(), c.get()), 0);
    EXPECT_EQ(c.c.plugin, nullptr);
    EXPECT_EQ(tqlist_search_ref(m.m.data, mine), nullptr);
    EXPECT_NE(tqlist_search_ref(m.m.data, other), nullptr);
    EXPECT_EQ(tqlist_length(m.m.data), 1u);
    /* The lock is free again. */
    EXPECT_EQ(pthread_rwlock_trywrlock(&m.m.data_lock), 0);
    pthread_rwlock_unlock(&m.m.data_lock);
    /* Tracker destruction is not wired into fini yet: the test releases
     * both itself. */
    delete mine;
    delete other;
}

} // namespace
