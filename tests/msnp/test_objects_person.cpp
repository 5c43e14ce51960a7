#include "msnp/entity_fixture.h"
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

/* ---- Handles and person types ---- */

TEST_F(EntityTest, SuperBecomesContactAndContactKeepsOnlyCompilingPatterns)
{
    msnp_person *p = super("s");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->type, PERSON_SUPER);
    EXPECT_TRUE(msnp_person_is_super(p));
    EXPECT_EQ(msnp_person_set_handle(idl, p, "/.*@example\\.com/"), 1);
    EXPECT_EQ(p->type, PERSON_CONTACT);
    EXPECT_FALSE(msnp_person_is_super(p));
    EXPECT_STREQ(p->handle, ".*@example\\.com");
    ASSERT_NE(p->re_handle, nullptr);
    EXPECT_EQ(regexec(p->re_handle, "bob@example.com", 0, nullptr, 0), 0);
    /* A plain handle, none, or a pattern that does not compile leave it as it was. */
    regex_t *before = p->re_handle;
    for (const char *refused : {"bob@example.com", static_cast<const char *>(nullptr), "/[z/"})
        EXPECT_EQ(msnp_person_set_handle(idl, p, refused), 0) << (refused ? refused : "null");
    EXPECT_EQ(p->type, PERSON_CONTACT);
    EXPECT_STREQ(p->handle, ".*@example\\.com");
    EXPECT_EQ(p->re_handle, before);
    EXPECT_EQ(msnp_person_set_handle(idl, p, "/^a/"), 1);
    EXPECT_STREQ(p->handle, "^a");

    EXPECT_EQ(new_msnp_person(idl, "bad", "/a\\{1/", nullptr), nullptr);
    EXPECT_EQ(warnings(), (Strings{"Contact pattern does not compile: /[z/",
                                   "Contact pattern does not compile: /a\\{1/"}));
    EXPECT_EQ(msnp_search_person("bad", 0), nullptr);
    EXPECT_EQ(tqtable_count(ents->people), 1u);

    /* A negated pattern keeps the bang but compiles without it. */
    msnp_person *c = new_msnp_person(idl, "c", "/!^foo$/", nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->type, PERSON_CONTACT);
    EXPECT_STREQ(c->handle, "!^foo$");
    EXPECT_EQ(regexec(c->re_handle, "foo", 0, nullptr, 0), 0);
    EXPECT_NE(regexec(c->re_handle, "!foo", 0, nullptr, 0), 0);
}

TEST_F(EntityTest, UsersShareNoHandleAndTakeNoPattern)
{
    msnp_person *a = new_msnp_person(idl, "alice", "x@example.com", nullptr);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(new_msnp_person(idl, "alice2", "x@example.com", nullptr), nullptr);
    EXPECT_EQ(idl->last_code, 1006);
    EXPECT_EQ(errors(), Strings{"1006: Object handle is already used: alice"});
    EXPECT_EQ(msnp_search_person("alice2", 0), nullptr);
    EXPECT_EQ(tqtable_count(ents->people), 1u);
    EXPECT_EQ(member_names(ents->group_local), Strings{"alice"});

    /* A contact pattern of the same text is no user and is accepted. */
    EXPECT_NE(new_msnp_person(idl, "pattern", "/x@example.com/", nullptr), nullptr);

    /* A user refuses a pattern and keeps its handle. */
    EXPECT_EQ(a->type, PERSON_USER);
    EXPECT_EQ(a->re_handle, nullptr);
    EXPECT_EQ(msnp_person_set_handle(idl, a, "/x/"), 0);
    EXPECT_EQ(msnp_person_set_handle(idl, a, nullptr), 0);
    EXPECT_STREQ(a->handle, "x@example.com");
    EXPECT_EQ(a->type, PERSON_USER);
}

TEST_F(EntityTest, UserHandleChangeChecksOthersAndItself)
{
    msnp_person *a = user("a", "a@x");
    msnp_person *b = user("b", "b@x");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(msnp_person_set_handle(idl, a, "a@x"), 0);
    EXPECT_EQ(msnp_person_set_handle(idl, a, "b@x"), 0);
    EXPECT_EQ(errors(), (Strings{"1006: Object handle is already used: a", "1006: Object handle is already used: b"}));
    EXPECT_STREQ(a->handle, "a@x");

    /* The run-time user follows the new handle. */
    msnp_user *u = new_msn_user(a);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(msnp_person_set_handle(idl, a, "new@x"), 1);
    EXPECT_EQ(ents->users->get_safe(ents->users, "a@x"), nullptr);
    EXPECT_EQ(ents->users->get_safe(ents->users, "new@x"), u);
    EXPECT_EQ(msnp_search_user("new@x"), a);

    /* Old handles and the handles of destroyed users are free again. */
    EXPECT_EQ(msnp_search_person_by_handle("a@x", PERSON_USER), nullptr);
    EXPECT_EQ(msnp_search_person_by_handle("new@x", PERSON_USER), a);
    EXPECT_NE(user("c", "a@x"), nullptr);
    EXPECT_EQ(msnp_destroy_person(self, nullptr, b), 1);
    EXPECT_EQ(msnp_search_person_by_handle("b@x", PERSON_USER), nullptr);
    EXPECT_NE(user("d", "b@x"), nullptr);

    /* A super may gain a user handle unless it is taken. */
    msnp_person *s = super("s");
    EXPECT_EQ(msnp_person_set_handle(idl, s, "new@x"), 0);
    EXPECT_EQ(idl->last_code, 1006);
    EXPECT_EQ(s->type, PERSON_SUPER);
    EXPECT_EQ(msnp_person_set_handle(idl, s, "s@x"), 1);
    EXPECT_EQ(s->type, PERSON_USER);
    EXPECT_EQ(msnp_search_person_by_handle("s@x", PERSON_USER), s);
}

TEST_F(EntityTest, NewUserJoinsLocalAtOnce)
{
    msnp_person *u = new_msnp_person(idl, "u", "u@x", nullptr);
    ASSERT_NE(u, nullptr);
    ASSERT_EQ(tqlist_length(u->group_backref), 1u);
    auto *rec = static_cast<msnp_group_member *>(u->group_backref->data);
    EXPECT_EQ(rec->back, ents->group_local);
    EXPECT_EQ(rec->member, u);
    EXPECT_EQ(ents->group_local->size, 1u);
    /* Supers and contacts do not join. */
    super("s");
    new_msnp_person(idl, "c", "/c/", nullptr);
    EXPECT_EQ(member_names(ents->group_local), Strings{"u"});
    std::string xml = group_xml(ents->group_local);
    EXPECT_NE(xml.find("internal='1'"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<member type='single'>u</member>"), std::string::npos) << xml;
    /* Joining emitted the group's data event. */
    ASSERT_EQ(event_count(), 1u);
    EXPECT_NE(events()[0].find("name='Local'"), std::string::npos);
}

/* ---- The "new" command and lookups ---- */

TEST_F(EntityTest, NewObjectPersonRefusalsHandleAndFriendly)
{
    new_msnp_group(nullptr, "G");
    const std::vector<std::pair<const char *, Strings>> cases = {
        {nullptr, {"2: Missing person identification"}},
        {"G", {"25: Object identifier already exists: G"}},
        {"1abc", {"23: Not a valid object name or path: 1abc", "25: Object identifier already exists: 1abc"}}};
    for (const auto &[ident, expected] : cases) {
        SCOPED_TRACE(ident ? ident : "null");
        idl_parser_clear(idl);
        EXPECT_EQ(msnp_new_object_person(idl, ident, nullptr), nullptr);
        EXPECT_EQ(errors(), expected);
    }
    EXPECT_EQ(tqtable_count(ents->people), 0u);

    char *args[] = {const_cast<char *>("h@x"), const_cast<char *>("Friend"), nullptr};
    msnp_person *p = msnp_new_object_person(idl, "p", args);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->handle, "h@x");
    EXPECT_STREQ(p->friendly, "Friend");

    char *noh[] = {nullptr, const_cast<char *>("Ignored")};
    msnp_person *s = msnp_new_object_person(idl, "s", noh);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->type, PERSON_SUPER);
    EXPECT_EQ(s->friendly, nullptr);
    EXPECT_EQ(msnp_new_object_person(idl, "p", nullptr), nullptr);
    EXPECT_EQ(idl->last_code, 25);
}

TEST_F(EntityTest, GenericSearchOrderPathsAndReports)
{
    msnp_person *p = super("x");
    msnp_rtree *n = new_rtree_node("n");
    attach(ents->root, n);
    msnp_rtree *m = new_rtree_node("m");
    attach(n, m);

    msnp_object_type kind = MSNP_OBJECT_NONE;
    EXPECT_EQ(msnp_generic_object_search(idl, "x", &kind, 0, nullptr), p);
    EXPECT_EQ(kind, MSNP_OBJECT_PERSON);
    EXPECT_EQ(msnp_generic_object_search(idl, "Local", &kind, 0, nullptr), ents->group_local);
    EXPECT_EQ(kind, MSNP_OBJECT_GROUP);

    /* A top-level node is found by its bare name only when the kind is
     * asked for. */
    EXPECT_EQ(msnp_generic_object_search(idl, "n", &kind, 0, nullptr), n);
    EXPECT_EQ(kind, MSNP_OBJECT_NODE);
    EXPECT_EQ(msnp_generic_object_search(idl, "n", nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(msnp_generic_object_search(idl, "/n/m", &kind, 0, nullptr), m);
    EXPECT_EQ(msnp_generic_object_search(idl, "n/m", &kind, 0, nullptr), m);
    EXPECT_EQ(msnp_generic_object_search(idl, "m", &kind, 0, nullptr), nullptr);
    EXPECT_EQ(kind, MSNP_OBJECT_NONE);
    EXPECT_TRUE(errors().empty());

    /* With only the node bit, a bare name is a path too. */
    EXPECT_EQ(msnp_generic_object_search(idl, "n", &kind, MSNP_OBJECT_NODE, nullptr), n);

    /* A name with "/" is only a path: a person "x" is not found as "x/". */
    int err = -1;
    EXPECT_EQ(msnp_generic_object_search(idl, "x/y", &kind, 0, &err), nullptr);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(msnp_generic_object_search(idl, "9lives", &kind, 0, &err), nullptr);
    EXPECT_EQ(errors(), (Strings{"23: Not a valid object name or path: x/y",
                                 "23: Not a valid object name or path: 9lives"}));
    idl_parser_clear(idl);

    err = -1;
    EXPECT_EQ(msnp_generic_object_search(idl, "n/zz", &kind, MSNP_OBJECT_NODE, &err), nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_TRUE(errors().empty());
    EXPECT_EQ(msnp_generic_object_search(idl, "n/9z", &kind, MSNP_OBJECT_NODE, &err), nullptr);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(errors(), Strings{"23: Path contains invalid names: n/9z"});

    /* Without a parser nothing is reported. */
    idl_parser_clear(idl);
    EXPECT_EQ(msnp_generic_object_search(nullptr, "9lives", nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(msnp_generic_object_search(idl, nullptr, &kind, 0, &err), nullptr);
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
    EXPECT_NE(u->user_codes, nullptr);
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

TEST_F(EntityTest, DestroyingAPersonUnlinksEverySide)
{
    msnp_person *a = user("a", "a@x");
    msnp_person *b = user("b", "b@x");
    msnp_person *s = super("s");
    msnp_group *g = new_msnp_group(nullptr, "g");
    ASSERT_TRUE(a && b && s && g);

    ASSERT_NE(relates_to(nullptr, a, b, nullptr, MSNP_OBJECT_PERSON), nullptr);
    ASSERT_NE(relates_to(nullptr, b, a, nullptr, MSNP_OBJECT_PERSON), nullptr);
    EXPECT_EQ(relates_to(nullptr, a, s, nullptr, MSNP_OBJECT_PERSON), nullptr);
    ASSERT_EQ(msnp_add_group_member(nullptr, g, b, MSNP_OBJECT_PERSON), 1);
    relates_to_weak(nullptr, b, "later", nullptr);

    EXPECT_EQ(msnp_destroy_person(self, idl, b), 1);
    EXPECT_EQ(a->contactl, nullptr);
    EXPECT_EQ(a->relation_backref, nullptr);
    EXPECT_EQ(g->glist, nullptr);
    EXPECT_EQ(member_names(ents->group_local), Strings{"a"});
    /* Events: "g" and "Local" lost a member, "a" lost its relation. */
    EXPECT_EQ(event_count(), 3u);

    /* Destroying the super clears the persons that named it. */
    idl_parser_clear(idl);
    EXPECT_EQ(msnp_destroy_person(self, idl, s), 1);
    EXPECT_EQ(a->supers, nullptr);
    ASSERT_EQ(event_count(), 1u);
    EXPECT_NE(events()[0].find("name='s'"), std::string::npos);

    /* And destroying a person that names a super clears the super. */
    msnp_person *s2 = super("s2");
    relates_to(nullptr, a, s2, nullptr, MSNP_OBJECT_PERSON);
    EXPECT_EQ(tqlist_length(s2->supers_backref), 1u);
    msnp_destroy_person(self, nullptr, a);
    EXPECT_EQ(s2->supers_backref, nullptr);
    EXPECT_EQ(tqtable_count(ents->people), 1u);
}

TEST_F(EntityTest, DestroyingAPersonLeavesTheTree)
{
    msnp_person *p = user("p", "p@x");
    msnp_rtree *n = new_rtree_node("n");
    msnp_rtree *m = new_rtree_node("m");
    attach(ents->root, n);
    attach(n, m);
    place(n, p);
    place(m, p);
    EXPECT_EQ(tqlist_length(p->rtree_backref), 2u);
    EXPECT_EQ(msnp_destroy_person(self, idl, p), 1);
    EXPECT_EQ(n->people, nullptr);
    EXPECT_EQ(m->people, nullptr);
    EXPECT_EQ(tqtable_count(ents->users), 0u);
    /* One tree event per node left, plus Local's data event. */
    EXPECT_EQ(event_count(), 3u);
}

/* ---- Serialised person ---- */

TEST_F(EntityTest, SerialisedPersonOrder)
{
    msnp_person *p = new_msnp_person(nullptr, "p", "p@x", "Pee");
    p->description = strdup("desc");
    p->psm = strdup("hello");
    p->disabled = 1;
    p->bounty_life = 60;
    p->last_login = 1234;
    p->source_addr = htonl(0x0A000000);
    p->source_mask = htonl(0xFF000000);
    p->no_logs = 2;
    p->auto_reply = strdup("away");
    p->risk_level = 5;
    msnp_person *s = super("s");
    relates_to(nullptr, p, s, nullptr, MSNP_OBJECT_PERSON);
    msnp_rtree *n = new_rtree_node("n");
    attach(ents->root, n);
    place(n, p);
    p->user->guest_time = 99;

    std::string xml = person_xml(p);
    const char *order[] = {"<person type='3' name='p' guest='1'>",
                           "<handle>p@x</handle>",
                           "<friendly>Pee</friendly>",
                           "<description>desc</description>",
                           "<attribute type='psm'>hello</attribute>",
                           "<attribute type='disabled'>1</attribute>",
                           "<attribute type='bounties_life'>60</attribute>",
                           "<attribute type='last_login'>1234</attribute>",
                           "<attribute type='network_source'>10.0.0.0/255.0.0.0</attribute>",
                           "<attribute type='no_logs'>2</attribute>",
                           "<attribute type='auto_reply'>away</attribute>",
                           "<attribute type='risk'>5</attribute>",
                           "<back-references><reference>/n</reference></back-references>",
                           "<super>s</super>"};
    size_t at = 0;
    for (const char *piece : order) {
        size_t found = xml.find(piece, at);
        ASSERT_NE(found, std::string::npos) << piece << "\n" << xml;
        at = found;
    }
    EXPECT_EQ(xml.find("fixed_friendly"), std::string::npos);
    EXPECT_EQ(xml.find("bounties_initial"), std::string::npos);
    EXPECT_EQ(xml.find("relation-list"), std::string::npos);
    EXPECT_NE(xml.find("</handle>\n<friendly>"), std::string::npos) << xml;
    /* A super is minimal, but the risk is always there. */
    EXPECT_EQ(person_xml(s), "<person type='1' name='s'><attribute type='risk'>0</attribute></person>");
}

TEST_F(EntityTest, SerialisedRelationListHoldsRelationsAndWeakEntries)
{
    msnp_person *a = user("a", "a@x");
    msnp_person *b = user("b", "b@x");
    relates_to(nullptr, a, b, nullptr, MSNP_OBJECT_PERSON);
    char *words[] = {const_cast<char *>("'action_block'"), const_cast<char *>("risk:2"), nullptr};
    relates_to_weak(nullptr, a, "later", words);
    relates_to_weak(nullptr, a, "bare", nullptr);
    std::string xml = person_xml(a);
    size_t list = xml.find("<relation-list><relation object='b'");
    ASSERT_NE(list, std::string::npos) << xml;
    EXPECT_NE(xml.find("<relation object='later'><access-list><object>&apos;action_block&apos;</object>\n"
                       "<object>risk:2</object></access-list></relation>",
                       list),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<relation object='bare'/>"), std::string::npos) << xml;
}

} // namespace
