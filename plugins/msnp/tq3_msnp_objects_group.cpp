/* Groups and membership, and the resolution of weak references that
 * persons and groups hold for names that do not exist yet.
 *
 * A membership record is shared by both sides: the group lists it in
 * `glist`, the member in its `group_backref`. Whichever side is destroyed
 * removes the record from the other side and frees it. */
#include <iksemel.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "tq3_msnp.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_xml.h"
#include "tqidl.h"
#include "tqlist.h"
#include "tqtable.h"

msnp_group *msnp_search_group(const char *ident, int mask)
{
    if (!ident || !ents || !ents->groups)
        return nullptr;
    tqtable *t = ents->groups;
    return static_cast<msnp_group *>((mask & MSNP_OBJECT_GROUP) ? t->get(t, ident)
                                                                : t->get_safe(t, ident));
}

static void group_release(msnp_group *g)
{
    msnp_weak_forget(g);
    if (g->weak)
        tqtable_destroy_with_values(g->weak, nullptr);
    tqlist_destroy_without_refs(&g->glist);
    tqlist_destroy_without_refs(&g->group_backref);
    tqlist_destroy_without_refs(&g->relation_backref);
    free(g->ident);
    free(g->description);
    free(g);
}

msnp_group *new_msnp_group(idl_parser *idl, const char *ident)
{
    if (!ident || !ents || !ents->groups)
        return nullptr;
    auto *g = static_cast<msnp_group *>(calloc(1, sizeof(msnp_group)));
    if (!g)
        return nullptr;
    g->ident = strdup(ident);
    g->weak = new_tqtable(32);
    if (!g->ident || !g->weak) {
        group_release(g);
        return nullptr;
    }
    /* The caller holds the groups table or has the registry to itself. */
    if (!ents->groups->set_unique(ents->groups, g->ident, g)) {
        if (idl)
            idl->error(idl, 25, "Object identifier already exists: %s\n", ident);
        group_release(g);
        return nullptr;
    }
    msnp_generic_resolve_weaks(idl, g->ident);
    return g;
}

msnp_group *msnp_new_object_group(idl_parser *idl, const char *name, char **args)
{
    (void)args;
    if (!name) {
        if (idl)
            idl->error(idl, 2, "Missing group information");
        return nullptr;
    }
    msnp_object_type kind = MSNP_OBJECT_NONE;
    if (msnp_generic_object_search(idl, name, &kind, 0, nullptr) || msnp_object_symbol(name) != 0) {
        if (idl)
            idl->error(idl, 25, "Object identifier already exists: %s\n", name);
        return nullptr;
    }
    return new_msnp_group(idl, name);
}

static void group_event(idl_parser *idl, msnp_group *group)
{
    if (msnp_events_wanted(idl))
        msnp_event_object_data(idl, msnp_serialize_object_group(group));
}

/* The member's own list of the records that hold it. */
static tqlist **member_backref(msnp_group_member *record)
{
    if (!record || !record->member)
        return nullptr;
    if (record->type == MSNP_OBJECT_PERSON)
        return &static_cast<msnp_person *>(record->member)->group_backref;
    if (record->type == MSNP_OBJECT_GROUP)
        return &static_cast<msnp_group *>(record->member)->group_backref;
    return nullptr;
}

int msnp_add_group_member(idl_parser *idl, msnp_group *group, void *member, msnp_object_type type)
{
    if (!group || !member)
        return 0;
    if (type != MSNP_OBJECT_PERSON && type != MSNP_OBJECT_GROUP) {
        if (idl)
            idl->error(idl, 22, "Incompatible operation");
        return 0;
    }
    if (type == MSNP_OBJECT_PERSON && msnp_person_is_super(static_cast<msnp_person *>(member))) {
        if (idl)
            idl->error(idl, 1002, "Supers can not take part as relations");
        return 0;
    }
    if (member == group) {
        if (idl)
            idl->error(idl, 20, "Self loop detected: %s", group->ident);
        return 0;
    }
    auto *rec = static_cast<msnp_group_member *>(calloc(1, sizeof(msnp_group_member)));
    if (!rec)
        return 0;
    rec->type = type;
    rec->member = member;
    rec->back = group;
    rec->pattern = type == MSNP_OBJECT_PERSON && static_cast<msnp_person *>(member)->type == PERSON_CONTACT;
    tqlist_insert_end(&group->glist, rec);
    group->size++;
    group->patterns += rec->pattern;
    group->subgroups += type == MSNP_OBJECT_GROUP;
    msnp_group_changed();
    group_event(idl, group);
    tqlist_insert_begin(member_backref(rec), rec);
    return 1;
}

namespace {
std::atomic<uint64_t> group_changes{1};
} // namespace

uint64_t msnp_group_changes(void)
{
    return group_changes.load(std::memory_order_acquire);
}

void msnp_group_changed(void)
{
    group_changes.fetch_add(1, std::memory_order_acq_rel);
}

int msnp_group_unlink_member(msnp_group_member *record)
{
    tqlist **backref = member_backref(record);
    if (!backref)
        return 0;
    return tqlist_unlink_remove_ref(backref, record);
}

int msnp_group_unlink_member_back(idl_parser *idl, msnp_group_member *record)
{
    if (!record || !record->back ||
        (record->type != MSNP_OBJECT_PERSON && record->type != MSNP_OBJECT_GROUP))
        return 0;
    /* A record is made for one membership and stands in its group's list
     * once; a second search would walk the whole list for nothing. */
    int count = tqlist_unlink_remove_ref(&record->back->glist, record);
    if (count) {
        record->back->patterns -= record->pattern;
        record->back->subgroups -= record->type == MSNP_OBJECT_GROUP;
        msnp_group_changed();
    }
    if (count && idl)
        group_event(idl, record->back);
    return count;
}

int msnp_del_object_group(idl_parser *idl, msnp_group *group, void *ref)
{
    if (!group)
        return 0;
    for (tqlist *l = group->glist; l; l = l->next) {
        auto *rec = static_cast<msnp_group_member *>(l->data);
        if (rec->member == ref) {
            msnp_group_unlink_member(rec);
            msnp_group_unlink_member_back(idl, rec);
            free(rec);
            return 1;
        }
    }
    return 0;
}

int msnp_list_move_index(tqlist **list, int src, int dst)
{
    if (!list)
        return 0;
    tqlist *from = list_from_index(*list, src);
    tqlist *to = list_from_index(*list, dst);
    if (!from || !to)
        return 0;
    if (src == dst)
        return 1;
    /* The element lands on the far side of `to` from where it came, so that
     * after its old place is gone it stands at position `dst`. */
    void *data = from->data;
    if (!(src > dst ? tqlist_insert_before(list, to, data) : tqlist_insert_after(list, to, data)))
        return 0;
    tqlist_unlink_remove(list, from);
    return 1;
}

int msnp_move_object_group_index(idl_parser *idl, msnp_group *group, int src, int dst)
{
    (void)idl;
    if (!group)
        return 0;
    return msnp_list_move_index(&group->glist, src, dst);
}

int msnp_add_group_weak(idl_parser *idl, msnp_group *group, const char *name)
{
    if (!group || !name)
        return 0;
    if (!msnp_weak_name_add(group->weak, &group->wdirty, name))
        return 0;
    msnp_weak_wait(MSNP_OBJECT_GROUP, group, name);
    group_event(idl, group);
    return 1;
}

int msnp_del_group_weak(idl_parser *idl, msnp_group *group, const char *name)
{
    if (!group || !name)
        return 0;
    if (!msnp_weak_name_del(group->weak, &group->wdirty, name))
        return 0;
    group_event(idl, group);
    return 1;
}

int msnp_destroy_group(idl_parser *idl, msnp_group *group)
{
    if (!group)
        return 0;
    if (ents && ents->groups) {
        tqtable_wrlock(ents->groups);
        if (ents->groups->get(ents->groups, group->ident) == group)
            ents->groups->remove(ents->groups, group->ident);
        tqtable_unlock(ents->groups);
    }
    while (group->group_backref) {
        auto *rec = static_cast<msnp_group_member *>(group->group_backref->data);
        tqlist_unlink_remove(&group->group_backref, group->group_backref);
        msnp_group_unlink_member_back(idl, rec);
        free(rec);
    }
    while (group->glist) {
        auto *rec = static_cast<msnp_group_member *>(group->glist->data);
        tqlist_unlink_remove(&group->glist, group->glist);
        msnp_group_unlink_member(rec);
        free(rec);
    }
    while (group->relation_backref) {
        auto *rel = static_cast<msnp_relates *>(group->relation_backref->data);
        tqlist_unlink_remove(&group->relation_backref, group->relation_backref);
        if (msnp_unlink_relation(idl, rel) == 0)
            msnp_unlink_relation_reverse(rel);
    }
    group_release(group);
    return 1;
}

/* ------------------------------------------------------------------ */
/* Weak references of persons and groups                               */
/* ------------------------------------------------------------------ */

static void resolve_person(idl_parser *idl, msnp_person *person, const char *ident)
{
    if (!person->weak)
        return;
    tqtable_wrlock(person->weak);
    auto *words = static_cast<tqlist *>(person->weak->get(person->weak, ident));
    if (words) {
        /* The stored words follow the awaited name, in the order given. */
        char **perm = symbol_table_from_list(words->next);
        msnp_add_object_dest(idl, person, MSNP_OBJECT_PERSON, ident, perm, nullptr);
        free(perm);
        person->weak->remove(person->weak, ident);
        tqlist_destroy(&words, nullptr);
        if (person->wdirty)
            person->wdirty--;
    }
    tqtable_unlock(person->weak);
}

static void resolve_group(idl_parser *idl, msnp_group *group, const char *ident)
{
    if (!group->weak)
        return;
    tqtable_wrlock(group->weak);
    auto *copy = static_cast<char *>(group->weak->get(group->weak, ident));
    if (copy) {
        msnp_add_object_dest(idl, group, MSNP_OBJECT_GROUP, ident, nullptr, nullptr);
        group->weak->remove(group->weak, ident);
        free(copy);
        if (group->wdirty)
            group->wdirty--;
    }
    tqtable_unlock(group->weak);
}

int msnp_generic_resolve_weaks(idl_parser *idl, const char *ident)
{
    if (!ident || !ents)
        return 0;
    /* Persons first, then groups, each in the order they began to wait. */
    std::vector<msnp_weak_holder> waiting = msnp_weak_take(ident);
    std::stable_partition(waiting.begin(), waiting.end(), [](const msnp_weak_holder &h) {
        return h.type == MSNP_OBJECT_PERSON;
    });
    for (const msnp_weak_holder &h : waiting) {
        if (h.type == MSNP_OBJECT_PERSON) {
            tqtable_rdlock(ents->people);
            resolve_person(idl, static_cast<msnp_person *>(h.object), ident);
            tqtable_unlock(ents->people);
        } else if (h.type == MSNP_OBJECT_GROUP) {
            tqtable_rdlock(ents->groups);
            resolve_group(idl, static_cast<msnp_group *>(h.object), ident);
            tqtable_unlock(ents->groups);
        }
    }
    return 0;
}

/* ------------------------------------------------------------------ */
/* Serialised groups                                                   */
/* ------------------------------------------------------------------ */

iks *msnp_serialize_group_member(msnp_group_member *record, ikstack *stack)
{
    if (!record)
        return nullptr;
    iks *m = stack ? iks_new_within("member", stack) : iks_new("member");
    const char *type = "unknown";
    const char *text = "unknown";
    if (record->type == MSNP_OBJECT_PERSON && record->member) {
        type = "single";
        text = static_cast<msnp_person *>(record->member)->ident;
    } else if (record->type == MSNP_OBJECT_GROUP && record->member) {
        type = "group";
        text = static_cast<msnp_group *>(record->member)->ident;
    }
    iks_insert_attrib(m, "type", type);
    iks_insert_cdata(m, text, 0);
    return m;
}

static int visit_weak_member(const char *key, void *, void *arg)
{
    iks *m = msnp_xml_child(static_cast<iks *>(arg), "member");
    iks_insert_attrib(m, "type", "weak");
    iks_insert_cdata(m, key, 0);
    return 0;
}

iks *msnp_serialize_object_group(msnp_group *group)
{
    if (!group)
        return nullptr;
    iks *x = iks_new("group");
    iks_insert_attrib(x, "name", group->ident);
    if (ents && group == ents->group_local)
        iks_insert_attrib(x, "internal", "1");
    if (group->description)
        msnp_xml_text_child(x, "description", group->description);
    for (tqlist *l = group->glist; l; l = l->next) {
        iks *m = msnp_serialize_group_member(static_cast<msnp_group_member *>(l->data), iks_stack(x));
        if (m)
            msnp_xml_child_node(x, m);
    }
    /* Read without the weak table's lock, like the person form: weak
     * resolution emits this form while it holds that lock. */
    if (group->weak)
        linear_entries_direct(group->weak, visit_weak_member, x);
    return x;
}
