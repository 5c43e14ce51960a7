/* The connection tracker: one record per connection of an identified user,
 * with the conversation's participants, warning timers and counters. */
#ifndef TQ3_MSNP_CONNTRACK_H
#define TQ3_MSNP_CONNTRACK_H

#include <stdint.h>
#include <stdio.h>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "tq3_msnp.h"
#include "tq3_msnp_kinds.h"
#include "tq3_msnp_objects.h"
#include "tqconn.h"

/* The counters of one connection. Of a block's 320 a connection counts a
 * few (a notification connection its profile message, a conversation a
 * handful of kinds), so it keeps those alone: each as its place in
 * msnp_statistics and its amount. The connection's strand counts; `info`
 * reads from another thread. */
class msnp_conn_counts {
public:
    void add(unsigned long msnp_statistics::*counter, unsigned long amount);
    unsigned long get(unsigned long msnp_statistics::*counter) const;
    /* The whole block, for its XML form. */
    void fill(msnp_statistics &out) const;

private:
    mutable std::mutex lock_;
    std::vector<std::pair<uint16_t, unsigned long>> counts_;
};

struct msnp_conntrack {
    std::shared_mutex ss_users_lock;
    tqconn *conn;
    char *user_handle;
    tqlist *ss_users;          /* char*: participants, newest first */
    tqlist *si_skipl;          /* char*: SLP session ids seen */
    FILE *chat_log;
    std::string chat_pending;                /* lines for chat_log, written at the chunk's end */
    std::string activity_pending;            /* lines for the user's activity log, the same */
    long chat_log_generation = 0;            /* "log-reopen-generation" chat_log was opened under */
    time_t time;
    char *cont_handle;
    char *session;
    int clean_to_warn;
    int last_mark;
    time_t last_warn;
    long time_warn;
    time_t time_last_message_send;
    time_t time_last_message_rcvd;
    msnp_person *person;
    /* The policy was dropped under the connection (a reset, as in a
     * reload): its next command finds the user's person again, or ends
     * the connection when the policy has none. Set and cleared under the
     * policy's write side. */
    std::atomic<bool> orphaned{false};
    /* The server has confirmed the sign-in. A switchboard answer (ANS)
     * creates the tracker before the server's "ANS trid OK": until then
     * what the client sends waits, as it does before any tracker. */
    bool confirmed = true;
    /* Invitations the policy withheld ("c:" cookie of an invitation
     * message, "s:" P2P session): their answers and data are withheld with
     * them. Newest last, a bounded number. */
    std::mutex withheld_lock;
    std::vector<std::string> withheld;
    void *wptr;
    size_t wptrsiz;
    int master;
    int adl_initial;
    int lsawarn;
    int sawarn;
    msnp_conn_counts stats;
};

typedef struct msnp_session {
    char *user;
    char *sess;
    char *auth;
} msnp_session;

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
