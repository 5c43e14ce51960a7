// Recording of relayed MSNP connections: the bytes of each direction as
// they arrived, before the module's verdict, written to pcap files as TCP
// segments between the real client and server addresses (so tcpdump and
// Wireshark decode them), with a JSON-lines file beside each capture that
// names the connections (SOCKS user and version, which the packets cannot
// carry) and holds the verdicts the gateway gave.
//
// Files are named PREFIX-YYYYMMDD-HHMMSS-N.pcap (UTC) and .jsonl, a new
// pair once the current capture passes its size; the oldest pairs go when
// there are more than the number kept. With user patterns, a connection is
// held in memory until the module names its user and then written or
// dropped; one whose user is still unknown after `kUndecidedLimit` bytes
// is dropped.
#ifndef GW_CAPTURE_H
#define GW_CAPTURE_H

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <pcap/pcap.h>

namespace gw {

struct CaptureOptions {
    std::string dir;
    std::string prefix = "trevalquin";
    std::vector<std::string> users; // fnmatch patterns on the sign-in name; empty: every connection
    size_t file_size = 64u << 20;
    size_t files = 8;
};

// One end of a recorded connection: an IPv4 or IPv6 address in network
// order (4 or 16 bytes) and a port.
struct CaptureEnd {
    std::string address; // raw bytes
    uint16_t port = 0;
    // "ADDRESS:PORT", IPv6 in brackets.
    std::string text() const;
    bool operator<(const CaptureEnd &o) const { return address != o.address ? address < o.address : port < o.port; }
    bool operator==(const CaptureEnd &o) const = default;
};

struct CaptureFlow {
    enum class State { Undecided, Recording, Skipping };
    CaptureEnd client, server;
    unsigned long tid = 0;
    std::string socks_user;
    int socks_version = 0;
    State state = State::Undecided;

    // Private to Capture.
    uint32_t seq[2] = {0, 0}; // next sequence number sent by the client (0), the server (1)
    bool opened = false;      // the handshake was written
    unsigned generation = 0;  // file whose .jsonl names this flow (0: none yet)
    struct Item {
        timeval ts;
        int kind; // 0 client bytes, 1 server bytes, 2 verdict line, 3 open, 4 close
        std::string bytes;
    };
    std::vector<Item> pending;
    size_t pending_bytes = 0;
};

class Capture {
public:
    static constexpr size_t kUndecidedLimit = 1u << 20;

    // Checks that the directory is writable; the first file is made with
    // the first recorded packet.
    static std::unique_ptr<Capture> open(CaptureOptions options, std::string &error);
    ~Capture();
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    // A new connection: recorded at once without user patterns.
    void begin(CaptureFlow &f, const timeval &ts);
    // Bytes from the client (side 0) or the server (side 1).
    void data(CaptureFlow &f, int side, const uint8_t *bytes, size_t len, const timeval &ts);
    // One verdict line (trace_json) for the flow, given with the chunk it
    // decided.
    void verdict(CaptureFlow &f, std::string line, const timeval &ts);
    // The module named the flow's user: write what was held, or drop it.
    void decide(CaptureFlow &f, const std::string &user);
    // The connection ended.
    void end(CaptureFlow &f, const timeval &ts);
    // Whether a user name is to be recorded.
    bool wants(const std::string &user) const;
    bool by_user() const { return !opt_.users.empty(); }
    // The files written so far that are still there, oldest first.
    std::vector<std::string> files() const;
    // Ends the current file; the next packet begins a new one.
    void reopen();

private:
    explicit Capture(CaptureOptions o) : opt_(std::move(o)) {}
    void add(CaptureFlow &f, CaptureFlow::Item item);
    void emit(CaptureFlow &f, const CaptureFlow::Item &item);
    bool ensure_file(const timeval &ts);
    void close_file();
    void segment(CaptureFlow &f, int from, uint8_t flags, const uint8_t *bytes, size_t len, const timeval &ts);

    CaptureOptions opt_;
    mutable std::mutex lock_;
    pcap_t *dead_ = nullptr;
    pcap_dumper_t *dumper_ = nullptr;
    FILE *side_ = nullptr;
    unsigned generation_ = 0;
    size_t written_ = 0;
    time_t last_flush_ = 0;
    std::vector<std::string> stems_; // PATH without extension, oldest first
    std::vector<uint8_t> packet_;
    std::string failed_; // the file that could not be made, last time
};

} // namespace gw

#endif
