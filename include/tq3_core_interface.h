/* Vocabulary shared by the host core and its protocol modules: verdicts,
 * directions, the module record and the socket helper. */
#ifndef TQ3_CORE_INTERFACE_H
#define TQ3_CORE_INTERFACE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "tqlist.h"
#include "tqtable.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Verdict of a handler or a policy question. HIDDEN and ADVISED are flags
 * added to another value. */
typedef enum match_t {
    TQ_MATCH_NONE = 0,
    TQ_MATCH_INVALID = 1,
    TQ_MATCH_MOREDATA = 2,
    TQ_MATCH_PASS = 0x10000,
    TQ_MATCH_BLOCK = 0x20000,
    TQ_MATCH_CONTINUE = 0x40000,
    TQ_MATCH_ALERT = 0x80000,
    TQ_MATCH_HIDDEN = 0x100000,
    TQ_MATCH_ADVISED = 0x10000000
} match_t;

/* Direction a relayed chunk travels. */
typedef enum conn_direction {
    DIR_SERVER_TO_CLIENT = 0, /* "in" */
    DIR_CLIENT_TO_SERVER = 1, /* "out" */
    DIR_BOTH = 2,
    DIR_UNKNOWN = 3
} conn_direction;

typedef uint32_t risk_t;

struct tq3_module_ops;

/* One loaded module, owned by the host. */
typedef struct tq3_module {
    unsigned int version;              /* 0 means the record is unusable */
    void *block;                       /* module's anchor, survives reloads */
    tqlist *data;                      /* module's per-connection records */
    pthread_rwlock_t data_lock;        /* guards `data` */
    tqtable *ns;                       /* variables and counters (tq_variable) */
    const struct tq3_module_ops *ops;  /* the module's descriptor */
    void *dl_handle;                   /* dlopen handle, host's */
} tq3_module;

/* Creates a module record with an empty namespace and version 1. */
tq3_module *tq3_module_new(const struct tq3_module_ops *ops);
/* Frees the record, its namespace and variables (not `block`/`data`). */
void tq3_module_destroy(tq3_module *m);

/* Writes every byte (retrying short writes and EINTR). Sockets are written
 * with MSG_NOSIGNAL, so a vanished peer gives -1 with EPIPE instead of
 * SIGPIPE; other descriptors (pipes, files) are written with write(). A
 * non-blocking descriptor that is full is waited for, up to 10 seconds
 * without progress (then -1 with ETIMEDOUT). Returns `len` (0 for len 0), or -1 with errno set
 * (EINVAL for a negative descriptor or NULL bytes). */
ssize_t atomic_send(int sock, const void *bytes, size_t len);

#ifdef __cplusplus
}
#endif

#endif
