/* End-to-end: the gateway records what it relays, and tqreplay, given the
 * recording and the same policy, decides every command as the gateway did. */
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "gateway/e2e_fixture.h"
#include "replay.h"
#include "tools/segment_cuts.h"

using namespace e2e;

namespace {

/* Verdict lines by their command's place: connection, direction, offset;
 * the time apart (the gateway's clock may have ticked since the packet). */
std::map<std::string, std::pair<long, std::string>> by_place(const std::vector<std::string> &lines)
{
    std::map<std::string, std::pair<long, std::string>> out;
    for (const auto &l : lines) {
        if (l.rfind("{\"time\":", 0) != 0)
            continue;
        std::string key = json_field(l, "client") + " " + json_field(l, "server") + " " + json_field(l, "direction") + " " +
                          json_field(l, "offset");
        std::string rest = l.substr(l.find(','));
        EXPECT_EQ(out.count(key), 0u) << "two verdicts for " << key;
        out[key] = {std::atol(json_field(l, "time").c_str()), rest};
    }
    return out;
}

class Capture : public GatewayE2E {
protected:
    std::string captures = dir / "captures";

    std::vector<std::string> files(const std::string &ext)
    {
        std::vector<std::string> out;
        for (const auto &e : std::filesystem::directory_iterator(captures))
            if (e.path().extension() == ext)
                out.push_back(e.path().string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

} // namespace

/* Alice signs in and talks, bob's sign-in is refused, frank (not one of
 * the recorded users) signs in too. The recording holds alice's and bob's
 * connections only; replayed, it gives the gateway's verdicts one for one. */
TEST_F(Capture, ARecordedSessionReplaysToTheVerdictsTheGatewayGave)
{
    start({"capture = alice@*, BOB@*", "capture-dir = " + captures, "var log-dir = \"" + (dir / "logs") + "\""});
    OPEN_PAIR(n, ns);
    int c = n.client.get(), s = n.server.get();
    md5_sign_in(c, s, "alice@example.com");
    EXPECT_TRUE(pass_through(s, c, "USR 4 OK alice@example.com Alice%20Example\r\n"));
    Pair b = call_bob(n);
    ASSERT_TRUE(b.client && b.server);
    int bc = b.client.get(), bs = b.server.get();
    const std::string hi = msg("MSG bob@example.org Bob", text_payload("hi alice"));
    const std::string from_mallory = msg("MSG mallory@example.net Mallory", text_payload("open this"));
    const std::string after = msg("MSG bob@example.org Bob", text_payload("still there?"));
    ASSERT_TRUE(send_all(bs, hi + from_mallory));
    ASSERT_TRUE(send_all(bs, after));
    EXPECT_EQ(recv_exact(bc, hi.size()), hi);
    EXPECT_EQ(recv_exact(bc, after.size()), after);
    EXPECT_TRUE(pass_through(bc, bs, msg("MSG 3 N", text_payload("yes, here"))));
    EXPECT_TRUE(pass_through(bc, bs, "OUT\r\n"));

    /* Refused: bob is disabled; not recorded: frank. */
    {
        OPEN_PAIR(r, ns);
        md5_sign_in(r.client.get(), r.server.get(), "bob@example.com");
        ASSERT_TRUE(send_all(r.server.get(), "USR 4 OK bob@example.com Bob\r\n"));
        EXPECT_TRUE(recv_until_closed(r.client.get()).closed);
    }
    {
        OPEN_PAIR(f, ns);
        md5_sign_in(f.client.get(), f.server.get(), "frank@example.com");
    }
    b.client.reset();
    n.client.reset();
    EXPECT_TRUE(recv_until_closed(s).closed);
    ASSERT_EQ(gw.stop(SIGTERM), 0) << gw.stderr_text();

    auto pcaps = files(".pcap");
    ASSERT_EQ(pcaps.size(), 1u);
    std::vector<std::string> live;
    for (const auto &f : files(".jsonl"))
        for (const auto &l : lines_of(slurp(f)))
            live.push_back(l);
    RunResult r = run_program({TQREPLAY_BIN, "--json", "-p", policy, "--set", "msnp-ports=" + std::to_string(ns.port()),
                               "--set", "var log-dir = \"" + (dir / "replay-logs") + "\"", pcaps[0]},
                              dir);
    ASSERT_EQ(r.status, 0) << r.err;
    auto want = by_place(live), got = by_place(lines_of(r.out));
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(got.size(), want.size());
    for (const auto &[place, verdict] : want) {
        auto it = got.find(place);
        ASSERT_NE(it, got.end()) << "not replayed: " << place << verdict.second;
        EXPECT_EQ(it->second.second, verdict.second) << place;
        EXPECT_LE(std::abs(it->second.first - verdict.first), 1) << place;
    }
    /* The same recording cut into other segments (pieces, repeats,
     * overlaps, neighbours swapped) still gives the live verdicts. */
    {
        std::vector<tqreplay::Segment> segments;
        std::string error;
        std::vector<std::string> doubts;
        ASSERT_TRUE(tqreplay::read_capture(pcaps[0], segments, error, doubts)) << error;
        EXPECT_TRUE(doubts.empty()) << doubts.front();
        auto module = gw::ModuleHost::load(TQ_MODULE_PATH, error);
        ASSERT_TRUE(module) << error;
        module->set_variable("log-dir", dir / "cut-logs");
        gw::Report report;
        ASSERT_TRUE(module->load_policy(policy, report));
        tqreplay::ReplayOptions o;
        o.msnp_ports = {ns.port()};
        std::mt19937 rng(11);
        for (int round = 0; round < 30; ++round) {
            std::vector<std::string> lines;
            for (const auto &v : tqreplay::replay(*module, shuffle_cut(segments, rng), o, [](const std::string &) {}))
                lines.push_back(v.json);
            auto cut = by_place(lines);
            ASSERT_EQ(cut.size(), want.size()) << "round " << round;
            for (const auto &[place, verdict] : want)
                ASSERT_EQ(cut[place].second, verdict.second) << "round " << round << ": " << place;
        }
    }
    /* What the scenario must have decided, among the rest. */
    const std::string all = r.out;
    const std::string blocked = "\"command\":\"" + from_mallory.substr(0, from_mallory.find('\r')) +
                                "\",\"offset\":" + std::to_string(hi.size() + 93) + ",\"outcome\":\"block\"";
    for (const std::string &piece : {blocked, std::string("\"target\":\"mallory\",\"position\":1"),
                                     std::string("\"user\":\"bob@example.com\""),
                                     std::string("\"rule\":\"sign-in of a disabled user\""),
                                     std::string("\"command\":\"USR 4 OK bob@example.com Bob\"")})
        EXPECT_NE(all.find(piece), std::string::npos) << piece << "\n" << all;
    EXPECT_EQ(all.find("frank@example.com"), std::string::npos);
    EXPECT_EQ(slurp(pcaps[0]).find("frank@example.com"), std::string::npos) << "frank was recorded";

    /* tcpdump reads the recording as TCP between the real addresses. */
    if (access("/usr/bin/tcpdump", X_OK) == 0) {
        RunResult t = run_program({"/usr/bin/tcpdump", "-nn", "-r", pcaps[0], "-A"}, dir);
        EXPECT_EQ(t.status, 0) << t.err;
        EXPECT_NE(t.out.find("127.0.0.1." + std::to_string(sb.port()) + ": Flags [P.]"), std::string::npos) << t.out;
        EXPECT_NE(t.out.find("USR 3 MD5 I alice@example.com"), std::string::npos);
        EXPECT_EQ(t.err.find("truncated"), std::string::npos) << t.err;
    }
}
