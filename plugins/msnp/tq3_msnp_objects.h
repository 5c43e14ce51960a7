/* The entity registry, persons and run-time users, groups, and the
 * registry's indexes; object events and name lookups shared by all kinds. */
#ifndef TQ3_MSNP_OBJECTS_H
#define TQ3_MSNP_OBJECTS_H

#include <iksemel.h>

#include <stdlib.h>
#include <string.h>

#include <vector>

#include <pthread.h>
#include <regex.h>
#include <stdio.h>
#include <stdint.h>
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_kinds.h"
#include "tqidl.h"
#include "tqtable.h"

struct msnp_indexes;

struct msnp_person {
    tqlist *contactl;             /* msnp_relates*: own relations */
    msnp_object_type object_type; /* MSNP_OBJECT_PERSON */
    char *ident;
    char *description;
    char *handle;
    msnp_person_type type;        /* beside the handle: matching reads both */
    regex_t *re_handle;           /* compiled contact pattern, or NULL */
    char *friendly;
    int fixed_friendly;
    int no_warnings;
    int no_logs;
    int force_logs;
    int no_inimailnot;
    int no_actmailnot;
    int no_mailnot;
    int disabled;
    int bounty_initial;
    int bounty_life;
    unsigned long last_login;
    char *ver_system_lower, *ver_system_upper;
    char *ver_client_lower, *ver_client_upper;
    msnp_statistics stats;
    tqlist *supers;               /* msnp_person* */
    tqtable *weak;                /* name -> tqlist of char* (name, words...) */
    unsigned wdirty;
    tqlist *group_backref;        /* msnp_group_member* */
    tqlist *relation_backref;     /* msnp_relates* pointing here */
    tqlist *supers_backref;       /* msnp_person* naming this one as super */
    tqlist *rtree_backref;        /* msnp_rtree* holding this person */
    msnp_user *user;
    char *pmm;
    char *psm;
    char *fixed_state;
    char *fixed_privacy;
    char *auto_reply;
    char *username;
    uint32_t source_addr, source_mask; /* network order; both 0: any */
    risk_t risk_level;
};

/* What contact identifiers stand for: the C= words of list lines (by which
 * newer clients remove contacts), each with a pooled handle. A GUID, in
 * whatever form, is kept in 16 bytes beside its handle; others stand
 * end to end in one string, each with a 16-byte entry. Both are put in
 * order only when a lookup comes: a contact costs 24 bytes, where an entry
 * of a general table cost about a hundred. The first handle learnt for a
 * word stays. Safe on several threads. */
class msnp_contact_ids {
public:
    msnp_contact_ids() = default;
    msnp_contact_ids(const msnp_contact_ids &) = delete;
    msnp_contact_ids &operator=(const msnp_contact_ids &) = delete;
    ~msnp_contact_ids();
    /* Learns `id` for `handle`; false when there is no room. */
    bool learn(const char *id, const char *handle);
    /* The handle `id` was learnt for, or "". */
    std::string find(const char *id);

private:
    struct guid_entry {
        unsigned char guid[16];
        const char *handle;
    };
    struct word_entry {
        uint32_t at, len; /* the word in words_ */
        const char *handle;
    };
    std::string_view key(const guid_entry &e) const { return {reinterpret_cast<const char *>(e.guid), 16}; }
    std::string_view key(const word_entry &e) const { return {words_.data() + e.at, e.len}; }
    template <class Entry> void settle(std::vector<Entry> &entries, size_t &ordered);
    template <class Entry> std::string find_in(std::vector<Entry> &entries, size_t &ordered, std::string_view k);
    void compact_words();

    std::mutex lock_;
    std::vector<guid_entry> guids_;
    std::vector<word_entry> words_at_;
    std::string words_;
    /* entries [0, ordered) of each vector are in order, each key once */
    size_t guids_ordered_ = 0, words_ordered_ = 0;
};

struct msnp_user {
    msnp_person *person;
    unsigned user_ref;
    time_t guest_time;
    time_t guest_grace;
    int welcomed;
    int bounty_initial;
    int bounty_current;
    int bounty_life;
    int bounty_lifecur;
    msnp_contact_ids user_codes;
    /* A user's connections learn contacts on threads of their own (two
     * clients of one account sign in at once), and the administrator
     * reads them: contacts and contact_set are read and changed under
     * contacts_lock. */
    std::mutex contacts_lock;
    std::vector<const char *> contacts; /* pooled handles (msnp_handle_intern), in the order learnt */
    /* The same handles sorted by address: a contact list of thousands is
     * learnt without a walk of the list per contact, in a word a contact. */
    std::vector<const char *> contact_set;
    int master;
};

struct msnp_group {
    char *ident;
    char *description;
    unsigned size;
    tqlist *glist;            /* msnp_group_member* in order */
    tqtable *weak;            /* name -> copy of name */
    unsigned wdirty;
    tqlist *group_backref;    /* msnp_group_member* holding this group */
    tqlist *relation_backref; /* msnp_relates* pointing here */
    unsigned patterns;        /* members that are contact persons */
    unsigned subgroups;       /* members that are groups */
    /* Whether a contact person is anywhere below, as of membership change
     * number `below_change` (0: not known); the matcher keeps it. */
    std::atomic<uint64_t> below_change;
    std::atomic<unsigned> below_patterns;
};

/* Counts changes of group memberships; starts at 1. */
uint64_t msnp_group_changes(void);
void msnp_group_changed(void);

typedef struct msnp_group_member {
    msnp_object_type type;    /* PERSON or GROUP */
    void *member;
    msnp_group *back;
    int pattern;              /* the member is a contact person (mirrors its
                               * type, so matching needs to read only the
                               * persons whose pattern it must test) */
} msnp_group_member;

/* A readers-writer lock that lets a waiting writer in before new readers.
 * Every relayed command takes the read side to be decided; with the
 * default (readers first) a policy change could wait for as long as the
 * deciding threads keep overlapping, which under load is forever. Readers
 * must not take it twice in a row: a writer may be waiting in between. */
class msnp_policy_lock {
public:
    msnp_policy_lock()
    {
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&lock_, &attr);
        pthread_rwlockattr_destroy(&attr);
    }
    ~msnp_policy_lock() { pthread_rwlock_destroy(&lock_); }
    msnp_policy_lock(const msnp_policy_lock &) = delete;
    msnp_policy_lock &operator=(const msnp_policy_lock &) = delete;

    void lock()
    {
        pthread_rwlock_wrlock(&lock_);
        changes_.fetch_add(1, std::memory_order_relaxed);
    }
    bool try_lock()
    {
        if (pthread_rwlock_trywrlock(&lock_) != 0)
            return false;
        changes_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    void unlock() { pthread_rwlock_unlock(&lock_); }
    void lock_shared() { pthread_rwlock_rdlock(&lock_); }
    bool try_lock_shared() { return pthread_rwlock_tryrdlock(&lock_) == 0; }
    void unlock_shared() { pthread_rwlock_unlock(&lock_); }

    /* Counts the write sides taken, of any registry: what a reader worked
     * out from the policy stays true while this stays the same (the lock
     * orders the count with the change). */
    static unsigned long changes() { return changes_.load(std::memory_order_relaxed); }

private:
    pthread_rwlock_t lock_;
    static inline std::atomic<unsigned long> changes_{0};
};

/* The registry of policy objects, one per module. */
struct msnp_entities {
    msnp_policy_lock root_lock; /* the relation tree and policy changes */
    msnp_rtree *root;
    std::recursive_mutex logsdata_lock;
    time_t log_flush;
    tqtable *people;    /* ident -> msnp_person */
    tqtable *users;     /* handle -> msnp_user */
    tqtable *busers;    /* handle -> msnp_user (parked) */
    tqtable *groups;    /* ident -> msnp_group */
    tqtable *times;     /* ident -> msnp_object_time */
    tqtable *exprs;
    tqtable *imbitmaps;
    tqtable *objects;
    tqtable *ns;        /* the module's variables */
    char *id_secure;
    char *id_insecure;
    msnp_group *group_local;
    tq3_module *self;
    msnp_indexes *indexes; /* weak waiters and user handles */
    unsigned long long generation; /* distinct for every registry made */
};

extern "C" msnp_entities *ents;

/* The read side of ents->root_lock as a thread holds it: once, however
 * deeply nested. The tasklet holds it for a whole chunk, so that nothing
 * its handlers read (a tracker's person, the relations) is changed or
 * freed under them by a management command; matching inside takes it
 * only when the thread does not hold it yet (taking it twice could wait
 * behind a writer that waits for the first). */
class msnp_policy_read {
public:
    msnp_policy_read();
    ~msnp_policy_read();
    msnp_policy_read(const msnp_policy_read &) = delete;
    msnp_policy_read &operator=(const msnp_policy_read &) = delete;

private:
    msnp_entities *held_;
};

/* The write side from a thread that may hold the read side (a sign-in that
 * admits a guest): the read side is let go for the time of the change and
 * taken back after, so what was read under it must be looked up again. */
class msnp_policy_write {
public:
    msnp_policy_write();
    ~msnp_policy_write();
    msnp_policy_write(const msnp_policy_write &) = delete;
    msnp_policy_write &operator=(const msnp_policy_write &) = delete;

private:
    msnp_entities *held_;
    int suspended_;
};

typedef struct msnp_object {
    char name[9];
    msnp_object_type type;
} msnp_object;

extern "C" const msnp_object msnp_objects[];

typedef enum msnp_serialize_flags_t {
    WITH_NONE = 0,
    WITH_STATISTICS = 1,
    WITH_CONTACTS = 2,
    WITH_ANY = -1
} msnp_serialize_flags_t;

/* Hands the object's XML to the host as an object-new / object-data event
 * through the parser, unless there is no parser or it is importing. Takes
 * ownership of `xml` (deleted in every case). */
void msnp_event_object_new(idl_parser *idl, iks *xml);
void msnp_event_object_data(idl_parser *idl, iks *xml);
/* Whether an object event would reach anyone: serialising an object is not
 * free, and while a policy is imported nobody wants its events. */
int msnp_events_wanted(const idl_parser *idl);
/* Object-data event with the person's XML, when wanted. */
void msnp_event_person_data(idl_parser *idl, msnp_person *person);
/* The "description:" form of rename: `desc` without its enclosing double
 * quotes replaces *description, an empty text removes it; code 2 "Missing
 * description" without `desc`. 1 when changed. */
int msnp_set_description(idl_parser *idl, char **description, const char *desc);
/* Gives the object whose name is *ident in `table` the name `newname`:
 * code 23 "Not a valid object name: %s" when it is no identifier, a silent
 * 0 when any object already has it; else the table entry is re-keyed under
 * the table's write lock, *ident replaced and an object-rename event
 * emitted. The caller resolves references waiting for the new name. */
int msnp_rename_in_table(idl_parser *idl, tqtable *table, char **ident, const char *newname);
/* 0 for an identifier, else the first character that breaks the rule
 * (the empty text passes; NULL never does). */
char msnp_object_symbol(const char *sym);
/* Row of msnp_objects by exact name / by kind; the end row (kind 0) when
 * nothing matches. */
const msnp_object *msnp_object_search_symbol(const char *name);
const msnp_object *msnp_object_search_type(msnp_object_type type);
/* Any object by name or node path; *type gets its kind. */
void *msnp_generic_object_search(idl_parser *idl, const char *sym, msnp_object_type *type, int mask,
                                 int *err);

/* The registry: creates it (tables, root node "root", group "Local"), makes
 * it the global `ents` and self->block; destroy frees every object in it. */
msnp_entities *msnp_entities_new(tq3_module *self);
void msnp_entities_destroy(msnp_entities *e);

msnp_person *new_msnp_person(idl_parser *idl, const char *ident, const char *handle,
                             const char *friendly);
/* The "new" command for persons: args[0] handle, args[1] friendly name. */
msnp_person *msnp_new_object_person(idl_parser *idl, const char *ident, char **args);
/* Sets or changes the handle and with it the person type; 1 or 0. A contact
 * pattern that does not compile is refused. */
int msnp_person_set_handle(idl_parser *idl, msnp_person *person, const char *handle);
int msnp_person_is_super(const msnp_person *person);
/* Lookups: with MSNP_OBJECT_PERSON in `mask` the caller holds the table. */
msnp_person *msnp_search_person(const char *ident, int mask);
msnp_person *msnp_search_person_by_handle(const char *handle, msnp_person_type type);
msnp_person *msnp_search_user(const char *handle);
/* Run-time user of a user person, created or found; reference counted. */
msnp_user *new_msn_user(msnp_person *person);
void destroy_msnp_user(msnp_user *user);
int msnp_destroy_person(tq3_module *self, idl_parser *idl, msnp_person *person);
/* Destroys every person of the registry (`people`, a snapshot of its
 * table; the caller holds the policy for writing), letting go of all
 * tracked connections in one pass; the number destroyed. */
/* With `orphan` (a reset) the connections of their users are not ended
 * but orphaned: see msnp_conntrack. */
int msnp_destroy_people(tq3_module *self, idl_parser *idl, tqlist *people, bool orphan = false);
int msnp_bounty_values(msnp_user *user);
/* The person's XML form; `flags` of msnp_serialize_flags_t. */
iks *msnp_serialize_object_single(msnp_person *person, int flags, const char *arg,
                                  const char *range);

msnp_group *new_msnp_group(idl_parser *idl, const char *ident);
/* The "new" command for groups. */
msnp_group *msnp_new_object_group(idl_parser *idl, const char *name, char **args);
msnp_group *msnp_search_group(const char *ident, int mask);
int msnp_add_group_member(idl_parser *idl, msnp_group *group, void *member, msnp_object_type type);
int msnp_group_unlink_member(msnp_group_member *record);
int msnp_group_unlink_member_back(idl_parser *idl, msnp_group_member *record);
int msnp_del_object_group(idl_parser *idl, msnp_group *group, void *ref);
/* Reorders members; positions as list_from_index counts them. */
int msnp_move_object_group_index(idl_parser *idl, msnp_group *group, int src, int dst);
/* The element at `src` goes before the one at `dst` when src > dst, after
 * it when src < dst; 0 when either position does not exist, else 1. */
int msnp_list_move_index(tqlist **list, int src, int dst);
int msnp_add_group_weak(idl_parser *idl, msnp_group *group, const char *name);
int msnp_del_group_weak(idl_parser *idl, msnp_group *group, const char *name);
/* Weak tables of groups and generic objects map an awaited name to a copy
 * of it; `wdirty` counts the entries. Each gives 1 when the table changed. */
template <typename Count> int msnp_weak_name_add(tqtable *weak, Count *wdirty, const char *name)
{
    char *copy = strdup(name);
    if (!copy)
        return 0;
    if (!weak->set_unique_safe(weak, name, copy)) {
        free(copy);
        return 0;
    }
    ++*wdirty;
    return 1;
}
template <typename Count> int msnp_weak_name_del(tqtable *weak, Count *wdirty, const char *name)
{
    tqtable_wrlock(weak);
    char *copy = static_cast<char *>(weak->remove(weak, name));
    if (copy)
        --*wdirty;
    tqtable_unlock(weak);
    if (!copy)
        return 0;
    free(copy);
    return 1;
}
int msnp_destroy_group(idl_parser *idl, msnp_group *group);
/* Registry indexes (weak waiters by name, user persons by handle). */
typedef struct msnp_weak_holder {
    msnp_object_type type; /* MSNP_OBJECT_PERSON or MSNP_OBJECT_GROUP */
    void *object;
} msnp_weak_holder;
msnp_indexes *msnp_indexes_new();
void msnp_indexes_destroy(msnp_indexes *idx);
/* `holder` has a weak reference waiting for `name`. */
void msnp_weak_wait(msnp_object_type type, void *holder, const char *name);
/* `holder` is going away: it waits for nothing any more. */
void msnp_weak_forget(void *holder);
/* The holders waiting for `name`, in the order they began to wait; they
 * no longer wait for it. */
std::vector<msnp_weak_holder> msnp_weak_take(const char *name);
/* Re-indexes a user person after its handle changed from `old_handle`. */
void msnp_user_handle_index(msnp_person *person, const char *old_handle);
void msnp_user_handle_forget(msnp_person *person);
msnp_person *msnp_user_handle_find(const char *handle);
/* Makes `uid` name `relation` (dropping the relation's former uid from the
 * index; the caller replaces the text itself): 1, or 0 when another
 * relation already has it. */
int msnp_relation_uid_claim(msnp_relates *relation, const char *uid);
/* The relation is going away: its uid is free again. */
void msnp_relation_uid_forget(msnp_relates *relation);
/* Turns weak references to `ident` held by persons and groups into
 * relations and memberships. */
int msnp_generic_resolve_weaks(idl_parser *idl, const char *ident);
iks *msnp_serialize_object_group(msnp_group *group);
iks *msnp_serialize_group_member(msnp_group_member *record, ikstack *stack);

#endif
