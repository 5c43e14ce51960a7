/* The stream decoupler: cutting chunks into whole line and payload
 * commands. */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "msnp/traffic_helpers.h"

namespace {

struct Decoupled {
    tq3_decouple_data *dd;
    size_t tam;
    /* The input lives in a buffer of exactly its size, so that any read
     * past it is an AddressSanitizer error. */
    explicit Decoupled(const std::string &chunk) : tam(chunk.size())
    {
        unsigned char *exact = static_cast<unsigned char *>(malloc(chunk.size() ? chunk.size() : 1));
        memcpy(exact, chunk.data(), chunk.size());
        dd = tq3_msn_decouple(exact, chunk.size());
        free(exact);
    }
    ~Decoupled() { tq3_decouple_data_destroy(dd); }
    std::vector<std::string> pieces() const
    {
        std::vector<std::string> out;
        for (size_t i = 0; i < dd->size; ++i)
            out.emplace_back(dd->ptrs[i], dd->ptrsize[i]);
        return out;
    }
};

/* Pieces are non-empty, start where the previous one ends, begin at the
 * first chunk byte and add up to the chunk. */
void expect_tiling(const Decoupled &d)
{
    ASSERT_NE(d.dd, nullptr);
    if (d.tam == 0) {
        EXPECT_EQ(d.dd->size, 0u);
        return;
    }
    ASSERT_GE(d.dd->size, 1u);
    size_t total = 0;
    for (size_t i = 0; i < d.dd->size; ++i) {
        EXPECT_GT(d.dd->ptrsize[i], 0u) << "piece " << i;
        EXPECT_EQ(d.dd->ptrs[i], d.dd->ptrs[0] + total) << "piece " << i;
        total += d.dd->ptrsize[i];
    }
    EXPECT_EQ(total, d.tam);
    EXPECT_EQ(d.dd->ptrs[0], d.dd->base + 4);
}

std::string payload(size_t n, char fill = 'p')
{
    return std::string(n, fill);
}

// ---------------------------------------------------------------------
// Line commands
// ---------------------------------------------------------------------

TEST(DecouplerLines, ThreeLineCommandsGiveThreePieces)
{
    Decoupled d("VER 1 MSNP8 CVR0\r\nCVR 2 0x0409 winnt 5.1\r\nUSR 3 TWN I a@b.c\r\n");
    expect_tiling(d);
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0], "VER 1 MSNP8 CVR0\r\n");
    EXPECT_EQ(p[1], "CVR 2 0x0409 winnt 5.1\r\n");
    EXPECT_EQ(p[2], "USR 3 TWN I a@b.c\r\n");
    EXPECT_EQ(d.dd->moredata, 1);
    EXPECT_EQ(d.dd->incomplete, 0);
}

TEST(DecouplerLines, ChunkWithoutCrLfIsOnePiece)
{
    Decoupled d("VER 1 MSNP8 CVR0");
    expect_tiling(d);
    ASSERT_EQ(d.dd->size, 1u);
    EXPECT_EQ(d.pieces()[0], "VER 1 MSNP8 CVR0");
    EXPECT_EQ(d.dd->moredata, 1);
}

TEST(DecouplerLines, LastLineCutShortIsTheRest)
{
    Decoupled d("PNG\r\nCHG 4 NL");
    expect_tiling(d);
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[1], "CHG 4 NL");
    EXPECT_EQ(d.dd->moredata, 1);
}

TEST(DecouplerLines, NulInsideALineMakesTheRestOnePiece)
{
    std::string chunk = std::string("PNG\r\nOUT") + '\0' + "x\r\nPNG\r\n";
    Decoupled d(chunk);
    expect_tiling(d);
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], "PNG\r\n");
    EXPECT_EQ(p[1], chunk.substr(5));
}

TEST(DecouplerLines, UnknownCommandsAreLines)
{
    Decoupled d("911 3\r\nmsg a b 5\r\nhello");
    expect_tiling(d);
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[1], "msg a b 5\r\n");
    EXPECT_EQ(p[2], "hello");
}

TEST(DecouplerLines, TwoHundredLinesGrowTheArrays)
{
    std::string chunk;
    for (int i = 0; i < 200; ++i)
        chunk += "PNG\r\n";
    Decoupled d(chunk);
    expect_tiling(d);
    ASSERT_EQ(d.dd->size, 200u);
    EXPECT_GE(d.dd->room, 201u);
    EXPECT_EQ(d.dd->room % 128, 0u);
    for (const auto &p : d.pieces())
        EXPECT_EQ(p, "PNG\r\n");
}

TEST(DecouplerLines, ExactMultiplesOfTheGrowthStep)
{
    for (int count : {127, 128, 129, 255, 256, 257, 1000}) {
        std::string chunk;
        for (int i = 0; i < count; ++i)
            chunk += "QNG " + std::to_string(i) + "\r\n";
        Decoupled d(chunk);
        expect_tiling(d);
        EXPECT_EQ(d.dd->size, static_cast<size_t>(count));
        EXPECT_GT(d.dd->room, d.dd->size);
    }
}

TEST(DecouplerLines, EmptyChunkHasNoPiece)
{
    Decoupled d("");
    ASSERT_NE(d.dd, nullptr);
    EXPECT_EQ(d.dd->size, 0u);
}

TEST(DecouplerLines, CopyIsFramedByNuls)
{
    Decoupled d("PNG\r\n");
    ASSERT_NE(d.dd, nullptr);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(d.dd->base[i], '\0');
    EXPECT_EQ(memcmp(d.dd->base + 4, "PNG\r\n", 5), 0);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(d.dd->base[4 + 5 + i], '\0');
}

// ---------------------------------------------------------------------
// Payload commands
// ---------------------------------------------------------------------

TEST(DecouplerPayload, ExactPayloadAtTheEndClearsMoredata)
{
    Decoupled d("MSG a@b.c Alice 10\r\n0123456789");
    expect_tiling(d);
    ASSERT_EQ(d.dd->size, 1u);
    EXPECT_EQ(d.dd->moredata, 0);
    EXPECT_EQ(d.dd->incomplete, 0);
}

TEST(DecouplerPayload, PayloadShortByOneKeepsMoredata)
{
    Decoupled d("MSG a@b.c Alice 10\r\n012345678");
    expect_tiling(d);
    ASSERT_EQ(d.dd->size, 1u);
    EXPECT_EQ(d.dd->ptrsize[0], d.tam);
    EXPECT_EQ(d.dd->moredata, 1);
    EXPECT_EQ(d.dd->incomplete, 1);
}

TEST(DecouplerPayload, HeaderAloneIsAnIncompletePayload)
{
    Decoupled d("MSG a@b.c Alice 10\r\n");
    expect_tiling(d);
    ASSERT_EQ(d.dd->size, 1u);
    EXPECT_EQ(d.dd->moredata, 1);
    EXPECT_EQ(d.dd->incomplete, 1);
}

TEST(DecouplerPayload, CrLfInsidePayloadDoesNotSplit)
{
    Decoupled d("MSG a@b.c Alice 10\r\nab\r\ncd\r\nefOUT\r\n");
    expect_tiling(d);
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], "MSG a@b.c Alice 10\r\nab\r\ncd\r\nef");
    EXPECT_EQ(p[1], "OUT\r\n");
    EXPECT_EQ(d.dd->moredata, 1);
    EXPECT_EQ(d.dd->incomplete, 0);
}

TEST(DecouplerPayload, NulBytesInsidePayloadAreCarried)
{
    std::string body("a\0b\0\r\n\0z", 8);
    Decoupled d("MSG 1 D 8\r\n" + body + "PNG\r\n");
    expect_tiling(d);
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], "MSG 1 D 8\r\n" + body);
    EXPECT_EQ(p[1], "PNG\r\n");
}

TEST(DecouplerPayload, GcfWithIdZeroCarriesAPayload)
{
    std::string body = payload(120, 'x');
    Decoupled d("GCF 0 120\r\n" + body + "PNG\r\n");
    expect_tiling(d);
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], "GCF 0 120\r\n" + body);
}

TEST(DecouplerPayload, GcfWithFileNameIsALine)
{
    Decoupled d("GCF 5 Shields.xml\r\nPNG\r\n");
    expect_tiling(d);
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], "GCF 5 Shields.xml\r\n");
    Decoupled end("GCF 5 Shields.xml\r\n");
    EXPECT_EQ(end.dd->moredata, 1);
}

TEST(DecouplerPayload, GcfWithThreeArgumentsReadsTheThird)
{
    Decoupled d("GCF 6 Shields.xml 4\r\nabcdPNG\r\n");
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], "GCF 6 Shields.xml 4\r\nabcd");
}

TEST(DecouplerPayload, GcfWithOtherBlankCountsIsALine)
{
    Decoupled d("GCF 7\r\nPNG\r\n");
    ASSERT_EQ(d.pieces().size(), 2u);
    Decoupled e("GCF 7 a b c 3\r\nabcPNG\r\n");
    auto p = e.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], "GCF 7 a b c 3\r\n");
}

TEST(DecouplerPayload, UbxTakesTheLengthFromTheLastOfTwoOrThree)
{
    Decoupled two("UBX bob@x.y 10\r\n0123456789PNG\r\n");
    ASSERT_EQ(two.pieces().size(), 2u);
    EXPECT_EQ(two.pieces()[0], "UBX bob@x.y 10\r\n0123456789");
    Decoupled three("UBX bob@x.y 1 10\r\n0123456789PNG\r\n");
    ASSERT_EQ(three.pieces().size(), 2u);
    EXPECT_EQ(three.pieces()[0], "UBX bob@x.y 1 10\r\n0123456789");
}

TEST(DecouplerPayload, UunNeedsMoreThanTwoBlanks)
{
    Decoupled line("UUN 5 bob@x.y\r\nPNG\r\n");
    ASSERT_EQ(line.pieces().size(), 2u);
    EXPECT_EQ(line.pieces()[0], "UUN 5 bob@x.y\r\n");
    Decoupled pay("UUN 5 bob@x.y 1 3\r\nabcPNG\r\n");
    ASSERT_EQ(pay.pieces().size(), 2u);
    EXPECT_EQ(pay.pieces()[0], "UUN 5 bob@x.y 1 3\r\nabc");
}

TEST(DecouplerPayload, QryShortFormIsALine)
{
    Decoupled d("QRY 9\r\nPNG\r\n");
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], "QRY 9\r\n");
}

TEST(DecouplerPayload, QryLongFormCarriesItsDigest)
{
    std::string digest = payload(32, 'f');
    Decoupled d("QRY 10 PROD0090YUAUV{2B 32\r\n" + digest);
    expect_tiling(d);
    ASSERT_EQ(d.dd->size, 1u);
    EXPECT_EQ(d.dd->moredata, 0);
    Decoupled more("QRY 10 PROD0090YUAUV{2B 32\r\n" + digest + "PNG\r\n");
    ASSERT_EQ(more.pieces().size(), 2u);
    EXPECT_EQ(more.pieces()[1], "PNG\r\n");
}

TEST(DecouplerPayload, QryLongFormCutShortIsHeld)
{
    Decoupled d("QRY 10 PROD0090YUAUV{2B 32\r\nffff");
    expect_tiling(d);
    ASSERT_EQ(d.dd->size, 1u);
    EXPECT_EQ(d.dd->moredata, 1);
    EXPECT_EQ(d.dd->incomplete, 1);
}

TEST(DecouplerPayload, SdcShortAndLongForms)
{
    Decoupled shrt("SDC 11 OK\r\nPNG\r\n");
    ASSERT_EQ(shrt.pieces().size(), 2u);
    EXPECT_EQ(shrt.pieces()[0], "SDC 11 OK\r\n");
    Decoupled lng("SDC 11 bob@x.y 0x0409 MSMSGS MSMSGS X X Bob 5\r\nhelloPNG\r\n");
    auto p = lng.pieces();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], "SDC 11 bob@x.y 0x0409 MSMSGS MSMSGS X X Bob 5\r\nhello");
}

/* Each payload command with its header layout: the length stands where
 * the protocol puts it, and the payload is exactly that long. */
struct Layout {
    const char *header; /* without CR LF, ending in the length */
    size_t len;
};

class DecouplerLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(DecouplerLayouts, PayloadIsExactlyTheNamedLength)
{
    const Layout &l = GetParam();
    std::string body;
    for (size_t i = 0; i < l.len; ++i)
        body += static_cast<char>("\r\n\0xyz"[i % 6]);
    std::string cmd = std::string(l.header) + "\r\n" + body;
    Decoupled d(cmd + "OUT\r\n");
    expect_tiling(d);
    auto p = d.pieces();
    ASSERT_EQ(p.size(), 2u) << l.header;
    EXPECT_EQ(p[0], cmd) << l.header;
    EXPECT_EQ(p[1], "OUT\r\n");
    Decoupled alone(cmd);
    EXPECT_EQ(alone.dd->size, 1u);
    EXPECT_EQ(alone.dd->moredata, 0) << l.header;
}

INSTANTIATE_TEST_SUITE_P(
    AllPayloadCommands, DecouplerLayouts,
    ::testing::Values(Layout{"MSG alice@x.y Alice 17", 17}, Layout{"UUX 12 23", 23},
                      Layout{"GCF 0 7", 7}, Layout{"GCF 13 Shields.xml 9", 9},
                      Layout{"UBX bob@x.y 11", 11}, Layout{"UBX bob@x.y 1 12", 12},
                      Layout{"UBN bob@x.y 1 13", 13}, Layout{"PGD 14 bob@x.y 1 14", 14},
                      Layout{"PAG 15 bob@x.y 15", 15}, Layout{"IPG 16", 16},
                      Layout{"NOT 18", 18}, Layout{"ADL 19 20", 20}, Layout{"RML 21 22", 22},
                      Layout{"UUM 23 bob@x.y 32 1 24", 24}, Layout{"UBM bob@x.y 32 1 25", 25},
                      Layout{"UUN 26 bob@x.y 1 26", 26}, Layout{"FQY 27 28", 28},
                      Layout{"QRY 29 PROD0090YUAUV{2B 32", 32},
                      Layout{"SDC 30 bob@x.y 0x0409 MSMSGS MSMSGS X X Bob 31", 31}));

// ---------------------------------------------------------------------
// Hostile lengths
// ---------------------------------------------------------------------

struct BadLength {
    const char *header;
    bool cut_to_end; /* true: the length exceeds the chunk */
};

class DecouplerHostileLengths : public ::testing::TestWithParam<BadLength> {};

TEST_P(DecouplerHostileLengths, NeverBackwardsNeverEmptyNeverPastTheChunk)
{
    const BadLength &b = GetParam();
    std::string head = std::string(b.header) + "\r\n";
    std::string chunk = head + "PNG\r\nOUT\r\n";
    Decoupled d(chunk);
    expect_tiling(d);
    auto p = d.pieces();
    if (b.cut_to_end) {
        ASSERT_EQ(p.size(), 1u) << b.header;
        EXPECT_EQ(d.dd->incomplete, 1);
        EXPECT_EQ(d.dd->moredata, 1);
    } else {
        /* Unreadable and negative lengths read as 0: the header is a piece
         * of its own and the next commands follow. */
        ASSERT_EQ(p.size(), 3u) << b.header;
        EXPECT_EQ(p[0], head);
        EXPECT_EQ(p[1], "PNG\r\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DecouplerHostileLengths,
    ::testing::Values(BadLength{"MSG a b -5", false}, BadLength{"MSG a b -99999999999999999999", false},
                      BadLength{"MSG a b abc", false}, BadLength{"MSG a b", false},
                      BadLength{"MSG a b +", false}, BadLength{"MSG a b -", false},
                      BadLength{"MSG", false}, BadLength{"UUX x 5", false},
                      BadLength{"PGD 1 bob x 5", false}, BadLength{"UUX 1 -1", false},
                      BadLength{"GCF x 5", false}, BadLength{"QRY 1 id -32", false},
                      BadLength{"QRY 1 id xx", false}, BadLength{"SDC 1 a b c d e f g -1", false},
                      BadLength{"MSG a b 99999999999999999999999999999", true},
                      BadLength{"MSG a b 18446744073709551615", true},
                      BadLength{"MSG a b 18446744073709551616", true},
                      BadLength{"UUX 1 4294967296", true}, BadLength{"MSG a b 2147483648", true},
                      BadLength{"QRY 1 id 99999999999999999999999", true},
                      BadLength{"SDC 1 a b c d e f g 99999999999", true}));

TEST(DecouplerHostile, RandomHeadersAndBytesStayInsideTheChunk)
{
    static const char *words[] = {"MSG", "UUX", "GCF", "UBX", "UBN", "PGD", "PAG", "IPG", "NOT",
                                  "ADL", "RML", "UUM", "UBM", "UUN", "FQY", "QRY", "SDC", "PNG",
                                  "0",   "-1",  "7",   "a@b", "99999999999999999999", "+3",
                                  "\r\n", "\r", "\n", "\0",  "  ",  "40"};
    std::mt19937 rng(20240601);
    for (int round = 0; round < 3000; ++round) {
        std::string chunk;
        int n = 1 + static_cast<int>(rng() % 24);
        for (int i = 0; i < n; ++i) {
            const char *w = words[rng() % (sizeof words / sizeof *words)];
            chunk += (w[0] == '\0') ? std::string(1, '\0') : std::string(w);
            if (rng() % 2)
                chunk += ' ';
        }
        Decoupled d(chunk);
        expect_tiling(d);
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "round " << round;
            return;
        }
    }
}

// ---------------------------------------------------------------------
// Record and counting helpers
// ---------------------------------------------------------------------

TEST(DecoupleData, NewResizeDestroy)
{
    char *base = static_cast<char *>(malloc(16));
    tq3_decouple_data *dd = tq3_decouple_data_new(base);
    ASSERT_NE(dd, nullptr);
    EXPECT_EQ(dd->base, base);
    EXPECT_EQ(dd->size, 0u);
    EXPECT_EQ(dd->moredata, 1);
    EXPECT_EQ(dd->room, 128u);
    tq3_decouple_data_resize(dd, 128);
    EXPECT_EQ(dd->room, 256u);
    for (size_t i = 0; i < dd->room; ++i) { /* every entry is writable */
        dd->ptrs[i] = base;
        dd->ptrsize[i] = i;
    }
    tq3_decouple_data_destroy(dd);
    tq3_decouple_data_destroy(nullptr);
}

TEST(DecoupleData, CountArgsCountsBlanksOfOneLine)
{
    EXPECT_EQ(opcode_count_args("GCF 0 120\r\nMSG a b c\r\n", " ", "\r\n"), 2);
    EXPECT_EQ(opcode_count_args("QRY 1", " ", "\r\n"), 1);
    EXPECT_EQ(opcode_count_args("PNG\r\n", " ", "\r\n"), 0);
    EXPECT_EQ(opcode_count_args("A  B\nC D", " ", "\r\n"), 2);
    EXPECT_EQ(opcode_count_args("a,b;c", ",;", ""), 2);
    EXPECT_EQ(opcode_count_args(nullptr, " ", "\r\n"), 0);
}

} // namespace
