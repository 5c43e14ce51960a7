/* Doubly linked list of opaque pointers. A list is a pointer to its first
 * node; NULL is the empty list. Positions are counted from 0. The first
 * node's `prev` is the last node (so appending is constant time); every
 * other node's `prev` is its predecessor, and the last node's `next` is
 * NULL. */
#ifndef TQLIST_H
#define TQLIST_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tqlist {
    void *data;
    struct tqlist *next;
    struct tqlist *prev;
} tqlist;

/* Returns true (non-zero) when `data` matches `key`. */
typedef int (*tqlist_match_fn)(const void *data, const void *key);
/* Releases one element; NULL means free(). */
typedef void (*tqlist_free_fn)(void *data);

/* Insertions return the new node (NULL only when out of memory or `list`
 * is NULL). A NULL `node` makes insert_after append and insert_before
 * prepend. */
tqlist *tqlist_insert_begin(tqlist **list, void *data);
tqlist *tqlist_insert_end(tqlist **list, void *data);
tqlist *tqlist_insert_after(tqlist **list, tqlist *node, void *data);
tqlist *tqlist_insert_before(tqlist **list, tqlist *node, void *data);

/* First node whose data matches `key` by `match`, or NULL. */
tqlist *tqlist_search(tqlist *list, tqlist_match_fn match, const void *key);
/* First node whose data pointer is `data`, or NULL. */
tqlist *tqlist_search_ref(tqlist *list, const void *data);

/* Unlinks and frees `node` (not its data). Returns 1, or 0 for NULL. */
int tqlist_unlink_remove(tqlist **list, tqlist *node);
/* Unlinks and frees the first node holding `data`. Returns 1 when found. */
int tqlist_unlink_remove_ref(tqlist **list, const void *data);

size_t tqlist_length(const tqlist *list);

/* Frees every node and releases every element with `release`
 * (free() when NULL); leaves *list empty. */
void tqlist_destroy(tqlist **list, tqlist_free_fn release);
/* Frees every node but leaves the elements alone; leaves *list empty. */
void tqlist_destroy_without_refs(tqlist **list);

/* Parses a position word: decimal digits only (no sign, no blanks), at most
 * INT_MAX. Returns 1 and sets *index, or 0 and leaves *index alone. */
int index_from_args(const char *word, int *index);
/* Node at position `index` (0 is the first), or NULL (also for index < 0). */
tqlist *list_from_index(tqlist *list, int index);
/* NULL-terminated array of the list's elements in order (the elements are
 * shared, not copied); release the array with free(). An empty list gives
 * an array holding only the NULL; NULL means out of memory. */
char **symbol_table_from_list(const tqlist *list);

#ifdef __cplusplus
}
#endif

#endif
