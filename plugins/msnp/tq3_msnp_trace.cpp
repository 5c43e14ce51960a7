/* Verdict trace: what decided each command, for captures and replays. */
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <shared_mutex>
#include <string>
#include <vector>

#include "tq3_core_interface.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_rtree.h"
#include "tq3_msnp_trace.h"
#include "tq3_trace.h"
#include "tqconn.h"

std::atomic<int> msnp_tracing_threads{0};

namespace {

struct noted {
    std::string contact, rule, owner, target;
    match_t verdict;
    int position;
    bool relation;
};

struct trace_state {
    tq3_trace_sink sink = nullptr;
    void *ctx = nullptr;
    bool in_command = false;
    std::vector<noted> decisions;
    std::string signing_in; /* the user a sign-in rule refused, when no tracker names one */
};
thread_local trace_state t_trace;

std::string owner_name(const msnp_relates *r)
{
    if (!r->back)
        return "";
    if (r->back_type == MSNP_OBJECT_NODE) {
        char *path = rtree_reverse(static_cast<msnp_rtree *>(r->back));
        std::string out = path ? path : "";
        free(path);
        return out;
    }
    auto *person = static_cast<const msnp_person *>(r->back);
    return person->ident ? person->ident : "";
}

tqlist *owner_relations(const msnp_relates *r)
{
    if (!r->back)
        return nullptr;
    if (r->back_type == MSNP_OBJECT_NODE)
        return static_cast<msnp_rtree *>(r->back)->contactl;
    return static_cast<msnp_person *>(r->back)->contactl;
}

std::string target_name(const msnp_relates *r)
{
    const char *name = nullptr;
    if (r->rel_type == MSNP_OBJECT_PERSON && r->relation)
        name = static_cast<const msnp_person *>(r->relation)->ident;
    else if (r->rel_type == MSNP_OBJECT_GROUP && r->relation)
        name = static_cast<const msnp_group *>(r->relation)->ident;
    return name ? name : "";
}

} // namespace

void msnp_trace_decision(const char *contact, match_t verdict, const char *rule, const msnp_relates *relation)
{
    if (!msnp_tracing())
        return;
    trace_state &t = t_trace;
    if (!t.sink || !t.in_command)
        return;
    noted n{contact ? contact : "", rule ? rule : "", "", "", verdict, 0, relation != nullptr};
    if (relation) {
        n.rule = "relation";
        n.owner = owner_name(relation);
        n.target = target_name(relation);
        int at = 1;
        for (tqlist *l = owner_relations(relation); l; l = l->next, ++at)
            if (l->data == relation) {
                n.position = at;
                break;
            }
    }
    t.decisions.push_back(std::move(n));
}

void msnp_trace_sign_in_refused(const char *user, const char *why)
{
    if (!msnp_tracing())
        return;
    msnp_trace_decision(user, TQ_MATCH_BLOCK, why, nullptr);
    trace_state &t = t_trace;
    if (t.in_command && user)
        t.signing_in = user;
}

void msnp_trace_begin()
{
    if (!msnp_tracing())
        return;
    trace_state &t = t_trace;
    t.decisions.clear();
    t.signing_in.clear();
    t.in_command = t.sink != nullptr;
}

void msnp_trace_end(tqconn *conn, const char *piece, size_t size, size_t offset, match_t outcome, int rewritten)
{
    if (!msnp_tracing())
        return;
    trace_state &t = t_trace;
    t.in_command = false;
    if (!t.sink || t.decisions.empty())
        return;
    size_t line = 0;
    while (line < size && line < 200 && piece[line] != '\r' && piece[line] != '\n')
        ++line;
    std::string command(piece, line);
    auto *ct = conn ? static_cast<msnp_conntrack *>(conn->plugin) : nullptr;
    std::vector<tq3_trace_decision> out;
    out.reserve(t.decisions.size());
    for (const noted &n : t.decisions)
        out.push_back({n.contact.c_str(), n.verdict, n.rule.c_str(), n.relation ? n.owner.c_str() : nullptr,
                       n.relation ? n.target.c_str() : nullptr, n.position});
    tq3_trace_command rec{msnp_now(),
                          conn ? conn->tid : 0,
                          conn ? conn->direction : DIR_CLIENT_TO_SERVER,
                          ct && ct->user_handle ? ct->user_handle
                          : t.signing_in.empty()  ? nullptr
                                                  : t.signing_in.c_str(),
                          command.c_str(),
                          offset,
                          outcome,
                          rewritten,
                          out.size(),
                          out.data()};
    t.sink(t.ctx, &rec);
    t.decisions.clear();
}

extern "C" {

void tq3_trace_set(tq3_trace_sink sink, void *ctx)
{
    trace_state &t = t_trace;
    if (!t.sink && sink)
        msnp_tracing_threads.fetch_add(1, std::memory_order_relaxed);
    else if (t.sink && !sink)
        msnp_tracing_threads.fetch_sub(1, std::memory_order_relaxed);
    t.sink = sink;
    t.ctx = ctx;
    t.decisions.clear();
    t.in_command = false;
}

void tq3_clock_set(time_t (*clock)(void))
{
    msnp_set_clock(clock);
}

size_t tq3_conn_user(tqconn *conn, char *buf, size_t size)
{
    if (!conn || !conn->plugin || !buf || size == 0)
        return 0;
    auto *ct = static_cast<msnp_conntrack *>(conn->plugin);
    if (!ct->user_handle) {
        buf[0] = '\0';
        return 0;
    }
    size_t n = strlen(ct->user_handle);
    if (n >= size)
        n = size - 1;
    memcpy(buf, ct->user_handle, n);
    buf[n] = '\0';
    return n;
}

size_t tq3_conn_contacts(tqconn *conn, char *buf, size_t size)
{
    if (!conn || !conn->plugin || !buf || size == 0)
        return 0;
    auto *ct = static_cast<msnp_conntrack *>(conn->plugin);
    std::string out;
    {
        std::shared_lock<std::shared_mutex> g(ct->ss_users_lock);
        for (tqlist *l = ct->ss_users; l; l = l->next)
            if (l->data)
                out.insert(0, std::string(static_cast<const char *>(l->data)) + (out.empty() ? "" : ", "));
    }
    if (out.empty() && ct->cont_handle)
        out = ct->cont_handle;
    size_t n = std::min(out.size(), size - 1);
    memcpy(buf, out.data(), n);
    buf[n] = '\0';
    return n;
}

} // extern "C"
