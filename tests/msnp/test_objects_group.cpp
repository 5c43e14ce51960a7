#include "tq3_msnp.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_objects_generic.h"
#include "msnp/entity_fixture.h"

#include <string.h>

namespace {

using Strings = std::vector<std::string>;

class GroupTest : public EntityTest {};

TEST_F(GroupTest, NewObjectGroupRefusals)
{
    EXPECT_EQ(msnp_new_object_group(idl, nullptr, nullptr), nullptr);
    EXPECT_EQ(errors(), Strings{"2: Missing group information"});
    idl_parser_clear(idl);

    super("taken");
    EXPECT_EQ(msnp_new_object_group(idl, "taken", nullptr), nullptr);
    EXPECT_EQ(msnp_new_object_group(idl, "Local", nullptr), nullptr);
    EXPECT_EQ(errors(), (Strings{"25: Object identifier already exists: taken\n",
                                 "25: Object identifier already exists: Local\n"}));
    EXPECT_EQ(tqtable_count(ents->groups), 1u);

    msnp_group *g = msnp_new_object_group(idl, "G", nullptr);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(msnp_search_group("G", 0), g);
    EXPECT_EQ(msnp_search_group("G", MSNP_OBJECT_GROUP), g);
    EXPECT_EQ(msnp_search_group("g", 0), nullptr);
}

TEST_F(GroupTest, SelfLoopIsRefusedButMutualMembershipIsNot)
{
    msnp_group *a = new_msnp_group(nullptr, "A");
    msnp_group *b = new_msnp_group(nullptr, "B");
    EXPECT_EQ(msnp_add_group_member(idl, a, a, MSNP_OBJECT_GROUP), 0);
    EXPECT_EQ(errors(), Strings{"20: Self loop detected: A"});
    EXPECT_EQ(a->glist, nullptr);
    EXPECT_EQ(a->size, 0u);

    EXPECT_EQ(msnp_add_group_member(idl, a, b, MSNP_OBJECT_GROUP), 1);
    EXPECT_EQ(msnp_add_group_member(idl, b, a, MSNP_OBJECT_GROUP), 1);
    EXPECT_EQ(member_names(a), Strings{"B"});
    EXPECT_EQ(member_names(b), Strings{"A"});
    EXPECT_EQ(tqlist_length(a->group_backref), 1u);

    /* Destroying one side of the cycle leaves the other clean. */
    EXPECT_EQ(msnp_destroy_group(idl, a), 1);
    EXPECT_EQ(b->glist, nullptr);
    EXPECT_EQ(b->group_backref, nullptr);
    EXPECT_EQ(msnp_search_group("A", 0), nullptr);
}

TEST_F(GroupTest, SupersLiteralsAndOtherKindsAreNeverMembers)
{
    msnp_group *g = new_msnp_group(nullptr, "G");
    msnp_person *s = super("s");
    EXPECT_EQ(msnp_add_group_member(idl, g, s, MSNP_OBJECT_PERSON), 0);
    EXPECT_EQ(errors(), Strings{"1002: Supers can not take part as relations"});
    EXPECT_EQ(g->glist, nullptr);
    EXPECT_EQ(s->group_backref, nullptr);

    /* The same refusal through the common add. */
    idl_parser_clear(idl);
    EXPECT_EQ(msnp_add_object_dest(idl, g, MSNP_OBJECT_GROUP, "s", nullptr, nullptr), 0);
    EXPECT_EQ(idl->last_code, 1002);

    /* Nor are literals or other kinds. */
    idl_parser_clear(idl);
    EXPECT_EQ(msnp_add_object_dest(idl, g, MSNP_OBJECT_GROUP, "'a literal'", nullptr, nullptr), 0);
    EXPECT_EQ(errors(), Strings{"200: Object G does not support add (literal)"});
    idl_parser_clear(idl);
    ASSERT_NE(msnp_new_object_time(nullptr, "t", nullptr), nullptr);
    EXPECT_EQ(msnp_add_object_dest(idl, g, MSNP_OBJECT_GROUP, "t", nullptr, nullptr), 0);
    EXPECT_EQ(errors(), Strings{"22: Incompatible operation"});
    EXPECT_EQ(g->glist, nullptr);
    EXPECT_EQ(g->wdirty, 0u);
}

TEST_F(GroupTest, AddEmitsEventsExceptWhileImporting)
{
    msnp_group *g = new_msnp_group(nullptr, "G");
    msnp_person *p = user("p", "p@x");
    idl->import = 1;
    EXPECT_EQ(msnp_add_group_member(idl, g, p, MSNP_OBJECT_PERSON), 1);
    EXPECT_EQ(event_count(), 0u);
    idl->import = 0;
    EXPECT_EQ(msnp_add_group_member(idl, g, p, MSNP_OBJECT_PERSON), 1);
    ASSERT_EQ(event_count(), 1u);
    EXPECT_NE(events()[0].find("<object-data><group name='G'>"), std::string::npos) << events()[0];
    /* The same person twice is two records. */
    EXPECT_EQ(member_names(g), (Strings{"p", "p"}));
    EXPECT_EQ(g->size, 2u);
}

TEST_F(GroupTest, WeakMembersResolveWhenCreatedOrAreDeleted)
{
    msnp_group *g = new_msnp_group(nullptr, "G");
    int weak = 0;
    EXPECT_EQ(msnp_add_object_dest(idl, g, MSNP_OBJECT_GROUP, "bob", nullptr, &weak), 1);
    EXPECT_EQ(weak, 1);
    EXPECT_EQ(warnings(), Strings{"Weak reference: bob"});
    EXPECT_EQ(g->wdirty, 1u);
    EXPECT_EQ(group_xml(g), "<group name='G'><member type='weak'>bob</member></group>");

    idl_parser_clear(idl);
    msnp_person *bob = new_msnp_person(idl, "bob", "bob@x", nullptr);
    ASSERT_NE(bob, nullptr);
    EXPECT_EQ(g->wdirty, 0u);
    EXPECT_EQ(tqtable_count(g->weak), 0u);
    EXPECT_EQ(group_xml(g), "<group name='G'><member type='single'>bob</member></group>");
    EXPECT_EQ(tqlist_length(bob->group_backref), 2u); /* G and Local */

    /* A weak group member resolves the same way. */
    EXPECT_EQ(msnp_add_group_weak(idl, g, "Sub"), 1);
    EXPECT_EQ(msnp_add_group_weak(idl, g, "Sub"), 0); /* already awaited */
    EXPECT_EQ(g->wdirty, 1u);
    msnp_group *sub = new_msnp_group(idl, "Sub");
    EXPECT_EQ(member_names(g), (Strings{"bob", "Sub"}));
    EXPECT_EQ(tqlist_length(sub->group_backref), 1u);
    EXPECT_EQ(g->wdirty, 0u);

    /* A deleted weak member is awaited no more. */
    idl_parser_clear(idl);
    msnp_add_group_weak(nullptr, g, "xx");
    EXPECT_EQ(msnp_del_group_weak(idl, g, "y"), 0);
    EXPECT_EQ(event_count(), 0u);
    EXPECT_EQ(msnp_del_group_weak(idl, g, "xx"), 1);
    EXPECT_EQ(g->wdirty, 0u);
    EXPECT_EQ(event_count(), 1u);
    EXPECT_EQ(group_xml(g), "<group name='G'><member type='single'>bob</member>\n<member type='group'>Sub</member></group>");
    /* Nothing is awaited any more: creating "xx" adds no member. */
    super("xx");
    EXPECT_EQ(member_names(g), (Strings{"bob", "Sub"}));
}

TEST_F(GroupTest, OnlyLiveHoldersAwaitANameAndPersonsResolveFirst)
{
    msnp_group *gone = new_msnp_group(nullptr, "Gone");
    msnp_group *stays = new_msnp_group(nullptr, "Stays");
    msnp_person *early = super("early");
    msnp_person *late = super("late");
    msnp_add_group_weak(nullptr, gone, "x");
    msnp_add_group_weak(nullptr, stays, "x");
    relates_to_weak(nullptr, early, "x", nullptr);
    relates_to_weak(nullptr, late, "x", nullptr);
    /* Deleted and awaited again: still one membership. */
    msnp_del_group_weak(nullptr, stays, "x");
    msnp_add_group_weak(nullptr, stays, "x");
    EXPECT_EQ(msnp_destroy_group(nullptr, gone), 1);
    EXPECT_EQ(msnp_destroy_person(self, nullptr, early), 1);

    msnp_person *x = new_msnp_person(idl, "x", "x@x", nullptr);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(member_names(stays), Strings{"x"});
    ASSERT_EQ(tqlist_length(late->contactl), 1u);
    EXPECT_EQ(static_cast<msnp_relates *>(late->contactl->data)->relation, x);
    /* The relation is recorded on both sides. */
    EXPECT_EQ(x->relation_backref->data, late->contactl->data);
    EXPECT_EQ(tqlist_length(x->group_backref), 2u); /* Stays and Local */
}

TEST_F(GroupTest, RemovedMemberReturnsAtTheEndAndMembersMoveByPosition)
{
    msnp_group *g = new_msnp_group(nullptr, "G");
    msnp_person *a = user("a", "a@x"), *b = user("b", "b@x"), *c = user("c", "c@x");
    for (msnp_person *p : {a, b, c})
        msnp_add_group_member(nullptr, g, p, MSNP_OBJECT_PERSON);
    EXPECT_EQ(msnp_del_object_group(idl, g, a), 1);
    EXPECT_EQ(msnp_del_object_group(idl, g, a), 0);
    EXPECT_EQ(tqlist_length(a->group_backref), 1u); /* Local only */
    EXPECT_EQ(event_count(), 1u);
    msnp_add_group_member(nullptr, g, a, MSNP_OBJECT_PERSON);
    EXPECT_EQ(member_names(g), (Strings{"b", "c", "a"}));
    EXPECT_EQ(g->size, 4u); /* counts additions, not members */

    /* Moving members by position. */
    msnp_person *d = user("d", "d@x");
    msnp_add_group_member(nullptr, g, d, MSNP_OBJECT_PERSON);
    EXPECT_EQ(msnp_move_object_group_index(idl, g, 0, 2), 1);
    EXPECT_EQ(member_names(g), (Strings{"c", "a", "b", "d"}));
    EXPECT_EQ(msnp_move_object_group_index(idl, g, 3, 0), 1);
    EXPECT_EQ(member_names(g), (Strings{"d", "c", "a", "b"}));
    EXPECT_EQ(msnp_move_object_group_index(idl, g, 1, 1), 1);
    EXPECT_EQ(msnp_move_object_group_index(idl, g, 4, 0), 0);
    EXPECT_EQ(msnp_move_object_group_index(idl, g, 0, -1), 0);
    EXPECT_EQ(member_names(g), (Strings{"d", "c", "a", "b"}));
    /* Back-references still name the moved records. */
    auto *rec = static_cast<msnp_group_member *>(g->glist->data);
    EXPECT_NE(tqlist_search_ref(d->group_backref, rec), nullptr);
}

TEST_F(GroupTest, DestroyingAGroupUnlinksContainersAndRelations)
{
    msnp_group *g = new_msnp_group(nullptr, "G");
    msnp_group *h = new_msnp_group(nullptr, "H");
    msnp_person *p = user("p", "p@x");
    msnp_person *q = user("q", "q@x");
    msnp_add_group_member(nullptr, h, g, MSNP_OBJECT_GROUP);
    msnp_add_group_member(nullptr, g, q, MSNP_OBJECT_PERSON);
    msnp_relates *r1 = relates_to(nullptr, p, g, nullptr, MSNP_OBJECT_GROUP);
    msnp_relates *r2 = relates_to(nullptr, p, q, nullptr, MSNP_OBJECT_PERSON);
    ASSERT_TRUE(r1 && r2);

    EXPECT_EQ(msnp_destroy_group(idl, g), 1);
    EXPECT_EQ(h->glist, nullptr);
    EXPECT_EQ(tqlist_length(q->group_backref), 1u); /* Local only */
    ASSERT_EQ(tqlist_length(p->contactl), 1u);
    EXPECT_EQ(p->contactl->data, r2);
    EXPECT_EQ(msnp_search_group("G", 0), nullptr);
    /* H lost a member, p lost a relation. */
    EXPECT_EQ(event_count(), 2u);
}

TEST_F(GroupTest, SerialisedGroupForm)
{
    msnp_group *g = new_msnp_group(nullptr, "G");
    msnp_group *sub = new_msnp_group(nullptr, "Sub");
    g->description = strdup("team");
    msnp_add_group_member(nullptr, g, user("p", "p@x"), MSNP_OBJECT_PERSON);
    msnp_add_group_member(nullptr, g, sub, MSNP_OBJECT_GROUP);
    msnp_add_group_weak(nullptr, g, "w");
    EXPECT_EQ(group_xml(g), "<group name='G'><description>team</description>\n"
                            "<member type='single'>p</member>\n"
                            "<member type='group'>Sub</member>\n"
                            "<member type='weak'>w</member></group>");
    msnp_group_member odd = {MSNP_OBJECT_TIME, nullptr, g, 0};
    EXPECT_EQ(xml_text(msnp_serialize_group_member(&odd, nullptr)), "<member type='unknown'>unknown</member>");
    EXPECT_EQ(msnp_group_unlink_member(&odd), 0);
    EXPECT_EQ(msnp_group_unlink_member_back(idl, &odd), 0);
}

} // namespace
