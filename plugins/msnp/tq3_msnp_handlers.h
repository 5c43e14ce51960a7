/* Command handlers: what the dispatcher runs for a command of the command
 * table in one direction. Each returns the command's verdict: PASS (or
 * ALERT) forwards data_buffer, anything else drops the command. */
#ifndef TQ3_MSNP_HANDLERS_H
#define TQ3_MSNP_HANDLERS_H

#include "tq3_msnp.h"

struct msnp_message;

/* The gateway's own sign-in name, the default sender of its welcome. */
#define MSNP_WELCOME_SENDER "trevalquin@trevalquin"

/* Sign-in and session admission (tq3_msnp_handlers_login.cpp). */
match_t tq3_handler_ver(task_struct *tstruct);
match_t tq3_handler_cvr(task_struct *tstruct);
match_t tq3_handler_try_new_msnp_conntrack(task_struct *tstruct);
match_t tq3_handler_ans_server(task_struct *tstruct);
match_t tq3_handler_out(task_struct *tstruct);

/* Switchboard sessions: calls, invitations, participants
 * (tq3_msnp_handlers_session.cpp). */
match_t tq3_handler_cal(task_struct *tstruct);
match_t tq3_handler_rng(task_struct *tstruct);
match_t tq3_handler_joi(task_struct *tstruct);
match_t tq3_handler_iro(task_struct *tstruct);
match_t tq3_handler_bye(task_struct *tstruct);

/* Switchboard messages (tq3_msnp_handlers_message.cpp). */
match_t tq3_handler_msg_to_switchboard(task_struct *tstruct);
match_t tq3_handler_msg_from_switchboard(task_struct *tstruct);
/* 1 when refusing this kind of message earns the user a notice. */
int msnp_check_block_warn(struct msnp_message *message);

#endif
