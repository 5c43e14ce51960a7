/* The gateway's readers of client bytes: the SOCKS4/4a/5 handshake fed in
 * arbitrary pieces, with and without required passwords, and the MSNP
 * framing of held bytes. */
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "msnp_frame.h"
#include "socks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;

    gw::SocksHandshake hs(mode & 1, [](const std::string &u, const std::string &p) { return u == p; });
    hs.allow_socks4(mode & 2);
    size_t at = 0, step = 1 + (mode >> 4);
    while (at < size) {
        size_t n = step < size - at ? step : size - at;
        gw::SocksStatus st = hs.feed(data + at, n);
        at += n;
        hs.take_reply();
        if (st == gw::SocksStatus::Failed)
            break;
        if (st == gw::SocksStatus::Request) {
            hs.take_leftover();
            hs.success_reply(nullptr, 4, 0);
            hs.failure_reply(gw::SOCKS_GENERAL_FAILURE);
            break;
        }
    }

    gw::FrameScan scan = gw::scan_msnp_commands(data, size);
    if (scan.complete > size)
        abort();
    return 0;
}
