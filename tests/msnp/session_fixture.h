/* A connection driven through msnp_tasklet as the host drives it, with a
 * policy loaded, the module's clock and log directory under the test's
 * control, and both peers' views of the bytes: what the chunk forwards,
 * what handlers write straight to a socket, and what they hold for the host
 * to send after the chunk. */
#ifndef TESTS_MSNP_SESSION_FIXTURE_H
#define TESTS_MSNP_SESSION_FIXTURE_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "msnp/decision_fixture.h"
#include "msnp/traffic_helpers.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_statistics.h"

/* What one chunk did, as each peer would read it. */
struct Outcome {
    std::string forwarded; /* the chunk's own output */
    std::string client;    /* everything the client reads, in order */
    std::string server;    /* everything the server reads, in order */
};

class SessionTest : public EntityTest {
public:
    tqconn *conn = nullptr;
    int client_end = -1, server_end = -1; /* the peers' ends of the sockets */
    std::string log_dir;
    match_t last = TQ_MATCH_NONE; /* the tasklet's answer to the last chunk */

    void SetUp() override
    {
        EntityTest::SetUp();
        msnp_set_clock(test_clock);
        g_test_now = local_time(2026, 3, 11, 10, 0);
        char tmpl[] = "/tmp/tq-session-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        log_dir = tmpl;
        variable_set(self->ns, "s/log-dir", log_dir.c_str());
        connect();
    }

    void TearDown() override
    {
        disconnect();
        msnp_set_clock(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(log_dir, ec);
        EntityTest::TearDown();
    }

    /* A new connection from 10.1.2.3 over SOCKS5 (ending the current). */
    void connect()
    {
        disconnect();
        conn = tqconn_new();
        int c[2], s[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, c), 0);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, s), 0);
        conn->clid = c[0];
        client_end = c[1];
        conn->srvd = s[0];
        server_end = s[1];
        conn->saddr = inet_addr("10.1.2.3");
        conn->version = 5;
    }

    void disconnect()
    {
        if (!conn)
            return;
        msnp_tasklet_fini(self, conn);
        for (int fd : {conn->clid, conn->srvd, client_end, server_end})
            if (fd >= 0)
                close(fd);
        tqconn_destroy(conn);
        conn = nullptr;
    }

    void socks_user(const char *user)
    {
        if (!conn->header.socks5)
            conn->header.socks5 = static_cast<tq_socks5_header *>(calloc(1, sizeof(tq_socks5_header)));
        free(conn->header.socks5->user);
        conn->header.socks5->user = user ? strdup(user) : nullptr;
    }

    bool load(const std::string &objects, const std::string &tree = "")
    {
        std::string doc = "<trevalquin><object-list>" + objects + "</object-list><relation-trees>" + tree +
                          "</relation-trees></trevalquin>";
        return msnp_setconfig(self, idl, doc.c_str()) == 1;
    }

    void var(const char *spec, const char *value) { variable_set(self->ns, spec, value); }

    long counter(const char *name) const
    {
        return variable_convert_to_int(variable_get(self->ns, name), 0);
    }

    msnp_conntrack *tracker() const { return static_cast<msnp_conntrack *>(conn->plugin); }

    Outcome client(const std::string &bytes) { return run(DIR_CLIENT_TO_SERVER, bytes); }
    Outcome server(const std::string &bytes) { return run(DIR_SERVER_TO_CLIENT, bytes); }

    /* The texts of the events handed to the host since the last call. */
    std::vector<std::string> take_events()
    {
        std::vector<std::string> out;
        for (tqlist *l = conn->eventsq; l; l = l->next)
            out.emplace_back(static_cast<event_t *>(l->data)->text);
        tqevents_destroy_queue(&conn->eventsq);
        return out;
    }

    static std::string drain(int fd)
    {
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }

    static std::string take_held(unsigned char *&bytes, size_t &size)
    {
        std::string out(reinterpret_cast<char *>(bytes), bytes ? size : 0);
        free(bytes);
        bytes = nullptr;
        size = 0;
        return out;
    }

private:
    Outcome run(conn_direction dir, const std::string &bytes)
    {
        conn->direction = dir;
        traffic::Iov iov({bytes});
        last = msnp_tasklet(self, conn, iov.v);
        Outcome o;
        o.forwarded = iov.joined();
        o.client = drain(client_end) + (dir == DIR_SERVER_TO_CLIENT ? o.forwarded : "") +
                   take_held(conn->clid_b, conn->clid_bsiz);
        o.server = drain(server_end) + (dir == DIR_CLIENT_TO_SERVER ? o.forwarded : "") +
                   take_held(conn->srvd_b, conn->srvd_bsiz);
        return o;
    }
};

/* A whole file ("" when it is missing or no path is given). */
inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
inline std::string slurp(const char *path) { return path ? slurp(std::string(path)) : std::string(); }

inline std::string msg(const std::string &head, const std::string &payload)
{
    return head + " " + std::to_string(payload.size()) + "\r\n" + payload;
}

/* The command the gateway injects with `text` (see message_create). */
inline std::string injected(const std::string &text, const char *orig = nullptr)
{
    size_t size = 0;
    char *m = message_create(text.c_str(), orig, &size);
    std::string out(m ? m : "", m ? size : 0);
    free(m);
    return out;
}

#endif
