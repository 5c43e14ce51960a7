/* Load generator of the gateway benchmark (bench/load/run.sh): a day at an
 * IM gateway in one process, bounded in time and in count.
 *
 *   load policy USERS                    prints a policy for USERS local users
 *   load run USERS CONVERSATIONS RATE SECONDS MODE    then, on stdin: SOCKS PID
 *
 * `run` plays a notification server and a switchboard on loopback (a thread
 * of their own) and USERS clients that sign in through the SOCKS5 proxy at
 * 127.0.0.1:SOCKS (0: straight to the servers). Each user gets a contact
 * list of 50 to 200 contacts and the presence of each; one in ten contacts
 * is of a domain the policy blocks, whose presence must never arrive. Then
 * CONVERSATIONS pairs of users open switchboard sessions and exchange RATE
 * messages a second in all for SECONDS: chat messages, typing notices,
 * nudges, and now and then a message the policy blocks (a file-transfer
 * invitation, a text holding "SECRET-n"), while the notification servers
 * send presence changes. Every message that arrives is compared byte for
 * byte with what was sent; a blocked one must never arrive, an allowed one
 * must, once. Messages the gateway adds itself (warnings, notices: they carry an
 * X-Trevalquin header) are counted apart. MODE "filtered" expects the
 * policy of `load policy` to be applied; "plain" expects a relay that
 * passes everything, blocked contacts and messages included. PID is the
 * relay's process (0: none), whose CPU time and memory are reported.
 *
 * The results go to stdout as `key value` lines; the exit status is 1 when
 * anything was lost, changed or let through that should not have been.
 * The servers' ports are printed first ("ns", "sb"), for the relay to be
 * started with (a gateway relays both through its module: "msnp-ports");
 * then the run reads the relay's port and process from stdin and starts. */
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "../loopback.h"

namespace {

using namespace loopback;
using Clock = std::chrono::steady_clock;

/* ---- the population, shared by the policy and the run ---------------------- */

std::string user(size_t i) { return "u" + std::to_string(i) + "@load.example"; }
std::string friendly(size_t i) { return "User%20" + std::to_string(i); }

/* Contact k of user i: another local user, a partner, or (every tenth) a
 * contact of the blocked domain. */
std::string contact(size_t i, size_t k, size_t users)
{
    if (k % 10 == 9)
        return "b" + std::to_string(i * 7 + k) + "@blocked.example";
    if (k % 2 == 0)
        return user((i + k + 1) % users);
    return "p" + std::to_string(i * 3 + k) + "@partner" + std::to_string(k % 5) + ".example";
}
size_t contact_count(size_t i) { return 50 + (i * 37) % 151; }
/* Whether the relay applies the policy (else blocked traffic passes too). */
bool g_filtered = true;
bool blocked_contact(const std::string &handle)
{
    return g_filtered && handle.find("@blocked.example") != std::string::npos;
}

/* ---- the policy -------------------------------------------------------------- */

/* Ten thousand users in nodes of a thousand, groups of a hundred, a time
 * window, IM type sets and a content expression, like a company's. */
int print_policy(size_t users)
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<trevalquin version=\"1.0\">\n<object-list>\n";
    out += "<time identifier=\"Always\"><entry type=\"data\"><time type=\"relative\">all@00:00-23:59</time>"
           "</entry></time>\n"
           "<time identifier=\"Office\"><entry type=\"data\"><time type=\"relative\">"
           "month_all,mo,tu,we,th,fr@08:00-18:00</time></entry></time>\n"
           "<imbitmap identifier=\"Chat\">"
           "<entry type=\"data\"><acl>command_receive_message</acl></entry>"
           "<entry type=\"data\"><acl>message_plaintext</acl></entry>"
           "<entry type=\"data\"><acl>message_control</acl></entry>"
           "<entry type=\"data\"><acl>message_datacast</acl></entry>"
           "<entry type=\"data\"><acl>datacast_nudge</acl></entry></imbitmap>\n"
           "<imbitmap identifier=\"Files\">"
           "<entry type=\"data\"><acl>command_receive_message</acl></entry>"
           "<entry type=\"data\"><acl>message_invite</acl></entry>"
           "<entry type=\"data\"><acl>message_p2p</acl></entry>"
           "<entry type=\"data\"><acl>invite_file_transfer</acl></entry></imbitmap>\n"
           "<expr identifier=\"Leaks\"><entry type=\"data\"><expr type=\"ere\">SECRET-[0-9]+<body/></expr>"
           "</entry></expr>\n"
           "<person type=\"2\" name=\"Blocked\"><handle>.*@blocked\\.example</handle></person>\n"
           "<person type=\"2\" name=\"Partners\"><handle>.*@partner[0-9]\\.example</handle></person>\n";
    for (size_t i = 0; i < users; ++i)
        out += "<person type=\"3\" name=\"u" + std::to_string(i) + "\"><handle>" + user(i) + "</handle></person>\n";
    for (size_t g = 0; g * 100 < users; ++g) {
        out += "<group name=\"Team" + std::to_string(g) + "\">";
        for (size_t i = g * 100; i < std::min(users, g * 100 + 100); ++i)
            out += "<member type=\"single\">u" + std::to_string(i) + "</member>";
        out += "</group>\n";
    }
    out += "<group name=\"Colleagues\">";
    for (size_t g = 0; g * 100 < users; ++g)
        out += "<member type=\"group\">Team" + std::to_string(g) + "</member>";
    out += "</group>\n</object-list>\n<relation-trees>\n";
    const char *rules =
        "<relation object=\"Blocked\" action=\"block\" direction=\"both\"/>\n"
        "<relation object=\"Colleagues\" action=\"block\" direction=\"both\"><access-list>"
        "<object type=\"expr\">Leaks</object></access-list></relation>\n"
        "<relation object=\"Colleagues\" action=\"block\" direction=\"both\"><access-list>"
        "<object type=\"imbitmap\">Files</object></access-list></relation>\n"
        "<relation object=\"Colleagues\" action=\"pass\" direction=\"both\"><access-list>"
        "<object type=\"time\">Always</object><object type=\"imbitmap\">Chat</object></access-list></relation>\n"
        "<relation object=\"Colleagues\" action=\"pass\" direction=\"both\"/>\n"
        "<relation object=\"Partners\" action=\"block\" direction=\"both\"><access-list>"
        "<object type=\"imbitmap\">Files</object></access-list></relation>\n"
        "<relation object=\"Partners\" action=\"pass\" direction=\"both\"/>\n";
    for (size_t d = 0; d * 1000 < users; ++d) {
        out += "<node identifier=\"Dept" + std::to_string(d) + "\">\n";
        for (size_t i = d * 1000; i < std::min(users, d * 1000 + 1000); ++i)
            out += "<user>u" + std::to_string(i) + "</user>\n";
        out += rules;
        out += "</node>\n";
    }
    out += "</relation-trees>\n</trevalquin>\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

/* ---- sockets ---------------------------------------------------------------------- */

/* A connection to `dst`, through the SOCKS5 proxy at `socks` unless it is
 * 0: blocking until the proxy has connected, non-blocking after. */
int open_via(uint16_t socks, uint16_t dst)
{
    int fd = open_socks(socks, dst);
    nonblocking(fd);
    return fd;
}

/* A non-blocking stream: what came in and what still has to go out. */
struct Stream {
    int fd = -1;
    std::string in, out;
    bool closed = false;

    /* Writes what it can; the rest waits for EPOLLOUT. */
    void flush()
    {
        while (!out.empty()) {
            ssize_t w = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (w <= 0) {
                closed = true;
                return;
            }
            out.erase(0, static_cast<size_t>(w));
        }
    }
    void send(const std::string &s)
    {
        out += s;
        flush();
    }
    /* Reads all there is; false once the peer is gone. */
    bool fill()
    {
        char buf[65536];
        for (;;) {
            ssize_t r = ::recv(fd, buf, sizeof buf, 0);
            if (r > 0) {
                in.append(buf, static_cast<size_t>(r));
                continue;
            }
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            closed = true;
            return false;
        }
    }
    /* The next whole command: a line, or a payload command with its
     * payload; empty while incomplete. */
    std::string next()
    {
        size_t eol = in.find("\r\n");
        if (eol == std::string::npos)
            return "";
        size_t size = eol + 2;
        if (in.compare(0, 4, "MSG ") == 0) {
            size_t sp = in.rfind(' ', eol);
            size_t len = sp == std::string::npos ? 0 : std::strtoul(in.c_str() + sp + 1, nullptr, 10);
            if (in.size() < size + len)
                return "";
            size += len;
        }
        std::string cmd = in.substr(0, size);
        in.erase(0, size);
        return cmd;
    }
};

std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> w;
    size_t end = line.find("\r\n");
    std::string l = line.substr(0, end);
    for (size_t p = 0; p < l.size();) {
        size_t q = l.find(' ', p);
        if (q == std::string::npos)
            q = l.size();
        if (q > p)
            w.push_back(l.substr(p, q - p));
        p = q + 1;
    }
    return w;
}

/* ---- the servers (a thread of their own) --------------------------------------------- */

struct Servers {
    size_t users = 0;
    int ns_listen = -1, sb_listen = -1, ep = -1;
    uint16_t ns_port = 0, sb_port = 0;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> presence_sent{0};
    /* Presence changes to send per notification connection and second. */
    std::atomic<double> presence_rate{0};
    double presence_owed = 0;

    struct Conn {
        Stream s;
        bool sb = false;
        std::string handle;
        size_t index = 0;  // the user's number, on the notification server
        std::string session;
        size_t next_contact = 0;
    };
    std::unordered_map<int, std::unique_ptr<Conn>> conns;
    std::map<std::string, std::vector<Conn *>> sessions;  // switchboard sessions by cookie
    std::vector<Conn *> ns_signed;                          // signed-in notification connections

    void start()
    {
        ns_listen = listen_loopback(&ns_port);
        sb_listen = listen_loopback(&sb_port);
        ep = ::epoll_create1(EPOLL_CLOEXEC);
        for (int fd : {ns_listen, sb_listen}) {
            epoll_event e{EPOLLIN, {.fd = fd}};
            ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
        }
    }

    void accept_all(int lfd)
    {
        for (;;) {
            int fd = ::accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                return;
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            auto c = std::make_unique<Conn>();
            c->s.fd = fd;
            c->sb = lfd == sb_listen;
            epoll_event e{EPOLLIN | EPOLLOUT | EPOLLET, {.fd = fd}};
            ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
            conns[fd] = std::move(c);
        }
    }

    void ns_command(Conn &c, const std::string &cmd)
    {
        auto w = words(cmd);
        if (w.empty())
            return;
        const std::string &op = w[0];
        std::string t = w.size() > 1 ? w[1] : "0";
        if (op == "VER") {
            c.s.send("VER " + t + " MSNP8 CVR0\r\n");
        } else if (op == "CVR") {
            c.s.send("CVR " + t + " 6.2.0208 6.2.0208 6.0.0602 http://download.example/ http://www.example/\r\n");
        } else if (op == "USR" && w.size() >= 5 && w[3] == "I") {
            c.handle = w[4];
            c.s.send("USR " + t + " TWN S lc=1033,id=507,tw=40,fs=1,ct=1062764229,kpp=1,kv=5\r\n");
        } else if (op == "USR") {
            c.index = std::strtoul(c.handle.c_str() + 1, nullptr, 10);
            c.s.send("USR " + t + " OK " + c.handle + " " + friendly(c.index) + " 1 0\r\n");
        } else if (op == "SYN") {
            size_t n = contact_count(c.index);
            std::string out = "SYN " + t + " 1 " + std::to_string(n) + " 1\r\nLSG 0 Friends 0\r\n";
            for (size_t k = 0; k < n; ++k) {
                std::string h = contact(c.index, k, users);
                /* A contact's identifier is a GUID, as the servers give them. */
                char id[40];
                std::snprintf(id, sizeof id, "%08zx-%04x-4%03x-a%03zx-%012zx", c.index, 0x5eed, 0x123, k % 0x1000, k);
                out += "LST N=" + h + " F=" + h + " C=" + id + " 11 0\r\n";
            }
            c.s.send(out);
        } else if (op == "CHG") {
            /* Online: the presence of every contact, then a marker. */
            std::string out = "CHG " + t + " NLN 0\r\n";
            for (size_t k = 0, n = contact_count(c.index); k < n; ++k)
                out += "ILN " + t + " NLN " + contact(c.index, k, users) + " Contact 0\r\n";
            c.s.send(out + "QNG 50\r\n");
            ns_signed.push_back(&c);
        } else if (op == "PNG") {
            c.s.send("QNG 50\r\n");
        }
        /* REA, PRP and the like (the gateway's own included) need no answer. */
    }

    void sb_command(Conn &c, const std::string &cmd)
    {
        auto w = words(cmd);
        if (w.empty())
            return;
        const std::string &op = w[0];
        std::string t = w.size() > 1 ? w[1] : "0";
        if (op == "USR" && w.size() >= 4) {
            c.handle = w[2];
            c.session = w[3];
            sessions[c.session].push_back(&c);
            c.s.send("USR " + t + " OK " + c.handle + " " + c.handle + "\r\n");
        } else if (op == "CAL" && w.size() >= 3) {
            c.s.send("CAL " + t + " RINGING 11752013\r\n");
        } else if (op == "ANS" && w.size() >= 4) {
            c.handle = w[2];
            c.session = w[3];
            auto &members = sessions[c.session];
            std::string iro;
            for (size_t i = 0; i < members.size(); ++i) {
                iro += "IRO " + t + " " + std::to_string(i + 1) + " " + std::to_string(members.size()) + " " +
                       members[i]->handle + " " + members[i]->handle + "\r\n";
                members[i]->s.send("JOI " + c.handle + " " + c.handle + "\r\n");
            }
            members.push_back(&c);
            c.s.send(iro + "ANS " + t + " OK\r\n");
        } else if (op == "MSG" && w.size() >= 4) {
            /* To everybody else in the session, as from the sender. */
            size_t head = cmd.find("\r\n") + 2;
            std::string payload = cmd.substr(head);
            std::string out = "MSG " + c.handle + " " + c.handle + " " + std::to_string(payload.size()) + "\r\n" + payload;
            for (Conn *m : sessions[c.session])
                if (m != &c)
                    m->s.send(out);
            if (w[2] == "A")
                c.s.send("ACK " + t + "\r\n");
        } else if (op == "OUT") {
            c.s.closed = true;
        }
    }

    void drop(Conn *c)
    {
        if (!c->session.empty()) {
            auto &m = sessions[c->session];
            m.erase(std::remove(m.begin(), m.end(), c), m.end());
        }
        ns_signed.erase(std::remove(ns_signed.begin(), ns_signed.end(), c), ns_signed.end());
        ::close(c->s.fd);
        conns.erase(c->s.fd);
    }

    /* Presence changes: each signed-in user now and then hears that one of
     * its contacts changed state, blocked contacts included. */
    void presence(double seconds)
    {
        presence_owed += presence_rate.load() * seconds * static_cast<double>(ns_signed.size());
        for (; presence_owed >= 1 && !ns_signed.empty(); presence_owed -= 1) {
            Conn *c = ns_signed[presence_sent % ns_signed.size()];
            size_t k = c->next_contact++ % contact_count(c->index);
            const char *state = (presence_sent / ns_signed.size()) % 2 ? "NLN" : "AWY";
            c->s.send(std::string("NLN ") + state + " " + contact(c->index, k, users) + " Contact 0\r\n");
            ++presence_sent;
        }
    }

    void run()
    {
        std::vector<epoll_event> ev(1024);
        auto last = Clock::now();
        while (!stop.load()) {
            int n = ::epoll_wait(ep, ev.data(), static_cast<int>(ev.size()), 5);
            for (int i = 0; i < n; ++i) {
                int fd = ev[i].data.fd;
                if (fd == ns_listen || fd == sb_listen) {
                    accept_all(fd);
                    continue;
                }
                auto it = conns.find(fd);
                if (it == conns.end())
                    continue;
                Conn *c = it->second.get();
                c->s.flush();
                if (ev[i].events & EPOLLIN) {
                    c->s.fill();
                    for (std::string cmd; !(cmd = c->s.next()).empty();)
                        c->sb ? sb_command(*c, cmd) : ns_command(*c, cmd);
                }
                if (c->s.closed)
                    drop(c);
            }
            auto now = Clock::now();
            presence(std::chrono::duration<double>(now - last).count());
            last = now;
        }
    }
};

/* ---- the clients ------------------------------------------------------------------------ */

struct Client;

struct Sent {
    std::string payload;
    Clock::time_point at;
    bool blocked;
    const Client *to;
};

struct Client {
    Stream s;
    size_t index = 0;
    bool sb = false;
    bool ready = false;       // signed in (ns) or joined (sb)
    size_t iln = 0, iln_blocked = 0, nln = 0, nln_blocked = 0;
    Client *peer = nullptr;   // the other end of a conversation
    std::string conversation;
    size_t callee = 0;        // the user a caller calls
};

struct Results {
    uint64_t delivered = 0, sent_allowed = 0, sent_blocked = 0, leaked = 0, changed = 0, injected = 0;
    uint64_t unknown = 0;
    std::vector<double> latency_us;
};

class Run {
public:
    Run(uint16_t socks, Servers &srv) : socks_(socks), srv_(srv) { ep_ = ::epoll_create1(EPOLL_CLOEXEC); }

    Client *open(size_t index, bool sb)
    {
        auto c = std::make_unique<Client>();
        c->s.fd = open_via(socks_, sb ? srv_.sb_port : srv_.ns_port);
        c->index = index;
        c->sb = sb;
        epoll_event e{EPOLLIN | EPOLLOUT | EPOLLET, {.fd = c->s.fd}};
        ::epoll_ctl(ep_, EPOLL_CTL_ADD, c->s.fd, &e);
        Client *p = c.get();
        clients_[c->s.fd] = std::move(c);
        return p;
    }

    /* Runs the loop for up to `ms` milliseconds. */
    void poll(int ms)
    {
        epoll_event ev[512];
        int n = ::epoll_wait(ep_, ev, 512, ms);
        for (int i = 0; i < n; ++i) {
            auto it = clients_.find(ev[i].data.fd);
            if (it == clients_.end())
                continue;
            Client &c = *it->second;
            c.s.flush();
            if (ev[i].events & EPOLLIN) {
                c.s.fill();
                for (std::string cmd; !(cmd = c.s.next()).empty();)
                    c.sb ? sb_reply(c, cmd) : ns_reply(c, cmd);
            }
        }
    }

    void ns_reply(Client &c, const std::string &cmd)
    {
        auto w = words(cmd);
        if (w.empty())
            return;
        if (w[0] == "VER")
            c.s.send("CVR 2 0x0409 winnt 5.1 i386 MSNMSGR 6.2.0208 MSMSGS " + user(c.index) + "\r\n");
        else if (w[0] == "CVR")
            c.s.send("USR 3 TWN I " + user(c.index) + "\r\n");
        else if (w[0] == "USR" && w.size() > 2 && w[2] == "TWN")
            c.s.send("USR 4 TWN S t=ticket&p=\r\n");
        else if (w[0] == "USR" && w.size() > 2 && w[2] == "OK")
            c.s.send("SYN 5 0\r\n");
        else if (w[0] == "SYN")
            c.s.send("CHG 6 NLN 0\r\n");
        else if (w[0] == "ILN" && w.size() > 3) {
            ++c.iln;
            c.iln_blocked += blocked_contact(w[3]);
        } else if (w[0] == "NLN" && w.size() > 2) {
            ++c.nln;
            c.nln_blocked += blocked_contact(w[2]);
        } else if (w[0] == "QNG" && !c.ready) {
            c.ready = true;
            ++signed_in_;
            signin_done_ = Clock::now();
        }
    }

    void sb_reply(Client &c, const std::string &cmd)
    {
        auto w = words(cmd);
        if (w.empty())
            return;
        if (w[0] == "USR" && w.size() > 2 && w[2] == "OK") {
            c.s.send("CAL 2 " + user(c.callee) + "\r\n");
        } else if (w[0] == "CAL") {
            /* Ringing: the peer answers. */
            Client *b = open(c.callee, true);
            b->peer = &c;
            c.peer = b;
            b->conversation = c.conversation;
            b->s.send("ANS 1 " + user(b->index) + " " + c.conversation + " 11752013\r\n");
        } else if (w[0] == "JOI" || (w[0] == "ANS" && w.size() > 2 && w[2] == "OK")) {
            if (!c.ready) {
                c.ready = true;
                ++joined_;
            }
        } else if (w[0] == "MSG") {
            received(c, cmd);
        }
    }

    void received(Client &c, const std::string &cmd)
    {
        std::string payload = cmd.substr(cmd.find("\r\n") + 2);
        size_t head = payload.find("\r\n\r\n");
        if (payload.find("X-Trevalquin") < head) {
            ++res_.injected;
            return;
        }
        size_t at = payload.find("X-Load-Id: ");
        uint64_t id = at < head ? std::strtoull(payload.c_str() + at + 11, nullptr, 10) : 0;
        auto it = sent_.find(id);
        if (it == sent_.end()) {
            ++res_.unknown;
            return;
        }
        if (!it->second.blocked)
            --awaited_;
        if (it->second.blocked)
            ++res_.leaked;
        else if (it->second.payload != payload || it->second.to != &c)
            ++res_.changed;
        else {
            ++res_.delivered;
            res_.latency_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - it->second.at).count());
        }
        sent_.erase(it);
    }

    /* One message from `from` to its peer: mostly chat, some typing notices
     * and nudges, now and then a file offer or a leak the policy blocks. */
    void send_message(Client &from)
    {
        uint64_t id = ++next_id_;
        std::string head = "MIME-Version: 1.0\r\n";
        std::string body;
        std::string type;
        bool blocked = false;
        unsigned kind = id % 100;
        std::string tag = "X-Load-Id: " + std::to_string(id) + "\r\n";
        if (kind < 8) {
            type = "U";
            head += "Content-Type: text/x-msmsgscontrol\r\nTypingUser: " + user(from.index) + "\r\n" + tag;
            body = "\r\n";
        } else if (kind < 10) {
            type = "N";
            head += "Content-Type: text/x-msnmsgr-datacast\r\n" + tag;
            body = "ID: 1\r\n\r\n";
        } else if (kind == 10) {
            type = "N";
            blocked = g_filtered;
            head += "Content-Type: text/x-msmsgsinvite; charset=UTF-8\r\n" + tag;
            body = "Application-Name: File Transfer\r\nApplication-GUID: {5D3E02AB-6190-11D3-BBBB-00C04F795683}\r\n"
                   "Invitation-Command: INVITE\r\nInvitation-Cookie: " +
                   std::to_string(id) + "\r\nApplication-File: report.pdf\r\nApplication-FileSize: 1000\r\n\r\n";
        } else {
            type = "N";
            blocked = kind == 11 && g_filtered;
            head += "Content-Type: text/plain; charset=UTF-8\r\nX-MMS-IM-Format: FN=Segoe%20UI; EF=; CO=0; CS=0; PF=0\r\n" +
                    tag;
            body = blocked ? "the code is SECRET-" + std::to_string(id) : "message " + std::to_string(id) + " ";
            body += std::string(40 + id % 200, 'a' + static_cast<char>(id % 26));
        }
        std::string payload = head + "\r\n" + body;
        sent_[id] = Sent{payload, Clock::now(), blocked, from.peer};
        awaited_ += !blocked;
        (blocked ? res_.sent_blocked : res_.sent_allowed)++;
        from.s.send("MSG " + std::to_string(id % 100000) + " " + type + " " + std::to_string(payload.size()) + "\r\n" +
                    payload);
    }

    int ep_ = -1;
    uint16_t socks_;
    Servers &srv_;
    std::unordered_map<int, std::unique_ptr<Client>> clients_;
    std::unordered_map<uint64_t, Sent> sent_;
    /* Sent and due to arrive: what a blocked message never does. */
    size_t awaited_ = 0;
    uint64_t next_id_ = 0;
    size_t signed_in_ = 0, joined_ = 0;
    Clock::time_point signin_done_;
    Results res_;
};

double cpu_seconds(long pid)
{
    if (pid <= 0)
        return 0;
    FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return 0;
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char *p = std::strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return 0;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double percentile(std::vector<double> &v, double p)
{
    if (v.empty())
        return 0;
    size_t k = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

int run(size_t users, size_t conversations, double rate, double seconds)
{
    rlimit rl;
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
    conversations = std::min(conversations, users / 2);
    Servers srv;
    srv.users = users;
    srv.start();
    std::printf("ns %u\nsb %u\n", srv.ns_port, srv.sb_port);
    std::fflush(stdout);
    unsigned socks = 0;
    long pid = 0;
    if (!(std::cin >> socks >> pid) || socks > 65535) {
        std::fputs("load: expected the relay's port and process on stdin\n", stderr);
        return 2;
    }
    std::thread server([&] { srv.run(); });

    Run r(static_cast<uint16_t>(socks), srv);
    long rss0 = rss_kib(pid);
    /* Sign-ins: a new one whenever fewer than 200 are under way. */
    auto t0 = Clock::now();
    std::vector<Client *> ns;
    for (size_t i = 0; i < users; ++i) {
        while (ns.size() - r.signed_in_ >= 200)
            r.poll(1);
        Client *c = r.open(i, false);
        c->s.send("VER 1 MSNP8 CVR0\r\n");
        ns.push_back(c);
        r.poll(0);
    }
    while (r.signed_in_ < users && Clock::now() - t0 < std::chrono::seconds(120))
        r.poll(5);
    double signin_s = std::chrono::duration<double>(r.signin_done_ - t0).count();
    long rss1 = rss_kib(pid);
    size_t wrong_presence = 0;
    for (Client *c : ns) {
        size_t allowed = 0;
        for (size_t k = 0, n = contact_count(c->index); k < n; ++k)
            allowed += !blocked_contact(contact(c->index, k, users));
        wrong_presence += c->iln_blocked + (c->iln != allowed);
    }

    /* Conversations: user 2k calls user 2k+1. */
    std::vector<Client *> talkers;
    for (size_t k = 0; k < conversations; ++k) {
        Client *a = r.open(2 * k, true);
        a->conversation = "conv" + std::to_string(k);
        a->callee = 2 * k + 1;
        a->s.send("USR 1 " + user(a->index) + " " + a->conversation + "\r\n");
        talkers.push_back(a);
        r.poll(0);
    }
    auto t1 = Clock::now();
    while (r.joined_ < 2 * conversations && Clock::now() - t1 < std::chrono::seconds(60))
        r.poll(5);

    /* The day: messages at the rate asked, presence changes alongside. */
    srv.presence_rate.store(0.05);
    double cpu0 = cpu_seconds(pid);
    auto start = Clock::now();
    double owed = 0;
    size_t turn = 0;
    auto last = start;
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
        r.poll(1);
        auto now = Clock::now();
        owed = std::min(owed + rate * std::chrono::duration<double>(now - last).count(), 1e5);
        last = now;
        /* At most 50 messages per conversation on their way: a rate the
         * relay cannot keep up with measures what it can, not our memory.
         * Blocked messages are not on their way: counting them would close
         * the window on a filtering relay a little more with every one. */
        for (; owed >= 1 && !talkers.empty() && r.awaited_ < 50 * talkers.size(); owed -= 1, ++turn) {
            Client *a = talkers[turn % talkers.size()];
            Client *from = (turn / talkers.size()) % 2 && a->peer && a->peer->ready ? a->peer : a;
            if (from->ready)
                r.send_message(*from);
        }
    }
    double busy = std::chrono::duration<double>(Clock::now() - start).count();
    srv.presence_rate.store(0);
    /* What is still on its way gets two seconds. */
    auto drain = Clock::now();
    while (Clock::now() - drain < std::chrono::seconds(2)) {
        size_t pending = 0;
        for (auto &[id, s] : r.sent_)
            pending += !s.blocked;
        if (pending == 0)
            break;
        r.poll(5);
    }
    r.poll(200);  // and a moment for anything blocked that would leak late
    double cpu1 = cpu_seconds(pid);
    srv.stop.store(true);
    server.join();

    Results &res = r.res_;
    uint64_t lost = 0;
    for (auto &[id, s] : r.sent_)
        lost += !s.blocked;
    size_t presence_leaked = 0, presence_heard = 0;
    for (Client *c : ns) {
        presence_leaked += c->nln_blocked;
        presence_heard += c->nln;
    }
    std::printf("users %zu\nsigned_in %zu\nsignins_per_s %.0f\nwrong_contact_lists %zu\n", users, r.signed_in_,
                signin_s > 0 ? static_cast<double>(r.signed_in_) / signin_s : 0.0, wrong_presence);
    std::printf("conversations %zu\njoined %zu\n", conversations, r.joined_ / 2);
    std::printf("messages_allowed %llu\nmessages_blocked %llu\ndelivered %llu\nmessages_per_s %.0f\n",
                static_cast<unsigned long long>(res.sent_allowed), static_cast<unsigned long long>(res.sent_blocked),
                static_cast<unsigned long long>(res.delivered), static_cast<double>(res.delivered) / busy);
    std::printf("lost %llu\nchanged %llu\nleaked %llu\nduplicated_or_unknown %llu\ninjected %llu\n",
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(res.changed),
                static_cast<unsigned long long>(res.leaked), static_cast<unsigned long long>(res.unknown),
                static_cast<unsigned long long>(res.injected));
    std::printf("presence_heard %zu\npresence_leaked %zu\n", presence_heard, presence_leaked);
    std::printf("latency_p50_us %.0f\nlatency_p99_us %.0f\nlatency_p999_us %.0f\nlatency_max_us %.0f\n",
                percentile(res.latency_us, 0.5), percentile(res.latency_us, 0.99), percentile(res.latency_us, 0.999),
                percentile(res.latency_us, 1.0));
    if (pid > 0) {
        std::printf("cpu_s_per_1000_messages %.3f\n",
                    res.delivered ? (cpu1 - cpu0) * 1000.0 / static_cast<double>(res.delivered) : 0.0);
        std::printf("rss_per_user_kib %.1f\nrss_kib %ld\n",
                    static_cast<double>(rss1 - rss0) / static_cast<double>(std::max<size_t>(1, users)), rss1);
    }
    bool ok = r.signed_in_ == users && wrong_presence == 0 && r.joined_ == 2 * conversations && lost == 0 &&
              res.changed == 0 && res.leaked == 0 && res.unknown == 0 && presence_leaked == 0;
    std::printf("verdict %s\n", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "policy" && argc == 3)
        return print_policy(std::strtoul(argv[2], nullptr, 10));
    if (cmd == "run" && argc == 7 && (std::string(argv[6]) == "filtered" || std::string(argv[6]) == "plain")) {
        g_filtered = std::string(argv[6]) == "filtered";
        return run(std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10), std::atof(argv[4]),
                   std::atof(argv[5]));
    }
    std::fputs("usage: load policy USERS | load run USERS CONVERSATIONS RATE SECONDS filtered|plain\n", stderr);
    return 2;
}
