/* The command table, tasks, routing by direction and flags, and the word
 * helpers handlers use. */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "msnp/traffic_helpers.h"

using traffic::Conn;
using traffic::Module;
using traffic::RecordScope;

namespace {

// ---------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------

struct Row {
    const char *cmd;
    unsigned flags;
};

constexpr unsigned U = MSNP_OPTYPE_NEEDUSER, E = MSNP_OPTYPE_SAFE_EXPLODE, O = MSNP_OPTYPE_OFFSET;

const Row kRows[] = {
    {"ACK", 0},     {"ADC", U | E},     {"ADD", U | E},     {"ADG", 0},     {"ADL", U | O},
    {"ANS", E},     {"BLP", U | E},     {"BPR", 0},         {"BYE", U | E}, {"CAL", U | E},
    {"CHG", U | E}, {"CHL", 0},         {"CVQ", 0},         {"CVR", E},     {"FIL", U},
    {"FLN", U | E}, {"FQY", O},         {"GCF", O},         {"GSB", 0},     {"GTC", 0},
    {"ILN", U | E}, {"INF", 0},         {"IPG", U | O},     {"IRO", U | E}, {"JOI", U | E},
    {"LKP", 0},     {"LSG", E},         {"LST", U | E},     {"MSG", U | O}, {"NAK", 0},
    {"NLN", U | E}, {"NOT", U | E | O}, {"OUT", U},         {"PAG", U | O}, {"PGD", U | E | O},
    {"PNG", 0},     {"PRP", U | E},     {"QNG", 0},         {"QRY", 0},     {"REA", U | E},
    {"REG", 0},     {"REM", U | E},     {"RFS", 0},         {"RMG", 0},     {"RML", U | O},
    {"RNG", U | E}, {"SBS", 0},         {"SBP", 0},         {"SDC", U},     {"SND", U},
    {"SYN", U},     {"TFR", U},         {"UBM", U | O},     {"UBN", U | E | O}, {"UBX", U | E | O},
    {"URL", U},     {"USR", E},         {"UUM", U | O},     {"UUN", U | E | O}, {"UUX", U | O},
    {"VER", E},     {"XFR", 0},
};

TEST(CommandTable, EveryEntryHoldsItsOwnCodeAndFlags)
{
    static_assert(sizeof kRows / sizeof *kRows == MSN_OPCODE_UNKNOWN);
    for (int i = 0; i < MSN_OPCODE_UNKNOWN; ++i) {
        SCOPED_TRACE(kRows[i].cmd);
        EXPECT_STREQ(ltable[i].strcmd, kRows[i].cmd);
        EXPECT_EQ(ltable[i].opcode, static_cast<msnp_opcode>(i));
        EXPECT_EQ(ltable[i].optype, kRows[i].flags);
    }
    EXPECT_STREQ(ltable[MSN_OPCODE_UNKNOWN].strcmd, "XXX");
    EXPECT_EQ(ltable[MSN_OPCODE_UNKNOWN].opcode, MSN_OPCODE_UNKNOWN);
    EXPECT_EQ(static_cast<int>(MSN_OPCODE_XFR), 61);
    EXPECT_EQ(static_cast<int>(MSN_OPCODE_UNKNOWN), 62);
}

TEST(CommandTable, SearchIsExactAndCaseSensitive)
{
    for (int i = 0; i < MSN_OPCODE_UNKNOWN; ++i)
        EXPECT_EQ(table_search_opcode(kRows[i].cmd), &ltable[i]);
    EXPECT_EQ(table_search_opcode("msg")->opcode, MSN_OPCODE_UNKNOWN);
    EXPECT_EQ(table_search_opcode("MSGX")->opcode, MSN_OPCODE_UNKNOWN);
    EXPECT_EQ(table_search_opcode("MS")->opcode, MSN_OPCODE_UNKNOWN);
    EXPECT_EQ(table_search_opcode("")->opcode, MSN_OPCODE_UNKNOWN);
    EXPECT_EQ(table_search_opcode("XXX"), &ltable[MSN_OPCODE_UNKNOWN]);
    EXPECT_EQ(table_search_opcode(nullptr), &ltable[MSN_OPCODE_UNKNOWN]);
}

TEST(CommandTable, WrapperReadsAtMostThreeBytes)
{
    EXPECT_EQ(table_search_opcode_wrapper("MSG a b 5\r\n")->opcode, MSN_OPCODE_MSG);
    EXPECT_EQ(table_search_opcode_wrapper("MSGX")->opcode, MSN_OPCODE_MSG);
    EXPECT_EQ(table_search_opcode_wrapper("msg")->opcode, MSN_OPCODE_UNKNOWN);
    EXPECT_EQ(table_search_opcode_wrapper("200 1\r\n")->opcode, MSN_OPCODE_UNKNOWN);
    EXPECT_EQ(table_search_opcode_wrapper(nullptr)->opcode, MSN_OPCODE_UNKNOWN);
    /* Shorter texts in buffers of exactly their size. */
    for (const char *t : {"", "M", "MS"}) {
        size_t n = strlen(t) + 1;
        char *exact = static_cast<char *>(malloc(n));
        memcpy(exact, t, n);
        EXPECT_EQ(table_search_opcode_wrapper(exact)->opcode, MSN_OPCODE_UNKNOWN);
        free(exact);
    }
}

TEST(CommandTable, SearchByCode)
{
    EXPECT_EQ(table_search_strcmd(MSN_OPCODE_ACK), &ltable[0]);
    EXPECT_STREQ(table_search_strcmd(MSN_OPCODE_VER)->strcmd, "VER");
    EXPECT_EQ(table_search_strcmd(MSN_OPCODE_UNKNOWN), &ltable[MSN_OPCODE_UNKNOWN]);
    EXPECT_EQ(table_search_strcmd(static_cast<msnp_opcode>(200)), &ltable[MSN_OPCODE_UNKNOWN]);
    EXPECT_EQ(table_search_strcmd(static_cast<msnp_opcode>(-1)), &ltable[MSN_OPCODE_UNKNOWN]);
}

// ---------------------------------------------------------------------
// Tasks
// ---------------------------------------------------------------------

struct Pieces {
    tq3_decouple_data *dd;
    explicit Pieces(const std::string &chunk)
    {
        dd = tq3_msn_decouple(reinterpret_cast<const unsigned char *>(chunk.data()), chunk.size());
    }
    ~Pieces() { tq3_decouple_data_destroy(dd); }
};

TEST(Task, CopiesThePieceAndStartsEmpty)
{
    Pieces p(std::string("PNG\r\nMSG 1 D 3\r\na\0b", 19));
    Conn c(DIR_CLIENT_TO_SERVER);
    Module m;
    task_struct *t = new_task_struct(p.dd, 1, c.get(), &ltable[MSN_OPCODE_MSG], m.get());
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->buffer_size, 14u);
    EXPECT_EQ(std::string(t->data_buffer, t->buffer_size), std::string("MSG 1 D 3\r\na\0b", 14));
    EXPECT_EQ(t->data_buffer[t->buffer_size], '\0');
    EXPECT_NE(t->data_buffer, p.dd->ptrs[1]);
    EXPECT_EQ(t->safe_buffer, nullptr); /* no handler yet in either direction */
    EXPECT_EQ(t->conn, c.get());
    EXPECT_EQ(t->self, m.get());
    EXPECT_EQ(t->opcode, MSN_OPCODE_MSG);
    EXPECT_EQ(t->data_bpsize, 0u);
    EXPECT_EQ(t->message, nullptr);
    EXPECT_EQ(t->risk_level, 0u);
    EXPECT_EQ(t->lda_groups, nullptr);
    EXPECT_EQ(t->lda_supers, nullptr);
    EXPECT_EQ(t->lda_objects, nullptr);
    EXPECT_EQ(t->lda_temp, nullptr);
    task_struct_destroy(t);
    task_struct_destroy(nullptr);
}

TEST(Task, SafeCopyOnlyWithAHandlerForTheDirection)
{
    Pieces p("REM 5 FL bob@x.y\r\n");
    msnp_table entry = *table_search_opcode("REM");
    entry.handler[DIR_CLIENT_TO_SERVER] = traffic::record_handler;
    Conn out(DIR_CLIENT_TO_SERVER), in(DIR_SERVER_TO_CLIENT), odd(DIR_BOTH);
    task_struct *a = new_task_struct(p.dd, 0, out.get(), &entry, nullptr);
    task_struct *b = new_task_struct(p.dd, 0, in.get(), &entry, nullptr);
    task_struct *c = new_task_struct(p.dd, 0, odd.get(), &entry, nullptr);
    ASSERT_TRUE(a && b && c);
    ASSERT_NE(a->safe_buffer, nullptr);
    EXPECT_STREQ(a->safe_buffer, "REM 5 FL bob@x.y\r\n");
    EXPECT_NE(a->safe_buffer, a->data_buffer);
    EXPECT_EQ(b->safe_buffer, nullptr);
    EXPECT_EQ(c->safe_buffer, nullptr);
    task_struct_destroy(a);
    task_struct_destroy(b);
    task_struct_destroy(c);
}

TEST(Task, OutOfRangeIndexGivesNoTask)
{
    Pieces p("PNG\r\n");
    Conn c;
    EXPECT_EQ(new_task_struct(p.dd, 1, c.get(), &ltable[0], nullptr), nullptr);
    EXPECT_EQ(new_task_struct(p.dd, -1, c.get(), &ltable[0], nullptr), nullptr);
    task_struct *t = reinterpret_cast<task_struct *>(1);
    EXPECT_EQ(tq3_msn_dispatcher(&t, c.get(), p.dd, 7, nullptr), TQ_MATCH_PASS);
    EXPECT_EQ(t, nullptr);
}

// ---------------------------------------------------------------------
// Routing
// ---------------------------------------------------------------------

/* Dispatches piece 0 of `chunk` with `entry` and returns the verdict. */
match_t route(const std::string &chunk, const msnp_table &entry, tqconn *conn,
              task_struct **keep = nullptr)
{
    Pieces p(chunk);
    task_struct *t = nullptr;
    match_t v = tq3_msn_dispatch_entry(&t, conn, p.dd, 0, nullptr, &entry);
    if (keep)
        *keep = t;
    else
        task_struct_destroy(t);
    return v;
}

msnp_table both_ways(const char *cmd)
{
    msnp_table e = *table_search_opcode(cmd);
    e.handler[0] = e.handler[1] = traffic::record_handler;
    return e;
}

int g_tracker;

TEST(Routing, DirectionChoosesTheHandler)
{
    RecordScope s;
    msnp_table rem = *table_search_opcode("REM");
    rem.handler[DIR_CLIENT_TO_SERVER] = traffic::record_handler;
    s.rec.verdict = [](task_struct *) { return TQ_MATCH_BLOCK; };
    Conn out(DIR_CLIENT_TO_SERVER, &g_tracker), in(DIR_SERVER_TO_CLIENT, &g_tracker);
    EXPECT_EQ(route("REM 5 FL bob@x.y\r\n", rem, out.get()), TQ_MATCH_BLOCK);
    ASSERT_EQ(s.rec.seen.size(), 1u);
    EXPECT_EQ(s.rec.seen[0].direction, DIR_CLIENT_TO_SERVER);
    /* Nothing for server -> client: passes, handler untouched. */
    EXPECT_EQ(route("REM 5 FL bob@x.y\r\n", rem, in.get()), TQ_MATCH_PASS);
    EXPECT_EQ(s.rec.seen.size(), 1u);
}

TEST(Routing, OtherDirectionValuesHaveNoHandler)
{
    RecordScope s;
    s.rec.verdict = [](task_struct *) { return TQ_MATCH_BLOCK; };
    msnp_table ver = both_ways("VER");
    for (conn_direction dir : {DIR_BOTH, DIR_UNKNOWN}) {
        Conn c(dir, &g_tracker);
        EXPECT_EQ(route("VER 1 MSNP8 CVR0\r\n", ver, c.get()), TQ_MATCH_PASS) << dir;
    }
    EXPECT_TRUE(s.rec.seen.empty());
}

TEST(Routing, NeedUserWaitsForTheTracker)
{
    RecordScope s;
    s.rec.verdict = [](task_struct *) { return TQ_MATCH_BLOCK; };
    msnp_table msg = both_ways("MSG");
    Conn anon(DIR_CLIENT_TO_SERVER), known(DIR_CLIENT_TO_SERVER, &g_tracker);
    EXPECT_EQ(route("MSG 1 N 2\r\nhi", msg, anon.get()), TQ_MATCH_PASS);
    EXPECT_TRUE(s.rec.seen.empty());
    EXPECT_EQ(route("MSG 1 N 2\r\nhi", msg, known.get()), TQ_MATCH_BLOCK);
    ASSERT_EQ(s.rec.seen.size(), 1u);
    EXPECT_EQ(s.rec.seen[0].bytes, "MSG 1 N 2\r\nhi");
    /* Not NEEDUSER: reaches its handler before login. */
    msnp_table ver = both_ways("VER"), usr = both_ways("USR");
    EXPECT_EQ(route("VER 1 MSNP8 CVR0\r\n", ver, anon.get()), TQ_MATCH_BLOCK);
    Conn anon_in(DIR_SERVER_TO_CLIENT);
    EXPECT_EQ(route("USR 2 OK a@b.c A 1 0\r\n", usr, anon_in.get()), TQ_MATCH_BLOCK);
    EXPECT_EQ(s.rec.seen.size(), 3u);
}

TEST(Routing, SafeExplodeCutsWordsOthersDoNot)
{
    RecordScope s;
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    msnp_table ver = both_ways("VER");
    route("VER  1 MSNP8\tCVR0\r\n", ver, c.get());
    ASSERT_EQ(s.rec.seen.size(), 1u);
    EXPECT_EQ(s.rec.seen[0].words,
              (std::vector<std::string>{"VER", "1", "MSNP8\tCVR0"}));
    EXPECT_TRUE(s.rec.seen[0].had_safe_buffer);
    msnp_table out = both_ways("OUT");
    route("OUT OTH\r\n", out, c.get());
    ASSERT_EQ(s.rec.seen.size(), 2u);
    EXPECT_TRUE(s.rec.seen[1].words.empty());
}

TEST(Routing, PayloadIsCutAlongWithItsLine)
{
    RecordScope s;
    Conn c(DIR_SERVER_TO_CLIENT, &g_tracker);
    msnp_table ubx = both_ways("UBX");
    route("UBX bob@x.y 9\r\nabc def\r\n", ubx, c.get());
    ASSERT_EQ(s.rec.seen.size(), 1u);
    EXPECT_EQ(s.rec.seen[0].words,
              (std::vector<std::string>{"UBX", "bob@x.y", "9", "abc", "def"}));
}

TEST(Routing, AtMostSixtyThreeWords)
{
    RecordScope s;
    std::string line = "ADC";
    for (int i = 1; i < 70; ++i)
        line += " w" + std::to_string(i);
    line += "\r\n";
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    msnp_table adc = both_ways("ADC");
    task_struct *t = nullptr;
    route(line, adc, c.get(), &t);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->data_bpsize, 63u);
    EXPECT_EQ(t->data_pieces[63], nullptr);
    EXPECT_STREQ(chunk(t, 0), "ADC");
    EXPECT_STREQ(chunk(t, 62), "w62");
    EXPECT_EQ(chunk(t, 63), nullptr);
    EXPECT_EQ(chunk(t, 64), nullptr);
    EXPECT_EQ(chunk(t, 1000), nullptr);
    task_struct_destroy(t);
}

TEST(Routing, UnknownCommandsPassWithoutAHandler)
{
    RecordScope s;
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    msnp_table unknown = ltable[MSN_OPCODE_UNKNOWN];
    unknown.handler[0] = unknown.handler[1] = traffic::record_handler;
    task_struct *t = nullptr;
    EXPECT_EQ(route("msg 1 N 2\r\n", unknown, c.get(), &t), TQ_MATCH_PASS);
    ASSERT_NE(t, nullptr); /* the caller still gets the bytes to forward */
    EXPECT_EQ(std::string(t->data_buffer, t->buffer_size), "msg 1 N 2\r\n");
    task_struct_destroy(t);
    EXPECT_TRUE(s.rec.seen.empty());
}

TEST(Routing, VerdictIsTheHandlers)
{
    RecordScope s;
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    msnp_table cvr = both_ways("CVR");
    for (match_t v : {TQ_MATCH_PASS, TQ_MATCH_BLOCK, TQ_MATCH_ALERT, TQ_MATCH_NONE}) {
        s.rec.verdict = [v](task_struct *) { return v; };
        EXPECT_EQ(route("CVR 2 0x0409 winnt\r\n", cvr, c.get()), v);
    }
}

TEST(Routing, ModuleTableLetsEverythingThroughForNow)
{
    /* No handler is wired yet: every command of either direction passes
     * with its bytes intact. */
    for (int i = 0; i < MSN_OPCODE_UNKNOWN; ++i) {
        EXPECT_EQ(ltable[i].handler[0], nullptr);
        EXPECT_EQ(ltable[i].handler[1], nullptr);
    }
    Pieces p("VER 1 MSNP8\r\nREM 5 FL b@x.y\r\n404 6\r\n");
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    const msnp_opcode codes[] = {MSN_OPCODE_VER, MSN_OPCODE_REM, MSN_OPCODE_UNKNOWN};
    for (size_t i = 0; i < p.dd->size; ++i) {
        task_struct *t = nullptr;
        EXPECT_EQ(tq3_msn_dispatcher(&t, c.get(), p.dd, i, nullptr), TQ_MATCH_PASS);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->opcode, codes[i]);
        EXPECT_EQ(std::string(t->data_buffer, t->buffer_size),
                  std::string(p.dd->ptrs[i], p.dd->ptrsize[i]));
        task_struct_destroy(t);
    }
}

TEST(Routing, PieceEntryNeverReadsPastAShortPiece)
{
    /* "\r\n" is a piece of two bytes followed by "MSG": its entry must not
     * borrow the next piece's first byte. */
    Pieces p("PNG\r\n\r\nMSG 1 N 0\r\n");
    ASSERT_EQ(p.dd->size, 3u);
    EXPECT_EQ(tq3_msn_piece_entry(p.dd, 1, nullptr)->opcode, MSN_OPCODE_UNKNOWN);
    EXPECT_EQ(tq3_msn_piece_entry(p.dd, 2, nullptr)->opcode, MSN_OPCODE_MSG);
    EXPECT_EQ(tq3_msn_piece_entry(p.dd, 3, nullptr)->opcode, MSN_OPCODE_UNKNOWN);
}

// ---------------------------------------------------------------------
// Word helpers
// ---------------------------------------------------------------------

task_struct *exploded(const std::string &line, tqconn *conn)
{
    msnp_table e = both_ways("CHG");
    Pieces p(line);
    task_struct *t = nullptr;
    RecordScope s;
    tq3_msn_dispatch_entry(&t, conn, p.dd, 0, nullptr, &e);
    return t;
}

TEST(WordHelpers, ReconstructCollapsesBlanksAndEndsInCrLf)
{
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    task_struct *t = exploded("CHG  12   NLN  0\r\n", c.get());
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->data_bpsize, 4u);
    reconstruct(t, 1);
    EXPECT_EQ(std::string(t->data_buffer, t->buffer_size), "CHG 12 NLN 0\r\n");
    reconstruct(t, 0);
    EXPECT_EQ(std::string(t->data_buffer, t->buffer_size), "CHG 12 NLN 0");
    task_struct_destroy(t);
}

TEST(WordHelpers, ReplaceThenReconstruct)
{
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    task_struct *t = exploded("CHG 12 NLN 0\r\n", c.get());
    ASSERT_NE(t, nullptr);
    char busy[] = "BSY";
    replace(t, 2, busy);
    replace(t, 4, busy);  /* past the words: ignored */
    replace(t, -1, busy); /* ignored */
    EXPECT_STREQ(chunk(t, 2), "BSY");
    reconstruct(t, 1);
    EXPECT_EQ(std::string(t->data_buffer, t->buffer_size), "CHG 12 BSY 0\r\n");
    task_struct_destroy(t);
}

TEST(WordHelpers, EmptyWordListLeavesAValidEmptyBuffer)
{
    Conn c(DIR_CLIENT_TO_SERVER, &g_tracker);
    Pieces p("PNG\r\n");
    task_struct *t = new_task_struct(p.dd, 0, c.get(), &ltable[MSN_OPCODE_PNG], nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->data_bpsize, 0u);
    reconstruct(t, 0);
    EXPECT_NE(t->data_buffer, nullptr);
    EXPECT_EQ(t->buffer_size, 0u);
    reconstruct(t, 1);
    EXPECT_EQ(std::string(t->data_buffer, t->buffer_size), "\r\n");
    task_struct_destroy(t);
}

TEST(WordHelpers, NullTaskIsHarmless)
{
    EXPECT_EQ(chunk(nullptr, 0), nullptr);
    replace(nullptr, 0, nullptr);
    reconstruct(nullptr, 1);
}

} // namespace
