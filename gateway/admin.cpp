// Administration commands and their Unix socket.
#include "admin.h"
#include "admin_verbs.h"
#include "archive_admin.h"
#include "textutil.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace gw {

namespace {

using local = asio::local::stream_protocol;

// A request must come and be answered within this; a caller that sends
// nothing is let go as soon.
constexpr auto kAdminTimeout = std::chrono::seconds(10);
// What the archive's verbs may take: a verify reads every record.
constexpr auto kArchiveTimeout = std::chrono::minutes(15);

// Protocol lines never contain a line break of their own.
std::string flat(const std::string &s)
{
    std::string out = s;
    for (char &c : out)
        if (c == '\n' || c == '\r')
            c = ' ';
    return out;
}

bool need_level(const AdminCaller &caller, Report &r)
{
    if (caller.level <= 1)
        return true;
    r.error(12, "More level required");
    return false;
}

// One screen: every command, and every verb of the module with its forms.

std::string user_name(uid_t uid)
{
    struct passwd pw{};
    struct passwd *found = nullptr;
    char buf[1024];
    if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

// One request on the administration socket.
class AdminSession : public std::enable_shared_from_this<AdminSession> {
public:
    AdminSession(local::socket s, AdminCommands &commands, int others_level, AdminServer::Slot slot)
        : socket_(std::move(s)), timer_(socket_.get_executor()), commands_(commands),
          others_level_(others_level), slot_(std::move(slot))
    {
    }

    void start()
    {
        arm(kAdminTimeout);
        read();
    }

    void arm(std::chrono::seconds limit)
    {
        timer_.expires_after(limit);
        timer_.async_wait([self = shared_from_this()](const asio::error_code &ec) {
            if (!ec && !self->answered_) {
                asio::error_code ignored;
                self->socket_.close(ignored);
            }
        });
    }

private:
    void read()
    {
        socket_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](
                                                          const asio::error_code &ec, size_t n) {
            self->on_read(ec, n);
        });
    }

    void on_read(const asio::error_code &ec, size_t n)
    {
        if (ec && ec != asio::error::eof) {
            timer_.cancel();
            return; // the caller went away or the timer closed the socket
        }
        line_.append(chunk_.data(), n);
        size_t nl = line_.find('\n');
        if (nl == std::string::npos && line_.size() > kAdminMaxRequest) {
            Report r;
            r.error(2, "Request longer than " + std::to_string(kAdminMaxRequest) + " bytes");
            reply(format_admin_reply(r, false));
            return;
        }
        if (nl == std::string::npos && !ec) {
            read();
            return;
        }
        if (nl != std::string::npos)
            line_.resize(nl);
        if (line_.size() > kAdminMaxRequest) {
            Report r;
            r.error(2, "Request longer than " + std::to_string(kAdminMaxRequest) + " bytes");
            reply(format_admin_reply(r, false));
            return;
        }
        AdminCaller caller = identify();
        AdminRequest req;
        if (!parse_admin_request(line_, req)) {
            Report r;
            r.error(2, "Empty request");
            reply(format_admin_reply(r, false));
            return;
        }
        if (const AdminVerb *verb = find_admin_verb(req.verb, req.rest); verb && verb->op == AdminOp::Archive)
            arm(kArchiveTimeout);
        commands_.run(req, caller, [self = shared_from_this()](std::string text) {
            asio::post(self->socket_.get_executor(),
                       [self, text = std::move(text)]() mutable { self->reply(std::move(text)); });
        });
    }

    AdminCaller identify()
    {
        AdminCaller c;
        struct ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(socket_.native_handle(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
            c.name = "unknown";
            c.level = others_level_;
            return c;
        }
        c.name = user_name(cred.uid);
        c.level = caller_level(cred.uid, geteuid(), others_level_);
        return c;
    }

    void reply(std::string text)
    {
        answered_ = true;
        out_ = std::move(text);
        asio::async_write(socket_, asio::buffer(out_),
                          [self = shared_from_this()](const asio::error_code &, size_t) {
                              asio::error_code ignored;
                              self->timer_.cancel();
                              self->socket_.shutdown(local::socket::shutdown_both, ignored);
                              self->socket_.close(ignored);
                          });
    }

    local::socket socket_;
    asio::steady_timer timer_;
    AdminCommands &commands_;
    int others_level_;
    std::array<char, 4096> chunk_{};
    std::string line_;
    std::string out_;
    bool answered_ = false;
    AdminServer::Slot slot_; // given back when the session ends
};

} // namespace

AdminServer::Slot AdminServer::take_slot(int fd, std::string &why)
{
    struct ucred cred{};
    socklen_t len = sizeof cred;
    uid_t uid = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? cred.uid : static_cast<uid_t>(-1);
    std::lock_guard<std::mutex> g(slots_->lock);
    size_t &mine = slots_->per_caller[uid];
    if (slots_->open >= kMaxOpen || mine >= kMaxPerCaller) {
        why = slots_->open >= kMaxOpen ? std::to_string(kMaxOpen) + " administration connections are open"
                                       : user_name(uid) + " has " + std::to_string(kMaxPerCaller) +
                                             " administration connections open";
        if (mine == 0)
            slots_->per_caller.erase(uid);
        return nullptr;
    }
    ++mine;
    ++slots_->open;
    auto slots = slots_;
    return Slot(new uid_t(uid), [slots](uid_t *u) {
        std::lock_guard<std::mutex> g(slots->lock);
        --slots->open;
        if (--slots->per_caller[*u] == 0)
            slots->per_caller.erase(*u);
        delete u;
    });
}

bool parse_admin_request(const std::string &line, AdminRequest &out)
{
    return split_word(line, out.verb, out.rest);
}

std::string format_admin_reply(const Report &r, bool ok)
{
    std::string out;
    for (const auto &[code, message] : r.errors)
        out += "E " + std::to_string(code) + " " + flat(message) + "\n";
    for (const auto &w : r.warnings)
        out += "W " + flat(w) + "\n";
    for (const auto &e : r.events)
        out += "V " + one_line(e) + "\n";
    if (!r.data.empty()) {
        size_t start = 0;
        while (start < r.data.size()) {
            size_t nl = r.data.find('\n', start);
            std::string line =
                r.data.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            out += "D " + line + "\n";
            if (nl == std::string::npos)
                break;
            start = nl + 1;
        }
    }
    out += (ok && !r.failed()) ? "OK\n" : "FAIL\n";
    return out;
}

int caller_level(uid_t peer, uid_t owner, int others)
{
    return (peer == 0 || peer == owner) ? 0 : others;
}

AdminCommands::Lane::~Lane()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void AdminCommands::Lane::post(std::function<void()> job)
{
    std::lock_guard<std::mutex> g(lock_);
    jobs_.push_back(std::move(job));
    if (!thread_.joinable())
        thread_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(lock_);
            for (;;) {
                wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty())
                    return;
                auto next = std::move(jobs_.front());
                jobs_.pop_front();
                lock.unlock();
                next();
                lock.lock();
            }
        });
    wake_.notify_one();
}

void AdminCommands::finish(Report &r, bool ok, const std::function<void(std::string)> &done)
{
    if (deps_.events)
        for (const auto &e : r.events)
            deps_.events->event(e);
    done(format_admin_reply(r, ok));
}

void AdminCommands::run(const AdminRequest &req, const AdminCaller &caller,
                        std::function<void(std::string)> done)
{
    Report r;
    ModuleHost *m = deps_.module;
    const AdminVerb *verb = find_admin_verb(req.verb, req.rest);
    if (!verb) {
        r.error(2, "Unknown command: " + req.verb);
    } else if (verb->op != AdminOp::Help && verb->op != AdminOp::Connections && verb->op != AdminOp::ReopenLogs &&
               verb->op != AdminOp::Archive && !m) {
        r.error(30, "No module is loaded");
        finish(r, false, done);
        return;
    } else if (verb->changes && !need_level(caller, r)) {
        // refused
    } else {
        switch (verb->op) {
        case AdminOp::Help: r.data = admin_help_text(); break;
        case AdminOp::Archive:
            // Off the administration thread: a verify of a large archive
            // takes minutes, and other callers must not wait for it.
            archive_lane_.post([this, rest = req.rest, done] {
                Report ar;
                archive_command(deps_.archive, rest, ar);
                finish(ar, true, done);
            });
            return;
        case AdminOp::Module: {
            std::string sub, rest;
            if (!split_word(req.rest, sub, rest))
                r.error(2, "Missing management verb");
            else if (sub == "log" && deps_.archive) // the archive holds what the files do, and is indexed
                archive_log_command(*deps_.archive, rest, r);
            else
                m->config(sub, rest, caller.name, caller.level, r);
            break;
        }
        case AdminOp::Get: {
            std::string value;
            if (req.rest.empty())
                r.error(2, "Missing variable name");
            else if (!m->get_variable(req.rest, value))
                r.error(27, "Unknown variable: " + req.rest);
            else
                r.data = value;
            break;
        }
        case AdminOp::Set: {
            std::string name, value;
            if (!split_word(req.rest, name, value) || value.empty())
                r.error(2, "Usage: set NAME VALUE");
            else
                m->set_variable(name, value);
            break;
        }
        case AdminOp::Vars:
        case AdminOp::Counters:
            for (const auto &v : m->variables(verb->op == AdminOp::Counters))
                r.data += v.name + " = " + v.value + "\n";
            break;
        case AdminOp::Save: m->save_policy(deps_.policy_file, r); break;
        case AdminOp::ReloadPolicy:
            if (deps_.policy_file.empty())
                r.error(30, "no policy file is configured");
            else
                m->reload_policy(deps_.policy_file, r);
            break;
        case AdminOp::Reset: m->reset(r); break;
        case AdminOp::Connections:
            if (deps_.table)
                for (const auto &c : deps_.table->all()) {
                    std::string s = c->summary();
                    if (!s.empty())
                        r.data += s + "\n";
                }
            break;
        case AdminOp::ReopenLogs: {
            std::string error;
            if (deps_.reopen_logs && !deps_.reopen_logs(error))
                r.error(30, error);
            break;
        }
        case AdminOp::Impersonate: {
            // The module reads the connection in hexadecimal; people read
            // the decimal number `connections` lists.
            std::string word, after, tid_text, text;
            split_word(req.rest, word, after);
            split_word(after, tid_text, text);
            const bool hex = tid_text.rfind("0x", 0) == 0 || tid_text.rfind("0X", 0) == 0;
            const char *digits = tid_text.c_str() + (hex ? 2 : 0);
            char *end = nullptr;
            errno = 0;
            unsigned long tid = std::strtoul(digits, &end, hex ? 16 : 10);
            // The module splits its arguments at blanks, with double quotes
            // holding a word together: the text goes in quotes, so it
            // cannot carry one itself.
            if (text.empty() || !*digits || *end || errno || !std::isxdigit(static_cast<unsigned char>(*digits)))
                r.error(2, "Usage: msnp impersonate TID TEXT");
            else if (text.find('"') != std::string::npos)
                r.error(2, "The text of msnp impersonate cannot hold a double quote");
            else if (!deps_.table || !deps_.table->find(tid))
                r.error(27, "No connection " + tid_text);
            else {
                char module_tid[32];
                std::snprintf(module_tid, sizeof module_tid, "%lx", tid);
                m->config("impersonate", std::string(module_tid) + " \"" + text + "\"", caller.name, caller.level, r);
            }
            break;
        }
        case AdminOp::Info: {
            char *end = nullptr;
            unsigned long tid = std::strtoul(req.rest.c_str(), &end, 10);
            std::shared_ptr<Connection> c;
            if (req.rest.empty() || !end || *end)
                r.error(2, "Usage: info TID");
            else if (!deps_.table || !(c = deps_.table->find(tid)))
                r.error(27, "No connection " + req.rest);
            if (c) {
                c->request_info([done](bool ok, std::string text) {
                    Report ir;
                    if (ok)
                        ir.data = text;
                    else
                        ir.error(30, text);
                    done(format_admin_reply(ir, ok));
                });
                return;
            }
            break;
        }
        }
    }
    finish(r, true, done);
}

AdminServer::~AdminServer() { close(); }

bool AdminServer::open(const std::string &path, std::string &error, const std::string &group)
{
    struct stat st{};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + ": exists and is not a socket";
            return false;
        }
        local::socket probe(io_);
        asio::error_code ec;
        probe.connect(local::endpoint(path), ec);
        if (!ec) {
            error = path + ": another gateway answers on this administration socket";
            return false;
        }
        unlink(path.c_str());
    }
    asio::error_code ec;
    acceptor_.open(local::endpoint(path).protocol(), ec);
    if (!ec) {
        // Owner-only from the moment the file exists.
        mode_t old = umask(0177);
        acceptor_.bind(local::endpoint(path), ec);
        umask(old);
    }
    if (!ec)
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = path + ": cannot create the administration socket: " + ec.message();
        asio::error_code ignored;
        acceptor_.close(ignored);
        return false;
    }
    if (group.empty()) {
        chmod(path.c_str(), 0600);
    } else {
        struct group gr{};
        struct group *found = nullptr;
        char buf[4096];
        if (getgrnam_r(group.c_str(), &gr, buf, sizeof buf, &found) != 0 || !found ||
            chown(path.c_str(), static_cast<uid_t>(-1), found->gr_gid) != 0 || chmod(path.c_str(), 0660) != 0) {
            error = path + ": cannot give the administration socket to group " + group +
                    (found ? ": " + std::string(std::strerror(errno)) : ": no such group");
            asio::error_code ignored;
            acceptor_.close(ignored);
            ::unlink(path.c_str());
            return false;
        }
    }
    path_ = path;
    accept();
    return true;
}

void AdminServer::close()
{
    if (!acceptor_.is_open())
        return;
    asio::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
    if (!path_.empty())
        unlink(path_.c_str());
}

void AdminServer::accept()
{
    acceptor_.async_accept(asio::make_strand(io_), [this](const asio::error_code &ec,
                                                          local::socket s) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open())
            return;
        if (ec) {
            // Out of descriptors and the like: wait rather than spin.
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](const asio::error_code &e) {
                if (!e && acceptor_.is_open())
                    accept();
            });
            return;
        }
        std::string why;
        Slot slot = take_slot(s.native_handle(), why);
        if (!slot) {
            // Refused at once, without a read: a caller that opens
            // connections and sends nothing must not hold the gateway's
            // descriptors.
            Report r;
            r.error(31, "Too many connections: " + why);
            std::string text = format_admin_reply(r, false);
            asio::error_code ignored;
            s.non_blocking(true, ignored);
            s.write_some(asio::buffer(text), ignored);
            s.close(ignored);
        } else {
            std::make_shared<AdminSession>(std::move(s), commands_, others_level_, std::move(slot))->start();
        }
        accept();
    });
}

} // namespace gw
