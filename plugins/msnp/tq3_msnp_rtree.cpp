/* Relation tree: nodes, path resolution and path text, the back-references
 * between nodes and the users placed in them, and the node's tree event.
 *
 * Nodes own their name, description and list heads; the persons in
 * `people` and the relations in `contactl` belong to the registry and are
 * merely referenced here (relations are owned through their owner's list
 * and destroyed by the relation code). */
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tq3_msnp.h"

/* Longest path accepted, in components. */
#define RTREE_MAX_PATH 256

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
    char *words[RTREE_MAX_PATH + 2] = {};
    int n = strexplode(copy, words, RTREE_MAX_PATH + 1, "/", 0);
    msnp_rtree *found = nullptr;
    if (n <= RTREE_MAX_PATH) {
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

event_t *rtree_event(idl_parser *idl, msnp_rtree *tree)
{
    if (!tree || !idl || idl->import || !idl->event)
        return nullptr;
    iks *root = iks_new("root");
    char *path = rtree_reverse(tree);
    iks_insert_attrib(root, "path", path);
    free(path);
    msnp_serialize_object_node(tree, root, 1);
    event_t *ev = tqevents_shortcut_object_data(root);
    iks_delete(root);
    if (ev)
        idl->event(idl, ev);
    return ev;
}
