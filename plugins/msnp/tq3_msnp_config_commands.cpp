/* Management commands: the verbs an administrator sends through the host's
 * command parser. glob and serialize read the policy and answer with XML in
 * the parser's data; the others change it and need a privileged user. */
#include <iksemel.h>

#include <stdlib.h>
#include <string.h>

#include <shared_mutex>
#include <string>
#include <vector>

#include "tq3_msnp.h"
#include "tq3_msnp_config.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_rtree.h"

#include "tq3_core_interface.h"
#include "tqidl.h"
#include "utils.h"

namespace {

void refuse(idl_parser *idl, int code, const char *message, const char *name = nullptr)
{
    if (idl && idl->error) {
        if (name)
            idl->error(idl, code, message, name);
        else
            idl->error(idl, code, "%s", message);
    }
}

/* Takes `x` and leaves its text as the command's answer. */
void answer(idl_parser *idl, iks *x)
{
    if (!x)
        return;
    const char *text = iks_string(iks_stack(x), x);
    if (text && idl) {
        free(idl->data);
        idl->data = strdup(text);
    }
    iks_delete(x);
}

/* Level 0 and 1 may change the policy; a parser without a user is the
 * gateway itself. */
bool privileged(idl_parser *idl)
{
    if (idl && idl->user && idl->user->level > 1) {
        refuse(idl, 12, "More level required");
        return false;
    }
    return true;
}

/* The group every local user belongs to: commands may read it but not
 * change it, since sign-in maintains its members. */
bool special(idl_parser *idl, const void *obj, const char *name)
{
    if (!ents || obj != ents->group_local)
        return false;
    refuse(idl, 31, "Special object: %s", name);
    return true;
}

/* Any object by name or node path; `report` gets the lookup's own
 * complaint about a name that is neither. */
void *lookup(idl_parser *report, const char *name, msnp_object_type *kind)
{
    return msnp_generic_object_search(report, name, kind, 0, nullptr);
}

void *lookup_known(idl_parser *idl, const char *name, msnp_object_type *kind)
{
    void *obj = lookup(nullptr, name, kind);
    if (!obj)
        refuse(idl, 27, "Unknown object: %s", name);
    return obj;
}

/* What the commands that change objects do with each kind; the four
 * generic kinds share one row. A missing operation is one the kind does
 * not have. */
struct kind_ops {
    /* Makes the object; `form`, when given, gets its XML for the event. */
    void *(*make)(idl_parser *idl, msnp_object_type kind, const char *name, char **args, iks **form);
    void (*emit)(idl_parser *idl, void *obj);
    /* Drops `ref`, an object named by the command, from the object. */
    int (*del_ref)(idl_parser *idl, void *obj, void *ref, msnp_object_type ref_kind);
    /* Drops an awaited (weak) name. */
    int (*del_weak)(idl_parser *idl, void *obj, const char *name);
    /* Drops what a word that is no name selects: a relation's position
     * or a literal. */
    int (*del_word)(idl_parser *idl, void *obj, char *word);
    int (*destroy)(tq3_module *self, idl_parser *idl, void *obj);
    /* `args[0]` names the object, the definitions follow. */
    int (*modify)(idl_parser *idl, void *obj, char **args);
    /* The list a move reorders; may take a word of `positions`. */
    tqlist **(*movable)(void *obj, char ***positions);
    int (*rename)(idl_parser *idl, void *obj, const char *newname, const char *desc);
    bool collect_event; /* a destroyed object is announced by name */
};

const kind_ops *ops_of(msnp_object_type kind);

void emit_data(idl_parser *idl, void *obj, msnp_object_type kind)
{
    const kind_ops *ops = ops_of(kind);
    if (ops && msnp_events_wanted(idl))
        ops->emit(idl, obj);
}

int parse_index(const char *word, int *index) { return word && index_from_args(word, index); }

/* Removes `ref` from the person's supers (with its back-reference), or
 * else the first relation whose target is `ref`. */
int del_object_single(idl_parser *idl, msnp_person *person, void *ref)
{
    if (tqlist_search_ref(person->supers, ref)) {
        auto *super = static_cast<msnp_person *>(ref);
        tqlist_unlink_remove_ref(&person->supers, super);
        tqlist_unlink_remove_ref(&super->supers_backref, person);
        msnp_event_person_data(idl, person);
        return 1;
    }
    tqlist *l = tqlist_search(person->contactl, msnp_search_relation, ref);
    if (!l)
        return 0;
    msnp_unlink_contact_from_container(static_cast<msnp_relates *>(l->data), l);
    msnp_event_person_data(idl, person);
    return 1;
}

/* The relation at position `word` of a person or node goes away. */
int unlink_container_index(idl_parser *idl, void *owner, const char *word)
{
    int index = 0;
    if (!parse_index(word, &index))
        return 0;
    auto *container = static_cast<msnp_relation_container *>(owner);
    tqlist *l = list_from_index(container->contactl, index);
    if (!l)
        return 0;
    return msnp_unlink_relation(idl, static_cast<msnp_relates *>(l->data));
}

/* A literal of a generic object goes through its kind's own operation. */
int del_literal(idl_parser *idl, void *obj, char *word)
{
    auto *generic = static_cast<msnp_object_generic *>(obj);
    if (!generic->del_literal) {
        refuse(idl, 30, "Object %s does not support delete (literal)", generic->ident);
        return 0;
    }
    std::string literal(word);
    dequote(literal.data(), '\'');
    int removed = generic->del_literal(idl, generic, literal.data());
    if (removed > 0)
        msnp_event_object_generic_data(idl, generic);
    return removed > 0;
}

/* The relations of a person or node that a word selects: the one at a
 * position, or every one whose target is the named object. */
std::vector<msnp_relates *> select_relations(void *owner, const char *word, void *target)
{
    std::vector<msnp_relates *> out;
    auto *container = static_cast<msnp_relation_container *>(owner);
    int index = 0;
    if (!target && parse_index(word, &index)) {
        if (tqlist *l = list_from_index(container->contactl, index))
            out.push_back(static_cast<msnp_relates *>(l->data));
        return out;
    }
    for (tqlist *l = container->contactl; l; l = l->next) {
        auto *relation = static_cast<msnp_relates *>(l->data);
        if (relation->relation == target)
            out.push_back(relation);
    }
    return out;
}

int modify_object_node(idl_parser *idl, msnp_rtree *node, char **args)
{
    if (!args[2]) {
        refuse(idl, 2, "No definition to modify");
        return 0;
    }
    if (strcmp(args[1], "contact:") == 0) {
        int changed = msnp_relation_change_contact(idl, node, args[2], args[3]);
        if (changed > 0)
            rtree_event(idl, node);
        return changed;
    }
    int index = 0;
    void *target = nullptr;
    if (!parse_index(args[1], &index)) {
        msnp_object_type kind = MSNP_OBJECT_NONE;
        target = lookup(nullptr, args[1], &kind);
        if (!target) {
            refuse(idl, 27, "Unknown object: %s", args[1]);
            return 0;
        }
    }
    int applied = 0;
    for (msnp_relates *relation : select_relations(node, args[1], target))
        for (char **w = args + 2; *w; ++w)
            applied += modify_relation(idl, relation, *w) > 0;
    if (!applied) {
        refuse(idl, 28, "No references found: %s", args[1]);
        return 0;
    }
    rtree_event(idl, node);
    return applied;
}

/* Renames a person or a group, or sets its description. */
template <typename Object>
int rename_in_table(idl_parser *idl, Object *obj, tqtable *table, const char *newname, const char *desc)
{
    if (strcmp(newname, "description:") == 0) {
        if (!msnp_set_description(idl, &obj->description, desc))
            return 0;
        emit_data(idl, obj, std::is_same_v<Object, msnp_person> ? MSNP_OBJECT_PERSON : MSNP_OBJECT_GROUP);
        return 1;
    }
    if (!msnp_rename_in_table(idl, table, &obj->ident, newname))
        return 0;
    /* References that waited for the new name find their object now, as
     * they would had it been created under that name. */
    msnp_generic_resolve_weaks(idl, obj->ident);
    return 1;
}

template <typename T> T *as(void *obj) { return static_cast<T *>(obj); }

const kind_ops person_ops = {
    [](idl_parser *idl, msnp_object_type, const char *name, char **args, iks **form) -> void * {
        msnp_person *person = msnp_new_object_person(idl, name, args);
        if (person && form)
            *form = msnp_serialize_object_single(person, WITH_NONE, nullptr, nullptr);
        return person;
    },
    [](idl_parser *idl, void *obj) { msnp_event_person_data(idl, as<msnp_person>(obj)); },
    [](idl_parser *idl, void *obj, void *ref, msnp_object_type) {
        return del_object_single(idl, as<msnp_person>(obj), ref);
    },
    nullptr,
    [](idl_parser *idl, void *obj, char *word) { return unlink_container_index(idl, obj, word); },
    [](tq3_module *self, idl_parser *idl, void *obj) { return msnp_destroy_person(self, idl, as<msnp_person>(obj)); },
    [](idl_parser *idl, void *obj, char **args) { return msnp_modify_object_single(idl, as<msnp_person>(obj), args + 1); },
    [](void *obj, char ***positions) {
        auto *person = as<msnp_person>(obj);
        if (**positions && strcmp(**positions, "super:") == 0) {
            ++*positions;
            return &person->supers;
        }
        return &person->contactl;
    },
    [](idl_parser *idl, void *obj, const char *newname, const char *desc) {
        return rename_in_table(idl, as<msnp_person>(obj), ents->people, newname, desc);
    },
    true,
};

const kind_ops node_ops = {
    /* A node announces itself as the tree it changes. */
    [](idl_parser *idl, msnp_object_type, const char *name, char **, iks **) -> void * {
        return msnp_new_object_node(idl, name, ents->root);
    },
    [](idl_parser *idl, void *obj) { rtree_event(idl, as<msnp_rtree>(obj)); },
    [](idl_parser *idl, void *obj, void *ref, msnp_object_type) {
        return msnp_del_object_node(idl, as<msnp_rtree>(obj), ref);
    },
    nullptr,
    [](idl_parser *idl, void *obj, char *word) { return unlink_container_index(idl, obj, word); },
    [](tq3_module *, idl_parser *idl, void *obj) { return msnp_rtree_unlink_node(idl, as<msnp_rtree>(obj)); },
    [](idl_parser *idl, void *obj, char **args) { return modify_object_node(idl, as<msnp_rtree>(obj), args); },
    [](void *obj, char ***) { return &as<msnp_rtree>(obj)->contactl; },
    [](idl_parser *idl, void *obj, const char *newname, const char *desc) {
        return msnp_rename_object_node(idl, as<msnp_rtree>(obj), newname, desc);
    },
    false,
};

const kind_ops group_ops = {
    [](idl_parser *idl, msnp_object_type, const char *name, char **args, iks **form) -> void * {
        msnp_group *group = msnp_new_object_group(idl, name, args);
        if (group && form)
            *form = msnp_serialize_object_group(group);
        return group;
    },
    [](idl_parser *idl, void *obj) { msnp_event_object_data(idl, msnp_serialize_object_group(as<msnp_group>(obj))); },
    [](idl_parser *idl, void *obj, void *ref, msnp_object_type) {
        return msnp_del_object_group(idl, as<msnp_group>(obj), ref);
    },
    [](idl_parser *idl, void *obj, const char *name) { return msnp_del_group_weak(idl, as<msnp_group>(obj), name); },
    nullptr,
    [](tq3_module *, idl_parser *idl, void *obj) { return msnp_destroy_group(idl, as<msnp_group>(obj)); },
    [](idl_parser *idl, void *obj, char **) {
        refuse(idl, 30, "%s does not support modify method", as<msnp_group>(obj)->ident);
        return 0;
    },
    [](void *obj, char ***) { return &as<msnp_group>(obj)->glist; },
    [](idl_parser *idl, void *obj, const char *newname, const char *desc) {
        return rename_in_table(idl, as<msnp_group>(obj), ents->groups, newname, desc);
    },
    true,
};

const kind_ops generic_ops = {
    [](idl_parser *idl, msnp_object_type kind, const char *name, char **args, iks **form) -> void * {
        msnp_object_generic *(*make)(idl_parser *, const char *, char **) =
            kind == MSNP_OBJECT_TIME       ? msnp_new_object_time
            : kind == MSNP_OBJECT_EXPR     ? msnp_new_object_expr
            : kind == MSNP_OBJECT_IMBITMAP ? msnp_new_object_imbitmap
                                           : msnp_new_object_object;
        msnp_object_generic *generic = make(idl, name, args);
        if (generic && form)
            *form = msnp_serialize_object_generic(generic);
        return generic;
    },
    [](idl_parser *idl, void *obj) { msnp_event_object_generic_data(idl, as<msnp_object_generic>(obj)); },
    [](idl_parser *idl, void *obj, void *ref, msnp_object_type ref_kind) -> int {
        return msnp_generic_kind_table(ref_kind) &&
               msnp_del_object_generic(idl, as<msnp_object_generic>(obj), as<msnp_object_generic>(ref));
    },
    [](idl_parser *idl, void *obj, const char *name) {
        return msnp_del_object_generic_weak(idl, as<msnp_object_generic>(obj), name);
    },
    del_literal,
    [](tq3_module *, idl_parser *idl, void *obj) { return msnp_destroy_object_generic(idl, as<msnp_object_generic>(obj), 0); },
    [](idl_parser *idl, void *obj, char **) {
        refuse(idl, 30, "Object %s does not support modify method", as<msnp_object_generic>(obj)->ident);
        return 0;
    },
    nullptr,
    [](idl_parser *idl, void *obj, const char *newname, const char *desc) {
        return msnp_rename_object_generic(idl, as<msnp_object_generic>(obj), newname, desc);
    },
    true,
};

const kind_ops *ops_of(msnp_object_type kind)
{
    switch (kind) {
    case MSNP_OBJECT_PERSON: return &person_ops;
    case MSNP_OBJECT_NODE: return &node_ops;
    case MSNP_OBJECT_GROUP: return &group_ops;
    case MSNP_OBJECT_TIME:
    case MSNP_OBJECT_EXPR:
    case MSNP_OBJECT_IMBITMAP:
    case MSNP_OBJECT_OBJECT: return &generic_ops;
    default: return nullptr;
    }
}

int del_one(idl_parser *idl, void *obj, const kind_ops &ops, char *word)
{
    msnp_object_type ref_kind = MSNP_OBJECT_NONE;
    if (void *ref = lookup(nullptr, word, &ref_kind))
        return ops.del_ref(idl, obj, ref, ref_kind);
    /* A name that names nothing can only be an awaited (weak) one. */
    if (*word && msnp_object_symbol(word) == 0)
        return ops.del_weak && ops.del_weak(idl, obj, word);
    return ops.del_word && ops.del_word(idl, obj, word);
}

} // namespace

extern "C" const msnp_token msnp_tokens[] = {
    {"new", MSNP_TOKEN_NEW},
    {"del", MSNP_TOKEN_DEL},
    {"add", MSNP_TOKEN_ADD},
    {"modify", MSNP_TOKEN_MODIFY},
    {"move", MSNP_TOKEN_MOVE},
    {"serialize", MSNP_TOKEN_SERIALIZE},
    {"collect", MSNP_TOKEN_COLLECT},
    {"rename", MSNP_TOKEN_RENAME},
    {"glob", MSNP_TOKEN_GLOB},
    {"impersonate", MSNP_TOKEN_IMPERSONATE},
    {"log", MSNP_TOKEN_LOG},
    {"", MSNP_TOKEN_UNKNOWN},
};

const msnp_token *msnp_token_structure(const char *name)
{
    const msnp_token *row = msnp_tokens;
    while (row->name[0] && !(name && strcmp(row->name, name) == 0))
        ++row;
    return row;
}

void *msnp_new_object(idl_parser *idl, const char *type, const char *name, char **args)
{
    if (!privileged(idl) || !ents)
        return nullptr;
    if (!type) {
        refuse(idl, 2, "Missing object type");
        return nullptr;
    }
    if (!name) {
        refuse(idl, 2, "Missing object name");
        return nullptr;
    }
    const msnp_object *row = msnp_object_search_symbol(type);
    msnp_object_type found = MSNP_OBJECT_NONE;
    int invalid = 0;
    bool used;
    if (row->type == MSNP_OBJECT_NODE)
        used = msnp_generic_object_search(nullptr, name, &found, MSNP_OBJECT_NODE, &invalid) || invalid;
    else
        used = !*name || msnp_object_symbol(name) != 0 || lookup(nullptr, name, &found);
    if (used) {
        refuse(idl, 25, "Object name or path is already used: %s", name);
        return nullptr;
    }
    const kind_ops *ops = ops_of(row->type);
    if (!ops) {
        refuse(idl, 26, "Unknown object type: %s", type);
        return nullptr;
    }
    iks *form = nullptr;
    bool wanted = idl && !idl->import && idl->event_first;
    void *obj = ops->make(idl, row->type, name, args, wanted ? &form : nullptr);
    if (form) {
        if (event_t *ev = tqevents_shortcut_object_new(form))
            idl->event_first(idl, ev);
        iks_delete(form);
    }
    return obj;
}

int msnp_add_object(idl_parser *idl, char **args)
{
    if (!privileged(idl) || !ents)
        return 0;
    if (!args || !args[0]) {
        refuse(idl, 2, "Missing specification");
        return 0;
    }
    if (!args[1]) {
        refuse(idl, 2, "Incorrect syntax");
        return 0;
    }
    msnp_object_type kind = MSNP_OBJECT_NONE;
    void *dest = lookup(idl, args[1], &kind);
    if (!dest) {
        refuse(idl, 27, "Unknown object: %s", args[1]);
        return 0;
    }
    if (special(idl, dest, args[1]))
        return 0;
    return msnp_add_object_dest(idl, dest, kind, args[0], args + 2, nullptr);
}

int msnp_del_object(idl_parser *idl, char **args)
{
    if (!privileged(idl) || !ents)
        return 0;
    if (!args || !args[0] || !args[1]) {
        refuse(idl, 2, "No references to delete");
        return 0;
    }
    msnp_object_type kind = MSNP_OBJECT_NONE;
    void *obj = lookup_known(idl, args[0], &kind);
    if (!obj || special(idl, obj, args[0]))
        return 0;
    for (char **ref = args + 1; *ref; ++ref)
        if (!del_one(idl, obj, *ops_of(kind), *ref) && idl)
            idl->warn(idl, "No references found: %s", *ref);
    return 0;
}

int msnp_collect_object(tq3_module *self, idl_parser *idl, char **args)
{
    if (!privileged(idl) || !ents)
        return 0;
    if (!args || !args[0]) {
        refuse(idl, 2, "No objects to collect");
        return 0;
    }
    int destroyed = 0, last = 0;
    for (char **name = args; *name; ++name) {
        msnp_object_type kind = MSNP_OBJECT_NONE;
        void *obj = lookup(idl, *name, &kind);
        if (!obj) {
            if (idl)
                idl->warn(idl, "Unknown object: %s", *name);
            continue;
        }
        if (special(idl, obj, *name))
            continue;
        /* The name goes with the object; the event needs a copy. */
        std::string gone(*name);
        const kind_ops &ops = *ops_of(kind);
        last = ops.destroy(self, idl, obj);
        ++destroyed;
        if (last >= 1 && ops.collect_event && idl && !idl->import && idl->event)
            if (event_t *ev = tqevents_shortcut_object_collect(gone.c_str()))
                idl->event(idl, ev);
    }
    if (!destroyed) {
        refuse(idl, 28, "No objects found");
        return 0;
    }
    if (last < 0) {
        refuse(idl, 28, "Invalid operation");
        return 0;
    }
    return 1;
}

int msnp_modify_object(idl_parser *idl, char **args)
{
    if (!privileged(idl) || !ents)
        return 0;
    if (!args || !args[0]) {
        refuse(idl, 2, "Missing object to modify");
        return 0;
    }
    if (!args[1]) {
        refuse(idl, 2, "Missing modify definitions");
        return 0;
    }
    msnp_object_type kind = MSNP_OBJECT_NONE;
    void *obj = lookup_known(idl, args[0], &kind);
    if (!obj)
        return 0;
    return ops_of(kind)->modify(idl, obj, args);
}

int msnp_move_object(idl_parser *idl, char **args)
{
    if (!privileged(idl) || !ents)
        return 0;
    if (!args || !args[0]) {
        refuse(idl, 2, "No specifications to move");
        return 0;
    }
    if (!args[1]) {
        refuse(idl, 2, "No indexes to move");
        return 0;
    }
    msnp_object_type kind = MSNP_OBJECT_NONE;
    void *obj = lookup_known(idl, args[0], &kind);
    if (!obj || special(idl, obj, args[0]))
        return 0;
    const kind_ops &ops = *ops_of(kind);
    if (!ops.movable) {
        if (idl)
            idl->warn(idl, "Object %s does not support moves", args[0]);
        return 1;
    }
    char **positions = args + 1;
    tqlist **list = ops.movable(obj, &positions);
    int src = 0, dst = 0;
    if (!parse_index(positions[0], &src) || !parse_index(positions[1], &dst)) {
        refuse(idl, 2, "Invalid syntax");
        return 1;
    }
    if (src != dst && msnp_list_move_index(list, src, dst))
        emit_data(idl, obj, kind);
    return 1;
}

int msnp_rename_object(idl_parser *idl, char **args)
{
    if (!privileged(idl) || !ents)
        return 0;
    if (!args) {
        refuse(idl, 2, "Missing specifications");
        return 0;
    }
    if (!args[0]) {
        refuse(idl, 2, "Missing object specification");
        return 0;
    }
    if (!args[1]) {
        refuse(idl, 2, "Missing new name specification");
        return 0;
    }
    msnp_object_type kind = MSNP_OBJECT_NONE;
    void *obj = lookup_known(idl, args[0], &kind);
    if (!obj || special(idl, obj, args[0]))
        return 0;
    const char *newname = args[1], *desc = args[2];
    int done = ops_of(kind)->rename(idl, obj, newname, desc);
    if (!done)
        refuse(idl, 25, "Object name %s already exists", newname);
    return done;
}

int msnp_glob_object(idl_parser *idl, char **args)
{
    if (!args || !args[0]) {
        refuse(idl, 2, "Missing object glob");
        return 0;
    }
    bool statistics = args[1] && strcmp(args[1], "with-statistics") == 0;
    if (!ents)
        return 0;
    std::shared_lock<msnp_policy_lock> policy(ents->root_lock);
    answer(idl, msnp_serialize_objects_from_glob(args[0], statistics));
    return 1;
}

int msnp_serialize_object(idl_parser *idl, char **args)
{
    if (!args || !args[0]) {
        refuse(idl, 2, "Missing object specification");
        return 0;
    }
    if (!ents)
        return 0;
    const char *name = args[0];
    std::shared_lock<msnp_policy_lock> policy(ents->root_lock);
    if (msnp_person *person = msnp_search_person(name, 0)) {
        int flags = WITH_NONE, options = 0;
        for (char **w = args + 1; *w; ++w) {
            if (strcmp(*w, "with-statistics") == 0) {
                flags |= WITH_STATISTICS;
                ++options;
            } else if (strcmp(*w, "with-contacts") == 0) {
                flags |= WITH_CONTACTS;
                ++options;
            }
        }
        /* With statistics, the words after the options are the period and
         * the range of the stored statistics. */
        const char *period = nullptr, *range = nullptr;
        if (flags & WITH_STATISTICS && args[options + 1]) {
            period = args[options + 1];
            range = args[options + 2];
        }
        answer(idl, msnp_serialize_object_single(person, flags, period, range));
        return 1;
    }
    if (msnp_group *group = msnp_search_group(name, 0)) {
        answer(idl, msnp_serialize_object_group(group));
        return 1;
    }
    for (auto search : {msnp_search_time, msnp_search_expr, msnp_search_imbitmap, msnp_search_object}) {
        if (msnp_object_generic *obj = search(name, 0)) {
            answer(idl, msnp_serialize_object_generic(obj));
            return 1;
        }
    }
    int err = 0;
    msnp_rtree *node = rtree_resolve_tree(ents->root, name, &err);
    if (node) {
        unsigned depth = args[1] ? static_cast<unsigned>(strtoul(args[1], nullptr, 10)) : static_cast<unsigned>(-1);
        iks *scratch = iks_new("relation-tree");
        /* At depth 0 the node is written without content and nothing is
         * returned: the answer is what went into the scratch element. */
        if (scratch)
            msnp_serialize_object_node(node, scratch, depth);
        if (iks *x = scratch ? iks_first_tag(scratch) : nullptr)
            answer(idl, iks_copy(x));
        iks_delete(scratch);
        return 1;
    }
    refuse(idl, 27, "Unknown object: %s", name);
    return 0;
}
