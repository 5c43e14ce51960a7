#include "tq3_msnp.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_rtree.h"
#include "msnp/policy_script.h"

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

/* Relations as an administrator makes them: words that set what a rule
 * does, generic objects that narrow it, supers, names awaited with their
 * words, and what goes when either side goes. */
TEST_F(PolicyScript, RelationsTheirWordsAndTheirEnd)
{
    play({
        {"new person a a@x"}, {"new person b b@x"}, {"new person c c@x"}, {"new person d d@x"},
        {"add b a", {}, "index='0'", 1},
        {"serialize a", {}, "action='pass' direction='both'>"},
        /* Later words override earlier ones; words are exact. */
        {"add b a 'action_block' 'action_pass' 'direction_out' 'disable' risk:12 threshold:x 'action_alert'", {},
         "index='1'"},
        {"serialize a", {}, "action='alert' direction='out' risk='12' disable='1'>"},
        {"modify a 1 'enable' 'direction_in' 'action_continue' threshold:7"},
        {"serialize a", {}, "action='continue' direction='in' risk='12' threshold='7'>"},
        {"modify a 1 action_block", {"WUnknown relation definition: action_block"}},
        /* Time, expression and IM-type objects narrow a relation. */
        {"new time t"}, {"new expr e"}, {"new imbitmap m"},
        {"add c a t e m nothing", {"WUnknown relation definition: nothing"}},
        {"serialize a", {}, ">\n<access-list><object type='time'>t</object>\n<object type='expr'>e</object>\n"
                            "<object type='imbitmap'>m</object></access-list></relation>"},
        {"modify a 2 !t"},
        {"modify a 2 !zz", {"WUnknown relation definition: !zz"}},
        {"serialize a", {}, "!type='time'"},
        /* A super is named, not related to. */
        {"new person s"},
        {"add s a", {}, nullptr, 1},
        {"serialize a", {}, "<super>s</super>"},
        /* Deleting by position, and a target destroyed, shift the rest. */
        {"add d a"},
        {"del a 0"},
        {"collect c"},
        {"modify a 1 'action_block'"},
        {"serialize a", {}, "<relation-list><relation object='b'"},
        {"serialize a", {}, "<relation object='d' uid='"},
        {"serialize a", {}, "' action='block' direction='both'>"},
        {"serialize t", {}, "=<time identifier='t'>\n</time>"},
        /* Names awaited keep their words, in order, and become relations
         * to the person or group made under that name. */
        {"add carol a 'action_block' 'direction_out'", {"WWeak reference: carol"}},
        {"modify a carol 'action_pass'", {"WWeak object relation: carol"}},
        {"modify a dave 'action_pass'", {"E1001: Unknown weak relation: dave"}},
        {"new person carol c@y"},
        {"serialize a", {}, "!object='carol'><access-list>"},
        {"serialize a", {}, "action='pass' direction='out'>"},
        {"add Team a", {"WWeak reference: Team"}},
        {"new group Team"},
        {"serialize a", {}, "<relation object='Team'"},
    });
}

/* What the common add refuses by kind of destination, and what generic
 * objects take: other objects of their kind, literals, awaited names. */
TEST_F(PolicyScript, AddByKindOfDestination)
{
    play({
        {"new person a a@x"}, {"new time t"}, {"new time u"}, {"new object o"},
        {"add t a", {"E22: Incompatible operation"}},
        {"add 'lit' a", {"E200: Object a does not support add (literal)"}},
        {"add a t", {"E20: Self reference"}},
        {"add t t", {"E20: Self reference"}},
        {"add 'lit' o", {"E200: Object o does not support add (literal)"}},
        {"add u t"},
        {"add '100-200' t", {}, nullptr, 1},
        {"add later t", {"WWeak reference: later"}},
        {"serialize t", {}, "<time identifier='t'>"},
    });
}

} // namespace
