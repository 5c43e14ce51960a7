/* The policy document (reading it into the registry, person properties by
 * key, the object list by name pattern) and the management commands an
 * administrator sends through the host's command parser. */
#ifndef TQ3_MSNP_CONFIG_H
#define TQ3_MSNP_CONFIG_H

#include <iksemel.h>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tqidl.h"

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

/* Management verbs: the first word of a command selects one. */
typedef enum msnp_token_code {
    MSNP_TOKEN_UNKNOWN = 0,
    MSNP_TOKEN_NEW = 1,
    MSNP_TOKEN_DEL = 2,
    MSNP_TOKEN_COLLECT = 3,
    MSNP_TOKEN_ADD = 4,
    MSNP_TOKEN_MODIFY = 5,
    MSNP_TOKEN_MOVE = 6,
    MSNP_TOKEN_SERIALIZE = 7,
    MSNP_TOKEN_RENAME = 8,
    MSNP_TOKEN_GLOB = 9,
    MSNP_TOKEN_IMPERSONATE = 10,
    MSNP_TOKEN_LOG = 11
} msnp_token_code;

typedef struct msnp_token {
    char name[12];
    msnp_token_code token_type;
} msnp_token;

/* The verbs, ending with a row whose name is empty. */
extern "C" const msnp_token msnp_tokens[];
/* The row named exactly `name`, or the end row. */
const msnp_token *msnp_token_structure(const char *name);

/* Each operation takes the words after the verb (NULL-terminated, or NULL
 * when the command had none) and gives 1 on success, 0 otherwise; refusals
 * go to the parser with their code. Those that change the policy refuse a
 * parser user above level 1 and expect the caller to hold the write side
 * of ents->root_lock. */
/* "new KIND NAME [words]": the new object, or NULL. */
void *msnp_new_object(idl_parser *idl, const char *type, const char *name, char **args);
/* "add ORIG DEST [words]": a relation, membership, placement, inclusion... */
int msnp_add_object(idl_parser *idl, char **args);
/* "del OBJ REF...": references out of OBJ (objects stay). */
int msnp_del_object(idl_parser *idl, char **args);
/* "collect NAME...": destroys objects. */
int msnp_collect_object(tq3_module *self, idl_parser *idl, char **args);
/* "modify OBJ WORD...": person properties, relation words, targets. */
int msnp_modify_object(idl_parser *idl, char **args);
/* "move OBJ [super:] SRC DST": reorders relations, supers or members. */
int msnp_move_object(idl_parser *idl, char **args);
/* "rename OBJ NEW [DESC]": a new name, or with "description:" a description. */
int msnp_rename_object(idl_parser *idl, char **args);
/* "glob PATTERN [with-statistics]": the objects whose names match, as an
 * "object-list" element in the parser's data. */
int msnp_glob_object(idl_parser *idl, char **args);
/* "serialize OBJ [options]": one object's XML in the parser's data. */
int msnp_serialize_object(idl_parser *idl, char **args);

#endif
