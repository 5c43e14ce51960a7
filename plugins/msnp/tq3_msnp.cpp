/* The module's face towards the host on the traffic path: the exported
 * descriptor, the registry global, and the per-chunk and end-of-connection
 * entry points. */
#include <pthread.h>
#include <stdlib.h>

#include "tq3_msnp.h"

extern "C" {

msnp_entities *ents = nullptr;

/* Entry points left null here arrive with the code that implements them
 * (initialisation, configuration, administration, timers). */
const tq3_module_ops plugin_data = {
    .name = "msnp",
    .description = "MSN",
    .author = "Trevalquin gateway team",
    .owner = "Trevalquin gateway team",
    .tag = "$Id: tq3_msnp.cpp 23.50 $",
    .version = 23,
    .patch = 50,
    .require = 1,
    .tasklet = msnp_tasklet,
    .tasklet_init = nullptr,
    .tasklet_fini = msnp_tasklet_fini,
    .init = nullptr,
    .fini = nullptr,
    .postinit = nullptr,
    .config = nullptr,
    .getconfig = nullptr,
    .setconfig = nullptr,
    .statistics = nullptr,
    .schedtask = nullptr,
    .reload = nullptr,
    .poll = nullptr,
    .info = nullptr,
    .reset = nullptr,
    .alarm = nullptr,
    .task_alarm = nullptr,
};

} // extern "C"

namespace {

/* True when the chunk's last piece may still continue in bytes the host
 * has not seen: it does not end in CR LF, or it is a payload command that
 * the chunk cut short. A payload cut right after a CR LF inside it would
 * otherwise be dispatched truncated and its tail would arrive as a chunk
 * that starts in the middle of a command. */
bool ends_inside_command(const tq3_decouple_data *dd)
{
    if (!dd->moredata || dd->size == 0)
        return false;
    if (dd->incomplete)
        return true;
    const char *piece = dd->ptrs[dd->size - 1];
    size_t len = dd->ptrsize[dd->size - 1];
    return len < 2 || piece[len - 1] != '\n' || piece[len - 2] != '\r';
}

} // namespace

match_t msnp_tasklet_lookup(tq3_module *self, tqconn *conn, tq3_iov *iov,
                            msnp_table_lookup lookup)
{
    if (!conn || !iov)
        return TQ_MATCH_PASS;
    if (!lookup)
        lookup = table_search_opcode_wrapper;

    size_t len = 0;
    unsigned char *buf = tq3_iov_reassembly(iov, &len);
    if (!buf)
        return TQ_MATCH_PASS;

    /* Text that does not start with a command we know is not ours to cut:
     * the whole chunk goes through as it came. */
    const msnp_table *first = lookup(reinterpret_cast<const char *>(buf));
    if (!first || first->opcode == MSN_OPCODE_UNKNOWN) {
        free(buf);
        return TQ_MATCH_PASS;
    }

    tq3_decouple_data *dd = tq3_msn_decouple(buf, len);
    if (!dd || dd->size == 0) {
        tq3_decouple_data_destroy(dd);
        free(buf);
        return TQ_MATCH_PASS;
    }

    /* Keep nothing: the host hands these bytes back in front of the next
     * chunk of this connection and direction. */
    if (ends_inside_command(dd)) {
        tq3_decouple_data_destroy(dd);
        free(buf);
        return TQ_MATCH_MOREDATA;
    }

    tq3_iov_reuse(iov);
    for (size_t i = 0; i < dd->size; ++i) {
        task_struct *task = nullptr;
        const msnp_table *entry = tq3_msn_piece_entry(dd, i, lookup);
        match_t verdict = tq3_msn_dispatch_entry(&task, conn, dd, i, self, entry);
        if (verdict == TQ_MATCH_ALERT)
            verdict = TQ_MATCH_PASS;
        if (verdict == TQ_MATCH_PASS) {
            if (task)
                tq3_iov_add(iov, task->data_buffer, task->buffer_size);
            else /* no task could be made: forward the command untouched */
                tq3_iov_add(iov, dd->ptrs[i], dd->ptrsize[i]);
        }
        task_struct_destroy(task);
    }

    tq3_decouple_data_destroy(dd);
    free(buf);
    return TQ_MATCH_PASS;
}

match_t msnp_tasklet(tq3_module *self, tqconn *conn, tq3_iov *iov)
{
    return msnp_tasklet_lookup(self, conn, iov, table_search_opcode_wrapper);
}

int msnp_tasklet_fini(tq3_module *self, tqconn *conn)
{
    if (!conn || !conn->plugin)
        return 0;
    auto *ct = static_cast<msnp_conntrack *>(conn->plugin);

    /* GAP (connection tracker work): before the tracker goes away, fold its
     * chat_time into the person's, and for the notification-server
     * connection (ct->master) clear the user's welcomed/master marks, log
     * the logout activity and close the user's chat-log file under its
     * log_lock. */

    conn->plugin = nullptr;

    if (self) {
        pthread_rwlock_wrlock(&self->data_lock);
        tqlist_unlink_remove_ref(&self->data, ct);
        pthread_rwlock_unlock(&self->data_lock);
    }

    /* GAP (connection tracker work): destroy the tracker here with
     * msnp_conntrack_destroy(ct) once it exists; until then the tracker's
     * creator still owns it. */
    (void)ct;
    return 0;
}
