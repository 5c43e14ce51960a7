/* Connection trackers: creation and destruction, the participants of a
 * switchboard conversation, the chat-time estimate and the tracker's XML
 * form. A tracker is used without a lock by its own connection; only the
 * participants, which other threads read, have one. */
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <new>
#include <shared_mutex>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_log.h"
#include "tq3_msnp_statistics.h"
#include "tqconn.h"

namespace {

char *copy_or_null(const char *text)
{
    return text ? strdup(text) : nullptr;
}

/* Gaps of a minute or more are pauses, not conversation. */
constexpr time_t kChatGap = 61;
constexpr int kChatPause = 5;

/* Where a counter lies in the block, in bytes (the block is nothing but
 * counters of one type). */
uint16_t place_of(unsigned long msnp_statistics::*counter)
{
    static const msnp_statistics block{};
    return static_cast<uint16_t>(reinterpret_cast<const char *>(&(block.*counter)) -
                                 reinterpret_cast<const char *>(&block));
}

} // namespace

void msnp_conn_counts::add(unsigned long msnp_statistics::*counter, unsigned long amount)
{
    const uint16_t place = place_of(counter);
    std::lock_guard<std::mutex> hold(lock_);
    for (auto &c : counts_)
        if (c.first == place) {
            c.second += amount;
            return;
        }
    try {
        counts_.emplace_back(place, amount);
    } catch (const std::bad_alloc &) {
        /* A count lost, the connection kept. */
    }
}

unsigned long msnp_conn_counts::get(unsigned long msnp_statistics::*counter) const
{
    const uint16_t place = place_of(counter);
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto &c : counts_)
        if (c.first == place)
            return c.second;
    return 0;
}

void msnp_conn_counts::fill(msnp_statistics &out) const
{
    msnp_statistics_zero(&out);
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto &c : counts_)
        memcpy(reinterpret_cast<char *>(&out) + c.first, &c.second, sizeof c.second);
}

msnp_conntrack *msnp_conntrack_new(const char *handle, tqconn *conn, msnp_person *person)
{
    auto *ct = new (std::nothrow) msnp_conntrack();
    if (!ct)
        return nullptr;
    ct->user_handle = copy_or_null(handle);
    if (handle && !ct->user_handle) {
        delete ct;
        return nullptr;
    }
    ct->conn = conn;
    ct->person = person;
    ct->time = msnp_now();
    return ct;
}

void msnp_conntrack_destroy(msnp_conntrack *ct)
{
    if (!ct)
        return;
    free(ct->session);
    free(ct->cont_handle);
    msnp_log_write(ct);
    if (ct->chat_log)
        fclose(ct->chat_log);
    {
        std::unique_lock<std::shared_mutex> guard(ct->ss_users_lock);
        tqlist_destroy(&ct->ss_users, nullptr); /* frees the handles */
    }
    free(ct->user_handle);
    tqlist_destroy(&ct->si_skipl, nullptr);
    delete ct;
}

int callback_search_string(const void *str1, const void *str2)
{
    return str1 && str2 && strcmp(static_cast<const char *>(str1), static_cast<const char *>(str2)) == 0;
}

tqlist *ss_user_search(tqlist *ss_users, const char *user)
{
    return tqlist_search(ss_users, callback_search_string, user);
}

bool msnp_participants_insert_unique(msnp_conntrack *ct, const char *user)
{
    if (!ct || !user)
        return false;
    if (ct->user_handle && strcmp(ct->user_handle, user) == 0)
        return false;
    std::unique_lock<std::shared_mutex> guard(ct->ss_users_lock);
    if (ss_user_search(ct->ss_users, user))
        return false;
    char *copy = strdup(user);
    if (!copy)
        return false;
    if (!tqlist_insert_begin(&ct->ss_users, copy)) {
        free(copy);
        return false;
    }
    return true;
}

int msnp_estimate_chat_time(msnp_conntrack *ct)
{
    if (!ct || !ct->conn)
        return 0;
    time_t last;
    if (ct->conn->direction == DIR_CLIENT_TO_SERVER)
        last = ct->time_last_message_send;
    else if (ct->conn->direction == DIR_SERVER_TO_CLIENT)
        last = ct->time_last_message_rcvd;
    else
        return 0;
    time_t now = msnp_now();
    if (last && now - last < kChatGap)
        return static_cast<int>(now - last);
    return kChatPause;
}

void msnp_mark_idle_conntrack(msnp_conntrack *ct)
{
    if (ct && ct->last_mark != ct->clean_to_warn)
        ct->last_mark = ct->clean_to_warn;
}

void msnp_exp_data_destructor(msnp_session *data)
{
    if (!data)
        return;
    free(data->auth);
    data->auth = nullptr;
    free(data->sess);
    data->sess = nullptr;
    free(data->user);
    data->user = nullptr;
}

iks *serialize_conntrack(msnp_conntrack *ct)
{
    if (!ct)
        return nullptr;
    iks *x = iks_new("msnp-conntrack");
    if (!x)
        return nullptr;
    iks_insert_cdata(x, "\n", 1);
    if (ct->master == 1)
        iks_insert_attrib(x, "master", "1");
    char buf[32];
    time_t created = ct->time;
    struct tm tm;
    if (localtime_r(&created, &tm))
        created = mktime(&tm);
    snprintf(buf, sizeof buf, "%ld", static_cast<long>(created));
    iks_insert_attrib(x, "creation", buf);
    if (ct->session && ct->cont_handle) {
        size_t n = strlen(ct->session) + strlen(ct->cont_handle) + 2;
        char *session = static_cast<char *>(malloc(n));
        if (session) {
            snprintf(session, n, "%s/%s", ct->session, ct->cont_handle);
            iks_insert_attrib(x, "session", session);
            free(session);
        }
    }
    if (ct->user_handle) {
        iks_insert_cdata(iks_insert(x, "handle"), ct->user_handle, 0);
        iks_insert_cdata(x, "\n", 1);
    }
    {
        std::shared_lock<std::shared_mutex> guard(ct->ss_users_lock);
        for (tqlist *l = ct->ss_users; l; l = l->next) {
            iks_insert_cdata(iks_insert(x, "handle"), static_cast<const char *>(l->data), 0);
            iks_insert_cdata(x, "\n", 1);
        }
    }
    msnp_statistics block;
    ct->stats.fill(block);
    iks *stats = msnp_statistics_serialize(&block, iks_stack(x), 0);
    if (stats) {
        iks_insert_node(x, stats);
        iks_insert_cdata(x, "\n", 1);
    }
    return x;
}
