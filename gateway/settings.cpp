// Configuration file reader.
#include "settings.h"
#include "events.h"
#include "textutil.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace gw {

namespace {

// Removes surrounding double quotes and the backslash escapes inside.
bool unquote(const std::string &raw, std::string &out, bool &quoted, std::string &error)
{
    quoted = false;
    if (raw.empty() || raw[0] != '"') {
        out = raw;
        return true;
    }
    if (raw.size() < 2 || raw.back() != '"') {
        error = "unterminated quoted value";
        return false;
    }
    out.clear();
    for (size_t i = 1; i + 1 < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\\' && i + 2 < raw.size()) {
            out += raw[++i];
        } else if (c == '"') {
            error = "stray quote inside a quoted value";
            return false;
        } else {
            out += c;
        }
    }
    quoted = true;
    return true;
}

bool parse_long(const std::string &text, long &out)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno == ERANGE || end == text.c_str() || *end != '\0')
        return false;
    out = v;
    return true;
}

bool parse_ranged(const std::string &key, const std::string &value, long lo, long hi, long &out,
                  std::string &error)
{
    long v;
    if (!parse_long(value, v) || v < lo || v > hi) {
        error = key + ": expected a whole number from " + std::to_string(lo) + " to " +
                std::to_string(hi) + ", got \"" + value + "\"";
        return false;
    }
    out = v;
    return true;
}

bool parse_bool(const std::string &key, const std::string &value, bool &out, std::string &error)
{
    std::string v = value;
    std::transform(v.begin(), v.end(), v.begin(), [](unsigned char c) { return std::tolower(c); });
    if (v == "yes" || v == "true" || v == "on" || v == "1") {
        out = true;
        return true;
    }
    if (v == "no" || v == "false" || v == "off" || v == "0") {
        out = false;
        return true;
    }
    error = key + ": expected yes or no, got \"" + value + "\"";
    return false;
}

bool parse_port(const std::string &text, uint16_t &port)
{
    long v;
    if (!parse_long(trim(text), v) || v < 0 || v > 65535)
        return false;
    port = static_cast<uint16_t>(v);
    return true;
}

bool parse_port_list(const std::string &value, std::vector<uint16_t> &out, std::string &error)
{
    std::vector<uint16_t> ports;
    std::stringstream ss(value);
    std::string item;
    while (std::getline(ss, item, ',')) {
        uint16_t p;
        if (!parse_port(item, p) || p == 0) {
            error = "msnp-ports: bad port \"" + trim(item) + "\"";
            return false;
        }
        ports.push_back(p);
    }
    if (ports.empty()) {
        error = "msnp-ports: at least one port is needed";
        return false;
    }
    out = std::move(ports);
    return true;
}

} // namespace

bool Settings::is_msnp_port(uint16_t port) const
{
    return std::find(msnp_ports.begin(), msnp_ports.end(), port) != msnp_ports.end();
}

std::vector<Network> Settings::effective_allow_clients() const
{
    if (allow_clients_set)
        return allow_clients;
    if (!user_file.empty() && !socks4_without_password && transparent_listen.empty()) {
        Network v4, v6;
        parse_network("0.0.0.0/0", v4);
        parse_network("::/0", v6);
        return {v4, v6};
    }
    return loopback_networks();
}

std::string open_relay_problem(const Settings &s)
{
    auto allowed = s.effective_allow_clients();
    bool beyond = std::any_of(allowed.begin(), allowed.end(),
                              [](const Network &n) { return !is_loopback_network(n); });
    if (beyond)
        return {};
    const std::pair<const char *, const std::vector<ListenAddress> *> doors[] = {
        {"listen", &s.listen}, {"http-listen", &s.http_listen}, {"transparent-listen", &s.transparent_listen}};
    for (const auto &[key, list] : doors)
        for (const auto &l : *list) {
            Address16 a;
            if (parse_address(l.host, a) && !is_loopback_address(a))
                return std::string(key) + " " + format_host_port(l.host, l.port) +
                       " accepts connections from other hosts, but only loopback clients may use "
                       "the relay: add `allow-clients = NETWORK/BITS` for your clients' networks" +
                       (s.transparent_listen.empty()
                            ? ", or `user-file = FILE` to require passwords, or listen on 127.0.0.1"
                            : " (a transparent listener asks no password)");
        }
    return {};
}

bool parse_listen_address(const std::string &text, ListenAddress &out)
{
    std::string t = trim(text);
    std::string host, port;
    if (!t.empty() && t[0] == '[') {
        size_t close = t.find(']');
        if (close == std::string::npos || close + 1 >= t.size() || t[close + 1] != ':')
            return false;
        host = t.substr(1, close - 1);
        port = t.substr(close + 2);
        if (host.find(':') == std::string::npos)
            return false;
    } else {
        size_t colon = t.rfind(':');
        if (colon == std::string::npos)
            return false;
        host = t.substr(0, colon);
        port = t.substr(colon + 1);
        if (host.find(':') != std::string::npos)
            return false; // an IPv6 literal needs brackets
    }
    if (host.empty() || port.empty())
        return false;
    uint16_t p;
    if (!parse_port(port, p))
        return false;
    out.host = host;
    out.port = p;
    return true;
}

std::string format_host_port(const std::string &host, uint16_t port)
{
    if (host.find(':') != std::string::npos)
        return "[" + host + "]:" + std::to_string(port);
    return host + ":" + std::to_string(port);
}

void SettingsReader::begin_source()
{
    seen_.clear();
}

std::vector<ModuleVariable> Settings::module_variables() const
{
    std::vector<ModuleVariable> out = vars;
    if (std::none_of(out.begin(), out.end(), [](const ModuleVariable &v) { return v.name == "strict"; }))
        out.push_back(ModuleVariable{"strict", strict ? "1" : "0", true});
    return out;
}

namespace {

// How one key is read into the settings. `seen` holds the repeatable
// lists already begun in the current source.
using Apply = std::function<bool(Settings &, std::set<std::string> &seen, const std::string &value,
                                 std::string &error)>;

struct SettingRow {
    const char *name;
    const char *value; // what the value looks like, for the help
    const char *help;  // for the manual; "Default X." is added from a fresh Settings
    Apply apply;
    std::function<std::string(const Settings &)> show; // the value as text
};

SettingRow flag(const char *name, bool Settings::*member, const char *help)
{
    return {name, "yes|no", help,
            [=](Settings &s, std::set<std::string> &, const std::string &v, std::string &error) {
                return parse_bool(name, v, s.*member, error);
            },
            [=](const Settings &s) { return std::string(s.*member ? "yes" : "no"); }};
}

template <typename T>
SettingRow number(const char *name, T Settings::*member, long lo, long hi, const char *value, const char *help)
{
    return {name, value, help,
            [=](Settings &s, std::set<std::string> &, const std::string &v, std::string &error) {
                long n = 0;
                if (!parse_ranged(name, v, lo, hi, n, error))
                    return false;
                s.*member = static_cast<T>(n);
                return true;
            },
            [=](const Settings &s) { return std::to_string(s.*member); }};
}

SettingRow text(const char *name, std::string Settings::*member, const char *value, const char *help,
                bool required = false)
{
    return {name, value, help,
            [=](Settings &s, std::set<std::string> &, const std::string &v, std::string &error) {
                if (required && v.empty()) {
                    std::string what = value;
                    std::transform(what.begin(), what.end(), what.begin(),
                                   [](unsigned char c) { return std::tolower(c); });
                    error = std::string(name) + ": a " + what + " is needed";
                    return false;
                }
                s.*member = v;
                return true;
            },
            [=](const Settings &s) { return s.*member; }};
}

std::string comma_list(const std::vector<std::string> &items)
{
    std::string out;
    for (const auto &i : items)
        out += (out.empty() ? "" : ",") + i;
    return out;
}

std::vector<std::string> split_items(const std::string &value)
{
    std::vector<std::string> out;
    std::stringstream ss(value);
    std::string item;
    while (std::getline(ss, item, ','))
        if (!trim(item).empty())
            out.push_back(trim(item));
    return out;
}

// A repeatable list: its first line in a new source replaces what an
// earlier source gave, later lines add to it.
template <typename T> std::vector<T> &begun(std::vector<T> &list, std::set<std::string> &seen, const char *name)
{
    if (seen.insert(name).second)
        list.clear();
    return list;
}

// A listener that may be off: "no", "off" or nothing turns it off. With
// `port_alone`, a bare port listens on loopback.
SettingRow optional_listener(const char *name, const char *value, const char *help, bool Settings::*on,
                             std::string Settings::*host, uint16_t Settings::*port, bool port_alone = false)
{
    return {name, value, help,
            [=](Settings &s, std::set<std::string> &, const std::string &text, std::string &error) {
                std::string v = trim(text);
                if (v.empty() || v == "no" || v == "off") {
                    s.*on = false;
                    return true;
                }
                if (port_alone && v.find_first_not_of("0123456789") == std::string::npos)
                    v = "127.0.0.1:" + v;
                ListenAddress a;
                if (!parse_listen_address(v, a)) {
                    error = std::string(name) + ": expected " + value + ", got \"" + trim(text) + "\"";
                    return false;
                }
                s.*on = true;
                s.*host = a.host;
                s.*port = a.port;
                return true;
            },
            [=](const Settings &s) { return s.*on ? format_host_port(s.*host, s.*port) : std::string("no"); }};
}

SettingRow listener(const char *name, std::vector<ListenAddress> Settings::*member, const char *help)
{
    return {name, "ADDRESS:PORT", help,
            [=](Settings &s, std::set<std::string> &seen, const std::string &v, std::string &error) {
                ListenAddress a;
                if (!parse_listen_address(v, a)) {
                    error = std::string(name) + ": expected HOST:PORT or [IPV6]:PORT, got \"" + v + "\"";
                    return false;
                }
                begun(s.*member, seen, name).push_back(a);
                return true;
            },
            [=](const Settings &s) {
                std::vector<std::string> items;
                for (const auto &l : s.*member)
                    items.push_back(format_host_port(l.host, l.port));
                return comma_list(items);
            }};
}

SettingRow destinations(const char *name, bool allow)
{
    return {name, "TARGET,... [port P[-Q],...] [from NETWORK,...] [user NAME,...]",
            allow ? "Where clients may connect, checked after the name is resolved, on every address it resolves "
                    "to; repeatable, and with deny-destinations in one list whose first matching rule decides. A "
                    "TARGET is a network (CIDR or a single address) or one of any, loopback, link-local, "
                    "multicast, broadcast, unspecified, own (this host's addresses) and private; from limits a "
                    "rule to client networks, user to proxy users whose password was checked. After the "
                    "configured rules come the defaults: loopback, link-local, multicast, broadcast, unspecified "
                    "and own addresses are denied, anything else allowed. The gateway's own listeners are "
                    "refused on any address whatever the rules say. Each refusal is a destination-denied event "
                    "naming the rule; trevalquin -t prints the rules in force."
                  : "A rule that refuses what it names; see allow-destinations.",
            [=](Settings &s, std::set<std::string> &seen, const std::string &v, std::string &error) {
                DestinationRule r;
                if (!parse_destination_rule(v, allow, r, error)) {
                    error = std::string(name) + ": " + error;
                    return false;
                }
                r.origin = s.origin[name];
                // Both keys write one ordered list.
                begun(s.destination_rules, seen, "destinations").push_back(std::move(r));
                return true;
            },
            [](const Settings &) { return std::string(); }};
}

const std::vector<SettingRow> &setting_rows()
{
    static const std::vector<SettingRow> rows = {
        listener("listen", &Settings::listen, "A SOCKS listener; repeatable. IPv6 literals go in brackets."),
        listener("http-listen", &Settings::http_listen,
                 "An HTTP proxy listener for CONNECT requests; repeatable. With user-file a Basic proxy login is "
                 "required (407 otherwise). Other methods get 405, malformed requests 400, request heads over 8 KB "
                 "431, refused destinations 403."),
        listener("transparent-listen", &Settings::transparent_listen,
                 "A listener for connections the firewall redirects to it (REDIRECT or DNAT); each is relayed to "
                 "its original destination. No password can be asked there, so beyond loopback it needs "
                 "allow-clients."),
        {"allow-clients", "NETWORK,...",
         "Networks (CIDR or single addresses) whose clients may use the relay. Without it only loopback clients "
         "are served, or every client when user-file makes passwords mandatory. The gateway refuses to start on "
         "an address other hosts can reach while only loopback clients would be allowed.",
         [](Settings &s, std::set<std::string> &, const std::string &v, std::string &error) {
             if (!parse_network_list(v, s.allow_clients, error)) {
                 error = "allow-clients: " + error;
                 return false;
             }
             s.allow_clients_set = true;
             return true;
         },
         [](const Settings &) { return std::string(); }},
        destinations("allow-destinations", true),
        destinations("deny-destinations", false),
        {"msnp-ports", "PORT,...", "Server ports relayed through the module.",
         [](Settings &s, std::set<std::string> &, const std::string &v, std::string &error) {
             return parse_port_list(v, s.msnp_ports, error);
         },
         [](const Settings &s) {
             std::vector<std::string> items;
             for (uint16_t p : s.msnp_ports)
                 items.push_back(std::to_string(p));
             return comma_list(items);
         }},
        flag("strict", &Settings::strict,
             "Refuse connections that are neither to an MSNP port nor expected by the module; and (module "
             "variable strict) drop every command the module cannot read as one of the connection's protocol "
             "version and kind, instead of deciding it by the policy's default-action."),
        {"module", "PATH",
         "A module shared object; repeatable. Without it the gateway looks for libtq3_msnp.so next to its "
         "executable, in the directory above it, and through the loader's search path.",
         [](Settings &s, std::set<std::string> &seen, const std::string &v, std::string &error) {
             if (v.empty()) {
                 error = "module: a path is needed";
                 return false;
             }
             begun(s.modules, seen, "module").push_back(v);
             return true;
         },
         [](const Settings &s) { return comma_list(s.modules); }},
        text("policy", &Settings::policy, "FILE", "The policy document, loaded at start and written by tqctl save."),
        text("policy-seed", &Settings::policy_seed, "FILE", "Copied to policy when that file does not exist yet."),
        text("admin-socket", &Settings::admin_socket, "PATH",
             "The administration socket, created with mode 0600. It serves at most 64 callers at once and 16 of "
             "one user; a request must come and be answered within 10 seconds.",
             true),
        text("admin-group", &Settings::admin_group, "GROUP",
             "Members of this group may use the administration socket too (mode 0660 and that group instead of "
             "0600); they get the level of admin-level."),
        number("admin-level", &Settings::admin_level, 0, INT_MAX, "N",
               "Level of callers other than root and the gateway's own user (2: they may read, not change)."),
        text("events-file", &Settings::events_file, "PATH", "Events, one XML element per line; empty turns it off."),
        flag("events-syslog", &Settings::events_syslog,
             "Every event also goes to the journal, with its kind in the field TREVALQUIN_KIND, or to syslog "
             "where there is no journal."),
        {"events-syslog-facility", "daemon|user|local0..local7",
         "The syslog facility of the events.",
         [](Settings &s, std::set<std::string> &, const std::string &v, std::string &error) {
             int facility = 0;
             if (!syslog_facility(v, facility)) {
                 error = "events-syslog-facility: not a facility: " + v;
                 return false;
             }
             s.events_syslog_facility = v;
             return true;
         },
         [](const Settings &s) { return s.events_syslog_facility; }},
        text("archive", &Settings::archive, "sqlite:PATH|postgresql://...",
             "The chat archive: every conversation line, sign-in, join, leave and invitation the module logs, "
             "written off the relay threads into SQLite (one file, full-text index) or PostgreSQL (for several "
             "gateways writing one archive); searched, exported and checked with tqctl archive. Each "
             "conversation's records carry a hash chain. While the database is away, records wait in memory and "
             "then in a spill file beside the archive (or the administration socket). Empty: no archive."),
        number("archive-retention-days", &Settings::archive_retention_days, 0, 36500, "DAYS",
               "Archive records older than this are removed, a small batch at a time; 0 keeps them."),
        text("user-file", &Settings::user_file, "PATH", "Proxy user names and passwords, lines USER:PASSWORD."),
        flag("socks4-without-password", &Settings::socks4_without_password,
             "Allow SOCKS4 although a user file requires passwords. A SOCKS4 user id is never a checked name: it "
             "satisfies no proxy user binding of the policy."),
        number("schedtask-interval", &Settings::schedtask_interval, 0, 86400L * 365, "SECONDS",
               "Period of the module's timer work (quotas, guests, log removal); 0 turns it off."),
        number("statistics-interval", &Settings::statistics_interval, 0, 86400L * 365, "SECONDS",
               "Period of writing the users' statistics files; 0 turns it off."),
        number("statistics-keep", &Settings::statistics_keep, 0, 100000, "N", "Rotated statistics files kept per user."),
        number("max-held-bytes", &Settings::max_held_bytes, 1, LONG_MAX, "BYTES",
               "A peer that sends more than this without completing one command is disconnected."),
        number("max-held-bytes-total", &Settings::max_held_bytes_total, 1, LONG_MAX, "BYTES",
               "What all connections together may hold of incomplete commands; the connection whose bytes pass "
               "it is closed."),
        number("max-connections", &Settings::max_connections, 1, 10000000, "N",
               "Clients beyond this many open connections are closed at once."),
        number("max-connections-per-client", &Settings::max_connections_per_client, 1, 10000000, "N",
               "Connections one client address may have open at once; more are closed at once, with a "
               "client-limit event."),
        number("idle-timeout", &Settings::idle_timeout, 0, 31536000, "SECONDS",
               "A relayed connection that carries nothing either way for this long is closed (0: never)."),
        number("stall-timeout", &Settings::stall_timeout, 0, 31536000, "SECONDS",
               "A peer that takes none of the bytes waiting for it for this long is given up and the connection "
               "closed (0: never)."),
        number("workers", &Settings::workers, 1, 256, "N",
               "Threads that run the relay. Each runs an event loop of its own, and connections are dealt round "
               "them as they are accepted: all of a connection's traffic is handled on one thread."),
        number("connect-timeout", &Settings::connect_timeout, 1, 86400, "SECONDS",
               "Time allowed for the proxy request and for reaching the server."),
        flag("save-on-exit", &Settings::save_on_exit, "Write the policy file when the gateway stops."),
        text("user", &Settings::user, "NAME",
             "After binding its sockets and writing the pid file, run as this user. The directories of the policy "
             "file and of the pid file must be writable by that user."),
        text("group", &Settings::group, "NAME", "The group to run as; default the user's own."),
        text("pid-file", &Settings::pid_file, "PATH", "Holds the process number while the gateway runs."),
        optional_listener("console", "ADDRESS:PORT|no",
                          "The web console's listener (none: the console is off). It serves a page of live "
                          "connections, counters by verdict with a chart of the last hour, the relation tree and a "
                          "search of the chat logs, and a JSON API under /api/ over the operations of tqctl(1), to "
                          "the accounts of console-users. A change made there is the same administration command as "
                          "tqctl's and raises the same events. The API answers 401 without a session, 403 to a "
                          "change from an account above level 1, 403 to a request from another origin, and 421 to "
                          "a Host header that does not name the console.",
                          &Settings::console, &Settings::console_host, &Settings::console_port),
        optional_listener("metrics", "[ADDRESS:]PORT|no",
                          "Serve the gateway's metrics to Prometheus at /metrics on this address (a port alone: on "
                          "loopback): connections open and relayed by front door, bytes, held bytes, policy "
                          "reloads, the module's time to decide a chunk and a chunk's time through the gateway as "
                          "histograms, and the module's statistic counters (verdicts by kind, sign-ins admitted and "
                          "refused by cause).",
                          &Settings::metrics, &Settings::metrics_host, &Settings::metrics_port, true),
        text("console-users", &Settings::console_users, "PATH",
             "The console's accounts, lines of NAME:LEVEL:HASH, the hash from crypt(3) (trevalquin "
             "--hash-password reads a password on standard input and prints one; openssl passwd -6 makes one "
             "too). Levels are those of admin-level: 0 and 1 may change things, 2 and above may only look. A "
             "session lasts until it has been idle for 12 hours or its account signs out; its cookie is HttpOnly "
             "and SameSite=Strict."),
        text("console-dir", &Settings::console_dir, "PATH",
             "The page's files; by default ../share/trevalquin/console beside the program, then where the "
             "install puts them, then the console directory of the sources it was built from."),
        text("console-tls-cert", &Settings::console_tls_cert, "PATH",
             "Serve the console over TLS with this certificate (PEM) and console-tls-key."),
        text("console-tls-key", &Settings::console_tls_key, "PATH", "The key of console-tls-cert (PEM)."),
        flag("console-plain-http", &Settings::console_plain_http,
             "The gateway refuses a console address reachable beyond loopback without TLS unless this says that "
             "passwords and cookies may travel in the clear."),
        {"console-hostnames", "NAME,...",
         "Host names the console is reached by, besides its address (and localhost on loopback); other Host "
         "headers are refused.",
         [](Settings &s, std::set<std::string> &, const std::string &v, std::string &) {
             s.console_hostnames = split_items(v);
             return true;
         },
         [](const Settings &s) { return comma_list(s.console_hostnames); }},
        number("console-request-timeout", &Settings::console_request_timeout, 1, 3600, "SECONDS",
               "A console request must arrive whole within this time; the server works on nothing before."),
        number("console-connections-per-address", &Settings::console_connections_per_address, 1, 10000, "N",
               "Connections one client address may hold open to the console; more are answered 503 at once."),
        number("console-lockout-failures", &Settings::console_lockout_failures, 0, 1000000, "N",
               "After this many failed logins in a row an account is locked for console-lockout-minutes (0: "
               "never). Each failed login makes the next try of that account and from that address wait twice as "
               "long as the last (1 s up to 60 s); a try that comes sooner is refused without looking at the "
               "password. Failed logins and locks are events (console-login-failed, console-account-locked)."),
        number("console-lockout-minutes", &Settings::console_lockout_minutes, 1, 525600, "MINUTES",
               "How long a locked console account stays locked."),
        {"capture", "no|all|PATTERN,...",
         "Record relayed MSNP connections: every one, or those of the users whose sign-in names match one of "
         "the shell patterns (case does not count). A connection is held in memory until the module names its "
         "user (at the sign-in, or with the refusal of one) and then written or forgotten; one still without a "
         "user after 1 MiB is forgotten. The bytes of each direction are written as they arrived, before any "
         "verdict, as TCP segments between the client's and the server's real addresses, to pcap files that "
         "tcpdump(8), Wireshark and tqreplay(1) read. Beside each .pcap file a .jsonl file names the "
         "connections it holds (with the proxy user, which the packets cannot carry) and holds one line for "
         "every command a decision touched: what the gateway decided and which rule decided it.",
         [](Settings &s, std::set<std::string> &, const std::string &value, std::string &) {
             std::string v = trim(value);
             s.capture_users.clear();
             s.capture = !(v == "no" || v == "off" || v.empty());
             if (s.capture && v != "all" && v != "yes")
                 s.capture_users = split_items(v);
             return true;
         },
         [](const Settings &s) {
             return !s.capture ? std::string("no") : s.capture_users.empty() ? "all" : comma_list(s.capture_users);
         }},
        text("capture-dir", &Settings::capture_dir, "PATH",
             "Where the captures go; files are named trevalquin-YYYYMMDD-HHMMSS-N.pcap, in UTC."),
        number("capture-file-size", &Settings::capture_file_size, 65536, LONG_MAX, "BYTES",
               "A new capture file is begun once the current one passes this size."),
        number("capture-files", &Settings::capture_files, 1, 100000, "N",
               "Capture files kept, the newest; older ones, also those of earlier runs, are removed."),
    };
    return rows;
}

} // namespace

bool SettingsReader::apply(const std::string &key, const std::string &value, bool quoted,
                           std::string &error)
{
    s_.origin[key] = where_.empty() ? "--set " + key : where_;
    if (key.rfind("var", 0) == 0 && key.size() > 3 && (key[3] == ' ' || key[3] == '\t')) {
        std::string name = trim(key.substr(4));
        if (name.empty() || name.find_first_of(" \t") != std::string::npos) {
            error = "var: expected `var NAME = VALUE`";
            return false;
        }
        ModuleVariable v{name, value, !quoted && is_decimal(value)};
        auto same = [&](const ModuleVariable &m) { return m.name == name; };
        s_.vars.erase(std::remove_if(s_.vars.begin(), s_.vars.end(), same), s_.vars.end());
        s_.vars.push_back(std::move(v));
        return true;
    }
    for (const auto &row : setting_rows())
        if (key == row.name)
            return row.apply(s_, seen_, value, error);
    error = "unknown setting \"" + key + "\"";
    return false;
}

std::string settings_help_text(const Settings &fresh)
{
    std::string out;
    for (const auto &row : setting_rows()) {
        std::string line = std::string("  ") + row.name + " = " + row.value;
        std::string def = row.show(fresh);
        out += line + (def.empty() ? "" : std::string(line.size() < 44 ? 44 - line.size() : 1, ' ') + "(" + def + ")") +
               "\n";
    }
    return out + "  var NAME = VALUE                          a module variable\n";
}

std::string settings_roff()
{
    const Settings fresh;
    std::string out;
    for (const auto &row : setting_rows()) {
        out += ".TP\n.BI " + roff_escape(row.name) + " \" " + roff_escape(row.value) + "\"\n";
        std::string help = roff_escape(row.help);
        // One sentence a line, as roff wants them.
        for (size_t at = 0; (at = help.find(". ", at)) != std::string::npos;)
            help.replace(at, 2, ".\n");
        out += help + "\n";
        std::string def = row.show(fresh);
        if (!def.empty())
            out += "Default " + roff_escape(def) + ".\n";
    }
    return out;
}

bool SettingsReader::line(const std::string &text, std::string &error)
{
    std::string t = trim(text);
    if (t.empty() || t[0] == '#')
        return true;
    size_t eq = t.find('=');
    if (eq == std::string::npos) {
        error = "expected `key = value`";
        return false;
    }
    std::string key = trim(t.substr(0, eq));
    if (key.empty()) {
        error = "missing key before `=`";
        return false;
    }
    std::string value;
    bool quoted = false;
    if (!unquote(trim(t.substr(eq + 1)), value, quoted, error))
        return false;
    return apply(key, value, quoted, error);
}

bool SettingsReader::override_setting(const std::string &text, std::string &error)
{
    if (trim(text).empty() || trim(text)[0] == '#' || text.find('=') == std::string::npos) {
        error = "expected KEY=VALUE";
        return false;
    }
    return line(text, error);
}

bool SettingsReader::text(const std::string &contents, const std::string &name, std::string &error)
{
    std::stringstream ss(contents);
    std::string l;
    int number = 0;
    while (std::getline(ss, l)) {
        ++number;
        std::string why;
        where_ = name + ":" + std::to_string(number);
        if (!line(l, why)) {
            error = where_ + ": " + why;
            where_.clear();
            return false;
        }
    }
    where_.clear();
    return true;
}

bool read_settings_file(const std::string &path, Settings &s, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open the configuration file";
        return false;
    }
    std::stringstream buf;
    buf << in.rdbuf();
    SettingsReader reader(s);
    reader.begin_source();
    return reader.text(buf.str(), path, error);
}

} // namespace gw
