/* The message filters: every MSG or UUM the local client sends and every
 * MSG or UBM a server delivers is parsed, decided by the policy, logged,
 * counted, and may bring a conversation warning, a block notice or the
 * user's automatic reply with it. The verdict alone decides whether the
 * command goes on; its bytes are never rewritten here (address scrambling
 * aside). */
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_kinds.h"
#include "tq3_msnp_log.h"
#include "tq3_msnp_match.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_task.h"
#include "tqconn.h"
#include "tqevents_interface.h"
#include "utils.h"

namespace {

constexpr const char kUnverified[] = "%20(E-mail%20Address%20Not%20Verified)";

/* ------------------------------------------------------------------ */
/* Counters by kind                                                    */
/* ------------------------------------------------------------------ */

using counter_t = unsigned long msnp_statistics::*;

/* One kind of message, invitation or datacast: the word that ends its
 * counter's name and its four verdict counters in a statistics block. */
struct kind_row {
    const char *word;
    counter_t counter[4];
    bool identifier = false; /* the word is a kind list's: '-' for '_' in the counter's name */
};

#define MSNP_VERDICT_COUNTERS(g)                                                             \
    {&msnp_statistics::stats_##g##_none, &msnp_statistics::stats_##g##_pass,                 \
     &msnp_statistics::stats_##g##_block, &msnp_statistics::stats_##g##_alert}
/* Rows in bit order of the codes, as the kind lists have them. */
#define MSNP_KIND(group, NAME, w, MORE) {#w, MSNP_VERDICT_COUNTERS(group##_##w), true},

const kind_row kMessageOut[] = {MSNP_MESSAGE_KIND_LIST(MSNP_KIND, message_out)};
const kind_row kMessageIn[] = {MSNP_MESSAGE_KIND_LIST(MSNP_KIND, message_in)};
const kind_row kInviteOut[] = {MSNP_INVITE_KIND_LIST(MSNP_KIND, invite_out)};
const kind_row kInviteIn[] = {MSNP_INVITE_KIND_LIST(MSNP_KIND, invite_in)};
const kind_row kDatacastOut[] = {MSNP_DATACAST_KIND_LIST(MSNP_KIND, datacast_out)};
const kind_row kDatacastIn[] = {MSNP_DATACAST_KIND_LIST(MSNP_KIND, datacast_in)};
/* The outgoing byte counter is written with an underscore, the incoming
 * one with a hyphen: both names are in use by reports. */
const kind_row kBytesOut = {"textplain_bytes", MSNP_VERDICT_COUNTERS(message_out_textplain_bytes)};
const kind_row kBytesIn = {"textplain-bytes", MSNP_VERDICT_COUNTERS(message_in_textplain_bytes)};

/* The row of a code (one bit, or 0); -1 for anything else. */
int row_of(int code, size_t rows)
{
    if (code == 0)
        return 0;
    if (code < 0 || (code & (code - 1)) != 0)
        return -1;
    int row = __builtin_ctz(static_cast<unsigned>(code)) + 1;
    return static_cast<size_t>(row) < rows ? row : -1;
}

/* The module-wide counters of a table of kinds: the kind's own counter
 * and its four result variants, their variables found once. */
class kind_counters {
public:
    kind_counters(const char *prefix, const kind_row *rows, size_t n) : rows_(rows), n_(n), sites_(n)
    {
        for (size_t i = 0; i < n; ++i) {
            std::string word = rows[i].word;
            if (rows[i].identifier)
                std::replace(word.begin(), word.end(), '_', '-');
            names_.push_back(prefix + word);
        }
    }

    /* Counts one message of kind `row`: globally once, and `amount` into the
     * connection's and the person's blocks under the verdict. */
    void count(int row, match_t verdict, msnp_conn_counts *conn_stats, msnp_statistics *person_stats,
               unsigned long amount = 1)
    {
        if (row < 0 || static_cast<size_t>(row) >= n_)
            return;
        const char *name = names_[static_cast<size_t>(row)].c_str();
        site &s = sites_[static_cast<size_t>(row)];
        msnp_stat_bump(&s.plain, name);
        int v = msnp_verdict_result(verdict);
        if (v < 0)
            return;
        msnp_stat_bump_verdict(s.variants, name, verdict);
        counter_t c = rows_[row].counter[v];
        if (conn_stats)
            conn_stats->add(c, amount);
        /* A person's block is shared by all the person's connections. */
        if (person_stats)
            __atomic_fetch_add(&(person_stats->*c), amount, __ATOMIC_RELAXED);
    }

private:
    struct site {
        std::atomic<tq_variable *> plain{nullptr};
        std::atomic<tq_variable *> variants[4] = {};
    };
    const kind_row *rows_;
    size_t n_;
    std::vector<std::string> names_;
    std::vector<site> sites_;
};

/* The counters of one direction. */
struct direction_counters {
    kind_counters messages, invites, datacasts, bytes;
};

direction_counters &counters_out()
{
    static direction_counters c{{"stats-message-out-", kMessageOut, std::size(kMessageOut)},
                                {"stats-invite-out-", kInviteOut, std::size(kInviteOut)},
                                {"stats-datacast-out-", kDatacastOut, std::size(kDatacastOut)},
                                {"stats-message-out-", &kBytesOut, 1}};
    return c;
}

direction_counters &counters_in()
{
    static direction_counters c{{"stats-message-in-", kMessageIn, std::size(kMessageIn)},
                                {"stats-invite-in-", kInviteIn, std::size(kInviteIn)},
                                {"stats-datacast-in-", kDatacastIn, std::size(kDatacastIn)},
                                {"stats-message-in-", &kBytesIn, 1}};
    return c;
}

/* The recipient's handle of the message being decided: the thread's own,
 * as a handle outgrows a string's inline room and every message names one. */
struct recipient_text {
    std::string text;
};

bool carries_injection_header(const msnp_message *m)
{
    return m && msnp_header(m->header, "x-trevalquin");
}

/* Counting at the end of either pipeline. */
void count_message(bool outgoing, const msnp_message *m, match_t verdict, msnp_conntrack *ct, msnp_person *person)
{
    if (outgoing)
        MSNP_STAT_BUMP_VERDICT("stats-message-out", verdict);
    else
        MSNP_STAT_BUMP_VERDICT("stats-message-in", verdict);
    if (!m)
        return;
    direction_counters &c = outgoing ? counters_out() : counters_in();
    msnp_conn_counts *cs = ct ? &ct->stats : nullptr;
    msnp_statistics *ps = person ? &person->stats : nullptr;
    if (m->ctype != MSNP_MESSAGE_PROFILE)
        c.messages.count(row_of(m->ctype, std::size(kMessageOut)), verdict, cs, ps);
    if (m->ctype == MSNP_MESSAGE_TEXTPLAIN && m->content && *m->content &&
        (outgoing || !carries_injection_header(m)))
        c.bytes.count(0, verdict, cs, ps, m->content_len);
    if (m->ctype == MSNP_MESSAGE_P2P || m->ctype == MSNP_MESSAGE_INVITE)
        c.invites.count(row_of(m->itype, std::size(kInviteOut)), verdict, cs, ps);
    if (m->ctype == MSNP_MESSAGE_DATACAST)
        c.datacasts.count(row_of(m->dtype, std::size(kDatacastOut)), verdict, cs, ps);
}

/* ------------------------------------------------------------------ */
/* Shared steps                                                        */
/* ------------------------------------------------------------------ */

bool passes(match_t verdict)
{
    return verdict == TQ_MATCH_PASS || verdict == TQ_MATCH_ALERT;
}

/* Messages whose kind we do not know pass unfiltered when
 * "message-unknown-type" says so. P2P data packets, invitation answers and
 * invitations to applications we do not know are still asked of the
 * policy for their contact (a blocked contact gets none of them); only the
 * IM type sets have nothing to say about them. */
bool unfiltered(const msnp_message *m)
{
    return m->ctype == MSNP_MESSAGE_UNKNOWN;
}

/* Remembers the message's P2P session; true when it was seen before. */
bool p2p_session_seen(msnp_conntrack *ct, const msnp_message *m)
{
    if (!m->slp_sessionid)
        return false;
    if (tqlist_search(ct->si_skipl, callback_search_string, m->slp_sessionid))
        return true;
    char *copy = strdup(m->slp_sessionid);
    if (copy && !tqlist_insert_begin(&ct->si_skipl, copy))
        free(copy);
    return false;
}

/* How a message to several participants is decided: by the most
 * restrictive of their verdicts (the default), or by the first
 * participant some relation decides ("group-verdict" = "first"). */
bool group_verdict_first()
{
    const char *mode = msnp_get_var("group-verdict", nullptr);
    return mode && strcmp(mode, "first") == 0;
}

/* How far a verdict keeps a message from its readers: a block first, then
 * anything else that withholds it, then an alert, then a pass. */
int restriction(match_t verdict)
{
    if ((static_cast<unsigned>(verdict) & ~static_cast<unsigned>(TQ_MATCH_HIDDEN | TQ_MATCH_ADVISED)) == TQ_MATCH_BLOCK)
        return 3;
    if (verdict == TQ_MATCH_ALERT)
        return 1;
    if (verdict == TQ_MATCH_PASS)
        return 0;
    return 2;
}

/* Every participant of a conversation of several is asked; one whose
 * verdict withholds the message withholds it from all (a blocked contact
 * in the conversation would read it otherwise). The participant whose
 * verdict wins becomes the destination when a relation decided it, and a
 * line of the chat log gives each participant's verdict. The caller holds
 * the participants' lock. */
match_t restrictive_verdict(task_struct *t, msnp_conntrack *ct, std::string &dest, bool &has_dest)
{
    match_t verdict = TQ_MATCH_PASS;
    int worst = -1;
    iks *why = iks_new("participants");
    for (tqlist *l = ct->ss_users; l; l = l->next) {
        const char *who = static_cast<const char *>(l->data);
        if (!who)
            continue;
        match_t v = rtree_backref_match(t, who);
        if (why) {
            iks *p = iks_insert(why, "participant");
            iks_insert_attrib(p, "user", who);
            iks_insert_attrib(p, "verdict", tqevents_match_name(v));
        }
        if (restriction(v) > worst) {
            worst = restriction(v);
            verdict = v;
            /* A participant no relation decides names nobody. */
            has_dest = v != TQ_MATCH_NONE;
            if (has_dest)
                dest = who;
            else
                dest.clear();
        }
    }
    if (why) {
        iks_insert_attrib(why, "verdict", tqevents_match_name(verdict));
        iks_insert_attrib(why, "time", std::to_string(static_cast<long long>(msnp_now())).c_str());
        const char *line = iks_string(iks_stack(why), why);
        if (line)
            message_activity_log(t, line);
        iks_delete(why);
    }
    return verdict;
}

bool no_warnings_for(const msnp_person *person)
{
    return msnp_get_var_long("message-warning-self", 1) == 0 || (person && person->no_warnings);
}

/* The warning of a conversation's first text message: to the other
 * participants, and to the local user as from `to_client` when known. */
void first_message_warning(task_struct *t, msnp_conntrack *ct, const msnp_person *person, const char *to_client)
{
    if (ct->clean_to_warn != 0 || t->opcode != MSN_OPCODE_MSG)
        return;
    bool no_warn = no_warnings_for(person);
    ct->clean_to_warn = static_cast<int>(msnp_now());
    int seen = msnp_get_var_long("warning-repeat-any", 0) != 0 ? ct->sawarn : ct->lsawarn;
    if (seen == 1 && msnp_get_var_long("warning-repeat", 0) == 0)
        no_warn = true;
    if (!no_warn) {
        message_by_var(t->conn, nullptr, "message-warning-text");
        if (to_client)
            message_by_var(t->conn, to_client, "message-warning-text");
    }
    ct->last_warn = msnp_now();
    ct->time_warn = msnp_get_var_long("message-warning-time", 0);
}

/* Whether a refused message earns a notice, and to whom it goes is the
 * caller's; `retry_var` keeps later packets of a known P2P session quiet. */
bool block_notice_due(match_t verdict, const msnp_message *m, bool si_seen, const char *retry_var)
{
    if (passes(verdict) || (static_cast<unsigned>(verdict) & TQ_MATCH_ADVISED))
        return false;
    if (msnp_get_var_long("warning-block-enable", 0) == 0)
        return false;
    if (si_seen && msnp_get_var_long(retry_var, 1) != 0)
        return false;
    return msnp_check_block_warn(const_cast<msnp_message *>(m)) == 1;
}

/* Whether the message answers, or carries the data of, an invitation the
 * policy withheld: it goes the same way, whoever sends it. */
bool follows_withheld(msnp_conntrack *ct, const std::string &key)
{
    if (key.empty())
        return false;
    std::lock_guard<std::mutex> guard(ct->withheld_lock);
    return std::find(ct->withheld.begin(), ct->withheld.end(), key) != ct->withheld.end();
}

void remember_withheld(msnp_conntrack *ct, const msnp_message *m, match_t verdict)
{
    if (passes(verdict))
        return;
    std::string key = msnp_message_invitation_key(m);
    if (key.empty())
        return;
    constexpr size_t kKept = 256;
    std::lock_guard<std::mutex> guard(ct->withheld_lock);
    if (std::find(ct->withheld.begin(), ct->withheld.end(), key) != ct->withheld.end())
        return;
    if (ct->withheld.size() >= kKept)
        ct->withheld.erase(ct->withheld.begin());
    ct->withheld.push_back(std::move(key));
}

/* The start both pipelines share: the command is counted, the peers'
 * addresses scrambled and the payload parsed. The message to decide, or
 * NULL when the command is settled here with `*settled`: it passes as it
 * is (no payload to parse, or a kind that passes unfiltered, counted as
 * passed), or it is withheld (a kind the policy withholds unread). A
 * follow-up of a withheld invitation is decided like any message, and
 * withheld whatever the policy says of it. */
msnp_message *parsed_for_decision(task_struct *t, msnp_conntrack *ct, bool outgoing, match_t *settled)
{
    *settled = TQ_MATCH_PASS;
    if (outgoing)
        MSNP_STAT_BUMP("stats-message-out");
    else
        MSNP_STAT_BUMP("stats-message-in");
    msnp_scramble_address(t);
    msnp_message *m = new_msnp_message(t);
    if (!m)
        return nullptr;
    if (msnp_message_unknown_blocked(m)) {
        *settled = TQ_MATCH_BLOCK;
        message_log(m, t, *settled);
        count_message(outgoing, m, *settled, ct, ct->person);
        return nullptr;
    }
    m->follows_withheld = follows_withheld(ct, msnp_message_invitation_key(m));
    if (!m->follows_withheld && unfiltered(m)) {
        count_message(outgoing, m, TQ_MATCH_PASS, ct, ct->person);
        return nullptr;
    }
    return m;
}

} // namespace

int msnp_check_block_warn(msnp_message *m)
{
    if (!m)
        return 0;
    switch (m->ctype) {
    case MSNP_MESSAGE_TEXTPLAIN:
    case MSNP_MESSAGE_EMOTICON:
    case MSNP_MESSAGE_INK:
    case MSNP_MESSAGE_TEXTSECWAY:
        return 1;
    case MSNP_MESSAGE_DATACAST:
        return m->dtype == MSNP_DATACAST_WINK || m->dtype == MSNP_DATACAST_NUDGE || m->dtype == MSNP_DATACAST_ACTION;
    case MSNP_MESSAGE_P2P:
    case MSNP_MESSAGE_INVITE:
        /* Display pictures are refused without a word. */
        return m->itype != MSNP_INVITE_PICTURE && m->itype != MSNP_INVITE_UNKNOWN && row_of(m->itype, std::size(kInviteOut)) > 0;
    default:
        return 0;
    }
}

match_t tq3_handler_msg_to_switchboard(task_struct *t)
{
    msnp_conntrack *ct = msnp_task_tracker(t);
    match_t settled = TQ_MATCH_PASS;
    msnp_message *m = ct ? parsed_for_decision(t, ct, true, &settled) : nullptr;
    if (!m)
        return settled;
    msnp_person *person = ct->person;
    match_t verdict = TQ_MATCH_PASS;
    bool si_seen = p2p_session_seen(ct, m);
    std::string &dest = tq_thread_object<recipient_text>().text;
    dest.clear();
    bool has_dest = false;
    const char *known = m->dest ? m->dest : msnp_header(m->header, "p2p-dest");
    if (known) {
        dest = known;
        has_dest = true;
        verdict = rtree_backref_match(t, dest.c_str());
    } else {
        std::shared_lock<std::shared_mutex> guard(ct->ss_users_lock);
        if (msnp_get_var_long("insecure-chat", 0) == 1) {
            verdict = TQ_MATCH_PASS;
        } else if (!ct->ss_users) {
            /* Nobody has joined yet: the message is for the contact the
             * user called, if the call went out; with no call either it is
             * for nobody the policy could ask about, and is not sent (a
             * call the policy refused, with a message pipelined behind it,
             * must not leave the message to whoever joins). */
            verdict = TQ_MATCH_NONE;
            if (ct->cont_handle) {
                dest = ct->cont_handle;
                has_dest = true;
                verdict = rtree_backref_match(t, ct->cont_handle);
            }
        } else if (!ct->ss_users->next || group_verdict_first()) {
            /* One participant: both rules ask just that one (and the
             * variable is not read for every message of every chat). */
            verdict = TQ_MATCH_NONE;
            for (tqlist *l = ct->ss_users; l && verdict == TQ_MATCH_NONE; l = l->next) {
                const char *who = static_cast<const char *>(l->data);
                if (!who)
                    continue;
                verdict = rtree_backref_match(t, who);
                if (verdict != TQ_MATCH_NONE) {
                    dest = who;
                    has_dest = true;
                }
            }
        } else {
            verdict = restrictive_verdict(t, ct, dest, has_dest);
        }
    }
    if (has_dest && passes(verdict) && strcasestr(dest.c_str(), kUnverified) &&
        msnp_get_var_long("unconfirmed-send-deny", 0) == 1)
        verdict = TQ_MATCH_BLOCK;
    if (m->follows_withheld && passes(verdict))
        verdict = TQ_MATCH_BLOCK;

    message_log(m, t, verdict);
    if (m->ctype == MSNP_MESSAGE_TEXTPLAIN) {
        ct->stats.add(&msnp_statistics::chat_time, static_cast<unsigned long>(msnp_estimate_chat_time(ct)));
        ct->time_last_message_send = msnp_now();
        first_message_warning(t, ct, person, has_dest ? dest.c_str() : nullptr);
    }
    if (block_notice_due(verdict, m, si_seen, "no-warning-block-retry-out")) {
        const char *sender = has_dest ? dest.c_str() : ct->cont_handle;
        message_by_var(t->conn, sender, "warning-block-text");
    }
    remember_withheld(ct, m, verdict);
    count_message(true, m, verdict, ct, person);
    return verdict;
}

match_t tq3_handler_msg_from_switchboard(task_struct *t)
{
    msnp_conntrack *ct = msnp_task_tracker(t);
    match_t settled = TQ_MATCH_PASS;
    msnp_message *m = ct ? parsed_for_decision(t, ct, false, &settled) : nullptr;
    if (!m)
        return settled;
    msnp_person *person = ct->person;
    match_t verdict = TQ_MATCH_PASS;
    bool si_seen = p2p_session_seen(ct, m);

    const char *injected = msnp_header(m->header, "x-trevalquin");
    if (injected) {
        ct->sawarn = 1;
        if (msnp_get_var_long("warning-from-trevalquin", 1) == 0)
            return TQ_MATCH_BLOCK;
        if (ents && ents->id_secure && strcmp(injected, ents->id_secure) == 0) {
            ct->lsawarn = 1;
            if (msnp_get_var_long("warning-from-local-trevalquin", 1) == 0)
                return TQ_MATCH_BLOCK;
        }
    }
    const char *sender = m->orig ? m->orig : "";

    switch (m->ctype) {
    case MSNP_MESSAGE_PROFILE:
        counters_in().messages.count(row_of(MSNP_MESSAGE_PROFILE, std::size(kMessageIn)), verdict, &ct->stats,
                                     person ? &person->stats : nullptr);
        /* A second profile on a master connection changes nothing. */
        ct->master = 1;
        if (person && person->user)
            person->user->master = 1;
        count_message(false, m, verdict, ct, person);
        return verdict;
    case MSNP_MESSAGE_INIMAILNOTIFICIATION:
        if ((person && person->no_inimailnot) || msnp_get_var_long("mail-notification-initial", 1) == 0)
            verdict = TQ_MATCH_BLOCK;
        count_message(false, m, verdict, ct, person);
        return verdict;
    case MSNP_MESSAGE_MAILNOTIFICATION:
        return (person && person->no_mailnot) || msnp_get_var_long("mail-notification", 1) == 0 ? TQ_MATCH_BLOCK
                                                                                                 : TQ_MATCH_PASS;
    case MSNP_MESSAGE_MAILACTIVENOTIFICATION:
        return (person && person->no_actmailnot) || msnp_get_var_long("mail-notification-active", 1) == 0
                   ? TQ_MATCH_BLOCK
                   : TQ_MATCH_PASS;
    default: break;
    }

    verdict = rtree_backref_match(t, m->orig);
    if (passes(verdict) && strcasestr(sender, kUnverified) && msnp_get_var_long("unconfirmed-receive-deny", 0) == 1)
        verdict = TQ_MATCH_BLOCK;
    if (m->follows_withheld && passes(verdict))
        verdict = TQ_MATCH_BLOCK;

    message_log(m, t, verdict);
    if (m->ctype == MSNP_MESSAGE_TEXTPLAIN) {
        ct->stats.add(&msnp_statistics::chat_time, static_cast<unsigned long>(msnp_estimate_chat_time(ct)));
        ct->time_last_message_rcvd = msnp_now();
        first_message_warning(t, ct, person, sender);
    }
    /* Injected messages get no automatic reply: two gateways whose users
     * both have one would otherwise answer each other without end. */
    if (m->ctype == MSNP_MESSAGE_TEXTPLAIN && passes(verdict) && person && person->auto_reply && !injected) {
        size_t size = 0;
        char *reply = message_create(person->auto_reply, nullptr, &size);
        if (reply)
            tqconn_send(t->conn, t->conn->srvd, reply, size);
        free(reply);
    }
    if (block_notice_due(verdict, m, si_seen, "no-warning-block-retry-in"))
        message_by_var(t->conn, nullptr, "warning-block-text");
    remember_withheld(ct, m, verdict);
    count_message(false, m, verdict, ct, person);
    return verdict;
}
