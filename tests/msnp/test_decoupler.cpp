/* The stream decoupler: cutting chunks into whole line and payload
 * commands, and never leaving the chunk whatever a length says. */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "msnp/traffic_helpers.h"
#include "tq3_msnp.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_framing.h"
#include "tq3_msnp_task.h"

namespace {

using Pieces = std::vector<std::string>;

/* Decouples a copy of `chunk` held in a buffer of exactly its size (ASan
 * reports any read past it) and checks the pieces tile the chunk. */
Pieces decouple(const std::string &chunk, int *moredata = nullptr, int *incomplete = nullptr)
{
    auto *exact = static_cast<unsigned char *>(malloc(chunk.size() + !chunk.size()));
    memcpy(exact, chunk.data(), chunk.size());
    tq3_decouple_data *dd = tq3_msn_decouple(exact, chunk.size());
    free(exact);
    Pieces out;
    if (!dd) {
        ADD_FAILURE() << "no record";
        return out;
    }
    size_t total = 0;
    for (size_t i = 0; i < dd->size; ++i) {
        EXPECT_GT(dd->ptrsize[i], 0u);
        EXPECT_EQ(dd->ptrs[i], dd->base + 4 + total);
        out.emplace_back(dd->ptrs[i], dd->ptrsize[i]);
        total += dd->ptrsize[i];
    }
    EXPECT_EQ(total, chunk.size());
    EXPECT_EQ(memcmp(dd->base, "\0\0\0\0", 4), 0);
    EXPECT_EQ(memcmp(dd->base + 4 + chunk.size(), std::string(12, '\0').data(), 12), 0);
    if (moredata)
        *moredata = dd->moredata;
    if (incomplete)
        *incomplete = dd->incomplete;
    tq3_decouple_data_destroy(dd);
    return out;
}

const std::string kNulPayload("a\0b\r\n\0z", 7);
const std::string kDigest(32, 'f');

struct Case {
    std::string chunk;
    Pieces pieces;
    int moredata, incomplete;
};

const Case kCases[] = {
    {"VER 1 MSNP8 CVR0\r\nCVR 2 0x0409 winnt\r\nUSR 3 TWN I a@b.c\r\n",
     {"VER 1 MSNP8 CVR0\r\n", "CVR 2 0x0409 winnt\r\n", "USR 3 TWN I a@b.c\r\n"}, 1, 0},
    {"VER 1 MSNP8 CVR0", {"VER 1 MSNP8 CVR0"}, 1, 0},
    {"PNG\r\nCHG 4 NL", {"PNG\r\n", "CHG 4 NL"}, 1, 0},
    // A NUL inside a line does not hide the lines after it.
    {std::string("PNG\r\nOUT\0x\r\nPNG\r\n", 17), {"PNG\r\n", std::string("OUT\0x\r\n", 7), "PNG\r\n"}, 1, 0},
    // A NUL further on does not stop the lines before it.
    {std::string("PNG\r\nCHG 4 NLN\r\nOUT\0\r\n", 22), {"PNG\r\n", "CHG 4 NLN\r\n", std::string("OUT\0\r\n", 6)}, 1, 0},
    {"911 3\r\nmsg a b 5\r\nhello", {"911 3\r\n", "msg a b 5\r\n", "hello"}, 1, 0},
    {"MSG a@b.c A 10\r\n0123456789", {"MSG a@b.c A 10\r\n0123456789"}, 0, 0},
    {"MSG a@b.c A 10\r\n012345678", {"MSG a@b.c A 10\r\n012345678"}, 1, 1},
    {"MSG a@b.c A 10\r\n", {"MSG a@b.c A 10\r\n"}, 1, 1},
    {"MSG a@b.c A 10\r\nab\r\ncd\r\nefOUT\r\n", {"MSG a@b.c A 10\r\nab\r\ncd\r\nef", "OUT\r\n"}, 1, 0},
    {"MSG 1 D 7\r\n" + kNulPayload + "PNG\r\n", {"MSG 1 D 7\r\n" + kNulPayload, "PNG\r\n"}, 1, 0},
    {"GCF 0 120\r\n" + std::string(120, 'x') + "PNG\r\n", {"GCF 0 120\r\n" + std::string(120, 'x'), "PNG\r\n"}, 1, 0},
    {"GCF 5 Shields.xml\r\nPNG\r\n", {"GCF 5 Shields.xml\r\n", "PNG\r\n"}, 1, 0},
    {"GCF 5 Shields.xml\r\n", {"GCF 5 Shields.xml\r\n"}, 1, 0},
    {"GCF 7 a b c 3\r\nabc", {"GCF 7 a b c 3\r\n", "abc"}, 1, 0},
    {"UBX b@x.y 10\r\n0123456789PNG\r\n", {"UBX b@x.y 10\r\n0123456789", "PNG\r\n"}, 1, 0},
    {"UBX b@x.y 1 10\r\n0123456789PNG\r\n", {"UBX b@x.y 1 10\r\n0123456789", "PNG\r\n"}, 1, 0},
    {"UUN 5 b@x.y\r\nPNG\r\n", {"UUN 5 b@x.y\r\n", "PNG\r\n"}, 1, 0},
    {"QRY 9\r\nPNG\r\n", {"QRY 9\r\n", "PNG\r\n"}, 1, 0},
    {"QRY 10 PROD0090YUAUV{2B 32\r\n" + kDigest, {"QRY 10 PROD0090YUAUV{2B 32\r\n" + kDigest}, 0, 0},
    {"QRY 10 PROD0090YUAUV{2B 32\r\nffff", {"QRY 10 PROD0090YUAUV{2B 32\r\nffff"}, 1, 1},
    {"SDC 11 OK\r\nPNG\r\n", {"SDC 11 OK\r\n", "PNG\r\n"}, 1, 0},
};

TEST(Decoupler, ArraysGrowPastEveryMultipleOf128)
{
    for (int count : {127, 128, 129, 200, 256, 1000}) {
        std::string chunk;
        for (int i = 0; i < count; ++i)
            chunk += "QNG " + std::to_string(i) + "\r\n";
        Pieces p = decouple(chunk);
        ASSERT_EQ(p.size(), static_cast<size_t>(count));
        EXPECT_EQ(p.back(), "QNG " + std::to_string(count - 1) + "\r\n");
    }
    tq3_decouple_data *dd = tq3_decouple_data_new(static_cast<char *>(malloc(1)));
    EXPECT_EQ(dd->room, 128u);
    EXPECT_EQ(dd->moredata, 1);
    tq3_decouple_data_resize(dd, 128);
    EXPECT_EQ(dd->room, 256u);
    tq3_decouple_data_destroy(dd);
}

/* Every payload command reads its length where the protocol puts it. */
TEST(Decoupler, EveryPayloadLayout)
{
    const char *headers[] = {
        "MSG alice@x.y Alice 17", "UUX 12 23", "GCF 0 7", "GCF 13 Shields.xml 9",
        "UBX b@x.y 11", "UBX b@x.y 1 12", "UBN b@x.y 1 13", "PGD 14 b@x.y 1 14",
        "PAG 15 b@x.y 15", "IPG 16", "NOT 18", "ADL 19 20", "RML 21 22",
        "UUM 23 b@x.y 32 1 24", "UBM b@x.y 32 1 25", "UUN 26 b@x.y 1 26", "FQY 27 28",
        "QRY 29 PROD0090YUAUV{2B 32", "SDC 30 b@x.y 0x0409 MSMSGS MSMSGS X X Bob 31"};
    for (const char *h : headers) {
        size_t len = strtoul(strrchr(h, ' ') + 1, nullptr, 10);
        std::string body;
        for (size_t i = 0; i < len; ++i)
            body += "\r\n\0xyz"[i % 6];
        std::string cmd = std::string(h) + "\r\n" + body;
        EXPECT_EQ(decouple(cmd + "OUT\r\n"), (Pieces{cmd, "OUT\r\n"})) << h;
        int more = -1;
        decouple(cmd, &more);
        EXPECT_EQ(more, 0) << h;
    }
}

/* Negative, unreadable or malformed lengths read as 0; lengths beyond the
 * chunk (overflowing ones included) cut the payload at the chunk's end. */
TEST(Decoupler, HostileLengthsStayInsideTheChunk)
{
    for (const char *h : {"MSG a b -5", "MSG a b -99999999999999999999", "MSG a b abc", "MSG a b",
                          "MSG a b +", "MSG", "UUX x 5", "UUX 1 -1", "PGD 1 b x 5", "GCF x 5",
                          "QRY 1 id -32", "QRY 1 id xx", "SDC 1 a b c d e f g -1"}) {
        std::string head = std::string(h) + "\r\n";
        EXPECT_EQ(decouple(head + "PNG\r\nOUT\r\n"), (Pieces{head, "PNG\r\n", "OUT\r\n"})) << h;
    }
    for (const char *h : {"MSG a b 99999999999999999999999999999", "MSG a b 18446744073709551615",
                          "MSG a b 18446744073709551616", "UUX 1 4294967296", "MSG a b 2147483648",
                          "QRY 1 id 99999999999999999999", "SDC 1 a b c d e f g 99999999999"}) {
        std::string chunk = std::string(h) + "\r\nPNG\r\nOUT\r\n";
        int more = -1, inc = -1;
        EXPECT_EQ(decouple(chunk, &more, &inc), Pieces{chunk}) << h;
        EXPECT_EQ(more, 1);
        EXPECT_EQ(inc, 1);
    }
}

TEST(Decoupler, RandomHeadersAndBytesStayInsideTheChunk)
{
    const std::string words[] = {"MSG", "UUX", "GCF", "UBX", "UUN", "PGD", "QRY", "SDC", "PNG",
                                 "0", "-1", "7", "a@b", "99999999999999999999", "+3", "\r\n",
                                 "\r", "\n", std::string(1, '\0'), "  ", "40"};
    std::mt19937 rng(20240601);
    for (int round = 0; round < 3000 && !::testing::Test::HasFailure(); ++round) {
        std::string chunk;
        for (int i = 1 + rng() % 24; i > 0; --i)
            chunk += words[rng() % std::size(words)] + (rng() % 2 ? " " : "");
        decouple(chunk);
    }
}

/* The framing knows the payload commands by name; the command table flags
 * them too, and the two must not drift apart. QRY and SDC carry a payload
 * only in their long forms and are not flagged. */
TEST(Decoupler, FramingAndCommandTableNameTheSamePayloadCommands)
{
    for (const msnp_table *e = ltable; e->opcode != MSN_OPCODE_UNKNOWN; ++e) {
        bool flagged = (e->optype & MSNP_OPTYPE_OFFSET) != 0;
        bool long_form = e->opcode == MSN_OPCODE_QRY || e->opcode == MSN_OPCODE_SDC;
        EXPECT_EQ(msnp_frame_payload_command(e->strcmd) != 0, flagged || long_form) << e->strcmd;
    }
    EXPECT_EQ(msnp_frame_payload_command("XXX"), 0);
}

/* The same bytes read by who sends them, on which server, in which
 * version: each row is one way a command could hide the next one from the
 * policy while the server reads it. */
TEST(Decoupler, EachDialectReadsTheBytesAsItsServerDoes)
{
    const std::string page = "PAG 4 bob@x.y 12\r\nMSG 1 N 2\r\n";
    struct Row {
        unsigned version, role;
        int from_client;
        std::string bytes;
        Pieces pieces;
        std::vector<int> fits;
    } rows[] = {
        {8, MSNP_ROLE_NS, 1, page, {page}, {MSNP_FIT_COMMAND}},
        {12, MSNP_ROLE_NS, 1, page, {"PAG 4 bob@x.y 12\r\n", "MSG 1 N 2\r\n"}, {MSNP_FIT_UNKNOWN, MSNP_FIT_UNKNOWN}},
        {8, MSNP_ROLE_SB, 1, page, {"PAG 4 bob@x.y 12\r\n", "MSG 1 N 2\r\n"}, {MSNP_FIT_UNKNOWN, MSNP_FIT_COMMAND}},
        {8, MSNP_ROLE_NS, 0, page, {"PAG 4 bob@x.y 12\r\n", "MSG 1 N 2\r\n"}, {MSNP_FIT_COMMAND, MSNP_FIT_COMMAND}},
        /* the client's GCF is a request line; the server's carries the file */
        {11, MSNP_ROLE_NS, 1, "GCF 0 9\r\nPNG\r\nPNG\r\n", {"GCF 0 9\r\n", "PNG\r\n", "PNG\r\n"},
         {MSNP_FIT_COMMAND, MSNP_FIT_COMMAND, MSNP_FIT_COMMAND}},
        {13, MSNP_ROLE_NS, 0, "GCF 0 5\r\nQNG 1\r\n", {"GCF 0 5\r\nQNG 1", "\r\n"}, {MSNP_FIT_COMMAND, MSNP_FIT_MALFORMED}},
        /* numeric replies are lines, and only servers send them */
        {8, MSNP_ROLE_NS, 0, "217 6\r\nQNG 5\r\n", {"217 6\r\n", "QNG 5\r\n"}, {MSNP_FIT_COMMAND, MSNP_FIT_COMMAND}},
        {8, MSNP_ROLE_NS, 1, "217 6\r\n", {"217 6\r\n"}, {MSNP_FIT_UNKNOWN}},
        /* another letter case, a NUL, a doubled blank, a tab: no command */
        {0, MSNP_ROLE_ANY, 1, "msg 1 N 2\r\nhi", {"msg 1 N 2\r\n", "hi"}, {MSNP_FIT_MALFORMED, MSNP_FIT_COMMAND}},
        {0, MSNP_ROLE_ANY, 1, std::string("PNG\0 x\r\nOUT\r\n", 13), {std::string("PNG\0 x\r\n", 8), "OUT\r\n"},
         {MSNP_FIT_MALFORMED, MSNP_FIT_COMMAND}},
        {8, MSNP_ROLE_SB, 1, "MSG 1  N 2\r\nhi", {"MSG 1  N 2\r\n", "hi"}, {MSNP_FIT_MALFORMED, MSNP_FIT_COMMAND}},
        {8, MSNP_ROLE_SB, 1, "MSG\t1 N 2\r\nhi", {"MSG\t1 N 2\r\n", "hi"}, {MSNP_FIT_MALFORMED, MSNP_FIT_COMMAND}},
        /* the carriers of MSNP19 and later exist only there */
        {21, MSNP_ROLE_NS, 1, "SDG 5 2\r\nhiPNG\r\n", {"SDG 5 2\r\nhi", "PNG\r\n"}, {MSNP_FIT_COMMAND, MSNP_FIT_COMMAND}},
        {18, MSNP_ROLE_NS, 1, "SDG 5 2\r\nhi", {"SDG 5 2\r\n", "hi"}, {MSNP_FIT_UNKNOWN, MSNP_FIT_COMMAND}},
        /* a server's plain answer to a payload command */
        {15, MSNP_ROLE_NS, 0, "ADL 8 OK\r\nQNG 5\r\n", {"ADL 8 OK\r\n", "QNG 5\r\n"}, {MSNP_FIT_COMMAND, MSNP_FIT_COMMAND}},
        /* switchboards know only their own commands */
        {15, MSNP_ROLE_SB, 1, "UUX 5 2\r\nhi", {"UUX 5 2\r\n", "hi"}, {MSNP_FIT_UNKNOWN, MSNP_FIT_COMMAND}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(::testing::PrintToString(r.bytes) + " MSNP" + std::to_string(r.version) + " role " +
                     std::to_string(r.role) + (r.from_client ? " from the client" : " from the server"));
        tq3_decouple_data *dd = tq3_msn_decouple_as(reinterpret_cast<const unsigned char *>(r.bytes.data()), r.bytes.size(),
                                                    msnp_dialect{r.version, r.role, r.from_client});
        ASSERT_NE(dd, nullptr);
        Pieces pieces;
        std::vector<int> fits;
        for (size_t i = 0; i < dd->size; ++i) {
            pieces.emplace_back(dd->ptrs[i], dd->ptrsize[i]);
            fits.push_back(dd->fit[i]);
        }
        tq3_decouple_data_destroy(dd);
        EXPECT_EQ(pieces, r.pieces);
        EXPECT_EQ(fits, r.fits);
    }
}

TEST(Decoupler, CountArgsCountsSeparatorsOfOneLine)
{
    EXPECT_EQ(opcode_count_args("GCF 0 120\r\nMSG a b c\r\n", " ", "\r\n"), 2);
    EXPECT_EQ(opcode_count_args("A  B\nC D", " ", "\r\n"), 2);
    EXPECT_EQ(opcode_count_args("a,b;c", ",;", ""), 2);
    EXPECT_EQ(opcode_count_args(nullptr, " ", "\r\n"), 0);
}

} // namespace
