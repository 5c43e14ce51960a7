/* The user's identity as others see it: friendly name (REA, PRP MFN),
 * personal message and current media (UUX), online state (CHG) and privacy
 * mode (BLP). Where the administrator fixed a value, the client's command
 * goes to the server with that value instead; nothing here refuses a
 * command of the client. The server's answer to the rename the gateway
 * sends at sign-in is swallowed, since the client never asked for it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_task.h"
#include "tqconn.h"
#include "utils.h"

namespace {

msnp_person *person_of(task_struct *t)
{
    msnp_conntrack *ct = msnp_task_tracker(t);
    return ct ? ct->person : nullptr;
}

/* Puts `value` in word `index` and rebuilds the line; true when done. */
bool put_word(task_struct *t, int index, const char *value)
{
    if (!value || static_cast<size_t>(index) >= t->data_bpsize)
        return false;
    replace(t, index, const_cast<char *>(value));
    reconstruct(t, 1);
    return true;
}

/* The fixed friendly name in place of word 3, when there is one. */
void fix_friendly_word(task_struct *t)
{
    static msnp_stat_family fixed("stats-user-rename-fixed");
    char *replacement = msnp_match_friendly(t, person_of(t), chunk(t, 3));
    if (!replacement)
        return;
    fixed.count();
    put_word(t, 3, replacement);
    free(replacement);
}

/* A fixed text: the person's own, else the module-wide variable without
 * its quotes (new text), or NULL. */
char *fixed_text(const char *own, const char *var)
{
    if (own)
        return strdup(own);
    const char *text = msnp_get_var(var, nullptr);
    if (!text)
        return nullptr;
    char *copy = strdup(text);
    if (copy)
        dequote(copy, '"');
    return copy;
}

/* The payload with PSM and CurrentMedia replaced by the fixed texts, as a
 * new element of the root's name without its attributes. */
iks *rewrite_status(iks *root, const char *psm, const char *pmm)
{
    iks *out = iks_new(iks_name(root));
    if (!out)
        return nullptr;
    for (iks *child = iks_first_tag(root); child; child = iks_next_tag(child)) {
        const char *name = iks_name(child);
        const char *fixed = strcmp(name, "PSM") == 0 ? psm : strcmp(name, "CurrentMedia") == 0 ? pmm : nullptr;
        if (fixed)
            iks_insert_cdata(iks_insert(out, name), fixed, 0);
        else
            iks_insert_node(out, iks_copy_within(child, iks_stack(out)));
    }
    return out;
}

} // namespace

match_t tq3_handler_rea(task_struct *t)
{
    MSNP_STAT_BUMP("stats-user-rename");
    const char *who = chunk(t, 2);
    msnp_person *person = person_of(t);
    if (chunk(t, 3) && (!who || (person && person->handle && strcmp(who, person->handle) == 0)))
        fix_friendly_word(t);
    return TQ_MATCH_PASS;
}

match_t tq3_handler_prp(task_struct *t)
{
    const char *property = chunk(t, 2);
    if (!property || strcmp(property, "MFN") != 0)
        return TQ_MATCH_PASS;
    MSNP_STAT_BUMP("stats-user-rename");
    if (chunk(t, 3))
        fix_friendly_word(t);
    return TQ_MATCH_PASS;
}

match_t tq3_handler_rea_reverse(task_struct *t)
{
    MSNP_STAT_BUMP("stats-user-rename-reverse");
    if (t->buffer_size >= 5 && memcmp(t->data_buffer, "REA 0", 5) == 0) {
        MSNP_STAT_BUMP("stats-user-rename-reverse-hack");
        return TQ_MATCH_BLOCK;
    }
    return TQ_MATCH_PASS;
}

match_t tq3_handler_chg(task_struct *t)
{
    MSNP_STAT_BUMP("stats-user-state-change");
    msnp_person *person = person_of(t);
    if (person && put_word(t, 2, person->fixed_state))
        MSNP_STAT_BUMP("stats-user-state-change-fixed");
    return TQ_MATCH_PASS;
}

match_t tq3_handler_blp(task_struct *t)
{
    MSNP_STAT_BUMP("stats-user-privacy-change");
    if (tq3_expectation *e = msnp_authentication_expectation(t)) {
        e->flags |= EXPECTATION_FLAG_INVALIDATE;
        if (!tqlist_insert_begin(&t->conn->explist, e))
            tq3_expectation_destroy(e);
    }
    msnp_person *person = person_of(t);
    const char *fixed = person && person->fixed_privacy ? person->fixed_privacy : msnp_get_var("fixed-privacy", nullptr);
    if (put_word(t, 2, fixed))
        MSNP_STAT_BUMP("stats-user-privacy-change-fixed");
    return TQ_MATCH_PASS;
}

match_t tq3_handler_uux(task_struct *t)
{
    msnp_person *person = person_of(t);
    char *psm = fixed_text(person ? person->psm : nullptr, "personal-message-text");
    char *pmm = fixed_text(person ? person->pmm : nullptr, "personal-multimidia-text");
    if (!psm && !pmm)
        return TQ_MATCH_PASS;

    /* "UUX trid length" CR LF payload: the payload keeps its blanks. */
    const char *eol = static_cast<const char *>(memmem(t->data_buffer, t->buffer_size, "\r\n", 2));
    std::string line = eol ? std::string(t->data_buffer, static_cast<size_t>(eol - t->data_buffer)) : "";
    char command[8] = "", trid[32] = "";
    iks *root = nullptr, *rewritten = nullptr;
    if (eol && sscanf(line.c_str(), "%7s %31s", command, trid) == 2) {
        const char *payload = eol + 2;
        size_t size = t->buffer_size - static_cast<size_t>(payload - t->data_buffer);
        int err = 0;
        root = iks_tree(payload, size, &err);
    }
    if (root)
        rewritten = rewrite_status(root, psm, pmm);
    const char *text = rewritten ? iks_string(iks_stack(rewritten), rewritten) : nullptr;
    char *out = nullptr;
    int len = text ? asprintf(&out, "%s %s %lu\r\n%s", command, trid, static_cast<unsigned long>(strlen(text)), text)
                   : -1;
    if (len >= 0)
        msnp_task_set_buffer(t, out, static_cast<size_t>(len));
    iks_delete(rewritten);
    iks_delete(root);
    free(psm);
    free(pmm);
    return TQ_MATCH_PASS;
}
