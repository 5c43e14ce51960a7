// Reading captures for a replay: pcap and pcapng files (through libpcap)
// of Ethernet, Linux cooked, raw IP or loopback links, cut down to TCP
// segments, and the segments put back together into the byte streams of
// each connection.
#ifndef TQREPLAY_CAPTURE_READER_H
#define TQREPLAY_CAPTURE_READER_H

#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture.h"

namespace tqreplay {

// One end of a connection, as the gateway's capture writer names it.
using Endpoint = gw::CaptureEnd;

struct Segment {
    timeval ts{};
    Endpoint src, dst;
    uint32_t seq = 0;
    uint8_t flags = 0;
    std::string payload;
};

enum : uint8_t { kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10 };

// Every TCP segment of a capture file, in file order, appended to `out`.
// False with `error` ("FILE: offset N: why") when the file cannot be read
// to its end; the segments before the damage are kept. Packets that may
// hold TCP but cannot be read with certainty (a link type not known here,
// a truncated or fragmented packet) are left out, each named in `doubts`
// ("FILE: packet N, offset M: why").
bool read_capture(const std::string &file, std::vector<Segment> &out, std::string &error,
                  std::vector<std::string> &doubts);

enum class FrameKind {
    Tcp,         // `out` holds the segment
    Other,       // no TCP in it (ARP, UDP, ...)
    Undecodable, // TCP may be in it, but not all of it can be read: `why`
};

// The segment in one link-layer frame (IPv4 or IPv6, unfragmented, TCP).
// `link` is the libpcap DLT_ value.
FrameKind parse_frame(int link, const uint8_t *frame, size_t caplen, Segment &out, std::string &why);
// Whether the reader knows frames of this link type.
bool known_link(int link);

// Puts the two directions of each connection back in order: segments
// that come twice or overlap give their new bytes once, segments that come
// early wait for the gap before them. A gap that never fills (a packet the
// capture lost) is skipped when the connection ends, and a retransmission
// whose bytes differ from those already given (which copy the server took
// cannot be known) keeps the first; both with a warning.
class Reassembler {
public:
    struct Stream {
        size_t index = 0;     // order of appearance
        Endpoint client, server;
        bool saw_syn = false; // the client is known from the handshake
        void *user = nullptr; // for the caller
    };
    struct Events {
        // A new connection: decide which end is the client (swap if not).
        std::function<void(Stream &, const Segment &first)> open;
        // In-order bytes of one direction (0 client to server, 1 back).
        std::function<void(Stream &, int side, const std::string &bytes, const timeval &ts)> data;
        std::function<void(Stream &, const timeval &ts)> close;
        std::function<void(const std::string &warning)> warn;
    };

    explicit Reassembler(Events e) : ev_(std::move(e)) {}
    void add(const Segment &s);
    // Ends every connection still open (the capture is over).
    void finish(const timeval &ts);

private:
    struct Direction {
        bool known = false; // `next` is set
        uint32_t next = 0;
        bool fin = false;
        std::map<uint32_t, std::string> early; // by sequence number
        size_t early_bytes = 0;
        bool draining = false;
        bool delivered = false;
        // The last bytes given, which retransmissions are compared with;
        // `recent` ends at `next`.
        std::string recent;
    };
    struct Conn {
        Stream stream;
        Direction dir[2];
        bool closed = false;
    };
    using Key = std::pair<Endpoint, Endpoint>; // (lower, higher)

    void deliver(Conn &c, int side, uint32_t seq, const std::string &payload, const timeval &ts);
    void drain(Conn &c, int side, const timeval &ts, bool force);
    // Warns when bytes sent again at `seq` differ from what was given.
    void compare_resent(Conn &c, int side, uint32_t seq, const std::string &payload, size_t overlap);
    void end(Conn &c, const timeval &ts);

    Events ev_;
    std::map<Key, std::unique_ptr<Conn>> conns_;
    size_t next_index_ = 0;
};

} // namespace tqreplay

#endif
