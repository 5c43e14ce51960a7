/* The gateway's readers of client bytes: the SOCKS4/4a/5 handshake or the
 * HTTP CONNECT request (bit 4 of the first byte) fed in arbitrary pieces,
 * with and without required passwords, and the MSNP framing of held
 * bytes. */
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include <memory>

#include "http_connect.h"
#include "msnp_frame.h"
#include "socks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;

    auto check = [](const std::string &u, const std::string &p) { return u == p; };
    std::unique_ptr<gw::Handshake> hs;
    if (mode & 4) {
        /* A small limit, so that the fuzzer reaches it. */
        hs = std::make_unique<gw::HttpConnectHandshake>(mode & 1, check, 256);
    } else {
        auto socks = std::make_unique<gw::SocksHandshake>(mode & 1, check);
        socks->allow_socks4(mode & 2);
        hs = std::move(socks);
    }
    size_t at = 0, step = 1 + (mode >> 4);
    while (at < size) {
        size_t n = step < size - at ? step : size - at;
        gw::SocksStatus st = hs->feed(data + at, n);
        at += n;
        std::string reply = hs->take_reply();
        if (st == gw::SocksStatus::Failed) {
            if (reply.empty() && (mode & 4))
                abort(); /* every HTTP refusal answers with its status */
            break;
        }
        if (st == gw::SocksStatus::Request) {
            const gw::SocksTarget &t = hs->target();
            if ((mode & 4) && (t.port == 0 || t.host.empty()))
                abort();
            hs->take_leftover();
            hs->success_reply(nullptr, 4, 0);
            hs->failure_reply(gw::SOCKS_GENERAL_FAILURE);
            break;
        }
    }

    gw::FrameScan scan = gw::scan_msnp_commands(data, size, size ? data[0] : 0, size > 1 && (data[1] & 1));
    if (scan.complete > size)
        abort();
    return 0;
}
