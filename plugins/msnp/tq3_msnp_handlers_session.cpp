/* Switchboard sessions: calls the user places (CAL), invitations the user
 * receives (RNG), and who is in a conversation (IRO, JOI, BYE).
 *
 * Calls, invitations, joins and leaves follow one pattern: count the
 * command, ask the policy about the contact it names, record the activity,
 * do the command's own work, count the verdict and return it, so a contact
 * no relation allows is dropped without a reply to either side. The
 * participants kept here are whom the outgoing message filter asks about
 * when a message names no destination. */
#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <shared_mutex>
#include <string>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_log.h"
#include "tq3_msnp_match.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_task.h"
#include "tqconn.h"

namespace {

void destroy_session(void *data)
{
    auto *s = static_cast<msnp_session *>(data);
    msnp_exp_data_destructor(s);
    free(s);
}

char *copy_or_null(const char *text)
{
    return text ? strdup(text) : nullptr;
}

/* The expectation of the client's next connection to the server the
 * word `word` of the command names ("host:port"): from the client's own
 * address, to exactly that address and port when they can be read. */
tq3_expectation *server_expectation(task_struct *t, unsigned word)
{
    tq3_expectation *e = tq3_expectation_new();
    if (!e)
        return nullptr;
    e->saddr = t->conn->saddr;
    e->smask = 0xffffffffu;
    const char *address = chunk(t, word);
    if (!address)
        return e;
    std::string host = address;
    size_t colon = host.find(':');
    if (colon != std::string::npos) {
        std::string port = host.substr(colon + 1);
        host.resize(colon);
        struct in_addr a;
        if (inet_pton(AF_INET, host.c_str(), &a) == 1) {
            e->daddr = a.s_addr;
            e->dmask = 0xffffffffu;
        }
        char *end = nullptr;
        unsigned long p = port.empty() ? 0 : strtoul(port.c_str(), &end, 10);
        if (!port.empty() && end && *end == '\0' && port[0] >= '0' && port[0] <= '9' && p <= 0xffff) {
            e->dport = htons(static_cast<uint16_t>(p));
            e->dpmask = 0xffff;
        }
    }
    return e;
}

/* The expectation of the client's connection to the switchboard that
 * invites it, carrying who invited and with which cookie. */
tq3_expectation *invitation_expectation(task_struct *t, const char *handle)
{
    tq3_expectation *e = server_expectation(t, 2);
    if (!e || !chunk(t, 2))
        return e;
    auto *s = static_cast<msnp_session *>(calloc(1, sizeof(msnp_session)));
    if (s) {
        s->user = copy_or_null(handle);
        s->sess = copy_or_null(chunk(t, 1));
        s->auth = copy_or_null(chunk(t, 4));
        e->data = s;
        e->data_size = sizeof(msnp_session);
        e->data_destructor = destroy_session;
    }
    return e;
}

bool exempt_from_warnings(const msnp_conntrack *ct)
{
    return msnp_get_var_long("message-warning-self", 1) == 0 || (ct->person && ct->person->no_warnings);
}

} // namespace

msnp_conntrack *msnp_task_tracker(task_struct *t)
{
    return t && t->conn ? static_cast<msnp_conntrack *>(t->conn->plugin) : nullptr;
}

char *msnp_contact_word(task_struct *t, unsigned index)
{
    const char *word = chunk(t, index);
    return word ? strdup(msnp_canonical_handle(word).c_str()) : nullptr;
}

void msnp_log_contact_activity(task_struct *t, const char *handle, event_code code, match_t verdict)
{
    if (handle)
        msn_sb_activity_log(t, nullptr, tqevents_shortcut_contact_activity(handle, code, verdict));
}

match_t tq3_handler_cal(task_struct *t)
{
    static msnp_stat_family calls("stats-call-sent");
    return msnp_contact_policy(t, calls, 2, EVENT_CODE_LOG_CALLING, [t](const char *handle, match_t verdict) {
        msnp_conntrack *ct = msnp_task_tracker(t);
        if (verdict == TQ_MATCH_PASS && ct && handle) {
            free(ct->cont_handle);
            ct->cont_handle = strdup(handle);
        }
    });
}

match_t tq3_handler_rng(task_struct *t)
{
    static msnp_stat_family invitations("stats-call-received");
    /* A refused invitation is expected all the same: the client does not
     * see it, but one that connects there anyway is policed, not relayed
     * as plain TCP. */
    return msnp_contact_policy(t, invitations, 5, EVENT_CODE_LOG_CALLEDBY, [t](const char *handle, match_t) {
        if (!t->conn)
            return;
        tq3_expectation *e = invitation_expectation(t, handle);
        if (e && !tqlist_insert_begin(&t->conn->explist, e))
            tq3_expectation_destroy(e);
    });
}

/* The server sends the client on to a switchboard ("XFR trid SB
 * host:port CKI cookie") or to another notification server ("XFR trid NS
 * host:port ..."): the connection the client opens there is one of this
 * module's, whatever its port, and is policed like this one. */
match_t tq3_handler_xfr(task_struct *t)
{
    if (!t || !t->conn)
        return TQ_MATCH_PASS;
    const char *kind = chunk(t, 2);
    if (!kind || (strcmp(kind, "SB") != 0 && strcmp(kind, "NS") != 0))
        return TQ_MATCH_PASS;
    tq3_expectation *e = server_expectation(t, 3);
    if (!e)
        return TQ_MATCH_PASS;
    /* Only an address the client can be held to: a line without one
     * would expect every connection of the client. */
    if (!e->dmask || !e->dpmask || !tqlist_insert_begin(&t->conn->explist, e))
        tq3_expectation_destroy(e);
    return TQ_MATCH_PASS;
}

match_t tq3_handler_joi(task_struct *t)
{
    static msnp_stat_family joins("stats-chat-join");
    joins.count();
    char *handle = msnp_contact_word(t, 1);
    match_t verdict = rtree_backref_match(t, handle);
    msnp_conntrack *ct = msnp_task_tracker(t);
    if (handle && ct) {
        /* Recorded even when refused: the contact is in the session, and
         * messages without a destination are decided against it. */
        msnp_participants_insert_unique(ct, handle);
        message_join_leave(handle, t, "join", verdict);
    }
    if (ct && verdict == TQ_MATCH_PASS && ct->clean_to_warn != 0 &&
        msnp_get_var_long("message-warning-join", 0) == 1 && !exempt_from_warnings(ct)) {
        message_by_var(t->conn, nullptr, "message-warning-text");
        ct->last_warn = msnp_now();
    }
    joins.count_result(verdict);
    free(handle);
    return verdict;
}

match_t tq3_handler_iro(task_struct *t)
{
    MSNP_STAT_BUMP("stats-chat-participant");
    char *handle = msnp_contact_word(t, 4);
    msnp_conntrack *ct = msnp_task_tracker(t);
    if (handle && ct) {
        msnp_participants_insert_unique(ct, handle);
        message_join_leave(handle, t, "join", TQ_MATCH_PASS);
    }
    MSNP_STAT_BUMP("stats-chat-participant-pass");
    free(handle);
    return TQ_MATCH_PASS;
}

match_t tq3_handler_bye(task_struct *t)
{
    static msnp_stat_family leaves("stats-chat-leave");
    leaves.count();
    char *handle = msnp_contact_word(t, 1);
    msnp_conntrack *ct = msnp_task_tracker(t);
    if (handle && ct) {
        std::unique_lock<std::shared_mutex> guard(ct->ss_users_lock);
        if (tqlist *node = ss_user_search(ct->ss_users, handle)) {
            char *gone = static_cast<char *>(node->data);
            tqlist_unlink_remove_ref(&ct->ss_users, gone);
            free(gone);
        }
    }
    match_t verdict = rtree_backref_match(t, handle);
    if (handle)
        message_join_leave(handle, t, "leave", verdict);
    leaves.count_result(verdict);
    free(handle);
    return verdict;
}
