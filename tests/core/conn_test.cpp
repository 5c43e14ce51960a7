#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "tqconn.h"
#include "trevalquin_plugin.h"
#include "variables.h"

TEST(AtomicSend, WritesEverythingThroughAFullBufferBlockingOrNot)
{
    for (bool nonblocking : {false, true}) {
        SCOPED_TRACE(nonblocking ? "non-blocking" : "blocking");
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        int small = 4096;
        setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        if (nonblocking) {
            ASSERT_EQ(fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK), 0);
        }
        std::string payload(nonblocking ? 256 * 1024 : 1 << 20, '\0');
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<char>(i * 7 + i / 251);
        std::string got;
        std::thread reader([&] {
            // Start late on the non-blocking socket, so that the writer meets a full buffer first.
            if (nonblocking)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            char buf[1000];
            ssize_t n;
            while ((n = read(sv[1], buf, sizeof buf)) > 0)
                got.append(buf, static_cast<size_t>(n));
        });
        EXPECT_EQ(atomic_send(sv[0], payload.data(), payload.size()), static_cast<ssize_t>(payload.size()));
        close(sv[0]);
        reader.join();
        close(sv[1]);
        EXPECT_EQ(got, payload);
    }
}

TEST(AtomicSend, ErrorsGiveMinusOneWithoutSigpipeAndPipesUseWrite)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    EXPECT_EQ(atomic_send(sv[0], "x", 1), -1);  // would raise SIGPIPE without MSG_NOSIGNAL
    EXPECT_EQ(errno, EPIPE);
    close(sv[0]);
    EXPECT_EQ(atomic_send(-1, "x", 1), -1);
    EXPECT_EQ(atomic_send(sv[0], "x", 1), -1);  // closed descriptor
    EXPECT_EQ(atomic_send(0, nullptr, 3), -1);

    // Pipes fall back to write.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(atomic_send(p[1], "hello", 5), 5);
    char buf[8] = {};
    EXPECT_EQ(read(p[0], buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");
    close(p[0]);
    close(p[1]);
}

TEST(ConnectionOutbox, QueuesInOrderWakesOnceAndRefusesAfterClose)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    tqconn *c = tqconn_new();
    c->clid = sv[0];
    c->srvd = sv[1];
    // Without an outbox the bytes are written at once.
    EXPECT_EQ(tqconn_send(c, c->clid, "now", 3), 3);
    char buf[8] = {};
    EXPECT_EQ(read(sv[1], buf, sizeof buf), 3);
    EXPECT_EQ(tqconn_send(c, 99, "x", 1), -1);  // not one of the connection's
    EXPECT_EQ(errno, EINVAL);

    int wakes = 0;
    ASSERT_EQ(tqconn_outbox_open(c, [](void *n) { ++*static_cast<int *>(n); }, &wakes), 0);
    EXPECT_EQ(tqconn_send(c, c->srvd, "ab", 2), 2);
    EXPECT_EQ(tqconn_send(c, c->srvd, "cd", 2), 2);
    EXPECT_EQ(tqconn_send(c, c->clid, "to client", 9), 9);
    EXPECT_EQ(wakes, 1);  // one wake until the host takes what waits
    size_t len = 0;
    unsigned char *got = tqconn_outbox_take(c, 1, &len);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(got), len), "abcd");
    free(got);
    got = tqconn_outbox_take(c, 0, &len);  // the other side still waits
    EXPECT_EQ(std::string(reinterpret_cast<char *>(got), len), "to client");
    free(got);
    EXPECT_EQ(tqconn_outbox_take(c, 0, &len), nullptr);
    EXPECT_EQ(tqconn_send(c, c->srvd, "again", 5), 5);
    EXPECT_EQ(wakes, 2);  // empty again, so woken again
    tqconn_outbox_close(c);
    EXPECT_EQ(tqconn_outbox_take(c, 1, &len), nullptr);  // dropped at close
    EXPECT_EQ(tqconn_send(c, c->srvd, "late", 4), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(wakes, 2);
    tqconn_destroy(c);
    close(sv[0]);
    close(sv[1]);
}
