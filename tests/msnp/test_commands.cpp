/* The reading management commands over the example policy: glob by
 * pattern, serialize by kind, and their refusals. */
#include <fstream>
#include <sstream>

#include "msnp/entity_fixture.h"
#include "tq3_msnp_commands.h"

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
    EXPECT_EQ(run("serialize", "Company 0").find("identifier='SalesDept'"), std::string::npos) << "depth 0";

    run("serialize", "ghost");
    EXPECT_EQ(errors(), std::vector<std::string>{"27: Unknown object: ghost"});
    run("serialize", nullptr);
    EXPECT_EQ(errors(), std::vector<std::string>{"2: Missing object specification"});
    run("glob", nullptr);
    EXPECT_EQ(errors(), std::vector<std::string>{"2: Missing object glob"});
    run("new", "person x");
    EXPECT_EQ(errors(), std::vector<std::string>{"30: Unsupported operation: new"});
}

} // namespace
