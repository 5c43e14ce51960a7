/* Start, reload, loading text that is not a document, the document of an
 * empty policy, reset and the statistics files of every user. */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tq3_msnp.h"
#include "tq3_msnp_kinds.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_rtree.h"
#include "variables.h"

namespace {

class EntryTest : public ::testing::Test {
protected:
    tq3_module *self = tq3_module_new(nullptr);
    idl_parser *idl = idl_parser_new();

    void TearDown() override
    {
        ents = static_cast<msnp_entities *>(self->block);
        msnp_entities_destroy(ents);
        idl_parser_destroy(idl);
        tq3_module_destroy(self);
    }
    std::string dump()
    {
        char *text = msnp_getconfig(self, idl);
        std::string out = text ? text : "";
        free(text);
        return out;
    }
};

const char *const kEmptyDocument = "<trevalquin version='1.0'><object-list><group name='Local' "
                                   "internal='1'/></object-list>\n<relation-trees>\n\n</relation-trees>"
                                   "</trevalquin>";

TEST_F(EntryTest, InitBuildsTheRegistryOnce)
{
    self->version = 0;
    EXPECT_EQ(msnp_init(self, nullptr), 1);
    EXPECT_EQ(self->block, nullptr);
    self->version = 1;
    ASSERT_EQ(msnp_init(self, nullptr), 0);
    msnp_entities *first = ents;
    EXPECT_EQ(self->block, first);
    EXPECT_STREQ(first->root->ident, "root");
    EXPECT_STREQ(first->group_local->ident, "Local");
    for (tqtable *t : {first->people, first->users, first->busers, first->times, first->exprs,
                       first->imbitmaps, first->objects})
        EXPECT_EQ(tqtable_count(t), 0u);
    EXPECT_EQ(tqtable_count(first->groups), 1u);

    EXPECT_EQ(msnp_init(self, nullptr), 0);
    EXPECT_EQ(ents, first);
    ents = nullptr;
    msnp_reload(self, nullptr);
    EXPECT_EQ(ents, first);
    EXPECT_EQ(dump(), kEmptyDocument);
}

TEST_F(EntryTest, TextThatIsNotADocumentChangesNothing)
{
    ASSERT_EQ(msnp_init(self, nullptr), 0);
    ASSERT_EQ(msnp_setconfig(self, idl, "<t><object-list><person type='1' name='s'/></object-list></t>"), 1);
    const std::string before = dump();
    /* Two top-level elements are no document either; the XML reader would
     * have taken the last one and lost the memory of the others. */
    for (const char *text : {"", "not xml", "<t>", "<t><object-list></t>",
                             "<t><object-list><person type='1' name='u'/></object-list>",
                             "<t/><t><object-list><person type='1' name='u'/></object-list></t>",
                             "<!-- only a comment -->", "<?xml version='1.0'?>"})
        EXPECT_EQ(msnp_setconfig(self, idl, text), 0) << text;
    EXPECT_EQ(msnp_setconfig(self, idl, nullptr), 0);
    EXPECT_EQ(dump(), before);
    EXPECT_EQ(idl->warnings, nullptr);
    EXPECT_EQ(idl->errors, nullptr);
}

} // namespace
