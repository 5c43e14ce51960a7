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

TEST(Iovec, LentPiecesAreNotCopiedNeighboursJoinAndKeptBlocksGoWithReuse)
{
    tq3_iov *iov = tq3_iov_new();
    char *block = static_cast<char *>(malloc(16));
    memcpy(block, "PNG\r\nOUT\r\nQRY\r\n", 15);
    ASSERT_EQ(tq3_iov_keep(iov, block), 1);
    // Two neighbours are one piece; a gap or an owned piece between starts
    // another.
    ASSERT_EQ(tq3_iov_lend(iov, block, 5), 1);
    ASSERT_EQ(tq3_iov_lend(iov, block + 5, 5), 1);
    EXPECT_EQ(iov->iovc, 1u);
    EXPECT_EQ(iov->data[0], reinterpret_cast<unsigned char *>(block));
    ASSERT_EQ(tq3_iov_add(iov, "CHG\r\n", 5), 1);
    ASSERT_EQ(tq3_iov_lend(iov, block + 10, 5), 1);
    ASSERT_EQ(tq3_iov_lend(iov, block, 3), 1); // not after the last piece's end
    EXPECT_EQ(iov->iovc, 4u);
    EXPECT_EQ(joined(iov), "PNG\r\nOUT\r\nCHG\r\nQRY\r\nPNG");
    // What is lent is read where it lies.
    block[0] = 'X';
    EXPECT_EQ(joined(iov).substr(0, 3), "XNG");
    EXPECT_EQ(tq3_iov_lend(iov, nullptr, 1), 0);
    EXPECT_EQ(tq3_iov_lend(iov, "x", 0), 1);
    EXPECT_EQ(tq3_iov_keep(iov, nullptr), 0);
    EXPECT_EQ(tq3_iov_keep(nullptr, block), 0);
    // Reuse frees the block and the owned piece (the leak checker of the
    // sanitizer build would say otherwise), never a lent one.
    tq3_iov_reuse(iov);
    EXPECT_EQ(iov->iovc, 0u);
    std::string outside = "MSG 1 N 0\r\n";
    ASSERT_EQ(tq3_iov_lend(iov, outside.data(), outside.size()), 1);
    tq3_iov_dtr(iov);
    EXPECT_EQ(outside, "MSG 1 N 0\r\n");
}
