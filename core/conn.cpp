// Connection records, expectations, module records and the socket writer.
#include <atomic>
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

namespace {
std::atomic<tq3_send_hook> g_send_hook{nullptr};
} // namespace

void tq3_set_send_hook(tq3_send_hook hook) { g_send_hook.store(hook); }

ssize_t atomic_send(int sock, const void *bytes, size_t len)
{
    if (sock < 0 || (!bytes && len) || len > static_cast<size_t>(SSIZE_MAX)) {
        errno = EINVAL;
        return -1;
    }
    if (tq3_send_hook hook = g_send_hook.load()) {
        ssize_t taken = hook(sock, bytes, len);
        if (taken != -2)
            return taken;
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
