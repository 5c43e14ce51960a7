/* The module's entry points as the host calls them. */
#ifndef TQ3_MSNP_MODULE_H
#define TQ3_MSNP_MODULE_H

#include "trevalquin_plugin.h"

extern "C" {
extern const tq3_module_ops plugin_data;
match_t msnp_tasklet(tq3_module *self, tqconn *conn, tq3_iov *iov);
int msnp_tasklet_fini(tq3_module *self, tqconn *conn);
/* One management command: args[0] the verb, args[1] the rest of the line;
 * replies and errors go through the parser. 0. */
int msnp_config(tq3_module *self, idl_parser *idl);
/* The connection's tracker as XML text (caller frees), or NULL. */
char *msnp_info(tq3_module *self, tqconn *conn);
/* Brings the registry up once (0 ready, 1 refused). */
int msnp_init(tq3_module *self, char **arg);
/* Re-attaches the registry after the host reloaded the module's code. */
void msnp_reload(tq3_module *self, char **arg);
/* Loads a policy document: 1 parsed, 0 not well-formed XML (nothing changed). */
int msnp_setconfig(tq3_module *self, idl_parser *idl, const char *config);
/* The whole policy as a document (caller frees), or NULL. */
char *msnp_getconfig(tq3_module *self, idl_parser *idl);
/* Drops every policy object but the root node and the group "Local". */
void msnp_reset(tq3_module *self, idl_parser *idl);
/* The periodic work, `elapsed` seconds after the previous call: quota
 * periods, guest expiry and quota use on live connections, the repeated
 * warning, and removing old logs every "log-flush-time" seconds. */
void msnp_schedtask(tq3_module *self, long elapsed);
/* Writes every user's statistics file, keeping `count` rotated copies. */
void msnp_statistics_persistence(tq3_module *self, int count, time_t now);
}

#endif
