// Client connections once connected: the relay through a module or
// plain, the module's own writes, the end of a connection.
#include "relay.h"

#include <arpa/inet.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <unordered_map>

#include "chunk.h"
#include "socks.h"
#include "tqevents_interface.h"
#include "verdict_trace.h"

namespace gw {

namespace {

using tcp = asio::ip::tcp;

// Reads go into one buffer per worker thread: an idle connection owns no
// read buffer at all, only what it could not write yet. It is large so
// that a busy conversation is decided, logged and written in few runs of
// the module (each ends with a write of the chat log and one of the peer).
constexpr size_t kScratchSize = 256 * 1024;
// Bytes left unsent keep their buffer only while they are small.
constexpr size_t kKeepPendingCapacity = 64 * 1024;

uint8_t *scratch()
{
    thread_local std::unique_ptr<uint8_t[]> buf(new uint8_t[kScratchSize]);
    return buf.get();
}

int other(int side) { return 1 - side; }

void release(std::string &s)
{
    if (s.capacity() > kKeepPendingCapacity)
        std::string().swap(s);
    else
        s.clear();
}

std::string endpoint_text(const tcp::endpoint &ep)
{
    return format_host_port(ep.address().to_string(), ep.port());
}

const char *side_name(int side) { return side == 0 ? "client" : "server"; }

} // namespace

void ConnectionTable::add(unsigned long tid, const std::shared_ptr<Connection> &c, const std::string &client)
{
    std::lock_guard<std::mutex> g(lock_);
    auto [it, fresh] = conns_.insert_or_assign(tid, Entry{c, client});
    if (fresh)
        ++per_client_[client];
    (void)it;
}

void ConnectionTable::remove(unsigned long tid)
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = conns_.find(tid);
    if (it == conns_.end())
        return;
    auto count = per_client_.find(it->second.client);
    if (count != per_client_.end() && --count->second == 0)
        per_client_.erase(count);
    conns_.erase(it);
}

std::shared_ptr<Connection> ConnectionTable::find(unsigned long tid) const
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = conns_.find(tid);
    return it == conns_.end() ? nullptr : it->second.conn.lock();
}

std::vector<std::shared_ptr<Connection>> ConnectionTable::all() const
{
    std::vector<std::shared_ptr<Connection>> out;
    std::lock_guard<std::mutex> g(lock_);
    for (const auto &[tid, entry] : conns_)
        if (auto c = entry.conn.lock())
            out.push_back(std::move(c));
    return out;
}

size_t ConnectionTable::size() const
{
    std::lock_guard<std::mutex> g(lock_);
    return conns_.size();
}

size_t ConnectionTable::from(const std::string &client) const
{
    std::lock_guard<std::mutex> g(lock_);
    auto it = per_client_.find(client);
    return it == per_client_.end() ? 0 : it->second;
}

// ---- The module's own writes ----------------------------------------------

namespace {

// Where the module's verdict trace of one chunk goes.
struct TraceTarget {
    Capture *capture;
    CaptureFlow *flow;
    timeval ts;
    std::string client, server;
    uint64_t base;
};

void write_trace(void *ctx, const tq3_trace_command *c)
{
    auto *t = static_cast<TraceTarget *>(ctx);
    t->capture->verdict(*t->flow, trace_json(*c, t->client, t->server, t->base), t->ts);
    // A refused sign-in names its user only here.
    if (c->user && t->flow->state == CaptureFlow::State::Undecided)
        t->capture->decide(*t->flow, c->user);
}

} // namespace

void Connection::wake_outbox(void *ctx)
{
    // Called by the module's writes from any thread (a tasklet of this
    // connection, a timer, an administration command), with the outbox
    // locked: the connection is alive until close() has closed it.
    auto *c = static_cast<Connection *>(ctx);
    std::shared_ptr<Connection> self = c->weak_from_this().lock();
    if (!self) // being destroyed: close() is waiting for this call
        return;
    asio::post(c->client_.get_executor(), [self] {
        if (self->closed_ || self->stage_ != Stage::Relaying)
            return;
        for (int side = 0; side < 2; ++side) {
            std::string bytes = self->take_outbox(side);
            if (!bytes.empty() && !self->write_to(side, {asio::buffer(bytes)}))
                return;
        }
        self->settle();
    });
}

std::string Connection::take_outbox(int side)
{
    size_t len = 0;
    unsigned char *bytes = tqconn_outbox_take(conn_, side, &len);
    std::string out(reinterpret_cast<const char *>(bytes), len);
    free(bytes);
    return out;
}

Connection::~Connection()
{
    close("released");
    if (conn_) {
        tqlist_destroy_without_refs(&conn_->expdata);
        tqconn_destroy(conn_);
    }
    if (iov_)
        tq3_iov_dtr(iov_);
}

void Connection::stop()
{
    asio::post(client_.get_executor(),
               [self = shared_from_this()] { self->close("gateway stopping"); });
}

void Connection::check_poison()
{
    asio::post(client_.get_executor(), [self = shared_from_this()] {
        if (!self->closed_ && self->conn_ && self->conn_->poison_match == TQ_MATCH_BLOCK)
            self->close("the module ended the connection", "poisoned");
    });
}

void Connection::request_info(std::function<void(bool, std::string)> done)
{
    asio::post(client_.get_executor(), [self = shared_from_this(), done = std::move(done)] {
        if (self->closed_ || !self->module_ || !self->conn_) {
            done(false, "connection " + std::to_string(self->tid_) + " is not handled by a module");
            return;
        }
        std::string text;
        if (!self->module_->info(self->conn_, text)) {
            done(false, "module " + self->module_->name() + " gives no connection information");
            return;
        }
        done(true, text);
    });
}

std::string Connection::summary() const
{
    std::lock_guard<std::mutex> g(summary_lock_);
    const Status &s = status_;
    if (!s.tid)
        return "";
    return std::to_string(s.tid) + " " + s.client + " -> " + s.server + " " + s.kind + " " +
           (s.socks_user.empty() ? std::string("-") : s.socks_user) + " " + s.door;
}

Connection::Status Connection::status() const
{
    Status s;
    Clock::time_point opened;
    {
        std::lock_guard<std::mutex> g(summary_lock_);
        s = status_;
        opened = status_opened_;
    }
    s.bytes_from_client = bytes_from_[0].load(std::memory_order_relaxed);
    s.bytes_from_server = bytes_from_[1].load(std::memory_order_relaxed);
    if (s.tid && opened != Clock::time_point{})
        s.seconds = std::chrono::duration<double>(Clock::now() - opened).count();
    return s;
}

void Connection::describe()
{
    if (!conn_ || !module_)
        return;
    char user[512] = "", contacts[2048] = "";
    if (module_->conn_user())
        module_->conn_user()(conn_, user, sizeof user);
    if (module_->conn_contacts())
        module_->conn_contacts()(conn_, contacts, sizeof contacts);
    std::string protocol;
    if (conn_->protocol[ID_VERSION]) {
        protocol = conn_->protocol[ID_VERSION];
        protocol = protocol.substr(0, protocol.find(' '));
    }
    std::lock_guard<std::mutex> g(summary_lock_);
    status_.user = user;
    status_.contacts = contacts;
    status_.protocol = protocol;
}

void Connection::drain_events()
{
    if (ctx_.archive && module_ && conn_->eventsq) {
        char user[512] = "", contacts[2048] = "";
        if (module_->conn_user())
            module_->conn_user()(conn_, user, sizeof user);
        if (module_->conn_contacts())
            module_->conn_contacts()(conn_, contacts, sizeof contacts);
        for (tqlist *l = conn_->eventsq; l; l = l->next)
            if (const auto *e = static_cast<const event_t *>(l->data); e && e->text)
                ctx_.archive->add(tid_, user, contacts, static_cast<long>(e->time), e->text);
    }
    ctx_.events->drain(&conn_->eventsq);
}

bool Connection::setup_connection()
{
    const SocksTarget &t = hs_->target();
    conn_ = tqconn_new();
    if (!conn_) {
        refuse(SOCKS_GENERAL_FAILURE, "out of memory");
        return false;
    }
    asio::error_code ec;
    server_.non_blocking(true, ec);
    client_.set_option(tcp::no_delay(true), ec);
    server_.set_option(tcp::no_delay(true), ec);
    conn_->clid = client_.native_handle();
    conn_->srvd = server_.native_handle();
    conn_->tid = tid_;
    conn_->version = t.version;
    tcp::endpoint peer = client_.remote_endpoint(ec);
    tcp::endpoint remote = server_.remote_endpoint(ec);
    uint32_t a = 0;
    if (ipv4_of(peer.address(), a)) {
        conn_->saddr = a;
        conn_->sport = htons(peer.port());
    }
    if (ipv4_of(remote.address(), a)) {
        conn_->daddr = a;
        conn_->dport = htons(remote.port());
    }
    // The module binds people to proxy accounts: it gets only a name whose
    // password was checked.
    if (t.version == 5 && t.authenticated && !t.user.empty()) {
        auto *h = static_cast<tq_socks5_header *>(std::calloc(1, sizeof(tq_socks5_header)));
        if (h) {
            h->user = strdup(t.user.c_str());
            conn_->header.socks5 = h;
        }
    }
    for (const auto &m : matched_)
        if (m.expectation->data)
            tqlist_insert_end(&conn_->expdata, m.expectation->data);
    if (module_ && ctx_.capture)
        begin_capture(peer, remote, t);
    {
        std::lock_guard<std::mutex> g(summary_lock_);
        status_.tid = tid_;
        status_.client = endpoint_text(peer);
        status_.server = format_host_port(t.host, t.port);
        status_.kind = module_ ? "msnp" : "plain";
        status_.socks_user = t.user;
        status_.door = hs_->door();
        if (ctx_.metrics)
            ctx_.metrics->connections_total[Metrics::door_index(status_.door)].fetch_add(1, std::memory_order_relaxed);
    }
    ends_ = {{"client", endpoint_text(peer)},
             {"destination", format_host_port(t.host, t.port)},
             {"door", hs_->door()}};
    if (tqconn_outbox_open(conn_, &Connection::wake_outbox, this) != 0) {
        close("no memory for the connection's outbox", "out-of-memory");
        return false;
    }
    if (module_ && module_->ops().tasklet_init) {
        int rc = module_->ops().tasklet_init(module_->record(), conn_);
        after_module_call();
        if (rc != 0) {
            refuse(SOCKS_NOT_ALLOWED, "module " + module_->name() + " refused the connection");
            return false;
        }
    }
    announce_open();
    return true;
}

void Connection::begin_relay()
{
    if (closed_)
        return;
    stage_ = Stage::Relaying;
    timer_.cancel();
    last_active_ = Clock::now();
    watch();
    for (int d = 0; d < 2; ++d) {
        std::string early = take_outbox(d);
        if (!early.empty() && !write_to(d, {asio::buffer(early)}))
            return;
    }
    if (!leftover_.empty()) {
        std::string first;
        first.swap(leftover_);
        bytes_from_[0] += first.size();
        on_chunk(0, reinterpret_cast<const uint8_t *>(first.data()), first.size());
    }
    settle();
}

// ---- Relay -----------------------------------------------------------------

bool Connection::can_read(int side) const
{
    if (closed_ || poisoned_ || eof_[side] || stage_ != Stage::Relaying)
        return false;
    // Through a module nothing is read while output is queued, so that what
    // the module writes itself during a tasklet lands after what went before.
    if (module_)
        return !writing_[0] && !writing_[1];
    return !writing_[other(side)];
}

void Connection::arm(int side)
{
    if (reading_[side] || !can_read(side))
        return;
    reading_[side] = true;
    sock(side).async_wait(tcp::socket::wait_read,
                          [self = shared_from_this(), side](const asio::error_code &ec) {
                              self->on_readable(side, ec);
                          });
}

void Connection::on_readable(int side, const asio::error_code &ec)
{
    reading_[side] = false;
    if (closed_)
        return;
    if (ec) {
        close(std::string(side_name(side)) + " read: " + ec.message());
        return;
    }
    if (!can_read(side))
        return; // read again once the queued output is gone
    asio::error_code rec;
    uint8_t *buf = scratch();
    // A command held incomplete from the last read goes in front of the
    // new bytes, so that the module gets them in one run without all of
    // them being appended to the held ones first.
    size_t front = module_ && held_[side].size() <= kScratchSize / 4 ? held_[side].size() : 0;
    size_t n = sock(side).read_some(asio::buffer(buf + front, kScratchSize - front), rec);
    if (rec == asio::error::would_block || rec == asio::error::try_again) {
        arm(side);
        return;
    }
    if (rec == asio::error::eof) {
        on_eof(side);
        return;
    }
    if (rec) {
        close(std::string(side_name(side)) + " read: " + rec.message());
        return;
    }
    bytes_from_[side] += n;
    if (ctx_.metrics)
        (side == 0 ? ctx_.metrics->bytes_from_client : ctx_.metrics->bytes_from_server)
            .fetch_add(n, std::memory_order_relaxed);
    last_active_ = Clock::now();
    if (front) {
        std::memcpy(buf, held_[side].data(), front);
        held_[side].clear();
    }
    on_chunk(side, buf, front + n, front);
    settle();
}

void Connection::on_chunk(int side, const uint8_t *data, size_t len, size_t front)
{
    // The clock is read only for a metrics listener that will show it.
    const auto t0 = ctx_.metrics ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point();
    if (module_)
        run_module(side, data, len, front);
    else
        write_to(other(side), {asio::buffer(data, len)});
    if (ctx_.metrics)
        ctx_.metrics->relay.observe(std::chrono::steady_clock::now() - t0);
}

void Connection::run_module(int side, const uint8_t *data, size_t len, size_t front)
{
    if (!iov_ && !(iov_ = tq3_iov_new())) {
        close("no memory for the relay vector", "out-of-memory");
        return;
    }
    conn_direction dir = side == 0 ? DIR_CLIENT_TO_SERVER : DIR_SERVER_TO_CLIENT;
    ChunkOutcome o;
    timeval now{};
    const bool tracing = cap_ && cap_->state != CaptureFlow::State::Skipping;
    if (tracing) {
        gettimeofday(&now, nullptr);
        ctx_.capture->data(*cap_, side, data + front, len - front, now);
    }
    {
        std::shared_lock<std::shared_mutex> gate(module_->policy_gate());
        std::optional<TraceTarget> target;
        if (tracing && module_->trace_set()) {
            // The chunk was counted when read; the held bytes go before it,
            // in `held_` or in front of the chunk.
            target.emplace(TraceTarget{ctx_.capture, cap_.get(), now, cap_->client.text(), cap_->server.text(),
                                       bytes_from_[side] - len - held_[side].size()});
            module_->trace_set()(write_trace, &*target);
        }
        const auto t0 = ctx_.metrics ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point();
        o = run_chunk(module_->record(), conn_, iov_, held_[side], dir, data, len, ctx_.settings->max_held_bytes);
        if (ctx_.metrics)
            ctx_.metrics->decision.observe(std::chrono::steady_clock::now() - t0);
        if (target)
            module_->trace_set()(nullptr, nullptr);
    }
    if (ctx_.describe)
        describe();
    if (cap_ && cap_->state == CaptureFlow::State::Undecided && module_->conn_user()) {
        char user[512];
        if (module_->conn_user()(conn_, user, sizeof user) > 0)
            ctx_.capture->decide(*cap_, user);
    }
    std::string inject[2];
    inject[0] = take_injected(conn_->clid_b, conn_->clid_bsiz);
    inject[1] = take_injected(conn_->srvd_b, conn_->srvd_bsiz);
    after_module_call();
    if (o.action == ChunkAction::Overflow) {
        close(std::string(side_name(side)) + " sent more than " +
                  std::to_string(ctx_.settings->max_held_bytes) +
                  " bytes without completing a command",
              "held-bytes-exceeded");
        return;
    }
    account_held();
    if (closed_)
        return;
    int dest = other(side);
    std::string sent[2];
    sent[0] = take_outbox(0);
    sent[1] = take_outbox(1);
    // What the module sent during the tasklet goes first; the bytes it
    // asked the host to hold follow the chunk's own output.
    std::vector<asio::const_buffer> out;
    if (!sent[dest].empty())
        out.push_back(asio::buffer(sent[dest]));
    if (o.action == ChunkAction::Forward)
        for (size_t i = 0; i < iov_->iovc; ++i)
            out.push_back(asio::buffer(iov_->data[i], iov_->size[i]));
    if (!inject[dest].empty())
        out.push_back(asio::buffer(inject[dest]));
    if (!write_to(dest, out))
        return;
    std::vector<asio::const_buffer> back;
    if (!sent[side].empty())
        back.push_back(asio::buffer(sent[side]));
    if (!inject[side].empty())
        back.push_back(asio::buffer(inject[side]));
    if (!write_to(side, back))
        return;
    if (o.poisoned)
        poisoned_ = true;
}

void Connection::after_module_call()
{
    if (!conn_)
        return;
    if (conn_->eventsq)
        drain_events();
    if (conn_->explist)
        ctx_.expectations->take_list(&conn_->explist, module_, Clock::now());
}

bool Connection::write_to(int dest, const std::vector<asio::const_buffer> &bufs)
{
    size_t total = asio::buffer_size(bufs);
    if (total == 0)
        return true;
    if (writing_[dest]) {
        for (const auto &b : bufs)
            queued_[dest].append(static_cast<const char *>(b.data()), b.size());
        return true;
    }
    // Try to write at once: most chunks fit in the socket buffer, and then
    // nothing is copied.
    size_t done = 0;
    std::vector<asio::const_buffer> rest = bufs;
    while (done < total) {
        asio::error_code ec;
        size_t n = sock(dest).write_some(rest, ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again)
            break;
        if (ec) {
            close(std::string(side_name(dest)) + " write: " + ec.message());
            return false;
        }
        done += n;
        // Drop what was written from the front of `rest`.
        while (n && !rest.empty()) {
            if (n >= rest.front().size()) {
                n -= rest.front().size();
                rest.erase(rest.begin());
            } else {
                rest.front() += n;
                n = 0;
            }
        }
    }
    if (done == total)
        return true;
    pending_[dest].clear();
    for (const auto &b : rest)
        pending_[dest].append(static_cast<const char *>(b.data()), b.size());
    writing_[dest] = true;
    stuck_since_[dest] = Clock::now();
    asio::async_write(sock(dest), asio::buffer(pending_[dest]),
                      [self = shared_from_this(), dest](const asio::error_code &ec, size_t) {
                          self->on_written(dest, ec);
                      });
    return true;
}

void Connection::on_written(int dest, const asio::error_code &ec)
{
    writing_[dest] = false;
    if (closed_)
        return;
    last_active_ = Clock::now();
    if (ec) {
        close(std::string(side_name(dest)) + " write: " + ec.message());
        return;
    }
    release(pending_[dest]);
    if (!queued_[dest].empty()) {
        std::string q;
        q.swap(queued_[dest]);
        if (!write_to(dest, {asio::buffer(q)}))
            return;
    }
    settle();
}

void Connection::on_eof(int side)
{
    eof_[side] = true;
    // An incomplete command from a side that left never reaches the other.
    release(held_[side]);
    settle();
}

void Connection::settle()
{
    if (closed_ || stage_ != Stage::Relaying)
        return;
    for (int d = 0; d < 2; ++d) {
        if (eof_[other(d)] && !writing_[d] && !shut_[d]) {
            asio::error_code ec;
            sock(d).shutdown(tcp::socket::shutdown_send, ec);
            shut_[d] = true;
        }
    }
    bool idle = !writing_[0] && !writing_[1];
    if (idle && poisoned_) {
        close("the module ended the connection", "poisoned");
        return;
    }
    if (idle && eof_[0] && eof_[1]) {
        close("closed by both sides");
        return;
    }
    arm(0);
    arm(1);
}

void Connection::announce_open()
{
    announced_ = true;
    opened_ = Clock::now();
    {
        std::lock_guard<std::mutex> g(summary_lock_);
        status_opened_ = opened_;
    }
    NoticeAttrs a = ends_;
    a.emplace_back("user", hs_->target().user);
    a.emplace_back("module", module_ ? module_->name() : std::string());
    ctx_.events->notice("connection-open",
                        module_ ? "relayed through module " + module_->name() : "relayed as plain TCP",
                        tid_, a);
}

void Connection::begin_capture(const tcp::endpoint &client, const tcp::endpoint &server, const SocksTarget &t)
{
    auto end_of = [](const tcp::endpoint &ep) {
        CaptureEnd e;
        asio::ip::address a = ep.address();
        if (a.is_v6() && a.to_v6().is_v4_mapped())
            a = asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
        if (a.is_v4()) {
            auto b = a.to_v4().to_bytes();
            e.address.assign(reinterpret_cast<const char *>(b.data()), b.size());
        } else {
            auto b = a.to_v6().to_bytes();
            e.address.assign(reinterpret_cast<const char *>(b.data()), b.size());
        }
        e.port = ep.port();
        return e;
    };
    cap_ = std::make_unique<CaptureFlow>();
    cap_->client = end_of(client);
    cap_->server = end_of(server);
    if (cap_->client.address.size() != cap_->server.address.size()) {
        cap_.reset(); // one end IPv4, the other IPv6: no packet can say that
        return;
    }
    cap_->tid = tid_;
    cap_->socks_version = t.version;
    cap_->socks_user = t.user;
    timeval now{};
    gettimeofday(&now, nullptr);
    ctx_.capture->begin(*cap_, now);
}

void Connection::end_capture()
{
    if (!cap_)
        return;
    timeval now{};
    gettimeofday(&now, nullptr);
    ctx_.capture->end(*cap_, now);
    cap_.reset();
}

void Connection::close(const std::string &why, const std::string &notice_kind)
{
    if (closed_)
        return;
    closed_ = true;
    end_capture();
    stage_ = Stage::Closed;
    if (!notice_kind.empty())
        ctx_.events->notice(notice_kind, why, tid_);
    if (announced_) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - opened_);
        char duration[32];
        std::snprintf(duration, sizeof duration, "%.3f", static_cast<double>(ms.count()) / 1000.0);
        NoticeAttrs a = ends_;
        a.emplace_back("bytes-from-client", std::to_string(bytes_from_[0]));
        a.emplace_back("bytes-from-server", std::to_string(bytes_from_[1]));
        a.emplace_back("duration", duration);
        a.emplace_back("reason", why);
        ctx_.events->notice("connection-close", why, tid_, a);
    }
    asio::error_code ec;
    timer_.cancel();
    resolver_.cancel();
    // The module lets go of the connection before its sockets are closed:
    // until then its timers may still write to them.
    if (module_ && conn_) {
        if (module_->ops().tasklet_fini)
            module_->ops().tasklet_fini(module_->record(), conn_);
        drain_events();
        if (ctx_.archive)
            ctx_.archive->end(tid_);
    }
    tqconn_outbox_close(conn_);
    client_.close(ec);
    server_.close(ec);
    if (conn_) {
        conn_->clid = -1;
        conn_->srvd = -1;
    }
    ctx_.held_total -= held_counted_;
    held_counted_ = 0;
    ctx_.table->remove(tid_);
}

void Connection::account_held()
{
    size_t now = held_[0].size() + held_[1].size();
    size_t total = ctx_.held_total += now - held_counted_; // wraps back when it shrinks
    held_counted_ = now;
    if (now > 0 && total > ctx_.settings->max_held_bytes_total)
        close("the gateway holds " + std::to_string(total) + " bytes of incomplete commands, more than " +
                  std::to_string(ctx_.settings->max_held_bytes_total),
              "held-bytes-budget");
}

void Connection::watch()
{
    const long idle = ctx_.settings->idle_timeout, stall = ctx_.settings->stall_timeout;
    if (idle <= 0 && stall <= 0)
        return;
    long shortest = idle <= 0 ? stall : stall <= 0 ? idle : std::min(idle, stall);
    // A quarter of the shortest limit: a connection ends at most a quarter
    // late, and a long limit costs one wake-up in minutes.
    auto period = std::chrono::milliseconds(std::clamp(shortest * 250, 250L, 60000L));
    timer_.expires_after(period);
    timer_.async_wait([self = shared_from_this(), idle, stall](const asio::error_code &ec) {
        if (ec || self->closed_)
            return;
        auto now = Clock::now();
        if (idle > 0 && now - self->last_active_ >= std::chrono::seconds(idle)) {
            self->close("nothing relayed for " + std::to_string(idle) + " s", "idle-timeout");
            return;
        }
        for (int d = 0; d < 2; ++d)
            if (stall > 0 && self->writing_[d] && now - self->stuck_since_[d] >= std::chrono::seconds(stall)) {
                self->close(std::string("the ") + side_name(d) + " took none of the bytes for it in " +
                                std::to_string(stall) + " s",
                            "stall-timeout");
                return;
            }
        self->watch();
    });
}

} // namespace gw
