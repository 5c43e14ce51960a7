#include "tq3_msnp.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_rtree.h"
#include "msnp/entity_fixture.h"

#include <stdlib.h>

namespace {

using Strings = std::vector<std::string>;

class RtreeTest : public EntityTest {
protected:
    msnp_person *u = nullptr, *v = nullptr, *pat = nullptr;
    msnp_group *g = nullptr;
    void SetUp() override
    {
        EntityTest::SetUp();
        u = user("u", "u@x");
        v = user("v", "v@x");
        pat = new_msnp_person(nullptr, "pat", "/.*@y/", nullptr);
        super("sup");
        g = new_msnp_group(nullptr, "G");
    }
    static msnp_rtree *grow(const char *p) { return msnp_new_object_node(nullptr, p, ents->root); }
    static msnp_rtree *at(const char *p) { return rtree_resolve_tree(ents->root, p, nullptr); }
    static std::string path(msnp_rtree *n)
    {
        char *p = rtree_reverse(n);
        std::string s = p;
        free(p);
        return s;
    }
    /* Gathered events whose text begins with `prefix`. */
    Strings events_of(const char *prefix) const
    {
        Strings out;
        for (const std::string &e : events())
            if (e.rfind(prefix, 0) == 0)
                out.push_back(e);
        return out;
    }
    static bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }
    static void relate(msnp_rtree *n, void *target, msnp_object_type kind, char **words = nullptr)
    {
        rtree_add_contact(nullptr, n, new_relation_desc(nullptr, target, words, kind));
    }
};

TEST_F(RtreeTest, GrowingCreatesOnlyMissingNodes)
{
    msnp_rtree *a = grow("a");
    msnp_rtree *c = msnp_new_object_node(idl, "a/b/c", ents->root);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->refs, 1);
    EXPECT_EQ(path(ents->root) + path(a) + path(c), "//a/a/b/c");
    Strings created = events_of("<object-new>");
    ASSERT_EQ(created.size(), 2u);
    EXPECT_TRUE(has(created[0], "<root path='/a/b'><node identifier='b'>")) << created[0];
    EXPECT_TRUE(has(created[1], "<root path='/a/b/c'><node identifier='c'>")) << created[1];
    EXPECT_EQ(events_of("<object-data><root").size(), 2u); /* parents a and b */
    msnp_object_type kind = MSNP_OBJECT_NONE;
    EXPECT_EQ(msnp_generic_object_search(nullptr, path(c).c_str(), &kind, 0, nullptr), c);
    EXPECT_EQ(kind, MSNP_OBJECT_NODE);

    idl_parser_clear(idl);
    std::string deep;
    for (int i = 0; i < 257; ++i)
        deep += "/d";
    for (const char *p : {"a/b", "/", deep.c_str()})
        EXPECT_EQ(msnp_new_object_node(idl, p, ents->root), nullptr) << p;
    EXPECT_EQ(errors(), (Strings{"25: Node path a/b already exists", "25: Node path / already exists",
                                 "23: Not a valid object name or path: " + deep}));
    char *none[] = {nullptr};
    EXPECT_EQ(msnp_tree_grow(idl, a, none), a);
    idl->import = 1;
    EXPECT_NE(msnp_new_object_node(idl, "a/e", ents->root), nullptr);
    EXPECT_EQ(event_count(), 0u);
}

TEST_F(RtreeTest, MovingNodes)
{
    msnp_rtree *c = grow("a/b/c");
    msnp_rtree *x = grow("x/b");
    const struct {
        const char *dest, *orig, *error;
    } refusals[] = {{"a", "a", "20: Self moving: a"}, {"a/b/c", "a", "21: Self indirect moving: a"},
                    {"x", "a/b", "25: Name conflict: b"}};
    for (const auto &r : refusals) {
        idl_parser_clear(idl);
        EXPECT_EQ(rtree_add_sibling(idl, at(r.dest), at(r.orig)), 0);
        EXPECT_EQ(errors(), Strings{r.error});
        EXPECT_EQ(event_count(), 0u);
    }
    EXPECT_EQ(path(c), "/a/b/c");

    idl_parser_clear(idl);
    place(c, u);
    EXPECT_EQ(msnp_add_object_dest(idl, x, MSNP_OBJECT_NODE, "a/b/c", nullptr, nullptr), 1);
    EXPECT_EQ(path(c), "/x/b/c");
    EXPECT_EQ(at("a/b")->siblings, nullptr);
    EXPECT_EQ(c->refs, 1);
    Strings ev = events();
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_TRUE(has(ev[0], "<root path='/a/b'>")) << ev[0]; /* the old parent */
    EXPECT_TRUE(has(ev[1], "<object-rename old='/a/b/c' new='/x/b/c'")) << ev[1];
    EXPECT_TRUE(has(ev[2], "<root path='/x/b'>")) << ev[2];
    EXPECT_TRUE(has(ev[3], "<reference>/x/b/c</reference>")) << ev[3]; /* the moved user */
}

TEST_F(RtreeTest, AddingToANodeByOriginKind)
{
    msnp_rtree *n = grow("n");
    char *block[] = {const_cast<char *>("'action_block'"), nullptr};
    const struct {
        const char *orig;
        char **words;
        int result;
    } adds[] = {{"u", nullptr, 1}, {"u", nullptr, 0}, {"sup", nullptr, 0}, {"v", block, 1}, {"pat", nullptr, 1}, {"G", nullptr, 1}};
    for (const auto &a : adds)
        EXPECT_EQ(msnp_add_object_dest(idl, n, MSNP_OBJECT_NODE, a.orig, a.words, nullptr), a.result) << a.orig;
    EXPECT_EQ(errors(), (Strings{"1006: User already exists in the node", "1005: Only user person can take part as users"}));
    EXPECT_EQ(rtree_add_person(idl, n, pat), 0);
    EXPECT_EQ(idl->last_code, 1005);
    EXPECT_EQ(tqlist_length(n->people) + tqlist_length(u->rtree_backref), 2u);
    EXPECT_EQ(msnp_search_user("u@x"), u);
    ASSERT_EQ(tqlist_length(n->contactl), 3u);
    auto *first = static_cast<msnp_relates *>(n->contactl->data);
    EXPECT_TRUE(first->relation == v && first->action == TQ_MATCH_BLOCK);
    EXPECT_EQ(static_cast<msnp_relates *>(n->contactl->next->data)->relation, pat);
    EXPECT_EQ(g->relation_backref->data, n->contactl->next->next->data);
    EXPECT_EQ(events_of("<object-data><root path='/n'>").size(), 4u);
    EXPECT_TRUE(has(idl->data, "index='2'"));
}

TEST_F(RtreeTest, UnlinkingASubtreeAndDestroyingUsers)
{
    msnp_rtree *b = grow("a/b"), *c = grow("a/c"), *a = at("a");
    place(b, u);
    place(a, u);
    place(ents->root, v);
    place(c, v);
    msnp_object_generic *t = msnp_new_object_time(nullptr, "t", nullptr);
    char *tw[] = {const_cast<char *>("t"), nullptr};
    relate(c, g, MSNP_OBJECT_GROUP, tw);
    relate(a, v, MSNP_OBJECT_PERSON);
    relate(ents->root, g, MSNP_OBJECT_GROUP); /* left for the registry teardown */

    EXPECT_EQ(msnp_rtree_unlink_node(idl, ents->root), -1);
    EXPECT_EQ(msnp_rtree_unlink_node(idl, a), 1);
    EXPECT_EQ(ents->root->siblings, nullptr);
    Strings collected = events_of("<object-collect");
    ASSERT_EQ(collected.size(), 3u);
    EXPECT_TRUE(has(collected[0], "name='/a/b'") && has(collected[1], "name='/a/c'") && has(collected[2], "name='/a'"));
    EXPECT_TRUE(u->rtree_backref == nullptr && u->user == nullptr); /* in no node any more */
    EXPECT_EQ(msnp_search_user("u@x"), nullptr);
    EXPECT_EQ(tqlist_length(v->rtree_backref), 1u);
    EXPECT_EQ(v->relation_backref, nullptr);
    EXPECT_EQ(tqlist_length(g->relation_backref), 1u);
    EXPECT_EQ(t->backref, nullptr);

    b = grow("b");
    place(b, v);
    msnp_destroy_person(self, idl, v);
    EXPECT_EQ(b->people, nullptr);
    EXPECT_EQ(ents->root->people, nullptr);
}

TEST_F(RtreeTest, Renaming)
{
    msnp_rtree *b = grow("a/b");
    grow("a/c");
    place(b, u);
    const struct {
        const char *node, *name, *error;
    } refusals[] = {
        {"a/b", "description:", "2: Missing description"}, {"/", "z", "4: Can not rename root"},
        {"a/b", "9z", "23: Not a valid object name: 9z"},   {"a/b", "", "23: Not a valid object name: "},
        {"a/b", "c", "25: Hierarchical name conflict: c"},
    };
    for (const auto &r : refusals) {
        idl_parser_clear(idl);
        EXPECT_EQ(msnp_rename_object_node(idl, at(r.node), r.name, nullptr), 0) << r.name;
        EXPECT_EQ(errors(), Strings{r.error});
        EXPECT_EQ(event_count(), 0u);
    }
    EXPECT_EQ(msnp_rename_object_node(idl, b, "description:", "\"two words\""), 1);
    EXPECT_STREQ(b->description, "two words");
    EXPECT_EQ(msnp_rename_object_node(idl, b, "description:", "\"\""), 1);
    EXPECT_EQ(b->description, nullptr);
    EXPECT_EQ(msnp_rename_object_node(idl, b, "b", nullptr), 1); /* its own name */
    idl_parser_clear(idl);
    EXPECT_EQ(msnp_rename_object_node(idl, b, "z", nullptr), 1);
    EXPECT_EQ(at("a/z"), b);
    Strings ev = events();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_TRUE(has(ev[0], "<object-rename old='/a/b' new='/a/z'")) << ev[0];
    EXPECT_TRUE(has(ev[1], "<root path='/a'>")) << ev[1];
    EXPECT_TRUE(has(ev[2], "<reference>/a/z</reference>")) << ev[2];
}

TEST_F(RtreeTest, DeletingAndReorderingUsersAndRelations)
{
    msnp_rtree *a = grow("a"), *b = grow("b");
    place(a, u);
    place(b, u);
    relate(a, g, MSNP_OBJECT_GROUP);
    EXPECT_EQ(msnp_del_object_node(idl, a, v) + event_count(), 0u);
    EXPECT_EQ(msnp_del_object_node(idl, a, u), 1);
    EXPECT_EQ(a->people, nullptr);
    EXPECT_EQ(u->rtree_backref->data, b);
    EXPECT_EQ(msnp_search_user("u@x"), u); /* still in b */
    EXPECT_EQ(events_of("<object-data><person").size(), 1u);
    EXPECT_EQ(events_of("<object-data><root path='/a'>").size(), 1u);
    EXPECT_EQ(msnp_del_object_node(idl, b, u), 1);
    EXPECT_EQ(u->user, nullptr);
    EXPECT_EQ(msnp_search_user("u@x"), nullptr);
    EXPECT_EQ(msnp_del_object_node(idl, a, g), 1);
    EXPECT_TRUE(a->contactl == nullptr && g->relation_backref == nullptr);

    /* Reordering relations by index. */
    msnp_rtree *n = grow("n");
    for (msnp_person *p : {pat, u, v})
        relate(n, p, MSNP_OBJECT_PERSON);
    EXPECT_EQ(msnp_move_object_node_index(idl, n, 0, 3), 0);
    EXPECT_EQ(msnp_move_object_node_index(idl, n, 2, 0), 1);
    Strings order;
    for (tqlist *l = n->contactl; l; l = l->next)
        order.emplace_back(static_cast<msnp_person *>(static_cast<msnp_relates *>(l->data)->relation)->ident);
    EXPECT_EQ(order, (Strings{"v", "pat", "u"}));
}

TEST_F(RtreeTest, SerialisationDepth)
{
    grow("a/b/c");
    msnp_rtree *a = at("a");
    place(a, u);
    a->description = strdup("top");
    relate(a, g, MSNP_OBJECT_GROUP);
    for (unsigned depth : {0u, 1u, 2u, ~0u}) {
        iks *holder = iks_new("relation-tree");
        EXPECT_EQ(msnp_serialize_object_node(a, holder, depth) == nullptr, depth == 0);
        std::string s = xml_text(holder);
        for (const char *part : {"<description>top</description>", "<user>u</user>", "<relation object='G'"})
            EXPECT_EQ(has(s, part), depth > 0) << s;
        EXPECT_EQ(has(s, "<node identifier='b'/>"), depth == 1) << s;
        EXPECT_EQ(has(s, "<node identifier='c'"), depth > 1) << s;
    }
}

} // namespace
