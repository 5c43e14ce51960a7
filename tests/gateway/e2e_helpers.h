/* Process, socket and SOCKS helpers for the tests that talk to a gateway
 * over loopback. Every wait is bounded, and every resource (child,
 * descriptor, temp dir) is released by its owner even when an assertion
 * fails half-way. */
#ifndef TESTS_GATEWAY_E2E_HELPERS_H
#define TESTS_GATEWAY_E2E_HELPERS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr milliseconds kWait{5000};

inline std::string slurp(const std::filesystem::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

/* A field of one of the flat JSON lines the gateway and tqreplay write
 * (enough for strings without escapes, and numbers). */
inline std::string json_field(const std::string &line, const std::string &key)
{
    const std::string tag = "\"" + key + "\":";
    size_t at = line.find(tag);
    if (at == std::string::npos)
        return "";
    at += tag.size();
    if (line[at] == '"')
        return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
}

inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

/* Polls `pred` until it holds or the time is up. */
template <class Pred> bool eventually(Pred pred, milliseconds limit = kWait)
{
    for (auto end = Clock::now() + limit; !pred(); std::this_thread::sleep_for(milliseconds(20)))
        if (Clock::now() >= end)
            return false;
    return true;
}

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/tq-e2e-XXXXXX";
        const char *d = ::mkdtemp(tmpl);
        path_ = d ? d : "";
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd &operator=(Fd &&o) noexcept
    {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

inline bool send_all(int fd, const std::string &bytes)
{
    for (size_t off = 0; off < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

inline void no_delay(int fd)
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

/* Sends `bytes` in TCP segments of `seg` bytes with a short pause between
 * them, so the reader meets a command cut at every possible place. */
inline bool send_segmented(int fd, const std::string &bytes, size_t seg)
{
    no_delay(fd);
    for (size_t off = 0; off < bytes.size(); off += seg) {
        if (!send_all(fd, bytes.substr(off, seg)))
            return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

struct ReadResult {
    std::string bytes;
    bool closed = false; /* the peer closed (EOF or reset) */
};

/* Reads until `want` bytes arrived, the peer closed, or the time is up. */
inline ReadResult recv_some(int fd, size_t want, milliseconds limit = kWait)
{
    ReadResult r;
    auto end = Clock::now() + limit;
    char buf[16384];
    while (r.bytes.size() < want) {
        auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        int pr = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
        if (pr < 0 && errno == EINTR)
            continue;
        if (pr <= 0)
            break;
        ssize_t n = ::recv(fd, buf, std::min(sizeof buf, want - r.bytes.size()), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            r.closed = true;
            break;
        }
        r.bytes.append(buf, static_cast<size_t>(n));
    }
    return r;
}

/* What the peer sends up to `marker`, or until it closes or the time is up. */
inline std::string read_until(int fd, const std::string &marker)
{
    std::string got;
    while (got.find(marker) == std::string::npos) {
        ReadResult r = recv_some(fd, 1);
        if (r.bytes.empty())
            break;
        got += r.bytes;
    }
    return got;
}

inline std::string recv_exact(int fd, size_t n, milliseconds limit = kWait)
{
    return recv_some(fd, n, limit).bytes;
}

/* Reads whatever comes until the peer closes; `closed` false on time-out. */
inline ReadResult recv_until_closed(int fd, milliseconds limit = kWait)
{
    return recv_some(fd, SIZE_MAX, limit);
}

/* A connection to 127.0.0.1:port; with SOCK_NONBLOCK in `flags`, one
 * that may still be under way. */
inline Fd tcp_connect(uint16_t port, int flags = 0)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc = ::connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a);
    return rc == 0 || (flags & SOCK_NONBLOCK && errno == EINPROGRESS) ? std::move(fd) : Fd();
}

/* A listening socket on 127.0.0.1 (or ::1) with a kernel-chosen port. */
class Listener {
public:
    explicit Listener(int backlog = 64, bool v6 = false)
        : fd_(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in6 a6{};
        sockaddr_in a4{};
        a6.sin6_family = AF_INET6;
        a6.sin6_addr = in6addr_loopback;
        a4.sin_family = AF_INET;
        a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        auto *sa = v6 ? reinterpret_cast<sockaddr *>(&a6) : reinterpret_cast<sockaddr *>(&a4);
        socklen_t len = v6 ? sizeof a6 : sizeof a4;
        if (::bind(fd_.get(), sa, len) == 0 && ::listen(fd_.get(), backlog) == 0 &&
            ::getsockname(fd_.get(), sa, &len) == 0)
            port_ = ntohs(v6 ? a6.sin6_port : a4.sin_port);
    }
    uint16_t port() const { return port_; }
    /* The next connection, or an empty Fd after `limit`. */
    Fd accept(milliseconds limit = kWait)
    {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0)
            return Fd();
        return Fd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    Fd fd_;
    uint16_t port_ = 0;
};

/* A socket bound to `from` (0: any) and connected to `to`:`port`. */
inline Fd connect_from(const char *from, const char *to, uint16_t port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (from) {
        inet_pton(AF_INET, from, &a.sin_addr);
        if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return Fd();
    }
    a.sin_port = htons(port);
    inet_pton(AF_INET, to, &a.sin_addr);
    return ::connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? std::move(fd) : Fd();
}

inline int sh(const std::string &command) { return std::system(command.c_str()); }

/* ---- SOCKS ------------------------------------------------------------- */

inline std::string bytes(std::initializer_list<int> v)
{
    std::string s;
    for (int b : v)
        s.push_back(static_cast<char>(b));
    return s;
}

inline std::string be16(uint16_t v) { return bytes({v >> 8, v & 0xff}); }

inline std::string socks5_request_ipv6_loopback(uint16_t port)
{
    return bytes({5, 1, 0, 4}) + std::string(15, '\0') + bytes({1}) + be16(port);
}

inline std::string socks5_request_domain(const std::string &host, uint16_t port)
{
    return bytes({5, 1, 0, 3, static_cast<int>(host.size())}) + host + be16(port);
}

struct Socks5 {
    std::optional<std::pair<std::string, std::string>> login; /* user, password */
    std::string request;                                      /* empty: IPv4 127.0.0.1 */
};

/* Connects through the gateway with SOCKS5. Returns the connected socket
 * (empty on any refusal) and stores in `rep` the REP byte, 0x100 | status
 * of a failed password exchange, or -1 when the gateway closed or stalled
 * before a whole reply. */
inline Fd socks5_connect(uint16_t gw, uint16_t dst, int *rep = nullptr, const Socks5 &opt = {})
{
    int dummy;
    int &code = rep ? *rep : dummy;
    code = -1;
    Fd fd = tcp_connect(gw);
    int method = opt.login ? 2 : 0;
    if (!fd || !send_all(fd.get(), bytes({5, 1, method})) || recv_exact(fd.get(), 2) != bytes({5, method}))
        return Fd();
    if (opt.login) {
        const auto &[u, p] = *opt.login;
        std::string auth = bytes({1, static_cast<int>(u.size())}) + u + bytes({static_cast<int>(p.size())}) + p;
        if (!send_all(fd.get(), auth))
            return Fd();
        std::string st = recv_exact(fd.get(), 2);
        if (st.size() != 2 || st[1] != 0) {
            code = st.size() == 2 ? 0x100 | static_cast<unsigned char>(st[1]) : -1;
            return Fd();
        }
    }
    if (!send_all(fd.get(), opt.request.empty() ? bytes({5, 1, 0, 1, 127, 0, 0, 1}) + be16(dst) : opt.request))
        return Fd();
    std::string head = recv_exact(fd.get(), 5);
    if (head.size() < 5 || head[0] != 5)
        return Fd();
    size_t rest = head[3] == 1 ? 5 : head[3] == 4 ? 17 : head[3] == 3 ? static_cast<unsigned char>(head[4]) + 2 : 0;
    if (rest == 0 || recv_exact(fd.get(), rest).size() < rest)
        return Fd();
    code = static_cast<unsigned char>(head[1]);
    return code == 0 ? std::move(fd) : Fd();
}

/* The reply head of an HTTP request sent on a fresh connection to `port`;
 * `keep` gets the connection. */
inline std::string http_ask(uint16_t port, const std::string &request, Fd *keep = nullptr)
{
    Fd c = tcp_connect(port);
    if (!c || !send_all(c.get(), request))
        return "";
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
        ReadResult r = recv_some(c.get(), 1);
        if (r.bytes.empty())
            break;
        head += r.bytes;
    }
    if (keep)
        *keep = std::move(c);
    return head;
}

/* SOCKS4 (or 4a with `domain`) CONNECT; 0x5a granted. */
inline Fd socks4_connect(uint16_t gw, uint16_t dst, int *rep, const char *domain = nullptr,
                         const std::string &user_id = "tester")
{
    *rep = -1;
    Fd fd = tcp_connect(gw);
    std::string req = bytes({4, 1}) + be16(dst) + (domain ? bytes({0, 0, 0, 1}) : bytes({127, 0, 0, 1})) + user_id +
                      '\0';
    if (domain)
        req += std::string(domain) + '\0';
    if (!fd || !send_all(fd.get(), req))
        return Fd();
    std::string r = recv_exact(fd.get(), 8);
    if (r.size() != 8)
        return Fd();
    *rep = static_cast<unsigned char>(r[1]);
    return *rep == 0x5a ? std::move(fd) : Fd();
}

/* ---- child processes --------------------------------------------------- */

/* Starts `argv` in `cwd` with its stdout and stderr in the two files. */
inline pid_t spawn(const std::vector<std::string> &argv, const std::string &out_path, const std::string &err_path,
                   const std::string &cwd)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(err);
    return pid;
}

/* True once `pid` is gone; `status` gets its exit status, or -1 when it
 * did not exit normally. */
inline bool reaped(pid_t pid, int &status, bool block = false)
{
    int st = 0;
    if (::waitpid(pid, &st, block ? 0 : WNOHANG) != pid)
        return false;
    status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return true;
}

struct RunResult {
    int status = -1; /* exit status, or -1 when it did not exit normally */
    std::string out, err;
};

/* Runs a short-lived program to completion (bounded, then killed). */
inline RunResult run_program(const std::vector<std::string> &argv, const TempDir &dir,
                             milliseconds limit = milliseconds(10000))
{
    static int seq = 0;
    std::string base = dir / ("run" + std::to_string(++seq));
    RunResult r;
    pid_t pid = spawn(argv, base + ".out", base + ".err", dir.path().string());
    if (pid < 0)
        return r;
    if (!eventually([&] { return reaped(pid, r.status); }, limit)) {
        ::kill(pid, SIGKILL);
        reaped(pid, r.status, true);
        r.status = -1;
    }
    r.out = slurp(base + ".out");
    r.err = slurp(base + ".err");
    return r;
}

/* The gateway as a child process in the test's directory, killed on
 * destruction unless it was stopped. */
class Gateway {
public:
    Gateway() = default;
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;
    ~Gateway() { kill_now(); }

    /* Starts the binary with `args`, then `--set` for each setting, and
     * waits for its `listening on` line. False (with the reason in
     * `error()`) when it exits or stays silent. */
    bool start(const std::string &bin, const std::vector<std::string> &settings, const TempDir &dir,
               const std::vector<std::string> &args = {})
    {
        static int seq = 0;
        std::string base = dir / ("gateway" + std::to_string(++seq));
        std::string out_path = base + ".out";
        out_path_ = out_path;
        err_path_ = base + ".err";
        std::vector<std::string> argv{bin};
        argv.insert(argv.end(), args.begin(), args.end());
        for (const auto &s : settings)
            argv.insert(argv.end(), {"--set", s});
        pid_ = spawn(argv, out_path, err_path_, dir.path().string());
        port_ = 0;
        doors_.clear();
        eventually(
            [&] {
                /* "listening on ADDR:PORT", then " (http)" or
                 * " (transparent)" for the other front doors; the first
                 * SOCKS one is port(). */
                doors_.clear();
                port_ = 0;
                for (const auto &l : lines_of(slurp(out_path))) {
                    if (l.rfind("listening on ", 0) != 0)
                        continue;
                    size_t paren = l.find(" (");
                    std::string where = l.substr(0, paren);
                    std::string door = paren == std::string::npos ? "socks" : l.substr(paren + 2, l.size() - paren - 3);
                    size_t colon = where.rfind(':');
                    if (colon == std::string::npos)
                        continue;
                    auto port = static_cast<uint16_t>(std::atoi(where.c_str() + colon + 1));
                    doors_.emplace_back(door, port);
                    if (door == "socks" && !port_)
                        port_ = port;
                }
                return !doors_.empty() || !running();
            },
            milliseconds(10000));
        if (!running() || doors_.empty()) {
            error_ = "gateway did not come up; stderr:\n" + stderr_text();
            kill_now();
            return false;
        }
        return true;
    }

    uint16_t port() const { return port_; }
    /* The first listener of a front door ("socks", "http", "transparent"). */
    uint16_t port(const std::string &door) const
    {
        for (const auto &[d, p] : doors_)
            if (d == door)
                return p;
        return 0;
    }
    bool running()
    {
        if (pid_ > 0 && reaped(pid_, exit_status_))
            pid_ = -1;
        return pid_ > 0;
    }
    const std::string &error() const { return error_; }
    std::string stderr_text() const { return slurp(err_path_); }
    std::string stdout_text() const { return slurp(out_path_); }

    void signal(int sig)
    {
        if (pid_ > 0)
            ::kill(pid_, sig);
    }

    /* Sends `sig` and waits for the exit; the exit status, or -1 when it
     * had to be killed or died by a signal. */
    int stop(int sig = SIGTERM, milliseconds limit = milliseconds(5000))
    {
        signal(sig);
        if (!eventually([&] { return !running(); }, limit)) {
            kill_now();
            return -1;
        }
        return exit_status_;
    }

    void kill_now()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            reaped(pid_, exit_status_, true);
            exit_status_ = -1;
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::vector<std::pair<std::string, uint16_t>> doors_;
    int exit_status_ = -1;
    std::string out_path_, err_path_, error_;
};

/* A listener at an IPv4 ADDRESS ("0.0.0.0": every address) and PORT, or
 * an empty Fd. */
inline Fd listen_at(const char *address, uint16_t port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, address, &a.sin_addr) != 1 ||
        ::bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd.get(), 8) != 0)
        return Fd();
    return fd;
}

/* The next connection to `listener` within `limit`, or an empty Fd. */
inline Fd accept_within(const Fd &listener, milliseconds limit)
{
    pollfd p{listener.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) != 1)
        return Fd();
    return Fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

/* Where a test that needs a network namespace of its own stands: inside
 * it (run the test: loopback is up and holds 10.99.0.2 and 10.99.0.3), or
 * outside, where it has run itself again inside one (`done`: the result is
 * in), or cannot (`not_root`: skip). */
enum class Netns { inside, done, not_root };

/* Outside the namespace: runs this test binary again under `unshare
 * --net` (or another namespace flag) with `filter`, which must select
 * exactly one test, and checks that it passed there. */
inline Netns run_in_own_netns(const TempDir &dir, const std::string &filter, const std::string &flag = "--net")
{
    if (const char *inside = std::getenv("TQ_IN_NETNS")) {
        if (std::string(inside) == "--net") {
            EXPECT_EQ(sh("ip link set lo up && ip addr add 10.99.0.2/32 dev lo && ip addr add 10.99.0.3/32 dev lo"),
                      0);
        }
        return Netns::inside;
    }
    if (geteuid() != 0)
        return Netns::not_root;
    char self[4096] = {};
    EXPECT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    RunResult r = run_program({"/usr/bin/unshare", flag, "/usr/bin/env", "TQ_IN_NETNS=" + flag, self,
                               "--gtest_filter=" + filter},
                              dir, milliseconds(60000));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out << r.err;
    return Netns::done;
}

/* The first lines of a test that runs in a namespace of its own: outside
 * it, the test is run again inside and its result taken. */
#define ENTER_OWN_NETNS(dir, filter)                                                                              \
    do {                                                                                                           \
        Netns where_ = run_in_own_netns(dir, filter);                                                              \
        if (where_ == Netns::not_root)                                                                             \
            GTEST_SKIP() << "needs root for a network namespace";                                                  \
        if (where_ == Netns::done)                                                                                 \
            return;                                                                                                \
    } while (0)

} // namespace e2e

#endif
