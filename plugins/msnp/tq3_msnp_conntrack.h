/* The connection tracker: one record per connection of an identified user,
 * with the conversation's participants, warning timers and counters. */
#ifndef TQ3_MSNP_CONNTRACK_H
#define TQ3_MSNP_CONNTRACK_H

#include "tq3_msnp.h"

/* A new tracker for `conn` of the user `handle` (copied) and its person. */
msnp_conntrack *msnp_conntrack_new(const char *handle, tqconn *conn, msnp_person *person);
void msnp_conntrack_destroy(msnp_conntrack *ct);
/* The "msnp-conntrack" element (a new tree). */
iks *serialize_conntrack(msnp_conntrack *ct);
void msnp_mark_idle_conntrack(msnp_conntrack *ct);
/* Adds a copy of `user` at the front of the participants unless it is the
 * local user or already there; true when added. */
bool msnp_participants_insert_unique(msnp_conntrack *ct, const char *user);
/* tqlist_match_fn: the two texts are equal. */
int callback_search_string(const void *str1, const void *str2);
/* The participant node whose handle equals `user`, or NULL; the caller
 * holds ss_users_lock. */
tqlist *ss_user_search(tqlist *ss_users, const char *user);
/* Seconds of chat time one MSG of the connection's current direction adds. */
int msnp_estimate_chat_time(msnp_conntrack *ct);
/* data_destructor of an expectation whose data is an msnp_session. */
void msnp_exp_data_destructor(msnp_session *data);

#endif
