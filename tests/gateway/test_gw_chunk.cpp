#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "chunk.h"
#include "module_host.h"

using gw::ChunkAction;

namespace {

std::string output(const tq3_iov *iov)
{
    std::string s;
    for (size_t i = 0; i < iov->iovc; ++i)
        s.append(reinterpret_cast<const char *>(iov->data[i]), iov->size[i]);
    return s;
}

struct Fixture {
    tqconn *conn = tqconn_new();
    tq3_iov *iov = tq3_iov_new();
    std::string held;
    std::string fed; // the output may point into the bytes of the last chunk
    ~Fixture()
    {
        tqconn_destroy(conn);
        tq3_iov_dtr(iov);
    }
    gw::ChunkOutcome feed(tq3_module *m, const std::string &bytes, size_t max = 1 << 20,
                          conn_direction dir = DIR_CLIENT_TO_SERVER)
    {
        fed = bytes;
        return gw::run_chunk(m, conn, iov, held, dir, reinterpret_cast<const uint8_t *>(fed.data()), fed.size(),
                             max);
    }
};

// Records what the tasklet saw and answers with a fixed verdict.
std::string seen;
conn_direction seen_dir;
match_t answer = TQ_MATCH_PASS;

match_t recording_tasklet(tq3_module *, tqconn *conn, tq3_iov *iov)
{
    seen = output(iov);
    seen_dir = conn->direction;
    if (answer == TQ_MATCH_PASS) {
        tq3_iov_reuse(iov);
        tq3_iov_add(iov, "<", 1);
        tq3_iov_add(iov, seen.data(), seen.size());
        tq3_iov_add(iov, ">", 1);
    }
    if (seen.find("POISON") != std::string::npos)
        conn->poison_match = TQ_MATCH_BLOCK;
    return answer;
}

// The module is loaded once: it keeps its registry in its own globals.
gw::ModuleHost *msnp()
{
    static std::unique_ptr<gw::ModuleHost> host = [] {
        std::string error;
        auto h = gw::ModuleHost::load(TQ_MODULE_PATH, error);
        EXPECT_TRUE(h) << error;
        return h;
    }();
    return host.get();
}

} // namespace

TEST(Chunk, MsnpCommandsSplitAcrossChunksComeOutWhole)
{
    gw::ModuleHost *m = msnp();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->name(), "msnp");
    EXPECT_TRUE(m->handles_traffic());
    Fixture f;
    const std::string payload = "MIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\nhello there";
    const std::string stream = "VER 1 MSNP8 CVR0\r\nMSG 2 N " + std::to_string(payload.size()) +
                               "\r\n" + payload + "QNG 50\r\n";
    // Every split point: the output, over all chunks, is the whole stream,
    // and what is held never outlives the command it belongs to. (From the
    // server: a client's commands would wait for a sign-in.)
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        std::string out;
        for (const std::string &part : {stream.substr(0, cut), stream.substr(cut)}) {
            auto o = f.feed(m->record(), part, 1 << 20, DIR_SERVER_TO_CLIENT);
            ASSERT_NE(o.action, ChunkAction::Drop);
            ASSERT_NE(o.action, ChunkAction::Overflow);
            if (o.action == ChunkAction::Forward)
                out += output(f.iov);
            else
                EXPECT_FALSE(f.held.empty());
        }
        EXPECT_EQ(out, stream) << "cut at " << cut;
        EXPECT_TRUE(f.held.empty());
    }
}

TEST(Chunk, HeldBytesAreBoundedPerDirection)
{
    gw::ModuleHost *m = msnp();
    ASSERT_TRUE(m);
    Fixture f;
    // A payload command announcing more than the bound allows.
    EXPECT_EQ(f.feed(m->record(), "MSG 1 N 5000\r\n" + std::string(40, 'x'), 64).action, ChunkAction::Hold);
    EXPECT_EQ(f.held.size(), 54u);
    EXPECT_EQ(f.feed(m->record(), std::string(10, 'x'), 64).action, ChunkAction::Hold);
    EXPECT_EQ(f.held.size(), 64u); // exactly at the bound is still fine
    EXPECT_EQ(f.feed(m->record(), "x", 64).action, ChunkAction::Overflow);
    EXPECT_TRUE(f.held.empty());
}

TEST(Chunk, VerdictsDirectionAndPoison)
{
    static tq3_module_ops ops{};
    ops.name = "recorder";
    ops.tasklet = recording_tasklet;
    std::string error;
    auto m = gw::ModuleHost::adopt(&ops, "recorder.so", error);
    ASSERT_TRUE(m) << error;
    Fixture f;

    struct Case {
        match_t verdict;
        ChunkAction action;
        conn_direction dir;
    } cases[] = {
        {TQ_MATCH_PASS, ChunkAction::Forward, DIR_CLIENT_TO_SERVER},
        {TQ_MATCH_ALERT, ChunkAction::Forward, DIR_SERVER_TO_CLIENT},
        {TQ_MATCH_BLOCK, ChunkAction::Drop, DIR_CLIENT_TO_SERVER},
        {TQ_MATCH_NONE, ChunkAction::Drop, DIR_SERVER_TO_CLIENT},
        {TQ_MATCH_INVALID, ChunkAction::Drop, DIR_CLIENT_TO_SERVER},
    };
    for (const auto &c : cases) {
        answer = c.verdict;
        auto o = f.feed(m->record(), "PNG\r\n", 1 << 20, c.dir);
        EXPECT_EQ(o.action, c.action);
        EXPECT_EQ(o.verdict, c.verdict);
        EXPECT_EQ(seen_dir, c.dir);
        EXPECT_EQ(seen, "PNG\r\n");
        EXPECT_FALSE(o.poisoned);
        if (c.verdict == TQ_MATCH_PASS) {
            EXPECT_EQ(output(f.iov), "<PNG\r\n>");
        }
        if (c.action == ChunkAction::Drop) {
            EXPECT_EQ(f.iov->iovc, 0u);
        }
    }

    // Bytes that are no whole command yet never reach the module; held
    // bytes go in front of the next chunk and are dropped with it.
    seen.clear();
    EXPECT_EQ(f.feed(m->record(), "a").action, ChunkAction::Hold);
    EXPECT_EQ(seen, "") << "a command's first byte alone is not decided";
    answer = TQ_MATCH_MOREDATA;
    EXPECT_EQ(f.feed(m->record(), "b\r\n").action, ChunkAction::Hold);
    EXPECT_EQ(seen, "ab\r\n");
    EXPECT_EQ(f.feed(m->record(), "cd\r\n").action, ChunkAction::Hold);
    EXPECT_EQ(seen, "ab\r\ncd\r\n");
    answer = TQ_MATCH_BLOCK;
    EXPECT_EQ(f.feed(m->record(), "ef\r\n").action, ChunkAction::Drop);
    EXPECT_EQ(seen, "ab\r\ncd\r\nef\r\n");
    EXPECT_TRUE(f.held.empty());

    answer = TQ_MATCH_PASS;
    auto o = f.feed(m->record(), "POISON\r\n");
    EXPECT_TRUE(o.poisoned);
    EXPECT_EQ(o.action, ChunkAction::Forward);
}
