/* tqctl: sends one administration command to a running trevalquin over its
 * Unix socket and prints the reply.
 *
 *   tqctl [-s SOCKET] [-v] COMMAND WORDS...
 *
 * The words are joined with single blanks and sent as one line; the
 * gateway answers with tagged lines and closes:
 *   D <line>          reply data         -> stdout
 *   W <message>       warning            -> stderr as "warning: ..."
 *   E <code> <msg>    error              -> stderr as "error CODE: ..."
 *   V <event xml>     event              -> stderr, only with -v
 *   OK | FAIL         the verdict, always last
 *
 * Exit status: 0 on OK, 1 on FAIL (or a reply that stops before its
 * verdict), 2 when the socket cannot be reached or the command line is
 * wrong. The socket is -s, else $TREVALQUIN_SOCKET, else the installed
 * gateway's (TQ_ADMIN_SOCKET, in the state directory). */
#include "admin_verbs.h"
#include "textutil.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr size_t kMaxRequest = 64 * 1024;
constexpr int kReplyTimeoutMs = 60 * 1000;
// The archive's verbs read the whole archive at times (as the gateway allows).
constexpr int kArchiveReplyTimeoutMs = 15 * 60 * 1000;

enum Exit { kOk = 0, kFail = 1, kUnreachable = 2 };

void usage(FILE *to)
{
    std::fputs("usage: tqctl [-s SOCKET] [-v] COMMAND [WORDS...]\n"
               "  -s SOCKET  administration socket (default: $TREVALQUIN_SOCKET,\n"
               "             else " TQ_ADMIN_SOCKET ")\n"
               "  -v         also print the events the command produced\n"
               "commands:\n",
               to);
    std::fputs(gw::admin_help_text().c_str(), to);
}

bool send_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

struct Printer {
    bool verbose = false;
    bool verdict_seen = false;
    bool ok = false;

    /* One complete reply line, without its newline. Anything after the
     * verdict is ignored: the verdict closes the reply. */
    void line(std::string_view l)
    {
        if (!l.empty() && l.back() == '\r')
            l.remove_suffix(1);
        if (verdict_seen)
            return;
        if (l == "OK" || l == "FAIL") {
            verdict_seen = true;
            ok = l == "OK";
            return;
        }
        std::string_view body = l.size() >= 2 ? l.substr(2) : std::string_view{};
        char tag = l.empty() ? '\0' : l[0];
        bool tagged = l.size() == 1 || (l.size() >= 2 && l[1] == ' ');
        if (tagged && tag == 'D') {
            std::fwrite(body.data(), 1, body.size(), stdout);
            std::fputc('\n', stdout);
        } else if (tagged && tag == 'W') {
            std::fprintf(stderr, "warning: %.*s\n", static_cast<int>(body.size()), body.data());
        } else if (tagged && tag == 'E') {
            size_t sp = body.find(' ');
            std::string_view code = body.substr(0, sp);
            std::string_view msg = sp == std::string_view::npos ? std::string_view{} : body.substr(sp + 1);
            std::fprintf(stderr, "error %.*s: %.*s\n", static_cast<int>(code.size()), code.data(),
                         static_cast<int>(msg.size()), msg.data());
        } else if (tagged && tag == 'V') {
            if (verbose)
                std::fprintf(stderr, "event: %.*s\n", static_cast<int>(body.size()), body.data());
        } else {
            /* A line we do not know: show it rather than lose it. */
            std::fprintf(stderr, "tqctl: unexpected reply line: %.*s\n", static_cast<int>(l.size()),
                         l.data());
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    const char *sock_path = std::getenv("TREVALQUIN_SOCKET");
    if (!sock_path || !*sock_path)
        sock_path = TQ_ADMIN_SOCKET;
    Printer out;

    int i = 1;
    for (; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "-s") {
            if (i + 1 >= argc) {
                std::fputs("tqctl: -s needs a socket path\n", stderr);
                return kUnreachable;
            }
            sock_path = argv[++i];
        } else if (a == "-v") {
            out.verbose = true;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return kOk;
        } else if (a == "--manual" && i + 2 < argc) {
            // The manual page: its template with the commands put in.
            std::string error;
            if (!gw::fill_template(argv[i + 1], argv[i + 2], "@COMMANDS@", gw::admin_verbs_roff(), error)) {
                std::fprintf(stderr, "tqctl: %s\n", error.c_str());
                return kFail;
            }
            return kOk;
        } else if (a == "--") {
            ++i;
            break;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "tqctl: unknown option %s\n", argv[i]);
            usage(stderr);
            return kUnreachable;
        } else {
            break;
        }
    }
    if (i >= argc) {
        usage(stderr);
        return kUnreachable;
    }

    std::string request;
    for (int k = i; k < argc; ++k) {
        if (std::strpbrk(argv[k], "\r\n")) {
            std::fputs("tqctl: a command word may not contain a line break\n", stderr);
            return kUnreachable;
        }
        if (k > i)
            request += ' ';
        request += argv[k];
    }
    request += '\n';
    if (request.size() > kMaxRequest) {
        std::fprintf(stderr, "tqctl: command longer than %zu bytes\n", kMaxRequest);
        return kUnreachable;
    }

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(sock_path) >= sizeof addr.sun_path) {
        std::fprintf(stderr, "tqctl: socket path too long: %s\n", sock_path);
        return kUnreachable;
    }
    std::strcpy(addr.sun_path, sock_path);

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::fprintf(stderr, "tqctl: socket: %s\n", std::strerror(errno));
        return kUnreachable;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        std::fprintf(stderr, "tqctl: cannot connect to %s: %s\n", sock_path, std::strerror(errno));
        ::close(fd);
        return kUnreachable;
    }

    /* The gateway may answer (and close) before reading all of a request it
     * refuses; a failed send is then not the end of the story, the reply
     * still tells why. */
    bool sent = send_all(fd, request.data(), request.size());
    ::shutdown(fd, SHUT_WR);

    std::string pending;
    char buf[8192];
    const int timeout = std::strcmp(argv[i], "archive") == 0 ? kArchiveReplyTimeoutMs : kReplyTimeoutMs;
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        int pr = ::poll(&pfd, 1, timeout);
        if (pr < 0 && errno == EINTR)
            continue;
        if (pr == 0) {
            std::fputs("tqctl: no reply from the gateway\n", stderr);
            break;
        }
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1)
            out.line(std::string_view(pending).substr(start, nl - start));
        pending.erase(0, start);
    }
    ::close(fd);
    if (!pending.empty())
        out.line(pending);
    std::fflush(stdout);

    if (!out.verdict_seen) {
        if (!sent)
            std::fprintf(stderr, "tqctl: could not send the command to %s\n", sock_path);
        else
            std::fputs("tqctl: the reply ended before its verdict\n", stderr);
        return kFail;
    }
    return out.ok ? kOk : kFail;
}
