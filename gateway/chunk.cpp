// Tasklet driving for one chunk.
#include "chunk.h"

#include <cstdlib>

#include "msnp_frame.h"

namespace gw {

namespace {

// Held bytes rarely stay large; give the memory back once a big command
// has gone through so that idle connections stay small.
constexpr size_t kKeepHeldCapacity = 64 * 1024;

void release(std::string &held)
{
    if (held.capacity() > kKeepHeldCapacity)
        std::string().swap(held);
    else
        held.clear();
}

} // namespace

ChunkOutcome run_chunk(tq3_module *mod, tqconn *conn, tq3_iov *iov, std::string &held,
                       conn_direction dir, const uint8_t *data, size_t len, size_t max_held)
{
    ChunkOutcome out;
    tq3_iov_reuse(iov);
    // The bytes to decide on: what was held, then the new chunk.
    const uint8_t *bytes = data;
    size_t total = len;
    bool in_held = !held.empty();
    if (in_held) {
        held.append(reinterpret_cast<const char *>(data), len);
        bytes = reinterpret_cast<const uint8_t *>(held.data());
        total = held.size();
    }
    auto hold_all = [&]() {
        if (total > max_held) {
            release(held);
            out.action = ChunkAction::Overflow;
            return out;
        }
        if (!in_held)
            held.assign(reinterpret_cast<const char *>(bytes), total);
        out.action = ChunkAction::Hold;
        return out;
    };

    // Only whole commands go to the module; the incomplete tail waits. Until
    // the first command is whole no tasklet call is needed: the answer
    // could only be "more data".
    FrameScan scan = scan_msnp_commands(bytes, total, conn->frame_state, dir == DIR_CLIENT_TO_SERVER);
    if (scan.first_awaits_payload || scan.complete == 0) {
        /* Not one whole command yet (a command's first bytes, a line
         * without its end): given now, its start would pass as a word the
         * module does not know, and its rest as another. */
        out.verdict = TQ_MATCH_MOREDATA;
        return hold_all();
    }
    size_t give = scan.complete;
    // New bytes are lent, not copied: they stay put until the output is
    // written. Held ones move when the tail is cut off below.
    if (give && !(in_held ? tq3_iov_add(iov, bytes, give) : tq3_iov_lend(iov, bytes, give))) {
        release(held);
        out.action = ChunkAction::Overflow;
        return out;
    }
    conn->direction = dir;
    out.verdict = mod->ops->tasklet(mod, conn, iov);
    out.poisoned = conn->poison_match == TQ_MATCH_BLOCK;

    if (out.verdict == TQ_MATCH_MOREDATA) {
        // The module wants more before it decides: everything waits for
        // the next chunk of this direction.
        tq3_iov_reuse(iov);
        return hold_all();
    }
    size_t rest = total - give;
    if (rest > max_held) {
        tq3_iov_reuse(iov);
        release(held);
        out.action = ChunkAction::Overflow;
        return out;
    }
    if (in_held) {
        held.erase(0, give);
        if (held.empty())
            release(held);
    } else {
        held.assign(reinterpret_cast<const char *>(bytes) + give, rest);
    }
    if (out.verdict == TQ_MATCH_PASS || out.verdict == TQ_MATCH_ALERT) {
        out.action = ChunkAction::Forward;
    } else {
        tq3_iov_reuse(iov);
        out.action = ChunkAction::Drop;
    }
    return out;
}

std::string take_injected(unsigned char *&bytes, size_t &size)
{
    std::string out;
    if (bytes && size)
        out.assign(reinterpret_cast<const char *>(bytes), size);
    std::free(bytes);
    bytes = nullptr;
    size = 0;
    return out;
}

} // namespace gw
