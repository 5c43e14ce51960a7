#include "replay.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "chunk.h"
#include "expectations.h"
#include "tq3_iovec.h"
#include "tqevents_interface.h"
#include "verdict_trace.h"

namespace tqreplay {

namespace {

time_t g_now = 0;
time_t replay_clock()
{
    return g_now;
}

// The value of "KEY": in one of our own JSON lines (a string or a number).
bool json_field(const std::string &line, const std::string &key, std::string &value)
{
    std::string tag = "\"" + key + "\":";
    size_t at = line.find(tag);
    if (at == std::string::npos)
        return false;
    at += tag.size();
    value.clear();
    if (at < line.size() && line[at] == '"') {
        for (size_t i = at + 1; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) {
                value += line[++i];
            } else if (line[i] == '"') {
                return true;
            } else {
                value += line[i];
            }
        }
        return false;
    }
    size_t end = line.find_first_of(",}", at);
    value = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
    return true;
}

constexpr const char *kClientVerbs[] = {"VER ", "USR ", "ANS ", "CVR "};

bool starts_msnp_client(const std::string &bytes)
{
    for (const char *verb : kClientVerbs)
        if (bytes.compare(0, 4, verb) == 0)
            return true;
    return false;
}

// Whether the first bytes are too few to tell: they begin a client's verb.
bool may_start_msnp_client(const std::string &bytes)
{
    if (bytes.size() >= 4)
        return false;
    for (const char *verb : kClientVerbs)
        if (bytes.compare(0, bytes.size(), verb, bytes.size()) == 0)
            return true;
    return false;
}

uint32_t ipv4(const Endpoint &e)
{
    uint32_t a = 0;
    if (e.address.size() == 4)
        memcpy(&a, e.address.data(), 4);
    return a;
}

struct StreamState {
    bool decided = false; // whether it is MSNP is known
    bool msnp = false;
    bool dead = false;    // the gateway would have ended it
    tqconn *conn = nullptr;
    tq3_iov *iov = nullptr;
    std::string held[2];
    std::string first; // the client's first bytes, while too few to tell
    uint64_t bytes[2] = {0, 0};
    std::string client, server;
};

struct Run {
    gw::ModuleHost &module;
    const ReplayOptions &opt;
    const std::function<void(const std::string &)> &warn;
    gw::ExpectationRegistry expectations;
    std::vector<std::unique_ptr<StreamState>> states;
    std::vector<Verdict> out;

    // Where the trace of one chunk goes.
    StreamState *tracing = nullptr;
    size_t tracing_index = 0;
    uint64_t tracing_base = 0;

    bool is_msnp_port(uint16_t port) const
    {
        for (uint16_t p : opt.msnp_ports)
            if (p == port)
                return true;
        return false;
    }

    static gw::Clock::time_point at(const timeval &ts)
    {
        return gw::Clock::time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::microseconds(ts.tv_usec));
    }

    void open(Reassembler::Stream &s, const Segment &first)
    {
        if (!s.saw_syn) {
            // Which end is the client: the server's port, the gateway's own
            // record, the first words, or the higher port.
            const std::string key = s.client.text() + " " + s.server.text();
            const std::string back = s.server.text() + " " + s.client.text();
            bool swap = false;
            if (is_msnp_port(s.server.port) || opt.meta.count(key))
                swap = false;
            else if (is_msnp_port(s.client.port) || opt.meta.count(back))
                swap = true;
            else if (!first.payload.empty())
                swap = !starts_msnp_client(first.payload) && s.client.port < s.server.port;
            else
                swap = s.client.port < s.server.port;
            if (swap)
                std::swap(s.client, s.server);
        }
        auto st = std::make_unique<StreamState>();
        st->client = s.client.text();
        st->server = s.server.text();
        auto meta = opt.meta.find(st->client + " " + st->server);
        std::vector<gw::ExpectationMatch> matches;
        if (s.client.address.size() == 4)
            matches = expectations.match(ipv4(s.client), htons(s.client.port), ipv4(s.server), htons(s.server.port),
                                         at(first.ts));
        bool expected = false;
        for (const auto &m : matches)
            expected = expected || !m.data_only;
        if (meta != opt.meta.end() || expected || is_msnp_port(s.server.port)) {
            st->decided = st->msnp = true;
        }
        st->conn = tqconn_new();
        st->iov = tq3_iov_new();
        if (!st->conn || !st->iov) {
            warn("out of memory");
            st->decided = true;
            st->msnp = false;
        } else {
            st->conn->tid = s.index + 1;
            st->conn->saddr = ipv4(s.client);
            st->conn->sport = htons(s.client.port);
            st->conn->daddr = ipv4(s.server);
            st->conn->dport = htons(s.server.port);
            if (meta != opt.meta.end()) {
                st->conn->version = meta->second.socks_version;
                if (meta->second.socks_version == 5 && !meta->second.socks_user.empty()) {
                    auto *h = static_cast<tq_socks5_header *>(calloc(1, sizeof(tq_socks5_header)));
                    if (h) {
                        h->user = strdup(meta->second.socks_user.c_str());
                        st->conn->header.socks5 = h;
                    }
                }
            }
            for (const auto &m : matches)
                if (m.expectation->data)
                    tqlist_insert_end(&st->conn->expdata, m.expectation->data);
        }
        s.user = st.get();
        states.push_back(std::move(st));
        if (static_cast<StreamState *>(s.user)->msnp)
            start(*static_cast<StreamState *>(s.user));
    }

    void start(StreamState &st)
    {
        if (module.ops().tasklet_init && module.ops().tasklet_init(module.record(), st.conn) != 0)
            st.dead = true;
        after(st, {});
    }

    void after(StreamState &st, const timeval &ts)
    {
        tqconn *c = st.conn;
        // What the module would have sent (warnings, notices) is not replayed.
        gw::take_injected(c->clid_b, c->clid_bsiz);
        gw::take_injected(c->srvd_b, c->srvd_bsiz);
        tqevents_destroy_queue(&c->eventsq);
        if (c->explist)
            expectations.take_list(&c->explist, &module, at(ts));
    }

    static void sink(void *ctx, const tq3_trace_command *c)
    {
        auto *run = static_cast<Run *>(ctx);
        StreamState &st = *run->tracing;
        Verdict v;
        v.stream = run->tracing_index;
        v.client = st.client;
        v.server = st.server;
        v.direction = gw::trace_direction(c->direction);
        v.offset = run->tracing_base + c->offset;
        v.when = c->when;
        v.user = c->user ? c->user : "";
        v.command = c->command ? c->command : "";
        v.outcome = tqevents_match_name(c->outcome);
        v.rewritten = c->rewritten != 0;
        for (size_t i = 0; i < c->count; ++i) {
            const tq3_trace_decision &d = c->decisions[i];
            v.decisions.push_back({d.contact ? d.contact : "", tqevents_match_name(d.verdict), d.rule ? d.rule : "",
                                   d.owner ? d.owner : "", d.target ? d.target : "", d.position});
        }
        v.json = gw::trace_json(*c, st.client, st.server, run->tracing_base);
        run->out.push_back(std::move(v));
    }

    void data(Reassembler::Stream &s, int side, const std::string &chunk, const timeval &ts)
    {
        auto &st = *static_cast<StreamState *>(s.user);
        std::string first;
        if (!st.decided) {
            // A connection is told by its first words, however few bytes
            // its first segment holds.
            first = st.first + chunk;
            if (side == 0 && may_start_msnp_client(first)) {
                st.first = first;
                return;
            }
            st.first.clear();
            st.decided = true;
            st.msnp = side == 0 && starts_msnp_client(first);
            if (st.msnp)
                start(st);
        }
        const std::string &bytes = first.empty() ? chunk : first;
        if (!st.msnp || st.dead)
            return;
        g_now = ts.tv_sec;
        uint64_t base = st.bytes[side] - st.held[side].size();
        st.bytes[side] += bytes.size();
        tracing = &st;
        tracing_index = s.index;
        tracing_base = base;
        gw::ChunkOutcome o;
        if (module.trace_set())
            module.trace_set()(sink, this);
        o = gw::run_chunk(module.record(), st.conn, st.iov, st.held[side],
                          side == 0 ? DIR_CLIENT_TO_SERVER : DIR_SERVER_TO_CLIENT,
                          reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), opt.max_held_bytes);
        if (module.trace_set())
            module.trace_set()(nullptr, nullptr);
        tracing = nullptr;
        after(st, ts);
        if (o.action == gw::ChunkAction::Overflow || o.poisoned)
            st.dead = true; // the gateway ends such a connection
    }

    void close(Reassembler::Stream &s, const timeval &ts)
    {
        auto &st = *static_cast<StreamState *>(s.user);
        g_now = ts.tv_sec;
        if (st.msnp && st.conn && module.ops().tasklet_fini) {
            module.ops().tasklet_fini(module.record(), st.conn);
            after(st, ts);
        }
        release(st);
    }

    static void release(StreamState &st)
    {
        if (st.conn) {
            tqlist_destroy_without_refs(&st.conn->expdata);
            tqconn_destroy(st.conn);
            st.conn = nullptr;
        }
        if (st.iov) {
            tq3_iov_dtr(st.iov);
            st.iov = nullptr;
        }
    }
};

} // namespace

std::string Decision::by() const
{
    if (!relation())
        return rule;
    return owner + " #" + std::to_string(position) + " (" + target + ")";
}

void read_connection_meta(const std::string &jsonl, std::map<std::string, ConnectionMeta> &meta)
{
    std::ifstream in(jsonl);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("{\"connection\":true", 0) != 0)
            continue;
        std::string client, server, version, user;
        if (!json_field(line, "client", client) || !json_field(line, "server", server))
            continue;
        ConnectionMeta m;
        if (json_field(line, "socks_version", version))
            m.socks_version = std::atoi(version.c_str());
        if (json_field(line, "socks_user", user) && user != "null")
            m.socks_user = user;
        meta[client + " " + server] = m;
    }
}

std::vector<Verdict> replay(gw::ModuleHost &module, const std::vector<Segment> &segments, const ReplayOptions &o,
                            const std::function<void(const std::string &)> &warn)
{
    Run run{module, o, warn, gw::ExpectationRegistry{}, {}, {}};
    if (module.clock_set())
        module.clock_set()(replay_clock);
    Reassembler::Events ev;
    ev.open = [&](Reassembler::Stream &s, const Segment &first) { run.open(s, first); };
    ev.data = [&](Reassembler::Stream &s, int side, const std::string &b, const timeval &ts) { run.data(s, side, b, ts); };
    ev.close = [&](Reassembler::Stream &s, const timeval &ts) { run.close(s, ts); };
    ev.warn = warn;
    Reassembler r(ev);
    timeval last{};
    for (const Segment &s : segments) {
        g_now = s.ts.tv_sec;
        run.expectations.expire(Run::at(s.ts));
        r.add(s);
        last = s.ts;
    }
    r.finish(last);
    for (auto &st : run.states)
        Run::release(*st);
    run.expectations.clear();
    if (module.clock_set())
        module.clock_set()(nullptr);
    return std::move(run.out);
}

} // namespace tqreplay
