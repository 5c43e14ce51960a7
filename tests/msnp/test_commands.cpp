/* The management commands over the example policy: reading ones (glob,
 * serialize), the ones that change the policy, and every refusal. */
#include <fstream>
#include <sstream>

#include "msnp/entity_fixture.h"
#include "tq3_msnp_config.h"
#include "tq3_msnp_module.h"

namespace {

class Commands : public EntityTest {
public:
    void SetUp() override
    {
        EntityTest::SetUp();
        std::ifstream in(std::string(TQ_SOURCE_DIR) + "/examples/policy.xml");
        std::stringstream doc;
        doc << in.rdbuf();
        ASSERT_EQ(msnp_setconfig(self, idl, doc.str().c_str()), 1);
    }

    /* The answer of `verb words...` through the module's entry point. */
    std::string run(const char *verb, const char *rest)
    {
        idl_parser_clear(idl);
        char *args[] = {const_cast<char *>(verb), const_cast<char *>(rest), nullptr};
        idl->args = args;
        msnp_config(self, idl);
        idl->args = nullptr;
        return idl->data ? idl->data : "";
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

/* A session that builds a rule set from nothing and takes it apart again,
 * checked through what serialize and glob answer and the events each
 * change hands to the host. */
TEST_F(Commands, ChangesBuildAndTakeApartThePolicy)
{
    auto ok = [&](const char *verb, const char *rest) {
        std::string out = run(verb, rest);
        EXPECT_TRUE(errors().empty()) << verb << " " << rest << ": " << errors().front();
        return out;
    };
    auto has = [](const std::string &text, const char *part) { return text.find(part) != std::string::npos; };
    /* The opening tag of the first relation to `object` in `text`. */
    auto relation = [](const std::string &text, const std::string &object) {
        size_t at = text.find("<relation object='" + object + "'");
        return at == std::string::npos ? std::string() : text.substr(at, text.find('>', at) - at);
    };

    /* The new object's event comes first, before the events of what its
     * creation touched (a new user joins "Local"). */
    ok("new", "person zed zed@corp.example.com Zed");
    ASSERT_EQ(event_count(), 2u);
    EXPECT_EQ(static_cast<event_t *>(idl->events->data)->code, EVENT_CODE_OBJECT_NEW);
    EXPECT_TRUE(has(ok("serialize", "zed"), "<friendly>Zed</friendly>"));
    ok("new", "group Night");
    ok("new", "time Late all@22:00-23:59");
    EXPECT_TRUE(has(ok("serialize", "Late"), "@22:00-23:59</time>")) << idl->data;
    ok("new", "node Company/Night/Shift");
    EXPECT_TRUE(has(ok("serialize", "Company/Night"), "identifier='Shift'"));

    /* Memberships, a user placed in a node, and a rule on the node. */
    ok("add", "zed Night");
    EXPECT_EQ(member_names(msnp_search_group("Night", 0)), std::vector<std::string>{"zed"});
    ok("add", "zed Company/Night/Shift");
    ASSERT_NE(msnp_search_person("zed", 0)->user, nullptr) << "a placed user gets its run-time user";
    std::string reply = ok("add", "Competitor Company/Night/Shift 'action_block' 'direction_out' Late");
    EXPECT_TRUE(has(reply, "index='0'")) << reply;
    ok("add", "Everyone Company/Night/Shift 'action_pass'");
    /* A person's own rules, in order; the second waits for its target. */
    ok("add", "Partners zed 'action_alert'");
    run("add", "Auditors zed 'action_block'");
    EXPECT_EQ(warnings(), std::vector<std::string>{"Weak reference: Auditors"});

    std::string shift = ok("serialize", "Company/Night/Shift");
    EXPECT_LT(shift.find("object='Competitor'"), shift.find("object='Everyone'")) << shift;
    ok("move", "Company/Night/Shift 1 0");
    shift = ok("serialize", "Company/Night/Shift");
    EXPECT_LT(shift.find("object='Everyone'"), shift.find("object='Competitor'")) << shift;
    ok("modify", "Company/Night/Shift Competitor 'disable' risk:4");
    shift = ok("serialize", "Company/Night/Shift");
    EXPECT_TRUE(has(relation(shift, "Competitor"), "risk='4' disable='1'")) << shift;
    ok("modify", "Company/Night/Shift contact: Competitor Outsiders");
    EXPECT_TRUE(has(ok("serialize", "Company/Night/Shift"), "object='Outsiders'"));

    /* Person properties, relation words, and a weak relation's words. */
    ok("modify", "zed no_warnings: 1");
    ok("modify", "zed 0 'direction_in'");
    run("modify", "zed Auditors 'direction_out'");
    EXPECT_EQ(warnings(), std::vector<std::string>{"Weak object relation: Auditors"});
    run("modify", "zed contact: Auditors 1bad");
    EXPECT_EQ(errors(), std::vector<std::string>{"23: Not a valid object name: 1bad"});
    std::string zed = ok("serialize", "zed");
    EXPECT_TRUE(has(zed, "<attribute type='no_warnings'>1</attribute>")) << zed;
    EXPECT_TRUE(has(zed, "direction='in'")) << zed;
    EXPECT_TRUE(has(zed, "<object>&apos;direction_out&apos;</object>")) << zed;
    /* Creating the awaited object turns the weak relation into a real one. */
    ok("new", "group Auditors");
    zed = ok("serialize", "zed");
    EXPECT_TRUE(has(relation(zed, "Auditors"), "action='block' direction='out'")) << zed;

    /* Renames keep every reference and say so with one event. */
    ok("rename", "Night Nightly");
    ASSERT_EQ(event_count(), 1u);
    EXPECT_EQ(static_cast<event_t *>(idl->events->data)->code, EVENT_CODE_OBJECT_RENAME);
    EXPECT_TRUE(has(ok("glob", "Night*"), "name='Nightly'"));
    ok("rename", "zed zoe");
    EXPECT_EQ(msnp_search_person("zed", 0), nullptr);
    EXPECT_EQ(member_names(msnp_search_group("Nightly", 0)), std::vector<std::string>{"zoe"});
    ok("rename", "zoe description: \"Night watch\"");
    EXPECT_TRUE(has(ok("serialize", "zoe"), "<description>Night watch</description>"));

    /* del by position shifts the later relations up. */
    zed = ok("serialize", "zoe");
    ASSERT_TRUE(has(zed, "object='Partners'") && has(zed, "object='Auditors'")) << zed;
    run("del", "zoe 0");
    EXPECT_TRUE(errors().empty() && warnings().empty());
    zed = ok("serialize", "zoe");
    EXPECT_FALSE(has(zed, "object='Partners'")) << zed;
    run("modify", "zoe 0 'action_pass'");
    EXPECT_TRUE(has(relation(ok("serialize", "zoe"), "Auditors"), "action='pass'"));
    run("del", "Nightly zoe");
    EXPECT_TRUE(member_names(msnp_search_group("Nightly", 0)).empty());
    std::string late = ok("serialize", "Late");
    std::string window = late.substr(late.find("'relative'>") + 11);
    window = "'" + window.substr(0, window.find('<')) + "'";
    run("del", ("Late " + window).c_str());
    EXPECT_TRUE(warnings().empty()) << warnings().front();
    EXPECT_FALSE(has(ok("serialize", "Late"), "22:00")) << idl->data;

    /* collect destroys objects, and references to them go with them. */
    run("collect", "Auditors Nightly ghost");
    EXPECT_EQ(warnings(), std::vector<std::string>{"Unknown object: ghost"});
    EXPECT_TRUE(errors().empty());
    int collected = 0;
    for (tqlist *l = idl->events; l; l = l->next)
        collected += static_cast<event_t *>(l->data)->code == EVENT_CODE_OBJECT_COLLECT;
    EXPECT_EQ(collected, 2);
    EXPECT_FALSE(has(ok("serialize", "zoe"), "Auditors"));
    ok("collect", "Company/Night zoe Late");
    EXPECT_EQ(msnp_search_person("zoe", 0), nullptr);
    run("serialize", "Company/Night");
    EXPECT_EQ(idl->last_code, 27);
}

} // namespace
