/* IM bitmap objects: sets of command classes, content types, invited
 * applications and datacast kinds, held as bits of the type tables. A
 * literal is one friendly name of those tables. */
#include <iksemel.h>

#include <stdlib.h>
#include <string.h>

#include "tq3_msnp.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_xml.h"
#include "tqidl.h"

void msnp_destructor_imbitmap(void *data) {
    free(data);
}

/* The bits a type name stands for and the field that holds them; the
 * command classes are tried first, then content types, invitations and
 * datacasts. */
static unsigned *literal_field(msnp_imbitmap_node *bits, const char *name, unsigned *value) {
    const msnp_com_type *com = msnp_com_type_search_symbol(name);
    if (com->type != MSNP_COM_NONE) {
        *value = (unsigned)com->type;
        return &bits->com_type;
    }
    const msnp_message_ctype *msg = msnp_message_search_friendly_name(name);
    if (msg->type != MSNP_MESSAGE_UNKNOWN) {
        *value = (unsigned)msg->type;
        return &bits->msg_type;
    }
    const msnp_invite_itype *inv = msnp_invite_search_friendly_name(name);
    if (inv->type != MSNP_INVITE_UNKNOWN) {
        *value = (unsigned)inv->type;
        return &bits->inv_type;
    }
    const msnp_datacast *dct = msnp_datacast_search_friendly_name(name);
    if (dct->type != MSNP_DATACAST_UNKNOWN) {
        *value = (unsigned)dct->type;
        return &bits->dct_type;
    }
    return nullptr;
}

static int change_literal(idl_parser *idl, msnp_object_generic *obj, char *literal, int set) {
    if (!obj || !obj->data)
        return 0;
    unsigned value = 0;
    unsigned *field = literal ? literal_field((msnp_imbitmap_node *)obj->data, literal, &value) : nullptr;
    if (!field) {
        if (idl)
            idl->warn(idl, "Unknown bitmap definition: %s", literal ? literal : "");
        return 0;
    }
    if (set)
        *field |= value;
    else
        *field &= ~value;
    return 1;
}

int msnp_add_object_imbitmap_literal(idl_parser *idl, msnp_object_generic *obj, char *literal) {
    return change_literal(idl, obj, literal, 1);
}

int msnp_del_object_imbitmap_literal(idl_parser *idl, msnp_object_generic *obj, char *literal) {
    return change_literal(idl, obj, literal, 0);
}

/* The "acl" children of an access-list section (as relations build them)
 * move into `x`; an empty section adds nothing. */
static void append_section(iks *x, iks *section) {
    if (!section)
        return;
    for (iks *child = iks_child(section); child; child = iks_next(child))
        iks_insert_node(x, iks_copy_within(child, iks_stack(x)));
    iks_delete(section);
}

iks *msnp_encodedata_object_imbitmap(void *data) {
    iks *x = iks_new("data");
    if (!x)
        return nullptr;
    const msnp_imbitmap_node *bits = (const msnp_imbitmap_node *)data;
    if (!bits)
        return x;
    append_section(x, msnp_serialize_relation_com(bits->com_type));
    append_section(x, msnp_serialize_relation_message(bits->msg_type));
    append_section(x, msnp_serialize_relation_invite(bits->inv_type));
    append_section(x, msnp_serialize_relation_datacast(bits->dct_type));
    return x;
}

char *msnp_decodedata_object_imbitmap(idl_parser *idl, iks *node, size_t size) {
    (void)size;
    if (!node || iks_type(node) != IKS_TAG)
        return nullptr;
    if (strcmp(iks_name(node), "acl") != 0) {
        if (idl)
            idl->warn(idl, "Unknown node: %s", iks_name(node));
        return nullptr;
    }
    const char *text = msnp_xml_entry_text(idl, node);
    if (!text)
        return nullptr;
    return msnp_quote_literal(text);
}
