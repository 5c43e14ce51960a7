/* The verdict trace inside the module: the matcher and the sign-in checks
 * note each decision, the tasklet hands the command with its decisions to
 * the sink of the deciding thread. Without a sink anywhere every call
 * returns after one load. */
#ifndef TQ3_MSNP_TRACE_H
#define TQ3_MSNP_TRACE_H

#include <atomic>
#include <cstddef>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tqconn.h"

/* Threads that have a sink. */
extern std::atomic<int> msnp_tracing_threads;

inline bool msnp_tracing()
{
    return msnp_tracing_threads.load(std::memory_order_relaxed) != 0;
}

/* A decision about `contact` by `relation` (NULL: `rule` decided). Read
 * under the policy lock, which the caller holds. */
void msnp_trace_decision(const char *contact, match_t verdict, const char *rule, const msnp_relates *relation);

/* A sign-in the admission rules refused: `user` is the one who tried,
 * `why` the rule ("sign-in of a disabled user", ...). */
void msnp_trace_sign_in_refused(const char *user, const char *why);

/* Around one command of a chunk: `begin` forgets the decisions of the one
 * before, `end` hands the command to the sink if any decision was noted. */
void msnp_trace_begin();
void msnp_trace_end(tqconn *conn, const char *piece, size_t size, size_t offset, match_t outcome, int rewritten);

#endif
