/* Verdict trace: why the policy decided what it did, command by command.
 * A module that can explain itself exports these functions; a host looks
 * them up with dlsym and may do without them. Nothing is recorded, and
 * nothing costs more than one load, while no thread has a sink. */
#ifndef TQ3_TRACE_H
#define TQ3_TRACE_H

#include <stddef.h>
#include <time.h>

#include "tq3_core_interface.h"
#include "tqconn.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One decision about one contact. `rule` says what decided: "relation"
 * (then `owner`, `target` and `position` name it), "default action", or a
 * sign-in or address rule by name. */
typedef struct tq3_trace_decision {
    const char *contact;
    match_t verdict;
    const char *rule;
    const char *owner;  /* person name or tree path ("/" the root), or NULL */
    const char *target; /* person or group the relation names, or NULL */
    int position;       /* 1-based among the owner's relations; 0 none */
} tq3_trace_decision;

/* A command that at least one decision touched. */
typedef struct tq3_trace_command {
    time_t when;              /* the module's clock */
    unsigned long tid;        /* host's connection number */
    conn_direction direction;
    const char *user;         /* the connection's local user (or the one refused), or NULL */
    const char *command;      /* its first line, without CR LF, at most 200 bytes */
    size_t offset;            /* where it starts in the bytes of this tasklet call */
    match_t outcome;          /* the command's verdict: passed, blocked (withheld) or alert */
    int rewritten;            /* passed with other bytes than it came with */
    size_t count;
    const tq3_trace_decision *decisions;
} tq3_trace_command;

typedef void (*tq3_trace_sink)(void *ctx, const tq3_trace_command *command);

/* Sets the calling thread's sink (NULL: stop tracing on this thread). The
 * record and its strings live only during the call. */
typedef void (*tq3_trace_set_fn)(tq3_trace_sink sink, void *ctx);
#define TQ3_TRACE_SET_SYMBOL "tq3_trace_set"

/* Replaces the module's clock (NULL: the system's). */
typedef void (*tq3_clock_set_fn)(time_t (*clock)(void));
#define TQ3_CLOCK_SET_SYMBOL "tq3_clock_set"

/* Copies the local user the module identified on a connection into `buf`
 * (NUL-terminated, cut to `size`); returns its length, 0 when none. */
typedef size_t (*tq3_conn_user_fn)(tqconn *conn, char *buf, size_t size);
#define TQ3_CONN_USER_SYMBOL "tq3_conn_user"
/* The same for the contacts of a conversation, separated by ", ". */
#define TQ3_CONN_CONTACTS_SYMBOL "tq3_conn_contacts"

#ifdef __cplusplus
}
#endif

#endif
