/* Helpers shared by the traffic-path tests: I/O vector conversions, a
 * module record and connection on the stack, and a command table whose
 * handlers record what they are given so that routing can be observed
 * without product handlers. */
#ifndef TESTS_MSNP_TRAFFIC_HELPERS_H
#define TESTS_MSNP_TRAFFIC_HELPERS_H

#include <pthread.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "tq3_msnp.h"

namespace traffic {

inline std::string S(const char *bytes, size_t len) { return std::string(bytes, len); }

/* A module record as the host would pass it, without the host. */
struct Module {
    tq3_module m{};
    Module() { pthread_rwlock_init(&m.data_lock, nullptr); m.version = 1; }
    ~Module()
    {
        tqlist_destroy_without_refs(&m.data);
        pthread_rwlock_destroy(&m.data_lock);
    }
    tq3_module *get() { return &m; }
};

struct Conn {
    tqconn c{};
    explicit Conn(conn_direction dir = DIR_CLIENT_TO_SERVER, void *plugin = nullptr)
    {
        c.direction = dir;
        c.plugin = plugin;
        c.clid = c.srvd = -1;
    }
    tqconn *get() { return &c; }
};

struct Iov {
    tq3_iov *v = tq3_iov_new();
    Iov() = default;
    explicit Iov(const std::string &bytes) { add(bytes); }
    ~Iov() { tq3_iov_dtr(v); }
    Iov(const Iov &) = delete;
    Iov &operator=(const Iov &) = delete;
    void add(const std::string &bytes) { tq3_iov_add(v, bytes.data(), bytes.size()); }
    std::string joined() const
    {
        std::string out;
        for (size_t i = 0; i < v->iovc; ++i)
            out.append(reinterpret_cast<const char *>(v->data[i]), v->size[i]);
        return out;
    }
    std::vector<std::string> pieces() const
    {
        std::vector<std::string> out;
        for (size_t i = 0; i < v->iovc; ++i)
            out.emplace_back(reinterpret_cast<const char *>(v->data[i]), v->size[i]);
        return out;
    }
};

struct Seen {
    msnp_opcode opcode;
    conn_direction direction;
    std::string bytes;
    std::vector<std::string> words;
    bool had_safe_buffer;
};

/* What the recording handlers saw, and what they answer. */
struct Recorder {
    std::vector<Seen> seen;
    std::function<match_t(task_struct *)> verdict = [](task_struct *) { return TQ_MATCH_PASS; };
    std::vector<std::string> commands() const
    {
        std::vector<std::string> out;
        for (const auto &s : seen)
            out.push_back(s.bytes);
        return out;
    }
};

inline Recorder *&current_recorder()
{
    static Recorder *rec = nullptr;
    return rec;
}

inline match_t record_handler(task_struct *t)
{
    Recorder *rec = current_recorder();
    if (!rec)
        return TQ_MATCH_PASS;
    Seen s;
    s.opcode = t->opcode;
    s.direction = t->conn ? t->conn->direction : DIR_UNKNOWN;
    s.bytes.assign(t->data_buffer, t->buffer_size);
    for (size_t i = 0; i < t->data_bpsize; ++i)
        s.words.emplace_back(t->data_pieces[i]);
    s.had_safe_buffer = t->safe_buffer != nullptr;
    rec->seen.push_back(s);
    return rec->verdict(t);
}

/* ltable with a recording handler in both directions of every command
 * (the end marker keeps none). */
inline const msnp_table *recording_table()
{
    static msnp_table table[MSN_OPCODE_UNKNOWN + 1];
    static bool made = false;
    if (!made) {
        for (int i = 0; i <= MSN_OPCODE_UNKNOWN; ++i) {
            table[i] = ltable[i];
            if (i != MSN_OPCODE_UNKNOWN)
                table[i].handler[0] = table[i].handler[1] = record_handler;
        }
        made = true;
    }
    return table;
}

inline const msnp_table *recording_lookup(const char *text)
{
    return &recording_table()[table_search_opcode_wrapper(text)->opcode];
}

/* Installs a recorder for the lifetime of the object. */
struct RecordScope {
    Recorder rec;
    RecordScope() { current_recorder() = &rec; }
    ~RecordScope() { current_recorder() = nullptr; }
};

} // namespace traffic

#endif
