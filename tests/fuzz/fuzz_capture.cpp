/* tqreplay's readers of captured frames, which come from files anyone may
 * hand it: the first byte picks the link type, then frames follow, each
 * after a two-byte length; every segment found goes to the reassembler. */
#include <pcap/pcap.h>
#include <stdint.h>

#include <string>

#include "capture_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const int links[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_RAW, DLT_NULL, DLT_LOOP,
#ifdef DLT_LINUX_SLL2
                                DLT_LINUX_SLL2,
#endif
#ifdef DLT_IPV4
                                DLT_IPV4, DLT_IPV6
#endif
    };
    const int link = links[data[0] % (sizeof links / sizeof links[0])];
    size_t delivered = 0;
    tqreplay::Reassembler r({[](tqreplay::Reassembler::Stream &, const tqreplay::Segment &) {},
                             [&](tqreplay::Reassembler::Stream &, int, const std::string &b, const timeval &) {
                                 delivered += b.size();
                             },
                             [](tqreplay::Reassembler::Stream &, const timeval &) {},
                             [](const std::string &) {}});
    size_t at = 1;
    long t = 0;
    while (at + 2 <= size) {
        size_t n = static_cast<size_t>(data[at]) << 8 | data[at + 1];
        at += 2;
        if (n > size - at)
            n = size - at;
        /* A frame of its own, so that a read past it is seen. */
        std::string frame(reinterpret_cast<const char *>(data + at), n);
        tqreplay::Segment s;
        if (tqreplay::parse_frame(link, reinterpret_cast<const uint8_t *>(frame.data()), frame.size(), s)) {
            s.ts = {++t, 0};
            r.add(s);
        }
        at += n;
    }
    r.finish({t, 0});
    return static_cast<int>(delivered & 0); /* libFuzzer wants 0 */
}
