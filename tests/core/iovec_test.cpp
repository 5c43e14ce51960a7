#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <cstdlib>
#include <cstring>

#include "tq3_iovec.h"

namespace {

std::string joined(const tq3_iov *iov)
{
    size_t len = 99;
    unsigned char *b = tq3_iov_reassembly(iov, &len);
    if (!b)
        return "<null>";
    EXPECT_EQ(b[len], '\0');
    std::string s(reinterpret_cast<char *>(b), len);
    std::free(b);
    return s;
}

} // namespace

TEST(Iovec, EmptyVectorReassemblesToNullAndBadArgumentsAreRefused)
{
    tq3_iov *iov = tq3_iov_new();
    size_t len = 42;
    EXPECT_EQ(tq3_iov_reassembly(iov, &len), nullptr);
    EXPECT_EQ(len, 0u);
    // Empty pieces are not stored, so the vector stays empty.
    EXPECT_EQ(tq3_iov_add(iov, "", 0), 1);
    EXPECT_EQ(tq3_iov_add_fmt(iov, "%s", ""), 1);
    EXPECT_EQ(iov->iovc, 0u);
    EXPECT_EQ(tq3_iov_reassembly(iov, &len), nullptr);
    EXPECT_EQ(tq3_iov_add(iov, nullptr, 4), 0);
    EXPECT_EQ(tq3_iov_add(nullptr, "x", 1), 0);
    EXPECT_EQ(tq3_iov_take(iov, nullptr, 4), 0);
    char *kept = strdup("x");
    EXPECT_EQ(tq3_iov_take(nullptr, kept, 1), 0);  // still ours
    free(kept);
    EXPECT_EQ(tq3_iov_take(iov, strdup(""), 0), 1);  // freed, not stored
    EXPECT_EQ(tq3_iov_reassembly(nullptr, nullptr), nullptr);
    EXPECT_EQ(iov->iovc, 0u);
    tq3_iov_dtr(iov);
    tq3_iov_dtr(nullptr);
}

TEST(Iovec, PiecesAreCopiedJoinedInOrderAndReused)
{
    tq3_iov *iov = tq3_iov_new();
    char buf[] = "MSG 1 N 5\r\n";
    ASSERT_EQ(tq3_iov_add(iov, buf, sizeof buf - 1), 1);
    buf[0] = 'X';
    ASSERT_EQ(tq3_iov_add_fmt(iov, "%s-%d", "hello", 7), 1);
    EXPECT_EQ(iov->iovc, 2u);
    EXPECT_EQ(tq3_iov_length(iov), 11u + 7u);
    EXPECT_EQ(joined(iov), "MSG 1 N 5\r\nhello-7");
    // A taken piece is stored as it is, not copied, and freed with the rest.
    char *piece = strdup("|taken");
    ASSERT_EQ(tq3_iov_take(iov, piece, 6), 1);
    EXPECT_EQ(iov->data[2], reinterpret_cast<unsigned char *>(piece));
    EXPECT_EQ(joined(iov), "MSG 1 N 5\r\nhello-7|taken");
    // Reuse empties it for new content.
    tq3_iov_add(iov, "old", 3);
    tq3_iov_reuse(iov);
    EXPECT_EQ(iov->iovc, 0u);
    EXPECT_EQ(joined(iov), "<null>");
    tq3_iov_add(iov, "new", 3);
    EXPECT_EQ(joined(iov), "new");
    tq3_iov_dtr(iov);
}

TEST(Iovec, BinaryBytesAndManyPieces)
{
    tq3_iov *iov = tq3_iov_new();
    const unsigned char nul[3] = {'a', 0, 'b'};
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(tq3_iov_add(iov, nul, 3), 1);
    size_t len = 0;
    unsigned char *b = tq3_iov_reassembly(iov, &len);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(len, 300u);
    EXPECT_EQ(b[299], 'b');
    EXPECT_EQ(b[298], 0);
    std::free(b);
    tq3_iov_dtr(iov);
}

