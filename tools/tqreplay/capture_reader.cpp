#include "capture_reader.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include <pcap/pcap.h>

namespace tqreplay {

namespace {

uint16_t get16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t get32(const uint8_t *p)
{
    return static_cast<uint32_t>(get16(p)) << 16 | get16(p + 2);
}

// Where a frame's IP packet starts and which version it is (4, 6, or 0
// for another protocol); false when the link header itself is cut.
bool network_start(int link, const uint8_t *f, size_t n, int &version, size_t &at)
{
    version = 0;
    at = 0;
    uint16_t type = 0;
    switch (link) {
    case DLT_EN10MB:
        if (n < 14)
            return false;
        at = 12;
        type = get16(f + at);
        while (type == 0x8100 || type == 0x88a8) { // VLAN tags
            if (at + 6 > n)
                return false;
            at += 4;
            type = get16(f + at);
        }
        at += 2;
        break;
    case DLT_LINUX_SLL:
        if (n < 16)
            return false;
        type = get16(f + 14);
        at = 16;
        break;
#ifdef DLT_LINUX_SLL2
    case DLT_LINUX_SLL2:
        if (n < 20)
            return false;
        type = get16(f);
        at = 20;
        break;
#endif
    case DLT_NULL:
    case DLT_LOOP: {
        if (n < 4)
            return false;
        uint32_t family;
        memcpy(&family, f, 4);
        if (link == DLT_LOOP)
            family = ntohl(family);
        else if (family > 0xffff)
            family = __builtin_bswap32(family); // written on a host of the other byte order
        at = 4;
        type = family == 2 ? 0x0800 : (family == 10 || family == 24 || family == 28 || family == 30) ? 0x86dd : 0;
        break;
    }
    default: // DLT_RAW and its kin: the packet itself
        if (n < 1)
            return false;
        type = (f[0] >> 4) == 6 ? 0x86dd : 0x0800;
        break;
    }
    version = type == 0x0800 ? 4 : type == 0x86dd ? 6 : 0;
    return true;
}

FrameKind undecodable(std::string &why, std::string text)
{
    why = std::move(text);
    return FrameKind::Undecodable;
}

} // namespace

bool known_link(int link)
{
    switch (link) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
#ifdef DLT_LINUX_SLL2
    case DLT_LINUX_SLL2:
#endif
    case DLT_NULL:
    case DLT_LOOP:
    case DLT_RAW:
#ifdef DLT_IPV4
    case DLT_IPV4:
    case DLT_IPV6:
#endif
        return true;
    default: return false;
    }
}

FrameKind parse_frame(int link, const uint8_t *f, size_t n, Segment &out, std::string &why)
{
    if (!known_link(link))
        return undecodable(why, "link type " + std::to_string(link) + " is not read");
    int version = 0;
    size_t at = 0;
    if (!network_start(link, f, n, version, at) || (version != 0 && at >= n))
        return undecodable(why, "link header cut short");
    if (version == 0)
        return FrameKind::Other;
    const uint8_t *ip = f + at;
    size_t room = n - at;
    size_t tcp_at, end;
    if (version == 4) {
        if (room < 20 || (ip[0] >> 4) != 4)
            return undecodable(why, "IPv4 header cut short");
        size_t ihl = static_cast<size_t>(ip[0] & 0x0f) * 4;
        size_t total = get16(ip + 2);
        if (ip[9] != 6)
            return FrameKind::Other;
        if (ihl < 20 || total < ihl)
            return undecodable(why, "IPv4 header with bad lengths");
        if (get16(ip + 6) & 0x3fff)
            return undecodable(why, "IPv4 fragment (fragments are not put back together)");
        if (total > room)
            return undecodable(why, "packet of " + std::to_string(total) + " bytes captured as " +
                                        std::to_string(room) + " (snap length too short?)");
        out.src.address.assign(reinterpret_cast<const char *>(ip + 12), 4);
        out.dst.address.assign(reinterpret_cast<const char *>(ip + 16), 4);
        tcp_at = ihl;
        end = total;
    } else {
        if (room < 40 || (ip[0] >> 4) != 6)
            return undecodable(why, "IPv6 header cut short");
        switch (ip[6]) {
        case 6: break;
        case 0: case 43: case 44: case 50: case 51: case 60: // extension headers, ESP, AH
            return undecodable(why, "IPv6 extension headers (not read)");
        default: return FrameKind::Other;
        }
        size_t total = 40 + static_cast<size_t>(get16(ip + 4));
        if (total > room)
            return undecodable(why, "packet of " + std::to_string(total) + " bytes captured as " +
                                        std::to_string(room) + " (snap length too short?)");
        out.src.address.assign(reinterpret_cast<const char *>(ip + 8), 16);
        out.dst.address.assign(reinterpret_cast<const char *>(ip + 24), 16);
        tcp_at = 40;
        end = total;
    }
    if (end < tcp_at + 20)
        return undecodable(why, "TCP header cut short");
    const uint8_t *t = ip + tcp_at;
    size_t off = static_cast<size_t>(t[12] >> 4) * 4;
    if (off < 20 || tcp_at + off > end)
        return undecodable(why, "TCP header with a bad length");
    out.src.port = get16(t);
    out.dst.port = get16(t + 2);
    out.seq = get32(t + 4);
    out.flags = t[13];
    out.payload.assign(reinterpret_cast<const char *>(t + off), end - tcp_at - off);
    return FrameKind::Tcp;
}

bool read_capture(const std::string &file, std::vector<Segment> &out, std::string &error,
                  std::vector<std::string> &doubts)
{
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t *p = pcap_open_offline_with_tstamp_precision(file.c_str(), PCAP_TSTAMP_PRECISION_MICRO, errbuf);
    if (!p) {
        error = file + ": offset 0: " + errbuf;
        return false;
    }
    int link = pcap_datalink(p);
    if (!known_link(link)) {
        const char *name = pcap_datalink_val_to_name(link);
        doubts.push_back(file + ": link type " + std::to_string(link) + (name ? std::string(" (") + name + ")" : "") +
                         " is not one tqreplay reads: nothing of this file is replayed");
        pcap_close(p);
        return true;
    }
    FILE *fp = pcap_file(p);
    bool ok = true;
    for (size_t packet = 1;; ++packet) {
        long offset = fp ? ftell(fp) : -1;
        pcap_pkthdr *hdr = nullptr;
        const u_char *data = nullptr;
        int rc = pcap_next_ex(p, &hdr, &data);
        if (rc == PCAP_ERROR_BREAK)
            break;
        if (rc != 1) {
            error = file + ": offset " + std::to_string(offset) + ": " + pcap_geterr(p);
            ok = false;
            break;
        }
        Segment s;
        s.ts = hdr->ts;
        std::string why;
        switch (parse_frame(link, data, hdr->caplen, s, why)) {
        case FrameKind::Tcp: out.push_back(std::move(s)); break;
        case FrameKind::Other: break;
        case FrameKind::Undecodable:
            doubts.push_back(file + ": packet " + std::to_string(packet) + ", offset " + std::to_string(offset) +
                             ": " + why + ": left out");
            break;
        }
    }
    pcap_close(p);
    return ok;
}

void Reassembler::add(const Segment &s)
{
    Key key = s.src < s.dst ? Key{s.src, s.dst} : Key{s.dst, s.src};
    auto it = conns_.find(key);
    bool opening = (s.flags & kSyn) && !(s.flags & kAck);
    if (it != conns_.end() && opening && !it->second->closed &&
        (it->second->dir[0].delivered || it->second->dir[1].delivered))
        end(*it->second, s.ts); // the ports were used again: the old one is over
    if (it != conns_.end() && it->second->closed) {
        if (!opening)
            return; // the last acknowledgements of a connection that ended
        conns_.erase(it);
        it = conns_.end();
    }
    if (it == conns_.end()) {
        if (s.flags & kRst)
            return;
        auto c = std::make_unique<Conn>();
        c->stream.index = next_index_++;
        c->stream.client = s.src;
        c->stream.server = s.dst;
        if (s.flags & kSyn) {
            c->stream.saw_syn = true;
            if (s.flags & kAck)
                std::swap(c->stream.client, c->stream.server);
        }
        if (ev_.open)
            ev_.open(c->stream, s);
        it = conns_.emplace(key, std::move(c)).first;
    }
    Conn &c = *it->second;
    int side = s.src == c.stream.client ? 0 : 1;
    Direction &d = c.dir[side];
    if (s.flags & kSyn) {
        d.known = true;
        d.next = s.seq + 1;
        return;
    }
    if (s.flags & kRst) {
        end(c, s.ts);
        return;
    }
    if (!s.payload.empty())
        deliver(c, side, s.seq, s.payload, s.ts);
    if (s.flags & kFin) {
        d.fin = true;
        if (c.dir[0].fin && c.dir[1].fin)
            end(c, s.ts);
    }
}

void Reassembler::deliver(Conn &c, int side, uint32_t seq, const std::string &payload, const timeval &ts)
{
    Direction &d = c.dir[side];
    if (!d.known) { // the capture started inside the connection
        d.known = true;
        d.next = seq;
    }
    auto ahead = static_cast<int32_t>(seq - d.next);
    if (ahead > 0) {
        std::string &slot = d.early[seq];
        size_t common = std::min(slot.size(), payload.size());
        if (slot.compare(0, common, payload, 0, common) != 0 && ev_.warn)
            ev_.warn("connection " + c.stream.client.text() + " -> " + c.stream.server.text() + ": the " +
                     (side == 0 ? "client" : "server") + "'s segment at sequence " + std::to_string(seq) +
                     " came twice with different bytes; the longer is replayed");
        if (payload.size() > slot.size()) {
            d.early_bytes += payload.size() - slot.size();
            slot = payload;
        }
        if (d.early_bytes > (16u << 20))
            drain(c, side, ts, true);
        return;
    }
    size_t skip = static_cast<size_t>(-static_cast<int64_t>(ahead));
    if (skip)
        compare_resent(c, side, seq, payload, std::min(skip, payload.size()));
    if (skip >= payload.size())
        return; // all of it came before
    if (ev_.data)
        ev_.data(c.stream, side, skip ? payload.substr(skip) : payload, ts);
    d.delivered = true;
    d.next += static_cast<uint32_t>(payload.size() - skip);
    constexpr size_t kRecent = 64 * 1024;
    d.recent.append(payload, skip, std::string::npos);
    if (d.recent.size() > 2 * kRecent)
        d.recent.erase(0, d.recent.size() - kRecent);
    if (!d.early.empty() && !d.draining)
        drain(c, side, ts, false);
}

void Reassembler::compare_resent(Conn &c, int side, uint32_t seq, const std::string &payload, size_t overlap)
{
    const Direction &d = c.dir[side];
    // `recent` ends at `next`; the resent bytes start `back` before it.
    size_t back = static_cast<size_t>(static_cast<uint32_t>(d.next - seq));
    if (back > d.recent.size() || !ev_.warn)
        return; // older than what is kept: nothing to compare with
    if (d.recent.compare(d.recent.size() - back, overlap, payload, 0, overlap) != 0)
        ev_.warn("connection " + c.stream.client.text() + " -> " + c.stream.server.text() + ": the " +
                 (side == 0 ? "client" : "server") + " sent bytes again at sequence " + std::to_string(seq) +
                 " that differ from the first copy; the first is replayed");
}

void Reassembler::drain(Conn &c, int side, const timeval &ts, bool force)
{
    Direction &d = c.dir[side];
    // Delivering calls back here: once is enough, the loop takes them all.
    struct Mark {
        bool &flag;
        explicit Mark(bool &f) : flag(f) { flag = true; }
        ~Mark() { flag = false; }
    } mark(d.draining);
    while (!d.early.empty()) {
        auto best = d.early.begin();
        auto best_ahead = static_cast<int32_t>(best->first - d.next);
        for (auto it = std::next(best); it != d.early.end(); ++it) {
            auto ahead = static_cast<int32_t>(it->first - d.next);
            if (ahead < best_ahead) {
                best_ahead = ahead;
                best = it;
            }
        }
        if (best_ahead > 0) {
            if (!force)
                return;
            if (ev_.warn)
                ev_.warn("connection " + c.stream.client.text() + " -> " + c.stream.server.text() + ": " +
                         std::to_string(best_ahead) + " bytes missing from the " +
                         (side == 0 ? "client" : "server") + " (not in the capture), skipped");
            d.next = best->first;
        }
        std::string bytes = std::move(best->second);
        uint32_t seq = best->first;
        d.early_bytes -= bytes.size();
        d.early.erase(best);
        deliver(c, side, seq, bytes, ts);
    }
}

void Reassembler::end(Conn &c, const timeval &ts)
{
    if (c.closed)
        return;
    drain(c, 0, ts, true);
    drain(c, 1, ts, true);
    c.closed = true;
    if (ev_.close)
        ev_.close(c.stream, ts);
}

void Reassembler::finish(const timeval &ts)
{
    std::vector<Conn *> open;
    for (auto &[key, c] : conns_)
        if (!c->closed)
            open.push_back(c.get());
    std::sort(open.begin(), open.end(), [](const Conn *a, const Conn *b) { return a->stream.index < b->stream.index; });
    for (Conn *c : open)
        end(*c, ts);
}

} // namespace tqreplay
