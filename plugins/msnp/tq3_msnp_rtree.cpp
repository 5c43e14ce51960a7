/* Relation tree: nodes, path resolution and path text, growing paths,
 * moving, renaming and unlinking nodes, the users placed in nodes with
 * their back-references, and the node's tree event.
 *
 * Nodes own their name, description and list heads; the persons in
 * `people` and the relations in `contactl` belong to the registry and are
 * merely referenced here (relations are owned through their owner's list
 * and destroyed by the relation code). */
#include <iksemel.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "tq3_msnp.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_rtree.h"
#include "tqidl.h"
#include "tqlist.h"
#include "tqtable.h"
#include "utils.h"

msnp_rtree *new_rtree_node(const char *ident)
{
    if (!ident)
        return nullptr;
    auto *node = static_cast<msnp_rtree *>(calloc(1, sizeof(msnp_rtree)));
    if (!node)
        return nullptr;
    node->ident = strdup(ident);
    if (!node->ident) {
        free(node);
        return nullptr;
    }
    node->object_type = MSNP_OBJECT_NODE;
    return node;
}

unsigned rtree_depth(const msnp_rtree *node)
{
    unsigned depth = 0;
    for (; node && node->backref; node = node->backref)
        ++depth;
    return depth;
}

/* Levels of the subtree below the node (0 for a leaf). */
static unsigned rtree_height(const msnp_rtree *node)
{
    unsigned height = 0;
    for (tqlist *l = node->siblings; l; l = l->next)
        height = std::max(height, 1 + rtree_height(static_cast<msnp_rtree *>(l->data)));
    return height;
}

msnp_rtree *rtree_search_sibling(msnp_rtree *tree, const char *ident)
{
    if (!tree || !ident)
        return nullptr;
    for (tqlist *l = tree->siblings; l; l = l->next) {
        auto *child = static_cast<msnp_rtree *>(l->data);
        if (child && child->ident && strcmp(child->ident, ident) == 0)
            return child;
    }
    return nullptr;
}

msnp_rtree *rtree_resolve_tree_list(msnp_rtree *tree, char **path)
{
    if (!path)
        return tree;
    for (; tree && *path; ++path)
        tree = rtree_search_sibling(tree, *path);
    return tree;
}

msnp_rtree *rtree_resolve_tree(msnp_rtree *tree, const char *path, int *err)
{
    if (!tree || !path)
        return nullptr;
    char *copy = strdup(path);
    if (!copy)
        return nullptr;
    /* One slot more than allowed tells a path that is too deep apart from
     * one that fits exactly; a deeper path names no node. */
    char *words[MSNP_RTREE_MAX_DEPTH + 2] = {};
    int n = strexplode(copy, words, MSNP_RTREE_MAX_DEPTH + 1, "/", 0);
    msnp_rtree *found = nullptr;
    if (static_cast<unsigned>(n) <= MSNP_RTREE_MAX_DEPTH) {
        int valid = 1;
        for (int i = 0; i < n; ++i)
            if (msnp_object_symbol(words[i]) != 0) {
                valid = 0;
                break;
            }
        if (!valid) {
            if (err)
                *err = 1;
        } else {
            words[n] = nullptr;
            found = rtree_resolve_tree_list(tree, words);
        }
    }
    free(copy);
    return found;
}

char *rtree_reverse(msnp_rtree *node)
{
    if (!node)
        return nullptr;
    std::string path;
    /* The topmost node of the chain is the root; its name is not written. */
    for (msnp_rtree *n = node; n && n->backref; n = n->backref)
        path.insert(0, std::string("/") + (n->ident ? n->ident : ""));
    if (path.empty())
        path = "/";
    return strdup(path.c_str());
}

int msnp_unlink_backref_rtree(msnp_person *person, msnp_rtree *node)
{
    if (!person)
        return 0;
    int count = 0;
    while (tqlist_unlink_remove_ref(&person->rtree_backref, node))
        ++count;
    return count;
}

int msnp_rtree_unlink_user(idl_parser *idl, msnp_rtree *rtree_node, msnp_person *member)
{
    if (!rtree_node)
        return 0;
    int count = 0;
    while (tqlist_unlink_remove_ref(&rtree_node->people, member)) {
        ++count;
        if (idl)
            rtree_event(idl, rtree_node);
    }
    return count;
}

int rtree_add_contact(idl_parser *idl, msnp_rtree *tree, msnp_relates *relation)
{
    relation->back = tree;
    relation->back_type = MSNP_OBJECT_NODE;
    tqlist_insert_end(&tree->contactl, relation);
    if (idl) {
        int index = static_cast<int>(tqlist_length(tree->contactl)) - 1;
        msnp_relation_reply(idl, relation, index);
    }
    return 1;
}

iks *msnp_serialize_object_node(msnp_rtree *node, iks *xn, unsigned depth)
{
    if (!node || !xn)
        return nullptr;
    iks *xml = iks_new_within("node", iks_stack(xn));
    iks_insert_attrib(xml, "identifier", node->ident);
    iks_insert_node(xn, xml);
    iks_insert_cdata(xn, "\n", 1);
    if (depth == 0)
        return nullptr;
    iks_insert_cdata(xml, "\n", 1);
    if (node->description) {
        iks_insert_cdata(iks_insert(xml, "description"), node->description, 0);
        iks_insert_cdata(xml, "\n", 1);
    }
    for (tqlist *l = node->people; l; l = l->next) {
        auto *person = static_cast<msnp_person *>(l->data);
        iks_insert_cdata(iks_insert(xml, "user"), person->ident, 0);
        iks_insert_cdata(xml, "\n", 1);
    }
    for (tqlist *l = node->contactl; l; l = l->next) {
        iks *rel = msnp_serialize_relation(static_cast<msnp_relates *>(l->data), iks_stack(xml));
        if (rel) {
            iks_insert_node(xml, rel);
            iks_insert_cdata(xml, "\n", 1);
        }
    }
    for (tqlist *l = node->siblings; l; l = l->next)
        msnp_serialize_object_node(static_cast<msnp_rtree *>(l->data), xml, depth - 1);
    return xml;
}

event_t *rtree_event_new(msnp_rtree *tree)
{
    if (!tree)
        return nullptr;
    iks *root = iks_new("root");
    char *path = rtree_reverse(tree);
    iks_insert_attrib(root, "path", path);
    free(path);
    msnp_serialize_object_node(tree, root, 1);
    event_t *ev = tqevents_shortcut_object_data(root);
    iks_delete(root);
    return ev;
}

event_t *rtree_event(idl_parser *idl, msnp_rtree *tree)
{
    if (!tree || !idl || idl->import || !idl->event)
        return nullptr;
    event_t *ev = rtree_event_new(tree);
    if (ev)
        idl->event(idl, ev);
    return ev;
}

/* ------------------------------------------------------------------ */
/* Events                                                              */
/* ------------------------------------------------------------------ */

/* Object events are built only when someone will receive them; while the
 * configuration is imported the host wants none. */
static void rtree_emit(idl_parser *idl, event_t *ev)
{
    if (!ev)
        return;
    if (msnp_events_wanted(idl))
        idl->event(idl, ev);
    else
        tqevents_destroy_event(ev);
}

/* The object-new event of a node just hung into the tree: the same payload
 * as its tree event. */
static void rtree_new_event(idl_parser *idl, msnp_rtree *node)
{
    if (!msnp_events_wanted(idl))
        return;
    iks *root = iks_new("root");
    char *path = rtree_reverse(node);
    iks_insert_attrib(root, "path", path);
    free(path);
    msnp_serialize_object_node(node, root, 1);
    msnp_event_object_new(idl, root);
}

void rtree_notify_users(idl_parser *idl, msnp_rtree *node)
{
    if (!node || !msnp_events_wanted(idl))
        return;
    for (tqlist *l = node->people; l; l = l->next)
        msnp_event_person_data(idl, static_cast<msnp_person *>(l->data));
    for (tqlist *l = node->siblings; l; l = l->next)
        rtree_notify_users(idl, static_cast<msnp_rtree *>(l->data));
}

/* ------------------------------------------------------------------ */
/* Growing and attaching                                               */
/* ------------------------------------------------------------------ */

int msnp_rtree_unlink_sibling(idl_parser *idl, msnp_rtree *rtree_node, msnp_rtree *sibling)
{
    if (!rtree_node || !sibling)
        return 0;
    if (!tqlist_unlink_remove_ref(&rtree_node->siblings, sibling))
        return 0;
    if (idl)
        rtree_event(idl, rtree_node);
    return 1;
}

int rtree_add_sibling(idl_parser *idl, msnp_rtree *tree, msnp_rtree *sibl)
{
    if (!tree || !sibl || !sibl->ident)
        return 0;
    if (sibl == tree) {
        if (idl)
            idl->error(idl, 20, "Self moving: %s", sibl->ident);
        return 0;
    }
    for (msnp_rtree *up = tree->backref; up; up = up->backref)
        if (up == sibl) {
            if (idl)
                idl->error(idl, 21, "Self indirect moving: %s", sibl->ident);
            return 0;
        }
    if (rtree_search_sibling(tree, sibl->ident)) {
        if (idl)
            idl->error(idl, 25, "Name conflict: %s", sibl->ident);
        return 0;
    }
    if (rtree_depth(tree) + 1 + rtree_height(sibl) > MSNP_RTREE_MAX_DEPTH) {
        if (idl)
            idl->error(idl, 22, "Node %s would nest deeper than %u levels", sibl->ident,
                       MSNP_RTREE_MAX_DEPTH);
        return 0;
    }
    if (!tqlist_insert_end(&tree->siblings, sibl))
        return 0;
    if (sibl->backref) {
        msnp_rtree_unlink_sibling(idl, sibl->backref, sibl);
        if (sibl->refs > 0)
            --sibl->refs;
    }
    sibl->backref = tree;
    ++sibl->refs;
    return 1;
}

msnp_rtree *msnp_tree_grow(idl_parser *idl, msnp_rtree *tree, char **nodelist)
{
    for (; tree && nodelist && *nodelist; ++nodelist) {
        msnp_rtree *child = rtree_search_sibling(tree, *nodelist);
        if (!child) {
            child = new_rtree_node(*nodelist);
            if (!child)
                return nullptr;
            if (!rtree_add_sibling(idl, tree, child)) {
                free(child->ident);
                free(child);
                return nullptr;
            }
            rtree_new_event(idl, child);
            rtree_event(idl, tree);
        }
        tree = child;
    }
    return tree;
}

msnp_rtree *msnp_new_object_node(idl_parser *idl, const char *name, msnp_rtree *base)
{
    if (!name) {
        if (idl)
            idl->error(idl, 2, "Missing object name");
        return nullptr;
    }
    if (!base && ents)
        base = ents->root;
    if (!base)
        return nullptr;
    char *copy = strdup(name);
    if (!copy)
        return nullptr;
    char *words[MSNP_RTREE_MAX_DEPTH + 2] = {};
    int n = strexplode(copy, words, MSNP_RTREE_MAX_DEPTH + 1, "/", 0);
    msnp_rtree *node = nullptr;
    if (rtree_depth(base) + static_cast<unsigned>(n) > MSNP_RTREE_MAX_DEPTH) {
        /* Growing only the first components would create a node the
         * caller never named. */
        if (idl)
            idl->error(idl, 23, "Not a valid object name or path: %s", name);
    } else if (rtree_resolve_tree_list(base, words)) {
        if (idl)
            idl->error(idl, 25, "Node path %s already exists", name);
    } else {
        node = msnp_tree_grow(idl, base, words);
    }
    free(copy);
    return node;
}

/* ------------------------------------------------------------------ */
/* Users of a node                                                     */
/* ------------------------------------------------------------------ */

int rtree_add_person(idl_parser *idl, msnp_rtree *tree, msnp_person *person)
{
    if (!tree || !person)
        return 0;
    if (person->type != PERSON_USER) {
        if (idl)
            idl->error(idl, 1005, "Only user person can take part as users");
        return 0;
    }
    if (tqlist_search_ref(tree->people, person)) {
        if (idl)
            idl->error(idl, 1006, "User already exists in the node");
        return 0;
    }
    if (!tqlist_insert_end(&tree->people, person))
        return 0;
    if (!tqlist_insert_begin(&person->rtree_backref, tree)) {
        tqlist_unlink_remove_ref(&tree->people, person);
        return 0;
    }
    msnp_event_person_data(idl, person);
    return new_msn_user(person) != nullptr;
}

/* A user person that stands in no node any more loses its run-time user:
 * only users of the tree are known at sign-in. */
static void rtree_detach_user(msnp_person *person)
{
    if (!person || person->rtree_backref || !person->user)
        return;
    msnp_user *user = person->user;
    person->user = nullptr;
    if (ents && ents->users && person->handle) {
        tqtable_wrlock(ents->users);
        if (ents->users->get(ents->users, person->handle) == user)
            ents->users->remove(ents->users, person->handle);
        tqtable_unlock(ents->users);
    }
    destroy_msnp_user(user);
}

int msnp_del_object_node(idl_parser *idl, msnp_rtree *tree, void *ref)
{
    if (!tree || !ref)
        return 0;
    int removed = 0;
    if (tqlist_search_ref(tree->people, ref)) {
        auto *person = static_cast<msnp_person *>(ref);
        msnp_unlink_backref_rtree(person, tree);
        while (tqlist_unlink_remove_ref(&tree->people, person))
            ;
        msnp_event_person_data(idl, person);
        rtree_detach_user(person);
        removed = 1;
    } else {
        tqlist *l = tqlist_search(tree->contactl, msnp_search_relation, ref);
        if (l) {
            msnp_unlink_contact_from_container(static_cast<msnp_relates *>(l->data), l);
            removed = 1;
        }
    }
    if (removed && idl)
        rtree_event(idl, tree);
    return removed;
}

/* ------------------------------------------------------------------ */
/* Unlinking, reordering, renaming                                     */
/* ------------------------------------------------------------------ */

int msnp_rtree_unlink_node(idl_parser *idl, msnp_rtree *rtree_node)
{
    if (!rtree_node)
        return 0;
    if (ents && rtree_node == ents->root)
        return -1;
    if (rtree_node->backref && msnp_rtree_unlink_sibling(idl, rtree_node->backref, rtree_node) &&
        rtree_node->refs > 0)
        --rtree_node->refs;
    if (rtree_node->refs > 0)
        return 1;

    while (rtree_node->contactl) {
        auto *rel = static_cast<msnp_relates *>(rtree_node->contactl->data);
        tqlist_unlink_remove(&rtree_node->contactl, rtree_node->contactl);
        msnp_unlink_relation_reverse(rel);
    }
    for (tqlist *l = rtree_node->people; l; l = l->next) {
        auto *person = static_cast<msnp_person *>(l->data);
        if (msnp_unlink_backref_rtree(person, rtree_node)) {
            msnp_event_person_data(idl, person);
            rtree_detach_user(person);
        }
    }
    tqlist_destroy_without_refs(&rtree_node->people);
    /* Children go first, while this node still hangs where its path says:
     * each collect event names the place the node had. */
    while (rtree_node->siblings) {
        auto *child = static_cast<msnp_rtree *>(rtree_node->siblings->data);
        if (msnp_rtree_unlink_node(idl, child) != 1 || tqlist_search_ref(rtree_node->siblings, child)) {
            /* A child that refuses to go must not keep the loop alive. */
            tqlist_unlink_remove_ref(&rtree_node->siblings, child);
        }
    }
    if (msnp_events_wanted(idl)) {
        char *path = rtree_reverse(rtree_node);
        rtree_emit(idl, tqevents_shortcut_object_collect(path));
        free(path);
    }
    free(rtree_node->ident);
    free(rtree_node->description);
    free(rtree_node);
    return 1;
}

int msnp_move_object_node_index(idl_parser *idl, msnp_rtree *node, int src, int dst)
{
    (void)idl;
    if (!node)
        return 0;
    return msnp_list_move_index(&node->contactl, src, dst);
}

int msnp_rename_object_node(idl_parser *idl, msnp_rtree *node, const char *newname, const char *desc)
{
    if (!node || !newname)
        return 0;
    if (strcmp(newname, "description:") == 0) {
        if (!msnp_set_description(idl, &node->description, desc))
            return 0;
        if (idl)
            rtree_event(idl, node);
        return 1;
    }
    if (ents && node == ents->root) {
        if (idl)
            idl->error(idl, 4, "Can not rename root");
        return 0;
    }
    /* An empty name would make a node no path can reach. */
    if (!*newname || msnp_object_symbol(newname) != 0) {
        if (idl)
            idl->error(idl, 23, "Not a valid object name: %s", newname);
        return 0;
    }
    msnp_rtree *other = node->backref ? rtree_search_sibling(node->backref, newname) : nullptr;
    if (other && other != node) {
        if (idl)
            idl->error(idl, 25, "Hierarchical name conflict: %s", newname);
        return 0;
    }
    char *name = strdup(newname);
    if (!name)
        return 0;
    char *old_path = rtree_reverse(node);
    free(node->ident);
    node->ident = name;
    if (msnp_events_wanted(idl)) {
        char *new_path = rtree_reverse(node);
        rtree_emit(idl, tqevents_shortcut_object_rename(old_path, new_path));
        free(new_path);
    }
    free(old_path);
    if (idl && node->backref)
        rtree_event(idl, node->backref);
    rtree_notify_users(idl, node);
    return 1;
}
