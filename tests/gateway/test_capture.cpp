/* The capture writer: files rotate at their size and only the newest are
 * kept, each file names the connections it holds, and connections of
 * users who are not recorded leave nothing behind. */
#include <gtest/gtest.h>

#include <filesystem>

#include "../bench/replay/session_capture.h"
#include "capture_reader.h"
#include "gateway/e2e_helpers.h"

using namespace e2e;

namespace {

std::vector<std::string> captures_in(const std::string &dir)
{
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".pcap")
            out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(CaptureFiles, RotateAtTheirSizeKeepTheNewestAndEachNamesItsConnections)
{
    TempDir dir;
    const std::string where = dir / "c";
    std::filesystem::create_directories(where);
    /* A file of an earlier run counts towards those kept. */
    std::ofstream(where + "/trevalquin-20000101-000000-1.pcap") << "old";
    std::string error;
    gw::CaptureOptions o;
    o.dir = where;
    o.file_size = 65536;
    o.files = 3;
    auto cap = gw::Capture::open(o, error);
    ASSERT_TRUE(cap) << error;

    /* One long connection across every rotation, with 2 KiB lines. */
    gw::CaptureFlow f;
    f.client = session_capture::end(0x0a010001u, 40000);
    f.server = session_capture::end(0x0a000001u, 1863);
    f.socks_user = "dave";
    f.socks_version = 5;
    cap->begin(f, {1000, 0});
    const std::string line = "MSG 1 N 2000\r\n" + std::string(2000, 'x');
    for (int i = 0; i < 200; ++i) {
        cap->data(f, i % 2, reinterpret_cast<const uint8_t *>(line.data()), line.size(), {1000 + i, 0});
        cap->verdict(f, "{\"time\":" + std::to_string(1000 + i) + "}", {1000 + i, 0});
    }
    cap->end(f, {2000, 0});
    auto kept = cap->files();
    cap.reset();

    auto files = captures_in(where);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(kept, files);
    EXPECT_FALSE(std::filesystem::exists(where + "/trevalquin-20000101-000000-1.pcap"));
    uint32_t next_seq[2] = {0, 0};
    bool seen[2] = {false, false};
    for (const auto &file : files) {
        EXPECT_LT(std::filesystem::file_size(file), 65536u + 2 * 2100) << file;
        std::string jsonl = file.substr(0, file.size() - 5) + ".jsonl";
        EXPECT_EQ(slurp(jsonl).rfind("{\"connection\":true,\"client\":\"10.1.0.1:40000\",\"server\":\"10.0.0.1:1863\","
                                     "\"tid\":0,\"socks_version\":5,\"socks_user\":\"dave\"}\n",
                                     0),
                  0u)
            << jsonl;
        std::vector<tqreplay::Segment> segs;
        std::vector<std::string> doubts;
        ASSERT_TRUE(tqreplay::read_capture(file, segs, error, doubts)) << error;
        EXPECT_TRUE(doubts.empty()) << doubts.front();
        /* Sequence numbers go on from file to file. */
        for (const auto &s : segs) {
            int side = s.src.port == 40000 ? 0 : 1;
            if (seen[side] && !s.payload.empty()) {
                EXPECT_EQ(s.seq, next_seq[side]) << file;
            }
            if (!s.payload.empty()) {
                next_seq[side] = s.seq + static_cast<uint32_t>(s.payload.size());
                seen[side] = true;
                EXPECT_EQ(s.payload, line);
            }
        }
    }
}

TEST(CaptureFiles, OnlyTheUsersAskedForAreWritten)
{
    TempDir dir;
    std::string error;
    gw::CaptureOptions o;
    o.dir = dir / "c";
    o.users = {"dave@*", "*@partner.example.com"};
    auto cap = gw::Capture::open(o, error);
    ASSERT_TRUE(cap) << error;
    EXPECT_TRUE(cap->wants("DAVE@corp.example.com"));
    EXPECT_TRUE(cap->wants("pat@partner.example.com"));
    EXPECT_FALSE(cap->wants("ann@corp.example.com"));

    auto flow = [](uint16_t port) {
        auto f = std::make_unique<gw::CaptureFlow>();
        f->client = session_capture::end(0x0a010001u, port);
        f->server = session_capture::end(0x0a000001u, 1863);
        return f;
    };
    const std::string hello = "USR 1 MD5 I someone\r\n";
    auto say = [&](gw::CaptureFlow &f) {
        cap->data(f, 0, reinterpret_cast<const uint8_t *>(hello.data()), hello.size(), {5, 0});
    };
    auto dave = flow(1001), ann = flow(1002), nobody = flow(1003), chatty = flow(1004);
    for (auto *f : {dave.get(), ann.get(), nobody.get(), chatty.get()}) {
        cap->begin(*f, {5, 0});
        say(*f);
    }
    EXPECT_TRUE(cap->files().empty()) << "nothing is written before the user is known";
    cap->decide(*dave, "dave@corp.example.com");
    cap->decide(*ann, "ann@corp.example.com");
    say(*dave);
    say(*ann);
    /* A connection that never names its user is given up past the limit. */
    const std::string big(64 * 1024, 'x');
    for (size_t sent = 0; sent <= gw::Capture::kUndecidedLimit; sent += big.size())
        cap->data(*chatty, 1, reinterpret_cast<const uint8_t *>(big.data()), big.size(), {6, 0});
    EXPECT_EQ(chatty->state, gw::CaptureFlow::State::Skipping);
    EXPECT_TRUE(chatty->pending.empty());
    for (auto *f : {dave.get(), ann.get(), nobody.get(), chatty.get()})
        cap->end(*f, {7, 0});
    auto files = cap->files();
    cap.reset();
    ASSERT_EQ(files.size(), 1u);
    std::vector<tqreplay::Segment> segs;
    std::vector<std::string> doubts;
    ASSERT_TRUE(tqreplay::read_capture(files[0], segs, error, doubts)) << error;
    EXPECT_TRUE(doubts.empty()) << doubts.front();
    size_t dave_lines = 0;
    for (const auto &s : segs) {
        EXPECT_TRUE(s.src.port == 1001 || s.dst.port == 1001) << "port " << s.src.port;
        dave_lines += s.payload == hello;
    }
    EXPECT_EQ(dave_lines, 2u);
}
