/* Chat and activity logs: every conversation line and every notable
 * activity of a local user becomes a host event and one line (one XML
 * element) in a file under "log-dir". */
#ifndef TQ3_MSNP_LOG_H
#define TQ3_MSNP_LOG_H

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tqconn.h"
#include "tqevents_interface.h"
#include "tqidl.h"

struct msnp_message;

/* Opens the tracker's chat log when it is not open yet; 0. */
int message_log_check_and_open(msnp_conntrack *ct);
/* Appends one line to the task's chat log (opening it first); 0. The line
 * reaches the file with msnp_log_flush. */
int message_activity_log(task_struct *tstruct, const char *activity);
/* Pushes the chat-log and activity-log lines of the connection's current
 * chunk to their files. */
void msnp_log_flush(tqconn *conn);
/* The same for a tracker (also before it goes). */
void msnp_log_write(msnp_conntrack *ct);
/* Only its chat-log lines (before its chat log is closed). */
void msnp_chat_log_write(msnp_conntrack *ct);
/* Records one parsed message with the verdict it got; 0. */
int message_log(struct msnp_message *message, task_struct *tstruct, match_t match);
/* Records that `user` joined, left or closed the session ("join", "leave",
 * "close"); 1, or 0 when `user` is NULL. */
int message_join_leave(const char *user, task_struct *tstruct, const char *type, match_t match);
/* Records an activity of the task's connection (or of `conn` without a
 * task) in the user's activity log and hands it to the host; takes the
 * event. */
void msn_sb_activity_log(task_struct *tstruct, tqconn *conn, event_t *event);
/* Appends one line to the user's activity log; like chat-log lines it
 * reaches the file with msnp_log_flush. */
void msn_sb_log(task_struct *tstruct, tqconn *conn, const char *activity);

/* Removes the log files under "log-dir" last changed "log-flush-mtime"
 * seconds ago or more. */
void msnp_flush_logs(void);
/* Walks `dir`, removing old log files; the number removed. */
int msnp_flush_logs_recurse(const char *dir, long timeflush);
/* Removes `file` when it is a regular ".log" file changed `timeflush`
 * seconds ago or more; 1 when removed. */
int msnp_flush_logs_file(const char *file, long timeflush);

/* The "log" command: `list|show [users[:contacts]] [begin[:end]] [text]`;
 * the answer (a "logs" element) goes to the parser's data. */
void msnp_log(idl_parser *idl, char **args);

/* The chat-log file of a tracker and the activity-log file of a user as
 * they are opened now (new texts), with '/' between parts. */
char *msnp_chat_log_path(const msnp_conntrack *ct);
char *msnp_activity_log_path(const char *user_handle);

#endif
