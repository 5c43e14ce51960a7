/* Shared structure of the generic policy objects (time windows,
 * expressions, IM type sets, object-objects): registry lookups, inclusion
 * of one object by another, weak inclusions awaiting a name, destruction,
 * renaming, the XML form, and the IM type-set searches used when a message
 * is matched.
 *
 * Inclusions are recorded on both sides (`sibs` on the includer, `sibsref`
 * on the included) so that destroying either side can unlink the other. */
#include <iksemel.h>

#include <stdlib.h>
#include <string.h>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_config.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_rtree.h"
#include "tq3_msnp_task.h"
#include "tq3_msnp_xml.h"
#include "tqidl.h"

/* ------------------------------------------------------------------ */
/* Kinds                                                               */
/* ------------------------------------------------------------------ */

/* The generic kinds: the name they are written with, their table in the
 * registry and the list of a relation that holds them. */
namespace {
struct generic_kind {
    msnp_object_type type;
    const char *name;
    tqtable *msnp_entities::*table;
    tqlist *msnp_relates::*in_relation;
};

constexpr generic_kind generic_kinds[] = {
    {MSNP_OBJECT_TIME, "time", &msnp_entities::times, &msnp_relates::times},
    {MSNP_OBJECT_IMBITMAP, "imbitmap", &msnp_entities::imbitmaps, &msnp_relates::imbitmaps},
    {MSNP_OBJECT_EXPR, "expr", &msnp_entities::exprs, &msnp_relates::exprs},
    {MSNP_OBJECT_OBJECT, "object", &msnp_entities::objects, &msnp_relates::objects},
};

const generic_kind *generic_kind_of(msnp_object_type type)
{
    for (const generic_kind &k : generic_kinds)
        if (k.type == type)
            return &k;
    return nullptr;
}
} // namespace

tqtable *msnp_generic_kind_table(msnp_object_type type) {
    const generic_kind *k = generic_kind_of(type);
    return ents && k ? ents->*(k->table) : nullptr;
}

const char *msnp_generic_kind_name(msnp_object_type type) {
    const generic_kind *k = generic_kind_of(type);
    return k ? k->name : "unknown";
}

/* The list of a relation that holds objects of `type`. */
static tqlist **relation_list_for(msnp_relates *relation, msnp_object_type type) {
    const generic_kind *k = generic_kind_of(type);
    return k ? &(relation->*(k->in_relation)) : nullptr;
}

/* ------------------------------------------------------------------ */
/* Lookups                                                             */
/* ------------------------------------------------------------------ */

static msnp_object_generic *search_kind(msnp_object_type type, const char *ident, int mask) {
    tqtable *table = msnp_generic_kind_table(type);
    if (!table || !ident)
        return nullptr;
    if (mask & type)
        return (msnp_object_generic *)table->get(table, ident);
    return (msnp_object_generic *)table->get_safe(table, ident);
}

msnp_object_generic *msnp_search_time(const char *ident, int mask) {
    return search_kind(MSNP_OBJECT_TIME, ident, mask);
}

msnp_object_generic *msnp_search_expr(const char *ident, int mask) {
    return search_kind(MSNP_OBJECT_EXPR, ident, mask);
}

msnp_object_generic *msnp_search_imbitmap(const char *ident, int mask) {
    return search_kind(MSNP_OBJECT_IMBITMAP, ident, mask);
}

msnp_object_generic *msnp_search_object(const char *ident, int mask) {
    return search_kind(MSNP_OBJECT_OBJECT, ident, mask);
}

/* ------------------------------------------------------------------ */
/* Events                                                              */
/* ------------------------------------------------------------------ */

void msnp_event_object_generic_data(idl_parser *idl, msnp_object_generic *obj) {
    /* Serialising is not free; skip it when nobody would get the event. */
    if (obj && msnp_events_wanted(idl))
        msnp_event_object_data(idl, msnp_serialize_object_generic(obj));
}


/* ------------------------------------------------------------------ */
/* Creation                                                            */
/* ------------------------------------------------------------------ */

msnp_object_generic *msnp_new_object_generic(idl_parser *idl, msnp_object_generic *generic, char **args) {
    if (!generic || !generic->ident)
        return nullptr;
    tqtable *table = msnp_generic_kind_table(generic->type);
    msnp_object_generic *obj = (msnp_object_generic *)calloc(1, sizeof *obj);
    tqtable *weak = new_tqtable(16);
    if (!table || !obj || !weak) {
        free(obj);
        if (weak)
            tqtable_destroy(weak);
        return nullptr;
    }
    /* The object takes over the template's name, data and operations. */
    *obj = *generic;
    obj->backref = nullptr;
    obj->sibs = nullptr;
    obj->sibsref = nullptr;
    obj->weak = weak;
    obj->wdirty = 0;
    obj->objtable = table;
    generic->ident = nullptr;
    generic->description = nullptr;
    generic->data = nullptr;

    if (!table->set_unique_safe(table, obj->ident, obj)) {
        /* The name is taken; the caller checked names, so this is a race
         * lost to a concurrent creation. Leave no trace. */
        if (idl)
            idl->error(idl, 25, "Object identifier already exists: %s", obj->ident);
        tqtable_destroy(obj->weak);
        if (obj->destructor)
            obj->destructor(obj->data);
        else
            tqlist_destroy((tqlist **)&obj->data, nullptr);
        free(obj->ident);
        free(obj->description);
        free(obj);
        return nullptr;
    }
    msnp_resolve_weaks_object_generic(idl, obj);
    for (char **arg = args; arg && *arg; ++arg)
        msnp_add_object_dest(idl, obj, obj->type, *arg, nullptr, nullptr);
    return obj;
}

/* ------------------------------------------------------------------ */
/* Inclusion                                                           */
/* ------------------------------------------------------------------ */

int msnp_add_object_generic(idl_parser *idl, msnp_object_generic *dest, msnp_object_generic *orig) {
    if (!dest || !orig)
        return 0;
    tqlist_insert_end(&dest->sibs, orig);
    tqlist_insert_begin(&orig->sibsref, dest);
    msnp_event_object_generic_data(idl, dest);
    return 0;
}

int msnp_del_object_generic(idl_parser *idl, msnp_object_generic *obj, msnp_object_generic *ref) {
    if (!obj || !ref)
        return 0;
    if (!tqlist_unlink_remove_ref(&obj->sibs, ref))
        return 0;
    tqlist_unlink_remove_ref(&ref->sibsref, obj);
    msnp_event_object_generic_data(idl, obj);
    return 1;
}

int msnp_add_object_generic_weak(idl_parser *idl, msnp_object_generic *obj, const char *weak) {
    if (!obj || !weak)
        return 0;
    if (!msnp_weak_name_add(obj->weak, &obj->wdirty, weak))
        return 0;
    msnp_event_object_generic_data(idl, obj);
    return 1;
}

int msnp_del_object_generic_weak(idl_parser *idl, msnp_object_generic *obj, const char *weak) {
    if (!obj || !weak)
        return 0;
    if (!msnp_weak_name_del(obj->weak, &obj->wdirty, weak))
        return 0;
    msnp_event_object_generic_data(idl, obj);
    return 1;
}

int msnp_resolve_weaks_object_generic(idl_parser *idl, msnp_object_generic *obj) {
    if (!obj || !obj->objtable || !obj->ident)
        return 0;
    tqtable *table = obj->objtable;
    tqtable_wrlock(table);
    tqlist *values = table->values(table);
    for (tqlist *node = values; node; node = node->next) {
        msnp_object_generic *waiting = (msnp_object_generic *)node->data;
        /* An object never includes itself through its own weak entry. */
        if (waiting == obj || waiting->wdirty <= 0)
            continue;
        char *copy;
        while ((copy = (char *)waiting->weak->remove_safe(waiting->weak, obj->ident)) != nullptr) {
            msnp_add_object_generic(idl, waiting, obj);
            waiting->wdirty--;
            free(copy);
            msnp_event_object_generic_data(idl, waiting);
        }
    }
    tqlist_destroy_without_refs(&values);
    tqtable_unlock(table);
    return 0;
}

/* ------------------------------------------------------------------ */
/* Destruction                                                         */
/* ------------------------------------------------------------------ */

/* Owners of relations that lost a restriction announce their new shape:
 * a person with its object-data event, a tree node with its tree event. */
static void generic_notify_node_owner(idl_parser *idl, msnp_rtree *node) {
    rtree_event(idl, node);
}

int msnp_destroy_object_generic(idl_parser *idl, msnp_object_generic *obj, int lock) {
    if (!obj)
        return 0;
    tqtable *table = obj->objtable;
    if (table && obj->ident) {
        if (lock == 1) {
            if (table->get(table, obj->ident) == obj)
                table->remove(table, obj->ident);
        } else {
            tqtable_wrlock(table);
            if (table->get(table, obj->ident) == obj)
                table->remove(table, obj->ident);
            tqtable_unlock(table);
        }
    }

    tqlist *touched = nullptr;
    for (tqlist *node = obj->backref; node; node = node->next) {
        msnp_relates *relation = (msnp_relates *)node->data;
        tqlist **list = relation ? relation_list_for(relation, obj->type) : nullptr;
        if (!list)
            continue;
        int removed = 0;
        while (tqlist_unlink_remove_ref(list, obj))
            removed = 1;
        if (removed && !tqlist_search_ref(touched, relation))
            tqlist_insert_end(&touched, relation);
    }

    for (tqlist *node = obj->sibs; node; node = node->next) {
        msnp_object_generic *included = (msnp_object_generic *)node->data;
        if (included != obj)
            tqlist_unlink_remove_ref(&included->sibsref, obj);
    }

    for (tqlist *node = obj->sibsref; node; node = node->next) {
        msnp_object_generic *includer = (msnp_object_generic *)node->data;
        if (includer == obj)
            continue;
        int removed = 0;
        while (tqlist_unlink_remove_ref(&includer->sibs, obj))
            removed = 1;
        /* The includer keeps waiting for the name, so an object created
         * later under it is included again. */
        if (removed)
            msnp_add_object_generic_weak(idl, includer, obj->ident);
    }

    if (idl) {
        for (tqlist *node = touched; node; node = node->next) {
            msnp_relates *relation = (msnp_relates *)node->data;
            if (relation->back_type == MSNP_OBJECT_PERSON)
                msnp_event_person_data(idl, (msnp_person *)relation->back);
            else if (relation->back_type == MSNP_OBJECT_NODE)
                generic_notify_node_owner(idl, (msnp_rtree *)relation->back);
        }
    }
    tqlist_destroy_without_refs(&touched);

    if (obj->destructor)
        obj->destructor(obj->data);
    else
        tqlist_destroy((tqlist **)&obj->data, nullptr);
    obj->data = nullptr;
    tqlist_destroy_without_refs(&obj->backref);
    tqlist_destroy_without_refs(&obj->sibs);
    tqlist_destroy_without_refs(&obj->sibsref);
    tqtable_destroy_with_values(obj->weak, nullptr);
    free(obj->ident);
    free(obj->description);
    free(obj);
    return 1;
}

/* ------------------------------------------------------------------ */
/* Renaming                                                            */
/* ------------------------------------------------------------------ */

int msnp_rename_object_generic(idl_parser *idl, msnp_object_generic *obj, const char *newname,
                               const char *desc) {
    if (!obj || !newname)
        return 0;
    if (strcmp(newname, "description:") == 0) {
        if (!msnp_set_description(idl, &obj->description, desc))
            return 0;
        msnp_event_object_generic_data(idl, obj);
        return 1;
    }
    if (!msnp_rename_in_table(idl, obj->objtable, &obj->ident, newname))
        return 0;
    msnp_resolve_weaks_object_generic(idl, obj);
    return 1;
}

/* ------------------------------------------------------------------ */
/* XML form                                                            */
/* ------------------------------------------------------------------ */

static void xml_newline(iks *x) {
    iks_insert_cdata(x, "\n", 1);
}

static void xml_entry(iks *x, const char *type, const char *text) {
    iks *entry = iks_insert(x, "entry");
    iks_insert_attrib(entry, "type", type);
    if (text)
        iks_insert_cdata(entry, text, 0);
    xml_newline(x);
}

iks *msnp_serialize_object_generic(msnp_object_generic *obj) {
    if (!obj)
        return nullptr;
    iks *x = iks_new(msnp_generic_kind_name(obj->type));
    if (!x)
        return nullptr;
    iks_insert_attrib(x, "identifier", obj->ident ? obj->ident : "");
    xml_newline(x);
    if (obj->description) {
        iks_insert_cdata(iks_insert(x, "description"), obj->description, 0);
        xml_newline(x);
    }
    for (tqlist *node = obj->sibs; node; node = node->next) {
        msnp_object_generic *included = (msnp_object_generic *)node->data;
        xml_entry(x, "indirect", included->ident);
    }
    if (obj->weak) {
        tqlist *keys = obj->weak->keys_safe(obj->weak);
        for (tqlist *node = keys; node; node = node->next)
            xml_entry(x, "weak", (const char *)node->data);
        tqlist_destroy(&keys, nullptr);
    }
    if (obj->encodedata) {
        iks *data = obj->encodedata(obj->data);
        for (iks *child = data ? iks_child(data) : nullptr; child; child = iks_next(child)) {
            if (iks_type(child) == IKS_TAG) {
                iks *entry = iks_insert(x, "entry");
                iks_insert_attrib(entry, "type", "data");
                iks_insert_node(entry, iks_copy_within(child, iks_stack(entry)));
            } else if (iks_type(child) == IKS_CDATA) {
                iks_insert_cdata(x, iks_cdata(child), iks_cdata_size(child));
            }
        }
        if (data)
            iks_delete(data);
    }
    return x;
}

static iks *first_tag(iks *node) {
    for (iks *child = node ? iks_child(node) : nullptr; child; child = iks_next(child))
        if (iks_type(child) == IKS_TAG)
            return child;
    return nullptr;
}

msnp_object_generic *msnp_deserialize_object_generic(idl_parser *idl, iks *node) {
    if (!node)
        return nullptr;
    const char *kind = iks_name(node);
    const char *ident = iks_find_attrib(node, "identifier");
    if (!ident) {
        if (idl)
            idl->warn(idl, "Missing object identifier: %s", kind ? kind : "");
        return nullptr;
    }
    /* Only the generic kinds are read here: the "new" command would also
     * make a person or a group of another element's name. */
    if (!msnp_generic_kind_table(msnp_object_search_symbol(kind)->type)) {
        if (idl)
            idl->error(idl, 26, "Unknown object type: %s", kind);
        return nullptr;
    }
    auto *obj = static_cast<msnp_object_generic *>(msnp_new_object(idl, kind, ident, nullptr));
    if (!obj)
        return nullptr;

    for (iks *child = iks_child(node); child; child = iks_next(child)) {
        if (iks_type(child) != IKS_TAG)
            continue;
        const char *name = iks_name(child);
        if (strcmp(name, "description") == 0) {
            const char *text = msnp_xml_first_text(child);
            free(obj->description);
            obj->description = text && *text ? strdup(text) : nullptr;
            continue;
        }
        if (strcmp(name, "entry") != 0) {
            if (idl)
                idl->warn(idl, "Unknown node for object specification");
            continue;
        }
        const char *type = iks_find_attrib(child, "type");
        if (!type) {
            if (idl)
                idl->warn(idl, "Entry missing type definition: %s", obj->ident);
            type = "data";
        }
        char *literal = nullptr;
        if (strcmp(type, "data") == 0) {
            iks *data = first_tag(child);
            if (obj->decodedata && data)
                literal = obj->decodedata(idl, data, 0);
        } else {
            const char *text = msnp_xml_first_text(child);
            if (text)
                literal = strdup(text);
        }
        if (literal) {
            msnp_add_object_dest(idl, obj, obj->type, literal, nullptr, nullptr);
            free(literal);
        }
    }
    return obj;
}

/* ------------------------------------------------------------------ */
/* IM type-set searches                                                */
/* ------------------------------------------------------------------ */

/* Depth-first over the listed IM bitmaps and what they include; the task's
 * `lda_temp` is the visited set, which also ends inclusion cycles. */
static match_t search_imbitmap(task_struct *tstruct, tqlist *maps, unsigned bitmap,
                               unsigned msnp_imbitmap_node::*field) {
    for (tqlist *node = maps; node; node = node->next) {
        msnp_object_generic *obj = (msnp_object_generic *)node->data;
        if (!obj || !msnp_first_look(&tstruct->lda_temp, obj))
            continue;
        msnp_imbitmap_node *bits = (msnp_imbitmap_node *)obj->data;
        if (bits && (bits->*field & bitmap))
            return TQ_MATCH_PASS;
        if (search_imbitmap(tstruct, obj->sibs, bitmap, field) == TQ_MATCH_PASS)
            return TQ_MATCH_PASS;
    }
    return TQ_MATCH_NONE;
}

match_t search_imbitmap_for_message_type(task_struct *_tstruct, tqlist *maps, unsigned bitmap) {
    return _tstruct ? search_imbitmap(_tstruct, maps, bitmap, &msnp_imbitmap_node::msg_type) : TQ_MATCH_NONE;
}

match_t search_imbitmap_for_invitation_type(task_struct *_tstruct, tqlist *maps, unsigned bitmap) {
    return _tstruct ? search_imbitmap(_tstruct, maps, bitmap, &msnp_imbitmap_node::inv_type) : TQ_MATCH_NONE;
}

match_t search_imbitmap_for_datacast_type(task_struct *_tstruct, tqlist *maps, unsigned bitmap) {
    return _tstruct ? search_imbitmap(_tstruct, maps, bitmap, &msnp_imbitmap_node::dct_type) : TQ_MATCH_NONE;
}

match_t search_imbitmap_for_command_type(task_struct *_tstruct, tqlist *maps, unsigned bitmap) {
    return _tstruct ? search_imbitmap(_tstruct, maps, bitmap, &msnp_imbitmap_node::com_type) : TQ_MATCH_NONE;
}
