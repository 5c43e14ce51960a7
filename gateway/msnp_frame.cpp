// The complete commands at the front of held bytes, cut by the module's
// own framing so that the gateway never disagrees with it.
#include "msnp_frame.h"

#include "tq3_msnp_framing.h"

namespace gw {

FrameScan scan_msnp_commands(const uint8_t *data, size_t len, unsigned frame_state, bool from_client)
{
    FrameScan scan;
    const msnp_dialect dialect = msnp_dialect_unpack(frame_state, from_client ? 1 : 0);
    const char *p = reinterpret_cast<const char *>(data);
    size_t pos = 0;
    while (pos < len) {
        msnp_frame f = msnp_frame_next(p + pos, len - pos, dialect);
        if (f.cut) {
            scan.first_awaits_payload = pos == 0;
            break;
        }
        if (!f.boundary) {
            // The rest is one piece: the module decides on it now when it
            // ends a payload exactly or ends in CR LF, else it waits.
            if (f.exact || (len - pos >= 2 && p[len - 2] == '\r' && p[len - 1] == '\n'))
                scan.complete = len;
            break;
        }
        pos += f.size;
        scan.complete = pos;
    }
    return scan;
}

} // namespace gw
