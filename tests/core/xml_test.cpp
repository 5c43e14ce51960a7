#include <gtest/gtest.h>

#include "utils.h"

TEST(XmlSearch, DeepNestingDoesNotRecurse)
{
    iks *root = iks_new("r");
    iks *cur = root;
    for (int i = 0; i < 100000; ++i)
        cur = iks_insert(cur, "d");
    iks_insert_cdata(cur, "needle", 0);
    EXPECT_TRUE(super_simple_xml_search(root, "NEEDLE"));
    EXPECT_FALSE(super_simple_xml_search(root, "haystack"));
    iks_delete(root);
}
