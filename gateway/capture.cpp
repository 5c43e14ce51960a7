// Capture files: pcap through libpcap, connection and verdict lines beside.
#include "capture.h"

#include <arpa/inet.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "verdict_trace.h"

namespace gw {

namespace {

constexpr size_t kEthernet = 14;
constexpr size_t kTcp = 20;
// Payload of one segment: an IPv4 packet may not exceed 65,535 bytes.
constexpr size_t kMaxSegment = 65000;
constexpr int kSnapLength = 65535;
constexpr uint8_t kFin = 0x01, kSyn = 0x02, kPsh = 0x08, kAck = 0x10;

void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t *p, uint32_t v)
{
    put16(p, static_cast<uint16_t>(v >> 16));
    put16(p + 2, static_cast<uint16_t>(v));
}

uint32_t sum16(const uint8_t *p, size_t n, uint32_t sum = 0)
{
    for (; n > 1; p += 2, n -= 2)
        sum += static_cast<uint32_t>(p[0] << 8 | p[1]);
    if (n)
        sum += static_cast<uint32_t>(p[0] << 8);
    return sum;
}

uint16_t fold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

std::string stamp(time_t t)
{
    struct tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
    return buf;
}

} // namespace

std::string CaptureEnd::text() const
{
    char buf[INET6_ADDRSTRLEN] = "?";
    if (address.size() == 4)
        inet_ntop(AF_INET, address.data(), buf, sizeof buf);
    else if (address.size() == 16)
        inet_ntop(AF_INET6, address.data(), buf, sizeof buf);
    std::string host = buf;
    if (address.size() == 16)
        host = "[" + host + "]";
    return host + ":" + std::to_string(port);
}

std::unique_ptr<Capture> Capture::open(CaptureOptions options, std::string &error)
{
    namespace fs = std::filesystem;
    if (options.dir.empty())
        options.dir = ".";
    std::error_code ec;
    fs::create_directories(options.dir, ec);
    if (access(options.dir.c_str(), W_OK | X_OK) != 0) {
        error = "capture-dir " + options.dir + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<Capture> c(new Capture(std::move(options)));
    c->dead_ = pcap_open_dead(DLT_EN10MB, kSnapLength);
    if (!c->dead_) {
        error = "capture: libpcap cannot make a capture handle";
        return nullptr;
    }
    // Files of earlier runs count towards the number kept.
    std::vector<std::string> stems;
    for (const auto &e : fs::directory_iterator(c->opt_.dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(c->opt_.prefix + "-", 0) == 0 && e.path().extension() == ".pcap")
            stems.push_back((e.path().parent_path() / e.path().stem()).string());
    }
    std::sort(stems.begin(), stems.end());
    c->stems_ = std::move(stems);
    return c;
}

Capture::~Capture()
{
    std::lock_guard<std::mutex> g(lock_);
    close_file();
    if (dead_)
        pcap_close(dead_);
}

bool Capture::wants(const std::string &user) const
{
    if (opt_.users.empty())
        return true;
    for (const auto &p : opt_.users)
        if (fnmatch(p.c_str(), user.c_str(), FNM_CASEFOLD) == 0)
            return true;
    return false;
}

std::vector<std::string> Capture::files() const
{
    std::lock_guard<std::mutex> g(lock_);
    std::vector<std::string> out;
    for (const auto &s : stems_)
        out.push_back(s + ".pcap");
    return out;
}

void Capture::reopen()
{
    std::lock_guard<std::mutex> g(lock_);
    close_file();
}

void Capture::close_file()
{
    if (dumper_)
        pcap_dump_close(dumper_);
    if (side_)
        fclose(side_);
    dumper_ = nullptr;
    side_ = nullptr;
}

bool Capture::ensure_file(const timeval &ts)
{
    if (dumper_ && written_ < opt_.file_size)
        return true;
    close_file();
    namespace fs = std::filesystem;
    std::string stem;
    for (unsigned n = 1;; ++n) {
        stem = (fs::path(opt_.dir) / (opt_.prefix + "-" + stamp(ts.tv_sec) + "-" + std::to_string(n))).string();
        std::error_code ec;
        if (!fs::exists(stem + ".pcap", ec))
            break;
    }
    dumper_ = pcap_dump_open(dead_, (stem + ".pcap").c_str());
    if (!dumper_) {
        // Said once per failing file name, not once per packet.
        if (failed_ != stem)
            std::fprintf(stderr, "trevalquin: capture: %s\n", pcap_geterr(dead_));
        failed_ = stem;
        return false;
    }
    side_ = fopen((stem + ".jsonl").c_str(), "w");
    ++generation_;
    written_ = 24; // the file header
    stems_.push_back(stem);
    while (stems_.size() > opt_.files && stems_.size() > 1) {
        std::error_code ec;
        fs::remove(stems_.front() + ".pcap", ec);
        fs::remove(stems_.front() + ".jsonl", ec);
        stems_.erase(stems_.begin());
    }
    return true;
}

void Capture::segment(CaptureFlow &f, int from, uint8_t flags, const uint8_t *bytes, size_t len, const timeval &ts)
{
    const CaptureEnd &src = from == 0 ? f.client : f.server;
    const CaptureEnd &dst = from == 0 ? f.server : f.client;
    const bool v6 = src.address.size() == 16;
    const size_t ip = v6 ? 40 : 20;
    packet_.assign(kEthernet + ip + kTcp + len, 0);
    uint8_t *p = packet_.data();
    // Locally administered addresses: 02:..:01 the client, 02:..:02 the server.
    p[0] = 0x02;
    p[5] = from == 0 ? 2 : 1;
    p[6] = 0x02;
    p[11] = from == 0 ? 1 : 2;
    put16(p + 12, v6 ? 0x86dd : 0x0800);
    uint8_t *h = p + kEthernet;
    uint8_t *t = h + ip;
    if (v6) {
        h[0] = 0x60;
        put16(h + 4, static_cast<uint16_t>(kTcp + len));
        h[6] = 6;
        h[7] = 64;
        memcpy(h + 8, src.address.data(), 16);
        memcpy(h + 24, dst.address.data(), 16);
    } else {
        h[0] = 0x45;
        put16(h + 2, static_cast<uint16_t>(ip + kTcp + len));
        put16(h + 6, 0x4000); // don't fragment
        h[8] = 64;
        h[9] = 6;
        memcpy(h + 12, src.address.data(), 4);
        memcpy(h + 16, dst.address.data(), 4);
        put16(h + 10, fold(sum16(h, 20)));
    }
    put16(t, src.port);
    put16(t + 2, dst.port);
    put32(t + 4, f.seq[from]);
    put32(t + 8, (flags & kAck) ? f.seq[1 - from] : 0);
    t[12] = 5 << 4;
    t[13] = flags;
    put16(t + 14, 65535);
    if (len)
        memcpy(t + kTcp, bytes, len);
    // The pseudo-header: both addresses, protocol, TCP length.
    uint32_t sum = sum16(reinterpret_cast<const uint8_t *>(src.address.data()), src.address.size());
    sum = sum16(reinterpret_cast<const uint8_t *>(dst.address.data()), dst.address.size(), sum);
    sum += 6 + static_cast<uint32_t>(kTcp + len);
    put16(t + 16, fold(sum16(t, kTcp + len, sum)));

    pcap_pkthdr hdr{};
    hdr.ts = ts;
    hdr.caplen = hdr.len = static_cast<bpf_u_int32>(packet_.size());
    pcap_dump(reinterpret_cast<u_char *>(dumper_), &hdr, packet_.data());
    written_ += 16 + packet_.size();
    f.seq[from] += static_cast<uint32_t>(len) + ((flags & (kSyn | kFin)) ? 1 : 0);
}

void Capture::emit(CaptureFlow &f, const CaptureFlow::Item &item)
{
    if (!ensure_file(item.ts))
        return;
    if (f.generation != generation_ && side_) {
        // Each file names the connections it holds, so that it replays alone.
        std::string line = "{\"connection\":true";
        line += ",\"client\":";
        json_string(line, f.client.text());
        line += ",\"server\":";
        json_string(line, f.server.text());
        line += ",\"tid\":" + std::to_string(f.tid) + ",\"socks_version\":" + std::to_string(f.socks_version);
        line += ",\"socks_user\":";
        if (f.socks_user.empty())
            line += "null";
        else
            json_string(line, f.socks_user);
        line += "}\n";
        fputs(line.c_str(), side_);
        f.generation = generation_;
    }
    const auto *b = reinterpret_cast<const uint8_t *>(item.bytes.data());
    switch (item.kind) {
    case 0:
    case 1:
        for (size_t at = 0; at < item.bytes.size(); at += kMaxSegment)
            segment(f, item.kind, kPsh | kAck, b + at, std::min(kMaxSegment, item.bytes.size() - at), item.ts);
        break;
    case 2:
        if (side_) {
            fputs(item.bytes.c_str(), side_);
            fputc('\n', side_);
        }
        break;
    case 3:
        // Initial sequence numbers from the connection number: any will do,
        // and the same run gives the same files.
        f.seq[0] = static_cast<uint32_t>(f.tid * 2654435761u);
        f.seq[1] = f.seq[0] ^ 0x5bd1e995u;
        segment(f, 0, kSyn, nullptr, 0, item.ts);
        segment(f, 1, kSyn | kAck, nullptr, 0, item.ts);
        segment(f, 0, kAck, nullptr, 0, item.ts);
        f.opened = true;
        break;
    case 4:
        segment(f, 0, kFin | kAck, nullptr, 0, item.ts);
        segment(f, 1, kFin | kAck, nullptr, 0, item.ts);
        segment(f, 0, kAck, nullptr, 0, item.ts);
        break;
    default: break;
    }
    if (item.ts.tv_sec != last_flush_ || item.kind == 4) {
        pcap_dump_flush(dumper_);
        if (side_)
            fflush(side_);
        last_flush_ = item.ts.tv_sec;
    }
}

void Capture::add(CaptureFlow &f, CaptureFlow::Item item)
{
    if (f.state == CaptureFlow::State::Skipping)
        return;
    if (f.state == CaptureFlow::State::Recording) {
        std::lock_guard<std::mutex> g(lock_);
        emit(f, item);
        return;
    }
    f.pending_bytes += item.bytes.size();
    f.pending.push_back(std::move(item));
    if (f.pending_bytes > kUndecidedLimit) {
        f.state = CaptureFlow::State::Skipping;
        f.pending.clear();
        f.pending.shrink_to_fit();
    }
}

void Capture::begin(CaptureFlow &f, const timeval &ts)
{
    f.state = by_user() ? CaptureFlow::State::Undecided : CaptureFlow::State::Recording;
    add(f, {ts, 3, {}});
}

void Capture::data(CaptureFlow &f, int side, const uint8_t *bytes, size_t len, const timeval &ts)
{
    if (len)
        add(f, {ts, side, std::string(reinterpret_cast<const char *>(bytes), len)});
}

void Capture::verdict(CaptureFlow &f, std::string line, const timeval &ts)
{
    add(f, {ts, 2, std::move(line)});
}

void Capture::decide(CaptureFlow &f, const std::string &user)
{
    if (f.state != CaptureFlow::State::Undecided)
        return;
    if (!wants(user)) {
        f.state = CaptureFlow::State::Skipping;
        f.pending.clear();
        f.pending.shrink_to_fit();
        return;
    }
    f.state = CaptureFlow::State::Recording;
    std::lock_guard<std::mutex> g(lock_);
    for (const auto &item : f.pending)
        emit(f, item);
    f.pending.clear();
    f.pending.shrink_to_fit();
    f.pending_bytes = 0;
}

void Capture::end(CaptureFlow &f, const timeval &ts)
{
    if (f.state == CaptureFlow::State::Recording && f.opened)
        add(f, {ts, 4, {}});
    f.state = CaptureFlow::State::Skipping;
    f.pending.clear();
}

} // namespace gw
