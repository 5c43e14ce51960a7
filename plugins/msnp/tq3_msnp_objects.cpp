/* Policy objects: object kinds and names, the registry, persons and their
 * run-time users.
 *
 * Ownership: the registry owns every person; a person owns its strings, its
 * compiled contact pattern, its weak-relation table and its back-reference
 * lists (not the objects they point at). A run-time user belongs to its
 * person and is reference counted. */
#include <iksemel.h>

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string>


#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_config.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_rtree.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_xml.h"
#include "tqidl.h"
#include "utils.h"

/* ------------------------------------------------------------------ */
/* Events and object kinds                                             */
/* ------------------------------------------------------------------ */

void msnp_event_object_new(idl_parser *idl, iks *xml)
{
    if (idl && !idl->import && idl->event && xml) {
        event_t *ev = tqevents_shortcut_object_new(xml);
        if (ev)
            idl->event(idl, ev);
    }
    if (xml)
        iks_delete(xml);
}

int msnp_events_wanted(const idl_parser *idl)
{
    return idl && !idl->import && idl->event;
}

void msnp_event_person_data(idl_parser *idl, msnp_person *person)
{
    if (person && msnp_events_wanted(idl))
        msnp_event_object_data(idl, msnp_serialize_object_single(person, WITH_NONE, nullptr, nullptr));
}

int msnp_set_description(idl_parser *idl, char **description, const char *desc)
{
    if (!desc) {
        if (idl)
            idl->error(idl, 2, "Missing description");
        return 0;
    }
    char *text = strdup(desc);
    if (!text)
        return 0;
    dequote(text, '"');
    free(*description);
    *description = nullptr;
    if (*text)
        *description = text;
    else
        free(text);
    return 1;
}

void msnp_event_object_data(idl_parser *idl, iks *xml)
{
    if (idl && !idl->import && idl->event && xml) {
        event_t *ev = tqevents_shortcut_object_data(xml);
        if (ev)
            idl->event(idl, ev);
    }
    if (xml)
        iks_delete(xml);
}

extern "C" const msnp_object msnp_objects[] = {
    {"person", MSNP_OBJECT_PERSON},
    {"group", MSNP_OBJECT_GROUP},
    {"node", MSNP_OBJECT_NODE},
    {"time", MSNP_OBJECT_TIME},
    {"expr", MSNP_OBJECT_EXPR},
    {"imbitmap", MSNP_OBJECT_IMBITMAP},
    {"object", MSNP_OBJECT_OBJECT},
    {"", MSNP_OBJECT_NONE},
};

const msnp_object *msnp_object_search_symbol(const char *name)
{
    const msnp_object *row = msnp_objects;
    for (; row->type != MSNP_OBJECT_NONE; ++row)
        if (name && strcmp(row->name, name) == 0)
            break;
    return row;
}

const msnp_object *msnp_object_search_type(msnp_object_type type)
{
    const msnp_object *row = msnp_objects;
    for (; row->type != MSNP_OBJECT_NONE; ++row)
        if (row->type == type)
            break;
    return row;
}

/* Letters are ASCII letters only: names travel in XML and on command lines
 * and must not change meaning with the host's locale. */
static int symbol_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char msnp_object_symbol(const char *sym)
{
    if (!sym)
        return 1; /* no text is never a name */
    if (!symbol_letter(sym[0]))
        return sym[0]; /* the empty text gives 0: it passes */
    for (const char *p = sym + 1; *p; ++p)
        if (!symbol_letter(*p) && !(*p >= '0' && *p <= '9') && *p != '_')
            return *p;
    return 0;
}

int msnp_rename_in_table(idl_parser *idl, tqtable *table, char **ident, const char *newname)
{
    if (!newname || !*newname || msnp_object_symbol(newname) != 0) {
        if (idl)
            idl->error(idl, 23, "Not a valid object name: %s", newname ? newname : "");
        return 0;
    }
    if (!table || !ident || !*ident)
        return 0;
    /* The other tables are asked before this one is locked: taking their
     * locks while holding it would order the table locks one way here and
     * the other way where weak references are resolved. Changes to the
     * policy are made one at a time, so the answer still holds below. */
    msnp_object_type found = MSNP_OBJECT_NONE;
    if (msnp_generic_object_search(nullptr, newname, &found, 0, nullptr))
        return 0;
    char *copy = strdup(newname);
    if (!copy)
        return 0;
    tqtable_wrlock(table);
    if (!table->rename(table, *ident, newname)) {
        tqtable_unlock(table);
        free(copy);
        return 0;
    }
    char *old = *ident;
    *ident = copy;
    tqtable_unlock(table);
    if (idl && !idl->import && idl->event) {
        if (event_t *ev = tqevents_shortcut_object_rename(old, copy))
            idl->event(idl, ev);
    }
    free(old);
    return 1;
}

/* ------------------------------------------------------------------ */
/* Lookups                                                             */
/* ------------------------------------------------------------------ */

msnp_person *msnp_search_person(const char *ident, int mask)
{
    if (!ident || !ents || !ents->people)
        return nullptr;
    tqtable *t = ents->people;
    return static_cast<msnp_person *>((mask & MSNP_OBJECT_PERSON) ? t->get(t, ident)
                                                                  : t->get_safe(t, ident));
}

namespace {
struct handle_query {
    const char *handle;
    msnp_person_type type;
    msnp_person *found;
};
} // namespace

static int visit_person_handle(const char *, void *value, void *arg)
{
    auto *q = static_cast<handle_query *>(arg);
    auto *p = static_cast<msnp_person *>(value);
    if (p && p->type == q->type && p->handle && strcmp(p->handle, q->handle) == 0) {
        q->found = p;
        return 1;
    }
    return 0;
}

msnp_person *msnp_search_person_by_handle(const char *handle, msnp_person_type type)
{
    if (!handle || !ents || !ents->people)
        return nullptr;
    if (type == PERSON_USER)
        return msnp_user_handle_find(handle);
    handle_query q = {handle, type, nullptr};
    tqtable_rdlock(ents->people);
    linear_entries_direct(ents->people, visit_person_handle, &q);
    tqtable_unlock(ents->people);
    return q.found;
}

msnp_person *msnp_search_user(const char *handle)
{
    if (!handle || !ents || !ents->users)
        return nullptr;
    auto *user = static_cast<msnp_user *>(ents->users->get_safe(ents->users, handle));
    return user ? user->person : nullptr;
}

void *msnp_generic_object_search(idl_parser *idl, const char *sym, msnp_object_type *type, int mask,
                                 int *err)
{
    if (type)
        *type = MSNP_OBJECT_NONE;
    if (!sym || !ents)
        return nullptr;

    if (msnp_object_symbol(sym) == 0 && mask != MSNP_OBJECT_NODE) {
        void *hit;
        if ((hit = msnp_search_person(sym, mask))) {
            if (type)
                *type = MSNP_OBJECT_PERSON;
            return hit;
        }
        if ((hit = msnp_search_group(sym, mask))) {
            if (type)
                *type = MSNP_OBJECT_GROUP;
            return hit;
        }
        static const struct {
            msnp_object_generic *(*search)(const char *, int);
            msnp_object_type kind;
        } generic[] = {
            {msnp_search_object, MSNP_OBJECT_OBJECT},
            {msnp_search_time, MSNP_OBJECT_TIME},
            {msnp_search_expr, MSNP_OBJECT_EXPR},
            {msnp_search_imbitmap, MSNP_OBJECT_IMBITMAP},
        };
        for (const auto &g : generic)
            if ((hit = g.search(sym, mask))) {
                if (type)
                    *type = g.kind;
                return hit;
            }
        /* A caller that wants the kind back also accepts a top-level node
         * named like an identifier. */
        if (type) {
            msnp_rtree *node = rtree_search_sibling(ents->root, sym);
            if (node) {
                *type = MSNP_OBJECT_NODE;
                return node;
            }
        }
        return nullptr;
    }

    int invalid = 0;
    msnp_rtree *node = rtree_resolve_tree(ents->root, sym, &invalid);
    if (node) {
        if (type)
            *type = MSNP_OBJECT_NODE;
        return node;
    }
    if (invalid && mask == MSNP_OBJECT_NODE && idl) {
        idl->error(idl, 23, "Path contains invalid names: %s", sym);
        if (err)
            *err = 1;
        return nullptr;
    }
    if (idl && mask != MSNP_OBJECT_NODE)
        idl->error(idl, 23, "Not a valid object name or path: %s", sym);
    if (err)
        *err = (mask == MSNP_OBJECT_NODE && !invalid) ? 0 : 1;
    return nullptr;
}

/* ------------------------------------------------------------------ */
/* Persons                                                             */
/* ------------------------------------------------------------------ */

static void release_regex(regex_t *re)
{
    if (re) {
        regfree(re);
        free(re);
    }
}

static void release_weak_relation(void *list)
{
    auto *l = static_cast<tqlist *>(list);
    tqlist_destroy(&l, nullptr);
}

/* Frees what the person owns; the person must already be out of every
 * table and list. */
static void person_release(msnp_person *p)
{
    if (!p)
        return;
    msnp_weak_forget(p);
    msnp_user_handle_forget(p);
    if (p->weak)
        tqtable_destroy_with_values(p->weak, release_weak_relation);
    release_regex(p->re_handle);
    char *strings[] = {p->ident, p->description, p->handle, p->friendly, p->ver_system_lower,
                       p->ver_system_upper, p->ver_client_lower, p->ver_client_upper, p->pmm,
                       p->psm, p->fixed_state, p->fixed_privacy, p->auto_reply, p->username};
    for (char *s : strings)
        free(s);
    tqlist_destroy_without_refs(&p->contactl);
    tqlist_destroy_without_refs(&p->supers);
    tqlist_destroy_without_refs(&p->group_backref);
    tqlist_destroy_without_refs(&p->relation_backref);
    tqlist_destroy_without_refs(&p->supers_backref);
    tqlist_destroy_without_refs(&p->rtree_backref);
    free(p);
}

int msnp_person_is_super(const msnp_person *person)
{
    return person && !person->handle;
}

/* Group records keep whether their person is a contact pattern. */
static void mirror_type_in_groups(msnp_person *person)
{
    for (tqlist *l = person->group_backref; l; l = l->next) {
        auto *record = static_cast<msnp_group_member *>(l->data);
        int pattern = person->type == PERSON_CONTACT;
        if (record->back)
            record->back->patterns += static_cast<unsigned>(pattern - record->pattern);
        record->pattern = pattern;
    }
    msnp_group_changed();
}

int msnp_person_set_handle(idl_parser *idl, msnp_person *person, const char *handle)
{
    if (!person)
        return 0;

    if (!handle) {
        if (person->handle && person->type != PERSON_SUPER)
            return 0;
        free(person->handle);
        release_regex(person->re_handle);
        person->handle = nullptr;
        person->re_handle = nullptr;
        person->type = PERSON_SUPER;
        mirror_type_in_groups(person);
        return 1;
    }

    if (handle[0] == '/') {
        if (person->handle && person->type != PERSON_CONTACT)
            return 0;
        char *text = strdup(handle);
        if (!text)
            return 0;
        dequote(text, '/');
        const char *pattern = text[0] == '!' ? text + 1 : text;
        auto *re = static_cast<regex_t *>(malloc(sizeof(regex_t)));
        /* A pattern that does not compile is refused: a person whose
         * pattern could never be evaluated would silently match nothing. */
        /* Handles compare without regard to case, as servers compare them:
         * decisions read them lowered, and the pattern is lowered to match
         * (escapes such as \W keep their meaning; a case-blind compile
         * would make every match slower). */
        std::string lowered;
        for (const char *c = pattern; *c; ++c) {
            if (*c == '\\' && c[1]) {
                lowered += *c++;
                lowered += *c;
            } else {
                lowered += static_cast<char>(tolower(static_cast<unsigned char>(*c)));
            }
        }
        if (!re || regcomp(re, lowered.c_str(), 0) != 0) {
            if (idl)
                idl->warn(idl, "Contact pattern does not compile: %s", handle);
            free(re);
            free(text);
            return 0;
        }
        free(person->handle);
        release_regex(person->re_handle);
        person->handle = text;
        person->re_handle = re;
        person->type = PERSON_CONTACT;
        mirror_type_in_groups(person);
        return 1;
    }

    if (person->handle && person->type != PERSON_USER)
        return 0;
    /* A person being built is checked by its constructor, which also has to
     * undo the construction. */
    if (person->type != PERSON_NONE) {
        msnp_person *other = msnp_search_person_by_handle(handle, PERSON_USER);
        if (other) {
            if (idl)
                idl->error(idl, 1006, "Object handle is already used: %s", other->ident);
            return 0;
        }
    }
    char *copy = strdup(handle);
    if (!copy)
        return 0;
    char *old = person->handle;
    person->handle = copy;
    release_regex(person->re_handle);
    person->re_handle = nullptr;
    person->type = PERSON_USER;
    mirror_type_in_groups(person);
    if (person->user && old && ents && ents->users)
        ents->users->rename_safe(ents->users, old, copy);
    /* A person under construction is indexed, and joins "Local", once it
     * is registered. A super that becomes a user joins "Local" now: every
     * user is a member, and a rule on "Local" must reach this one too. */
    if (person->type == PERSON_USER && ents && ents->people &&
        ents->people->get_safe(ents->people, person->ident) == person) {
        msnp_user_handle_index(person, old);
        if (!old && ents->group_local)
            msnp_add_group_member(idl, ents->group_local, person, MSNP_OBJECT_PERSON);
    }
    free(old);
    return 1;
}

msnp_person *new_msnp_person(idl_parser *idl, const char *ident, const char *handle,
                             const char *friendly)
{
    if (!ident || !ents)
        return nullptr;
    auto *p = static_cast<msnp_person *>(calloc(1, sizeof(msnp_person)));
    if (!p)
        return nullptr;
    p->object_type = MSNP_OBJECT_PERSON;
    p->ident = strdup(ident);
    p->type = PERSON_NONE;
    if (!p->ident || !msnp_person_set_handle(idl, p, handle)) {
        person_release(p);
        return nullptr;
    }
    p->friendly = friendly ? strdup(friendly) : nullptr;
    p->weak = new_tqtable(32);
    p->wdirty = 0;
    msnp_statistics_zero(&p->stats);

    if (p->type == PERSON_USER) {
        msnp_person *other = msnp_search_person_by_handle(p->handle, PERSON_USER);
        if (other) {
            if (idl)
                idl->error(idl, 1006, "Object handle is already used: %s", other->ident);
            person_release(p);
            return nullptr;
        }
    }
    if (!ents->people->set_unique_safe(ents->people, p->ident, p)) {
        if (idl)
            idl->error(idl, 25, "Object identifier already exists: %s", ident);
        person_release(p);
        return nullptr;
    }
    msnp_user_handle_index(p, nullptr);
    msnp_generic_resolve_weaks(idl, p->ident);
    if (p->type == PERSON_USER && ents->group_local)
        msnp_add_group_member(idl, ents->group_local, p, MSNP_OBJECT_PERSON);
    return p;
}

msnp_person *msnp_new_object_person(idl_parser *idl, const char *ident, char **args)
{
    if (!ident) {
        if (idl)
            idl->error(idl, 2, "Missing person identification");
        return nullptr;
    }
    msnp_object_type kind = MSNP_OBJECT_NONE;
    int err = 0;
    void *found = msnp_generic_object_search(idl, ident, &kind, 0, &err);
    if (found || msnp_object_symbol(ident) != 0) {
        if (idl)
            idl->error(idl, 25, "Object identifier already exists: %s", ident);
        return nullptr;
    }
    const char *handle = args ? args[0] : nullptr;
    const char *friendly = handle ? args[1] : nullptr;
    return new_msnp_person(idl, ident, handle, friendly);
}

/* ------------------------------------------------------------------ */
/* Run-time users                                                      */
/* ------------------------------------------------------------------ */

int msnp_bounty_values(msnp_user *user)
{
    if (!user || !user->person)
        return 0;
    if (user->person->bounty_life)
        user->bounty_life = user->person->bounty_life;
    if (user->person->bounty_initial)
        user->bounty_initial = user->person->bounty_initial;
    if (!user->bounty_life)
        user->bounty_life = static_cast<int>(msnp_get_var_long("bounties-lifetime", 0));
    if (!user->bounty_initial)
        user->bounty_initial = static_cast<int>(msnp_get_var_long("bounties-initial", 0));
    return 1;
}

/* Run-time users are not parked in `busers`: a user person that leaves its
 * last node loses its run-time user for good, and the next placement builds
 * a fresh one with quotas read anew. `busers` is still consulted first so
 * that a parked user, should another part of the module ever park one, is
 * revived as the person's user. */
msnp_user *new_msn_user(msnp_person *person)
{
    if (!person || !person->handle || !ents)
        return nullptr;
    auto *parked = static_cast<msnp_user *>(ents->busers->remove_safe(ents->busers, person->handle));
    if (parked) {
        parked->person = person;
        person->user = parked;
        ents->users->set_safe(ents->users, person->handle, parked);
        return parked;
    }
    auto *existing = static_cast<msnp_user *>(ents->users->get_safe(ents->users, person->handle));
    if (existing)
        return existing;

    auto *u = new msnp_user();
    u->person = person;
    u->user_ref = 1;
    u->guest_time = 0;
    u->welcomed = 0;
    u->master = 0;
    person->user = u;
    u->bounty_initial = u->bounty_current = u->bounty_life = u->bounty_lifecur = 0;
    msnp_bounty_values(u);
    /* A user starts with a whole period and its whole allowance: one that
     * starts with nothing left is refused at its first sign-in. */
    u->bounty_lifecur = u->bounty_life;
    u->bounty_current = u->bounty_initial;
    ents->users->set_safe(ents->users, person->handle, u);
    return u;
}

void destroy_msnp_user(msnp_user *user)
{
    if (!user)
        return;
    if (user->user_ref >= 2) {
        --user->user_ref;
        return;
    }
    if (user->person && user->person->handle && ents && ents->users) {
        /* Only this user's own entry goes: the handle may meanwhile name a
         * newer run-time user. */
        tqtable_wrlock(ents->users);
        if (ents->users->get(ents->users, user->person->handle) == user)
            ents->users->remove(ents->users, user->person->handle);
        tqtable_unlock(ents->users);
    }
    for (const char *contact : user->contacts)
        msnp_handle_release(const_cast<char *>(contact));
    delete user;
}

/* ------------------------------------------------------------------ */
/* Destroying a person                                                 */
/* ------------------------------------------------------------------ */

namespace {

/* The tracked connections let go of `person` (of every person when it is
 * null): none may point at a person once it is freed, and the decisions
 * find the user by the connection's handle. The host ends the connections
 * of a user that still has its run-time record; one that lost it already
 * (its last node went first) keeps them. */
void release_trackers(tq3_module *self, const msnp_person *person, bool orphan = false)
{
    if (!self)
        return;
    pthread_rwlock_rdlock(&self->data_lock);
    for (tqlist *l = self->data; l; l = l->next) {
        auto *track = static_cast<msnp_conntrack *>(l->data);
        if (!track)
            continue;
        if (orphan) {
            /* Every connection with a user, also one whose person lost its
             * run-time record with its node: the next policy decides. */
            track->person = nullptr;
            if (track->user_handle)
                track->orphaned.store(true, std::memory_order_release);
            continue;
        }
        msnp_person *held = track->person;
        if (!held || (person && held != person))
            continue;
        track->person = nullptr;
        if (held->type == PERSON_USER && held->user && track->conn)
            track->conn->poison_match = TQ_MATCH_BLOCK;
    }
    pthread_rwlock_unlock(&self->data_lock);
}

int destroy_person(tq3_module *self, idl_parser *idl, msnp_person *person, bool release);

} // namespace

int msnp_destroy_people(tq3_module *self, idl_parser *idl, tqlist *people, bool orphan)
{
    if (!self && ents)
        self = ents->self;
    /* One pass over the connections for all: a pass per person made
     * dropping 10,000 users with 5,000 connected take a second under the
     * policy's write lock. */
    release_trackers(self, nullptr, orphan);
    int n = 0;
    for (tqlist *l = people; l; l = l->next)
        n += destroy_person(self, idl, static_cast<msnp_person *>(l->data), false);
    return n;
}

int msnp_destroy_person(tq3_module *self, idl_parser *idl, msnp_person *person)
{
    return destroy_person(self, idl, person, true);
}

namespace {

int destroy_person(tq3_module *self, idl_parser *idl, msnp_person *person, bool release)
{
    if (!person)
        return 0;
    if (!self && ents)
        self = ents->self;
    if (release && person->type == PERSON_USER)
        release_trackers(self, person);

    while (person->contactl) {
        auto *rel = static_cast<msnp_relates *>(person->contactl->data);
        tqlist_unlink_remove(&person->contactl, person->contactl);
        msnp_unlink_relation_reverse(rel);
    }

    while (person->group_backref) {
        auto *rec = static_cast<msnp_group_member *>(person->group_backref->data);
        tqlist_unlink_remove(&person->group_backref, person->group_backref);
        msnp_group_unlink_member_back(idl, rec);
        free(rec);
    }

    while (person->relation_backref) {
        auto *rel = static_cast<msnp_relates *>(person->relation_backref->data);
        tqlist_unlink_remove(&person->relation_backref, person->relation_backref);
        /* A relation that its owner does not list is an orphan; it is freed
         * here so that it cannot point at the freed person. */
        if (msnp_unlink_relation(idl, rel) == 0)
            msnp_unlink_relation_reverse(rel);
    }

    while (person->rtree_backref) {
        auto *node = static_cast<msnp_rtree *>(person->rtree_backref->data);
        tqlist_unlink_remove(&person->rtree_backref, person->rtree_backref);
        msnp_rtree_unlink_user(idl, node, person);
    }

    while (person->supers_backref) {
        auto *other = static_cast<msnp_person *>(person->supers_backref->data);
        tqlist_unlink_remove(&person->supers_backref, person->supers_backref);
        while (tqlist_unlink_remove_ref(&other->supers, person))
            msnp_event_person_data(idl, person);
    }

    for (tqlist *l = person->supers; l; l = l->next) {
        auto *super = static_cast<msnp_person *>(l->data);
        while (tqlist_unlink_remove_ref(&super->supers_backref, person))
            ;
    }
    tqlist_destroy_without_refs(&person->supers);

    tqtable_destroy_with_values(person->weak, release_weak_relation);
    person->weak = nullptr;
    if (ents && ents->people) {
        tqtable_wrlock(ents->people);
        if (ents->people->get(ents->people, person->ident) == person)
            ents->people->remove(ents->people, person->ident);
        tqtable_unlock(ents->people);
    }

    if (person->handle && ents && ents->users) {
        auto *user = static_cast<msnp_user *>(ents->users->get_safe(ents->users, person->handle));
        if (user && user->person == person) {
            person->user = nullptr;
            destroy_msnp_user(user);
        }
    }
    /* A run-time user that is no longer in `users` is still this person's
     * to release. */
    if (person->user) {
        msnp_user *user = person->user;
        person->user = nullptr;
        destroy_msnp_user(user);
    }

    person_release(person);
    return 1;
}

} // namespace

/* ------------------------------------------------------------------ */
/* Serialised person                                                   */
/* ------------------------------------------------------------------ */

/* Statistics of a user person: the current period's counters and, when a
 * period `arg` (number of stored files, 0 for all) is asked for, the stored
 * ones, listed or summed over `range`, inside the same element. An `arg`
 * that is not an unsigned decimal number asks for nothing stored. */
static iks *msnp_person_statistics(msnp_person *person, const char *arg, const char *range,
                                   ikstack *stack)
{
    iks *stats = msnp_statistics_serialize(&person->stats, stack, 0);
    if (!arg || !*arg)
        return stats;
    int past = 0;
    for (const char *p = arg; *p; ++p) {
        if (*p < '0' || *p > '9' || past >= 100000) /* far beyond any kept rotation */
            return stats;
        past = past * 10 + (*p - '0');
    }
    iks *persisted = msnp_statistics_persisted(person, past, range);
    if (!persisted)
        return stats;
    iks *copy = iks_copy_within(persisted, stack);
    iks_delete(persisted);
    if (!copy)
        return stats;
    if (!stats) {
        stats = iks_new_within("statistics", stack);
        if (!stats)
            return nullptr;
        iks_insert_cdata(stats, "\n", 1);
    }
    iks_insert_node(stats, copy);
    iks_insert_cdata(stats, "\n", 1);
    return stats;
}

namespace {
struct weak_serial {
    iks *list;
};
} // namespace

static int visit_weak_relation(const char *key, void *value, void *arg)
{
    auto *ws = static_cast<weak_serial *>(arg);
    auto *words = static_cast<tqlist *>(value);
    iks *rel = msnp_xml_child(ws->list, "relation");
    iks_insert_attrib(rel, "object", key);
    if (words && words->next) {
        iks *acl = iks_insert(rel, "access-list");
        for (tqlist *w = words->next; w; w = w->next)
            msnp_xml_text_child(acl, "object", static_cast<const char *>(w->data));
    }
    return 0;
}

iks *msnp_serialize_object_single(msnp_person *person, int flags, const char *arg,
                                  const char *range)
{
    if (!person)
        return nullptr;
    char buf[64];
    iks *x = iks_new("person");
    snprintf(buf, sizeof buf, "%d", static_cast<int>(person->type));
    iks_insert_attrib(x, "type", buf);
    if (person->ident)
        iks_insert_attrib(x, "name", person->ident);
    if (person->type == PERSON_USER && person->user && person->user->guest_time)
        iks_insert_attrib(x, "guest", "1");

    if (person->handle)
        msnp_xml_text_child(x, "handle", person->handle);
    if (person->friendly)
        msnp_xml_text_child(x, "friendly", person->friendly);
    if (person->description)
        msnp_xml_text_child(x, "description", person->description);

    msnp_serialize_person_properties(x, person);

    if (person->rtree_backref) {
        iks *refs = msnp_xml_child(x, "back-references");
        for (tqlist *l = person->rtree_backref; l; l = l->next) {
            char *path = rtree_reverse(static_cast<msnp_rtree *>(l->data));
            if (path)
                msnp_xml_text_child(refs, "reference", path);
            free(path);
        }
    }

    for (tqlist *l = person->supers; l; l = l->next)
        msnp_xml_text_child(x, "super", static_cast<msnp_person *>(l->data)->ident);

    if ((flags & WITH_STATISTICS) && person->type == PERSON_USER) {
        iks *stats = msnp_person_statistics(person, arg, range, iks_stack(x));
        if (stats)
            msnp_xml_child_node(x, stats);
    }
    if ((flags & WITH_CONTACTS) && person->user) {
        std::lock_guard<std::mutex> hold(person->user->contacts_lock);
        iks *contacts = msnp_serialize_contacts(person->user->contacts, iks_stack(x), 0);
        if (contacts)
            msnp_xml_child_node(x, contacts);
    }

    if (person->contactl || person->wdirty) {
        iks *list = iks_new_within("relation-list", iks_stack(x));
        for (tqlist *l = person->contactl; l; l = l->next) {
            iks *rel = msnp_serialize_relation(static_cast<msnp_relates *>(l->data), iks_stack(x));
            if (rel)
                msnp_xml_child_node(list, rel);
        }
        /* Read without the weak table's lock: this form is also built while
         * weak resolution holds that lock to turn an entry into a relation. */
        if (person->weak) {
            weak_serial ws = {list};
            linear_entries_direct(person->weak, visit_weak_relation, &ws);
        }
        if (iks_first_tag(list))
            msnp_xml_child_node(x, list);
    }
    return x;
}

/* ------------------------------------------------------------------ */
/* The registry                                                        */
/* ------------------------------------------------------------------ */

msnp_entities *msnp_entities_new(tq3_module *self)
{
    auto *e = new msnp_entities();
    ents = e;
    if (self)
        self->block = e;
    e->self = self;
    e->id_secure = simple_unique_name(&e->id_insecure);
    e->ns = self ? self->ns : nullptr;
    e->log_flush = 0;
    e->people = new_tqtable(64);
    e->groups = new_tqtable(64);
    e->users = new_tqtable(64);
    e->busers = new_tqtable(64);
    e->times = new_tqtable(64);
    e->exprs = new_tqtable(64);
    e->imbitmaps = new_tqtable(64);
    e->objects = new_tqtable(64);
    e->root = new_rtree_node("root");
    static std::atomic<unsigned long long> generations{0};
    e->generation = ++generations;
    e->indexes = msnp_indexes_new();
    e->group_local = new_msnp_group(nullptr, "Local");
    return e;
}

/* The root cannot be unlinked like other nodes: its subtree goes through
 * the tree's own unlinking, then what hangs from the root itself is
 * released with it. */
static void registry_free_root(msnp_rtree *root)
{
    if (!root)
        return;
    while (root->siblings) {
        auto *child = static_cast<msnp_rtree *>(root->siblings->data);
        if (msnp_rtree_unlink_node(nullptr, child) != 1 || tqlist_search_ref(root->siblings, child))
            tqlist_unlink_remove_ref(&root->siblings, child);
    }
    while (root->contactl) {
        auto *rel = static_cast<msnp_relates *>(root->contactl->data);
        tqlist_unlink_remove(&root->contactl, root->contactl);
        msnp_unlink_relation_reverse(rel);
    }
    for (tqlist *l = root->people; l; l = l->next)
        msnp_unlink_backref_rtree(static_cast<msnp_person *>(l->data), root);
    tqlist_destroy_without_refs(&root->people);
    free(root->ident);
    free(root->description);
    free(root);
}

static void registry_destroy_generics(tqtable *table)
{
    tqlist *objs = table->values_safe(table);
    for (tqlist *l = objs; l; l = l->next)
        msnp_destroy_object_generic(nullptr, static_cast<msnp_object_generic *>(l->data), 0);
    tqlist_destroy_without_refs(&objs);
}

static void release_user_entry(void *value)
{
    auto *u = static_cast<msnp_user *>(value);
    if (u->person && u->person->user == u)
        u->person->user = nullptr;
    u->user_ref = 1;
    u->person = nullptr;
    destroy_msnp_user(u);
}

void msnp_entities_destroy(msnp_entities *e)
{
    if (!e)
        return;
    msnp_entities *previous = ents;
    ents = e; /* every destructor below works on the global registry */

    /* Destroying a person or a group destroys no other, so one snapshot of
     * each table serves (a copy per object made this quadratic). */
    tqlist *people = e->people->values_safe(e->people);
    msnp_destroy_people(e->self, nullptr, people);
    tqlist_destroy_without_refs(&people);
    registry_free_root(e->root);
    e->root = nullptr;
    tqlist *groups = e->groups->values_safe(e->groups);
    for (tqlist *l = groups; l; l = l->next)
        msnp_destroy_group(nullptr, static_cast<msnp_group *>(l->data));
    tqlist_destroy_without_refs(&groups);
    e->group_local = nullptr;
    registry_destroy_generics(e->times);
    registry_destroy_generics(e->exprs);
    registry_destroy_generics(e->imbitmaps);
    registry_destroy_generics(e->objects);

    tqtable_destroy(e->people);
    tqtable_destroy(e->groups);
    /* Users whose person is gone cannot be reached any more; release them
     * with the tables so that nothing is left behind. */
    tqtable *users = e->users, *busers = e->busers;
    e->users = e->busers = nullptr;
    tqtable_destroy_with_values(users, release_user_entry);
    tqtable_destroy_with_values(busers, release_user_entry);
    tqtable_destroy(e->times);
    tqtable_destroy(e->exprs);
    tqtable_destroy(e->imbitmaps);
    tqtable_destroy(e->objects);
    free(e->id_secure);
    free(e->id_insecure);
    if (e->self && e->self->block == e)
        e->self->block = nullptr;
    msnp_indexes_destroy(e->indexes);
    delete e;
    ents = previous == e ? nullptr : previous;
}
