/* Shared by the traffic-path tests: a module record and connection without
 * the host, I/O vector conversions, and a copy of the command table whose
 * handlers record what they get, so routing is observable without product
 * handlers. */
#ifndef TESTS_MSNP_TRAFFIC_HELPERS_H
#define TESTS_MSNP_TRAFFIC_HELPERS_H

#include <pthread.h>

#include <functional>
#include <string>
#include <vector>

#include "tq3_msnp.h"
#include "tq3_msnp_dispatcher.h"
#include "tq3_msnp_task.h"

namespace traffic {

struct Module {
    tq3_module m{};
    Module() { pthread_rwlock_init(&m.data_lock, nullptr); }
    ~Module() { tqlist_destroy_without_refs(&m.data); pthread_rwlock_destroy(&m.data_lock); }
};

inline tqconn make_conn(conn_direction dir, void *plugin = nullptr)
{
    tqconn c{};
    c.direction = dir;
    c.plugin = plugin;
    c.clid = c.srvd = -1;
    return c;
}

struct Iov {
    tq3_iov *v = tq3_iov_new();
    explicit Iov(const std::vector<std::string> &parts = {})
    {
        for (const auto &p : parts)
            tq3_iov_add(v, p.data(), p.size());
    }
    ~Iov() { tq3_iov_dtr(v); }
    std::vector<std::string> pieces() const
    {
        std::vector<std::string> out;
        for (size_t i = 0; i < v->iovc; ++i)
            out.emplace_back(reinterpret_cast<const char *>(v->data[i]), v->size[i]);
        return out;
    }
    std::string joined() const
    {
        std::string out;
        for (const auto &p : pieces())
            out += p;
        return out;
    }
};

struct Seen {
    msnp_opcode opcode;
    conn_direction direction;
    std::string bytes;
    std::vector<std::string> words;
};

/* While alive, the recording handlers log into it and answer `verdict`. */
struct Recorder {
    std::vector<Seen> seen;
    std::function<match_t(task_struct *)> verdict = [](task_struct *) { return TQ_MATCH_PASS; };
    static Recorder *&current() { static Recorder *r = nullptr; return r; }
    Recorder() { current() = this; }
    ~Recorder() { current() = nullptr; }
    std::vector<std::string> commands() const
    {
        std::vector<std::string> out;
        for (const auto &s : seen)
            out.push_back(s.bytes);
        return out;
    }
};

inline match_t record_handler(task_struct *t)
{
    Recorder *r = Recorder::current();
    if (!r)
        return TQ_MATCH_PASS;
    Seen s{t->opcode, t->conn->direction, std::string(t->data_buffer, t->buffer_size), {}};
    for (size_t i = 0; i < t->data_bpsize; ++i)
        s.words.emplace_back(t->data_pieces[i]);
    r->seen.push_back(s);
    return r->verdict(t);
}

/* ltable's entry for `cmd` with the recording handler in both slots. */
inline msnp_table recording_entry(const char *cmd)
{
    msnp_table e = *table_search_opcode(cmd);
    e.handler[0] = e.handler[1] = record_handler;
    return e;
}

/* Lookup for msnp_tasklet_lookup: every known command records. */
inline const msnp_table *recording_lookup(const char *text)
{
    static msnp_table table[MSN_OPCODE_UNKNOWN + 1];
    static bool made = false;
    if (!made) {
        for (int i = 0; i < MSN_OPCODE_UNKNOWN; ++i)
            table[i] = recording_entry(ltable[i].strcmd);
        table[MSN_OPCODE_UNKNOWN] = ltable[MSN_OPCODE_UNKNOWN];
        made = true;
    }
    return &table[table_search_opcode_wrapper(text)->opcode];
}

} // namespace traffic

#endif
