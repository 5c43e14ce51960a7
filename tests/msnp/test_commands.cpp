/* The management commands over the example policy: reading ones (glob,
 * serialize), the ones that change the policy, and every refusal. */
#include <fstream>
#include <sstream>

#include "msnp/policy_script.h"
#include "tq3_msnp_config.h"
#include "tq3_msnp_module.h"

namespace {

class Commands : public PolicyScript {
public:
    void SetUp() override
    {
        PolicyScript::SetUp();
        std::ifstream in(std::string(TQ_SOURCE_DIR) + "/examples/policy.xml");
        std::stringstream doc;
        doc << in.rdbuf();
        ASSERT_EQ(msnp_setconfig(self, idl, doc.str().c_str()), 1);
    }

    /* The answer of `verb words...` through the module's entry point. */
    std::string run(const char *verb, const char *rest)
    {
        return PolicyScript::run(rest ? std::string(verb) + " " + rest : std::string(verb));
    }
};

TEST_F(Commands, GlobAndSerializeAnswerWithTheObjectsXml)
{
    std::string all = run("glob", "*");
    for (const char *name : {"name='Everyone'", "name='alice'", "identifier='OfficeHours'", "identifier='Chat'",
                             "name='Staff'"})
        EXPECT_NE(all.find(name), std::string::npos) << name;
    std::string some = run("glob", "Part*");
    EXPECT_NE(some.find("name='Partners'"), std::string::npos) << some;
    EXPECT_EQ(some.find("name='alice'"), std::string::npos) << some;

    struct Row {
        const char *rest, *starts;
    };
    const Row rows[] = {
        {"alice", "<person type='3' name='alice'"},
        {"alice with-contacts", "<person type='3' name='alice'"},
        {"Staff", "<group name='Staff'"},
        {"OfficeHours", "<time identifier='OfficeHours'"},
        {"Confidential", "<expr identifier='Confidential'"},
        {"Company", "<node identifier='Company'"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.rest);
        EXPECT_EQ(run("serialize", r.rest).rfind(r.starts, 0), 0u) << idl->data;
        EXPECT_TRUE(errors().empty());
    }
    EXPECT_NE(run("serialize", "Company").find("identifier='SalesDept'"), std::string::npos) << "the whole subtree";
    EXPECT_EQ(run("serialize", "Company 0"), "<node identifier='Company'/>") << "depth 0";
    EXPECT_NE(run("serialize", "Company 1").find("<node identifier='SalesDept'/>"), std::string::npos)
        << "depth 1: the children by name only";

    run("serialize", "ghost");
    EXPECT_EQ(errors(), std::vector<std::string>{"27: Unknown object: ghost"});
    run("serialize", nullptr);
    EXPECT_EQ(errors(), std::vector<std::string>{"2: Missing object specification"});
    run("glob", nullptr);
    EXPECT_EQ(errors(), std::vector<std::string>{"2: Missing object glob"});
}

std::string policy_text()
{
    char *xml = msnp_getconfig(nullptr, nullptr);
    std::string s = xml ? xml : "";
    free(xml);
    return s;
}

/* Every refusal an administrator can meet: its exact code and text, and a
 * policy that is exactly what it was before. */
TEST_F(Commands, RefusalsReportTheirCodeAndChangeNothing)
{
    struct Row {
        int level;
        const char *verb, *rest;
        std::vector<std::string> errors, warnings;
    };
    using V = std::vector<std::string>;
    const Row rows[] = {
        {0, "frobnicate", "x", V{"2: Unknown definition (msnp): frobnicate"}, {}},
        {0, "new", nullptr, V{"2: Missing definitions to construct"}, {}},
        {0, "new", "person", V{"2: Missing object name"}, {}},
        {0, "new", "person alice", V{"25: Object name or path is already used: alice"}, {}},
        {0, "new", "group 9lives", V{"25: Object name or path is already used: 9lives"}, {}},
        {0, "new", "node Company/SalesDept", V{"25: Object name or path is already used: Company/SalesDept"}, {}},
        {0, "new", "gadget g", V{"26: Unknown object type: gadget"}, {}},
        {0, "new", "person zed bob@corp.example.com",
         V{"1006: Object handle is already used: bob"}, {}},
        {0, "add", nullptr, V{"2: Missing specification"}, {}},
        {0, "add", "alice", V{"2: Incorrect syntax"}, {}},
        {0, "add", "alice ghost", V{"27: Unknown object: ghost"}, {}},
        {0, "add", "alice Local", V{"31: Special object: Local"}, {}},
        {0, "add", "Staff Staff", V{"20: Self loop detected: Staff"}, {}},
        {0, "add", "Company Company/SalesDept", V{"21: Self indirect moving: Company"}, {}},
        {0, "add", "OfficeHours Company", V{"22: Not a valid operation"}, {}},
        {0, "del", "alice", V{"2: No references to delete"}, {}},
        {0, "del", "ghost alice", V{"27: Unknown object: ghost"}, {}},
        {0, "del", "Local alice", V{"31: Special object: Local"}, {}},
        {0, "del", "alice Competitor 99 Nobody", {},
         V{"No references found: Competitor", "No references found: 99", "No references found: Nobody"}},
        {0, "del", "Confidential 'x'", {}, V{"No references found: 'x'"}},
        {0, "del", "AuditTags 'x'", V{"30: Object AuditTags does not support delete (literal)"},
         V{"No references found: 'x'"}},
        {0, "collect", nullptr, V{"2: No objects to collect"}, {}},
        {0, "collect", "ghost", V{"28: No objects found"}, V{"Unknown object: ghost"}},
        {0, "collect", "Local", V{"31: Special object: Local", "28: No objects found"}, {}},
        {0, "collect", "/", V{"28: Invalid operation"}, {}},
        {0, "modify", nullptr, V{"2: Missing object to modify"}, {}},
        {0, "modify", "alice", V{"2: Missing modify definitions"}, {}},
        {0, "modify", "ghost 0 'disable'", V{"27: Unknown object: ghost"}, {}},
        {0, "modify", "alice 0", V{"2: No definition to modify"}, {}},
        {0, "modify", "alice 99 'disable'", V{"28: No references found: 99"}, {}},
        {0, "modify", "alice Competitor 'disable'", V{"28: No references found: Competitor"}, {}},
        {0, "modify", "alice Nobody 'disable'", V{"1001: Unknown weak relation: Nobody"}, {}},
        {0, "modify", "alice contact: 0 alice", V{"20: Self loop: alice"}, {}},
        {0, "modify", "alice contact: 0 ghost", V{"27: Unknown object reference: ghost"}, {}},
        {0, "modify", "alice contact: Competitor Staff", V{"27: Unknown relation: Competitor"}, {}},
        {0, "modify", "alice contact: Ghost 1bad", V{"27: Unknown weak relation: Ghost"}, {}},
        {0, "modify", "alice contact: Contractors 1bad", V{"27: Unknown object reference: 1bad"}, {}},
        {0, "modify", "alice colour: red", V{"2: Unknown attribute: colour"}, {}},
        {0, "modify", "Company contact: Ghost Staff", V{"1003: Only person objects support weak relations"}, {}},
        {0, "modify", "Company 0", V{"2: No definition to modify"}, {}},
        {0, "modify", "Company ghost 'disable'", V{"27: Unknown object: ghost"}, {}},
        {0, "modify", "Company Staff 'disable'", V{"28: No references found: Staff"}, {}},
        {0, "modify", "Staff 0 'disable'", V{"30: Staff does not support modify method"}, {}},
        {0, "modify", "Weekend 0 'disable'", V{"30: Object Weekend does not support modify method"}, {}},
        {0, "move", nullptr, V{"2: No specifications to move"}, {}},
        {0, "move", "alice", V{"2: No indexes to move"}, {}},
        {0, "move", "alice 0", V{"2: Invalid syntax"}, {}},
        {0, "move", "alice super: 0", V{"2: Invalid syntax"}, {}},
        {0, "move", "ghost 0 1", V{"27: Unknown object: ghost"}, {}},
        {0, "move", "Local 0 1", V{"31: Special object: Local"}, {}},
        {0, "move", "Weekend 0 1", {}, V{"Object Weekend does not support moves"}},
        {0, "rename", nullptr, V{"2: Missing specifications"}, {}},
        {0, "rename", "alice", V{"2: Missing new name specification"}, {}},
        {0, "rename", "ghost x", V{"27: Unknown object: ghost"}, {}},
        {0, "rename", "Local x", V{"31: Special object: Local"}, {}},
        {0, "rename", "alice bob", V{"25: Object name bob already exists"}, {}},
        {0, "rename", "Sales Staff", V{"25: Object name Staff already exists"}, {}},
        {0, "rename", "alice 1x", V{"23: Not a valid object name: 1x", "25: Object name 1x already exists"}, {}},
        {0, "rename", "alice description:",
         V{"2: Missing description", "25: Object name description: already exists"}, {}},
        {0, "rename", "Weekend FreeTime", V{"25: Object name FreeTime already exists"}, {}},
        {0, "rename", "Company/Research SalesDept",
         V{"25: Hierarchical name conflict: SalesDept", "25: Object name SalesDept already exists"}, {}},
        {0, "serialize", "ghost", V{"27: Unknown object: ghost"}, {}},
        {0, "serialize", nullptr, V{"2: Missing object specification"}, {}},
        {0, "glob", nullptr, V{"2: Missing object glob"}, {}},
        {2, "new", "person zed", V{"12: More level required"}, {}},
        {2, "add", "alice Staff", V{"12: More level required"}, {}},
        {2, "del", "Sales alice", V{"12: More level required"}, {}},
        {2, "collect", "alice", V{"12: More level required"}, {}},
        {2, "modify", "alice 0 'disable'", V{"12: More level required"}, {}},
        {2, "move", "alice 0 1", V{"12: More level required"}, {}},
        {2, "rename", "alice zed", V{"12: More level required"}, {}},
        {2, "serialize", "alice", {}, {}},
        {2, "glob", "a*", {}, {}},
    };
    const std::string before = policy_text();
    idl_user admin{const_cast<char *>("admin"), 0};
    for (const Row &r : rows) {
        SCOPED_TRACE(std::string(r.verb) + " " + (r.rest ? r.rest : "(nothing)") + " level " +
                     std::to_string(r.level));
        admin.level = r.level;
        idl->user = &admin;
        run(r.verb, r.rest);
        idl->user = nullptr;
        EXPECT_EQ(errors(), r.errors);
        EXPECT_EQ(warnings(), r.warnings);
        if (!r.errors.empty()) {
            EXPECT_EQ(event_count(), 0u) << events().front();
        }
        EXPECT_TRUE(policy_text() == before) << "the policy changed";
    }
}

/* A session that builds a rule set and takes it apart again, checked
 * through what serialize and glob answer and the events each change hands
 * to the host. */
TEST_F(Commands, ChangesBuildAndTakeApartThePolicy)
{
    play({
        /* The new object's event comes first, then those of what its
         * creation touched (a new user joins "Local"). */
        {"new person zed zed@corp.example.com Zed", {}, nullptr, 2},
    });
    EXPECT_EQ(static_cast<event_t *>(idl->events->data)->code, EVENT_CODE_OBJECT_NEW);
    play({
        {"serialize zed", {}, "<friendly>Zed</friendly>"},
        {"new group Night"},
        {"new time Late all@22:00-23:59"},
        {"serialize Late", {}, "@22:00-23:59</time>"},
        {"new node Company/Night/Shift"},
        {"serialize Company/Night", {}, "identifier='Shift'"},
        /* Memberships, a user placed in a node, and rules on the node and
         * on a person; the last waits for its target. */
        {"add zed Night"},
        {"serialize Night", {}, "=<group name='Night'><member type='single'>zed</member></group>"},
        {"add zed Company/Night/Shift"},
        {"add Competitor Company/Night/Shift 'action_block' 'direction_out' Late", {}, "index='0'"},
        {"add Everyone Company/Night/Shift 'action_pass'"},
        {"add Partners zed 'action_alert'"},
        {"add Auditors zed 'action_block'", {"WWeak reference: Auditors"}},
    });
    /* A placed user has its run-time user; a move reorders the rules. */
    EXPECT_NE(msnp_search_person("zed", 0)->user, nullptr);
    auto first_of = [&](const char *a, const char *b) {
        const std::string shift = run("serialize", "Company/Night/Shift");
        return shift.find(std::string("object='") + a + "'") < shift.find(std::string("object='") + b + "'");
    };
    EXPECT_TRUE(first_of("Competitor", "Everyone"));
    run("move", "Company/Night/Shift 1 0");
    EXPECT_TRUE(first_of("Everyone", "Competitor"));
    play({
        {"modify Company/Night/Shift Competitor 'disable' risk:4"},
        {"serialize Company/Night/Shift", {}, "<relation object='Competitor'"},
        {"serialize Company/Night/Shift", {}, "direction='out' risk='4' disable='1'>"},
        {"modify Company/Night/Shift contact: Competitor Outsiders"},
        {"serialize Company/Night/Shift", {}, "object='Outsiders'"},
        /* Person properties, relation words, a weak relation's words. */
        {"modify zed no_warnings: 1"},
        {"modify zed 0 'direction_in'"},
        {"modify zed Auditors 'direction_out'", {"WWeak object relation: Auditors"}},
        {"modify zed contact: Auditors 1bad", {"E23: Not a valid object name: 1bad"}},
        {"serialize zed", {}, "<attribute type='no_warnings'>1</attribute>"},
        {"serialize zed", {}, "direction='in'"},
        {"serialize zed", {}, "<object>&apos;direction_out&apos;</object>"},
        /* Creating the awaited object turns the weak relation into one. */
        {"new group Auditors"},
        {"serialize zed", {}, "<relation object='Auditors'"},
        {"serialize zed", {}, "action='block' direction='out'>"},
        /* Renames keep every reference and say so with one event. */
        {"rename Night Nightly", {}, nullptr, 1},
    });
    EXPECT_EQ(static_cast<event_t *>(idl->events->data)->code, EVENT_CODE_OBJECT_RENAME);
    play({
        {"glob Night*", {}, "name='Nightly'"},
        {"rename zed zoe"},
        {"serialize zed", {"E27: Unknown object: zed"}},
        {"serialize Nightly", {}, "=<group name='Nightly'><member type='single'>zoe</member></group>"},
        {"rename zoe description: \"Night watch\""},
        {"serialize zoe", {}, "<description>Night watch</description>"},
        /* del by position shifts the later relations up. */
        {"del zoe 0"},
        {"serialize zoe", {}, "!object='Partners'"},
        {"modify zoe 0 'action_pass'"},
        {"serialize zoe", {}, "<relation object='Auditors'"},
        {"serialize zoe", {}, "action='pass' direction='out'>"},
        {"del Nightly zoe"},
        {"serialize Nightly", {}, "=<group name='Nightly'/>"},
    });
    /* A time window is deleted by the text its form shows. */
    std::string window = run("serialize", "Late");
    window = window.substr(window.find("'relative'>") + 11);
    window = "del Late '" + window.substr(0, window.find('<')) + "'";
    play({
        {window.c_str()},
        {"serialize Late", {}, "!22:00"},
        /* collect destroys objects; references to them go with them. */
        {"collect Auditors Nightly ghost", {"WUnknown object: ghost"}},
    });
    int collected = 0;
    for (tqlist *l = idl->events; l; l = l->next)
        collected += static_cast<event_t *>(l->data)->code == EVENT_CODE_OBJECT_COLLECT;
    EXPECT_EQ(collected, 2);
    play({
        {"serialize zoe", {}, "!Auditors"},
        {"collect Company/Night zoe Late"},
        {"serialize zoe", {"E27: Unknown object: zoe"}},
        {"serialize Company/Night", {"E27: Unknown object: Company/Night"}},
    });
}

} // namespace
