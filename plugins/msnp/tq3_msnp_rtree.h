/* The relation tree: nodes holding local users and relations, paths,
 * growing, moving, renaming and unlinking nodes, and their XML form. */
#ifndef TQ3_MSNP_RTREE_H
#define TQ3_MSNP_RTREE_H

#include <iksemel.h>

#include "tq3_msnp.h"
#include "tqidl.h"
#include "tqlist.h"

struct msnp_rtree {
    tqlist *contactl;              /* msnp_relates* */
    msnp_object_type object_type;  /* MSNP_OBJECT_NODE */
    char *ident;
    char *description;
    tqlist *people;                /* msnp_person* placed here */
    tqlist *siblings;              /* child nodes in order */
    struct msnp_rtree *backref;    /* parent, NULL for the root */
    int refs;                      /* 1 while attached under a parent */
};

/* Levels below the root that a node may sit at. Every way of making or
 * moving a node keeps to it, so that every tree the module holds is
 * written and read back whole, and every node has a path that resolves. */
#define MSNP_RTREE_MAX_DEPTH 256u

msnp_rtree *new_rtree_node(const char *ident);
/* Levels between the node and the root (0 for the root). */
unsigned rtree_depth(const msnp_rtree *node);
msnp_rtree *rtree_search_sibling(msnp_rtree *tree, const char *ident);
/* NULL-terminated names from `tree`; an empty list gives `tree`. */
msnp_rtree *rtree_resolve_tree_list(msnp_rtree *tree, char **path);
/* Path text split at "/"; a component that is no identifier gives NULL
 * and *err = 1. */
msnp_rtree *rtree_resolve_tree(msnp_rtree *tree, const char *path, int *err);
/* Path text of the node ("/" for the root), newly allocated. */
char *rtree_reverse(msnp_rtree *node);
int msnp_rtree_unlink_user(idl_parser *idl, msnp_rtree *rtree_node, msnp_person *member);
int msnp_unlink_backref_rtree(msnp_person *person, msnp_rtree *node);
int rtree_add_contact(idl_parser *idl, msnp_rtree *tree, msnp_relates *relation);
/* `depth` levels of content ((unsigned)-1: all); the node goes into `xn`. */
iks *msnp_serialize_object_node(msnp_rtree *node, iks *xn, unsigned depth);
/* Emits the node's tree event through the parser (which owns it); NULL
 * without a parser or while importing. */
event_t *rtree_event(idl_parser *idl, msnp_rtree *tree);
/* The same event, returned to the caller, who owns it. */
event_t *rtree_event_new(msnp_rtree *tree);
/* Walks the NULL-terminated names from `tree`, creating missing children
 * (object-new and parent tree events); the last node. */
msnp_rtree *msnp_tree_grow(idl_parser *idl, msnp_rtree *tree, char **nodelist);
/* The "new" command for nodes: `name` is a path relative to `base`; code 25
 * when it already resolves. */
msnp_rtree *msnp_new_object_node(idl_parser *idl, const char *name, msnp_rtree *base);
/* Makes `sibl` a child of `tree`, moving it from its old parent; 1 or 0. */
int rtree_add_sibling(idl_parser *idl, msnp_rtree *tree, msnp_rtree *sibl);
/* Places a user person in the node; 1 when a run-time user exists. */
int rtree_add_person(idl_parser *idl, msnp_rtree *tree, msnp_person *person);
int msnp_rtree_unlink_sibling(idl_parser *idl, msnp_rtree *rtree_node, msnp_rtree *sibling);
/* Detaches and destroys a node with its subtree; -1 for the root. */
int msnp_rtree_unlink_node(idl_parser *idl, msnp_rtree *rtree_node);
/* The "del" command on a node: a user of the node or the first relation
 * targeting `ref`; 1 when something was removed. */
int msnp_del_object_node(idl_parser *idl, msnp_rtree *tree, void *ref);
int msnp_move_object_node_index(idl_parser *idl, msnp_rtree *node, int src, int dst);
/* Renames a node, or with `newname` "description:" sets its description. */
int msnp_rename_object_node(idl_parser *idl, msnp_rtree *node, const char *newname,
                            const char *desc);
/* Object-data event of every user of the node and its subtree. */
void rtree_notify_users(idl_parser *idl, msnp_rtree *node);

#endif
