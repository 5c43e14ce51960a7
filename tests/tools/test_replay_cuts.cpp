/* A replay decides on the bytes of a connection, not on how the network
 * cut them: sessions of each protocol version, cut at every byte and in
 * random segmentations with retransmitted, overlapping and out-of-order
 * segments, give exactly the verdicts, rewrites and explanations of the
 * same session in whole segments. */
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "../bench/replay/session_capture.h"
#include "gateway/e2e_helpers.h"
#include "replay.h"
#include "tools/segment_cuts.h"

using tqreplay::Segment;

namespace {

constexpr uint8_t kPush = tqreplay::kAck;

struct Conn {
    Segment proto[2]; // addresses of each direction
    uint32_t seq[2] = {1000, 5000};
};

class SessionBuilder {
public:
    std::vector<Segment> segments;

    explicit SessionBuilder(time_t start) : start_(start) {}

    Conn open(uint32_t client_ip, uint16_t client_port, uint32_t server_ip, uint16_t server_port)
    {
        Conn c;
        c.proto[0].src = session_capture::end(client_ip, client_port);
        c.proto[0].dst = session_capture::end(server_ip, server_port);
        c.proto[1].src = c.proto[0].dst;
        c.proto[1].dst = c.proto[0].src;
        add(c, 0, "", tqreplay::kSyn);
        add(c, 1, "", tqreplay::kSyn | tqreplay::kAck);
        return c;
    }
    void say(Conn &c, int side, const std::string &bytes) { add(c, side, bytes, kPush); }
    void close(Conn &c)
    {
        add(c, 0, "", tqreplay::kFin | tqreplay::kAck);
        add(c, 1, "", tqreplay::kFin | tqreplay::kAck);
    }

private:
    time_t start_;
    long usec_ = 0;

    void add(Conn &c, int side, const std::string &bytes, uint8_t flags)
    {
        Segment s = c.proto[side];
        s.ts = {start_ + usec_ / 1000000, usec_ % 1000000};
        usec_ += 1000;
        s.seq = c.seq[side];
        s.flags = flags;
        s.payload = bytes;
        c.seq[side] += static_cast<uint32_t>(bytes.size()) + ((flags & (tqreplay::kSyn | tqreplay::kFin)) ? 1 : 0);
        segments.push_back(s);
    }
};

/* dave of the example policy signs in with protocol `version` and talks
 * to a colleague (passed), the competition (blocked both ways, once right
 * after a numeric reply in the same segment) and a partner (a
 * confidential text withheld). */
std::vector<Segment> session(int version)
{
    SessionBuilder b(session_capture::wednesday(10));
    const std::string me = "dave@corp.example.com";
    const std::string v = "MSNP" + std::to_string(version);
    const std::string guid = version >= 18 ? ";{f52973b6-c926-4bad-9ba8-7c1e840e4ab0}" : "";
    Conn ns = b.open(0x0a010001u, 20000, 0x0a000001u, 1863);
    b.say(ns, 0, "VER 1 " + v + " CVR0\r\n");
    b.say(ns, 1, "VER 1 " + v + " CVR0\r\n");
    if (version >= 8) {
        b.say(ns, 0, "CVR 2 0x0409 winnt 5.1 i386 MSNMSGR 8.5.1302 msmsgs " + me + "\r\n");
        b.say(ns, 1, "CVR 2 8.5.1302 8.5.1302 8.5.1302 http://example.invalid/d http://example.invalid/i\r\n");
    }
    const char *how = version <= 7 ? "MD5" : version <= 14 ? "TWN" : "SSO";
    b.say(ns, 0, std::string("USR 3 ") + how + " I " + me + "\r\n");
    b.say(ns, 1, std::string("USR 3 ") + how + " S 1013928519.693957190\r\n");
    b.say(ns, 0, std::string("USR 4 ") + how + " S t=abc&p=def\r\n");
    b.say(ns, 1, version <= 7 ? "USR 4 OK " + me + " Dave\r\n" : "USR 4 OK " + me + " 1 0\r\n");
    b.say(ns, 0, "PNG\r\n");
    b.say(ns, 1, "QNG 50\r\n");
    const std::string rival = version >= 18 ? "1:rival@competitor.example" : "rival@competitor.example";
    b.say(ns, 1, version >= 14 && version < 18 ? "NLN NLN " + rival + " 1 Rival 0\r\n"
                                                  : "NLN NLN " + rival + " Rival 0\r\n");
    b.say(ns, 1, "ILN 9 NLN ann@corp.example.com Ann 0\r\n");
    b.say(ns, 0, "XFR 5 SB\r\n");
    b.say(ns, 1, "XFR 5 SB 10.0.0.2:1864 CKI 17262740.1050826919.1\r\n");

    Conn sb = b.open(0x0a010001u, 20001, 0x0a000002u, 1864);
    b.say(sb, 0, "USR 1 " + me + guid + " 17262740.1050826919.1\r\n");
    b.say(sb, 1, "USR 1 OK " + me + guid + " Dave\r\n");
    unsigned trid = 2;
    for (const char *contact : {"ann@corp.example.com", "rival@competitor.example", "pat@partner.example.com"}) {
        b.say(sb, 0, "CAL " + std::to_string(trid) + " " + contact + "\r\n");
        b.say(sb, 1, "CAL " + std::to_string(trid) + " RINGING 11752013\r\nJOI " + contact + guid + " Contact\r\n");
        ++trid;
    }
    b.say(sb, 0, session_capture::msg("MSG " + std::to_string(trid++) + " N", "morning"));
    b.say(sb, 1, session_capture::msg("MSG ann@corp.example.com Ann", "hi dave"));
    b.say(sb, 1, "217 " + std::to_string(trid) + "\r\n" +
                     session_capture::msg("MSG rival@competitor.example Rival", "care to talk?"));
    b.say(sb, 0, session_capture::msg("MSG " + std::to_string(trid++) + " N", "CONFIDENTIAL: the price list"));
    b.say(sb, 0, session_capture::msg("MSG " + std::to_string(trid++) + " N", "see you"));
    b.say(sb, 0, "OUT\r\n");
    b.close(sb);
    b.say(ns, 0, "OUT\r\n");
    b.close(ns);
    return b.segments;
}

struct Replayer {
    std::unique_ptr<gw::ModuleHost> module;
    e2e::TempDir logs;
    std::vector<std::string> warnings;

    Replayer()
    {
        std::string error;
        module = gw::ModuleHost::load(TQ_MODULE_PATH, error);
        EXPECT_TRUE(module) << error;
        if (!module)
            return;
        module->set_variable("log-dir", logs.path().string());
        gw::Report report;
        EXPECT_TRUE(module->load_policy(std::string(TQ_SOURCE_DIR) + "/examples/policy.xml", report));
    }
    std::vector<std::string> run(const std::vector<Segment> &segments)
    {
        tqreplay::ReplayOptions o;
        auto verdicts = tqreplay::replay(*module, segments, o, [&](const std::string &w) { warnings.push_back(w); });
        std::vector<std::string> out;
        for (const auto &v : verdicts)
            out.push_back(v.json);
        return out;
    }
};

/* `segments` with the one carrying stream byte `at` of direction `side`
 * of connection `conn` (its index among the SYNs) cut in two there. */
std::vector<Segment> cut_at(const std::vector<Segment> &segments, const Segment &stream, size_t at)
{
    std::vector<Segment> out;
    size_t seen = 0;
    for (const Segment &s : segments) {
        if (!(s.src == stream.src && s.dst == stream.dst) || s.payload.empty()) {
            out.push_back(s);
            continue;
        }
        if (at > seen && at < seen + s.payload.size()) {
            Segment a = s, b = s;
            size_t k = at - seen;
            a.payload = s.payload.substr(0, k);
            b.payload = s.payload.substr(k);
            b.seq = s.seq + static_cast<uint32_t>(k);
            out.push_back(a);
            out.push_back(b);
        } else {
            out.push_back(s);
        }
        seen += s.payload.size();
    }
    return out;
}

std::string joined(const std::vector<std::string> &v)
{
    std::string s;
    for (const auto &l : v)
        s += l + "\n";
    return s;
}

} // namespace

/* dave's session of `version` with every command of that version that
 * names the rival, in the forms that version uses; `about` receives the
 * first line of each. */
std::vector<Segment> rival_session(int version, std::vector<std::string> &about)
{
    SessionBuilder b(session_capture::wednesday(10));
    const std::string me = "dave@corp.example.com";
    const std::string rival = "rival@competitor.example";
    const std::string guid = ";{f52973b6-c926-4bad-9ba8-7c1e840e4ab0}";
    auto payload = [](const std::string &head, const std::string &body) {
        return head + " " + std::to_string(body.size()) + "\r\n" + body;
    };
    auto say = [&](Conn &c, int side, const std::string &bytes) {
        about.push_back(bytes.substr(0, bytes.find("\r\n")));
        b.say(c, side, bytes);
    };
    Conn ns = b.open(0x0a010001u, 20000, 0x0a000001u, 1863);
    const std::string v = "MSNP" + std::to_string(version);
    b.say(ns, 0, "VER 1 " + v + " CVR0\r\n");
    b.say(ns, 1, "VER 1 " + v + " CVR0\r\n");
    b.say(ns, 0, "USR 3 TWN I " + me + "\r\n");
    b.say(ns, 1, "USR 3 TWN S 1013928519.693957190\r\n");
    b.say(ns, 0, "USR 4 TWN S t=abc&p=def\r\n");
    b.say(ns, 1, version <= 7 ? "USR 4 OK " + me + " Dave\r\n" : "USR 4 OK " + me + " 1 0\r\n");
    /* presence and invitations from the rival */
    say(ns, 1, "ILN 5 NLN " + rival + " Rival 0\r\n");
    say(ns, 1, "NLN NLN " + (version >= 18 ? "1:" + rival : rival) + " Rival 0\r\n");
    if (version >= 11)
        say(ns, 1, payload("UBX " + (version >= 13 ? rival + " 1" : rival), "<Data><PSM>hello</PSM></Data>"));
    say(ns, 1, "RNG 77 10.0.0.3:1864 CKI 1.2 " + rival + " Rival\r\n");
    /* the contact list, in each version's words */
    if (version <= 9)
        say(ns, 0, "ADD 6 AL " + rival + " " + rival + "\r\n");
    else if (version <= 12)
        say(ns, 0, "ADC 6 AL N=" + rival + "\r\n");
    else
        say(ns, 0, payload("ADL 6", "<ml><d n=\"competitor.example\"><c n=\"rival\" l=\"2\" t=\"1\"/></d></ml>"));
    /* pages, e-mail invitations and messages through the server */
    if (version >= 5 && version <= 9)
        say(ns, 0, payload("PAG 7 " + rival, "<TEXT xml:space=\"preserve\">call me</TEXT>"));
    if (version >= 9)
        say(ns, 0, payload("PGD 8 " + rival + " 1", "<TEXT xml:space=\"preserve\">call me</TEXT>"));
    if (version >= 5)
        say(ns, 0, payload("SDC 9 " + rival + " 0x0409 MSMSGS MSMSGS X X Dave", "join me"));
    if (version >= 14)
        say(ns, 0, session_capture::msg("UUM 10 " + rival + " 32 1", "price list attached"));
    if (version >= 13)
        say(ns, 0, payload("UUN 11 " + rival + " 1", "<SNM opcode=\"SNM\" csid=\"{0}\" priority=\"0\"/>"));
    /* the carriers of the versions after the cap, should a server speak
     * one all the same */
    if (version >= 19)
        say(ns, 0, payload("SDG 12", "Routing: 1.0\r\nTo: 1:" + rival + "\r\nFrom: 1:" + me + "\r\n\r\n"
                                     "Reliability: 1.0\r\n\r\nMessaging: 2.0\r\nMessage-Type: Text\r\n"
                                     "Content-Length: 5\r\n\r\nhello"));
    b.say(ns, 0, "XFR 13 SB\r\n");
    b.say(ns, 1, "XFR 13 SB 10.0.0.2:1864 CKI 17262740.1050826919.1\r\n");

    Conn sb = b.open(0x0a010001u, 20001, 0x0a000002u, 1864);
    b.say(sb, 0, "USR 1 " + me + " 17262740.1050826919.1\r\n");
    b.say(sb, 1, "USR 1 OK " + me + " Dave\r\n");
    say(sb, 0, "CAL 2 " + rival + "\r\n");
    b.say(sb, 1, "CAL 2 RINGING 11752013\r\n");
    say(sb, 1, "JOI " + (version >= 18 ? rival + guid : rival) + " Rival\r\n");
    say(sb, 1, session_capture::msg("MSG " + rival + " Rival", "care to talk?"));
    say(sb, 0, session_capture::msg("MSG 3 N", "the price list"));
    say(sb, 0, payload("MSG 4 D", "MIME-Version: 1.0\r\nContent-Type: application/x-msnmsgrp2p\r\nP2P-Dest: " + rival +
                                      "\r\n\r\n" + std::string(48, '\0') + "INVITE MSNMSGR:" + rival +
                                      " MSNSLP/1.0\r\nTo: <msnmsgr:" + rival + ">\r\n"
                                      "Content-Type: application/x-msnmsgr-sessionreqbody\r\n\r\n"
                                      "EUF-GUID: {5D3E02AB-6190-11D3-BBBB-00C04F795683}\r\n"
                                      "SessionID: 9\r\n\r\n" + std::string(4, '\0')));
    b.say(sb, 0, "OUT\r\n");
    b.close(sb);
    b.say(ns, 0, "OUT\r\n");
    b.close(ns);
    return b.segments;
}

/* Under a policy that blocks the competition, a session of every version
 * with every way its commands name the rival: each such command is
 * decided, and none is relayed. */
TEST(ReplayCuts, EveryVersionDecidesEveryCommandAboutABlockedContact)
{
    Replayer r;
    ASSERT_TRUE(r.module);
    for (int version = 2; version <= 21; ++version) {
        SCOPED_TRACE("MSNP" + std::to_string(version));
        std::vector<std::string> about;
        std::vector<Segment> segments = rival_session(version, about);
        const std::vector<std::string> verdicts = r.run(segments);
        for (const std::string &command : about) {
            auto line = std::find_if(verdicts.begin(), verdicts.end(), [&](const std::string &v) {
                return v.find("\"command\":\"" + command + "\"") != std::string::npos;
            });
            ASSERT_NE(line, verdicts.end()) << command << " was not decided:\n" << joined(verdicts);
            EXPECT_EQ(line->find("\"outcome\":\"pass\""), std::string::npos) << *line;
        }
    }
}

TEST(ReplayCuts, EveryVersionDecidesAlikeWhereverTheStreamIsCut)
{
    Replayer r;
    ASSERT_TRUE(r.module);
    std::mt19937 rng(7);
    for (int version = 2; version <= 21; ++version) {
        SCOPED_TRACE("MSNP" + std::to_string(version));
        const std::vector<Segment> whole = session(version);
        const std::vector<std::string> want = r.run(whole);
        const std::string all = joined(want);
        /* What the session must have decided, or the comparison is empty. */
        for (const char *piece : {"\"user\":\"dave@corp.example.com\"", "CAL 3 rival@competitor.example",
                                  "\"client\":\"10.1.0.1:20000\"", "\"command\":\"NLN NLN ",
                                  "\"command\":\"MSG rival@competitor.example Rival",
                                  "\"command\":\"MSG ann@corp.example.com Ann"})
            ASSERT_NE(all.find(piece), std::string::npos) << piece << "\n" << all;
        /* The confidential text is withheld. */
        size_t confidential = all.find("\"command\":\"MSG 6 N");
        ASSERT_NE(confidential, std::string::npos) << all;
        const std::string line = all.substr(confidential, all.find('\n', confidential) - confidential);
        EXPECT_NE(line.find("\"outcome\":\"block\""), std::string::npos) << line;

        std::vector<const Segment *> streams;
        for (const Segment &s : whole)
            if (s.flags & tqreplay::kSyn)
                streams.push_back(&s);
        for (const Segment *stream : streams) {
            size_t length = 0;
            for (const Segment &s : whole)
                if (s.src == stream->src && s.dst == stream->dst)
                    length += s.payload.size();
            for (size_t at = 1; at < length; ++at) {
                std::vector<std::string> got = r.run(cut_at(whole, *stream, at));
                ASSERT_EQ(joined(got), all) << stream->src.text() << " cut at " << at;
            }
        }
        for (int round = 0; round < 20; ++round)
            ASSERT_EQ(joined(r.run(shuffle_cut(whole, rng))), all) << "round " << round;
    }
    EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
}
