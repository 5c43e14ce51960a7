/* Connection tracker, identity helpers, statistics blocks and the word
 * helpers handlers use to read and rewrite command lines. */
#include <string.h>

#include "tq3_msnp.h"

void msnp_statistics_zero(msnp_statistics *statistics) {
    if (statistics)
        memset(statistics, 0, sizeof *statistics);
}
