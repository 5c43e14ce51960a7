/* The policy loader, the person property table, the "modify" operation on
 * persons, re-targeting relations, the object list by name pattern and the
 * decoding of attribute values. */
#include "msnp/entity_fixture.h"
#include "tq3_msnp.h"
#include "tq3_msnp_config.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_rtree.h"
#include "tq3_msnp_xml.h"

#include <arpa/inet.h>

#include <algorithm>
#include <functional>
#include <set>

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
    std::string dump()
    {
        char *text = msnp_getconfig(self, idl);
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
        /* Without a parser the same document loads silently. */
        msnp_reset(self, nullptr);
        EXPECT_EQ(msnp_setconfig(self, nullptr, doc.c_str()), 1);
        EXPECT_NE(msnp_search_person("c", 0), nullptr);
    }
}

TEST_F(ConfigTest, ForwardRelationWaitsWithItsWordsAndKeepsItsUid)
{
    load("<time identifier='T'/><person type='1' name='p'><relation-list>"
         "<relation object='later' uid='feedbeef' action='block' direction='out' risk='4'>"
         "<access-list><object type='time'>T</object></access-list></relation>"
         "<relation object='T' uid='0ff'/></relation-list></person>");
    msnp_person *p = msnp_search_person("p", 0);
    EXPECT_EQ(p->contactl, nullptr);
    EXPECT_EQ(p->wdirty, 1u);
    EXPECT_TRUE(warned("Weak object relation: later"));
    EXPECT_EQ(errors(), Strings{"22: Incompatible operation"});

    load("<person type='2' name='later'><handle>l</handle></person>"
         "<person type='1' name='q'><relation-list><relation object='z' uid='c0ffee'/>"
         "<relation object='later' uid='bad uid'/></relation-list></person>"
         "<person type='2' name='z'><handle>z</handle></person>");
    msnp_relates *rel = relation(p->contactl, 0);
    ASSERT_NE(rel, nullptr);
    EXPECT_EQ(rel->action, TQ_MATCH_BLOCK);
    EXPECT_EQ(rel->direction, DIR_CLIENT_TO_SERVER);
    EXPECT_EQ(rel->risk_level, 4u);
    EXPECT_EQ(tqlist_length(rel->times), 1u);
    EXPECT_EQ(p->wdirty, 0u);
    /* Across documents the waiting uid is not known any more; within one
     * it is put back once the target comes. */
    EXPECT_STRNE(rel->uid, "feedbeef");
    msnp_person *q = msnp_search_person("q", 0);
    EXPECT_EQ(strlen(relation(q->contactl, 0)->uid), 32u);
    EXPECT_STREQ(relation(q->contactl, 1)->uid, "c0ffee");
}

TEST_F(ConfigTest, ObjectsAndTreeEdgeCases)
{
    load("<person type='2' name='c'><handle>.*@x\\.com</handle></person>"
         "<person type='3' name='u'><handle>u</handle><attribute type='shoe'>9</attribute>"
         "<attribute type='psm'>hi</attribute><description>d</description></person>"
         "<group name='Local' internal='1'><member type='single'>c</member></group>"
         "<group name='G'><description>g</description><member type='single'>later</member>"
         "<member/><member>nothing</member></group>"
         "<person type='2' name='later'><handle>l</handle></person>",
         "<node identifier='n'><relation object='u'/><relation object='G'/>"
         "<relation object='G' disable='1' threshold='6'/></node>");
    EXPECT_EQ(errors(), Strings{"2: Unknown attribute: shoe"});
    /* A contact's handle is read as a pattern and stored without slashes. */
    msnp_person *c = msnp_search_person("c", 0);
    EXPECT_EQ(c->type, PERSON_CONTACT);
    EXPECT_STREQ(c->handle, ".*@x\\.com");
    EXPECT_NE(c->re_handle, nullptr);
    msnp_person *u = msnp_search_person("u", 0);
    EXPECT_STREQ(u->psm, "hi");
    EXPECT_STREQ(u->description, "d");
    /* The built-in group is not read again. */
    EXPECT_EQ(member_names(ents->group_local), Strings{"u"});
    EXPECT_EQ(tqtable_count(ents->groups), 2u);
    msnp_group *g = msnp_search_group("G", 0);
    EXPECT_STREQ(g->description, "g");
    EXPECT_EQ(member_names(g), Strings{"later"});
    EXPECT_EQ(g->wdirty, 1u); /* "nothing" still waits */
    /* A wordless relation naming a user places the user. */
    msnp_rtree *n = rtree_search_sibling(ents->root, "n");
    EXPECT_EQ(n->people ? n->people->data : nullptr, u);
    EXPECT_NE(u->user, nullptr);
    ASSERT_EQ(tqlist_length(n->contactl), 2u);
    EXPECT_EQ(relation(n->contactl, 0)->flags, static_cast<unsigned>(RELATION_NONE));
    EXPECT_EQ(relation(n->contactl, 1)->flags, static_cast<unsigned>(RELATION_DISABLED));
    EXPECT_EQ(relation(n->contactl, 1)->risk_threshold, 6u);
}

TEST_F(ConfigTest, EscapedNamesSurviveAndExistingNodesAreFilled)
{
    const std::string odd = "R&amp;D &lt;x&gt; &quot;q&quot; &apos;s&apos;";
    load("", "<node identifier='" + odd + "'><node identifier='m'/></node>");
    load("", "<description>top</description><node identifier='" + odd + "'><description>d</description></node>");
    EXPECT_EQ(errors(), Strings{"25: Node path R&D <x> \"q\" 's' already exists"});
    msnp_rtree *n = rtree_search_sibling(ents->root, "R&D <x> \"q\" 's'");
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n->description, "d");
    EXPECT_EQ(tqlist_length(n->siblings), 1u);

    std::string d1 = dump();
    msnp_reset(self, nullptr);
    free(ents->root->description);
    ents->root->description = nullptr;
    EXPECT_EQ(msnp_setconfig(self, idl, d1.c_str()), 1);
    EXPECT_EQ(dump(), d1);
}

TEST_F(ConfigTest, DeepTreeIsCut)
{
    std::string tree;
    for (int i = 0; i < 300; ++i)
        tree = "<node identifier='n" + std::to_string(299 - i) + "'>" + tree + "</node>";
    load("", tree);
    EXPECT_EQ(warnings(), Strings{"rtree node too deep: n256"});
    int depth = 0;
    for (msnp_rtree *n = ents->root; n->siblings; ++depth)
        n = static_cast<msnp_rtree *>(n->siblings->data);
    EXPECT_EQ(depth, 256);
}

/* However the tree was grown, by long paths, one level at a time or by
 * moving subtrees, what the module holds is what a reload gives back. */
TEST_F(ConfigTest, EveryTreeTheModuleHoldsLoadsBackWhole)
{
    std::string hundred = "n";
    for (int i = 1; i < 100; ++i)
        hundred += "/n";
    msnp_rtree *deepest = ents->root;
    int grown = 0;
    while (msnp_rtree *n = msnp_new_object_node(idl, hundred.c_str(), deepest)) {
        deepest = n;
        ++grown;
    }
    EXPECT_EQ(grown, 2);
    EXPECT_EQ(errors(), Strings{"23: Not a valid object name or path: " + hundred});
    while (msnp_rtree *n = msnp_new_object_node(nullptr, "m", deepest))
        deepest = n;
    EXPECT_EQ(rtree_depth(deepest), MSNP_RTREE_MAX_DEPTH);

    /* A subtree fits below a node only when its own deepest node does. */
    msnp_rtree *side = msnp_new_object_node(nullptr, "side/leaf", ents->root);
    msnp_rtree *above = deepest->backref;
    idl_parser_clear(idl);
    EXPECT_EQ(rtree_add_sibling(idl, above, side->backref), 0);
    EXPECT_EQ(errors(), Strings{"22: Node side would nest deeper than 256 levels"});
    EXPECT_EQ(rtree_add_sibling(idl, above, side), 1);
    EXPECT_EQ(rtree_depth(side), MSNP_RTREE_MAX_DEPTH);

    std::string d1 = dump();
    msnp_reset(self, nullptr);
    idl_parser_clear(idl);
    ASSERT_EQ(msnp_setconfig(self, idl, d1.c_str()), 1);
    EXPECT_TRUE(warnings().empty()) << ::testing::PrintToString(warnings());
    EXPECT_EQ(dump(), d1);
}

/* Relation uids name one relation each, whatever documents bring. */
TEST_F(ConfigTest, RelationUidsStayUnique)
{
    auto uids = [&] {
        std::vector<std::string> out;
        std::string d = dump();
        for (size_t at = 0; (at = d.find(" uid='", at)) != std::string::npos;) {
            at += 6;
            out.push_back(d.substr(at, d.find('\'', at) - at));
        }
        return out;
    };
    load("<person type='2' name='c'><handle>c</handle></person>"
         "<person type='1' name='p'><relation-list><relation object='c' uid='same'/>"
         "<relation object='c' uid='same'/><relation object='later' uid='same'/></relation-list></person>"
         "<person type='2' name='later'><handle>l</handle></person>",
         "<relation object='c' uid='same' action='block'/>");
    std::vector<std::string> first = uids();
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(std::set<std::string>(first.begin(), first.end()).size(), 4u) << ::testing::PrintToString(first);
    EXPECT_EQ(std::count(first.begin(), first.end(), "same"), 1);
    size_t repeats = 0;
    for (const std::string &w : warnings())
        repeats += w.rfind("Relation uid same already in use, relation keeps ", 0) == 0;
    EXPECT_EQ(repeats, 3u) << ::testing::PrintToString(warnings());

    /* The same saved policy loaded again: its persons exist already and
     * are refused, the tree's relation is added again, with a fresh uid. */
    std::string d1 = dump();
    ASSERT_EQ(msnp_setconfig(self, idl, d1.c_str()), 1);
    std::vector<std::string> both = uids();
    EXPECT_EQ(both.size(), 5u);
    EXPECT_EQ(std::set<std::string>(both.begin(), both.end()).size(), both.size()) << ::testing::PrintToString(both);

    /* A uid that a removed relation had is free again. */
    msnp_reset(self, nullptr);
    idl_parser_clear(idl);
    load("<person type='2' name='c'><handle>c</handle></person>",
         "<relation object='c' uid='same'/>");
    EXPECT_EQ(uids(), std::vector<std::string>{"same"});
    EXPECT_TRUE(warnings().empty()) << ::testing::PrintToString(warnings());
}

TEST_F(ConfigTest, PersonProperties)
{
    msnp_person *p = user("p", "p@x");
    msnp_user *u = place(ents->root, p);
    const struct {
        const char *key, *value;
        std::function<bool()> holds;
    } cases[] = {
        {"friendly", "\"Al B\"", [&] { return std::string(p->friendly) == "Al B"; }},
        {"psm", "s", [&] { return std::string(p->psm) == "s"; }},
        {"psm", "", [&] { return p->psm == nullptr; }},
        {"fixed_friendly", "5", [&] { return p->fixed_friendly == 1; }},
        {"no_logs", "2", [&] { return p->no_logs == 2; }},
        {"bounties_life", "60", [&] { return p->bounty_life == 60 && u->bounty_life == 60; }},
        {"bounties_initial", "30", [&] { return u->bounty_initial == 30 && u->bounty_current == 30; }},
        {"bounties_current", "7", [&] { return u->bounty_current == 7; }},
        {"bounties_initial", "40", [&] { return p->bounty_initial == 40 && u->bounty_current == 7; }},
        {"last_login", "4000000000", [&] { return p->last_login == 4000000000ul; }},
        {"network_source", "10.0.0.0/255.0.0.0",
         [&] { return p->source_addr == inet_addr("10.0.0.0") && p->source_mask == inet_addr("255.0.0.0"); }},
        {"network_source", "10.0.0.1", [&] { return p->source_mask == 0xFFFFFFFFu; }},
        {"handle", "q@x", [&] { return std::string(p->handle) == "q@x"; }},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(msnp_modify_person_property(idl, p, c.key, c.value, nullptr), 1) << c.key;
        EXPECT_TRUE(c.holds()) << c.key << "=" << c.value;
    }
    EXPECT_EQ(errors(), Strings{});
    const struct {
        const char *key, *value, *error;
    } refusals[] = {
        {"network_source", "x/255.0.0.0", "2: Not a valid base: x"},
        {"network_source", "10.0.0.0/y", "2: Not a valid mask: y"},
        {"handle", "/pattern/", "1000: Could not change the handle: /pattern/"},
        {"shoe", "1", "2: Unknown attribute: shoe"},
        {"psm", nullptr, "2: Missing key or value"},
    };
    for (const auto &r : refusals) {
        idl_parser_clear(idl);
        EXPECT_EQ(msnp_modify_person_property(idl, p, r.key, r.value, nullptr), 0);
        EXPECT_EQ(errors(), Strings{r.error});
    }
    EXPECT_EQ(p->source_mask, 0xFFFFFFFFu);

    /* Every attribute the person's form writes sets the same on another. */
    for (const char *key : {"psm", "pmm", "disabled", "fixed_state", "fixed_privacy", "username", "force_logs",
                            "no_inimailnot", "no_actmailnot", "no_mailnot", "auto_reply", "ver_system_lower",
                            "ver_system_upper", "ver_client_lower", "ver_client_upper", "risk", "no_warnings"})
        EXPECT_EQ(msnp_modify_person_property(idl, p, key, "3", nullptr), 1) << key;
    auto attributes = [](msnp_person *who) {
        Strings out;
        iks *form = msnp_serialize_object_single(who, WITH_NONE, nullptr, nullptr);
        for (iks *a = iks_first_tag(form); a; a = iks_next_tag(a))
            if (strcmp(iks_name(a), "attribute") == 0)
                out.push_back(std::string(iks_find_attrib(a, "type")) + "=" + iks_cdata(iks_child(a)));
        iks_delete(form);
        return out;
    };
    Strings written = attributes(p);
    EXPECT_EQ(written.size(), 23u) << ::testing::PrintToString(written);
    msnp_person *q = user("q", "q2@x");
    for (const std::string &w : written) {
        size_t eq = w.find('=');
        EXPECT_EQ(msnp_modify_person_property(idl, q, w.substr(0, eq).c_str(), w.substr(eq + 1).c_str(), nullptr), 1)
            << w;
    }
    EXPECT_EQ(attributes(q), written);
}

TEST_F(ConfigTest, ModifyAndRetargetRelations)
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
    EXPECT_EQ(relation(p->contactl, 1)->direction, DIR_BOTH);
    EXPECT_EQ(modify({"w", "'disable'"}), 1);
    EXPECT_EQ(texts(static_cast<tqlist *>(p->weak->get_safe(p->weak, "w"))), (Strings{"w", "'disable'"}));
    EXPECT_EQ(warnings(), (Strings{"Unknown relation definition: nonsense", "Weak object relation: w"}));

    /* Re-targeting by index and by the current target's name. */
    msnp_group *g = new_msnp_group(nullptr, "g");
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "0", "g"), 1);
    EXPECT_EQ(relation(p->contactl, 0)->relation, g);
    EXPECT_EQ(tqlist_length(c->relation_backref), 1u);
    EXPECT_EQ(msnp_modify_person_property(idl, p, "contact", "Local", "c"), 1);
    EXPECT_EQ(relation(p->contactl, 1)->relation, c);
    EXPECT_EQ(ents->group_local->relation_backref, nullptr);

    idl_parser_clear(idl);
    EXPECT_EQ(modify({"7", "'action_pass'"}), 0);
    EXPECT_EQ(modify({"p", "'action_pass'"}), 0);
    EXPECT_EQ(modify({"zz", "'action_pass'"}), 1);
    EXPECT_EQ(modify({"0"}), 0);
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "Local", "c"), 0);
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "c", "nobody"), 0);
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "c", "p"), 0);
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "w", "9x"), 0);
    EXPECT_EQ(msnp_relation_change_contact(idl, ents->root, "w", "x"), 0);
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "c", nullptr), 0);
    EXPECT_EQ(errors(), (Strings{"28: No references found: 7", "28: No references found: p",
                                 "1001: Unknown weak relation: zz", "2: No definition to modify",
                                 "27: Unknown relation: Local", "27: Unknown object reference: nobody",
                                 "20: Self loop: p", "23: Not a valid object name: 9x",
                                 "1003: Only person objects support weak relations",
                                 "2: Missing object specification"}));
    EXPECT_EQ(event_count(), 0u);
    /* A weak relation re-keyed to a name that exists is made at once. */
    EXPECT_EQ(msnp_relation_change_contact(idl, p, "w", "g"), 0);
    EXPECT_EQ(p->wdirty, 0u);
    EXPECT_EQ(relation(p->contactl, 3)->relation, g);
    EXPECT_EQ(relation(p->contactl, 3)->flags, static_cast<unsigned>(RELATION_DISABLED));
}

TEST(ConfigXml, UnescapeAttributeValues)
{
    const struct {
        const char *in, *out;
    } cases[] = {
        {"a&amp;b&lt;c&gt;&quot;d&apos;e", "a&b<c>\"d'e"},
        {"&#65;&#x42;&#X43;&#233;&#x20AC;&#x1F600;", "ABC\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"&amp;amp;", "&amp;"},
        {"&u; &#; &#x; &#0; &#xD800; &#12 & &#99999999999;", "&u; &#; &#x; &#0; &#xD800; &#12 & &#99999999999;"},
    };
    for (const auto &c : cases) {
        char *got = msnp_xml_unescape(c.in);
        EXPECT_STREQ(got, c.out) << c.in;
        free(got);
    }
    EXPECT_EQ(msnp_xml_unescape(nullptr), nullptr);
}

} // namespace
