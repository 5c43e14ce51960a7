#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tqlist.h"

namespace {

// Reads the list forwards and checks every back link on the way; the
// first node's back link names the last node.
std::vector<std::string> walk(const tqlist *l)
{
    std::vector<std::string> out;
    const tqlist *head = l, *prev = nullptr;
    for (; l; l = l->next) {
        if (prev) {
            EXPECT_EQ(l->prev, prev);
        }
        out.emplace_back(static_cast<const char *>(l->data));
        prev = l;
    }
    if (head) {
        EXPECT_EQ(head->prev, prev);
    }
    return out;
}

char A[] = "a", B[] = "b", C[] = "c", D[] = "d";

} // namespace

TEST(TqList, IndexFromArgsAcceptsOnlyPlainDecimals)
{
    int i = -1;
    EXPECT_EQ(index_from_args("0", &i), 1);
    EXPECT_EQ(i, 0);
    EXPECT_EQ(index_from_args("17", &i), 1);
    EXPECT_EQ(i, 17);
    EXPECT_EQ(index_from_args("2147483647", &i), 1);
    EXPECT_EQ(i, 2147483647);
    i = 5;
    for (const char *bad : {"", "-1", "+1", " 1", "1 ", "1a", "0x10", "2147483648", "99999999999999999999"})
        EXPECT_EQ(index_from_args(bad, &i), 0) << bad;
    EXPECT_EQ(i, 5);
    EXPECT_EQ(index_from_args(nullptr, &i), 0);
}

TEST(TqList, InsertAtHeadTailAndAroundMiddle)
{
    tqlist *l = nullptr;
    tqlist *b = tqlist_insert_end(&l, B);
    ASSERT_NE(b, nullptr);
    tqlist_insert_begin(&l, A);
    tqlist_insert_end(&l, D);
    tqlist_insert_after(&l, b, C);
    EXPECT_EQ(walk(l), (std::vector<std::string>{"a", "b", "c", "d"}));

    // Before the head becomes the new head; after the tail the new tail.
    tqlist_insert_before(&l, l, D);
    tqlist *tail = list_from_index(l, 4);
    tqlist_insert_after(&l, tail, A);
    EXPECT_EQ(walk(l), (std::vector<std::string>{"d", "a", "b", "c", "d", "a"}));
    tqlist_insert_before(&l, b, C);
    EXPECT_EQ(walk(l), (std::vector<std::string>{"d", "a", "c", "b", "c", "d", "a"}));
    EXPECT_EQ(tqlist_length(l), 7u);
    tqlist_destroy_without_refs(&l);
    EXPECT_EQ(l, nullptr);
}

TEST(TqList, UnlinkHeadTailMiddleAndOnlyNode)
{
    tqlist *l = nullptr;
    for (char *s : {A, B, C, D})
        tqlist_insert_end(&l, s);
    EXPECT_EQ(tqlist_unlink_remove(&l, l), 1);  // head
    EXPECT_EQ(walk(l), (std::vector<std::string>{"b", "c", "d"}));
    EXPECT_EQ(tqlist_unlink_remove(&l, list_from_index(l, 2)), 1);  // tail
    EXPECT_EQ(walk(l), (std::vector<std::string>{"b", "c"}));
    tqlist_insert_end(&l, D);
    EXPECT_EQ(tqlist_unlink_remove_ref(&l, C), 1);  // middle
    EXPECT_EQ(walk(l), (std::vector<std::string>{"b", "d"}));
    EXPECT_EQ(tqlist_unlink_remove_ref(&l, A), 0);
    EXPECT_EQ(tqlist_unlink_remove(&l, nullptr), 0);
    tqlist_unlink_remove(&l, l);
    tqlist_unlink_remove(&l, l);
    EXPECT_EQ(l, nullptr);
}
