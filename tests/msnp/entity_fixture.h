/* A fresh registry per test, a gathering parser, and small helpers to read
 * what the parser gathered and to serialise objects as text. */
#ifndef TESTS_MSNP_ENTITY_FIXTURE_H
#define TESTS_MSNP_ENTITY_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tq3_msnp.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_rtree.h"

class EntityTest : public ::testing::Test {
protected:
    tq3_module *self = nullptr;
    idl_parser *idl = nullptr;

    void SetUp() override
    {
        self = tq3_module_new(nullptr);
        ASSERT_NE(self, nullptr);
        ASSERT_NE(msnp_entities_new(self), nullptr);
        idl = idl_parser_new();
        ASSERT_NE(idl, nullptr);
    }

    void TearDown() override
    {
        msnp_entities_destroy(ents);
        EXPECT_EQ(ents, nullptr);
        idl_parser_destroy(idl);
        tq3_module_destroy(self);
    }

    static std::vector<std::string> texts(const tqlist *l)
    {
        std::vector<std::string> out;
        for (; l; l = l->next)
            out.emplace_back(static_cast<const char *>(l->data));
        return out;
    }

    std::vector<std::string> errors() const { return texts(idl->errors); }
    std::vector<std::string> warnings() const { return texts(idl->warnings); }

    std::vector<std::string> events() const
    {
        std::vector<std::string> out;
        for (tqlist *l = idl->events; l; l = l->next)
            out.emplace_back(static_cast<event_t *>(l->data)->text);
        return out;
    }

    size_t event_count() const { return tqlist_length(idl->events); }

    /* Text of an element; the element is deleted. */
    static std::string xml_text(iks *x)
    {
        if (!x)
            return "";
        std::string s = iks_string(iks_stack(x), x);
        iks_delete(x);
        return s;
    }

    static std::string person_xml(msnp_person *p) { return xml_text(msnp_serialize_object_single(p, WITH_NONE, nullptr, nullptr)); }
    static std::string group_xml(msnp_group *g) { return xml_text(msnp_serialize_object_group(g)); }

    msnp_person *user(const char *ident, const char *handle)
    {
        return new_msnp_person(nullptr, ident, handle, nullptr);
    }
    msnp_person *super(const char *ident) { return new_msnp_person(nullptr, ident, nullptr, nullptr); }

    /* Hangs `child` under `parent` as the tree code does. */
    static void attach(msnp_rtree *parent, msnp_rtree *child)
    {
        tqlist_insert_end(&parent->siblings, child);
        child->backref = parent;
        child->refs = 1;
    }

    /* Places a user person in a node with both back-references. */
    static msnp_user *place(msnp_rtree *node, msnp_person *p)
    {
        tqlist_insert_end(&node->people, p);
        tqlist_insert_begin(&p->rtree_backref, node);
        return new_msn_user(p);
    }

    static std::vector<std::string> member_names(msnp_group *g)
    {
        std::vector<std::string> out;
        for (tqlist *l = g->glist; l; l = l->next) {
            auto *rec = static_cast<msnp_group_member *>(l->data);
            out.emplace_back(rec->type == MSNP_OBJECT_PERSON ? static_cast<msnp_person *>(rec->member)->ident
                                                             : static_cast<msnp_group *>(rec->member)->ident);
        }
        return out;
    }
};

#endif
