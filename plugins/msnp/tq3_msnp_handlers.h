/* Command handlers: what the dispatcher runs for a command of the command
 * table in one direction. Each returns the command's verdict: PASS (or
 * ALERT) forwards data_buffer, anything else drops the command. */
#ifndef TQ3_MSNP_HANDLERS_H
#define TQ3_MSNP_HANDLERS_H

#include <stdlib.h>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_match.h"
#include "tq3_msnp_statistics.h"
#include "tqevents_interface.h"

struct msnp_message;

/* The gateway's own sign-in name, the default sender of its welcome. */
#define MSNP_WELCOME_SENDER "trevalquin@trevalquin"

/* Sign-in and session admission (tq3_msnp_handlers_login.cpp). */
match_t tq3_handler_ver(task_struct *tstruct);
match_t tq3_handler_ver_reply(task_struct *tstruct);
match_t tq3_handler_cvr(task_struct *tstruct);
match_t tq3_handler_try_new_msnp_conntrack(task_struct *tstruct);
/* The admission rules of a sign-in beyond who the user is: the proxy
 * account the person is bound to, the person's source network and the
 * quota. TQ_MATCH_BLOCK refuses, TQ_MATCH_PASS admits. */
match_t msnp_admission_checks(task_struct *tstruct, msnp_person *person);
match_t tq3_handler_ans_server(task_struct *tstruct);
match_t tq3_handler_out(task_struct *tstruct);

/* Switchboard sessions: calls, invitations, participants
 * (tq3_msnp_handlers_session.cpp). */
match_t tq3_handler_cal(task_struct *tstruct);
match_t tq3_handler_rng(task_struct *tstruct);
match_t tq3_handler_xfr(task_struct *tstruct);
match_t tq3_handler_joi(task_struct *tstruct);
match_t tq3_handler_iro(task_struct *tstruct);
match_t tq3_handler_bye(task_struct *tstruct);

/* The user's identity as others see it (tq3_msnp_handlers_presence.cpp). */
match_t tq3_handler_rea(task_struct *tstruct);
match_t tq3_handler_rea_reverse(task_struct *tstruct);
match_t tq3_handler_prp(task_struct *tstruct);
match_t tq3_handler_uux(task_struct *tstruct);
match_t tq3_handler_chg(task_struct *tstruct);
match_t tq3_handler_blp(task_struct *tstruct);

/* Contact lists (tq3_msnp_handlers_contacts.cpp). */
match_t tq3_handler_add(task_struct *tstruct);
match_t tq3_handler_add_reverse(task_struct *tstruct);
match_t tq3_handler_rem(task_struct *tstruct);
match_t tq3_handler_rem_reverse(task_struct *tstruct);
match_t tq3_handler_adc(task_struct *tstruct);
match_t tq3_handler_iln(task_struct *tstruct);
match_t tq3_handler_nln(task_struct *tstruct);
match_t tq3_handler_fln(task_struct *tstruct);
match_t tq3_handler_ubx(task_struct *tstruct);
match_t tq3_handler_lst(task_struct *tstruct);
match_t tq3_handler_adl(task_struct *tstruct);
match_t tq3_handler_rml(task_struct *tstruct);

/* Pages and notifications (tq3_msnp_handlers_paging.cpp). */
match_t tq3_handler_pgd(task_struct *tstruct);
match_t tq3_handler_pag(task_struct *tstruct);
match_t tq3_handler_sdc(task_struct *tstruct);
match_t tq3_handler_ipg(task_struct *tstruct);
match_t tq3_handler_uun_ubn(task_struct *tstruct);
/* The notification as a P2P message with the invitation type of the SIP
 * session it offers (caller destroys), or NULL for anything else. */
struct msnp_message *msnp_process_notification(task_struct *tstruct);
/* MSNP_INVITE_WEBCAM when the base64 SIP text offers video, else
 * MSNP_INVITE_VOICE when it offers audio, else 0. */
int msnp_decode_sip_base64_type(const char *msg_data);

/* Switchboard messages (tq3_msnp_handlers_message.cpp). */
match_t tq3_handler_msg_to_switchboard(task_struct *tstruct);
match_t tq3_handler_msg_from_switchboard(task_struct *tstruct);
/* 1 when refusing this kind of message earns the user a notice. */
int msnp_check_block_warn(struct msnp_message *message);

/* What the handlers share. */
/* The connection's tracker, or NULL. */
msnp_conntrack *msnp_task_tracker(task_struct *tstruct);
/* The contact word `index` of the command without the endpoint decoration
 * of newer protocol versions (new text), or NULL when absent. */
char *msnp_contact_word(task_struct *tstruct, unsigned index);
/* Records an activity of the user concerning `handle` (nothing without a
 * handle). */
void msnp_log_contact_activity(task_struct *tstruct, const char *handle, event_code code, match_t verdict);

/* How most commands about a contact are handled: count the command in
 * `family`, ask the policy about the contact of word `word`, let `work`
 * (handle, verdict) do the command's own part, record the activity `code`
 * (none for EVENT_CODE_NONE), count the verdict; the verdict goes back
 * unchanged, so a contact no relation allows is dropped. */
template <class Work>
match_t msnp_contact_policy(task_struct *tstruct, msnp_stat_family &family, unsigned word, event_code code,
                            Work work)
{
    family.count();
    char *handle = msnp_contact_word(tstruct, word);
    match_t verdict = rtree_backref_match(tstruct, handle);
    work(handle, verdict);
    if (code != EVENT_CODE_NONE)
        msnp_log_contact_activity(tstruct, handle, code, verdict);
    family.count_result(verdict);
    free(handle);
    return verdict;
}

/* For commands without work of their own. */
inline void msnp_no_work(const char *, match_t) {}

#endif
