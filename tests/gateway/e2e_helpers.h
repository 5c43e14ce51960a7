/* Process, socket and SOCKS helpers for the end-to-end tests: they run the
 * real gateway binary as a child and talk to it over loopback only. Every
 * wait is bounded, and every resource (child, descriptor, temp dir) is
 * released by its owner even when an assertion fails half-way. */
#ifndef TESTS_GATEWAY_E2E_HELPERS_H
#define TESTS_GATEWAY_E2E_HELPERS_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
    auto end = Clock::now() + limit;
    for (;;) {
        if (pred())
            return true;
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
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
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
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
    int fd_ = -1;
};

inline bool send_all(int fd, const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

/* Sends `bytes` in segments of `seg` bytes, each its own TCP segment
 * (Nagle off) with a short pause between them, so the reader meets a
 * command cut at every possible place. */
inline bool send_segmented(int fd, const std::string &bytes, size_t seg, milliseconds pause = milliseconds(1))
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (size_t off = 0; off < bytes.size(); off += seg) {
        if (!send_all(fd, bytes.substr(off, seg)))
            return false;
        std::this_thread::sleep_for(pause);
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
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        int pr = ::poll(&p, 1, static_cast<int>(left));
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

inline std::string recv_exact(int fd, size_t n, milliseconds limit = kWait)
{
    return recv_some(fd, n, limit).bytes;
}

/* Reads whatever comes until the peer closes; `closed` false on time-out. */
inline ReadResult recv_until_closed(int fd, milliseconds limit = kWait)
{
    return recv_some(fd, SIZE_MAX, limit);
}

/* True when nothing is readable for `quiet` (no bytes and no close). */
inline bool stays_silent(int fd, milliseconds quiet)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(quiet.count())) == 0;
}

inline Fd tcp_connect(uint16_t port, const char *host = "127.0.0.1")
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, host, &a.sin_addr);
    if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return Fd();
    return fd;
}

/* A listening socket on 127.0.0.1 (or ::1) with a kernel-chosen port. */
class Listener {
public:
    explicit Listener(int backlog = 64, bool v6 = false)
    {
        fd_ = Fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int one = 1;
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_storage ss{};
        socklen_t len = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        if (v6) {
            auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
        } else {
            auto *a = reinterpret_cast<sockaddr_in *>(&ss);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        }
        auto *sa = reinterpret_cast<sockaddr *>(&ss);
        if (::bind(fd_.get(), sa, len) == 0 && ::listen(fd_.get(), backlog) == 0 &&
            ::getsockname(fd_.get(), sa, &len) == 0)
            port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                             : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
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

/* ---- SOCKS ------------------------------------------------------------- */

inline std::string bytes(std::initializer_list<int> v)
{
    std::string s;
    for (int b : v)
        s.push_back(static_cast<char>(b));
    return s;
}

inline std::string be16(uint16_t v) { return bytes({v >> 8, v & 0xff}); }

/* SOCKS5 CONNECT request to an IPv4 address. */
inline std::string socks5_request_ipv4(uint16_t port, const char *ip = "127.0.0.1")
{
    in_addr a{};
    ::inet_pton(AF_INET, ip, &a);
    return bytes({5, 1, 0, 1}) + std::string(reinterpret_cast<const char *>(&a), 4) + be16(port);
}

inline std::string socks5_request_ipv6_loopback(uint16_t port)
{
    return bytes({5, 1, 0, 4}) + std::string(15, '\0') + bytes({1}) + be16(port);
}

inline std::string socks5_request_domain(const std::string &host, uint16_t port)
{
    return bytes({5, 1, 0, 3, static_cast<int>(host.size())}) + host + be16(port);
}

/* Reads one whole SOCKS5 reply; the REP byte, or -1 when the gateway closed
 * or stalled before a complete reply. */
inline int socks5_read_reply(int fd, milliseconds limit = kWait)
{
    ReadResult head = recv_some(fd, 5, limit);
    if (head.bytes.size() < 5 || head.bytes[0] != 5)
        return -1;
    size_t rest = 0;
    switch (static_cast<unsigned char>(head.bytes[3])) {
    case 1: rest = 4 - 1 + 2; break;
    case 4: rest = 16 - 1 + 2; break;
    case 3: rest = static_cast<unsigned char>(head.bytes[4]) + 2; break;
    default: return -1;
    }
    if (recv_some(fd, rest, limit).bytes.size() < rest)
        return -1;
    return static_cast<unsigned char>(head.bytes[1]);
}

struct Socks5 {
    std::optional<std::pair<std::string, std::string>> login; /* user, password */
    std::string request;                                      /* empty: IPv4 127.0.0.1 */
};

/* Connects through the gateway with SOCKS5. Returns the connected socket
 * (empty on any refusal) and stores the REP byte (or -1) in `rep`. */
inline Fd socks5_connect(uint16_t gw, uint16_t dst, int *rep = nullptr, const Socks5 &opt = {})
{
    int dummy;
    int &code = rep ? *rep : dummy;
    code = -1;
    Fd fd = tcp_connect(gw);
    if (!fd)
        return fd;
    int method = opt.login ? 2 : 0;
    if (!send_all(fd.get(), bytes({5, 1, method})))
        return Fd();
    std::string sel = recv_exact(fd.get(), 2);
    if (sel.size() != 2 || sel[0] != 5 || static_cast<unsigned char>(sel[1]) != method)
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
    if (!send_all(fd.get(), opt.request.empty() ? socks5_request_ipv4(dst) : opt.request))
        return Fd();
    code = socks5_read_reply(fd.get());
    if (code != 0)
        return Fd();
    return fd;
}

/* SOCKS4 (or 4a with `domain`) CONNECT; 0x5a granted. */
inline Fd socks4_connect(uint16_t gw, uint16_t dst, int *rep, const char *domain = nullptr)
{
    *rep = -1;
    Fd fd = tcp_connect(gw);
    if (!fd)
        return fd;
    std::string req = bytes({4, 1}) + be16(dst);
    req += domain ? bytes({0, 0, 0, 1}) : bytes({127, 0, 0, 1});
    req += std::string("tester") + '\0';
    if (domain)
        req += std::string(domain) + '\0';
    if (!send_all(fd.get(), req))
        return Fd();
    std::string r = recv_exact(fd.get(), 8);
    if (r.size() != 8)
        return Fd();
    *rep = static_cast<unsigned char>(r[1]);
    return *rep == 0x5a ? std::move(fd) : Fd();
}

/* ---- child processes --------------------------------------------------- */

struct RunResult {
    int status = -1; /* exit status, or -1 when it did not exit normally */
    std::string out, err;
};

/* Runs a short-lived program to completion (bounded) with its output in
 * files next to `dir`. */
inline RunResult run_program(const std::vector<std::string> &argv, const TempDir &dir,
                             milliseconds limit = milliseconds(10000))
{
    static int seq = 0;
    std::string base = dir / ("run" + std::to_string(++seq));
    std::string out_path = base + ".out", err_path = base + ".err";
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    RunResult r;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(err);
    if (pid < 0)
        return r;
    int st = 0;
    bool done = eventually([&] { return ::waitpid(pid, &st, WNOHANG) == pid; }, limit);
    if (!done) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &st, 0);
    } else if (WIFEXITED(st)) {
        r.status = WEXITSTATUS(st);
    }
    r.out = slurp(out_path);
    r.err = slurp(err_path);
    return r;
}

/* The gateway as a child process. Killed on destruction unless it was
 * stopped; its stdout and stderr go to files in the test's directory so a
 * failing test can show them. */
class Gateway {
public:
    Gateway() = default;
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;
    ~Gateway() { kill_now(); }

    /* Starts the binary with `--set` for each setting (and `extra` words)
     * and waits for its `listening on` line. False (with the reason in
     * `error()`) when it exits or stays silent. */
    bool start(const std::string &bin, const std::vector<std::string> &settings, const TempDir &dir,
               const std::vector<std::string> &extra = {})
    {
        static int seq = 0;
        std::string base = dir / ("gateway" + std::to_string(++seq));
        out_path_ = base + ".out";
        err_path_ = base + ".err";
        std::vector<std::string> argv{bin};
        for (const auto &s : settings) {
            argv.push_back("--set");
            argv.push_back(s);
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        int out = ::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int err = ::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::string cwd = dir.path().string();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out, 1);
            ::dup2(err, 2);
            if (::chdir(cwd.c_str()) != 0)
                ::_exit(126);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out);
        ::close(err);
        if (pid_ < 0) {
            error_ = "fork failed";
            return false;
        }
        bool up = eventually(
            [&] {
                if (reap(false))
                    return true;
                for (const auto &l : lines_of(slurp(out_path_))) {
                    size_t colon = l.rfind(':');
                    if (l.rfind("listening on ", 0) == 0 && colon != std::string::npos) {
                        port_ = static_cast<uint16_t>(std::atoi(l.c_str() + colon + 1));
                        return true;
                    }
                }
                return false;
            },
            milliseconds(10000));
        if (!up || pid_ < 0 || port_ == 0) {
            error_ = "gateway did not come up; stderr:\n" + stderr_text();
            kill_now();
            return false;
        }
        return true;
    }

    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    bool running() { return !reap(false); }
    const std::string &error() const { return error_; }
    std::string stdout_text() const { return slurp(out_path_); }
    std::string stderr_text() const { return slurp(err_path_); }

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
        if (!eventually([&] { return reap(false); }, limit)) {
            kill_now();
            return -1;
        }
        return exit_status_;
    }

    void kill_now()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            reap(true);
        }
    }

private:
    /* True once the child is gone (and reaped). */
    bool reap(bool block)
    {
        if (pid_ <= 0)
            return true;
        int st = 0;
        if (::waitpid(pid_, &st, block ? 0 : WNOHANG) != pid_)
            return false;
        exit_status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        pid_ = -1;
        return true;
    }

    pid_t pid_ = -1;
    uint16_t port_ = 0;
    int exit_status_ = -1;
    std::string out_path_, err_path_, error_;
};

} // namespace e2e

#endif
