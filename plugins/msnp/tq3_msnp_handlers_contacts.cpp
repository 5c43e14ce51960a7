/* Contact lists on the notification connection: adding and removing
 * contacts (ADD, REM, ADC, ADL, RML), the lists the server reports (LST)
 * and the contacts' presence (ILN, NLN, FLN, UBX).
 *
 * Each command about a remote contact is put to the policy, so that the
 * administrator can forbid adding, removing or even seeing a contact; what
 * passes teaches the module the user's contacts and the identifiers newer
 * protocol versions use in place of handles. */
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_match.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_task.h"
#include "tqconn.h"

namespace {

/* Handles in ADL payloads are cut to this many bytes. */
constexpr size_t kAdlHandleMax = 511;

msnp_user *run_time_user(task_struct *t)
{
    msnp_conntrack *ct = msnp_task_tracker(t);
    return ct && ct->person ? ct->person->user : nullptr;
}

const char *after_prefix(const char *word, const char *prefix)
{
    size_t n = strlen(prefix);
    return word && strncmp(word, prefix, n) == 0 ? word + n : word;
}

/* Teaches the user's table which handle a contact identifier stands for
 * (an identifier already known keeps its handle). */
void learn_identifier(msnp_user *user, const char *identifier, const char *handle)
{
    if (user && identifier && handle)
        user->user_codes.learn(identifier, handle);
}

/* Presence lines of a passed contact show a local user's configured name. */
match_t presence(task_struct *t, msnp_stat_family &family, unsigned word, event_code code, int name_word)
{
    return msnp_contact_policy(t, family, word, code, [&](const char *handle, match_t verdict) {
        if (verdict == TQ_MATCH_PASS && handle)
            fixed_friendly_for_contacts(t, handle, name_word);
    });
}

/* The contacts of an ADL or RML payload, in order, as handles. */
template <class Visit> void each_payload_contact(task_struct *t, Visit visit)
{
    const char *eol = static_cast<const char *>(memmem(t->data_buffer, t->buffer_size, "\r\n", 2));
    if (!eol)
        return;
    const char *payload = eol + 2;
    size_t size = t->buffer_size - static_cast<size_t>(payload - t->data_buffer);
    int err = 0;
    iks *root = iks_tree(payload, size, &err);
    if (!root)
        return;
    visit(root, nullptr);
    bool stop = false;
    for (iks *d = iks_first_tag(root); d && !stop; d = iks_next_tag(d)) {
        const char *domain = iks_find_attrib(d, "n");
        if (strncmp(iks_name(d), "d", 1) != 0 || !domain)
            continue;
        for (iks *c = iks_first_tag(d); c && !stop; c = iks_next_tag(c)) {
            const char *name = iks_find_attrib(c, "n");
            if (strncmp(iks_name(c), "c", 1) != 0 || !name)
                continue;
            std::string handle = std::string(name) + "@" + domain;
            if (handle.size() > kAdlHandleMax)
                handle.resize(kAdlHandleMax);
            stop = visit(root, handle.c_str());
        }
    }
    iks_delete(root);
}

} // namespace

match_t tq3_handler_add(task_struct *t)
{
    static msnp_stat_family family("stats-contact-add");
    return msnp_contact_policy(t, family, 3, EVENT_CODE_LOG_ADDING, msnp_no_work);
}

match_t tq3_handler_add_reverse(task_struct *t)
{
    static msnp_stat_family family("stats-contact-added");
    return msnp_contact_policy(t, family, 4, EVENT_CODE_LOG_ADDEDBY, msnp_no_work);
}

match_t tq3_handler_rem(task_struct *t)
{
    static msnp_stat_family family("stats-contact-rem");
    family.count();
    match_t verdict = TQ_MATCH_PASS;
    const char *word = chunk(t, 3);
    if (word) {
        /* Newer clients remove by identifier: the handle is the one the
         * lists taught us; an identifier we never learnt passes. */
        std::string learnt;
        const char *handle = word;
        if (!strchr(word, '@')) {
            msnp_user *user = run_time_user(t);
            learnt = user ? user->user_codes.find(word) : "";
            handle = learnt.empty() ? nullptr : learnt.c_str();
        }
        if (handle) {
            char *normal = msnp_normalize_msnp16_guid(handle);
            verdict = rtree_backref_match(t, normal);
            msnp_log_contact_activity(t, normal, EVENT_CODE_LOG_REMOVING, verdict);
            free(normal);
        }
    }
    family.count_result(verdict);
    return verdict;
}

match_t tq3_handler_rem_reverse(task_struct *t)
{
    static msnp_stat_family family("stats-contact-removed");
    family.count();
    const char *word = chunk(t, 3);
    match_t verdict = TQ_MATCH_PASS;
    if (!word || strchr(word, '@')) {
        char *handle = msnp_contact_word(t, 3);
        verdict = rtree_backref_match(t, handle);
        msnp_log_contact_activity(t, handle, EVENT_CODE_LOG_REMOVEDBY, verdict);
        free(handle);
    }
    family.count_result(verdict);
    return verdict;
}

match_t tq3_handler_adc(task_struct *t)
{
    static msnp_stat_family family("stats-contact-add");
    family.count();
    const char *word = chunk(t, 3);
    if (!word)
        return TQ_MATCH_PASS;
    const char *handle = after_prefix(word, "N=");
    const char *list = chunk(t, 2);
    if (list && strncmp(list, "FL", 2) == 0) {
        /* The forward list is the user's own: it passes, and its
         * identifiers are learnt. */
        const char *id = chunk(t, 5);
        if (id && strncmp(id, "C=", 2) == 0)
            learn_identifier(run_time_user(t), id + 2, handle);
        return TQ_MATCH_PASS;
    }
    char *normal = msnp_normalize_msnp16_guid(handle);
    match_t verdict = rtree_backref_match(t, normal);
    msnp_log_contact_activity(t, normal, EVENT_CODE_LOG_ADDING, verdict);
    family.count_result(verdict);
    free(normal);
    return verdict;
}

match_t tq3_handler_iln(task_struct *t)
{
    static msnp_stat_family family("stats-contact-list-initial");
    return presence(t, family, 3, EVENT_CODE_LOG_STATECHANGE, 4);
}

match_t tq3_handler_nln(task_struct *t)
{
    static msnp_stat_family family("stats-contact-list-online");
    return presence(t, family, 2, EVENT_CODE_LOG_ONLINE, 3);
}

match_t tq3_handler_fln(task_struct *t)
{
    static msnp_stat_family family("stats-contact-list-offline");
    return presence(t, family, 1, EVENT_CODE_LOG_OFFLINE, 3);
}

match_t tq3_handler_ubx(task_struct *t)
{
    char *handle = msnp_contact_word(t, 1);
    match_t verdict = rtree_backref_match(t, handle);
    free(handle);
    return verdict;
}

match_t tq3_handler_lst(task_struct *t)
{
    static msnp_stat_family family("stats-contact-list");
    family.count();
    const char *word = chunk(t, 1);
    if (!word)
        return TQ_MATCH_PASS;
    /* Three layouts: "LST trid list version index total handle friendly"
     * (MSNP2-7, no handle in the line of an empty list), "LST handle
     * friendly lists" (MSNP8-9) and "LST N=handle F=friendly C=id lists"
     * (MSNP10 on). */
    const char *handle = after_prefix(word, "N=");
    const char *list = chunk(t, 2);
    if (handle == word && strspn(word, "0123456789") == strlen(word) && list && strlen(list) == 2) {
        handle = chunk(t, 6);
        if (!handle) {
            family.count_result(TQ_MATCH_PASS);
            return TQ_MATCH_PASS;
        }
    }
    const char *id = chunk(t, 3);
    msnp_conntrack *ct = msnp_task_tracker(t);
    msnp_user *user = run_time_user(t);
    if (id && strncmp(id, "C=", 2) == 0)
        learn_identifier(user, id + 2, handle);
    if (user)
        msnp_user_contacts_add(ct->person, handle);
    msnp_log_contact_activity(t, handle, EVENT_CODE_LOG_LISTING, TQ_MATCH_PASS);
    family.count_result(TQ_MATCH_PASS);
    return TQ_MATCH_PASS;
}

match_t tq3_handler_adl(task_struct *t)
{
    static msnp_stat_family family("stats-contact-adl");
    family.count();
    msnp_conntrack *ct = msnp_task_tracker(t);
    match_t verdict = TQ_MATCH_PASS;
    bool initial = false;
    /* The first ADL of a sign-in comes with the client's secure
     * connections for the contacts' details. */
    if (ct && ct->master && !ct->adl_initial) {
        for (int i = 0; i < 2; ++i) {
            tq3_expectation *e = msnp_authentication_expectation(t);
            if (!e)
                continue;
            e->flags |= EXPECTATION_FLAG_INVALIDATE;
            if (!tqlist_insert_begin(&t->conn->explist, e))
                tq3_expectation_destroy(e);
        }
        ct->adl_initial = 1;
        initial = true;
    }
    each_payload_contact(t, [&](iks *root, const char *handle) {
        if (!handle) {
            const char *l = iks_find_attrib(root, "l");
            if (l && l[0] == '1')
                initial = true;
            return false;
        }
        if (!initial) {
            verdict = rtree_backref_match(t, handle);
            if (verdict != TQ_MATCH_NONE) {
                msnp_log_contact_activity(t, handle, EVENT_CODE_LOG_ADDING, verdict);
                return true;
            }
        }
        if (ct && ct->person && ct->person->user)
            msnp_user_contacts_add(ct->person, handle);
        msnp_log_contact_activity(t, handle, EVENT_CODE_LOG_LISTING, TQ_MATCH_PASS);
        return false;
    });
    if (!initial)
        family.count_result(verdict);
    return verdict;
}

match_t tq3_handler_rml(task_struct *t)
{
    match_t verdict = TQ_MATCH_PASS;
    each_payload_contact(t, [&](iks *, const char *handle) {
        if (!handle)
            return false;
        verdict = rtree_backref_match(t, handle);
        return verdict != TQ_MATCH_NONE;
    });
    return verdict;
}
