/* tqreplay: reading captures back into streams, and what it prints about
 * a recorded session under the example policy and a changed copy of it. */
#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <filesystem>
#include <map>
#include <set>

#include "../bench/replay/session_capture.h"
#include "capture_reader.h"
#include "gateway/e2e_helpers.h"

using namespace e2e;
using tqreplay::Reassembler;
using tqreplay::Segment;

namespace {

Segment seg(int from, uint32_t seq, const std::string &payload, uint8_t flags = tqreplay::kAck)
{
    Segment s;
    s.src.address = std::string("\x0a\x00\x00\x01", 4);
    s.dst.address = std::string("\x0a\x00\x00\x02", 4);
    s.src.port = 40000;
    s.dst.port = 1863;
    if (from == 1)
        std::swap(s.src, s.dst);
    s.seq = seq;
    s.payload = payload;
    s.flags = flags;
    return s;
}

struct Streams {
    std::string bytes[2];
    int opened = 0, closed = 0, warnings = 0;
    Reassembler r{{[this](Reassembler::Stream &, const Segment &) { ++opened; },
                   [this](Reassembler::Stream &, int side, const std::string &b, const timeval &) { bytes[side] += b; },
                   [this](Reassembler::Stream &, const timeval &) { ++closed; },
                   [this](const std::string &) { ++warnings; }}};
};

/* Segments as networks deliver them: twice, overlapping, late, missing,
 * across the wrap of the sequence numbers, from the middle of a capture. */
TEST(Reassembly, StreamsComeOutInOrderWhateverTheSegmentsDid)
{
    const uint32_t wrap = 0xfffffffau;
    struct Case {
        const char *name;
        std::vector<Segment> segments;
        std::string client, server;
        int warnings;
    } cases[] = {
        {"in order with a handshake",
         {seg(0, 100, "", tqreplay::kSyn), seg(1, 500, "", tqreplay::kSyn | tqreplay::kAck), seg(0, 101, "VER 1"),
          seg(1, 501, "VER 1"), seg(0, 106, " MSNP7\r\n")},
         "VER 1 MSNP7\r\n", "VER 1", 0},
        {"late and repeated", {seg(0, 10, "ab"), seg(0, 16, "gh"), seg(0, 12, "cd"), seg(0, 12, "cd"), seg(0, 14, "ef")},
         "abcdefgh", "", 0},
        {"overlapping retransmission", {seg(0, 10, "abcd"), seg(0, 12, "cdefg"), seg(0, 8, "xxab")}, "abcdefg", "", 0},
        {"a lost segment is skipped at the end", {seg(0, 10, "ab"), seg(0, 20, "zz")}, "abzz", "", 1},
        {"sent again with other bytes: the first copy stays", {seg(0, 10, "abcd"), seg(0, 12, "XYef")}, "abcdef", "",
         1},
        {"early twice with other bytes", {seg(0, 10, "ab"), seg(0, 14, "ef"), seg(0, 14, "EFg"), seg(0, 12, "cd")},
         "abcdEFg", "", 1},
        {"half the sequence space ahead", {seg(0, 10, "ab"), seg(0, 12u + 0x7fffffffu, "zz")}, "abzz", "", 1},
        {"sequence numbers wrap", {seg(0, wrap, "abc"), seg(0, wrap + 6, "ghi"), seg(0, wrap + 3, "def")},
         "abcdefghi", "", 0},
        {"captured from the middle", {seg(0, 5, "PNG\r\n"), seg(1, 77, "NLN 1\r\n"), seg(0, 10, "CHG 2\r\n")},
         "PNG\r\nCHG 2\r\n", "NLN 1\r\n", 0},
    };
    for (const Case &c : cases) {
        Streams s;
        for (const Segment &x : c.segments)
            s.r.add(x);
        s.r.finish({});
        EXPECT_EQ(s.bytes[0], c.client) << c.name;
        EXPECT_EQ(s.bytes[1], c.server) << c.name;
        EXPECT_EQ(s.warnings, c.warnings) << c.name;
        EXPECT_EQ(s.opened, 1) << c.name;
        EXPECT_EQ(s.closed, 1) << c.name;
    }
    /* The same ports used again after the end: a second connection. */
    Streams s;
    s.r.add(seg(0, 1, "", tqreplay::kSyn));
    s.r.add(seg(0, 2, "one"));
    s.r.add(seg(0, 5, "", tqreplay::kFin | tqreplay::kAck));
    s.r.add(seg(1, 9, "", tqreplay::kFin | tqreplay::kAck));
    s.r.add(seg(0, 900, "", tqreplay::kSyn));
    s.r.add(seg(0, 901, "two"));
    s.r.finish({});
    EXPECT_EQ(s.opened, 2);
    EXPECT_EQ(s.closed, 2);
    EXPECT_EQ(s.bytes[0], "onetwo");
}

/* One frame of a gateway capture, taken apart on every link the reader
 * knows: the same segment comes out of each, and nothing out of a frame
 * cut short. */
TEST(Reassembly, EveryLinkTypeGivesTheSameSegment)
{
    TempDir dir;
    std::string error;
    gw::CaptureOptions o;
    o.dir = dir.path().string();
    auto cap = gw::Capture::open(o, error);
    ASSERT_TRUE(cap) << error;
    gw::CaptureFlow f;
    f.client = session_capture::end(0x0a010203u, 40001);
    f.server = session_capture::end(0x0a000001u, 1863);
    cap->begin(f, {1, 0});
    const std::string line = "VER 1 MSNP7 CVR0\r\n";
    cap->data(f, 0, reinterpret_cast<const uint8_t *>(line.data()), line.size(), {2, 0});
    cap.reset();
    std::vector<Segment> segs;
    auto files = std::filesystem::directory_iterator(dir.path());
    std::string file;
    for (const auto &e : files)
        if (e.path().extension() == ".pcap")
            file = e.path().string();
    std::vector<std::string> doubts;
    ASSERT_TRUE(tqreplay::read_capture(file, segs, error, doubts)) << error;
    EXPECT_TRUE(doubts.empty());
    ASSERT_EQ(segs.size(), 4u); /* the handshake, then the line */
    const Segment &want = segs.back();
    EXPECT_EQ(want.payload, line);
    EXPECT_EQ(want.src.text(), "10.1.2.3:40001");
    EXPECT_EQ(want.dst.text(), "10.0.0.1:1863");

    /* The frame again, as each link would carry it. */
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *p = pcap_open_offline(file.c_str(), errbuf);
    ASSERT_TRUE(p) << errbuf;
    pcap_pkthdr *h;
    const u_char *d;
    std::string eth;
    while (pcap_next_ex(p, &h, &d) == 1)
        eth.assign(reinterpret_cast<const char *>(d), h->caplen);
    pcap_close(p);
    const std::string ip = eth.substr(14);
    const std::string sll = std::string("\x00\x00\x03\x04\x00\x06\x02\x00\x00\x00\x00\x00\x00\x00\x08\x00", 16) + ip;
    const std::string vlan = eth.substr(0, 12) + std::string("\x81\x00\x00\x07", 4) + eth.substr(12);
    const std::string null_link = std::string("\x02\x00\x00\x00", 4) + ip;
    const std::pair<int, std::string> frames[] = {
        {DLT_EN10MB, eth}, {DLT_EN10MB, vlan}, {DLT_LINUX_SLL, sll}, {DLT_RAW, ip}, {DLT_NULL, null_link}};
    using tqreplay::FrameKind;
    std::string why;
    for (const auto &[link, frame] : frames) {
        Segment s;
        const auto *bytes = reinterpret_cast<const uint8_t *>(frame.data());
        ASSERT_EQ(tqreplay::parse_frame(link, bytes, frame.size(), s, why), FrameKind::Tcp) << link << ": " << why;
        EXPECT_EQ(s.payload, want.payload) << link;
        EXPECT_EQ(s.src, want.src) << link;
        EXPECT_EQ(s.dst, want.dst) << link;
        EXPECT_EQ(s.seq, want.seq) << link;
        /* Cut anywhere, even inside the payload, it is a doubt, never a
         * shorter segment. */
        for (size_t cut = 0; cut < frame.size(); ++cut)
            EXPECT_EQ(tqreplay::parse_frame(link, bytes, cut, s, why), FrameKind::Undecodable)
                << link << " cut at " << cut;
    }
    Segment s;
    EXPECT_EQ(tqreplay::parse_frame(105, reinterpret_cast<const uint8_t *>(eth.data()), eth.size(), s, why),
              FrameKind::Undecodable);
    std::string udp = ip;
    udp[9] = 17;
    EXPECT_EQ(tqreplay::parse_frame(DLT_RAW, reinterpret_cast<const uint8_t *>(udp.data()), udp.size(), s, why),
              FrameKind::Other);
    std::string fragment = ip;
    fragment[6] = 0x20; /* more fragments */
    EXPECT_EQ(
        tqreplay::parse_frame(DLT_RAW, reinterpret_cast<const uint8_t *>(fragment.data()), fragment.size(), s, why),
        FrameKind::Undecodable);
}

/* A recorded day of dave (in the example policy's /Company/Research/Lab)
 * on a Wednesday morning: colleagues, a partner, the competition, and a
 * confidential text. */
class Replay : public ::testing::Test {
protected:
    TempDir dir;
    std::string policy = std::string(TQ_SOURCE_DIR) + "/examples/policy.xml";
    std::string capture;

    void SetUp() override
    {
        std::string error;
        gw::CaptureOptions o;
        o.dir = (dir / "captures");
        auto cap = gw::Capture::open(o, error);
        ASSERT_TRUE(cap) << error;
        const time_t start = session_capture::wednesday(10);
        session_capture::write_session(*cap, 1, start, "dave@corp.example.com",
                                       {{false, "ann@corp.example.com", "morning"},
                                        {false, "rival@competitor.example", "care to talk?"},
                                        {true, "rival@competitor.example", "no thanks"},
                                        {true, "pat@partner.example.com", "CONFIDENTIAL: the price list"},
                                        {false, "pat@partner.example.com", "thanks"},
                                        {true, "ann@corp.example.com", "lunch?"}});
        session_capture::write_session(*cap, 2, start + 60, "dave@corp.example.com",
                                       {{false, "rival@competitor.example", "last offer"}});
        auto files = cap->files();
        ASSERT_EQ(files.size(), 1u);
        capture = files[0];
    }

    RunResult tqreplay(std::vector<std::string> args)
    {
        std::vector<std::string> argv{TQREPLAY_BIN, "-p", policy};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, dir);
    }

    /* The example policy with the node's first relation (the competition)
     * alerting instead of blocking. */
    std::string changed_policy()
    {
        std::string text = slurp(policy);
        const std::string from = "<relation object=\"Competitor\" action=\"block\" direction=\"both\"/>";
        size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos);
        text.replace(at, from.size(), "<relation object=\"Competitor\" action=\"alert\" direction=\"both\"/>");
        std::string path = dir / "changed.xml";
        std::ofstream(path) << text;
        return path;
    }
};

} // namespace

TEST_F(Replay, EveryDecidedCommandIsExplainedByItsRule)
{
    RunResult r = tqreplay({capture});
    ASSERT_EQ(r.status, 0) << r.err;
    /* Text: time, user, direction, contact, verdict, command, rule. */
    for (const char *piece : {"dave@corp.example.com  in  rival@competitor.example  block (withheld)  \"MSG rival@competitor.example Contact",
                              "by /Company #1 (Competitor)",
                              "dave@corp.example.com  out  pat@partner.example.com  block (withheld)  \"MSG 6 N",
                              "by /Company #2 (Everyone)",
                              "dave@corp.example.com  in  ann@corp.example.com  pass  \"MSG ann@corp.example.com Contact",
                              "by /Company #4 (Everyone)", "summary with " })
        EXPECT_NE(r.out.find(piece), std::string::npos) << piece << "\n" << r.out;
    /* The summary counts commands: in each session the call and the
     * joining of the competition, and its messages (two, then one); and
     * dave's three messages to the conversation it is in, each asked of
     * every participant. */
    EXPECT_NE(r.out.find("/Company #1 (Competitor)        9        9        0"), std::string::npos) << r.out;
}

/* The example policy against its copy with one relation changed: exactly
 * the commands that relation decides differ, and nothing else. */
TEST_F(Replay, ADiffListsExactlyTheCommandsOfTheChangedRelation)
{
    RunResult a = tqreplay({"--json", capture});
    ASSERT_EQ(a.status, 0) << a.err;
    std::set<std::string> decided_by_it;
    for (const auto &l : lines_of(a.out))
        if (l.rfind("{\"time\"", 0) == 0 && l.find("\"owner\":\"/Company\",\"target\":\"Competitor\",\"position\":1") != std::string::npos)
            decided_by_it.insert(json_field(l, "client") + " " + json_field(l, "direction") + " " + json_field(l, "offset"));
    ASSERT_EQ(decided_by_it.size(), 9u) << a.out;

    RunResult d = tqreplay({"--json", "--diff", changed_policy(), capture});
    ASSERT_EQ(d.status, 0) << d.err;
    std::set<std::string> listed;
    for (const auto &l : lines_of(d.out)) {
        if (l.rfind("{\"stream\"", 0) != 0)
            continue;
        const std::string a_side = l.substr(l.find("\"a\":"));
        listed.insert(json_field(a_side, "client") + " " + json_field(l, "direction") + " " + json_field(l, "offset"));
        EXPECT_NE(l.find("\"b\":{"), std::string::npos) << l;
        EXPECT_NE(l.substr(l.find("\"b\":")).find("\"verdict\":\"alert\""), std::string::npos) << l;
    }
    EXPECT_EQ(listed, decided_by_it) << d.out;
    EXPECT_NE(d.out.find("{\"summary\":\"b\",\"policy\":\"" + changed_policy() +
                         "\",\"by\":\"/Company #1 (Competitor)\",\"decided\":9,\"blocked\":0,\"alerted\":9}"),
              std::string::npos)
        << d.out;

    RunResult same = tqreplay({"--diff", policy, capture});
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_NE(same.out.find("0 commands decided differently"), std::string::npos) << same.out;
}

/* Damage: the commands before it are replayed, the error names the file
 * and where; a file that is no capture at all is named too. */
TEST_F(Replay, ADamagedCaptureIsReplayedUpToTheDamage)
{
    const auto size = std::filesystem::file_size(capture);
    std::string truncated = dir / "truncated.pcap";
    std::filesystem::copy_file(capture, truncated);
    std::filesystem::resize_file(truncated, size * 2 / 3);
    RunResult r = tqreplay({truncated});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("tqreplay: " + truncated + ": offset "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("truncated"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("\"MSG rival@competitor.example Contact"), std::string::npos) << r.out;

    std::string junk = dir / "junk.pcap";
    std::ofstream(junk) << "this is not a capture";
    r = tqreplay({junk, capture});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("tqreplay: " + junk + ": offset 0: "), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("\"MSG 6 N"), std::string::npos) << "the good capture is still replayed\n" << r.out;

    r = tqreplay({(dir / "missing.pcap")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.pcap: offset 0: "), std::string::npos) << r.err;
}

/* Input that cannot be read with certainty is replayed as far as it can be,
 * named with its file and packet, and the exit status says so: a link type
 * the reader does not know, a packet cut by the snap length, and a segment
 * sent again with other bytes. */
TEST_F(Replay, DoubtfulInputIsNamedAndEndsWithItsOwnStatus)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    struct Frame {
        pcap_pkthdr h;
        std::string bytes;
    };
    std::vector<Frame> frames;
    pcap_t *in = pcap_open_offline(capture.c_str(), errbuf);
    ASSERT_TRUE(in) << errbuf;
    int link = pcap_datalink(in);
    pcap_pkthdr *h;
    const u_char *d;
    while (pcap_next_ex(in, &h, &d) == 1)
        frames.push_back({*h, std::string(reinterpret_cast<const char *>(d), h->caplen)});
    pcap_close(in);
    auto write = [&](const std::string &name, int as_link, const std::vector<Frame> &out) {
        std::string path = dir / name;
        pcap_t *dead = pcap_open_dead(as_link, 65535);
        pcap_dumper_t *w = pcap_dump_open(dead, path.c_str());
        EXPECT_TRUE(w);
        for (const auto &f : out)
            pcap_dump(reinterpret_cast<u_char *>(w), &f.h, reinterpret_cast<const u_char *>(f.bytes.data()));
        pcap_dump_close(w);
        pcap_close(dead);
        return path;
    };
    /* The frame of the last message of the first session: the one whose
     * payload holds "lunch?". */
    size_t lunch = frames.size();
    for (size_t i = 0; i < frames.size(); ++i)
        if (frames[i].bytes.find("lunch?") != std::string::npos)
            lunch = i;
    ASSERT_LT(lunch, frames.size());

    std::vector<Frame> cut = frames;
    cut[lunch].h.caplen = static_cast<bpf_u_int32>(cut[lunch].bytes.size() - 3);
    cut[lunch].bytes.resize(cut[lunch].h.caplen);
    std::vector<Frame> resent = frames;
    Frame again = frames[lunch];
    again.bytes.replace(again.bytes.find("lunch?"), 6, "salad!");
    resent.insert(resent.begin() + static_cast<long>(lunch) + 1, again);

    const struct {
        std::string file, says;
        bool lunch_decided;
    } cases[] = {
        {write("wifi.pcap", 105, frames), "link type 105", false},
        {write("cut.pcap", link, cut), "packet " + std::to_string(lunch + 1) + ", offset ", false},
        {write("resent.pcap", link, resent), "differ from the first copy", true},
    };
    for (const auto &c : cases) {
        RunResult r = tqreplay({c.file});
        EXPECT_EQ(r.status, 3) << c.file << "\n" << r.err;
        EXPECT_NE(r.err.find("tqreplay: warning: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("\"MSG 7 N ") != std::string::npos, c.lunch_decided) << c.file << "\n" << r.out;
    }
    /* The capture as the gateway wrote it has no doubt. */
    EXPECT_EQ(tqreplay({capture}).status, 0);
}
