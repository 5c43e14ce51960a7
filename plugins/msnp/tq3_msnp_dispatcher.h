/* Stream decoupling and dispatch: cutting a chunk into whole commands,
 * finding each in the command table and running its handler. */
#ifndef TQ3_MSNP_DISPATCHER_H
#define TQ3_MSNP_DISPATCHER_H

#include "tq3_core_interface.h"
#include "tq3_iovec.h"
#include "tq3_msnp.h"
#include "tq3_msnp_task.h"
#include "tqconn.h"

/* One chunk cut into whole commands. */
typedef struct tq3_decouple_data {
    char *base;       /* 4 NULs, the chunk, 12 NULs; owned */
    char **ptrs;      /* start of each piece inside base */
    size_t *ptrsize;  /* length of each piece */
    size_t size;      /* number of pieces */
    int moredata;     /* 0 when the chunk ends exactly after a payload command */
    size_t room;      /* entries allocated in ptrs/ptrsize */
    int incomplete;   /* 1 when the last piece is a payload command whose
                       * payload the chunk cuts short: its bytes must be held
                       * even if the cut falls right after a CR LF */
    unsigned char *fit; /* msnp_fit of each piece */
} tq3_decouple_data;

tq3_decouple_data *tq3_decouple_data_new(char *base);
void tq3_decouple_data_resize(tq3_decouple_data *dd, size_t index);
void tq3_decouple_data_destroy(tq3_decouple_data *dd);
/* Cut as a peer of any dialect may send: every payload form counts. */
tq3_decouple_data *tq3_msn_decouple(const unsigned char *dados, size_t tam);
/* Cut the way the other end of `dialect` reads the bytes. */
tq3_decouple_data *tq3_msn_decouple_as(const unsigned char *bytes, size_t size, struct msnp_dialect dialect);
int opcode_count_args(const char *data, const char *sep, const char *end);

const msnp_table *table_search_opcode(const char *strcmd);
const msnp_table *table_search_opcode_wrapper(const char *text);
const msnp_table *table_search_strcmd(msnp_opcode opcode);
task_struct *new_task_struct(tq3_decouple_data *data, int index, tqconn *conn,
                             const msnp_table *table, tq3_module *self);
void task_struct_destroy(task_struct *tstruct);
match_t tq3_msn_dispatcher(task_struct **tstruct, tqconn *conn, tq3_decouple_data *data,
                           size_t index, tq3_module *self);

/* Finds a command by the (at most three) first bytes of a NUL-terminated
 * text; table_search_opcode_wrapper is the one the module runs with. */
typedef const msnp_table *(*msnp_table_lookup)(const char *text);
/* The entry of piece `index`, looked up from its first bytes (never more
 * than the piece holds). */
const msnp_table *tq3_msn_piece_entry(const tq3_decouple_data *data, size_t index,
                                      msnp_table_lookup lookup);
/* tq3_msn_dispatcher with the piece's table entry already chosen. */
match_t tq3_msn_dispatch_entry(task_struct **tstruct, tqconn *conn, tq3_decouple_data *data,
                               size_t index, tq3_module *self, const msnp_table *entry);
/* tq3_msn_dispatch_entry without a copy: the task's data_buffer is the
 * piece itself (data_lent), ended by a NUL while the handler runs, and a
 * handler's changes in place land in `data`. */
match_t tq3_msn_dispatch_in_place(task_struct **tstruct, tqconn *conn, tq3_decouple_data *data,
                                  size_t index, tq3_module *self, const msnp_table *entry);
/* Replaces the task's outgoing bytes with `bytes` (malloc'd, `size`
 * long), freeing the old ones when they were the task's. */
void msnp_task_set_buffer(task_struct *tstruct, char *bytes, size_t size);
/* msnp_tasklet resolving commands through `lookup` instead of ltable. */
match_t msnp_tasklet_lookup(tq3_module *self, tqconn *conn, tq3_iov *iov,
                            msnp_table_lookup lookup);

char *chunk(task_struct *tstruct, unsigned index);
void replace(task_struct *tstruct, int index, char *data);
void reconstruct(task_struct *tstruct, int delim);

#endif
