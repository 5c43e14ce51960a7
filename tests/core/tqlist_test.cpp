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

int str_equal(const void *data, const void *key)
{
    return std::strcmp(static_cast<const char *>(data), static_cast<const char *>(key)) == 0;
}

} // namespace

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

TEST(TqList, SearchByMatcherReferenceAndZeroBasedPosition)
{
    tqlist *l = nullptr;
    for (char *s : {A, B, C})
        tqlist_insert_end(&l, s);
    char key[] = "b";
    tqlist *n = tqlist_search(l, str_equal, key);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->data, B);
    EXPECT_EQ(tqlist_search_ref(l, key), nullptr);  // same text, other pointer
    EXPECT_EQ(tqlist_search_ref(l, C), list_from_index(l, 2));
    EXPECT_EQ(tqlist_search(l, str_equal, "z"), nullptr);
    EXPECT_EQ(tqlist_search(nullptr, str_equal, "a"), nullptr);
    EXPECT_EQ(list_from_index(l, 0)->data, A);
    EXPECT_EQ(list_from_index(l, 2)->data, C);
    EXPECT_EQ(list_from_index(l, 3), nullptr);
    EXPECT_EQ(list_from_index(l, -1), nullptr);
    tqlist_destroy_without_refs(&l);
}

TEST(TqList, DestroyReleasesElements)
{
    static int released;
    released = 0;
    tqlist *l = nullptr;
    for (int i = 0; i < 3; ++i)
        tqlist_insert_end(&l, std::malloc(4));
    tqlist_destroy(&l, [](void *p) {
        ++released;
        std::free(p);
    });
    EXPECT_EQ(released, 3);
    EXPECT_EQ(l, nullptr);

    tqlist_insert_end(&l, strdup("freed by free()"));
    tqlist_destroy(&l, nullptr);
    EXPECT_EQ(l, nullptr);
}

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

TEST(TqList, SymbolTableSharesElementsAndEndsWithNull)
{
    tqlist *l = nullptr;
    for (char *s : {A, B})
        tqlist_insert_end(&l, s);
    char **t = symbol_table_from_list(l);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t[0], A);
    EXPECT_EQ(t[1], B);
    EXPECT_EQ(t[2], nullptr);
    std::free(t);
    tqlist_destroy_without_refs(&l);

    char **empty = symbol_table_from_list(nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], nullptr);
    std::free(empty);
}
