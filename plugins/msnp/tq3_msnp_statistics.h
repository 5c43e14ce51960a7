/* Statistics: module-wide counters, the per-person and per-connection
 * counter blocks, their XML form and the per-user statistics files. */
#ifndef TQ3_MSNP_STATISTICS_H
#define TQ3_MSNP_STATISTICS_H

#include <atomic>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_kinds.h"
#include "tq3_msnp_objects.h"
#include "variables.h"

void msnp_statistics_zero(msnp_statistics *statistics);
/* The "statistics" element (NULL when no child is written); created in
 * `stack` when given, else as a new tree; `zero` asks for a complete dump. */
iks *msnp_statistics_serialize(msnp_statistics *statistics, ikstack *stack, int zero);
void msnp_statistics_deserialize(msnp_statistics *statistics, iks *node);
/* Writes the user's statistics file (rotating `count` copies) and clears
 * the block; a file that cannot be opened keeps the counts. */
void msnp_persist_statistics(msnp_person *person, int count);
/* Stored files as "persisted-statistics": listed, or summed over `trange`
 * ("B:E", "B:", ":E", "B"); NULL when nothing was found. */
iks *msnp_statistics_persisted(msnp_person *person, int past, const char *trange);

typedef struct msnp_person_stat_entry {
    iks *var;
    unsigned long value;
} msnp_person_stat_entry;

/* Which result counter a verdict lands in: 0 none, 1 pass, 2 block, 3
 * alert. Only those four plain verdicts are results: one that carries a
 * flag (hidden, advised: the user was warned and the statistics of the
 * warning say so) or is no decision (continue, more data) lands in none
 * of them (-1), at every counting site alike. */
int msnp_verdict_result(match_t verdict);

/* Module-wide counters: integer variables "stats-..." in the module's
 * namespace, created on first use. `site` is the counting site's own
 * reference (NULL until first use). */
void msnp_stat_bump(std::atomic<tq_variable *> *site, const char *name);
/* Bumps NAME followed by "-none", "-pass", "-block" or "-alert" by the
 * verdict's result (none for a verdict that is no result); `sites` holds
 * the four references of the site. */
void msnp_stat_bump_verdict(std::atomic<tq_variable *> sites[4], const char *name, match_t verdict);
/* A counter family of a command handler: NAME, counted for every command,
 * and its result counters NAME-none, -pass, -block and -alert, counted by
 * msnp_verdict_result. One static instance per family and handler. */
struct msnp_stat_family {
    const char *name;
    std::atomic<tq_variable *> plain{nullptr};
    std::atomic<tq_variable *> results[4] = {};

    explicit msnp_stat_family(const char *family) : name(family) {}
    void count() { msnp_stat_bump(&plain, name); }
    void count_result(match_t verdict) { msnp_stat_bump_verdict(results, name, verdict); }
};

#define MSNP_STAT_BUMP(name)                                                  \
    do {                                                                      \
        static std::atomic<tq_variable *> msnp_stat_site_{nullptr};           \
        msnp_stat_bump(&msnp_stat_site_, (name));                             \
    } while (0)
#define MSNP_STAT_BUMP_VERDICT(name, verdict)                                 \
    do {                                                                      \
        static std::atomic<tq_variable *> msnp_stat_sites_[4] = {};           \
        msnp_stat_bump_verdict(msnp_stat_sites_, (name), (verdict));          \
    } while (0)

#endif
