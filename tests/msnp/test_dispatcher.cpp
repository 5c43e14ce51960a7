/* The command table, tasks, routing by direction and flags, and the word
 * helpers handlers use. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msnp/traffic_helpers.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_task.h"

using namespace traffic;

namespace {

TEST(CommandTable, LookupsAreExactAndBounded)
{
    const msnp_table *end = &ltable[MSN_OPCODE_UNKNOWN];
    for (const char *t : {"msg", "MSGX", "MS", "", "XXX"})
        EXPECT_EQ(table_search_opcode(t), end) << t;
    EXPECT_EQ(table_search_opcode(nullptr), end);
    EXPECT_EQ(table_search_opcode_wrapper("MSGX a b")->opcode, MSN_OPCODE_MSG);
    EXPECT_EQ(table_search_opcode_wrapper("200 1\r\n"), end);
    EXPECT_EQ(table_search_opcode_wrapper(nullptr), end);
    for (const char *t : {"", "M", "MS"}) { /* in buffers of exactly their size */
        std::vector<char> exact(t, t + strlen(t) + 1);
        EXPECT_EQ(table_search_opcode_wrapper(exact.data()), end);
    }
    EXPECT_EQ(table_search_strcmd(static_cast<msnp_opcode>(200)), end);
    EXPECT_EQ(table_search_strcmd(static_cast<msnp_opcode>(-1)), end);
}

struct Chunk {
    tq3_decouple_data *dd;
    explicit Chunk(const std::string &s)
        : dd(tq3_msn_decouple(reinterpret_cast<const unsigned char *>(s.data()), s.size())) {}
    ~Chunk() { tq3_decouple_data_destroy(dd); }
};

TEST(Task, CopiesThePieceAndCutsOnlyForAHandlerOfWords)
{
    Chunk c(std::string("PNG\r\nMSG 1 D 3\r\na\0b", 19));
    tqconn out = make_conn(DIR_CLIENT_TO_SERVER), in = make_conn(DIR_SERVER_TO_CLIENT);
    msnp_table msg = *table_search_opcode("MSG");
    msg.optype |= MSNP_OPTYPE_SAFE_EXPLODE;
    msg.handler[DIR_CLIENT_TO_SERVER] = record_handler;
    msg.handler[DIR_SERVER_TO_CLIENT] = nullptr;
    Module m;
    task_struct *t = new_task_struct(c.dd, 1, &out, &msg, &m.m);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t->data_buffer, t->buffer_size + 1), std::string("MSG 1 D 3\r\na\0b\0", 15));
    ASSERT_NE(t->safe_buffer, nullptr);
    EXPECT_STREQ(t->safe_buffer, "MSG 1 D 3\r\na");
    EXPECT_EQ(t->conn, &out);
    EXPECT_EQ(t->self, &m.m);
    EXPECT_EQ(t->opcode, MSN_OPCODE_MSG);
    EXPECT_TRUE(!t->data_bpsize && !t->message && !t->risk_level && !t->lda_groups &&
                !t->lda_supers && !t->lda_objects && !t->lda_temp);
    task_struct_destroy(t);
    t = new_task_struct(c.dd, 1, &in, &msg, nullptr);
    EXPECT_EQ(t->safe_buffer, nullptr);  // no handler
    task_struct_destroy(t);
    msg.optype &= ~MSNP_OPTYPE_SAFE_EXPLODE;
    t = new_task_struct(c.dd, 1, &out, &msg, nullptr);
    EXPECT_EQ(t->safe_buffer, nullptr);  // a handler that reads no words
    task_struct_destroy(t);
    EXPECT_EQ(new_task_struct(c.dd, 2, &in, &msg, nullptr), nullptr);
    EXPECT_EQ(new_task_struct(c.dd, -1, &in, &msg, nullptr), nullptr);
}

msnp_conntrack g_tracker; /* a signed-in connection's stand-in: real handlers may read it */

/* Dispatches piece 0 of `chunk` through `entry`. */
match_t route(const std::string &chunk, const msnp_table &entry, tqconn conn,
              task_struct **keep = nullptr)
{
    Chunk c(chunk);
    task_struct *t = nullptr;
    match_t v = tq3_msn_dispatch_entry(&t, &conn, c.dd, 0, nullptr, &entry);
    EXPECT_NE(t, nullptr);
    if (keep)
        *keep = t;
    else
        task_struct_destroy(t);
    return v;
}

TEST(Routing, DirectionTrackerAndUnknownCommands)
{
    Recorder r;
    r.verdict = [](task_struct *) { return TQ_MATCH_BLOCK; };
    msnp_table rem = *table_search_opcode("REM");
    rem.handler[DIR_CLIENT_TO_SERVER] = record_handler;
    EXPECT_EQ(route("REM 5 FL b\r\n", rem, make_conn(DIR_CLIENT_TO_SERVER, &g_tracker)), TQ_MATCH_BLOCK);
    EXPECT_EQ(route("REM 5 FL b\r\n", rem, make_conn(DIR_SERVER_TO_CLIENT, &g_tracker)), TQ_MATCH_PASS);
    /* Directions other than the two relaying ones have no handler. */
    msnp_table ver = recording_entry("VER"), msg = recording_entry("MSG");
    EXPECT_EQ(route("VER 1 MSNP8\r\n", ver, make_conn(DIR_BOTH, &g_tracker)), TQ_MATCH_PASS);
    EXPECT_EQ(route("VER 1 MSNP8\r\n", ver, make_conn(DIR_UNKNOWN, &g_tracker)), TQ_MATCH_PASS);
    /* NEEDUSER commands pass unfiltered until the tracker exists; others
     * reach their handler before it. */
    EXPECT_EQ(route("MSG 1 N 2\r\nhi", msg, make_conn(DIR_CLIENT_TO_SERVER)), TQ_MATCH_PASS);
    EXPECT_EQ(route("MSG 1 N 2\r\nhi", msg, make_conn(DIR_CLIENT_TO_SERVER, &g_tracker)), TQ_MATCH_BLOCK);
    EXPECT_EQ(route("VER 1 MSNP8\r\n", ver, make_conn(DIR_CLIENT_TO_SERVER)), TQ_MATCH_BLOCK);
    /* A command not in the table never reaches a handler. */
    msnp_table unknown = ltable[MSN_OPCODE_UNKNOWN];
    unknown.handler[0] = unknown.handler[1] = record_handler;
    EXPECT_EQ(route("msg 1 N 0\r\n", unknown, make_conn(DIR_CLIENT_TO_SERVER, &g_tracker)), TQ_MATCH_PASS);
    EXPECT_EQ(r.commands(), (std::vector<std::string>{"REM 5 FL b\r\n", "MSG 1 N 2\r\nhi", "VER 1 MSNP8\r\n"}));
    EXPECT_EQ(r.seen[0].direction, DIR_CLIENT_TO_SERVER);
}

TEST(Routing, ModuleDispatcherUsesThePieceBytesOnly)
{
    /* The empty line is a piece of its own, and not a command. */
    Chunk c("VER 1\r\n\r\nOUT\r\n");
    tqconn conn = make_conn(DIR_CLIENT_TO_SERVER, &g_tracker);
    const msnp_opcode codes[] = {MSN_OPCODE_VER, MSN_OPCODE_UNKNOWN, MSN_OPCODE_OUT};
    ASSERT_EQ(c.dd->size, 3u);
    for (size_t i = 0; i < 3; ++i) {
        task_struct *t = nullptr;
        EXPECT_EQ(tq3_msn_dispatcher(&t, &conn, c.dd, i, nullptr), TQ_MATCH_PASS);
        EXPECT_EQ(t->opcode, codes[i]);
        task_struct_destroy(t);
    }
    task_struct *t = reinterpret_cast<task_struct *>(1);
    EXPECT_EQ(tq3_msn_dispatcher(&t, &conn, c.dd, 3, nullptr), TQ_MATCH_PASS);
    EXPECT_EQ(t, nullptr);
}

TEST(WordHelpers, ReplaceAndReconstruct)
{
    Recorder r;
    task_struct *t = nullptr;
    route("CHG  12   NLN  0\r\n", recording_entry("CHG"), make_conn(DIR_CLIENT_TO_SERVER, &g_tracker), &t);
    ASSERT_EQ(t->data_bpsize, 4u);
    reconstruct(t, 1);
    EXPECT_EQ(std::string(t->data_buffer, t->buffer_size), "CHG 12 NLN 0\r\n");
    char busy[] = "BSY";
    replace(t, 2, busy);
    replace(t, 4, busy);  /* past the words: ignored */
    replace(t, -1, busy); /* ignored */
    reconstruct(t, 0);
    EXPECT_EQ(std::string(t->data_buffer, t->buffer_size), "CHG 12 BSY 0");
    t->data_bpsize = 0; /* no words: a valid, empty buffer */
    reconstruct(t, 0);
    EXPECT_NE(t->data_buffer, nullptr);
    EXPECT_EQ(t->buffer_size, 0u);
    reconstruct(t, 1);
    EXPECT_EQ(std::string(t->data_buffer, t->buffer_size), "\r\n");
    task_struct_destroy(t);
    EXPECT_EQ(chunk(nullptr, 0), nullptr);
    replace(nullptr, 0, nullptr);
    reconstruct(nullptr, 1);
}

} // namespace
