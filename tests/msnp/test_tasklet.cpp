/* The traffic entry points: the descriptor, msnp_tasklet on whole and cut
 * chunks as the host delivers them, and msnp_tasklet_fini. */
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "msnp/traffic_helpers.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_task.h"

using namespace traffic;
using Strings = std::vector<std::string>;

namespace {

msnp_conntrack g_tracker; /* a signed-in connection's stand-in */

match_t run(tqconn &conn, Iov &iov)
{
    static Module m;
    return msnp_tasklet_lookup(&m.m, &conn, iov.v, recording_lookup);
}

/* A numeric reply passes as it came and a word no server sends is dropped
 * (with no policy to say otherwise); the commands after either in the same
 * chunk are decided all the same. */
TEST(Tasklet, EveryCommandIsDecidedWhateverPrecedesIt)
{
    Recorder r;
    r.verdict = [](task_struct *) { return TQ_MATCH_BLOCK; };
    tqconn c = make_conn(DIR_SERVER_TO_CLIENT, &g_tracker);
    Iov iov({"911 4\r\nMSG a b 2\r\nhi", "XYZ 1\r\nOUT\r\n"});
    EXPECT_EQ(run(c, iov), TQ_MATCH_PASS);
    EXPECT_EQ(iov.joined(), "911 4\r\n");
    EXPECT_EQ(r.commands(), (Strings{"MSG a b 2\r\nhi", "OUT\r\n"}));
    Iov empty;
    EXPECT_EQ(msnp_tasklet(nullptr, &c, empty.v), TQ_MATCH_PASS);
}

/* A command that passed but cannot be kept for the output (here: its
 * bytes are gone, as when memory runs out) must not leave a silent hole
 * in the stream: the chunk is withheld and the connection asked to end. */
TEST(Tasklet, ACommandThatCannotBeKeptEndsTheConnection)
{
    Recorder r;
    tqconn c = make_conn(DIR_CLIENT_TO_SERVER, &g_tracker);
    r.verdict = [](task_struct *t) {
        if (t->opcode == MSN_OPCODE_CHG)
            msnp_task_set_buffer(t, nullptr, 0);
        return TQ_MATCH_PASS;
    };
    Iov iov({"PNG\r\nCHG 6 NLN 0\r\nPNG\r\n"});
    EXPECT_EQ(run(c, iov), TQ_MATCH_BLOCK);
    EXPECT_EQ(c.poison_match, TQ_MATCH_BLOCK);
}

struct Stream {
    std::string bytes;
    Strings commands;
    void add(const std::string &cmd) { bytes += cmd; commands.push_back(cmd); }
    void add(const std::string &header, const std::string &payload)
    {
        add(header + " " + std::to_string(payload.size()) + "\r\n" + payload);
    }
};

/* A conversation's bytes as one side sends them: lines, and payloads that
 * hold CR LF, NUL and whole command lines. */
Stream switchboard_stream(conn_direction dir)
{
    static const char kBinary[] = "\0\0\0\0\x12\x34\r\n\0MSG 9 N 5\r\n\xff\xfe\0\r\n";
    const std::string p2p = "MIME-Version: 1.0\r\nContent-Type: application/x-msnmsgrp2p\r\n"
                            "P2P-Dest: alice@example.com\r\n\r\n" + std::string(kBinary, sizeof kBinary - 1);
    const std::string typing = "MIME-Version: 1.0\r\nContent-Type: text/x-msmsgscontrol\r\n"
                               "TypingUser: bob@example.com\r\n\r\n\r\n";
    Stream s;
    if (dir == DIR_CLIENT_TO_SERVER) {
        s.add("USR 1 alice@example.com 1234567890.123456\r\n");
        s.add("MSG 2 D", p2p);
        s.add("MSG 3 U", typing);
        s.add("MSG 3 N", "MIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\nUSR 9 x@y z\r\n");
        s.add("CAL 4 carol@example.com\r\n");
        s.add("MSG 4 U", std::string("ab\r\ncd\0", 7));
        s.add("MSG 6 N", "x");
        s.add("OUT\r\n");
        return s;
    }
    s.add("USR 1 OK alice@example.com Alice\r\n");
    s.add("IRO 1 1 1 bob@example.com Bob%20B 1342177280\r\n");
    s.add("MSG bob@example.com Bob%20B", "MIME-Version: 1.0\r\nContent-Type: text/plain; "
                                         "charset=UTF-8\r\nX-MMS-IM-Format: FN=Arial\r\n\r\nHi,\r\nlunch?");
    s.add("MSG bob@example.com Bob%20B", p2p);
    s.add("JOI carol@example.com Carol 1342177280\r\n");
    s.add("MSG bob@example.com Bob%20B", typing);
    s.add("ACK 5\r\n");
    s.add("MSG carol@example.com Carol", std::string("<Policy>\0</Policy>", 18));
    s.add("BYE carol@example.com\r\n");
    s.add("NAK 6\r\n");
    s.bytes += "217 6\r\n"; /* relayed, with no handler to see it */
    s.add("OUT\r\n");
    return s;
}

/* Feeds chunks like the host: a TQ_MATCH_MOREDATA chunk comes back in front
 * of the next one. Returns what went out; `held` is what is still held. */
std::string relay(const Strings &chunks, tqconn &conn, std::string *held)
{
    std::string out;
    held->clear();
    for (const auto &chunk : chunks) {
        std::string data = *held + chunk;
        Iov iov({data});
        if (run(conn, iov) == TQ_MATCH_MOREDATA) {
            EXPECT_EQ(iov.joined(), data);
            *held = data;
        } else {
            held->clear();
            out += iov.joined();
        }
    }
    return out;
}

TEST(TaskletStream, EveryCutPositionRelaysAndDispatchesTheStreamExactly)
{
    for (conn_direction dir : {DIR_SERVER_TO_CLIENT, DIR_CLIENT_TO_SERVER}) {
        const Stream s = switchboard_stream(dir);
        tqconn c = make_conn(dir, &g_tracker);
        for (size_t k = 0; k < s.bytes.size(); ++k) {
            Recorder r;
            std::string held;
            Strings chunks = {s.bytes.substr(0, k), s.bytes.substr(k)};
            ASSERT_EQ(relay(chunks, c, &held), s.bytes) << "cut " << k;
            ASSERT_TRUE(held.empty()) << "cut " << k;
            ASSERT_EQ(r.commands(), s.commands) << "cut " << k;
            for (const auto &seen : r.seen)
                ASSERT_EQ(seen.direction, dir);
        }
    }
}

TEST(TaskletStream, RandomChunkSizesAndABlockedCommand)
{
    const Stream s = switchboard_stream(DIR_CLIENT_TO_SERVER);
    std::string without_cal = s.bytes;
    without_cal.erase(without_cal.find(s.commands[4]), s.commands[4].size());
    tqconn c = make_conn(DIR_CLIENT_TO_SERVER, &g_tracker);
    std::mt19937 rng(4242);
    for (int round = 0; round < 300; ++round) {
        Strings chunks; /* at least three bytes each, so each can name a command */
        for (size_t at = 0, n; at < s.bytes.size(); at += n) {
            size_t left = s.bytes.size() - at;
            n = std::min<size_t>(left, 3 + rng() % (round % 2 ? 12 : 80));
            if (left - n < 3)
                n = left;
            chunks.push_back(s.bytes.substr(at, n));
        }
        Recorder r;
        bool block = round % 3 == 0;
        if (block)
            r.verdict = [](task_struct *t) {
                return t->opcode == MSN_OPCODE_CAL ? TQ_MATCH_BLOCK : TQ_MATCH_PASS;
            };
        std::string held;
        ASSERT_EQ(relay(chunks, c, &held), block ? without_cal : s.bytes) << "round " << round;
        ASSERT_EQ(r.commands(), s.commands) << "round " << round;
    }
}

TEST(TaskletStream, HostileBytesAreNeitherInventedNorReordered)
{
    const std::string parts[] = {"MSG a b ", "-3", "99999999999", "x", "\r\n", "\r", "\n", "PNG",
                                 " ", "QRY 1 ", "SDC 2 ", "GCF 0 ", "UBX q ", "7", "hello",
                                 "OUT\r\n", "UUN 3 a 1 ", std::string(1, '\0')};
    std::mt19937 rng(777);
    tqconn c = make_conn(DIR_CLIENT_TO_SERVER, &g_tracker);
    for (int round = 0; round < 400; ++round) {
        std::string stream = "PNG\r\n";
        for (int i = 1 + rng() % 30; i > 0; --i)
            stream += parts[rng() % std::size(parts)];
        Strings chunks;
        for (size_t at = 0, n; at < stream.size(); at += n)
            chunks.push_back(stream.substr(at, n = 1 + rng() % 16));
        Recorder r;
        std::string held;
        std::string out = relay(chunks, c, &held);
        /* What is not a command goes, whole; nothing is invented or
         * reordered, and what is held is the stream's unfinished end. */
        size_t at = 0;
        for (char ch : out + held) {
            at = stream.find(ch, at);
            ASSERT_NE(at, std::string::npos) << "round " << round;
            ++at;
        }
        ASSERT_EQ(stream.compare(stream.size() - held.size(), held.size(), held), 0) << "round " << round;
    }
}

/* A connection that never got a tracker ends without touching the trackers
 * of others, and leaves the module's lock free. */
TEST(TaskletFini, ConnectionWithoutATrackerLeavesOthersAlone)
{
    Module m;
    msnp_conntrack other;
    tqlist_insert_begin(&m.m.data, &other);
    tqconn none = make_conn(DIR_CLIENT_TO_SERVER);
    EXPECT_EQ(msnp_tasklet_fini(&m.m, &none), 0);
    EXPECT_EQ(msnp_tasklet_fini(&m.m, nullptr), 0);
    EXPECT_EQ(tqlist_search_ref(m.m.data, &other), m.m.data);
    EXPECT_EQ(pthread_rwlock_trywrlock(&m.m.data_lock), 0);
    pthread_rwlock_unlock(&m.m.data_lock);
    tqlist_unlink_remove_ref(&m.m.data, &other);
}

} // namespace
