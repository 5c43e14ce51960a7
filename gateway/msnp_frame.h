// Where MSNP commands end in a byte stream. A module is handed the
// complete commands of a chunk and the incomplete tail waits for the next
// one, so a stream whose reads always end inside a command still moves.
// The cuts are the module's framing (tq3_msnp_framing), compiled into both.
#ifndef GW_MSNP_FRAME_H
#define GW_MSNP_FRAME_H

#include <cstddef>
#include <cstdint>

namespace gw {

struct FrameScan {
    // Bytes from the start that form whole commands (0: not even one).
    size_t complete = 0;
    // The first command is a payload command whose announced payload has
    // not all arrived: nothing can be decided before more bytes come.
    bool first_awaits_payload = false;
};

// `frame_state` is the module's reading of the connection (tqconn's),
// `from_client` the direction of the bytes.
FrameScan scan_msnp_commands(const uint8_t *data, size_t len, unsigned frame_state, bool from_client);

} // namespace gw

#endif
