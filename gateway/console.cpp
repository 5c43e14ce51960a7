// The web console's listener, its guards and its JSON API.
#include "console.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <sstream>

#include "admin_verbs.h"
#include "netacl.h"
#include "textutil.h"
#include "verdict_trace.h"

namespace gw {

namespace {

constexpr auto kSampleEvery = std::chrono::seconds(30);
constexpr size_t kSamplesKept = 120; // an hour
constexpr const char *kCookie = "tqconsole";

bool is_loopback_host(const std::string &host)
{
    asio::error_code ec;
    auto a = asio::ip::make_address(host, ec);
    return !ec && a.is_loopback();
}

std::string cookie_token(const HttpRequest &req)
{
    const std::string cookies = req.get_header_value("Cookie");
    const std::string tag = std::string(kCookie) + "=";
    for (size_t at = 0; at < cookies.size();) {
        size_t end = cookies.find(';', at);
        std::string part = trim(cookies.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (part.rfind(tag, 0) == 0)
            return part.substr(tag.size());
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return "";
}

void json_reply(HttpResponse &res, int status, const std::string &body)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body, "application/json");
}

void json_error(HttpResponse &res, int status, const std::string &message)
{
    std::string body = "{\"error\":";
    json_string(body, message);
    json_reply(res, status, body + "}");
}

bool read_whole(const std::string &path, std::string &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::stringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

// Text that goes into one word of an administration line.
bool plain_word(const std::string &w)
{
    return w.find_first_of(" \t\r\n\"") == std::string::npos;
}

size_t number_param(const HttpRequest &req, const char *name, size_t fallback, size_t max)
{
    if (!req.has_param(name))
        return fallback;
    std::string v = req.get_param_value(name);
    char *end = nullptr;
    unsigned long long n = std::strtoull(v.c_str(), &end, 10);
    if (v.empty() || !end || *end)
        return fallback;
    return static_cast<size_t>(std::min<unsigned long long>(n, max));
}

} // namespace

std::string console_exposure_problem(const Settings &s)
{
    if (!s.console || is_loopback_host(s.console_host))
        return "";
    if (!s.console_tls_cert.empty() && !s.console_tls_key.empty())
        return "";
    if (s.console_plain_http)
        return "";
    return "console " + format_host_port(s.console_host, s.console_port) +
           " is reachable beyond loopback: give it console-tls-cert and console-tls-key, or set "
           "console-plain-http = yes to accept passwords and cookies in the clear";
}

std::string admin_reply_json(const std::string &reply)
{
    std::string errors, warnings, events, data;
    bool ok = false;
    std::istringstream in(reply);
    std::string line;
    while (std::getline(in, line)) {
        if (line == "OK") {
            ok = true;
        } else if (line.rfind("E ", 0) == 0) {
            std::string rest = line.substr(2);
            size_t sp = rest.find(' ');
            std::string code = rest.substr(0, sp);
            if (!errors.empty())
                errors += ",";
            errors += "{\"code\":" + std::to_string(std::atoi(code.c_str())) + ",\"message\":";
            json_string(errors, sp == std::string::npos ? "" : rest.substr(sp + 1));
            errors += "}";
        } else if (line.rfind("W ", 0) == 0 || line.rfind("V ", 0) == 0) {
            std::string &list = line[0] == 'W' ? warnings : events;
            if (!list.empty())
                list += ",";
            json_string(list, line.substr(2));
        } else if (line.rfind("D ", 0) == 0 || line == "D") {
            data += line.size() > 2 ? line.substr(2) : "";
            data += "\n";
        }
    }
    std::string out = std::string("{\"ok\":") + (ok ? "true" : "false") + ",\"errors\":[" + errors +
                      "],\"warnings\":[" + warnings + "],\"events\":[" + events + "],\"data\":";
    json_string(out, data);
    return out + "}";
}

std::string connections_json(const std::vector<Connection::Status> &all, const std::string &filter, size_t offset,
                             size_t limit)
{
    std::vector<const Connection::Status *> shown;
    for (const auto &c : all) {
        if (!c.tid)
            continue;
        if (!filter.empty()) {
            std::string text = c.client + " " + c.server + " " + c.user + " " + c.contacts + " " + c.socks_user + " " +
                               c.protocol + " " + std::to_string(c.tid);
            if (text.find(filter) == std::string::npos)
                continue;
        }
        shown.push_back(&c);
    }
    std::sort(shown.begin(), shown.end(), [](const auto *a, const auto *b) { return a->tid < b->tid; });
    std::string out = "{\"total\":" + std::to_string(shown.size()) + ",\"offset\":" + std::to_string(offset) +
                      ",\"items\":[";
    bool first = true;
    for (size_t i = offset; i < shown.size() && i < offset + limit; ++i) {
        const auto &c = *shown[i];
        out += first ? "{" : ",{";
        first = false;
        out += "\"tid\":" + std::to_string(c.tid);
        auto field = [&](const char *name, const std::string &v) {
            out += ",\"";
            out += name;
            out += "\":";
            json_string(out, v);
        };
        field("client", c.client);
        field("server", c.server);
        field("kind", c.kind);
        field("door", c.door);
        field("socks_user", c.socks_user);
        field("user", c.user);
        field("contacts", c.contacts);
        field("protocol", c.protocol);
        out += ",\"bytes_from_client\":" + std::to_string(c.bytes_from_client) +
               ",\"bytes_from_server\":" + std::to_string(c.bytes_from_server) +
               ",\"seconds\":" + std::to_string(static_cast<long long>(c.seconds)) + "}";
    }
    return out + "]}";
}

std::unique_ptr<Console> Console::open(const Settings &s, Deps deps, std::string &error)
{
    error = console_exposure_problem(s);
    if (!error.empty())
        return nullptr;
    std::unique_ptr<Console> c(new Console);
    c->deps_ = std::move(deps);
    c->archive_ = !s.archive.empty();
    if (s.console_users.empty()) {
        error = "console: console-users names no file of accounts (NAME:LEVEL:HASH lines)";
        return nullptr;
    }
    if (!c->auth_.load(s.console_users, error))
        return nullptr;
    // An installed tree moved as a whole finds its own files first.
    std::vector<std::string> dirs;
    if (!s.console_dir.empty())
        dirs = {s.console_dir};
    else
        dirs = {c->deps_.exe_dir + "/../share/trevalquin/console", TQ_CONSOLE_INSTALL_DIR, TQ_CONSOLE_SOURCE_DIR};
    std::string tried;
    for (const auto &d : dirs) {
        if (access((d + "/index.html").c_str(), R_OK) == 0) {
            c->dir_ = d;
            break;
        }
        tried += (tried.empty() ? "" : ", ") + d;
    }
    if (c->dir_.empty()) {
        error = "console: the page (index.html) is in none of " + tried + "; set console-dir";
        return nullptr;
    }
    HttpLimits limits;
    limits.request_deadline = std::chrono::milliseconds(s.console_request_timeout * 1000);
    limits.per_address = s.console_connections_per_address;
    c->http_ = std::make_unique<HttpServer>(limits);
    c->tls_ = !s.console_tls_cert.empty() || !s.console_tls_key.empty();
    c->host_ = s.console_host;
    std::string why;
    if (!c->http_->open(s.console_host, s.console_port, s.console_tls_cert, s.console_tls_key, why)) {
        error = "console: cannot listen on " + format_host_port(s.console_host, s.console_port) + ": " + why;
        return nullptr;
    }
    c->port_ = c->http_->port();
    c->auth_.set_limits(static_cast<int>(s.console_lockout_failures), std::chrono::minutes(s.console_lockout_minutes));
    // The Host header must name us: a page of another site whose name was
    // pointed at this address must not read the API.
    const std::string port = ":" + std::to_string(c->port_);
    const std::string here = format_host_port(s.console_host, static_cast<uint16_t>(c->port_));
    std::vector<std::string> names{here.substr(0, here.rfind(':'))}; /* IPv6 in brackets */
    if (is_loopback_host(s.console_host) || s.console_host == "0.0.0.0" || s.console_host == "::")
        names.insert(names.end(), {"localhost", "127.0.0.1", "[::1]"});
    names.insert(names.end(), s.console_hostnames.begin(), s.console_hostnames.end());
    for (const auto &n : names) {
        c->hosts_.push_back(n + port);
        if ((c->tls_ && c->port_ == 443) || (!c->tls_ && c->port_ == 80))
            c->hosts_.push_back(n);
    }
    c->routes();
    c->sample();
    return c;
}

Console::~Console()
{
    stop();
}

std::string Console::url() const
{
    return std::string(tls_ ? "https" : "http") + "://" +
           format_host_port(host_, static_cast<uint16_t>(port_ > 0 ? port_ : 0));
}

void Console::start()
{
    http_->start();
    sampler_ = std::thread([this] {
        std::unique_lock<std::mutex> g(lock_);
        while (!stopping_) {
            wake_.wait_for(g, kSampleEvery, [this] { return stopping_; });
            if (stopping_)
                break;
            g.unlock();
            sample();
            g.lock();
        }
    });
}

void Console::stop()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        if (stopping_)
            return;
        stopping_ = true;
    }
    wake_.notify_all();
    if (http_)
        http_->stop();
    if (sampler_.joinable())
        sampler_.join();
}

void Console::sample()
{
    if (!deps_.module)
        return;
    Sample s{static_cast<long long>(time(nullptr)), 0, 0, 0, 0};
    for (const auto &v : deps_.module->variables(true)) {
        long long n = std::atoll(v.value.c_str());
        if (v.name == "stats-match-pass")
            s.pass = n;
        else if (v.name == "stats-match-block")
            s.block = n;
        else if (v.name == "stats-match-alert")
            s.alert = n;
        else if (v.name == "stats-match-none")
            s.none = n;
    }
    std::lock_guard<std::mutex> g(lock_);
    history_.push_back(s);
    while (history_.size() > kSamplesKept + 1)
        history_.pop_front();
}

std::string Console::run(const std::string &line, const ConsoleAccount &who)
{
    AdminRequest req;
    if (!parse_admin_request(line, req))
        return admin_reply_json("E 2 Missing command\nFAIL\n");
    auto done = std::make_shared<std::promise<std::string>>();
    auto reply = done->get_future();
    deps_.commands->run(req, {"console:" + who.name, who.level},
                        [done](std::string r) { done->set_value(std::move(r)); });
    if (reply.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        return admin_reply_json("E 30 The gateway did not answer in time\nFAIL\n");
    return admin_reply_json(reply.get());
}

void Console::routes()
{
    HttpServer &h = *http_;
    // Every answer: no framing by other sites, no guessing of types, and
    // scripts and styles only from here.
    h.set_default_headers({{"X-Frame-Options", "DENY"},
                           {"X-Content-Type-Options", "nosniff"},
                           {"Referrer-Policy", "no-referrer"},
                           {"Content-Security-Policy",
                            "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                            "connect-src 'self'; form-action 'self'; frame-ancestors 'none'"}});

    h.set_pre_routing([this](const HttpRequest &req, HttpResponse &res) {
        const std::string host = req.get_header_value("Host");
        if (std::find(hosts_.begin(), hosts_.end(), host) == hosts_.end()) {
            json_error(res, 421, "this console does not answer to the host \"" + host + "\"");
            return true;
        }
        if (req.path.rfind("/api/", 0) != 0)
            return false;
        // Only the console's own pages may call the API.
        const std::string origin = req.get_header_value("Origin");
        const std::string site = req.get_header_value("Sec-Fetch-Site");
        if ((req.has_header("Origin") && origin != std::string(tls_ ? "https://" : "http://") + host) ||
            (!site.empty() && site != "same-origin" && site != "none")) {
            json_error(res, 403, "requests from other origins are refused");
            return true;
        }
        if (req.path == "/api/login")
            return false;
        if (!auth_.session(cookie_token(req))) {
            json_error(res, 401, "sign in first");
            return true;
        }
        return false;
    });

    auto account = [this](const HttpRequest &req) { return *auth_.session(cookie_token(req)); };

    for (const auto &[path, file, type] :
         std::vector<std::tuple<std::string, std::string, std::string>>{{"/", "index.html", "text/html; charset=utf-8"},
                                                                        {"/console.js", "console.js", "text/javascript"},
                                                                        {"/console.css", "console.css", "text/css"}}) {
        h.route("GET", path, [this, file = file, type = type](const HttpRequest &, HttpResponse &res) {
            std::string body;
            if (!read_whole(dir_ + "/" + file, body)) {
                res.status = 404;
                return;
            }
            res.set_content(body, type);
        });
    }

    h.route("POST", "/api/login", [this](const HttpRequest &req, HttpResponse &res) {
        const std::string user = req.get_param_value("user");
        auto result = auth_.login(user, req.get_param_value("password"), req.remote_addr);
        if (!result.token) {
            // Every refusal is the administrator's to see; a wrong guess
            // makes the next one wait, and is answered at once.
            if (deps_.events)
                deps_.events->notice(result.locked_now ? "console-account-locked" : "console-login-failed",
                                     result.why, 0, {{"user", user}, {"address", req.remote_addr}});
            if (result.retry_after > 0)
                res.set_header("Retry-After", std::to_string(result.retry_after));
            json_error(res, result.retry_after > 0 ? 429 : 401, result.why);
            return;
        }
        const std::string token = *result.token;
        res.set_header("Set-Cookie", std::string(kCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict" +
                                         (tls_ ? "; Secure" : ""));
        auto who = auth_.session(token);
        std::string body = "{\"user\":";
        json_string(body, who->name);
        json_reply(res, 200, body + ",\"level\":" + std::to_string(who->level) + "}");
    });
    h.route("POST", "/api/logout", [this](const HttpRequest &req, HttpResponse &res) {
        auth_.logout(cookie_token(req));
        res.set_header("Set-Cookie", std::string(kCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict");
        json_reply(res, 200, "{}");
    });
    h.route("GET", "/api/session", [account](const HttpRequest &req, HttpResponse &res) {
        ConsoleAccount who = account(req);
        std::string body = "{\"user\":";
        json_string(body, who.name);
        json_reply(res, 200, body + ",\"level\":" + std::to_string(who.level) + "}");
    });
    h.route("GET", "/api/connections", [this](const HttpRequest &req, HttpResponse &res) {
        std::vector<Connection::Status> all;
        if (deps_.table)
            for (const auto &c : deps_.table->all())
                all.push_back(c->status());
        json_reply(res, 200,
                   connections_json(all, req.get_param_value("filter"), number_param(req, "offset", 0, SIZE_MAX),
                                    number_param(req, "limit", 100, 1000)));
    });
    h.route("GET", "/api/counters", [this, account](const HttpRequest &req, HttpResponse &res) {
        std::string reply = run("counters", account(req));
        std::string history;
        {
            std::lock_guard<std::mutex> g(lock_);
            for (const auto &s : history_)
                history += (history.empty() ? "" : ",") + std::string("{\"time\":") + std::to_string(s.time) +
                           ",\"pass\":" + std::to_string(s.pass) + ",\"block\":" + std::to_string(s.block) +
                           ",\"alert\":" + std::to_string(s.alert) + ",\"none\":" + std::to_string(s.none) + "}";
        }
        json_reply(res, 200, "{\"reply\":" + reply + ",\"history\":[" + history + "]}");
    });
    h.route("GET", "/api/policy", [this](const HttpRequest &, HttpResponse &res) {
        std::string xml;
        if (!deps_.module || !deps_.module->policy_text(xml)) {
            json_error(res, 500, "the module gave no policy");
            return;
        }
        std::string body = "{\"xml\":";
        json_string(body, xml);
        json_reply(res, 200, body + "}");
    });
    h.route("GET", "/api/info", [this, account](const HttpRequest &req, HttpResponse &res) {
        json_reply(res, 200, run("info " + std::to_string(number_param(req, "tid", 0, ULONG_MAX)), account(req)));
    });
    h.route("GET", "/api/glob", [this, account](const HttpRequest &req, HttpResponse &res) {
        std::string p = req.get_param_value("pattern");
        if (p.empty() || !plain_word(p))
            return json_error(res, 400, "a pattern without blanks or quotes");
        json_reply(res, 200, run("msnp glob " + p, account(req)));
    });
    h.route("GET", "/api/serialize", [this, account](const HttpRequest &req, HttpResponse &res) {
        std::string n = req.get_param_value("name");
        if (n.empty() || !plain_word(n))
            return json_error(res, 400, "a name without blanks or quotes");
        json_reply(res, 200, run("msnp serialize " + n, account(req)));
    });
    h.route("GET", "/api/logs", [this, account](const HttpRequest &req, HttpResponse &res) {
        std::string user = req.get_param_value("user"), contact = req.get_param_value("contact");
        std::string text = req.get_param_value("text");
        if (!plain_word(user) || !plain_word(contact) || text.find_first_of("\"\r\n") != std::string::npos)
            return json_error(res, 400, "names without blanks or quotes, a text without quotes");
        std::string from = req.has_param("from") ? std::to_string(number_param(req, "from", 0, LLONG_MAX)) : "";
        std::string to = req.has_param("to") ? std::to_string(number_param(req, "to", 0, LLONG_MAX)) : "";
        if (archive_) {
            // The archive pages through what matches and has a verdict field.
            std::string verdict = req.get_param_value("verdict");
            if (!plain_word(verdict))
                return json_error(res, 400, "a verdict without blanks or quotes");
            std::string line = "archive search format:logs offset:" +
                               std::to_string(number_param(req, "offset", 0, 100000000)) +
                               " limit:" + std::to_string(number_param(req, "limit", 50, 500));
            for (const auto &[key, value] : {std::pair<const char *, const std::string &>{"user", user},
                                            {"contact", contact}, {"verdict", verdict}, {"from", from}, {"to", to}})
                if (!value.empty())
                    line += std::string(" ") + key + ":" + value;
            return json_reply(res, 200, run(line + " " + text, account(req)));
        }
        std::string line = "msnp log show " + (user.empty() ? "*" : user) + ":" + (contact.empty() ? "*" : contact) +
                           " " + from + ":" + to;
        if (!text.empty())
            line += " \"" + text + "\"";
        json_reply(res, 200, run(line, account(req)));
    });
    h.route("POST", "/api/command", [this, account](const HttpRequest &req, HttpResponse &res) {
        ConsoleAccount who = account(req);
        std::string line = trim(req.get_param_value("line"));
        AdminRequest parsed;
        if (!parse_admin_request(line, parsed) || line.find_first_of("\r\n") != std::string::npos)
            return json_error(res, 400, "one command line");
        const AdminVerb *verb = find_admin_verb(parsed.verb, parsed.rest);
        if (verb && verb->changes && who.level > 1)
            return json_error(res, 403, "More level required: this account may look, not change");
        json_reply(res, 200, run(line, who));
    });
}

} // namespace gw
