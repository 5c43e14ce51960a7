/* The descriptor a protocol module exports so that the host can load it
 * with dlopen: its name, version and entry points. Unused entry points are
 * NULL. */
#ifndef TREVALQUIN_PLUGIN_H
#define TREVALQUIN_PLUGIN_H

#include <time.h>

#include "tq3_core_interface.h"
#include "tq3_iovec.h"
#include "tqconn.h"
#include "tqidl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Name of the exported descriptor symbol. */
#define TQ3_PLUGIN_SYMBOL "plugin_data"

typedef struct tq3_module_ops {
    const char *name;
    const char *description;
    const char *author;
    const char *owner;
    const char *tag;
    unsigned int version;
    unsigned int patch;
    unsigned int require;

    /* One relayed chunk; the vector carries the bytes in and the result out. */
    match_t (*tasklet)(tq3_module *self, tqconn *conn, tq3_iov *iov);
    int (*tasklet_init)(tq3_module *self, tqconn *conn);
    int (*tasklet_fini)(tq3_module *self, tqconn *conn);
    /* 0 ready, non-zero refused. */
    int (*init)(tq3_module *self, char **arg);
    int (*fini)(tq3_module *self);
    int (*postinit)(tq3_module *self);
    int (*config)(tq3_module *self, idl_parser *parser);
    /* Newly allocated XML text, caller frees. */
    char *(*getconfig)(tq3_module *self, idl_parser *idl);
    int (*setconfig)(tq3_module *self, idl_parser *idl, const char *config);
    void (*statistics)(tq3_module *self, int count, time_t now);
    void (*schedtask)(tq3_module *self, long elapsed);
    void (*reload)(tq3_module *self, char **arg);
    int (*poll)(tq3_module *self, tqconn *conn);
    char *(*info)(tq3_module *self, tqconn *conn);
    void (*reset)(tq3_module *self, idl_parser *idl);
    void (*alarm)(tq3_module *self);
    void (*task_alarm)(tq3_module *self, tqconn *conn);
} tq3_module_ops;

#ifdef __cplusplus
}
#endif

#endif
