/* String-keyed hash table with its own read-write lock.
 *
 * The plain slots assume the caller holds the lock (or has the table to
 * itself); the `_safe` slots take it. Keys are copied; values are the
 * caller's. Iteration (`keys`, `values`, `linear_entries_direct`) follows
 * insertion order, so serialised output is stable. A repeated `set` on a
 * key keeps the last value and hands the displaced one back.
 *
 * A NULL table or key is refused by every slot (NULL or 0 result, nothing
 * stored). The lock is a plain pthread read-write lock: it is not
 * recursive for writers, so never call a `_safe` slot while holding it. */
#ifndef TQTABLE_H
#define TQTABLE_H

#include <stddef.h>
#include "tqlist.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tqtable tqtable;

/* Visitor for linear_entries_direct: non-zero stops the walk. */
typedef int (*tqtable_visit_fn)(const char *key, void *value, void *arg);

struct tqtable {
    /* Value under `key`, or NULL. */
    void *(*get)(tqtable *t, const char *key);
    /* Stores `value` under `key`; returns the value it displaced (NULL when
     * the key was new) so that the caller can release it. */
    void *(*set)(tqtable *t, const char *key, void *value);
    /* Stores only when `key` is absent: 1 stored, 0 present (the table
     * keeps the old value and does not take `value`). */
    int (*set_unique)(tqtable *t, const char *key, void *value);
    /* Removes `key`; returns its value, or NULL when absent. */
    void *(*remove)(tqtable *t, const char *key);
    /* Re-keys an entry, keeping its place in the order: 1 done (also when
     * `from` equals `to` and is present), 0 when `from` is absent or `to`
     * is taken by another entry. */
    int (*rename)(tqtable *t, const char *from, const char *to);
    /* New list of copies of the keys (release with tqlist_destroy(.., NULL)). */
    tqlist *(*keys)(tqtable *t);
    /* New list of the values (release with tqlist_destroy_without_refs). */
    tqlist *(*values)(tqtable *t);

    void *(*get_safe)(tqtable *t, const char *key);
    void *(*set_safe)(tqtable *t, const char *key, void *value);
    int (*set_unique_safe)(tqtable *t, const char *key, void *value);
    void *(*remove_safe)(tqtable *t, const char *key);
    int (*rename_safe)(tqtable *t, const char *from, const char *to);
    tqlist *(*keys_safe)(tqtable *t);
    tqlist *(*values_safe)(tqtable *t);

    void *impl;
};

tqtable *new_tqtable(size_t buckets);
/* Frees the table; values are left to the caller. */
void tqtable_destroy(tqtable *t);
/* Frees the table and each value with `release` (free() when NULL). */
void tqtable_destroy_with_values(tqtable *t, tqlist_free_fn release);

/* Number of entries. Takes no lock, so it may be called with or without
 * the table's lock held. */
size_t tqtable_count(tqtable *t);
/* Visits entries in insertion order without locking; the visitor must not
 * change the table. Returns the number of entries visited, counting the one
 * whose visit stopped the walk. */
size_t linear_entries_direct(tqtable *t, tqtable_visit_fn visit, void *arg);

void tqtable_rdlock(tqtable *t);
void tqtable_wrlock(tqtable *t);
void tqtable_unlock(tqtable *t);

#ifdef __cplusplus
}
#endif

#endif
