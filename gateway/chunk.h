// One relayed chunk through a module's tasklet. The bytes held back for
// the direction come first, then the new ones; the module gets the whole
// commands among them and an incomplete tail is held for the next chunk,
// bounded by `max_held`. When the module itself answers "more data", all
// of it is held.
#ifndef GW_CHUNK_H
#define GW_CHUNK_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "trevalquin_plugin.h"

namespace gw {

enum class ChunkAction {
    Forward,  // the vector holds what goes to the other side
    Hold,     // nothing to send: the bytes wait in `held`
    Drop,     // the module withheld what it was given
    Overflow, // more than max_held bytes without a complete command
};

struct ChunkOutcome {
    ChunkAction action = ChunkAction::Drop;
    match_t verdict = TQ_MATCH_NONE;
    bool poisoned = false; // the module asked for the connection to end
};

// Runs the tasklet on `held` + `data` for direction `dir`. `iov` is reused
// (emptied first); after Forward it holds the output, which may point into
// `data`: keep those bytes until the output is written. Afterwards `held`
// has the bytes still waiting (an incomplete command); Overflow empties it.
ChunkOutcome run_chunk(tq3_module *mod, tqconn *conn, tq3_iov *iov, std::string &held,
                       conn_direction dir, const uint8_t *data, size_t len, size_t max_held);

// Takes injected bytes the module left in a connection (clid_b/srvd_b),
// freeing them there.
std::string take_injected(unsigned char *&bytes, size_t &size);

} // namespace gw

#endif
