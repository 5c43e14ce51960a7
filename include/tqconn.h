/* One relayed connection as the host keeps it, and the expectations a
 * module registers for connections still to come. */
#ifndef TQCONN_H
#define TQCONN_H

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include "tq3_core_interface.h"
#include "tqlist.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Slots of the identity arrays `client` and `protocol`. */
enum { ID_NAME = 0, ID_VERSION = 1, ID_OS = 2, ID_OSVERSION = 3, ID_ARCH = 4, ID_MAX = 5 };

enum {
    EXPECTATION_FLAG_NONE = 0,
    EXPECTATION_FLAG_DATA_ONLY = 1,  /* only hand `data` to a matching connection */
    EXPECTATION_FLAG_INVALIDATE = 2  /* withdraw the expectation once matched */
};

/* An expected new connection. Addresses and ports are in network order; a
 * mask of 0 matches anything, all-ones matches exactly. */
typedef struct tq3_expectation {
    uint32_t saddr, smask;
    uint32_t daddr, dmask;
    uint16_t sport, spmask;
    uint16_t dport, dpmask;
    unsigned flags;
    void *data;
    size_t data_size;
    void (*data_destructor)(void *data);
} tq3_expectation;

/* A new expectation with every mask open and no data. */
tq3_expectation *tq3_expectation_new(void);
/* Runs `data_destructor` on `data` (when both set), then frees. */
void tq3_expectation_destroy(tq3_expectation *e);
/* True when a connection from saddr:sport to daddr:dport matches (every
 * field compared under its mask). A NULL expectation matches nothing. */
int tq3_expectation_match(const tq3_expectation *e, uint32_t saddr, uint16_t sport, uint32_t daddr,
                          uint16_t dport);

typedef struct tq_socks5_header {
    char *user; /* user name given in SOCKS5 authentication, or NULL */
} tq_socks5_header;

/* Bytes the module writes to a connection outside the I/O vector of the
 * chunk being handled (see tqconn_send), waiting for the host. */
typedef struct tqconn_outbox tqconn_outbox;

typedef struct tqconn {
    conn_direction direction;  /* of the chunk being handled */
    void *plugin;              /* the module's per-connection record */
    match_t poison_match;      /* TQ_MATCH_BLOCK: the host ends the connection */
    int clid, srvd;            /* client-side and server-side sockets */
    uint32_t saddr;            /* client IPv4 address, network order */
    uint16_t sport;
    uint32_t daddr;            /* server IPv4 address, network order */
    uint16_t dport;
    int version;               /* SOCKS version the client spoke */
    struct {
        tq_socks5_header *socks5;
    } header;
    char *client[ID_MAX];      /* client program identity, owned */
    char *protocol[ID_MAX];    /* protocol identity, owned */
    int generic_flag;
    tqlist *explist;           /* tq3_expectation*: to register, owned */
    tqlist *expdata;           /* data of matched expectations */
    int clid_buf;              /* 1: hold client-bound injections */
    unsigned char *clid_b;     /* held client-bound bytes, owned */
    size_t clid_bsiz;
    int srvd_buf;              /* 1: hold server-bound injections */
    unsigned char *srvd_b;     /* held server-bound bytes, owned */
    size_t srvd_bsiz;
    unsigned long tid;         /* host's connection number */
    risk_t risk_level;         /* risk the module's policy added up */
    tqlist *eventsq;           /* event_t*: events for the host, owned */
    unsigned frame_state;      /* the module's reading of the stream (for
                                * MSNP: version and role), which the host's
                                * own cutting of the stream follows */
    tqconn_outbox *outbox;     /* the host's queue for tqconn_send, owned;
                                * NULL: tqconn_send writes at once */
} tqconn;

/* A zeroed connection with both sockets -1 (so direction is
 * DIR_SERVER_TO_CLIENT until the host sets it). */
tqconn *tqconn_new(void);
/* Frees what the connection owns (identity strings, held bytes, pending
 * expectations, queued events, SOCKS header); not `plugin` or `expdata`. */
void tqconn_destroy(tqconn *c);

/* The one way the module's own bytes (replies and warnings it makes up)
 * reach a side of the connection; `sock` is `clid` or `srvd`. Without an
 * outbox they are written at once with atomic_send. With one, they are
 * queued for the host, which writes them in order with the relayed bytes
 * and without holding up the caller; `wake` is called when the queue stops
 * being empty. Returns `len`, or -1 with errno (EPIPE once the outbox is
 * closed, EINVAL for a socket that is not one of the connection's). */
ssize_t tqconn_send(tqconn *conn, int sock, const void *bytes, size_t len);
/* Gives the connection an outbox; `wake(ctx)` may run on any thread. */
int tqconn_outbox_open(tqconn *conn, void (*wake)(void *ctx), void *ctx);
/* Takes what waits for one side (0 client, 1 server): a malloc'd buffer
 * the caller frees, or NULL with *len 0 when nothing waits. */
unsigned char *tqconn_outbox_take(tqconn *conn, int side, size_t *len);
/* Refuses later writes and forgets `wake`; what waits is dropped. After it
 * returns `wake` is never called again. */
void tqconn_outbox_close(tqconn *conn);

#ifdef __cplusplus
}
#endif

#endif
