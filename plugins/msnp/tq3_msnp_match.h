/* Policy matching: the decision for one contact of a command, searched in
 * the user's relations, supers and tree nodes, first decisive one wins. */
#ifndef TQ3_MSNP_MATCH_H
#define TQ3_MSNP_MATCH_H

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"

/* The verdict for a command of the task concerning the contact `handle`. */
match_t rtree_backref_match(task_struct *_tstruct, const char *handle);
/* The relations of `node`, then of its parents up to the root. */
match_t rtree_backref_recurse(msnp_rtree *node, task_struct *_tstruct, const char *handle);
/* The relations of a super, then of its own supers not yet visited. */
match_t rtree_match_user_supers(msnp_person *super, task_struct *_tstruct, const char *handle);
match_t rtree_match_contact_iterate(tqlist *clist, task_struct *_tstruct, const char *handle);
match_t rtree_match_contact(msnp_relates *relation, task_struct *_tstruct, const char *handle);
match_t match_relation_single(msnp_person *person, msnp_relates *relation, task_struct *_tstruct,
                              const char *handle);
match_t match_relation_group(msnp_group *group, msnp_relates *relation, task_struct *_tstruct,
                             const char *handle);
match_t match_relation_group_member(msnp_group_member *member, msnp_relates *relation, task_struct *_tstruct,
                                    const char *handle);
/* Times, IM type sets and expressions of a relation that concerns
 * `contact`, then its action and risk. */
match_t match_relation(msnp_relates *relation, task_struct *_tstruct, msnp_person *contact);
match_t foreach_time_match(task_struct *_tstruct, tqlist *times);
match_t recurse_and_match_time(task_struct *_tstruct, msnp_object_generic *time);
match_t match_time_node(const msnp_time_node *node);
match_t foreach_imbitmap_match(tqlist *bitmaps, msnp_relates *relation, task_struct *_tstruct);
match_t match_relation_imbitmap(msnp_object_generic *imbitmap, msnp_relates *relation, task_struct *_tstruct);

#endif
