/* The policy document: reading it into the registry, person properties
 * by key, and the object list by name pattern. */
#ifndef TQ3_MSNP_CONFIG_H
#define TQ3_MSNP_CONFIG_H

#include "tq3_msnp.h"

/* One top-level element of the policy document; always 1. */
int tq3_config_dispatch(idl_parser *idl, iks *node);
int tq3_config_objects(idl_parser *idl, iks *node);
int tq3_config_object_person(idl_parser *idl, iks *node);
int tq3_config_object_group(idl_parser *idl, iks *node);
int tq3_config_relation_trees(idl_parser *idl, iks *node);
msnp_rtree *recurse_nodes_and_create_tree(idl_parser *idl, iks *node, msnp_rtree *tree);
/* Sets one person property by key (the "attribute" keys); 1 or 0. */
int msnp_modify_person_property(idl_parser *idl, msnp_person *person, const char *key,
                                const char *value, const char *next);
/* The person's properties as "attribute" children of its form (and its
 * allowance as "bounties"), from the same table that sets them. */
void msnp_serialize_person_properties(iks *form, const msnp_person *person);
/* The "modify" command on a person: args[0] selects a property ("key:") or
 * relations (index, target name, weak name); the rest are words. */
int msnp_modify_object_single(idl_parser *idl, msnp_person *person, char **args);
/* Re-targets a relation of a person or node (`owner`) from `cur` to `newname`. */
int msnp_relation_change_contact(idl_parser *idl, void *owner, const char *cur,
                                 const char *newname);
/* "object-list" of every object whose name matches `pattern` (fnmatch), in
 * the order expressions, times, IM bitmaps, object-objects, contact persons,
 * groups, other persons; persons with statistics when `statistics`. NULL
 * when nothing matches. */
iks *msnp_serialize_objects_from_glob(const char *pattern, int statistics);

#endif
