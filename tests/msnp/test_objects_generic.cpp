// Generic policy objects: shared structure (creation, inclusion, weak
// names, destruction, renaming, XML form) and the IM bitmap kind.
#include "msnp/policy_script.h"
#include "tq3_msnp.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_task.h"

#include <stdlib.h>
#include <string.h>

namespace {

using Strings = std::vector<std::string>;

class GenericTest : public EntityTest {
protected:
    std::vector<event_t *> evs() const {
        std::vector<event_t *> out;
        for (tqlist *l = idl->events; l; l = l->next) out.push_back(static_cast<event_t *>(l->data));
        return out;
    }
    bool warned(const std::string &text) const {
        for (auto &w : warnings())
            if (w.find(text) != std::string::npos) return true;
        return false;
    }
    static Strings names(const tqlist *l) {
        Strings out;
        for (; l; l = l->next) out.emplace_back(static_cast<msnp_object_generic *>(l->data)->ident);
        return out;
    }
    static Strings weak_names(msnp_object_generic *o) {
        tqlist *keys = o->weak->keys_safe(o->weak);
        Strings out = texts(keys);
        tqlist_destroy(&keys, nullptr);
        return out;
    }
    static msnp_imbitmap_node *bits(msnp_object_generic *o) { return static_cast<msnp_imbitmap_node *>(o->data); }
};

using Words = std::vector<const char *>;
char **argv_of(Words &w) {
    w.push_back(nullptr);
    return const_cast<char **>(w.data());
}

iks *parse_xml(const char *text) {
    int err = 0;
    return iks_tree(text, 0, &err);
}

}  // namespace

// ---------------------------------------------------------------------
// Through the commands

/* Generic objects as an administrator makes them: inclusion of their own
 * kind, names awaited, what a destroyed object leaves, renames, and the
 * whole form. */
TEST_F(PolicyScript, GenericObjectsIncludeAwaitAndRename) {
    play({
        {"new time base"},
        {"new time combo base 'mo@08:00-09:00' later", {"WWeak reference: later"}},
        {"serialize combo", {}, "=<time identifier='combo'>\n<entry type='indirect'>base</entry>\n"
                                "<entry type='weak'>later</entry>\n"
                                "<entry type='data'><time type='relative'>mo@08:00-09:00</time></entry></time>"},
        {"new time later"},
        {"serialize combo", {}, "<entry type='indirect'>base</entry>\n<entry type='indirect'>later</entry>"},
        /* Another kind is never included. */
        {"new expr words"},
        {"new time t words", {"E20: Self reference"}},
        {"serialize t", {}, "=<time identifier='t'>\n</time>"},
        /* Inclusions and awaited names, added and deleted. */
        {"new time a"},
        {"new time b"},
        {"add b a", {}, nullptr, 1},
        {"serialize a", {}, "<entry type='indirect'>b</entry>"},
        {"del a b"},
        {"del a b", {"WNo references found: b"}},
        {"add ghost a", {"WWeak reference: ghost"}},
        {"del a ghost"},
        {"del a ghost", {"WNo references found: ghost"}},
        {"serialize a", {}, "=<time identifier='a'>\n</time>"},
        /* Destroyed, an included object is awaited again, and included
         * once more when it is made anew. */
        {"new time office"},
        {"new time week office"},
        {"collect office"},
        {"serialize week", {}, "<entry type='weak'>office</entry>"},
        {"new time office"},
        {"serialize week", {}, "<entry type='indirect'>office</entry>"},
        /* It leaves the objects it included and the relations it
         * narrowed; their owner is told. */
        {"new expr inner"},
        {"new expr outer inner '/bad/'"},
        {"collect outer"},
        {"serialize inner", {}, "=<expr identifier='inner'>\n</expr>"},
        {"new person alice alice@example.com"},
        {"new person bob bob@example.com"},
        {"new time lunch"},
        {"add bob alice lunch"},
        {"collect lunch", {}, nullptr, 2},
        {"serialize alice", {}, "!lunch"},
        /* Renames: descriptions, refused names, and a new name that an
         * object awaited. */
        {"rename t description:", {"E2: Missing description", "E25: Object name description: already exists"}},
        {"rename t description: \"office hours\""},
        {"serialize t", {}, "<description>office hours</description>"},
        {"rename t description: \"\""},
        {"rename t 9lives", {"E23: Not a valid object name: 9lives", "E25: Object name 9lives already exists"}},
        {"rename t alice", {"E25: Object name alice already exists"}},
        {"new time waiting fresh", {"WWeak reference: fresh"}},
        {"rename t fresh"},
        {"serialize waiting", {}, "<entry type='indirect'>fresh</entry>"},
        {"serialize fresh", {}, "=<time identifier='fresh'>\n</time>"},
        /* The whole form, in order. */
        {"new time inc"},
        {"new time form inc ghost2 '1000-2000'", {"WWeak reference: ghost2"}},
        {"rename form description: hours"},
        {"serialize form", {}, "=<time identifier='form'>\n<description>hours</description>\n"
                               "<entry type='indirect'>inc</entry>\n<entry type='weak'>ghost2</entry>\n"
                               "<entry type='data'><time type='absolute'>1000-2000</time></entry></time>"},
        {"new object o"},
        {"serialize o", {}, "=<object identifier='o'>\n</object>"},
    });
    /* A caller that holds the kind's table lock destroys without taking it. */
    msnp_object_generic *inner = msnp_search_expr("inner", MSNP_OBJECT_EXPR);
    ASSERT_NE(inner, nullptr);
    tqtable_wrlock(ents->exprs);
    EXPECT_EQ(msnp_destroy_object_generic(idl, inner, 1), 1);
    EXPECT_EQ(msnp_search_expr("inner", MSNP_OBJECT_EXPR), nullptr);
    tqtable_unlock(ents->exprs);
    EXPECT_EQ(msnp_serialize_object_generic(nullptr), nullptr);
}

// ---------------------------------------------------------------------
// XML form

TEST_F(GenericTest, DeserialiseRoundTrip) {
    msnp_new_object_imbitmap(idl, "base", nullptr);
    Words w = {"base", "ghost", "'command_pmm'", "'message_p2p'", "'datacast_nudge'"};
    msnp_object_generic *b = msnp_new_object_imbitmap(idl, "kinds", argv_of(w));
    msnp_rename_object_generic(idl, b, "description:", "types");
    std::string text = xml_text(msnp_serialize_object_generic(b));
    msnp_destroy_object_generic(nullptr, b, 0);
    ASSERT_EQ(msnp_search_imbitmap("kinds", 0), nullptr);

    iks *x = parse_xml(text.c_str());
    ASSERT_NE(x, nullptr);
    idl_parser_clear(idl);
    msnp_object_generic *back = msnp_deserialize_object_generic(idl, x);
    iks_delete(x);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(msnp_search_imbitmap("kinds", 0), back);
    EXPECT_STREQ(back->description, "types");
    EXPECT_EQ(names(back->sibs), Strings{"base"});
    EXPECT_EQ(weak_names(back), Strings{"ghost"});
    EXPECT_EQ(bits(back)->com_type, (unsigned)MSNP_COM_PMM);
    EXPECT_EQ(bits(back)->msg_type, (unsigned)MSNP_MESSAGE_P2P);
    EXPECT_EQ(bits(back)->dct_type, (unsigned)MSNP_DATACAST_NUDGE);
    EXPECT_EQ(xml_text(msnp_serialize_object_generic(back)), text);
    ASSERT_FALSE(evs().empty());
    EXPECT_EQ(evs()[0]->code, EVENT_CODE_OBJECT_NEW);
}

TEST_F(GenericTest, DeserialiseReportsOddNodes) {
    iks *x = parse_xml("<time>\n</time>");
    EXPECT_EQ(msnp_deserialize_object_generic(idl, x), nullptr);
    EXPECT_EQ(warnings(), Strings{"Missing object identifier: time"});
    iks_delete(x);

    idl_parser_clear(idl);
    x = parse_xml("<time identifier=\"t\"><bogus/><entry><time type=\"relative\">mo@08:00-09:00</time></entry>"
                  "<entry type=\"data\"><nottime>1</nottime></entry></time>");
    msnp_object_generic *t = msnp_deserialize_object_generic(idl, x);
    iks_delete(x);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(warned("Unknown node for object specification"));
    EXPECT_TRUE(warned("Entry missing type definition: t"));
    EXPECT_TRUE(warned("Not a valid node"));
    EXPECT_EQ(tqlist_length(static_cast<tqlist *>(t->data)), 1u);

    idl_parser_clear(idl);
    x = parse_xml("<gadget identifier=\"g\"/>");
    EXPECT_EQ(msnp_deserialize_object_generic(idl, x), nullptr);
    EXPECT_EQ(idl->last_code, 26);
    iks_delete(x);

    idl_parser_clear(idl);
    x = parse_xml("<time identifier=\"t\"/>");
    EXPECT_EQ(msnp_deserialize_object_generic(idl, x), nullptr);
    EXPECT_EQ(idl->last_code, 25);
    iks_delete(x);
}

// ---------------------------------------------------------------------
// IM bitmaps

TEST_F(GenericTest, ImbitmapLiteralsSetAndClearBits) {
    msnp_object_generic *b = msnp_new_object_imbitmap(idl, "b", nullptr);
    char pmm[] = "command_pmm", p2p[] = "message_p2p", cam[] = "invite_webcam", wink[] = "datacast_wink",
         bad[] = "bogus";
    EXPECT_EQ(msnp_add_object_imbitmap_literal(idl, b, pmm), 1);
    EXPECT_EQ(msnp_add_object_imbitmap_literal(idl, b, p2p), 1);
    EXPECT_EQ(msnp_add_object_imbitmap_literal(idl, b, cam), 1);
    EXPECT_EQ(msnp_add_object_imbitmap_literal(idl, b, wink), 1);
    EXPECT_EQ(bits(b)->com_type, (unsigned)MSNP_COM_PMM);
    EXPECT_EQ(bits(b)->msg_type, (unsigned)MSNP_MESSAGE_P2P);
    EXPECT_EQ(bits(b)->inv_type, (unsigned)MSNP_INVITE_WEBCAM);
    EXPECT_EQ(bits(b)->dct_type, (unsigned)MSNP_DATACAST_WINK);
    EXPECT_EQ(msnp_add_object_imbitmap_literal(idl, b, bad), 0);
    EXPECT_EQ(warnings(), Strings{"Unknown bitmap definition: bogus"});
    EXPECT_EQ(msnp_del_object_imbitmap_literal(idl, b, p2p), 1);
    EXPECT_EQ(bits(b)->msg_type, 0u);
}

TEST_F(GenericTest, ImbitmapEncodingOrderAndTheAllName) {
    msnp_object_generic *b = msnp_new_object_imbitmap(idl, "b", nullptr);
    char all[] = "datacast_all";
    msnp_add_object_imbitmap_literal(idl, b, all);
    EXPECT_EQ(bits(b)->dct_type, 0xFFFFFFFFu);
    iks *data = msnp_encodedata_object_imbitmap(b->data);
    EXPECT_EQ(xml_text(data),
              "<data><acl>datacast_wink</acl><acl>datacast_nudge</acl><acl>datacast_action</acl></data>");
    msnp_imbitmap_node n{};
    n.com_type = MSNP_COM_CALL | MSNP_COM_LIST;
    n.msg_type = MSNP_MESSAGE_EMOTICON;
    n.inv_type = MSNP_INVITE_FILETRANSFER;
    n.dct_type = MSNP_DATACAST_NUDGE;
    EXPECT_EQ(xml_text(msnp_encodedata_object_imbitmap(&n)),
              "<data><acl>command_make_call</acl><acl>command_list_user</acl>"
              "<acl>message_emoticon</acl><acl>invite_file_transfer</acl><acl>datacast_nudge</acl></data>");
    /* Every bit of a full set is looked up, also those no type names. */
    for (iks *section : {msnp_serialize_relation_com(~0u), msnp_serialize_relation_message(~0u),
                         msnp_serialize_relation_invite(~0u), msnp_serialize_relation_datacast(~0u)}) {
        std::string text = xml_text(section);
        EXPECT_NE(text.find("_"), std::string::npos) << text;
    }
}

TEST_F(GenericTest, ImbitmapDecoding) {
    iks *acl = parse_xml("<acl>message_ink</acl>");
    char *lit = msnp_decodedata_object_imbitmap(idl, acl, 0);
    EXPECT_STREQ(lit, "'message_ink'");
    free(lit);
    iks_delete(acl);
    iks *other = parse_xml("<thing>x</thing>");
    EXPECT_EQ(msnp_decodedata_object_imbitmap(idl, other, 0), nullptr);
    EXPECT_EQ(warnings(), Strings{"Unknown node: thing"});
    iks_delete(other);
}

TEST_F(GenericTest, IncludedImbitmapMatches) {
    Words inner_words = {"'invite_file_transfer'", "'command_add_contact'"};
    msnp_new_object_imbitmap(idl, "files", argv_of(inner_words));
    Words outer_words = {"'message_plaintext'", "files"};
    msnp_new_object_imbitmap(idl, "chat", argv_of(outer_words));
    msnp_person *owner = new_msnp_person(nullptr, "alice", "alice@example.com", nullptr);
    msnp_person *peer = new_msnp_person(nullptr, "bob", "bob@example.com", nullptr);
    Words perm = {"chat"};
    msnp_relates *rel = relates_to(idl, owner, peer, argv_of(perm), MSNP_OBJECT_PERSON);
    ASSERT_NE(rel, nullptr);
    ASSERT_EQ(names(rel->imbitmaps), Strings{"chat"});

    task_struct task{};
    EXPECT_EQ(search_imbitmap_for_invitation_type(&task, rel->imbitmaps, MSNP_INVITE_FILETRANSFER), TQ_MATCH_PASS);
    tqlist_destroy_without_refs(&task.lda_temp);
    EXPECT_EQ(search_imbitmap_for_command_type(&task, rel->imbitmaps, MSNP_COM_ADD), TQ_MATCH_PASS);
    tqlist_destroy_without_refs(&task.lda_temp);
    EXPECT_EQ(search_imbitmap_for_message_type(&task, rel->imbitmaps, MSNP_MESSAGE_TEXTPLAIN), TQ_MATCH_PASS);
    tqlist_destroy_without_refs(&task.lda_temp);
    EXPECT_EQ(search_imbitmap_for_invitation_type(&task, rel->imbitmaps, MSNP_INVITE_WEBCAM), TQ_MATCH_NONE);
    /* Only "chat" is remembered: "files" includes nothing to come back by. */
    EXPECT_EQ(tqlist_length(task.lda_temp), 1u);
    tqlist_destroy_without_refs(&task.lda_temp);
    EXPECT_EQ(search_imbitmap_for_datacast_type(&task, rel->imbitmaps, MSNP_DATACAST_NUDGE), TQ_MATCH_NONE);
    tqlist_destroy_without_refs(&task.lda_temp);
}

TEST_F(GenericTest, ImbitmapInclusionCycleEnds) {
    msnp_object_generic *a = msnp_new_object_imbitmap(idl, "a", nullptr);
    msnp_object_generic *b = msnp_new_object_imbitmap(idl, "b", nullptr);
    msnp_add_object_generic(idl, a, b);
    msnp_add_object_generic(idl, b, a);
    msnp_add_object_generic(idl, a, a);
    tqlist *maps = nullptr;
    tqlist_insert_end(&maps, a);
    task_struct task{};
    EXPECT_EQ(search_imbitmap_for_message_type(&task, maps, MSNP_MESSAGE_INK), TQ_MATCH_NONE);
    EXPECT_EQ(tqlist_length(task.lda_temp), 2u);
    tqlist_destroy_without_refs(&task.lda_temp);
    tqlist_destroy_without_refs(&maps);
}
