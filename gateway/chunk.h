// One relayed chunk through a module's tasklet: the vector is built from
// the bytes held back for the direction followed by the new bytes; an
// incomplete command is held again, bounded by `max_held`.
#ifndef GW_CHUNK_H
#define GW_CHUNK_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "trevalquin_plugin.h"

namespace gw {

enum class ChunkAction {
    Forward,  // the vector holds what goes to the other side
    Hold,     // the bytes wait in `held` for the rest of the command
    Drop,     // the module withheld the chunk
    Overflow, // more than max_held bytes without a complete command
};

struct ChunkOutcome {
    ChunkAction action = ChunkAction::Drop;
    match_t verdict = TQ_MATCH_NONE;
    bool poisoned = false; // the module asked for the connection to end
};

// Runs the tasklet on `held` + `data` for direction `dir`. `iov` is reused
// (emptied first); after Forward it holds the output. `held` is updated:
// emptied unless the action is Hold. Overflow empties it too.
ChunkOutcome run_chunk(tq3_module *mod, tqconn *conn, tq3_iov *iov, std::string &held,
                       conn_direction dir, const uint8_t *data, size_t len, size_t max_held);

// Takes injected bytes the module left in a connection (clid_b/srvd_b),
// freeing them there.
std::string take_injected(unsigned char *&bytes, size_t &size);

} // namespace gw

#endif
