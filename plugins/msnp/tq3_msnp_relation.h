/* Relations: a person, group or node related to a target with an action,
 * a direction, risk and restrictions; the common "add" of every kind. */
#ifndef TQ3_MSNP_RELATION_H
#define TQ3_MSNP_RELATION_H


#include <iksemel.h>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tqidl.h"
#include "tqlist.h"

/* The fields every decision tests come first: one cache line decides
 * whether a relation applies at all. */
struct msnp_relates {
    msnp_object_type rel_type; /* kind of the target */
    conn_direction direction;
    unsigned flags;            /* msnp_relates_flags */
    risk_t risk_threshold;
    void *relation;            /* target person or group */
    match_t action;
    risk_t risk_level;
    tqlist *times;
    tqlist *exprs;
    tqlist *imbitmaps;
    tqlist *objects;
    void *back;                /* owner person or node */
    msnp_object_type back_type;
    char *uid;
};

/* Relation-list owner view: the common head of persons and nodes. */
typedef struct msnp_relation_container {
    tqlist *contactl;
    msnp_object_type object_type;
    void *generic_ip;
} msnp_relation_container;

typedef enum msnp_relates_flags {
    RELATION_NONE = 0,
    RELATION_DISABLED = 1
} msnp_relates_flags;

/* The common "add": puts the object named `orig` (or a literal, or a weak
 * reference) into `odest` of kind `type_dest`. */
int msnp_add_object_dest(idl_parser *idl, void *odest, msnp_object_type type_dest, const char *orig,
                         char **prop, int *weak);

msnp_relates *new_relation(void *target, msnp_object_type type);
/* new_relation, entered into the target's back-references, then each
 * property word of the NULL-terminated `perm` applied in order. */
msnp_relates *new_relation_desc(idl_parser *idl, void *target, char **perm, msnp_object_type type);
/* Gives `person` a relation to `target` (or a super: then NULL). */
msnp_relates *relates_to(idl_parser *idl, msnp_person *person, void *target, char **perm,
                         msnp_object_type type);
int relates_to_weak(idl_parser *idl, msnp_person *person, const char *name, char **perm);
int modify_relation(idl_parser *idl, msnp_relates *relation, const char *word);
int modify_relation_weak_single(msnp_person *person, const char *name, const char *word);
/* tqlist_match_fn: the relation's target is `target`. */
int msnp_search_relation(const void *relation, const void *target);
int msnp_unlink_relation(idl_parser *idl, msnp_relates *relation);
int msnp_unlink_relation_reverse(msnp_relates *relation);
int msnp_unlink_relation_objects_from_relation(msnp_relates *relation);
int msnp_unlink_contact_from_container(msnp_relates *relation, tqlist *node);
/* Reply of a command that added a relation: its XML with "index", as the
 * parser's data (not while importing). */
void msnp_relation_reply(idl_parser *idl, msnp_relates *relation, int index);
iks *msnp_serialize_relation(msnp_relates *relation, ikstack *stack);
iks *msnp_serialize_relation_objects(msnp_relates *relation, ikstack *stack);
/* "access-list-section" of the type names of the set bits; NULL when
 * empty. */
iks *msnp_serialize_relation_com(unsigned bits);
iks *msnp_serialize_relation_message(unsigned bits);
iks *msnp_serialize_relation_invite(unsigned bits);
iks *msnp_serialize_relation_datacast(unsigned bits);

#endif
