#include "tq3_msnp.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_rtree.h"
#include "msnp/entity_fixture.h"

#include <stdlib.h>
#include <string.h>

namespace {

using Strings = std::vector<std::string>;

class RelationTest : public EntityTest {
protected:
    msnp_person *a = nullptr, *b = nullptr;
    void SetUp() override
    {
        EntityTest::SetUp();
        a = user("a", "a@x");
        b = user("b", "b@x");
    }
};

std::vector<char *> words(std::initializer_list<const char *> list)
{
    std::vector<char *> out;
    for (const char *w : list)
        out.push_back(const_cast<char *>(w));
    out.push_back(nullptr);
    return out;
}

TEST_F(RelationTest, NoWordsPassesBothWays)
{
    msnp_relates *r = relates_to(nullptr, a, b, nullptr, MSNP_OBJECT_PERSON);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->action, TQ_MATCH_PASS);
    EXPECT_EQ(r->direction, DIR_BOTH);
    EXPECT_EQ(r->flags, 0u);
    EXPECT_EQ(r->risk_level, 0u);
    EXPECT_EQ(r->back, a);
    EXPECT_EQ(r->back_type, MSNP_OBJECT_PERSON);
    EXPECT_EQ(r->relation, b);
    ASSERT_NE(r->uid, nullptr);
    EXPECT_EQ(strlen(r->uid), 32u);
    EXPECT_EQ(tqlist_search_ref(b->relation_backref, r)->data, r);
    msnp_relates *r2 = relates_to(nullptr, a, b, nullptr, MSNP_OBJECT_PERSON);
    EXPECT_STRNE(r->uid, r2->uid);
    EXPECT_EQ(tqlist_search(a->contactl, msnp_search_relation, b)->data, r);
}

TEST_F(RelationTest, PropertyWordsLaterOverrideEarlier)
{
    auto w = words({"'action_block'", "'action_pass'", "'direction_out'", "'disable'", "risk:12", "threshold:x",
                    "'action_alert'"});
    msnp_relates *r = relates_to(nullptr, a, b, w.data(), MSNP_OBJECT_PERSON);
    EXPECT_EQ(r->action, TQ_MATCH_ALERT);
    EXPECT_EQ(r->direction, DIR_CLIENT_TO_SERVER);
    EXPECT_EQ(r->flags & RELATION_DISABLED, static_cast<unsigned>(RELATION_DISABLED));
    EXPECT_EQ(r->risk_level, 12u);
    EXPECT_EQ(r->risk_threshold, 0u);
    EXPECT_EQ(modify_relation(idl, r, "'enable'"), 1);
    EXPECT_EQ(modify_relation(idl, r, "'direction_in'"), 1);
    EXPECT_EQ(modify_relation(idl, r, "'action_continue'"), 1);
    EXPECT_EQ(modify_relation(idl, r, "threshold:7"), 1);
    EXPECT_EQ(r->flags, 0u);
    EXPECT_EQ(r->direction, DIR_SERVER_TO_CLIENT);
    EXPECT_EQ(r->action, TQ_MATCH_CONTINUE);
    EXPECT_EQ(r->risk_threshold, 7u);
    /* Words are exact: without the quotes they name objects. */
    EXPECT_EQ(modify_relation(idl, r, "action_block"), 0);
    EXPECT_EQ(r->action, TQ_MATCH_CONTINUE);
    EXPECT_EQ(warnings(), Strings{"Unknown relation definition: action_block"});
}

TEST_F(RelationTest, GenericObjectWordsAddAndRemoveOnBothSidesAndOwnersClearThem)
{
    msnp_object_generic *t = msnp_new_object_time(nullptr, "t", nullptr);
    msnp_object_generic *e = msnp_new_object_expr(nullptr, "e", nullptr);
    msnp_object_generic *m = msnp_new_object_imbitmap(nullptr, "m", nullptr);
    ASSERT_TRUE(t && e && m);
    auto w = words({"t", "e", "m", "nothing"});
    msnp_relates *r = relates_to(idl, a, b, w.data(), MSNP_OBJECT_PERSON);
    EXPECT_EQ(warnings(), Strings{"Unknown relation definition: nothing"});
    EXPECT_EQ(tqlist_length(r->times), 1u);
    EXPECT_EQ(tqlist_length(r->exprs), 1u);
    EXPECT_EQ(tqlist_length(r->imbitmaps), 1u);
    EXPECT_EQ(t->backref->data, r);

    std::string xml = xml_text(msnp_serialize_relation(r, nullptr));
    EXPECT_NE(xml.find(">\n<access-list><object type='time'>t</object>\n<object type='expr'>e</object>\n"
                       "<object type='imbitmap'>m</object></access-list></relation>"),
              std::string::npos)
        << xml;

    EXPECT_EQ(modify_relation(idl, r, "!t"), 1);
    EXPECT_EQ(r->times, nullptr);
    EXPECT_EQ(t->backref, nullptr);
    EXPECT_EQ(modify_relation(idl, r, "!zz"), 0);
    EXPECT_EQ(warnings().back(), "Unknown relation definition: !zz");

    /* Unlinking the relation clears the objects' back-references. */
    EXPECT_EQ(msnp_unlink_relation(nullptr, r), 1);
    EXPECT_EQ(e->backref, nullptr);
    EXPECT_EQ(m->backref, nullptr);
    EXPECT_EQ(a->contactl, nullptr);
    EXPECT_EQ(b->relation_backref, nullptr);

    /* Destroying an owner clears the back-references too. */
    w = words({"t"});
    relates_to(nullptr, a, b, w.data(), MSNP_OBJECT_PERSON);
    relates_to(nullptr, b, a, w.data(), MSNP_OBJECT_PERSON);
    EXPECT_EQ(tqlist_length(t->backref), 2u);
    msnp_destroy_person(self, nullptr, a);
    EXPECT_EQ(t->backref, nullptr);
    EXPECT_EQ(b->contactl, nullptr);
}

TEST_F(RelationTest, RelatingToASuperMakesItASuper)
{
    msnp_person *s = super("s");
    EXPECT_EQ(relates_to(idl, a, s, nullptr, MSNP_OBJECT_PERSON), nullptr);
    EXPECT_EQ(a->contactl, nullptr);
    EXPECT_EQ(s->relation_backref, nullptr);
    EXPECT_EQ(a->supers->data, s);
    EXPECT_EQ(s->supers_backref->data, a);
    EXPECT_EQ(event_count(), 1u);
    EXPECT_NE(person_xml(a).find("<super>s</super>"), std::string::npos);
}

TEST_F(RelationTest, RelatingRepliesWithTheIndexUnlessImporting)
{
    relates_to(idl, a, b, nullptr, MSNP_OBJECT_PERSON);
    msnp_relates *r = relates_to(idl, a, a, nullptr, MSNP_OBJECT_PERSON);
    ASSERT_NE(idl->data, nullptr);
    std::string reply = idl->data;
    EXPECT_EQ(reply.rfind("<relation object='a' uid='", 0), 0u) << reply;
    EXPECT_NE(reply.find(std::string("uid='") + r->uid + "'"), std::string::npos);
    EXPECT_NE(reply.find("index='1'"), std::string::npos) << reply;
    EXPECT_EQ(event_count(), 2u);

    idl_parser_clear(idl);
    idl->import = 1;
    relates_to(idl, a, b, nullptr, MSNP_OBJECT_PERSON);
    EXPECT_EQ(idl->data, nullptr);
    EXPECT_EQ(event_count(), 0u);
    EXPECT_EQ(tqlist_length(a->contactl), 3u);
}

TEST_F(RelationTest, WeakRelationIsMadeWithStoredWordsInOrder)
{
    int weak = 0;
    auto w = words({"'action_block'", "'direction_out'"});
    EXPECT_EQ(msnp_add_object_dest(idl, a, MSNP_OBJECT_PERSON, "carol", w.data(), &weak), 1);
    EXPECT_EQ(weak, 1);
    EXPECT_EQ(warnings(), Strings{"Weak reference: carol"});
    EXPECT_EQ(a->wdirty, 1u);
    EXPECT_EQ(a->contactl, nullptr);
    /* A later word appended to the weak relation comes last. */
    EXPECT_EQ(modify_relation_weak_single(a, "carol", "'action_pass'"), 1);
    EXPECT_EQ(modify_relation_weak_single(a, "dave", "'action_pass'"), 0);
    EXPECT_EQ(relates_to_weak(idl, a, "carol", nullptr), 0); /* already awaited */
    EXPECT_EQ(a->wdirty, 1u);

    msnp_person *carol = new_msnp_person(idl, "carol", "c@x", nullptr);
    ASSERT_NE(carol, nullptr);
    ASSERT_EQ(tqlist_length(a->contactl), 1u);
    auto *r = static_cast<msnp_relates *>(a->contactl->data);
    EXPECT_EQ(r->relation, carol);
    EXPECT_EQ(r->action, TQ_MATCH_PASS);
    EXPECT_EQ(r->direction, DIR_CLIENT_TO_SERVER);
    EXPECT_EQ(a->wdirty, 0u);
    EXPECT_EQ(tqtable_count(a->weak), 0u);
    EXPECT_EQ(person_xml(a).find("object='carol'><access-list>"), std::string::npos);

    /* A group resolves a weak relation too. */
    msnp_add_object_dest(idl, a, MSNP_OBJECT_PERSON, "Team", nullptr, nullptr);
    msnp_group *g = new_msnp_group(idl, "Team");
    ASSERT_EQ(tqlist_length(a->contactl), 2u);
    r = static_cast<msnp_relates *>(a->contactl->next->data);
    EXPECT_EQ(r->rel_type, MSNP_OBJECT_GROUP);
    EXPECT_EQ(g->relation_backref->data, r);
}

TEST_F(RelationTest, SerialisedRelationAttributes)
{
    msnp_relates *r = relates_to(nullptr, a, b, nullptr, MSNP_OBJECT_PERSON);
    std::string uid = r->uid;
    EXPECT_EQ(xml_text(msnp_serialize_relation(r, nullptr)),
              "<relation object='b' uid='" + uid + "' action='pass' direction='both'>\n</relation>");
    auto w = words({"'action_block'", "'direction_in'", "risk:3", "threshold:4", "'disable'"});
    for (char **p = w.data(); *p; ++p)
        modify_relation(nullptr, r, *p);
    EXPECT_EQ(xml_text(msnp_serialize_relation(r, nullptr)),
              "<relation object='b' uid='" + uid +
                  "' action='block' direction='in' risk='3' threshold='4' disable='1'>\n</relation>");
    r->action = TQ_MATCH_ADVISED;
    r->direction = DIR_UNKNOWN;
    r->rel_type = MSNP_OBJECT_TIME;
    std::string odd = xml_text(msnp_serialize_relation(r, nullptr));
    r->rel_type = MSNP_OBJECT_PERSON;
    EXPECT_NE(odd.find("object='unknown'"), std::string::npos);
    EXPECT_NE(odd.find("action='advised' direction='unknown'"), std::string::npos) << odd;
}

TEST_F(RelationTest, AccessListSections)
{
    EXPECT_EQ(xml_text(msnp_serialize_relation_com(MSNP_COM_ADD | MSNP_COM_CALL)),
              "<access-list-section><acl>command_make_call</acl><acl>command_add_contact</acl></access-list-section>");
    EXPECT_EQ(msnp_serialize_relation_com(0), nullptr);
    EXPECT_EQ(msnp_serialize_relation_com(1u << 30), nullptr);
    EXPECT_EQ(msnp_serialize_relation_datacast(1u << 20), nullptr);

    std::string msg = xml_text(msnp_serialize_relation_message(MSNP_MESSAGE_TEXTPLAIN | (1u << 29)));
    std::string expected = std::string("<access-list-section><acl>") +
                           msnp_message_search_type(MSNP_MESSAGE_TEXTPLAIN)->fname + "</acl></access-list-section>";
    EXPECT_EQ(msg, expected);
    std::string dc = xml_text(msnp_serialize_relation_datacast(MSNP_DATACAST_NUDGE | MSNP_DATACAST_WINK));
    EXPECT_LT(dc.find(msnp_datacast_search_type(MSNP_DATACAST_WINK)->fname),
              dc.find(msnp_datacast_search_type(MSNP_DATACAST_NUDGE)->fname));
    std::string inv = xml_text(msnp_serialize_relation_invite(MSNP_INVITE_FILETRANSFER));
    EXPECT_NE(inv.find(msnp_invite_search_type(MSNP_INVITE_FILETRANSFER)->fname), std::string::npos) << inv;
}

TEST_F(RelationTest, UnlinkingAndDestroyingTargetsShiftIndexes)
{
    msnp_relates *r = relates_to(nullptr, a, b, nullptr, MSNP_OBJECT_PERSON);
    msnp_relates *keep = relates_to(nullptr, a, b, nullptr, MSNP_OBJECT_PERSON);
    EXPECT_EQ(msnp_unlink_contact_from_container(r, a->contactl), 1);
    ASSERT_EQ(tqlist_length(a->contactl), 1u);
    EXPECT_EQ(a->contactl->data, keep);
    EXPECT_EQ(tqlist_length(b->relation_backref), 1u);
    EXPECT_EQ(msnp_unlink_relation(idl, keep), 1);
    EXPECT_EQ(event_count(), 1u);
    EXPECT_EQ(b->relation_backref, nullptr);

    /* Destroying a target shifts later indexes. */
    msnp_person *c = user("c", "c@x");
    msnp_person *d = user("d", "d@x");
    relates_to(nullptr, a, b, nullptr, MSNP_OBJECT_PERSON);
    relates_to(nullptr, a, c, nullptr, MSNP_OBJECT_PERSON);
    msnp_relates *rd = relates_to(nullptr, a, d, nullptr, MSNP_OBJECT_PERSON);
    EXPECT_EQ(list_from_index(a->contactl, 2)->data, rd);
    msnp_destroy_person(self, idl, c);
    ASSERT_EQ(tqlist_length(a->contactl), 2u);
    EXPECT_EQ(list_from_index(a->contactl, 1)->data, rd);
    EXPECT_EQ(static_cast<msnp_relates *>(a->contactl->data)->relation, b);
}

/* ---------------------------------------------------------------- */
/* The common add: refusals by destination                           */
/* ---------------------------------------------------------------- */

TEST_F(RelationTest, AddRefusalsForPersonAndGenericDestinations)
{
    msnp_object_generic *t = msnp_new_object_time(nullptr, "t", nullptr);
    msnp_object_generic *o = msnp_new_object_object(nullptr, "o", nullptr);
    EXPECT_EQ(msnp_add_object_dest(idl, a, MSNP_OBJECT_PERSON, "t", nullptr, nullptr), 0);
    EXPECT_EQ(msnp_add_object_dest(idl, a, MSNP_OBJECT_PERSON, "'lit'", nullptr, nullptr), 0);
    EXPECT_EQ(msnp_add_object_dest(idl, t, MSNP_OBJECT_TIME, "a", nullptr, nullptr), 0);
    EXPECT_EQ(msnp_add_object_dest(idl, t, MSNP_OBJECT_TIME, "t", nullptr, nullptr), 0);
    EXPECT_EQ(msnp_add_object_dest(idl, o, MSNP_OBJECT_OBJECT, "'lit'", nullptr, nullptr), 0);
    EXPECT_EQ(msnp_add_object_dest(idl, a, MSNP_OBJECT_PERSON, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(errors(), (Strings{"22: Incompatible operation", "200: Object a does not support add (literal)",
                                 "20: Self reference", "20: Self reference",
                                 "200: Object o does not support add (literal)", "2: Missing object name"}));
    EXPECT_EQ(a->contactl, nullptr);
    EXPECT_EQ(t->sibs, nullptr);

    /* Nodes take neither generic objects, literals nor weak names. */
    idl_parser_clear(idl);
    msnp_rtree *n = new_rtree_node("n");
    attach(ents->root, n);
    EXPECT_EQ(msnp_add_object_dest(idl, n, MSNP_OBJECT_NODE, "t", nullptr, nullptr), 0);
    EXPECT_EQ(msnp_add_object_dest(idl, n, MSNP_OBJECT_NODE, "'x'", nullptr, nullptr), 0);
    EXPECT_EQ(msnp_add_object_dest(idl, n, MSNP_OBJECT_NODE, "ghost", nullptr, nullptr), 0);
    EXPECT_EQ(errors(), (Strings{"22: Not a valid operation", "200: Object n does not support add (literal)",
                                 "1003: Node does not support weak references: ghost"}));
    EXPECT_TRUE(warnings().empty());
}

TEST_F(RelationTest, AddIncludesGenericsAndHandsLiteralsOver)
{
    msnp_object_generic *t = msnp_new_object_time(nullptr, "t", nullptr);
    msnp_object_generic *u = msnp_new_object_time(nullptr, "u", nullptr);
    EXPECT_EQ(msnp_add_object_dest(idl, t, MSNP_OBJECT_TIME, "u", nullptr, nullptr), 1);
    EXPECT_EQ(t->sibs->data, u);
    idl_parser_clear(idl);
    EXPECT_EQ(msnp_add_object_dest(idl, t, MSNP_OBJECT_TIME, "'100-200'", nullptr, nullptr), 1);
    EXPECT_NE(t->data, nullptr);
    ASSERT_EQ(event_count(), 1u);
    EXPECT_NE(events()[0].find("identifier='t'"), std::string::npos) << events()[0];
    int weak = 0;
    EXPECT_EQ(msnp_add_object_dest(idl, t, MSNP_OBJECT_TIME, "later", nullptr, &weak), 1);
    EXPECT_EQ(weak, 1);
    EXPECT_EQ(warnings().back(), "Weak reference: later");
}

/* ---------------------------------------------------------------- */
/* Relation tree pieces                                              */
/* ---------------------------------------------------------------- */

TEST_F(RelationTest, PathTextAndResolution)
{
    msnp_rtree *x = new_rtree_node("x");
    msnp_rtree *y = new_rtree_node("y");
    attach(ents->root, x);
    attach(x, y);
    char *p = rtree_reverse(ents->root);
    EXPECT_STREQ(p, "/");
    free(p);
    p = rtree_reverse(x);
    EXPECT_STREQ(p, "/x");
    free(p);
    p = rtree_reverse(y);
    EXPECT_STREQ(p, "/x/y");
    EXPECT_EQ(rtree_resolve_tree(ents->root, p, nullptr), y);
    free(p);
    EXPECT_EQ(rtree_reverse(nullptr), nullptr);

    int err = 0;
    EXPECT_EQ(rtree_resolve_tree(ents->root, "x/y", &err), y);
    EXPECT_EQ(rtree_resolve_tree(ents->root, "/", &err), ents->root);
    EXPECT_EQ(rtree_resolve_tree(ents->root, "x/z", &err), nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(rtree_resolve_tree(ents->root, "x/y-1", &err), nullptr);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(rtree_search_sibling(nullptr, "x"), nullptr);
    char *list[] = {nullptr};
    EXPECT_EQ(rtree_resolve_tree_list(x, list), x);

    /* A path deeper than the limit names nothing. */
    std::string deep;
    for (int i = 0; i < 300; ++i)
        deep += "/x";
    EXPECT_EQ(rtree_resolve_tree(ents->root, deep.c_str(), nullptr), nullptr);
}

TEST_F(RelationTest, NodeUsersRelationsAndBackReferences)
{
    msnp_rtree *n = new_rtree_node("n");
    attach(ents->root, n);
    place(n, a);
    tqlist_insert_end(&n->people, a);
    tqlist_insert_begin(&a->rtree_backref, n);
    EXPECT_EQ(msnp_rtree_unlink_user(idl, n, a), 2);
    EXPECT_EQ(n->people, nullptr);
    EXPECT_EQ(event_count(), 2u);
    EXPECT_NE(events()[0].find("<root path='/n'><node identifier='n'>"), std::string::npos) << events()[0];
    EXPECT_EQ(tqlist_length(a->rtree_backref), 2u); /* left alone */
    EXPECT_EQ(msnp_unlink_backref_rtree(a, n), 2);
    EXPECT_EQ(a->rtree_backref, nullptr);

    /* Relations of a node go with a tree event when the target goes. */
    idl_parser_clear(idl);
    msnp_relates *r = new_relation_desc(nullptr, b, nullptr, MSNP_OBJECT_PERSON);
    EXPECT_EQ(rtree_add_contact(idl, n, r), 1);
    EXPECT_EQ(r->back, n);
    EXPECT_EQ(r->back_type, MSNP_OBJECT_NODE);
    ASSERT_NE(idl->data, nullptr);
    EXPECT_NE(std::string(idl->data).find("index='0'"), std::string::npos);
    idl_parser_clear(idl);
    /* Destroying the target removes it from the node with a tree event. */
    msnp_destroy_person(self, idl, b);
    EXPECT_EQ(n->contactl, nullptr);
    bool tree_event = false;
    for (const std::string &e : events())
        tree_event |= e.find("<root path='/n'>") != std::string::npos;
    EXPECT_TRUE(tree_event);
}

} // namespace
