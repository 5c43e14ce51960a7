// Doubly linked list of opaque pointers. Nodes are malloc'd C records so
// that C callers can walk and free them with the plain field layout.
#include "tqlist.h"

#include <climits>
#include <cstdlib>

namespace {

tqlist *make_node(void *data)
{
    auto *n = static_cast<tqlist *>(std::malloc(sizeof(tqlist)));
    if (n) {
        n->data = data;
        n->next = nullptr;
        n->prev = nullptr;
    }
    return n;
}

} // namespace

extern "C" {

/* The first node's `prev` points at the last node, so appending is O(1):
 * policies append thousands of members, relations and warnings to one
 * list. Every other node's `prev` is its predecessor; the last node's
 * `next` is NULL. */

tqlist *tqlist_insert_begin(tqlist **list, void *data)
{
    if (!list)
        return nullptr;
    tqlist *n = make_node(data);
    if (!n)
        return nullptr;
    tqlist *head = *list;
    n->next = head;
    if (head) {
        n->prev = head->prev;
        head->prev = n;
    } else {
        n->prev = n;
    }
    *list = n;
    return n;
}

tqlist *tqlist_insert_end(tqlist **list, void *data)
{
    if (!list)
        return nullptr;
    if (!*list)
        return tqlist_insert_begin(list, data);
    return tqlist_insert_after(list, (*list)->prev, data);
}

tqlist *tqlist_insert_after(tqlist **list, tqlist *node, void *data)
{
    if (!list)
        return nullptr;
    if (!node || !*list)
        return tqlist_insert_end(list, data);
    tqlist *n = make_node(data);
    if (!n)
        return nullptr;
    n->prev = node;
    n->next = node->next;
    if (node->next)
        node->next->prev = n;
    else
        (*list)->prev = n;
    node->next = n;
    return n;
}

tqlist *tqlist_insert_before(tqlist **list, tqlist *node, void *data)
{
    if (!list)
        return nullptr;
    if (!node || node == *list)
        return tqlist_insert_begin(list, data);
    tqlist *n = make_node(data);
    if (!n)
        return nullptr;
    n->next = node;
    n->prev = node->prev;
    node->prev->next = n;
    node->prev = n;
    return n;
}

tqlist *tqlist_search(tqlist *list, tqlist_match_fn match, const void *key)
{
    if (!match)
        return nullptr;
    for (tqlist *n = list; n; n = n->next)
        if (match(n->data, key))
            return n;
    return nullptr;
}

tqlist *tqlist_search_ref(tqlist *list, const void *data)
{
    for (tqlist *n = list; n; n = n->next)
        if (n->data == data)
            return n;
    return nullptr;
}

int tqlist_unlink_remove(tqlist **list, tqlist *node)
{
    if (!list || !node || !*list)
        return 0;
    tqlist *head = *list;
    if (node == head) {
        *list = node->next;
        if (node->next)
            node->next->prev = node->prev;
    } else {
        node->prev->next = node->next;
        if (node->next)
            node->next->prev = node->prev;
        else
            head->prev = node->prev;
    }
    std::free(node);
    return 1;
}

int tqlist_unlink_remove_ref(tqlist **list, const void *data)
{
    if (!list)
        return 0;
    return tqlist_unlink_remove(list, tqlist_search_ref(*list, data));
}

size_t tqlist_length(const tqlist *list)
{
    size_t n = 0;
    for (; list; list = list->next)
        ++n;
    return n;
}

void tqlist_destroy(tqlist **list, tqlist_free_fn release)
{
    if (!list)
        return;
    tqlist *n = *list;
    *list = nullptr;
    while (n) {
        tqlist *next = n->next;
        if (release)
            release(n->data);
        else
            std::free(n->data);
        std::free(n);
        n = next;
    }
}

void tqlist_destroy_without_refs(tqlist **list)
{
    if (!list)
        return;
    tqlist *n = *list;
    *list = nullptr;
    while (n) {
        tqlist *next = n->next;
        std::free(n);
        n = next;
    }
}

int index_from_args(const char *word, int *index)
{
    if (!word || !*word || !index)
        return 0;
    long v = 0;
    for (const char *p = word; *p; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        v = v * 10 + (*p - '0');
        if (v > INT_MAX)
            return 0;
    }
    *index = static_cast<int>(v);
    return 1;
}

tqlist *list_from_index(tqlist *list, int index)
{
    if (index < 0)
        return nullptr;
    for (; list && index > 0; --index)
        list = list->next;
    return list;
}

char **symbol_table_from_list(const tqlist *list)
{
    size_t n = tqlist_length(list);
    auto **table = static_cast<char **>(std::calloc(n + 1, sizeof(char *)));
    if (!table)
        return nullptr;
    size_t i = 0;
    for (; list; list = list->next)
        table[i++] = static_cast<char *>(list->data);
    table[i] = nullptr;
    return table;
}

} // extern "C"
