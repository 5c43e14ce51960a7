// Tasklet driving for one chunk.
#include "chunk.h"

#include <cstdlib>

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
    if (!held.empty() && !tq3_iov_add(iov, held.data(), held.size())) {
        release(held);
        out.action = ChunkAction::Overflow;
        return out;
    }
    if (len && !tq3_iov_add(iov, data, len)) {
        release(held);
        out.action = ChunkAction::Overflow;
        return out;
    }
    conn->direction = dir;
    out.verdict = mod->ops->tasklet(mod, conn, iov);
    out.poisoned = conn->poison_match == TQ_MATCH_BLOCK;

    if (out.verdict == TQ_MATCH_MOREDATA) {
        // The vector still holds the bytes; they come back in front of the
        // next chunk of this direction.
        std::string next;
        next.reserve(tq3_iov_length(iov));
        for (size_t i = 0; i < iov->iovc; ++i)
            next.append(reinterpret_cast<const char *>(iov->data[i]), iov->size[i]);
        tq3_iov_reuse(iov);
        if (next.size() > max_held) {
            release(held);
            out.action = ChunkAction::Overflow;
            return out;
        }
        held.swap(next);
        out.action = ChunkAction::Hold;
        return out;
    }
    release(held);
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
