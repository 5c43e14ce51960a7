/* The stream path: msnp_tasklet on arbitrary bytes cut into arbitrary
 * chunks, with the host's hold-back of what the module asks more data
 * for. With no handler changing anything, what is relayed must be the
 * input, byte for byte, in order. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    /* The first byte picks the direction, the second seeds the cuts. */
    tqconn conn = fuzz_conn(data[0]);
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
        match_t verdict = msnp_tasklet(fuzz_module(), &conn, iov);
        if (verdict == TQ_MATCH_MOREDATA) {
            held = chunk;
            continue;
        }
        held.clear();
        for (size_t i = 0; i < iov->iovc; ++i)
            relayed.append(reinterpret_cast<const char *>(iov->data[i]), iov->size[i]);
    }
    tq3_iov_dtr(iov);
    if (relayed + held != input)
        abort();
    return 0;
}
