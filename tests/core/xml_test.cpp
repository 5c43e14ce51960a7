#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "utils.h"

namespace {

iks *parse(const char *text)
{
    int err = 0;
    iks *x = iks_tree(text, 0, &err);
    EXPECT_EQ(err, IKS_OK) << text;
    return x;
}

std::string render(iks *x) { return iks_string(iks_stack(x), x); }

} // namespace

TEST(XmlSearch, FindsTextInDataAndAttributesIgnoringCase)
{
    iks *log = parse("<log><message orig='Alice@X.com'>Hello <b>WORLD</b></message>"
                     "<message orig='bob'>bye</message></log>");
    iks *first = iks_first_tag(log);
    EXPECT_TRUE(super_simple_xml_search(first, "world"));    // nested character data
    EXPECT_TRUE(super_simple_xml_search(first, "alice@x"));  // attribute value
    EXPECT_TRUE(super_simple_xml_search(first, "BYE"));      // following sibling
    EXPECT_FALSE(super_simple_xml_search(first, "message")); // element names do not count
    EXPECT_FALSE(super_simple_xml_search(first, "orig"));    // nor attribute names
    EXPECT_FALSE(super_simple_xml_search(iks_next_tag(first), "hello"));  // not before the start
    EXPECT_FALSE(super_simple_xml_search(nullptr, "x"));
    EXPECT_FALSE(super_simple_xml_search(first, nullptr));
    EXPECT_TRUE(super_simple_xml_search(first, ""));
    iks_delete(log);
}

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

TEST(XmlSlurp, CopiesEveryChildIntoDest)
{
    iks *src = parse("<src><a k='v'><b>t</b></a>text<c/></src>");
    iks *dest = iks_new("relation-trees");
    EXPECT_EQ(slurp_xml_tree(dest, src), 3);
    iks_delete(src);  // the copies must not depend on the source
    EXPECT_EQ(render(dest), "<relation-trees><a k='v'><b>t</b></a>text<c/></relation-trees>");
    EXPECT_EQ(slurp_xml_tree(dest, nullptr), 0);
    iks *empty = iks_new("e");
    EXPECT_EQ(slurp_xml_tree(dest, empty), 0);
    iks_delete(empty);
    iks_delete(dest);
}
