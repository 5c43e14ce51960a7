// One client connection: SOCKS handshake, connection to the server, then
// the relay, through a module for MSNP and expected connections. Every
// handler of a connection runs on its own strand, so the module never sees
// two tasklets of one connection at once.
#ifndef GW_RELAY_H
#define GW_RELAY_H

// A standard header first: Asio picks its allocator from the standard
// library's configuration macros, and every file must see the same choice.
#include <cstddef>

#include <asio.hpp>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture.h"
#include "metrics.h"
#include "destinations.h"
#include "archive.h"
#include "events.h"
#include "expectations.h"
#include "handshake.h"
#include "module_host.h"
#include "settings.h"

namespace gw {

class Connection;

// Live connections by number, for administration and shutdown.
class ConnectionTable {
public:
    // `client` is the client's address, counted for per-client limits.
    void add(unsigned long tid, const std::shared_ptr<Connection> &c, const std::string &client = {});
    void remove(unsigned long tid);
    std::shared_ptr<Connection> find(unsigned long tid) const;
    std::vector<std::shared_ptr<Connection>> all() const;
    size_t size() const;
    // Open connections of one client address.
    size_t from(const std::string &client) const;

private:
    struct Entry {
        std::weak_ptr<Connection> conn;
        std::string client;
    };
    mutable std::mutex lock_;
    std::map<unsigned long, Entry> conns_;
    std::map<std::string, size_t> per_client_;
};

// How a client reached the gateway.
enum class Door { Socks, Http, Transparent };

// Whether `ep` is one of the gateway's own listeners (a listener on the
// unspecified address owns that port on every local address): relaying
// there would loop.
bool is_own_endpoint(const std::vector<asio::ip::tcp::endpoint> &own, const asio::ip::tcp::endpoint &ep);

// The IPv4 address of `a` (also when mapped into IPv6), in network order.
bool ipv4_of(const asio::ip::address &a, uint32_t &out);

// What connections share with the server.
struct RelayContext {
    const Settings *settings = nullptr;
    Metrics *metrics = nullptr; // what Prometheus is shown, if anyone asks
    EventSink *events = nullptr;
    ExpectationRegistry *expectations = nullptr;
    // Modules in load order; MSNP ports go to the first one that relays.
    std::vector<ModuleHost *> modules;
    bool require_password = false;
    bool allow_socks4 = true;
    PasswordCheck check_password;
    ConnectionTable *table = nullptr;
    // Where the gateway listens, once bound.
    std::vector<asio::ip::tcp::endpoint> own;
    // Where clients may go: the configured rules and the defaults.
    std::vector<DestinationRule> destinations;
    HostAddressCache host_addresses;
    // Where relayed MSNP connections are recorded, if anywhere.
    Capture *capture = nullptr;
    // Where the module's conversation events are archived, if anywhere.
    Archive *archive = nullptr;
    // Whether connections keep the module's names of their user, contacts
    // and protocol for the console (asked after every chunk).
    bool describe = false;
    // Bytes of incomplete commands held by all connections together.
    std::atomic<size_t> held_total{0};
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(RelayContext &ctx, asio::ip::tcp::socket client, unsigned long tid, Door door = Door::Socks);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    void start();
    // Ends the connection from any thread.
    void stop();
    // Ends the connection when its module has poisoned it.
    void check_poison();
    // The module's `info` for this connection, computed on its strand;
    // `done` gets false when the connection is not handled by a module.
    void request_info(std::function<void(bool, std::string)> done);

    unsigned long tid() const { return tid_; }
    // `TID CLIENT -> SERVER msnp|plain USER DOOR`, empty before it is relayed.
    std::string summary() const;
    // What the console lists; `tid` 0 before the connection is relayed.
    struct Status {
        unsigned long tid = 0;
        std::string client, server, kind, socks_user, door;
        std::string user, contacts, protocol; // as the module names them
        uint64_t bytes_from_client = 0, bytes_from_server = 0;
        double seconds = 0;
    };
    Status status() const;

private:
    using tcp = asio::ip::tcp;
    enum class Stage { Handshake, Connecting, Relaying, Closed };

    asio::ip::tcp::socket &sock(int side) { return side == 0 ? client_ : server_; }

    // The module's own writes (tqconn_send) wait in the connection's
    // outbox; these deliver them on the connection's strand.
    static void wake_outbox(void *ctx);
    std::string take_outbox(int side);

    void read_handshake();
    // A redirected connection: its target is where the client was going.
    void start_transparent();
    void on_handshake_readable(const asio::error_code &ec);
    void send_then(std::string bytes, std::function<void()> next);
    // Answers the client with `code` and closes; `why` is written as a
    // notice of `kind`.
    void refuse(uint8_t code, const std::string &why, const std::string &kind = "connect-refused",
                const NoticeAttrs &attrs = {});
    // Keeps the endpoints the destination rules allow for the client at
    // `peer`; false (the client refused) when none is left.
    bool allowed_destinations(std::vector<tcp::endpoint> &endpoints, const tcp::endpoint &peer);
    void resolve();
    void on_resolved(std::vector<tcp::endpoint> endpoints);
    void on_connected(const asio::error_code &ec);
    bool setup_connection();
    void begin_relay();

    bool can_read(int side) const;
    void arm(int side);
    void on_readable(int side, const asio::error_code &ec);
    // `data` may start with `front` bytes that were held from this side.
    void on_chunk(int side, const uint8_t *data, size_t len, size_t front = 0);
    void run_module(int side, const uint8_t *data, size_t len, size_t front);
    bool write_to(int dest, const std::vector<asio::const_buffer> &bufs);
    void on_written(int dest, const asio::error_code &ec);
    void on_eof(int side);
    void settle();
    void after_module_call();
    // Ends the connection. `why` goes into the close event; with a
    // `notice_kind` it is also written as a notice of that kind.
    void close(const std::string &why, const std::string &notice_kind = {});
    void announce_open();
    // Checks every so often for a connection that carries nothing or a
    // peer that takes nothing, and ends it.
    void watch();
    // Keeps the count of held bytes of all connections up to date.
    void account_held();
    // Starts recording the connection when the gateway records.
    void begin_capture(const tcp::endpoint &client, const tcp::endpoint &server, const SocksTarget &t);
    void end_capture();

    RelayContext &ctx_;
    tcp::socket client_;
    tcp::socket server_;
    tcp::resolver resolver_;
    asio::steady_timer timer_;
    unsigned long tid_;
    Stage stage_ = Stage::Handshake;

    std::unique_ptr<Handshake> hs_;
    std::string hs_out_;
    std::string leftover_;

    tqconn *conn_ = nullptr;
    ModuleHost *module_ = nullptr;
    std::vector<ExpectationMatch> matched_;
    tq3_iov *iov_ = nullptr;
    std::unique_ptr<CaptureFlow> cap_; // while the connection is recorded

    bool reading_[2] = {false, false};
    bool eof_[2] = {false, false};
    bool writing_[2] = {false, false};
    bool shut_[2] = {false, false};
    bool poisoned_ = false;
    bool closed_ = false;
    bool announced_ = false; // the open event was written: the close one follows
    // Read by the console from other threads.
    std::atomic<uint64_t> bytes_from_[2] = {0, 0};
    Clock::time_point opened_;
    NoticeAttrs ends_; // client and destination, for both events
    std::string pending_[2]; // bytes being written to the side
    std::string queued_[2];  // bytes for the side after the pending ones
    std::string held_[2];    // incomplete command read from the side
    size_t held_counted_ = 0; // this connection's part of ctx_.held_total
    Clock::time_point last_active_; // bytes last moved either way
    Clock::time_point stuck_since_[2]; // a write to the side last made progress

    mutable std::mutex summary_lock_;
    Status status_; // under summary_lock_, but for the byte counts; summary() is made of it
    Clock::time_point status_opened_{}; // opened_, for other threads
    // Takes the module's names of the user, contacts and protocol.
    void describe();
    // Hands the queued events to the archive and the events file.
    void drain_events();
};

} // namespace gw

#endif
