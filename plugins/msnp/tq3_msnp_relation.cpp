/* Relations: one rule of the policy tying an owner (a person or a tree
 * node) to a target (a person or a group), narrowed by generic objects.
 *
 * A relation is owned through its owner's `contactl`; the target lists it
 * in `relation_backref` and each generic object it names lists it in
 * `backref`. Unlinking always clears every side before the record is
 * freed, so that no list keeps a pointer to a dead relation. */
#include <iksemel.h>

#include <stdlib.h>
#include <string.h>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_rtree.h"
#include "tq3_msnp_xml.h"
#include "tqidl.h"
#include "utils.h"

/* ------------------------------------------------------------------ */
/* Records                                                             */
/* ------------------------------------------------------------------ */

msnp_relates *new_relation(void *target, msnp_object_type type)
{
    auto *rel = static_cast<msnp_relates *>(calloc(1, sizeof(msnp_relates)));
    if (!rel)
        return nullptr;
    rel->rel_type = type;
    rel->action = TQ_MATCH_PASS;
    rel->direction = DIR_BOTH;
    rel->relation = target;
    rel->back = nullptr;
    rel->back_type = MSNP_OBJECT_NONE;
    rel->flags = RELATION_NONE;
    /* Fresh names do not repeat within a run, but a loaded document may
     * already have brought this one. */
    for (int tries = 0; tries < 8 && !rel->uid; ++tries) {
        char *uid = simple_unique_name_hashed();
        if (uid && msnp_relation_uid_claim(rel, uid))
            rel->uid = uid;
        else
            free(uid);
    }
    if (!rel->uid) {
        free(rel);
        return nullptr;
    }
    rel->risk_level = 0;
    rel->risk_threshold = 0;
    return rel;
}

/* The target's list of the relations that point at it. */
static tqlist **target_backref(msnp_relates *rel)
{
    if (!rel->relation)
        return nullptr;
    if (rel->rel_type == MSNP_OBJECT_PERSON)
        return &static_cast<msnp_person *>(rel->relation)->relation_backref;
    if (rel->rel_type == MSNP_OBJECT_GROUP)
        return &static_cast<msnp_group *>(rel->relation)->relation_backref;
    return nullptr;
}

/* The owner's relation list. */
static tqlist **owner_contactl(msnp_relates *rel)
{
    if (!rel->back)
        return nullptr;
    if (rel->back_type == MSNP_OBJECT_PERSON)
        return &static_cast<msnp_person *>(rel->back)->contactl;
    if (rel->back_type == MSNP_OBJECT_NODE)
        return &static_cast<msnp_rtree *>(rel->back)->contactl;
    return nullptr;
}

msnp_relates *new_relation_desc(idl_parser *idl, void *target, char **perm, msnp_object_type type)
{
    msnp_relates *rel = new_relation(target, type);
    if (!rel)
        return nullptr;
    tqlist **backref = target_backref(rel);
    if (backref)
        tqlist_insert_begin(backref, rel);
    for (char **w = perm; w && *w; ++w)
        modify_relation(idl, rel, *w);
    return rel;
}

/* ------------------------------------------------------------------ */
/* Property words                                                      */
/* ------------------------------------------------------------------ */

static int word_number(const char *word, const char *prefix, risk_t *out)
{
    size_t n = strlen(prefix);
    if (strncmp(word, prefix, n) != 0)
        return 0;
    *out = static_cast<risk_t>(strtol(word + n, nullptr, 10));
    return 1;
}

int modify_relation(idl_parser *idl, msnp_relates *relation, const char *word)
{
    if (!relation || !word)
        return 0;
    static const struct {
        const char *word;
        match_t action;
    } actions[] = {
        {"'action_pass'", TQ_MATCH_PASS},         {"'action_block'", TQ_MATCH_BLOCK},
        {"'action_none'", TQ_MATCH_NONE},         {"'action_continue'", TQ_MATCH_CONTINUE},
        {"'action_alert'", TQ_MATCH_ALERT},
    };
    for (const auto &a : actions)
        if (strcmp(word, a.word) == 0) {
            relation->action = a.action;
            return 1;
        }
    static const struct {
        const char *word;
        conn_direction direction;
    } directions[] = {
        {"'direction_out'", DIR_CLIENT_TO_SERVER},
        {"'direction_in'", DIR_SERVER_TO_CLIENT},
        {"'direction_both'", DIR_BOTH},
    };
    for (const auto &d : directions)
        if (strcmp(word, d.word) == 0) {
            relation->direction = d.direction;
            return 1;
        }
    if (strcmp(word, "'disable'") == 0) {
        relation->flags |= RELATION_DISABLED;
        return 1;
    }
    if (strcmp(word, "'enable'") == 0) {
        relation->flags &= ~static_cast<unsigned>(RELATION_DISABLED);
        return 1;
    }
    if (word_number(word, "risk:", &relation->risk_level))
        return 1;
    if (word_number(word, "threshold:", &relation->risk_threshold))
        return 1;

    int removal = word[0] == '!';
    const char *name = removal ? word + 1 : word;
    msnp_object_generic *obj;
    tqlist **list = nullptr;
    if ((obj = msnp_search_time(name, 0)))
        list = &relation->times;
    else if ((obj = msnp_search_expr(name, 0)))
        list = &relation->exprs;
    else if ((obj = msnp_search_imbitmap(name, 0)))
        list = &relation->imbitmaps;
    if (!obj) {
        if (idl)
            idl->warn(idl, "Unknown relation definition: %s", word);
        return 0;
    }
    if (removal) {
        tqlist_unlink_remove_ref(list, obj);
        tqlist_unlink_remove_ref(&obj->backref, relation);
    } else {
        tqlist_insert_end(list, obj);
        tqlist_insert_begin(&obj->backref, relation);
    }
    return 1;
}

int modify_relation_weak_single(msnp_person *person, const char *name, const char *word)
{
    if (!person || !person->weak || !name || !word)
        return 0;
    int found = 0;
    tqtable_wrlock(person->weak);
    auto *words = static_cast<tqlist *>(person->weak->get(person->weak, name));
    if (words) {
        char *copy = strdup(word);
        if (copy) {
            tqlist_insert_end(&words, copy);
            found = 1;
        }
    }
    tqtable_unlock(person->weak);
    return found;
}

int msnp_search_relation(const void *relation, const void *target)
{
    return relation && static_cast<const msnp_relates *>(relation)->relation == target;
}

/* ------------------------------------------------------------------ */
/* Relating persons                                                    */
/* ------------------------------------------------------------------ */

void msnp_relation_reply(idl_parser *idl, msnp_relates *relation, int index)
{
    if (!idl || idl->import)
        return;
    iks *xml = msnp_serialize_relation(relation, nullptr);
    if (!xml)
        return;
    char buf[16];
    snprintf(buf, sizeof buf, "%d", index);
    iks_insert_attrib(xml, "index", buf);
    idl_parser_set_data(idl, iks_string(iks_stack(xml), xml));
    iks_delete(xml);
}

msnp_relates *relates_to(idl_parser *idl, msnp_person *person, void *target, char **perm,
                         msnp_object_type type)
{
    if (!person || !target)
        return nullptr;
    if (type == MSNP_OBJECT_PERSON && msnp_person_is_super(static_cast<msnp_person *>(target))) {
        auto *super = static_cast<msnp_person *>(target);
        tqlist_insert_end(&person->supers, super);
        tqlist_insert_begin(&super->supers_backref, person);
        msnp_event_person_data(idl, person);
        return nullptr;
    }
    msnp_relates *rel = new_relation_desc(idl, target, perm, type);
    if (!rel)
        return nullptr;
    rel->back = person;
    rel->back_type = MSNP_OBJECT_PERSON;
    tqlist_insert_end(&person->contactl, rel);
    if (idl) {
        int index = static_cast<int>(tqlist_length(person->contactl)) - 1;
        msnp_event_person_data(idl, person);
        msnp_relation_reply(idl, rel, index);
    }
    return rel;
}

int relates_to_weak(idl_parser *idl, msnp_person *person, const char *name, char **perm)
{
    if (!person || !person->weak || !name)
        return 0;
    tqlist *words = nullptr;
    for (char **w = perm; w && *w; ++w)
        tqlist_insert_end(&words, strdup(*w));
    tqlist_insert_begin(&words, strdup(name));
    int stored = person->weak->set_unique_safe(person->weak, name, words);
    if (!stored) {
        tqlist_destroy(&words, nullptr);
        return stored;
    }
    person->wdirty++;
    msnp_weak_wait(MSNP_OBJECT_PERSON, person, name);
    msnp_event_person_data(idl, person);
    return stored;
}

/* ------------------------------------------------------------------ */
/* Unlinking                                                           */
/* ------------------------------------------------------------------ */

int msnp_unlink_relation_objects_from_relation(msnp_relates *relation)
{
    if (!relation)
        return 0;
    int count = 0;
    tqlist **lists[] = {&relation->times, &relation->exprs, &relation->imbitmaps, &relation->objects};
    for (tqlist **list : lists) {
        for (tqlist *l = *list; l; l = l->next) {
            auto *obj = static_cast<msnp_object_generic *>(l->data);
            while (obj && tqlist_unlink_remove_ref(&obj->backref, relation))
                ++count;
        }
        tqlist_destroy_without_refs(list);
    }
    return count;
}

int msnp_unlink_relation_reverse(msnp_relates *relation)
{
    if (!relation)
        return 0;
    /* A relation record stands once in each list that holds it, so one
     * removal is enough; searching again would walk the whole list of a
     * popular target for nothing. */
    tqlist **backref = target_backref(relation);
    if (backref)
        tqlist_unlink_remove_ref(backref, relation);
    msnp_unlink_relation_objects_from_relation(relation);
    msnp_relation_uid_forget(relation);
    free(relation->uid);
    free(relation);
    return 0;
}

int msnp_unlink_relation(idl_parser *idl, msnp_relates *relation)
{
    if (!relation)
        return 0;
    tqlist **contactl = owner_contactl(relation);
    if (!contactl)
        return 0;
    if (!tqlist_unlink_remove_ref(contactl, relation))
        return 0;
    void *owner = relation->back;
    msnp_object_type owner_type = relation->back_type;
    msnp_unlink_relation_objects_from_relation(relation);
    msnp_unlink_relation_reverse(relation);
    if (idl) {
        if (owner_type == MSNP_OBJECT_PERSON)
            msnp_event_person_data(idl, static_cast<msnp_person *>(owner));
        else if (owner_type == MSNP_OBJECT_NODE)
            rtree_event(idl, static_cast<msnp_rtree *>(owner));
    }
    return 1;
}

int msnp_unlink_contact_from_container(msnp_relates *relation, tqlist *node)
{
    if (!relation)
        return 0;
    tqlist **contactl = owner_contactl(relation);
    int removed = contactl && node ? tqlist_unlink_remove(contactl, node) : 0;
    msnp_unlink_relation_reverse(relation);
    return removed;
}

/* ------------------------------------------------------------------ */
/* Serialised relations                                                */
/* ------------------------------------------------------------------ */

static const char *action_word(match_t action)
{
    switch (static_cast<unsigned>(action)) {
    case TQ_MATCH_PASS: return "pass";
    case TQ_MATCH_BLOCK: return "block";
    case TQ_MATCH_NONE: return "none";
    case TQ_MATCH_CONTINUE: return "continue";
    case TQ_MATCH_ALERT: return "alert";
    case TQ_MATCH_INVALID: return "invalid";
    case TQ_MATCH_MOREDATA: return "moredata";
    case TQ_MATCH_ADVISED: return "advised";
    default: return "unknown";
    }
}

static const char *direction_word(conn_direction direction)
{
    switch (direction) {
    case DIR_SERVER_TO_CLIENT: return "in";
    case DIR_CLIENT_TO_SERVER: return "out";
    case DIR_BOTH: return "both";
    default: return "unknown";
    }
}

iks *msnp_serialize_relation_objects(msnp_relates *relation, ikstack *stack)
{
    if (!relation)
        return nullptr;
    const struct {
        tqlist *list;
        const char *type;
    } lists[] = {
        {relation->times, "time"},
        {relation->exprs, "expr"},
        {relation->imbitmaps, "imbitmap"},
        {relation->objects, "object"},
    };
    iks *acl = nullptr;
    for (const auto &l : lists)
        for (tqlist *e = l.list; e; e = e->next) {
            auto *obj = static_cast<msnp_object_generic *>(e->data);
            if (!acl)
                acl = stack ? iks_new_within("access-list", stack) : iks_new("access-list");
            iks *o = msnp_xml_child(acl, "object");
            iks_insert_attrib(o, "type", l.type);
            iks_insert_cdata(o, obj->ident, 0);
        }
    return acl;
}

iks *msnp_serialize_relation(msnp_relates *relation, ikstack *stack)
{
    if (!relation)
        return nullptr;
    iks *x = stack ? iks_new_within("relation", stack) : iks_new("relation");
    const char *target = "unknown";
    if (relation->relation && relation->rel_type == MSNP_OBJECT_PERSON)
        target = static_cast<msnp_person *>(relation->relation)->ident;
    else if (relation->relation && relation->rel_type == MSNP_OBJECT_GROUP)
        target = static_cast<msnp_group *>(relation->relation)->ident;
    iks_insert_attrib(x, "object", target);
    iks_insert_attrib(x, "uid", relation->uid);
    iks_insert_attrib(x, "action", action_word(relation->action));
    iks_insert_attrib(x, "direction", direction_word(relation->direction));
    char buf[32];
    if (relation->risk_level) {
        snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(relation->risk_level));
        iks_insert_attrib(x, "risk", buf);
    }
    if (relation->risk_threshold) {
        snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(relation->risk_threshold));
        iks_insert_attrib(x, "threshold", buf);
    }
    if (relation->flags & RELATION_DISABLED)
        iks_insert_attrib(x, "disable", "1");
    iks_insert_cdata(x, "\n", 1);
    iks *acl = msnp_serialize_relation_objects(relation, iks_stack(x));
    if (acl)
        iks_insert_node(x, acl);
    return x;
}

/* One "acl" child per set bit whose code has a row in the type table;
 * `name_of` gives the row's text, or NULL when the bit has no row. */
template <typename NameOf> static iks *access_list_section(unsigned bits, NameOf name_of)
{
    iks *section = nullptr;
    for (unsigned bit = 0; bit < 32; ++bit) {
        if (!(bits & (1u << bit)))
            continue;
        const char *name = name_of(1u << bit);
        if (!name || !*name)
            continue;
        if (!section)
            section = iks_new("access-list-section");
        iks_insert_cdata(iks_insert(section, "acl"), name, 0);
    }
    return section;
}

iks *msnp_serialize_relation_com(unsigned bits)
{
    return access_list_section(bits, [](unsigned code) -> const char * {
        const msnp_com_type *row = msnp_com_type_search_type(static_cast<msnp_com_code>(code));
        return row && static_cast<unsigned>(row->type) == code ? row->name : nullptr;
    });
}

iks *msnp_serialize_relation_message(unsigned bits)
{
    return access_list_section(bits, [](unsigned code) -> const char * {
        const msnp_message_ctype *row = msnp_message_search_type(static_cast<msnp_message_code>(code));
        return row && static_cast<unsigned>(row->type) == code ? row->fname : nullptr;
    });
}

iks *msnp_serialize_relation_invite(unsigned bits)
{
    return access_list_section(bits, [](unsigned code) -> const char * {
        const msnp_invite_itype *row = msnp_invite_search_type(static_cast<msnp_invite_code>(code));
        return row && static_cast<unsigned>(row->type) == code ? row->fname : nullptr;
    });
}

iks *msnp_serialize_relation_datacast(unsigned bits)
{
    return access_list_section(bits, [](unsigned code) -> const char * {
        const msnp_datacast *row = msnp_datacast_search_type(static_cast<msnp_datacast_code>(code));
        return row && static_cast<unsigned>(row->type) == code ? row->fname : nullptr;
    });
}

/* ------------------------------------------------------------------ */
/* The common "add"                                                    */
/* ------------------------------------------------------------------ */

static void relation_emit(idl_parser *idl, event_t *ev)
{
    if (!ev)
        return;
    if (idl && !idl->import && idl->event)
        idl->event(idl, ev);
    else
        tqevents_destroy_event(ev);
}

/* An existing person, group or node added to a tree node. A node moves
 * under it; a user person without property words takes part as a user;
 * everything else becomes a relation of the node. */
static int add_object_to_node(idl_parser *idl, msnp_rtree *node, void *object,
                              msnp_object_type kind, char **perm)
{
    if (kind == MSNP_OBJECT_NODE) {
        auto *moved = static_cast<msnp_rtree *>(object);
        char *old_path = rtree_reverse(moved);
        if (!rtree_add_sibling(idl, node, moved)) {
            free(old_path);
            return 0;
        }
        if (idl && !idl->import && idl->event) {
            char *new_path = rtree_reverse(moved);
            relation_emit(idl, tqevents_shortcut_object_rename(old_path, new_path));
            free(new_path);
        }
        free(old_path);
        if (idl)
            rtree_event(idl, node);
        rtree_notify_users(idl, moved);
        return 1;
    }
    int has_words = perm && *perm;
    if (!has_words && kind == MSNP_OBJECT_PERSON &&
        static_cast<msnp_person *>(object)->type != PERSON_CONTACT) {
        int placed = rtree_add_person(idl, node, static_cast<msnp_person *>(object));
        if (placed && idl)
            rtree_event(idl, node);
        return placed;
    }
    msnp_relates *rel = new_relation_desc(idl, object, perm, kind);
    if (!rel)
        return 0;
    rtree_add_contact(idl, node, rel);
    if (idl)
        rtree_event(idl, node);
    return 1;
}

/* How each kind of destination takes what "add" names: an existing object
 * (-1: not of a kind it takes), a literal (none: it takes no literals) and
 * a name not known yet (none: it awaits no names). */
namespace {
struct add_ops {
    const char *(*ident)(void *dest);
    int (*object)(idl_parser *idl, void *dest, msnp_object_type dest_kind, void *object, msnp_object_type kind,
                  char **prop);
    int (*literal)(idl_parser *idl, void *dest, const char *literal);
    int (*weak)(idl_parser *idl, void *dest, const char *name, char **prop);
};

bool person_or_group(msnp_object_type kind) { return kind == MSNP_OBJECT_PERSON || kind == MSNP_OBJECT_GROUP; }

const add_ops person_add = {
    [](void *dest) -> const char * { return static_cast<msnp_person *>(dest)->ident; },
    [](idl_parser *idl, void *dest, msnp_object_type, void *object, msnp_object_type kind, char **prop) {
        if (!person_or_group(kind))
            return -1;
        relates_to(idl, static_cast<msnp_person *>(dest), object, prop, kind);
        return 1;
    },
    nullptr,
    [](idl_parser *idl, void *dest, const char *name, char **prop) {
        return relates_to_weak(idl, static_cast<msnp_person *>(dest), name, prop);
    },
};

const add_ops node_add = {
    [](void *dest) -> const char * { return static_cast<msnp_rtree *>(dest)->ident; },
    [](idl_parser *idl, void *dest, msnp_object_type, void *object, msnp_object_type kind, char **prop) {
        if (!person_or_group(kind) && kind != MSNP_OBJECT_NODE) {
            if (idl)
                idl->error(idl, 22, "Not a valid operation");
            return 0;
        }
        return add_object_to_node(idl, static_cast<msnp_rtree *>(dest), object, kind, prop);
    },
    nullptr,
    nullptr,
};

const add_ops group_add = {
    [](void *dest) -> const char * { return static_cast<msnp_group *>(dest)->ident; },
    [](idl_parser *idl, void *dest, msnp_object_type, void *object, msnp_object_type kind, char **) {
        return person_or_group(kind) ? msnp_add_group_member(idl, static_cast<msnp_group *>(dest), object, kind) : -1;
    },
    nullptr,
    [](idl_parser *idl, void *dest, const char *name, char **) {
        return msnp_add_group_weak(idl, static_cast<msnp_group *>(dest), name);
    },
};

const add_ops generic_add = {
    [](void *dest) -> const char * { return static_cast<msnp_object_generic *>(dest)->ident; },
    [](idl_parser *idl, void *dest, msnp_object_type dest_kind, void *object, msnp_object_type kind, char **) {
        /* An object of another kind, or the object itself: including it
         * would make matching follow a loop. */
        if (kind != dest_kind || object == dest) {
            if (idl)
                idl->error(idl, 20, "Self reference");
            return 0;
        }
        msnp_add_object_generic(idl, static_cast<msnp_object_generic *>(dest),
                                static_cast<msnp_object_generic *>(object));
        return 1;
    },
    [](idl_parser *idl, void *dest, const char *text) {
        auto *obj = static_cast<msnp_object_generic *>(dest);
        if (!obj->add_literal) {
            if (idl)
                idl->error(idl, 200, "Object %s does not support add (literal)", obj->ident);
            return 0;
        }
        char *literal = strdup(text);
        if (!literal)
            return 0;
        dequote(literal, '\'');
        int added = obj->add_literal(idl, obj, literal);
        free(literal);
        if (added >= 1)
            msnp_event_object_generic_data(idl, obj);
        return static_cast<int>(added >= 1);
    },
    [](idl_parser *idl, void *dest, const char *name, char **) {
        return msnp_add_object_generic_weak(idl, static_cast<msnp_object_generic *>(dest), name);
    },
};

const add_ops *add_ops_of(msnp_object_type kind)
{
    switch (kind) {
    case MSNP_OBJECT_PERSON: return &person_add;
    case MSNP_OBJECT_NODE: return &node_add;
    case MSNP_OBJECT_GROUP: return &group_add;
    case MSNP_OBJECT_TIME:
    case MSNP_OBJECT_EXPR:
    case MSNP_OBJECT_IMBITMAP:
    case MSNP_OBJECT_OBJECT: return &generic_add;
    default: return nullptr;
    }
}
} // namespace

int msnp_add_object_dest(idl_parser *idl, void *odest, msnp_object_type type_dest, const char *orig,
                         char **prop, int *weak)
{
    if (!odest)
        return 0;
    if (!orig) {
        if (idl)
            idl->error(idl, 2, "Missing object name");
        return 0;
    }
    msnp_object_type kind = MSNP_OBJECT_NONE;
    void *object = msnp_generic_object_search(nullptr, orig, &kind, 0, nullptr);
    const add_ops *ops = add_ops_of(type_dest);
    int done = -1;
    if (object && ops)
        done = ops->object(idl, odest, type_dest, object, kind, prop);
    else if (ops && msnp_object_symbol(orig) != 0 && ops->literal)
        return ops->literal(idl, odest, orig);
    else if (ops && msnp_object_symbol(orig) != 0) {
        if (idl)
            idl->error(idl, 200, "Object %s does not support add (literal)", ops->ident(odest));
        return 0;
    } else if (ops && !ops->weak) {
        if (idl)
            idl->error(idl, 1003, "Node does not support weak references: %s", orig);
        return 0;
    } else if (ops) {
        done = ops->weak(idl, odest, orig, prop);
        if (idl) {
            if (weak)
                *weak = 1;
            idl->warn(idl, "Weak reference: %s", orig);
        }
        return done;
    }
    if (done < 0) {
        if (idl)
            idl->error(idl, 22, "Incompatible operation");
        return 0;
    }
    return done;
}
