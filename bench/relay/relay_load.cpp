/* Load generator for the relay benchmark (bench/relay/run.sh).
 *
 *   relay_load server                       scripted switchboard; prints its port
 *   relay_load freeport                     prints a free loopback port
 *   relay_load bulk-up   SOCKS DST BYTES SECONDS [anonymous|texts]
 *   relay_load bulk-down SOCKS DST BYTES SECONDS [anonymous|texts]
 *   relay_load ping      SOCKS DST COUNT
 *   relay_load idle      SOCKS DST COUNT PID
 *   relay_load stalled   SOCKS DST COUNT STUCK PINGS
 *   relay_load signin    SOCKS DST CONTACTS ROUNDS
 *
 * SOCKS is the proxy's port on 127.0.0.1, or 0 to talk to DST directly.
 * Every client session opens like a switchboard login ("USR 1 <mode> ...")
 * so that the scripted server knows what to do; the server confirms the
 * login of <mode>@bench.example and announces the peer (JOI), so that a
 * gateway with a policy admits the user and decides every message. The
 * rest is MSNP traffic: MSG payload commands one way, ACKs the other.
 * An anonymous bulk session is not confirmed as a login (the server answers
 * with two QNG lines instead): a gateway then relays what the server sends
 * through its module without a user to decide for, the cost of the module
 * without the policy (what the client sends waits for a sign-in that never
 * comes, so only bulk-down is anonymous).
 * A `texts` session signs in texts-sink or texts-source instead, users whose
 * chat logs keep the message texts (the plain ones' logs say who wrote
 * when, without the text).
 * Results go to stdout as `key value` lines for the script to tabulate. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "../loopback.h"

namespace {

using namespace loopback;
using Clock = std::chrono::steady_clock;

[[noreturn]] void usage()
{
    std::fputs("usage: relay_load server | freeport | bulk-up SOCKS DST BYTES SECONDS [anonymous|texts] |\n"
               "       bulk-down SOCKS DST BYTES SECONDS [anonymous|texts] | ping SOCKS DST COUNT | idle SOCKS DST COUNT PID |\n"
               "       signin SOCKS DST CONTACTS ROUNDS | stalled SOCKS DST COUNT STUCK PINGS\n",
               stderr);
    std::exit(2);
}

/* The contact in every benchmark conversation: the switchboard announces
 * it after the login, so messages are decided against it. */
constexpr const char *kPeer = "peer@bench.example";

/* A buffer of whole switchboard MSG commands, repeated by the senders:
 * typical chat-sized payloads with a plain-text MIME header, in the
 * client's form ("MSG id N size") or, from the server, from the peer. */
std::string msg_stream(size_t target, bool from_server = false)
{
    std::string out;
    std::string body = "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                       "X-MMS-IM-Format: FN=Segoe%20UI; EF=; CO=0; CS=0; PF=0\r\n\r\n";
    body += std::string(1400 - body.size(), 'x');
    const std::string size = std::to_string(body.size());
    for (unsigned id = 1; out.size() < target; ++id)
        out += (from_server ? "MSG " + std::string(kPeer) + " Peer " : "MSG " + std::to_string(id) + " N ") + size +
               "\r\n" + body;
    return out;
}

/* Reads one CR LF-terminated line byte by byte (only used for short
 * replies outside the measured loops). */
std::string read_line(int fd)
{
    std::string line;
    char c;
    while (true) {
        ssize_t n = ::recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            die("connection closed while waiting for a reply");
        line += c;
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
            return line;
    }
}

/* A session opened with `USR 1 <hello>` and its answer. */
constexpr const char *kAnonymous = "anonymous-";
constexpr const char *kTexts = "texts-";

/* `who` in front of `mode`: anonymous, texts or none. */
std::string session_user(const std::string &who, const char *mode)
{
    return (who.empty() ? "" : who + "-") + mode;
}

int open_session(uint16_t socks, uint16_t dst, const std::string &hello)
{
    int fd = open_socks(socks, dst);
    write_all(fd, "USR 1 " + hello + "\r\n");
    std::string ok = read_line(fd);
    std::string joined = read_line(fd);
    bool anonymous = hello.rfind(kAnonymous, 0) == 0;
    if (anonymous ? ok.rfind("QNG ", 0) != 0 || joined.rfind("QNG ", 0) != 0
                  : ok.rfind("USR 1 OK ", 0) != 0 || joined.rfind("JOI ", 0) != 0) {
        errno = EPROTO;
        die("unexpected login answer");
    }
    return fd;
}

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

/* ---- the scripted switchboard -------------------------------------------- */

struct Session {
    enum Mode { Hello, Sink, Source, Ping, Idle, SignIn } mode = Hello;
    std::string in;
    uint64_t count = 0;  /* bytes received (Sink) or sent (Source) */
    uint64_t limit = 0;  /* Source: bytes to send */
    Clock::time_point deadline;
    size_t offset = 0;   /* Source: position in the stream buffer */
};

constexpr const char *kOut = "OUT\r\n";

/* Contact `i` of a sign-in's contact list. */
std::string contact_name(size_t i) { return "c" + std::to_string(i); }
std::string contact_domain(size_t i) { return "partner" + std::to_string(i % 7) + ".example"; }

/* Short replies on a non-blocking socket: waits while it is full. */
void write_all_nb(int fd, const std::string &s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t w = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            continue;
        }
        if (w <= 0)
            return; /* the client went away; nothing to tell it */
        off += static_cast<size_t>(w);
    }
}

int run_server()
{
    uint16_t port = 0;
    int lfd = listen_loopback(&port);
    int one = 1;
    std::printf("%u\n", port);
    std::fflush(stdout);

    const std::string stream = msg_stream(1 << 20, true);
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{EPOLLIN, {.fd = lfd}};
    ::epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
    std::unordered_map<int, Session> sessions;
    std::vector<char> buf(256 * 1024);
    auto drop = [&](int fd) {
        ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        sessions.erase(fd);
    };

    epoll_event evs[256];
    for (;;) {
        int n = ::epoll_wait(ep, evs, 256, -1);
        if (n < 0 && errno == EINTR)
            continue;
        for (int i = 0; i < n; ++i) {
            int fd = evs[i].data.fd;
            if (fd == lfd) {
                int c;
                while ((c = ::accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    epoll_event ce{EPOLLIN, {.fd = c}};
                    ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &ce);
                    sessions[c] = Session{};
                }
                continue;
            }
            Session &s = sessions[fd];
            if (s.mode == Session::Source) {
                /* Whole buffers only: a relay that parses the stream would
                 * rightly hold back a command cut by the end. */
                auto done = [&] {
                    return s.offset == 0 && (s.count >= s.limit || Clock::now() >= s.deadline);
                };
                while (!done()) {
                    ssize_t w = ::send(fd, stream.data() + s.offset, stream.size() - s.offset, MSG_NOSIGNAL);
                    if (w <= 0)
                        break;
                    s.count += static_cast<uint64_t>(w);
                    s.offset = (s.offset + static_cast<size_t>(w)) % stream.size();
                }
                if (done())
                    drop(fd); /* the close marks the end for the reader */
                continue;
            }
            ssize_t r = ::recv(fd, buf.data(), buf.size(), 0);
            if (r <= 0) {
                if (r < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                drop(fd);
                continue;
            }
            if (s.mode == Session::Sink) {
                /* The stream ends with OUT, which the payloads never hold;
                 * it may straddle two reads. Not every relay passes a
                 * half-close on, so the end is in the data. */
                s.count += static_cast<uint64_t>(r);
                size_t n = static_cast<size_t>(r);
                std::string edge = s.in + std::string(buf.data(), std::min<size_t>(n, 4));
                bool out = edge.find(kOut) != std::string::npos ||
                           memmem(buf.data(), n, kOut, 5) != nullptr;
                s.in = n >= 4 ? std::string(buf.data() + n - 4, 4) : (s.in + std::string(buf.data(), n));
                if (s.in.size() > 4)
                    s.in.erase(0, s.in.size() - 4);
                if (out) {
                    /* A count the relays pass on as it is: a switchboard's
                     * ACK (a BYE would name a contact, and a gateway with a
                     * policy asks about it). */
                    write_all_nb(fd, "ACK " + std::to_string(s.count) + "\r\n");
                    drop(fd);
                }
                continue;
            }
            s.in.append(buf.data(), static_cast<size_t>(r));
            if (s.mode == Session::Hello) {
                size_t eol = s.in.find("\r\n");
                if (eol == std::string::npos)
                    continue;
                char mode[32] = "";
                unsigned long long bytes = 0;
                double secs = 0;
                std::sscanf(s.in.c_str(), "USR 1 %31s %llu %lf", mode, &bytes, &secs);
                s.in.erase(0, eol + 2);
                if (!std::strcmp(mode, "signin")) {
                    /* A notification server's confirmation of a sign-in;
                     * the contact list is awaited. */
                    write_all_nb(fd, "USR 3 OK signin@bench.example 1 0\r\n");
                    s.mode = Session::SignIn;
                    s.limit = bytes;
                    continue;
                }
                std::string ok = "USR 1 OK " + std::string(mode) + "@bench.example Bench\r\nJOI " + kPeer +
                                 " Peer\r\n";
                for (const char *prefix : {kAnonymous, kTexts}) {
                    size_t n = std::strlen(prefix);
                    if (std::strncmp(mode, prefix, n))
                        continue;
                    std::memmove(mode, mode + n, std::strlen(mode) - n + 1);
                    if (prefix == kAnonymous)
                        ok = "QNG 1\r\nQNG 2\r\n";
                }
                write_all_nb(fd, ok);
                if (!std::strcmp(mode, "sink")) {
                    s.mode = Session::Sink;
                    s.count = s.in.size();
                    s.in.clear();
                } else if (!std::strcmp(mode, "source")) {
                    s.mode = Session::Source;
                    s.limit = bytes;
                    s.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(secs));
                    epoll_event oe{EPOLLOUT, {.fd = fd}};
                    ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &oe);
                } else if (!std::strcmp(mode, "ping")) {
                    s.mode = Session::Ping;
                } else {
                    s.mode = Session::Idle;
                }
            }
            if (s.mode == Session::SignIn) {
                /* The whole first contact list in, the presence of every
                 * contact out, then a marker. */
                size_t eol = s.in.find("\r\n");
                unsigned trid = 0, size = 0;
                if (eol == std::string::npos || std::sscanf(s.in.c_str(), "ADL %u %u", &trid, &size) != 2 ||
                    s.in.size() < eol + 2 + size)
                    continue;
                s.in.clear();
                std::string out = "ADL " + std::to_string(trid) + " OK\r\n";
                for (size_t i = 0; i < s.limit; ++i)
                    out += "ILN 9 NLN " + contact_name(i) + "@" + contact_domain(i) + " Contact 1342177280\r\n";
                out += "QNG 50\r\n";
                write_all_nb(fd, out);
                s.mode = Session::Idle;
                continue;
            }
            if (s.mode == Session::Ping) {
                /* Answer each whole MSG with its ACK. */
                std::string out;
                for (;;) {
                    size_t eol = s.in.find("\r\n");
                    if (eol == std::string::npos)
                        break;
                    unsigned trid = 0, size = 0;
                    char ack[8] = "";
                    if (std::sscanf(s.in.c_str(), "MSG %u %7s %u", &trid, ack, &size) != 3)
                        size = 0;
                    if (s.in.size() < eol + 2 + size)
                        break;
                    s.in.erase(0, eol + 2 + size);
                    out += "ACK " + std::to_string(trid) + "\r\n";
                }
                if (!out.empty())
                    write_all_nb(fd, out);
            } else if (s.mode == Session::Idle) {
                s.in.clear();
            }
        }
    }
}

/* ---- clients ----------------------------------------------------------------- */

int bulk_up(uint16_t socks, uint16_t dst, uint64_t bytes, double secs, const std::string &who)
{
    const std::string stream = msg_stream(1 << 20);
    int fd = open_session(socks, dst, session_user(who, "sink"));
    auto t0 = Clock::now();
    uint64_t sent = 0;
    /* Whole buffers of whole commands, so OUT arrives as a command. */
    while (sent < bytes && seconds_since(t0) < secs) {
        write_all(fd, stream.data(), stream.size());
        sent += stream.size();
    }
    write_all(fd, kOut, 5);
    sent += 5;
    std::string bye = read_line(fd);
    double t = seconds_since(t0);
    unsigned long long got = 0;
    std::sscanf(bye.c_str(), "ACK %llu", &got);
    ::close(fd);
    if (got != sent) {
        std::fprintf(stderr, "relay_load: sent %llu bytes, the server got %llu\n",
                     static_cast<unsigned long long>(sent), got);
        return 1;
    }
    std::printf("bytes %llu\nseconds %.3f\nmbps %.1f\n", got, t, got / t / 1e6);
    return 0;
}

int bulk_down(uint16_t socks, uint16_t dst, uint64_t bytes, double secs, const std::string &who)
{
    int fd = open_session(socks, dst, session_user(who, "source") + " " + std::to_string(bytes) + " " + std::to_string(secs));
    std::vector<char> buf(256 * 1024);
    uint64_t got = 0;
    auto t0 = Clock::now();
    for (;;) {
        ssize_t r = ::recv(fd, buf.data(), buf.size(), 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<uint64_t>(r);
    }
    double t = seconds_since(t0);
    ::close(fd);
    std::printf("bytes %llu\nseconds %.3f\nmbps %.1f\n", static_cast<unsigned long long>(got), t, got / t / 1e6);
    return got ? 0 : 1;
}

/* One MSG that asks for an ACK, and its answer: the time in microseconds. */
double round_trip(int fd, int trid, const std::string &body)
{
    std::string cmd = "MSG " + std::to_string(trid) + " A " + std::to_string(body.size()) + "\r\n" + body;
    auto t0 = Clock::now();
    write_all(fd, cmd);
    std::string ack = read_line(fd);
    double t = seconds_since(t0) * 1e6;
    if (ack != "ACK " + std::to_string(trid) + "\r\n") {
        errno = EPROTO;
        die("unexpected ACK");
    }
    return t;
}

int ping(uint16_t socks, uint16_t dst, int count)
{
    int fd = open_session(socks, dst, "ping");
    std::string body = "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\nping";
    std::vector<double> us;
    for (int i = 0; i < count + 100; ++i) {
        double t = round_trip(fd, i + 2, body);
        if (i >= 100) /* the first round trips warm caches and the pool */
            us.push_back(t);
    }
    ::close(fd);
    std::sort(us.begin(), us.end());
    std::printf("median_us %.1f\np99_us %.1f\n", us[us.size() / 2], us[us.size() * 99 / 100]);
    return 0;
}

/* Sign-ins with `contacts` contacts: confirmation, the first contact list
 * (ADL) and the server's presence storm (one ILN per contact), timed from
 * the connection to the last presence line; the median of `rounds`. */
int signin(uint16_t socks, uint16_t dst, size_t contacts, int rounds)
{
    std::string list = "<ml l=\"1\">";
    for (size_t i = 0; i < contacts; ++i)
        list += "<d n=\"" + contact_domain(i) + "\"><c n=\"" + contact_name(i) + "\" l=\"3\" t=\"1\"/></d>";
    list += "</ml>";
    const std::string adl = "ADL 2 " + std::to_string(list.size()) + "\r\n" + list;
    std::vector<double> ms;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        int fd = open_socks(socks, dst);
        write_all(fd, "USR 1 signin " + std::to_string(contacts) + "\r\n");
        if (read_line(fd).rfind("USR 3 OK ", 0) != 0) {
            errno = EPROTO;
            die("sign-in refused");
        }
        write_all(fd, adl);
        size_t seen = 0;
        for (std::string line; (line = read_line(fd)).rfind("QNG", 0) != 0;)
            seen += line.rfind("ILN", 0) == 0;
        ms.push_back(seconds_since(t0) * 1e3);
        ::close(fd);
        if (seen != contacts) {
            errno = EPROTO;
            die("presence lines lost");
        }
    }
    std::sort(ms.begin(), ms.end());
    std::printf("median_ms %.2f\n", ms[ms.size() / 2]);
    return 0;
}

/* `count` relayed sessions, `stuck` of them fed a stream by the server that
 * their client never reads (the relay's buffers towards them fill and stay
 * full); the MSG/ACK round trip on the others, `pings` in all, taken in
 * turn on each. */
int stalled(uint16_t socks, uint16_t dst, int count, int stuck, int pings)
{
    std::vector<int> unread, live;
    for (int i = 0; i < count; ++i) {
        if (i < stuck)
            unread.push_back(open_session(socks, dst, "source 1000000000000 3600"));
        else
            live.push_back(open_session(socks, dst, "ping"));
    }
    if (live.empty())
        usage();
    /* Time for the streams to fill every buffer on their way. */
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::string body = "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\nping";
    std::vector<double> us;
    for (int i = 0; i < pings + 100; ++i) {
        double t = round_trip(live[static_cast<size_t>(i) % live.size()], i + 2, body);
        if (i >= 100)
            us.push_back(t);
    }
    for (int fd : unread)
        ::close(fd);
    for (int fd : live)
        ::close(fd);
    std::sort(us.begin(), us.end());
    std::printf("median_us %.1f\np99_us %.1f\n", us[us.size() / 2], us[us.size() * 99 / 100]);
    return 0;
}

int idle(uint16_t socks, uint16_t dst, int count, long pid)
{
    long before = rss_kib(pid);
    std::vector<int> fds;
    fds.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        fds.push_back(open_session(socks, dst, "idle"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long after = rss_kib(pid);
    for (int fd : fds)
        ::close(fd);
    if (before < 0 || after < 0) {
        std::fprintf(stderr, "relay_load: cannot read the RSS of %ld\n", pid);
        return 1;
    }
    std::printf("rss_before_kib %ld\nrss_after_kib %ld\nper_conn_kib %.2f\n", before, after,
                static_cast<double>(after - before) / count);
    return 0;
}

int freeport()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        die("bind");
    std::printf("%u\n", ntohs(a.sin_port));
    ::close(fd);
    return 0;
}

uint16_t port_arg(const char *s)
{
    long v = std::strtol(s, nullptr, 10);
    if (v < 0 || v > 65535)
        usage();
    return static_cast<uint16_t>(v);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        usage();
    std::string cmd = argv[1];
    if (cmd == "server")
        return run_server();
    if (cmd == "freeport")
        return freeport();
    if (argc < 5)
        usage();
    uint16_t socks = port_arg(argv[2]), dst = port_arg(argv[3]);
    std::string who = argc == 7 ? argv[6] : "";
    bool bulk_user = who.empty() || who == "anonymous" || who == "texts";
    if (cmd == "bulk-up" && (argc == 6 || argc == 7) && bulk_user)
        return bulk_up(socks, dst, std::strtoull(argv[4], nullptr, 10), std::atof(argv[5]), who);
    if (cmd == "bulk-down" && (argc == 6 || argc == 7) && bulk_user)
        return bulk_down(socks, dst, std::strtoull(argv[4], nullptr, 10), std::atof(argv[5]), who);
    if (cmd == "ping" && argc == 5)
        return ping(socks, dst, std::atoi(argv[4]));
    if (cmd == "signin" && argc == 6)
        return signin(socks, dst, std::strtoull(argv[4], nullptr, 10), std::atoi(argv[5]));
    if (cmd == "idle" && argc == 6)
        return idle(socks, dst, std::atoi(argv[4]), std::atol(argv[5]));
    if (cmd == "stalled" && argc == 7)
        return stalled(socks, dst, std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]));
    usage();
}
