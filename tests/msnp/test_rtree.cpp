/* The relation tree through the commands an administrator uses: growing
 * paths, moving and renaming nodes, users and rules in nodes, and what a
 * node's end takes with it. */
#include "msnp/policy_script.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_relation.h"

#include <string>

namespace {

class Tree : public PolicyScript {
protected:
    void SetUp() override
    {
        PolicyScript::SetUp();
        play({{"new person u u@x"}, {"new person v v@x"}, {"new person pat /.*@y/"}, {"new person sup"},
              {"new group G"}});
    }
};

TEST_F(Tree, PathsGrowMoveAndAreRenamed)
{
    std::string deep;
    for (int i = 0; i < 257; ++i)
        deep += "/d";
    const std::string too_deep = "new node " + deep, refused = "E23: Not a valid object name or path: " + deep;
    play({
        /* Only the missing nodes are made: two new, two parents told. */
        {"new node a"},
        {"new node a/b/c", {}, nullptr, 4},
        {"serialize /a/b/c", {}, "=<node identifier='c'>\n</node>"},
        {"new node a/b", {"E25: Object name or path is already used: a/b"}},
        {"new node /", {"E25: Object name or path is already used: /"}},
        {too_deep.c_str(), {refused}},
        /* Moving: never into itself or a node below it, nor beside a
         * namesake; the users moved with it are told. */
        {"new node x/b"},
        {"add u a/b/c"},
        {"add a a", {"E20: Self moving: a"}},
        {"add a a/b/c", {"E21: Self indirect moving: a"}},
        {"add a/b x", {"E25: Name conflict: b"}},
        {"add a/b/c x/b", {}, nullptr, 4},
        {"serialize a", {}, "=<node identifier='a'>\n<node identifier='b'>\n</node>\n</node>"},
        {"serialize u", {}, "<reference>/x/b/c</reference>"},
        /* Renaming: not the root, not to a bad name or a sibling's. */
        {"new node x/b/d"},
        {"rename x/b/c description: \"two words\""},
        {"serialize x/b/c", {}, "<description>two words</description>"},
        {"rename x/b/c description: \"\""},
        {"serialize x/b/c", {}, "!<description>"},
        {"rename / z", {"E4: Can not rename root", "E25: Object name z already exists"}},
        {"rename x/b/c 9z", {"E23: Not a valid object name: 9z", "E25: Object name 9z already exists"}},
        {"rename x/b/c d", {"E25: Hierarchical name conflict: d", "E25: Object name d already exists"}},
        {"rename x/b/c c"},
        {"rename x/b/c z", {}, nullptr, 3},
        {"serialize u", {}, "<reference>/x/b/z</reference>"},
        /* Depth: 0 the node alone, 1 its children by name. */
        {"rename x description: top"},
        {"add u x"},
        {"add G x"},
        {"serialize x 0", {}, "=<node identifier='x'/>"},
        {"serialize x 1", {}, "<node identifier='b'/>"},
        {"serialize x 1", {}, "<description>top</description>"},
        {"serialize x 1", {}, "<user>u</user>"},
        {"serialize x 1", {}, "<relation object='G'"},
        {"serialize x 2", {}, "<node identifier='d'/>"},
    });
}

TEST_F(Tree, UsersAndRulesInNodes)
{
    play({
        {"new node n"},
        /* A user once, no super or pattern as a user; other persons and
         * groups become the node's rules, in order. */
        {"add u n"},
        {"add u n", {"E1006: User already exists in the node"}},
        {"add sup n", {"E1005: Only user person can take part as users"}},
        {"add v n 'action_block'", {}, "index='0'"},
        {"add pat n"},
        {"add G n", {}, "index='2'"},
        {"new time t"},
        {"add t n", {"E22: Not a valid operation"}},
        {"add 'x' n", {"E200: Object n does not support add (literal)"}},
        {"add ghost n", {"E1003: Node does not support weak references: ghost"}},
        {"serialize n", {}, "<relation object='v'"},
        {"move n 0 3"},
        {"move n 2 0"},
        {"serialize n", {}, "<user>u</user>"},
        /* Deleting: a person not there changes nothing. */
        {"new node m"},
        {"add u m"},
        {"del n sup", {"WNo references found: sup"}, nullptr, 0},
        {"del n u", {}, nullptr, 2},
        {"del n G"},
        {"serialize n", {}, "!object='G'"},
    });
    msnp_rtree *n = rtree_resolve_tree(ents->root, "n", nullptr);
    ASSERT_NE(n, nullptr);
    std::vector<std::string> order;
    for (tqlist *l = n->contactl; l; l = l->next)
        order.emplace_back(static_cast<msnp_person *>(static_cast<msnp_relates *>(l->data)->relation)->ident);
    EXPECT_EQ(order, (std::vector<std::string>{"v", "pat"})) << "G moved first, then deleted";
    /* u is still in m, so it keeps its run-time user; out of every node,
     * it has none. */
    EXPECT_EQ(msnp_search_user("u@x"), msnp_search_person("u", 0));
    play({{"del m u"}});
    EXPECT_EQ(msnp_search_user("u@x"), nullptr);
}

TEST_F(Tree, ANodeCollectedTakesItsSubtreeAndLetsItsUsersGo)
{
    play({
        {"new node a/b"}, {"new node a/c"},
        {"add u a/b"}, {"add u a"}, {"add v /"}, {"add v a/c"},
        {"new time t"},
        {"add G a/c t"},
        {"add v a"},
        {"add G /"},
        {"collect /", {"E28: Invalid operation"}},
        {"collect a"},
        {"serialize /", {}, "!identifier='a'"},
        {"serialize u", {}, "!<back-references>"},
        {"serialize v", {}, "<reference>/</reference>"},
        {"serialize t", {}, "=<time identifier='t'>\n</time>"},
        {"serialize G", {}, "=<group name='G'/>"},
    });
    EXPECT_EQ(msnp_search_user("u@x"), nullptr);
    msnp_person *u = msnp_search_person("u", 0);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->user, nullptr);
}

/* Paths as text and back, and where they stop naming anything. */
TEST_F(Tree, PathTextAndResolution)
{
    play({{"new node x/y"}});
    msnp_rtree *x = rtree_resolve_tree(ents->root, "x", nullptr);
    msnp_rtree *y = rtree_resolve_tree(ents->root, "/x/y", nullptr);
    ASSERT_TRUE(x && y);
    for (const auto &[node, text] : std::vector<std::pair<msnp_rtree *, std::string>>{
             {ents->root, "/"}, {x, "/x"}, {y, "/x/y"}}) {
        char *p = rtree_reverse(node);
        EXPECT_EQ(p, text);
        free(p);
    }
    EXPECT_EQ(rtree_reverse(nullptr), nullptr);
    int err = 0;
    EXPECT_EQ(rtree_resolve_tree(ents->root, "x/z", &err), nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(rtree_resolve_tree(ents->root, "x/y-1", &err), nullptr);
    EXPECT_EQ(err, 1);
    char *none[] = {nullptr};
    EXPECT_EQ(rtree_resolve_tree_list(x, none), x);
    std::string deep;
    for (int i = 0; i < 300; ++i)
        deep += "/x";
    EXPECT_EQ(rtree_resolve_tree(ents->root, deep.c_str(), nullptr), nullptr);
}

} // namespace
