/* Loopback sockets for the benchmarks' load generators (bench/relay,
 * bench/load): blocking writes and reads that end the program on failure,
 * listening and connecting on 127.0.0.1, and a SOCKS5 CONNECT. Each tool
 * is one source file built with g++ by its script; this header is all they
 * share. */
#ifndef BENCH_LOOPBACK_H
#define BENCH_LOOPBACK_H

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace loopback {

[[noreturn]] inline void die(const char *what)
{
    std::fprintf(stderr, "%s: %s: %s\n", program_invocation_short_name, what, std::strerror(errno));
    std::exit(2);
}

inline void write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            die("send");
        p += w;
        n -= static_cast<size_t>(w);
    }
}

inline void write_all(int fd, const std::string &s) { write_all(fd, s.data(), s.size()); }

inline void read_exact(int fd, char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            die("short read");
        p += r;
        n -= static_cast<size_t>(r);
    }
}

inline void nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

/* A non-blocking listening socket on a free loopback port, stored in *port. */
inline int listen_loopback(uint16_t *port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 65535) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        die("listen");
    *port = ntohs(a.sin_port);
    return fd;
}

inline int connect_loopback(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        die("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        die("connect");
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

/* A blocking connection to DST, through the SOCKS5 proxy at `socks` unless
 * it is 0. */
inline int open_socks(uint16_t socks, uint16_t dst)
{
    int fd = connect_loopback(socks ? socks : dst);
    if (!socks)
        return fd;
    const unsigned char greet[] = {5, 1, 0};
    write_all(fd, reinterpret_cast<const char *>(greet), sizeof greet);
    char sel[2];
    read_exact(fd, sel, 2);
    if (sel[0] != 5 || sel[1] != 0) {
        errno = EPROTO;
        die("SOCKS method refused");
    }
    unsigned char req[10] = {5, 1, 0, 1, 127, 0, 0, 1, static_cast<unsigned char>(dst >> 8),
                             static_cast<unsigned char>(dst & 0xff)};
    write_all(fd, reinterpret_cast<const char *>(req), sizeof req);
    char rep[4];
    read_exact(fd, rep, 4);
    if (rep[1] != 0) {
        errno = ECONNREFUSED;
        die("SOCKS CONNECT refused");
    }
    char rest[18];  // the bound address: IPv4 or IPv6 and a port
    read_exact(fd, rest, rep[3] == 4 ? 18 : rep[3] == 1 ? 6 : 0);
    return fd;
}

/* The resident memory of process `pid` in KiB, or -1. */
inline long rss_kib(long pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

} // namespace loopback

#endif
