/* Management operations on the policy: changing a person's relations
 * ("modify"), re-targeting a relation, and serialising the objects whose
 * names match a pattern ("glob", and the object list of the policy
 * document). */
#include <iksemel.h>

#include <fnmatch.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tq3_msnp.h"
#include "tq3_msnp_config.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_xml.h"
#include "tqidl.h"
#include "tqlist.h"
#include "tqtable.h"

namespace {

/* Applies every word to the relation; the number applied. */
int apply_words(idl_parser *idl, msnp_relates *relation, char **words)
{
    int applied = 0;
    for (char **w = words; *w; ++w)
        applied += modify_relation(idl, relation, *w) > 0;
    return applied;
}

tqlist **target_backref(msnp_relates *relation)
{
    if (!relation->relation)
        return nullptr;
    if (relation->rel_type == MSNP_OBJECT_PERSON)
        return &static_cast<msnp_person *>(relation->relation)->relation_backref;
    if (relation->rel_type == MSNP_OBJECT_GROUP)
        return &static_cast<msnp_group *>(relation->relation)->relation_backref;
    return nullptr;
}

/* Gives the weak relation awaiting `cur` the name `newname`. A name that
 * already names a person or group does not need to wait: the relation is
 * made at once. */
void rekey_weak_relation(idl_parser *idl, msnp_person *person, const char *cur, const char *newname)
{
    tqtable *weak = person->weak;
    if (!weak || !weak->get_safe(weak, cur)) {
        if (idl)
            idl->error(idl, 27, "Unknown weak relation: %s", cur);
        return;
    }
    if (!*newname || msnp_object_symbol(newname) != 0) {
        if (idl)
            idl->error(idl, 23, "Not a valid object name: %s", newname);
        return;
    }
    if (strcmp(cur, newname) == 0)
        return;
    char *copy = strdup(newname);
    if (!copy)
        return;
    tqtable_wrlock(weak);
    auto *words = static_cast<tqlist *>(weak->get(weak, cur));
    int renamed = words && weak->rename(weak, cur, newname);
    if (renamed) {
        /* The stored list starts with the awaited name. */
        free(words->data);
        words->data = copy;
    }
    tqtable_unlock(weak);
    if (!renamed) {
        free(copy);
        if (idl)
            idl->error(idl, 25, "Object name %s already exists", newname);
        return;
    }
    msnp_weak_wait(MSNP_OBJECT_PERSON, person, newname);
    msnp_event_person_data(idl, person);
    if (msnp_search_person(newname, 0) || msnp_search_group(newname, 0))
        msnp_generic_resolve_weaks(idl, newname);
}

} // namespace

int msnp_relation_change_contact(idl_parser *idl, void *owner, const char *cur, const char *newname)
{
    if (!owner)
        return 0;
    if (!cur || !newname) {
        if (idl)
            idl->error(idl, 2, "Missing object specification");
        return 0;
    }
    auto *container = static_cast<msnp_relation_container *>(owner);

    msnp_relates *relation = nullptr;
    int index = 0;
    if (index_from_args(cur, &index)) {
        tqlist *l = list_from_index(container->contactl, index);
        if (l)
            relation = static_cast<msnp_relates *>(l->data);
    }
    if (!relation) {
        void *old_target = msnp_search_person(cur, 0);
        if (!old_target)
            old_target = msnp_search_group(cur, 0);
        if (old_target) {
            tqlist *l = tqlist_search(container->contactl, msnp_search_relation, old_target);
            if (!l) {
                if (idl)
                    idl->error(idl, 27, "Unknown relation: %s", cur);
                return 0;
            }
            relation = static_cast<msnp_relates *>(l->data);
        }
    }
    if (!relation) {
        if (container->object_type == MSNP_OBJECT_PERSON)
            rekey_weak_relation(idl, static_cast<msnp_person *>(owner), cur, newname);
        else if (idl)
            idl->error(idl, 1003, "Only person objects support weak relations");
        return 0;
    }

    msnp_object_type kind = MSNP_OBJECT_PERSON;
    void *target = msnp_search_person(newname, 0);
    if (!target) {
        kind = MSNP_OBJECT_GROUP;
        target = msnp_search_group(newname, 0);
    }
    if (!target) {
        if (idl)
            idl->error(idl, 27, "Unknown object reference: %s", newname);
        return 0;
    }
    if (target == owner) {
        if (idl)
            idl->error(idl, 20, "Self loop: %s", newname);
        return 0;
    }
    tqlist **old_backref = target_backref(relation);
    if (old_backref)
        while (tqlist_unlink_remove_ref(old_backref, relation))
            ;
    relation->relation = target;
    relation->rel_type = kind;
    tqlist_insert_begin(target_backref(relation), relation);
    return 1;
}

int msnp_modify_object_single(idl_parser *idl, msnp_person *person, char **args)
{
    if (!person)
        return 0;
    if (!args || !args[0]) {
        if (idl)
            idl->error(idl, 2, "Missing modify definitions");
        return 0;
    }
    const char *colon = strchr(args[0], ':');
    if (colon) {
        std::string key(args[0], static_cast<size_t>(colon - args[0]));
        const char *value = args[1];
        const char *extra = value ? args[2] : nullptr;
        int result = msnp_modify_person_property(idl, person, key.c_str(), value, extra);
        if (result > 0)
            msnp_event_person_data(idl, person);
        return result;
    }
    if (!args[1]) {
        if (idl)
            idl->error(idl, 2, "No definition to modify");
        return 0;
    }
    char **words = args + 1;

    int index = 0;
    if (index_from_args(args[0], &index)) {
        tqlist *l = list_from_index(person->contactl, index);
        if (!l) {
            if (idl)
                idl->error(idl, 28, "No references found: %s", args[0]);
            return 0;
        }
        int applied = apply_words(idl, static_cast<msnp_relates *>(l->data), words);
        if (applied)
            msnp_event_person_data(idl, person);
        return applied;
    }

    msnp_object_type kind = MSNP_OBJECT_NONE;
    void *target = msnp_generic_object_search(nullptr, args[0], &kind, 0, nullptr);
    if (target) {
        int applied = 0;
        for (tqlist *l = person->contactl; l; l = l->next) {
            auto *relation = static_cast<msnp_relates *>(l->data);
            if (relation->relation == target)
                applied += apply_words(idl, relation, words);
        }
        if (!applied) {
            if (idl)
                idl->error(idl, 28, "No references found: %s", args[0]);
            return 0;
        }
        msnp_event_person_data(idl, person);
        return applied;
    }

    /* A weak relation keeps its words as text until its target exists. */
    bool all = true;
    for (char **w = words; *w; ++w)
        if (!modify_relation_weak_single(person, args[0], *w)) {
            all = false;
            break;
        }
    if (all) {
        if (idl)
            idl->warn(idl, "Weak object relation: %s", args[0]);
        msnp_event_person_data(idl, person);
    } else if (idl) {
        idl->error(idl, 1001, "Unknown weak relation: %s", args[0]);
    }
    return 1;
}

/* ------------------------------------------------------------------ */
/* Objects by name pattern                                             */
/* ------------------------------------------------------------------ */

namespace {

struct glob_walk {
    const char *pattern;
    iks *list;
    int flags;           /* person serialisation flags */
    int contacts;        /* persons pass: 1 contacts only, 0 all others */
};

bool matches(const glob_walk *walk, const char *name)
{
    return name && fnmatch(walk->pattern, name, 0) == 0;
}

/* Moves a serialised object into the list (the list keeps a copy in its
 * own stack; the original tree is deleted). */
void append(iks *list, iks *object)
{
    if (!object)
        return;
    iks *copy = iks_copy_within(object, iks_stack(list));
    if (copy)
        msnp_xml_child_node(list, copy);
    iks_delete(object);
}

int visit_generic(const char *, void *value, void *arg)
{
    auto *walk = static_cast<glob_walk *>(arg);
    auto *obj = static_cast<msnp_object_generic *>(value);
    if (obj && matches(walk, obj->ident))
        append(walk->list, msnp_serialize_object_generic(obj));
    return 0;
}

int visit_person(const char *, void *value, void *arg)
{
    auto *walk = static_cast<glob_walk *>(arg);
    auto *person = static_cast<msnp_person *>(value);
    if (person && (person->type == PERSON_CONTACT) == (walk->contacts != 0) &&
        matches(walk, person->ident))
        append(walk->list,
               msnp_serialize_object_single(person, walk->flags, nullptr, nullptr));
    return 0;
}

int visit_group(const char *, void *value, void *arg)
{
    auto *walk = static_cast<glob_walk *>(arg);
    auto *group = static_cast<msnp_group *>(value);
    if (group && matches(walk, group->ident))
        append(walk->list, msnp_serialize_object_group(group));
    return 0;
}

void walk_table(tqtable *table, tqtable_visit_fn visit, glob_walk *walk)
{
    if (!table)
        return;
    tqtable_rdlock(table);
    linear_entries_direct(table, visit, walk);
    tqtable_unlock(table);
}

} // namespace

iks *msnp_serialize_objects_from_glob(const char *pattern, int statistics)
{
    if (!pattern || !ents)
        return nullptr;
    iks *list = iks_new("object-list");
    if (!list)
        return nullptr;
    glob_walk walk = {pattern, list, statistics ? WITH_STATISTICS : WITH_NONE, 0};

    /* Generic objects first and contacts before groups: relations and
     * members then name objects that a loader has already created, and
     * the persons that relate to all of them come last. */
    walk_table(ents->exprs, visit_generic, &walk);
    walk_table(ents->times, visit_generic, &walk);
    walk_table(ents->imbitmaps, visit_generic, &walk);
    walk_table(ents->objects, visit_generic, &walk);
    walk.contacts = 1;
    walk_table(ents->people, visit_person, &walk);
    walk_table(ents->groups, visit_group, &walk);
    walk.contacts = 0;
    walk_table(ents->people, visit_person, &walk);

    if (!iks_child(list)) {
        iks_delete(list);
        return nullptr;
    }
    return list;
}
