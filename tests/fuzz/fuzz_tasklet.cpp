/* The stream path on arbitrary bytes cut into arbitrary chunks, with the
 * host's hold-back of what the module asks more data for.
 *
 * Bit 1 of the first byte picks the mode. Without handlers (the command
 * table's lookups, no handler in any slot) what is relayed must be the
 * input, byte for byte, in order: the cutting and holding back lose and
 * invent nothing. With the real command table and a policy, handlers admit
 * users, decide, rewrite, drop and inject: nothing may read past a command
 * or leak, and the connection's end cleans up after them. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_task.h"

namespace {

/* The command table with every handler slot empty. */
const msnp_table *lookup_without_handlers(const char *text)
{
    static msnp_table table[MSN_OPCODE_UNKNOWN + 1];
    static bool made = false;
    if (!made) {
        for (int i = 0; i <= MSN_OPCODE_UNKNOWN; ++i) {
            table[i] = ltable[i];
            table[i].handler[0] = table[i].handler[1] = nullptr;
        }
        made = true;
    }
    return &table[table_search_opcode_wrapper(text)->opcode];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    /* The first byte picks the direction and the mode, the second seeds
     * the cuts. */
    const bool handlers = data[0] & 2;
    tqconn *conn = tqconn_new();
    if (!conn)
        return 0;
    conn->direction = data[0] & 1 ? DIR_CLIENT_TO_SERVER : DIR_SERVER_TO_CLIENT;
    conn->version = 5;
    uint32_t cut = data[1] | 1u;
    const std::string input(reinterpret_cast<const char *>(data + 2), size - 2);

    std::string held, relayed;
    size_t at = 0;
    tq3_iov *iov = tq3_iov_new();
    while (at < input.size()) {
        cut = cut * 1103515245u + 12345u;
        size_t len = 1 + (cut >> 16) % 97;
        if (len > input.size() - at)
            len = input.size() - at;
        std::string chunk = held + input.substr(at, len);
        at += len;
        tq3_iov_reuse(iov);
        tq3_iov_add(iov, chunk.data(), chunk.size());
        match_t verdict = handlers ? msnp_tasklet(fuzz_module(), conn, iov)
                                   : msnp_tasklet_lookup(fuzz_module(), conn, iov, lookup_without_handlers);
        if (verdict == TQ_MATCH_MOREDATA) {
            held = chunk;
            continue;
        }
        held.clear();
        for (size_t i = 0; i < iov->iovc; ++i)
            relayed.append(reinterpret_cast<const char *>(iov->data[i]), iov->size[i]);
        /* The host takes what handlers queued after each chunk. */
        tqevents_destroy_queue(&conn->eventsq);
    }
    tq3_iov_dtr(iov);
    msnp_tasklet_fini(fuzz_module(), conn);
    tqconn_destroy(conn);
    if (!handlers && relayed + held != input)
        abort();
    return 0;
}
