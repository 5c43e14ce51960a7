/* The policy loader, the person property table, the "modify" operation on
 * persons, re-targeting relations, the object list by name pattern and the
 * decoding of attribute values. */
#include "msnp/entity_fixture.h"

#include <arpa/inet.h>

#include <functional>

namespace {

using Strings = std::vector<std::string>;

class ConfigTest : public EntityTest {
protected:
    int load(const std::string &objects, const std::string &tree = "")
    {
        std::string doc = "<trevalquin version='1.0'><object-list>" + objects +
                          "</object-list><relation-trees>" + tree + "</relation-trees></trevalquin>";
        return msnp_setconfig(self, idl, doc.c_str());
    }
    bool warned(const std::string &text) const
    {
        for (const std::string &w : warnings())
            if (w == text)
                return true;
        return false;
    }
    static msnp_relates *relation(tqlist *list, int index)
    {
        tqlist *l = list_from_index(list, index);
        return l ? static_cast<msnp_relates *>(l->data) : nullptr;
    }
    static std::string dump(tq3_module *m, idl_parser *p)
    {
        char *text = msnp_getconfig(m, p);
        std::string out = text ? text : "";
        free(text);
        return out;
    }
};

TEST_F(ConfigTest, BrokenElementsWarnAndTheRestLoads)
{
    const struct {
        const char *top, *objects, *tree, *warning;
    } cases[] = {
        {"<bogus/>", "", "", "Unknown configuration node: bogus"},
        {"", "<node identifier='n'/>", "", "Unknown object type: node"},
        {"", "<person type='1'/>", "", "Person node missing name atribute"},
        {"", "<person name='p'><attribute>1</attribute></person>", "", "Missing attribute type"},
        {"", "<person name='p'><attribute type='psm'/></person>", "", "Missing attribute data"},
        {"", "<person name='p'><relation-list><rel/></relation-list></person>", "", "Unknown relation node: rel"},
        {"", "<person name='p'><relation-list><relation/></relation-list></person>", "",
         "Relation node missing object atribute"},
        {"", "<person name='p'><relation-list><relation object='ok'><access-list><x/></access-list>"
             "</relation></relation-list></person>", "", "Unknown relation list node: x"},
        {"", "<group/>", "", "Object group missing identification"},
        {"", "<group name='g'><owner/></group>", "", "Unknown group member node: owner"},
        {"", "", "<node/>", "rtree node missing identification"},
        {"", "", "<user/>", "rtree user missing content"},
        {"", "", "<relation/>", "rtree relation missing object"},
        {"", "", "<relation object='c' action='block'><access-list><object/></access-list></relation>",
         "Access list node missing data: c"},
        {"", "", "<relation object='c' action='block'><access-list><bad/></access-list></relation>",
         "Unknown access list node: bad"},
        {"", "", "<leaf/>", "Unknown tree node: leaf"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.warning);
        msnp_reset(self, nullptr);
        idl_parser_clear(idl);
        std::string doc = std::string("<trevalquin>") + c.top + "<object-list>" + c.objects +
                          "<person type='2' name='c'><handle>x</handle></person></object-list>"
                          "<relation-trees>" + c.tree + "<node identifier='good'/></relation-trees></trevalquin>";
        EXPECT_EQ(msnp_setconfig(self, idl, doc.c_str()), 1);
        EXPECT_TRUE(warned(c.warning)) << ::testing::PrintToString(warnings());
        EXPECT_NE(msnp_search_person("c", 0), nullptr);
        EXPECT_NE(rtree_search_sibling(ents->root, "good"), nullptr);
    }
}

TEST_F(ConfigTest, ContactHandleIsReadAsAPatternAndStoredBare)
{
    load("<person type='2' name='c'><handle>.*@x\\.com</handle></person>"
         "<person type='3' name='u'><handle>/u/</handle></person>");
    msnp_person *c = msnp_search_person("c", 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->type, PERSON_CONTACT);
    EXPECT_STREQ(c->handle, ".*@x\\.com");
    EXPECT_NE(c->re_handle, nullptr);
    /* Only the contact type wraps: a slashed user handle is a pattern. */
    EXPECT_EQ(msnp_search_person("u", 0)->type, PERSON_CONTACT);
}

TEST_F(ConfigTest, ForwardRelationWaitsWithItsWordsAndKeepsItsUid)
{
    load("<time identifier='T'><entry type='data'><time type='absolute'>1-2</time></entry></time>"
         "<person type='1' name='p'><relation-list>"
         "<relation object='later' uid='feedbeef' action='block' direction='out' risk='4'>"
         "<access-list><object type='time'>T</object></access-list></relation>"
         "</relation-list></person>");
    msnp_person *p = msnp_search_person("p", 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->contactl, nullptr);
    EXPECT_EQ(p->wdirty, 1u);
    EXPECT_TRUE(warned("Weak object relation: later"));

    load("<person type='2' name='later'><handle>l</handle></person>");
    msnp_relates *rel = relation(p->contactl, 0);
    ASSERT_NE(rel, nullptr);
    EXPECT_EQ(rel->action, TQ_MATCH_BLOCK);
    EXPECT_EQ(rel->direction, DIR_CLIENT_TO_SERVER);
    EXPECT_EQ(rel->risk_level, 4u);
    EXPECT_EQ(tqlist_length(rel->times), 1u);
    EXPECT_EQ(p->wdirty, 0u);
    /* Across documents the waiting uid is not known any more. */
    EXPECT_STRNE(rel->uid, "feedbeef");

    load("<person type='1' name='q'><relation-list><relation object='z' uid='c0ffee'/>"
         "<relation object='later' uid='bad uid'/></relation-list></person>"
         "<person type='2' name='z'><handle>z</handle></person>");
    msnp_person *q = msnp_search_person("q", 0);
    /* "later" exists and is related at once; "z" is related when it comes. */
    EXPECT_EQ(strlen(relation(q->contactl, 0)->uid), 32u);
    EXPECT_STREQ(relation(q->contactl, 1)->uid, "c0ffee");
}

TEST_F(ConfigTest, InternalGroupIsNotLoadedAgain)
{
    load("<person type='3' name='u'><handle>u</handle></person>"
         "<group name='Local' internal='1'><member type='single'>u</member></group>");
    EXPECT_EQ(member_names(ents->group_local), Strings{"u"});
    EXPECT_EQ(tqtable_count(ents->groups), 1u);
    EXPECT_EQ(errors(), Strings{});
}

TEST_F(ConfigTest, GroupMembersExistingWeakAndEmpty)
{
    load("<group name='G'><description>d</description><member type='single'>c</member>"
         "<member type='weak'>later</member><member/><member>nothing</member></group>"
         "<person type='2' name='c'><handle>c</handle></person>"
         "<person type='2' name='later'><handle>l</handle></person>");
    msnp_group *g = msnp_search_group("G", 0);
    ASSERT_NE(g, nullptr);
    EXPECT_STREQ(g->description, "d");
    EXPECT_EQ(member_names(g), (Strings{"c", "later"}));
    EXPECT_EQ(g->wdirty, 1u); /* "nothing" still waits */
}

TEST_F(ConfigTest, TreeRelationWithoutWordsPlacesAUser)
{
    load("<person type='3' name='u'><handle>u</handle></person><group name='g'/>",
         "<node identifier='n'><relation object='u'/><relation object='g'/>"
         "<relation object='g' disable='1' threshold='6'/></node>");
    msnp_rtree *n = rtree_search_sibling(ents->root, "n");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(tqlist_length(n->people), 1u);
    EXPECT_NE(msnp_search_person("u", 0)->user, nullptr);
    ASSERT_EQ(tqlist_length(n->contactl), 2u);
    EXPECT_EQ(relation(n->contactl, 0)->flags, static_cast<unsigned>(RELATION_NONE));
    EXPECT_EQ(relation(n->contactl, 1)->flags, static_cast<unsigned>(RELATION_DISABLED));
    EXPECT_EQ(relation(n->contactl, 1)->risk_threshold, 6u);
}

TEST_F(ConfigTest, UnknownAttributeIsReportedAndTheRestLoads)
{
    load("<person type='1' name='p'><attribute type='shoe'>9</attribute>"
         "<attribute type='psm'>hi</attribute><description>d</description></person>");
    EXPECT_EQ(errors(), Strings{"2: Unknown attribute: shoe"});
    msnp_person *p = msnp_search_person("p", 0);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->psm, "hi");
    EXPECT_STREQ(p->description, "d");
}

TEST_F(ConfigTest, ExistingNodeIsFilledAndEscapedNamesSurvive)
{
    const char *odd = "R&amp;D &lt;x&gt; &quot;q&quot; &apos;s&apos;";
    load("", std::string("<node identifier='") + odd + "'><node identifier='m'/></node>");
    load("", std::string("<description>top</description><node identifier='") + odd +
                 "'><description>again</description></node>");
    EXPECT_EQ(errors(), Strings{"25: Node path R&D <x> \"q\" 's' already exists"});
    msnp_rtree *n = rtree_search_sibling(ents->root, "R&D <x> \"q\" 's'");
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n->description, "again");
    EXPECT_EQ(tqlist_length(n->siblings), 1u);
    EXPECT_STREQ(ents->root->description, "top");

    std::string d1 = dump(self, idl);
    msnp_reset(self, nullptr);
    free(ents->root->description);
    ents->root->description = nullptr;
    EXPECT_EQ(msnp_setconfig(self, idl, d1.c_str()), 1);
    EXPECT_EQ(dump(self, idl), d1);
}

TEST_F(ConfigTest, DeepTreeIsCutAndNoParserIsNeeded)
{
    std::string tree;
    for (int i = 0; i < 300; ++i)
        tree += "<node identifier='n" + std::to_string(i) + "'>";
    for (int i = 0; i < 300; ++i)
        tree += "</node>";
    load("", tree);
    EXPECT_EQ(warnings(), Strings{"rtree node too deep: n256"});
    msnp_rtree *n = ents->root;
    int depth = 0;
    for (; n->siblings; ++depth)
        n = static_cast<msnp_rtree *>(n->siblings->data);
    EXPECT_EQ(depth, 256);

    msnp_reset(self, nullptr);
    std::string doc = "<trevalquin><bad/><object-list><person/><person type='1' name='s'>"
                      "<relation-list><relation/><relation object='w' action='block'/></relation-list></person>"
                      "</object-list><relation-trees><node/><user/><relation object='s' action='block'/></relation-trees></trevalquin>";
    EXPECT_EQ(msnp_setconfig(self, nullptr, doc.c_str()), 1);
    ASSERT_NE(msnp_search_person("s", 0), nullptr);
    EXPECT_EQ(msnp_search_person("s", 0)->wdirty, 1u);
    EXPECT_EQ(tqlist_length(ents->root->contactl), 1u);
}

TEST_F(ConfigTest, PersonProperties)
{
    msnp_person *p = user("p", "p@x");
    msnp_user *u = place(ents->root, p);
    ASSERT_NE(u, nullptr);
    const struct {
        const char *key, *value;
        std::function<bool()> holds;
    } cases[] = {
        {"friendly", "\"Al B\"", [&] { return std::string(p->friendly) == "Al B"; }},
        {"psm", "s", [&] { return std::string(p->psm) == "s"; }},
        {"psm", "", [&] { return p->psm == nullptr; }},
        {"pmm", "m", [&] { return std::string(p->pmm) == "m"; }},
        {"fixed_friendly", "5", [&] { return p->fixed_friendly == 1; }},
        {"fixed_friendly", "0", [&] { return p->fixed_friendly == 0; }},
        {"fixed_privacy", "BL", [&] { return std::string(p->fixed_privacy) == "BL"; }},
        {"no_warnings", "1", [&] { return p->no_warnings == 1; }},
        {"fixed_state", "AWY", [&] { return std::string(p->fixed_state) == "AWY"; }},
        {"disabled", "3", [&] { return p->disabled == 1; }},
        {"no_mailnot", "1", [&] { return p->no_mailnot == 1; }},
        {"bounties_life", "60", [&] { return p->bounty_life == 60 && u->bounty_life == 60; }},
        {"bounties_initial", "30",
         [&] { return p->bounty_initial == 30 && u->bounty_initial == 30 && u->bounty_current == 30; }},
        {"bounties_current", "7", [&] { return u->bounty_current == 7; }},
        {"bounties_initial", "40", [&] { return u->bounty_initial == 40 && u->bounty_current == 7; }},
        {"bounties_lifecur", "9", [&] { return u->bounty_lifecur == 9; }},
        {"last_login", "4000000000", [&] { return p->last_login == 4000000000ul; }},
        {"username", "al", [&] { return std::string(p->username) == "al"; }},
        {"network_source", "10.0.0.0/255.0.0.0",
         [&] { return p->source_addr == inet_addr("10.0.0.0") && p->source_mask == inet_addr("255.0.0.0"); }},
        {"network_source", "10.0.0.1", [&] { return p->source_mask == 0xFFFFFFFFu; }},
        {"network_source", "", [&] { return p->source_addr == 0 && p->source_mask == 0; }},
        {"auto_reply", "away", [&] { return std::string(p->auto_reply) == "away"; }},
        {"no_logs", "2", [&] { return p->no_logs == 2; }},
        {"force_logs", "3", [&] { return p->force_logs == 3; }},
        {"risk", "7", [&] { return p->risk_level == 7u; }},
        {"ver_client_upper", "9.0", [&] { return std::string(p->ver_client_upper) == "9.0"; }},
        {"handle", "q@x", [&] { return std::string(p->handle) == "q@x"; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        EXPECT_EQ(msnp_modify_person_property(idl, p, c.key, c.value, nullptr), 1);
        EXPECT_TRUE(c.holds());
    }
    p->stats.chat_time = 5;
    EXPECT_EQ(msnp_modify_person_property(idl, p, "zero_stats", "", nullptr), 1);
    EXPECT_EQ(p->stats.chat_time, 0ul);
    EXPECT_EQ(errors(), Strings{});

    const struct {
        const char *key, *value, *error;
    } refusals[] = {
        {"network_source", "x/255.0.0.0", "2: Not a valid base: x"},
        {"network_source", "10.0.0.0/y", "2: Not a valid mask: y"},
        {"handle", "/pattern/", "1000: Could not change the handle: /pattern/"},
        {"shoe", "1", "2: Unknown attribute: shoe"},
        {"psm", nullptr, "2: Missing key or value"},
        {nullptr, "1", "2: Missing key or value"},
    };
    for (const auto &r : refusals) {
        idl_parser_clear(idl);
        EXPECT_EQ(msnp_modify_person_property(idl, p, r.key, r.value, nullptr), 0);
        EXPECT_EQ(errors(), Strings{r.error});
    }
    EXPECT_EQ(p->source_addr, 0u);
    EXPECT_EQ(p->type, PERSON_USER);
}

TEST_F(ConfigTest, ModifyPersonRelations)
{
    msnp_person *p = super("p");
    msnp_person *c = new_msnp_person(nullptr, "c", "/c/", nullptr);
    relates_to(nullptr, p, c, nullptr, MSNP_OBJECT_PERSON);
    relates_to(nullptr, p, ents->group_local, nullptr, MSNP_OBJECT_GROUP);
    relates_to(nullptr, p, c, nullptr, MSNP_OBJECT_PERSON);
    relates_to_weak(nullptr, p, "w", nullptr);

    auto modify = [&](Strings words) {
        std::vector<char *> args;
        for (std::string &w : words)
            args.push_back(w.data());
        args.push_back(nullptr);
        return msnp_modify_object_single(idl, p, args.data());
    };
    EXPECT_EQ(modify({"risk:", "3"}), 1);
    EXPECT_EQ(p->risk_level, 3u);
    EXPECT_EQ(event_count(), 1u);
    EXPECT_EQ(modify({"1", "'action_block'", "nonsense"}), 1);
    EXPECT_EQ(relation(p->contactl, 1)->action, TQ_MATCH_BLOCK);
    EXPECT_EQ(modify({"c", "'direction_in'", "risk:2"}), 4);
    EXPECT_EQ(relation(p->contactl, 0)->direction, DIR_SERVER_TO_CLIENT);
    EXPECT_EQ(relation(p->contactl, 2)->risk_level, 2u);
    EXPECT_EQ(relation(p->contactl, 1)->direction, DIR_BOTH);
    EXPECT_EQ(modify({"w", "'disable'"}), 1);
    EXPECT_EQ(texts(static_cast<tqlist *>(p->weak->get_safe(p->weak, "w"))), (Strings{"w", "'disable'"}));
    EXPECT_EQ(warnings(), (Strings{"Unknown relation definition: nonsense", "Weak object relation: w"}));

    idl_parser_clear(idl);
    EXPECT_EQ(modify({"7", "'action_pass'"}), 0);
    EXPECT_EQ(modify({"p", "'action_pass'"}), 0);
    EXPECT_EQ(modify({"zz", "'action_pass'"}), 1);
    EXPECT_EQ(modify({"0"}), 0);
    EXPECT_EQ(modify({}), 0);
    EXPECT_EQ(errors(), (Strings{"28: No references found: 7", "28: No references found: p",
                                 "1001: Unknown weak relation: zz", "2: No definition to modify",
                                 "2: Missing modify definitions"}));
    EXPECT_EQ(event_count(), 0u);
}

TEST_F(ConfigTest, ChangeRelationTarget)
{
    msnp_person *p = super("p");
    msnp_person *a = new_msnp_person(nullptr, "a", "/a/", nullptr);
    msnp_person *b = new_msnp_person(nullptr, "b", "/b/", nullptr);
    msnp_group *g = new_msnp_group(nullptr, "g");
    msnp_relates *rel = relates_to(nullptr, p, a, nullptr, MSNP_OBJECT_PERSON);
    relates_to_weak(nullptr, p, "w", nullptr);

    EXPECT_EQ(msnp_relation_change_contact(idl, p, "0", "g"), 1);
    EXPECT_EQ(rel->relation, g);
    EXPECT_EQ(rel->rel_type, MSNP_OBJECT_GROUP);
    EXPECT_EQ(a->relation_backref, nullptr);
    EXPECT_EQ(tqlist_length(g->relation_backref), 1u);
    EXPECT_EQ(msnp_modify_person_property(idl, p, "contact", "g", "b"), 1);
    EXPECT_EQ(rel->relation, b);
    EXPECT_EQ(g->relation_backref, nullptr);

    EXPECT_EQ(msnp_relation_change_contact(idl, p, "a", "b"), 0);
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "b", "nobody"), 0);
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "b", "p"), 0);
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "gone", "x"), 0);
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "w", "9x"), 0);
    EXPECT_EQ(msnp_relation_change_contact(idl, ents->root, "w", "x"), 0);
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "b", nullptr), 0);
    EXPECT_EQ(errors(), (Strings{"27: Unknown relation: a", "27: Unknown object reference: nobody",
                                 "20: Self loop: p", "27: Unknown weak relation: gone",
                                 "23: Not a valid object name: 9x",
                                 "1003: Only person objects support weak relations",
                                 "2: Missing object specification"}));

    /* A weak relation re-keyed to a name that exists is made at once. */
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "w", "a"), 0);
    EXPECT_EQ(p->wdirty, 0u);
    EXPECT_EQ(tqlist_length(p->contactl), 2u);
    EXPECT_EQ(relation(p->contactl, 1)->relation, a);
}

TEST_F(ConfigTest, GlobListsKindsInLoadingOrder)
{
    load("<person type='3' name='aUser'><handle>u</handle></person>"
         "<person type='1' name='aSuper'/><group name='aGroup'/>"
         "<person type='2' name='aContact'><handle>c</handle></person>"
         "<object identifier='aObject'/><imbitmap identifier='aMap'/>"
         "<time identifier='aTime'/><expr identifier='aExpr'/><expr identifier='bExpr'/>");
    iks *list = msnp_serialize_objects_from_glob("a*", 0);
    ASSERT_NE(list, nullptr);
    Strings names;
    for (iks *x = iks_first_tag(list); x; x = iks_next_tag(x)) {
        const char *n = iks_find_attrib(x, "identifier");
        names.emplace_back(n ? n : iks_find_attrib(x, "name"));
    }
    iks_delete(list);
    EXPECT_EQ(names, (Strings{"aExpr", "aTime", "aMap", "aObject", "aContact", "aGroup", "aUser", "aSuper"}));
    EXPECT_EQ(msnp_serialize_objects_from_glob("zz*", 0), nullptr);
    EXPECT_EQ(msnp_serialize_objects_from_glob(nullptr, 0), nullptr);
}

TEST(ConfigXml, UnescapeAttributeValues)
{
    const struct {
        const char *in, *out;
    } cases[] = {
        {"plain", "plain"},
        {"a&amp;b&lt;c&gt;&quot;d&apos;e", "a&b<c>\"d'e"},
        {"&#65;&#x42;&#X43;", "ABC"},
        {"&#233;&#x20AC;&#x1F600;", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"&amp;amp;", "&amp;"},
        {"&unknown; &#; &#x; &#0; &#xD800; &#12 &", "&unknown; &#; &#x; &#0; &#xD800; &#12 &"},
        {"&#99999999999;", "&#99999999999;"},
        {"", ""},
    };
    for (const auto &c : cases) {
        char *got = msnp_xml_unescape(c.in);
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got, c.out) << c.in;
        free(got);
    }
    EXPECT_EQ(msnp_xml_unescape(nullptr), nullptr);
}

} // namespace
