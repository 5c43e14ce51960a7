#include "msnp/policy_script.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_rtree.h"
#include "variables.h"

#include <string.h>

namespace {

using Strings = std::vector<std::string>;

/* ---- Registry, kinds, names ---- */

TEST_F(EntityTest, IdentifierTestReturnsFirstOffendingCharacter)
{
    for (const auto &[text, bad] : std::vector<std::pair<const char *, int>>{
             {"abc_1Z", 0}, {"", 0}, {"1abc", '1'}, {"_a", '_'}, {"ab-c", '-'}, {"a/b", '/'}})
        EXPECT_EQ(msnp_object_symbol(text), bad) << text;
    EXPECT_NE(msnp_object_symbol(nullptr), 0);
}

/* ---- Persons through the commands ---- */

/* What a person is follows its handle: none makes a super, a pattern a
 * contact, an address a user; users share no handle, and a user joins
 * Local as it is made. */
TEST_F(PolicyScript, HandlesDecideTheKindOfPerson)
{
    play({
        {"new person s", {}, nullptr, 1},
        {"serialize s", {}, "=<person type='1' name='s'><attribute type='risk'>0</attribute></person>"},
        {"modify s handle: /.*@example\\.com/"},
        {"serialize s", {}, "<person type='2' name='s'><handle>.*@example\\.com</handle>"},
        /* A contact keeps its pattern against a plain handle or one that
         * does not compile. */
        {"modify s handle: bob@example.com", {"E1000: Could not change the handle: bob@example.com"}},
        {"modify s handle: /[z/", {"E1000: Could not change the handle: /[z/", "WContact pattern does not compile: /[z/"}},
        {"serialize s", {}, "<handle>.*@example\\.com</handle>"},
        {"new person bad /a\\{1/", {"WContact pattern does not compile: /a\\{1/"}},
        {"serialize bad", {"E27: Unknown object: bad"}},
        /* Users: one handle each, no pattern, and Local at once. */
        {"new person alice x@example.com Alice", {}, nullptr, 2},
        {"new person alice2 x@example.com", {"E1006: Object handle is already used: alice"}},
        {"serialize alice2", {"E27: Unknown object: alice2"}},
        {"new person pattern /x@example.com/"},
        {"modify alice handle: /x/", {"E1000: Could not change the handle: /x/"}},
        {"serialize alice", {}, "<person type='3' name='alice'><handle>x@example.com</handle>\n"
                                "<friendly>Alice</friendly>"},
        {"new person b b@x"},
        {"modify alice handle: x@example.com",
         {"E1006: Object handle is already used: alice", "E1000: Could not change the handle: x@example.com"}},
        {"modify alice handle: b@x", {"E1006: Object handle is already used: b", "E1000: Could not change the handle: b@x"}},
        {"serialize Local", {}, "=<group name='Local' internal='1'><member type='single'>alice</member>\n"
                                "<member type='single'>b</member></group>"},
        /* A changed handle frees the old one, as does a destroyed user. */
        {"new node n"},
        {"add alice n"},
        {"modify alice handle: new@x"},
        {"new person c x@example.com"},
        {"collect b"},
        {"new person d b@x"},
        /* A super may take a user's handle unless it is taken. */
        {"new person s2"},
        {"modify s2 handle: new@x",
         {"E1006: Object handle is already used: alice", "E1000: Could not change the handle: new@x"}},
        {"modify s2 handle: s2@x"},
        {"serialize s2", {}, "<person type='3' name='s2'>"},
        {"serialize Local", {}, "<member type='single'>s2</member></group>"},
    });
    /* The run-time user follows the new handle. */
    msnp_person *alice = msnp_search_person("alice", 0);
    ASSERT_NE(alice, nullptr);
    EXPECT_EQ(msnp_search_user("new@x"), alice);
    EXPECT_EQ(ents->users->get_safe(ents->users, "x@example.com"), nullptr);
    /* A negated pattern keeps the bang but compiles without it. */
    run("new person neg /!^foo$/");
    msnp_person *neg = msnp_search_person("neg", 0);
    ASSERT_NE(neg, nullptr);
    EXPECT_EQ(regexec(neg->re_handle, "foo", 0, nullptr, 0), 0);
    EXPECT_NE(regexec(neg->re_handle, "!foo", 0, nullptr, 0), 0);
}

TEST_F(EntityTest, SearchByHandleMatchesTypeAndTextWithoutCase)
{
    msnp_person *u = user("u", "a@x");
    msnp_person *c = new_msnp_person(nullptr, "c", "/b@x/", nullptr);
    EXPECT_EQ(msnp_search_person_by_handle("a@x", PERSON_USER), u);
    EXPECT_EQ(msnp_search_person_by_handle("A@X", PERSON_USER), u);
    EXPECT_EQ(msnp_search_person_by_handle("a@xx", PERSON_USER), nullptr);
    EXPECT_EQ(msnp_search_person_by_handle("a@x", PERSON_CONTACT), nullptr);
    EXPECT_EQ(msnp_search_person_by_handle("b@x", PERSON_CONTACT), c);
    EXPECT_EQ(msnp_search_person_by_handle(nullptr, PERSON_USER), nullptr);
    EXPECT_EQ(msnp_search_person("u", MSNP_OBJECT_PERSON), u);
}

/* ---- Run-time users and quotas ---- */

TEST_F(EntityTest, RunTimeUserIsCreatedOnceWithQuotaFromVariablesOrPerson)
{
    variable_set(self->ns, "i/bounties-lifetime", "3600");
    variable_set(self->ns, "i/bounties-initial", "600");
    msnp_person *p = user("p", "p@x");
    EXPECT_EQ(msnp_search_user("p@x"), nullptr);
    msnp_user *u = new_msn_user(p);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(p->user, u);
    EXPECT_EQ(u->person, p);
    EXPECT_EQ(u->user_ref, 1u);
    EXPECT_EQ((std::vector<long>{u->bounty_life, u->bounty_lifecur, u->bounty_initial, u->bounty_current}),
              (std::vector<long>{3600, 3600, 600, 600}));
    EXPECT_EQ(new_msn_user(p), u);
    EXPECT_EQ(tqtable_count(ents->users), 1u);
    EXPECT_EQ(msnp_search_user("p@x"), p);
    EXPECT_EQ(new_msn_user(nullptr), nullptr);

    /* The person's own quota overrides the variables. */
    msnp_person *q = user("q", "q@x");
    q->bounty_life = 60;
    q->bounty_initial = 30;
    u = new_msn_user(q);
    EXPECT_EQ((std::vector<long>{u->bounty_life, u->bounty_lifecur, u->bounty_initial}),
              (std::vector<long>{60, 60, 30}));
    msnp_user orphan;
    orphan.person = nullptr;
    EXPECT_EQ(msnp_bounty_values(&orphan), 0);

    /* References are counted. */
    u = p->user;
    u->user_ref = 2;
    destroy_msnp_user(u);
    EXPECT_EQ(u->user_ref, 1u);
    EXPECT_EQ(ents->users->get_safe(ents->users, "p@x"), u);
    p->user = nullptr;
    destroy_msnp_user(u);
    EXPECT_EQ(ents->users->get_safe(ents->users, "p@x"), nullptr);

    /* The variable readers. */
    EXPECT_STREQ(msnp_get_var("log-dir", "dflt"), "dflt");
    EXPECT_EQ(msnp_get_var_long("count", 7), 7);
    variable_set(self->ns, "log-dir", "logs");
    variable_set(self->ns, "i/count", "42");
    EXPECT_STREQ(msnp_get_var("log-dir", "dflt"), "logs");
    EXPECT_STREQ(msnp_get_var("count", "dflt"), "dflt"); /* not a string variable */
    EXPECT_EQ(msnp_get_var_long("count", 7), 42);
    EXPECT_EQ(msnp_get_var_long("log-dir", 7), 7); /* text that is not a number */
}

/* ---- Destruction ---- */

TEST_F(EntityTest, DestroyingAUserBlocksItsConnections)
{
    msnp_person *p = user("p", "p@x");
    msnp_person *q = user("q", "q@x");
    msnp_rtree *n = new_rtree_node("n");
    attach(ents->root, n);
    place(n, p);
    place(n, q);

    auto *mine = new msnp_conntrack();
    auto *other = new msnp_conntrack();
    mine->conn = tqconn_new();
    other->conn = tqconn_new();
    mine->person = p;
    other->person = q;
    tqlist_insert_begin(&self->data, mine);
    tqlist_insert_begin(&self->data, other);

    EXPECT_EQ(msnp_destroy_person(self, idl, p), 1);
    EXPECT_EQ(mine->person, nullptr);
    EXPECT_EQ(mine->conn->poison_match, TQ_MATCH_BLOCK);
    EXPECT_EQ(other->person, q);
    EXPECT_NE(other->conn->poison_match, TQ_MATCH_BLOCK);
    EXPECT_EQ(msnp_search_user("p@x"), nullptr);
    EXPECT_EQ(msnp_search_user("q@x"), q);
    EXPECT_EQ(tqlist_search_ref(n->people, p), nullptr);
    EXPECT_EQ(member_names(ents->group_local), Strings{"q"});
    EXPECT_EQ(msnp_search_person("p", 0), nullptr);

    /* Dropping the whole policy lets go of the connections of every user
     * it still holds then. */
    tqlist *people = ents->people->values_safe(ents->people);
    EXPECT_EQ(msnp_destroy_people(self, idl, people), 1);
    tqlist_destroy_without_refs(&people);
    EXPECT_EQ(other->person, nullptr);
    EXPECT_EQ(other->conn->poison_match, TQ_MATCH_BLOCK);
    EXPECT_EQ(msnp_search_user("q@x"), nullptr);

    for (msnp_conntrack *t : {mine, other}) {
        tqconn_destroy(t->conn);
        delete t;
    }
    tqlist_destroy_without_refs(&self->data);
}

/* A reset drops the nodes first, and with them the users' run-time
 * records, then the persons: no tracked connection may keep pointing at a
 * person that is gone. */
TEST_F(EntityTest, AResetLeavesNoConnectionWithAFreedPerson)
{
    msnp_person *p = user("p", "p@x");
    msnp_rtree *n = new_rtree_node("n");
    attach(ents->root, n);
    place(n, p);
    auto *track = new msnp_conntrack();
    track->conn = tqconn_new();
    track->person = p;
    tqlist_insert_begin(&self->data, track);

    msnp_reset(self, idl);
    EXPECT_EQ(track->person, nullptr);
    EXPECT_EQ(msnp_search_person("p", 0), nullptr);

    /* The same for one user that stands in no node: its connection goes on
     * (it has no run-time record to end), without the person. */
    msnp_person *r = user("r", "r@x");
    track->person = r;
    EXPECT_EQ(msnp_destroy_person(self, idl, r), 1);
    EXPECT_EQ(track->person, nullptr);
    EXPECT_NE(track->conn->poison_match, TQ_MATCH_BLOCK);

    tqconn_destroy(track->conn);
    delete track;
    tqlist_destroy_without_refs(&self->data);
}

} // namespace
