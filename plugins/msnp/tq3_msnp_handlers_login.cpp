/* Sign-in and session admission: the protocol versions a client offers
 * (VER), its system and program (CVR), the admission of the local user when
 * the server confirms a sign-in (USR) or the client answers a switchboard
 * invitation (ANS), the welcome on the first answered switchboard, and the
 * end of a conversation (OUT).
 *
 * Admission creates the connection's tracker; every later handler needs
 * it. A refused sign-in drops the confirming line, so the client never sees
 * itself signed in, and (by default) ends the whole connection. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <shared_mutex>
#include <string>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_framing.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_log.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_task.h"
#include "tq3_msnp_trace.h"
#include "tqconn.h"

namespace {

constexpr const char kUnverified[] = "%20(E-mail%20Address%20Not%20Verified)";

void set_owned(char *&slot, const char *text)
{
    free(slot);
    slot = text ? strdup(text) : nullptr;
}

/* The number of a protocol name such as MSNP8 (read from its fifth
 * character); 0 for a shorter word. */
long protocol_number(const char *word)
{
    if (!word || strlen(word) < 5)
        return 0;
    return strtol(word + 4, nullptr, 10);
}

bool begins_with(const char *text, const char *prefix)
{
    return text && strncmp(text, prefix, strlen(prefix)) == 0;
}

/* The offered versions as one text: the words between the transaction
 * identifier and the last word of the line. */
void record_offered_versions(task_struct *t)
{
    if (!t->conn || t->buffer_size <= 4)
        return;
    const char *buf = t->data_buffer;
    size_t size = t->buffer_size;
    size_t start = 4;
    while (start < size && buf[start] != ' ')
        ++start;
    if (start >= size)
        return;
    ++start;
    size_t end = size;
    while (end > start && buf[end - 1] != ' ')
        --end;
    if (end <= start)
        return;
    --end; /* the blank before the last word */
    if (end <= start)
        return;
    char *versions = strndup(buf + start, end - start);
    char *name = strdup("MSNP");
    if (!versions || !name) {
        free(versions);
        free(name);
        return;
    }
    free(t->conn->protocol[ID_VERSION]);
    free(t->conn->protocol[ID_NAME]);
    t->conn->protocol[ID_VERSION] = versions;
    t->conn->protocol[ID_NAME] = name;
}

msnp_session *matching_session(tqlist *expdata, const char *cookie, const char *session)
{
    for (tqlist *l = expdata; l; l = l->next) {
        auto *s = static_cast<msnp_session *>(l->data);
        if (!s || !s->user)
            continue;
        if (s->auth && cookie && strcmp(s->auth, cookie) != 0)
            continue;
        if (s->sess && session && strcmp(s->sess, session) != 0)
            continue;
        return s;
    }
    return nullptr;
}

void add_expectation(tqconn *conn, tq3_expectation *e)
{
    if (e && !tqlist_insert_begin(&conn->explist, e))
        tq3_expectation_destroy(e);
}

void tracker_list_insert(tq3_module *self, msnp_conntrack *ct)
{
    if (!self)
        return;
    pthread_rwlock_wrlock(&self->data_lock);
    tqlist_insert_begin(&self->data, ct);
    pthread_rwlock_unlock(&self->data_lock);
}

void tracker_list_remove(tq3_module *self, msnp_conntrack *ct)
{
    if (!self)
        return;
    pthread_rwlock_wrlock(&self->data_lock);
    tqlist_unlink_remove_ref(&self->data, ct);
    pthread_rwlock_unlock(&self->data_lock);
}

/* The fixed friendly name replaces the one the server confirmed; the
 * server is told too, so that contacts see the same name. */
void fix_friendly_name(task_struct *t, msnp_conntrack *ct)
{
    char *replacement = msnp_match_friendly(t, ct->person, chunk(t, 4));
    if (!replacement)
        return;
    MSNP_STAT_BUMP("stats-user-friendly-fixed");
    replace(t, 4, replacement);
    reconstruct(t, 1);
    if (msnp_get_var_long("friendly-forced-initial", 1) != 0 && ct->user_handle) {
        char *rea = nullptr;
        int len = asprintf(&rea, "REA 0 %s %s\r\n", ct->user_handle, replacement);
        if (len > 0)
            tqconn_send(t->conn, t->conn->srvd, rea, static_cast<size_t>(len));
        free(rea);
    }
    free(replacement);
}

} // namespace

/* The checks of a sign-in that may still refuse it before the tracker is
 * attached: the proxy account, the network and the quota. */
match_t msnp_admission_checks(task_struct *t, msnp_person *person)
{
    tqconn *conn = t->conn;
    if (person->username) {
        /* Only a SOCKS5 login carries a name the host checked. A SOCKS4 user
         * id or a connection without any proxy login proves nobody, so a
         * person bound to a proxy account is refused on it like a SOCKS5
         * login without a name. */
        const char *proxy_user = conn->version == 5 && conn->header.socks5 ? conn->header.socks5->user : nullptr;
        if (!proxy_user) {
            MSNP_STAT_BUMP("stats-user-null");
            if (msnp_get_var_long("null-user-valid", 0) == 0) {
                msnp_trace_sign_in_refused(person->handle, "sign-in without proxy user name");
                return TQ_MATCH_BLOCK;
            }
        }
        if (proxy_user && strcmp(proxy_user, person->username) != 0) {
            MSNP_STAT_BUMP("stats-user-mismatch");
            msnp_trace_sign_in_refused(person->handle, "sign-in with another proxy user name");
            return TQ_MATCH_BLOCK;
        }
    }
    match_t source = msnp_search_source(person, t);
    tqlist_destroy_without_refs(&t->lda_supers);
    if (source == TQ_MATCH_BLOCK && msnp_get_var_long("source-address-out", 1) != 0) {
        msnp_trace_sign_in_refused(person->handle, "sign-in from outside the network");
        return TQ_MATCH_BLOCK;
    }
    msnp_user *user = person->user;
    if (user) {
        msnp_bounty_values(user);
        if (user->bounty_life != 0 && user->bounty_current <= 0 && msnp_get_var_long("bounties-out", 1) != 0) {
            msnp_trace_sign_in_refused(person->handle, "sign-in over quota");
            return TQ_MATCH_BLOCK;
        }
    }
    return TQ_MATCH_PASS;
}


/* The highest protocol version a client may negotiate: the versions
 * after it carry messages and contact changes in commands (SDG, PUT, DEL,
 * NFY) that the policy does not decide. "0" or "none" lets every version
 * through. */
static long version_cap()
{
    const char *cap = msnp_get_var("msnp-version-cap", nullptr);
    if (!cap)
        return 18;
    if (strcmp(cap, "none") == 0)
        return 0;
    return begins_with(cap, "MSNP") ? protocol_number(cap) : strtol(cap, nullptr, 10);
}

/* The client's VER without the versions above the cap: the server then
 * settles on one the policy reads, or answers that none is left. */
static void cap_offered_versions(task_struct *t, long cap)
{
    bool over = false;
    for (size_t i = 2; i < t->data_bpsize && !over; ++i)
        over = begins_with(t->data_pieces[i], "MSNP") && protocol_number(t->data_pieces[i]) > cap;
    if (!over)
        return;
    std::string line = "VER";
    for (size_t i = 1; i < t->data_bpsize; ++i) {
        const char *word = t->data_pieces[i];
        if (i >= 2 && begins_with(word, "MSNP") && protocol_number(word) > cap)
            continue;
        line += ' ';
        line += word;
    }
    line += "\r\n";
    char *bytes = strdup(line.c_str());
    if (bytes)
        msnp_task_set_buffer(t, bytes, line.size());
}

/* The server's answer settles the version the rest of the connection is
 * read in, and shows a notification server. (The connection's role is
 * learnt from the server's answers, here and at USR and ANS, never from
 * what the client opens with: a client that opens a switchboard with VER
 * must not have its commands read the notification server's way. Until the
 * server has spoken every form counts, and the client's other commands
 * wait for the sign-in anyway.) */
match_t tq3_handler_ver_reply(task_struct *t)
{
    if (!t || !t->conn)
        return TQ_MATCH_PASS;
    const char *chosen = chunk(t, 2);
    long n = begins_with(chosen, "MSNP") ? protocol_number(chosen) : 0;
    if (n > 0 && n < 256) {
        msnp_dialect d = msnp_dialect_unpack(t->conn->frame_state, 0);
        t->conn->frame_state = msnp_dialect_learn_role(msnp_dialect_pack(static_cast<unsigned>(n), d.role), MSNP_ROLE_NS);
    }
    return TQ_MATCH_PASS;
}

match_t tq3_handler_ver(task_struct *t)
{
    if (!t)
        return TQ_MATCH_PASS;
    record_offered_versions(t);
    const char *lower = msnp_get_var("msnp-lower-version", nullptr);
    const char *upper = msnp_get_var("msnp-upper-version", nullptr);
    if (lower || upper) {
        long low = protocol_number(lower), high = protocol_number(upper);
        for (size_t i = 2; i < t->data_bpsize; ++i) {
            const char *word = t->data_pieces[i];
            if (begins_with(word, "CVR0"))
                break;
            long n = protocol_number(word);
            if ((lower && n < low) || (upper && n > high))
                return TQ_MATCH_BLOCK;
        }
    }
    long cap = version_cap();
    if (cap > 0)
        cap_offered_versions(t, cap);
    return TQ_MATCH_PASS;
}

match_t tq3_handler_cvr(task_struct *t)
{
    if (!t || !t->conn || t->conn->direction == DIR_SERVER_TO_CLIENT)
        return TQ_MATCH_PASS;
    tqconn *conn = t->conn;
    const char *os = chunk(t, 3), *os_version = chunk(t, 4), *arch = chunk(t, 5);
    const char *client = chunk(t, 6), *client_version = chunk(t, 7);
    set_owned(conn->client[ID_OS], os);
    set_owned(conn->client[ID_OSVERSION], os_version);
    set_owned(conn->client[ID_ARCH], arch);
    set_owned(conn->client[ID_NAME], client);
    set_owned(conn->client[ID_VERSION], client_version);

    const char *handle = chunk(t, 9);
    msnp_person *person = handle ? msnp_search_person_by_handle(handle, PERSON_USER) : nullptr;
    if (os && strcmp(os, "mac") == 0)
        conn->generic_flag = 1;

    match_t verdict = msnp_check_system_version(person, os, os_version, arch);
    if (verdict != TQ_MATCH_PASS && verdict != TQ_MATCH_BLOCK)
        verdict = msnp_check_system_version(person, os, os_version, "any");
    if (verdict != TQ_MATCH_PASS && verdict != TQ_MATCH_BLOCK)
        verdict = msnp_check_system_version(person, "any", os_version, "any");
    if (verdict == TQ_MATCH_PASS || verdict == TQ_MATCH_BLOCK)
        return verdict;
    return msnp_check_client_version(person, client_version) == TQ_MATCH_PASS ? TQ_MATCH_PASS : TQ_MATCH_BLOCK;
}

match_t tq3_handler_try_new_msnp_conntrack(task_struct *t)
{
    if (!t || !t->conn)
        return TQ_MATCH_PASS;
    tqconn *conn = t->conn;
    const bool usr = t->opcode == MSN_OPCODE_USR;
    const char *raw_handle = usr ? chunk(t, 3) : chunk(t, 2);
    const char *status = usr ? chunk(t, 2) : nullptr;
    /* A switchboard confirms with "USR trid OK handle name"; a notification
     * server asks with its security package, or confirms with the user's
     * verification flags after the name. */
    if (usr) {
        bool switchboard = status && strcmp(status, "OK") == 0 && t->data_bpsize == 5;
        conn->frame_state = msnp_dialect_learn_role(conn->frame_state, switchboard ? MSNP_ROLE_SB : MSNP_ROLE_NS);
    }
    const char *cookie = usr ? nullptr : chunk(t, 3);
    const char *session = usr ? nullptr : chunk(t, 4);

    /* The invitation this answer belongs to names the contact; the pending
     * expectation that carried it is withdrawn. */
    const char *contact = nullptr;
    if (!usr) {
        if (msnp_session *s = matching_session(conn->expdata, cookie, session)) {
            contact = s->user;
            tqlist_destroy_without_refs(&conn->expdata);
            tq3_expectation *e = tq3_expectation_new();
            if (e) {
                e->data = s;
                e->flags = EXPECTATION_FLAG_DATA_ONLY | EXPECTATION_FLAG_INVALIDATE;
                add_expectation(conn, e);
            }
        }
    }

    if (!raw_handle) {
        if (msnp_get_var_long("try-conntrack-hard-out", 1) != 0)
            conn->poison_match = TQ_MATCH_BLOCK;
        return TQ_MATCH_BLOCK;
    }
    char *handle = msnp_normalize_msnp16_guid(raw_handle);
    if (!handle)
        return TQ_MATCH_PASS;

    /* The server announces the client's separate authentication step: its
     * secure connection is expected (three times for Mac clients, which
     * open more of them). */
    if (handle[0] == 'S') {
        add_expectation(conn, msnp_authentication_expectation(t));
        if (conn->generic_flag == 1) {
            MSNP_STAT_BUMP("stats-user-macmsg");
            if (msnp_get_var_long("macmsg-expectation-double", 1) != 0) {
                add_expectation(conn, msnp_authentication_expectation(t));
                add_expectation(conn, msnp_authentication_expectation(t));
            }
        }
    }

    match_t verdict = TQ_MATCH_PASS;
    int login = 0;
    msnp_conntrack *ct = nullptr;
    msnp_person *person = nullptr;
    msnp_user *user = nullptr;
    if (status && !begins_with(status, "OK"))
        goto end;
    /* A second confirmation (or a repeated answer) keeps the tracker the
     * connection has. */
    if (conn->plugin) {
        free(handle);
        return TQ_MATCH_PASS;
    }

    person = msnp_search_user(handle);
    if (!person) {
        MSNP_STAT_BUMP("stats-user-unknown");
        if (!msnp_guest_user(t, handle) || !(person = msnp_search_user(handle))) {
            msnp_trace_sign_in_refused(handle, "sign-in of an unknown user");
            verdict = TQ_MATCH_BLOCK;
            goto end;
        }
        MSNP_STAT_BUMP("stats-user-guest");
    }
    user = person->user;
    if (user && user->guest_time && user->guest_grace && msnp_now() - user->guest_time >= user->guest_grace) {
        msnp_trace_sign_in_refused(handle, "sign-in of a guest past its time");
        verdict = TQ_MATCH_BLOCK;
        goto end;
    }
    if (person->disabled) {
        MSNP_STAT_BUMP("stats-user-disabled");
        msnp_trace_sign_in_refused(handle, "sign-in of a disabled user");
        verdict = TQ_MATCH_BLOCK;
        goto end;
    }

    ct = msnp_conntrack_new(handle, conn, person);
    if (!ct)
        goto end; /* no memory: the line passes unwatched rather than lost */
    tracker_list_insert(t->self, ct);
    if (usr && chunk(t, 1) && strcmp(chunk(t, 1), "1") != 0 && !(user && user->welcomed))
        login = 1;

    if (login == 1) {
        verdict = msnp_admission_checks(t, person);
        if (verdict == TQ_MATCH_BLOCK) {
            tracker_list_remove(t->self, ct);
            msnp_conntrack_destroy(ct);
            goto end;
        }
    }

    conn->plugin = ct;
    ct->confirmed = usr;
    set_owned(ct->cont_handle, contact);
    set_owned(ct->session, session);

    if (login == 1) {
        const char *flag = chunk(t, 4);
        if (flag && (strstr(flag, kUnverified) || strcmp(flag, "0") == 0) &&
            msnp_get_var_long("unconfirmed-out", 0) != 0) {
            msnp_trace_sign_in_refused(handle, "sign-in with an unverified address");
            verdict = TQ_MATCH_BLOCK;
            goto end;
        }
        fix_friendly_name(t, ct);
        login = 2;
        person->last_login = static_cast<unsigned long>(msnp_now());
        if (user)
            user->master = 1;
        MSNP_STAT_BUMP("stats-user-login");
    }
    verdict = TQ_MATCH_PASS;

end:
    if (login == 2)
        msn_sb_activity_log(t, nullptr, tqevents_shortcut_contact_activity(handle, EVENT_CODE_LOG_LOGIN, verdict));
    if (verdict == TQ_MATCH_BLOCK && msnp_get_var_long("try-conntrack-hard-out", 1) != 0)
        conn->poison_match = TQ_MATCH_BLOCK;
    free(handle);
    return verdict;
}

match_t tq3_handler_ans_server(task_struct *t)
{
    tqconn *conn = t ? t->conn : nullptr;
    auto *ct = conn ? static_cast<msnp_conntrack *>(conn->plugin) : nullptr;
    const char *status = chunk(t, 2);
    if (conn)
        conn->frame_state = msnp_dialect_learn_role(conn->frame_state, MSNP_ROLE_SB);
    if (ct && status && strcmp(status, "OK") == 0)
        ct->confirmed = true;
    msnp_user *user = ct && ct->person ? ct->person->user : nullptr;
    if (!user || user->welcomed)
        return TQ_MATCH_PASS;
    long mode = msnp_get_var_long("message-warning-welcome", 1);
    if (!status || strcmp(status, "OK") != 0 || mode == 0)
        return TQ_MATCH_PASS;
    user->welcomed = 1;

    std::string first;
    bool has_first = false;
    {
        std::shared_lock<std::shared_mutex> guard(ct->ss_users_lock);
        if (ct->ss_users && ct->ss_users->data) {
            first = static_cast<const char *>(ct->ss_users->data);
            has_first = true;
        }
    }
    const char *configured = msnp_get_var("message-warning-welcome-sender", MSNP_WELCOME_SENDER);
    const char *sender = nullptr;
    switch (mode) {
    case 1: sender = configured; break;
    case 2:
        if (!ct->adl_initial)
            sender = configured;
        else if (has_first)
            sender = first.c_str();
        break;
    case 3:
        if (has_first)
            sender = first.c_str();
        break;
    default: break;
    }
    /* Held, so the client reads the welcome after the ANS line. */
    conn->clid_buf = 1;
    if (sender)
        message_by_var(conn, sender, "message-warning-welcome-text");
    conn->clid_buf = 0;
    return TQ_MATCH_PASS;
}

match_t tq3_handler_out(task_struct *t)
{
    MSNP_STAT_BUMP("stats-chat-out");
    auto *ct = t && t->conn ? static_cast<msnp_conntrack *>(t->conn->plugin) : nullptr;
    if (ct && ct->user_handle)
        message_join_leave(ct->user_handle, t, "close", TQ_MATCH_PASS);
    MSNP_STAT_BUMP("stats-chat-out-pass");
    return TQ_MATCH_PASS;
}
