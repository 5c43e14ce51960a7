/* The example policy survives being saved and loaded again: the document
 * written after loading it loads into a fresh registry and is written back
 * byte for byte. */
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tq3_msnp.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"

namespace {

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/* A started module with a gathering parser set up as the host sets it
 * while it hands over the stored configuration. */
struct StartedModule {
    tq3_module *self = tq3_module_new(nullptr);
    idl_parser *idl = idl_parser_new();

    StartedModule()
    {
        EXPECT_EQ(msnp_init(self, nullptr), 0);
        idl->import = 1;
    }
    ~StartedModule()
    {
        ents = static_cast<msnp_entities *>(self->block);
        msnp_entities_destroy(ents);
        idl_parser_destroy(idl);
        tq3_module_destroy(self);
    }
    std::string load_and_dump(const std::string &doc)
    {
        EXPECT_EQ(msnp_setconfig(self, idl, doc.c_str()), 1);
        char *text = msnp_getconfig(self, idl);
        std::string out = text ? text : "";
        free(text);
        return out;
    }
};

TEST(ConfigRoundTrip, ExamplePolicyReloadsByteForByte)
{
    const std::string policy = read_file(std::string(TQ_SOURCE_DIR) + "/examples/policy.xml");
    ASSERT_FALSE(policy.empty());

    std::string d1;
    {
        StartedModule first;
        d1 = first.load_and_dump(policy);
        /* The example is clean: nothing is refused, nothing waits for
         * a name (but the group member it shows waiting). */
        EXPECT_EQ(first.idl->errors, nullptr);
        for (tqlist *l = first.idl->warnings; l; l = l->next)
            ADD_FAILURE() << static_cast<const char *>(l->data);
        EXPECT_EQ(first.idl->events, nullptr);
    }
    ASSERT_FALSE(d1.empty());

    /* Every part of the example made it into the document. */
    for (const char *part : {"<expr identifier='DataLeaks'>", "<time identifier='FreeTime'>",
                             "<imbitmap identifier='Media'>", "<object identifier='AuditTags'>",
                             "<person type='2' name='Outsiders'>", "<group name='Staff'>",
                             "<group name='Local' internal='1'>", "<person type='1' name='Restricted'>",
                             "<entry type='indirect'>LeakPatterns</entry>", "<member type='weak'>Interns</member>",
                             "<relation object='Contractors'", "<super>Restricted</super>",
                             "<node identifier='Lab'>", "<user>carol</user>", "disable='1'",
                             "threshold='7'", "Research &amp; Development &lt;R&amp;D&gt;"})
        EXPECT_NE(d1.find(part), std::string::npos) << part;

    std::string d2;
    {
        StartedModule second;
        d2 = second.load_and_dump(d1);
        EXPECT_EQ(second.idl->errors, nullptr);
    }
    EXPECT_EQ(d2, d1);
}

} // namespace
