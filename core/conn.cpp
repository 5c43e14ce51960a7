// Connection records, expectations, module records and the socket writer.
#include <atomic>
#include <mutex>
#include <string>
#include "tqconn.h"
#include "tqevents_interface.h"
#include "trevalquin_plugin.h"
#include "variables.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Buckets for a module namespace: modules keep a few dozen variables and
// one counter per verdict kind.
constexpr size_t kNamespaceBuckets = 256;

// How long atomic_send waits for a non-blocking descriptor to take more
// bytes before it gives up on a peer that stopped reading.
constexpr int kSendStallMs = 10000;

// Waits until `fd` can take more bytes: 1 ready, 0 timed out, -1 error.
int wait_writable(int fd)
{
    struct pollfd p = {fd, POLLOUT, 0};
    for (;;) {
        int r = poll(&p, 1, kSendStallMs);
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0 ? 1 : r;
    }
}

} // namespace

struct tqconn_outbox {
    std::mutex lock;
    std::string waiting[2];
    // Set with the first byte, cleared when both sides are taken: the
    // relay asks after every chunk, and almost always nothing waits.
    std::atomic<bool> any{false};
    void (*wake)(void *) = nullptr;
    void *ctx = nullptr;
};

extern "C" {

tq3_expectation *tq3_expectation_new(void)
{
    // calloc leaves every mask 0, which matches anything.
    return static_cast<tq3_expectation *>(std::calloc(1, sizeof(tq3_expectation)));
}

void tq3_expectation_destroy(tq3_expectation *e)
{
    if (!e)
        return;
    if (e->data && e->data_destructor)
        e->data_destructor(e->data);
    std::free(e);
}

int tq3_expectation_match(const tq3_expectation *e, uint32_t saddr, uint16_t sport, uint32_t daddr,
                          uint16_t dport)
{
    if (!e)
        return 0;
    return ((saddr ^ e->saddr) & e->smask) == 0 && ((daddr ^ e->daddr) & e->dmask) == 0 &&
           ((sport ^ e->sport) & e->spmask) == 0 && ((dport ^ e->dport) & e->dpmask) == 0;
}

tqconn *tqconn_new(void)
{
    auto *c = static_cast<tqconn *>(std::calloc(1, sizeof(tqconn)));
    if (!c)
        return nullptr;
    c->clid = -1;
    c->srvd = -1;
    return c;
}

void tqconn_destroy(tqconn *c)
{
    if (!c)
        return;
    for (int i = 0; i < ID_MAX; ++i) {
        std::free(c->client[i]);
        std::free(c->protocol[i]);
    }
    delete c->outbox;
    std::free(c->clid_b);
    std::free(c->srvd_b);
    tqlist_destroy(&c->explist,
                   [](void *e) { tq3_expectation_destroy(static_cast<tq3_expectation *>(e)); });
    tqevents_destroy_queue(&c->eventsq);
    if (c->header.socks5) {
        std::free(c->header.socks5->user);
        std::free(c->header.socks5);
    }
    std::free(c);
}

ssize_t tqconn_send(tqconn *conn, int sock, const void *bytes, size_t len)
{
    if (!conn || sock < 0 || (sock != conn->clid && sock != conn->srvd) || (!bytes && len)) {
        errno = EINVAL;
        return -1;
    }
    tqconn_outbox *box = conn->outbox;
    if (!box)
        return atomic_send(sock, bytes, len);
    std::lock_guard<std::mutex> g(box->lock);
    if (!box->wake) {
        errno = EPIPE;
        return -1;
    }
    std::string &q = box->waiting[sock == conn->clid ? 0 : 1];
    const bool was_empty = box->waiting[0].empty() && box->waiting[1].empty();
    q.append(static_cast<const char *>(bytes), len);
    box->any.store(true, std::memory_order_release);
    // Called under the lock, so that close, which takes it, is a barrier
    // after which the host's context is never touched again.
    if (was_empty && len)
        box->wake(box->ctx);
    return static_cast<ssize_t>(len);
}

int tqconn_outbox_open(tqconn *conn, void (*wake)(void *ctx), void *ctx)
{
    if (!conn || !wake || conn->outbox)
        return -1;
    conn->outbox = new (std::nothrow) tqconn_outbox;
    if (!conn->outbox)
        return -1;
    conn->outbox->wake = wake;
    conn->outbox->ctx = ctx;
    return 0;
}

unsigned char *tqconn_outbox_take(tqconn *conn, int side, size_t *len)
{
    *len = 0;
    if (!conn || !conn->outbox || side < 0 || side > 1)
        return nullptr;
    // Bytes added after this look are followed by a wake, which takes them.
    if (!conn->outbox->any.load(std::memory_order_acquire))
        return nullptr;
    std::string bytes;
    {
        std::lock_guard<std::mutex> g(conn->outbox->lock);
        bytes.swap(conn->outbox->waiting[side]);
        if (conn->outbox->waiting[1 - side].empty())
            conn->outbox->any.store(false, std::memory_order_relaxed);
    }
    if (bytes.empty())
        return nullptr;
    auto *out = static_cast<unsigned char *>(std::malloc(bytes.size()));
    if (!out)
        return nullptr;
    std::memcpy(out, bytes.data(), bytes.size());
    *len = bytes.size();
    return out;
}

void tqconn_outbox_close(tqconn *conn)
{
    if (!conn || !conn->outbox)
        return;
    std::lock_guard<std::mutex> g(conn->outbox->lock);
    conn->outbox->wake = nullptr;
    conn->outbox->ctx = nullptr;
    conn->outbox->waiting[0].clear();
    conn->outbox->waiting[1].clear();
    conn->outbox->any.store(false, std::memory_order_relaxed);
}

tq3_module *tq3_module_new(const struct tq3_module_ops *ops)
{
    auto *m = static_cast<tq3_module *>(std::calloc(1, sizeof(tq3_module)));
    if (!m)
        return nullptr;
    m->ns = new_tqtable(kNamespaceBuckets);
    if (!m->ns || pthread_rwlock_init(&m->data_lock, nullptr) != 0) {
        tqtable_destroy(m->ns);
        std::free(m);
        return nullptr;
    }
    m->version = 1;
    m->ops = ops;
    return m;
}

void tq3_module_destroy(tq3_module *m)
{
    if (!m)
        return;
    tqtable_destroy_with_values(m->ns, variable_destroy);
    pthread_rwlock_destroy(&m->data_lock);
    std::free(m);
}

ssize_t atomic_send(int sock, const void *bytes, size_t len)
{
    if (sock < 0 || (!bytes && len) || len > static_cast<size_t>(SSIZE_MAX)) {
        errno = EINVAL;
        return -1;
    }
    const auto *p = static_cast<const unsigned char *>(bytes);
    size_t done = 0;
    bool socket = true;
    while (done < len) {
        ssize_t n;
        if (socket) {
            // MSG_NOSIGNAL: a peer that went away must give EPIPE, not kill
            // the whole gateway with SIGPIPE.
            n = send(sock, p + done, len - done, MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK) {
                socket = false;
                continue;
            }
        } else {
            n = write(sock, p + done, len - done);
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // The gateway's sockets are non-blocking: a full send buffer
            // means waiting here, not a failure, so the bytes stay whole.
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                int w = wait_writable(sock);
                if (w > 0)
                    continue;
                if (w == 0)
                    errno = ETIMEDOUT;
                return -1;
            }
            return -1;
        }
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(len);
}

} // extern "C"
