// Configuration file reader.
#include "settings.h"
#include "textutil.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
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
    listen_seen_ = false;
    transparent_seen_ = false;
    http_seen_ = false;
    module_seen_ = false;
    destinations_seen_ = false;
}

std::vector<ModuleVariable> Settings::module_variables() const
{
    std::vector<ModuleVariable> out = vars;
    if (std::none_of(out.begin(), out.end(), [](const ModuleVariable &v) { return v.name == "strict"; }))
        out.push_back(ModuleVariable{"strict", strict ? "1" : "0", true});
    return out;
}

bool SettingsReader::apply(const std::string &key, const std::string &value, bool quoted,
                           std::string &error)
{
    long n = 0;
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
    if (key == "listen" || key == "transparent-listen" || key == "http-listen") {
        ListenAddress a;
        if (!parse_listen_address(value, a)) {
            error = key + ": expected HOST:PORT or [IPV6]:PORT, got \"" + value + "\"";
            return false;
        }
        auto &list = key == "listen" ? s_.listen : key == "http-listen" ? s_.http_listen : s_.transparent_listen;
        bool &seen = key == "listen" ? listen_seen_ : key == "http-listen" ? http_seen_ : transparent_seen_;
        if (!seen)
            list.clear();
        seen = true;
        list.push_back(a);
        return true;
    }
    if (key == "msnp-ports")
        return parse_port_list(value, s_.msnp_ports, error);
    if (key == "strict")
        return parse_bool(key, value, s_.strict, error);
    if (key == "module") {
        if (value.empty()) {
            error = "module: a path is needed";
            return false;
        }
        if (!module_seen_)
            s_.modules.clear();
        module_seen_ = true;
        s_.modules.push_back(value);
        return true;
    }
    if (key == "policy") {
        s_.policy = value;
        return true;
    }
    if (key == "admin-group") {
        s_.admin_group = value;
        return true;
    }
    if (key == "admin-socket") {
        if (value.empty()) {
            error = "admin-socket: a path is needed";
            return false;
        }
        s_.admin_socket = value;
        return true;
    }
    if (key == "admin-level") {
        if (!parse_ranged(key, value, 0, INT_MAX, n, error))
            return false;
        s_.admin_level = static_cast<int>(n);
        return true;
    }
    if (key == "events-file") {
        s_.events_file = value;
        return true;
    }
    if (key == "user-file") {
        s_.user_file = value;
        return true;
    }
    if (key == "socks4-without-password")
        return parse_bool(key, value, s_.socks4_without_password, error);
    if (key == "allow-clients") {
        if (!parse_network_list(value, s_.allow_clients, error)) {
            error = "allow-clients: " + error;
            return false;
        }
        s_.allow_clients_set = true;
        return true;
    }
    if (key == "allow-destinations" || key == "deny-destinations") {
        DestinationRule r;
        if (!parse_destination_rule(value, key == "allow-destinations", r, error)) {
            error = key + ": " + error;
            return false;
        }
        r.origin = s_.origin[key];
        if (!destinations_seen_)
            s_.destination_rules.clear();
        destinations_seen_ = true;
        s_.destination_rules.push_back(std::move(r));
        return true;
    }
    if (key == "policy-seed") {
        s_.policy_seed = value;
        return true;
    }
    if (key == "schedtask-interval")
        return parse_ranged(key, value, 0, 86400 * 365, s_.schedtask_interval, error);
    if (key == "statistics-interval")
        return parse_ranged(key, value, 0, 86400 * 365, s_.statistics_interval, error);
    if (key == "statistics-keep")
        return parse_ranged(key, value, 0, 100000, s_.statistics_keep, error);
    if (key == "max-held-bytes") {
        if (!parse_ranged(key, value, 1, LONG_MAX, n, error))
            return false;
        s_.max_held_bytes = static_cast<size_t>(n);
        return true;
    }
    if (key == "max-held-bytes-total") {
        if (!parse_ranged(key, value, 1, LONG_MAX, n, error))
            return false;
        s_.max_held_bytes_total = static_cast<size_t>(n);
        return true;
    }
    if (key == "max-connections-per-client") {
        if (!parse_ranged(key, value, 1, 10000000, n, error))
            return false;
        s_.max_connections_per_client = static_cast<size_t>(n);
        return true;
    }
    if (key == "idle-timeout")
        return parse_ranged(key, value, 0, 31536000, s_.idle_timeout, error);
    if (key == "stall-timeout")
        return parse_ranged(key, value, 0, 31536000, s_.stall_timeout, error);
    if (key == "max-connections") {
        if (!parse_ranged(key, value, 1, 10000000, n, error))
            return false;
        s_.max_connections = static_cast<size_t>(n);
        return true;
    }
    if (key == "workers") {
        if (!parse_ranged(key, value, 1, 256, n, error))
            return false;
        s_.workers = static_cast<int>(n);
        return true;
    }
    if (key == "connect-timeout")
        return parse_ranged(key, value, 1, 86400, s_.connect_timeout, error);
    if (key == "save-on-exit")
        return parse_bool(key, value, s_.save_on_exit, error);
    if (key == "console") {
        std::string v = trim(value);
        if (v.empty() || v == "no" || v == "off") {
            s_.console = false;
            return true;
        }
        ListenAddress a;
        if (!parse_listen_address(v, a)) {
            error = "console: expected ADDRESS:PORT, got \"" + v + "\"";
            return false;
        }
        s_.console = true;
        s_.console_host = a.host;
        s_.console_port = a.port;
        return true;
    }
    if (key == "console-users" || key == "console-dir" || key == "console-tls-cert" || key == "console-tls-key") {
        (key == "console-users"  ? s_.console_users
         : key == "console-dir"  ? s_.console_dir
         : key == "console-tls-cert" ? s_.console_tls_cert
                                     : s_.console_tls_key) = value;
        return true;
    }
    if (key == "console-request-timeout")
        return parse_ranged(key, value, 1, 3600, s_.console_request_timeout, error);
    if (key == "console-connections-per-address") {
        if (!parse_ranged(key, value, 1, 10000, n, error))
            return false;
        s_.console_connections_per_address = static_cast<size_t>(n);
        return true;
    }
    if (key == "console-lockout-failures")
        return parse_ranged(key, value, 0, 1000000, s_.console_lockout_failures, error);
    if (key == "console-lockout-minutes")
        return parse_ranged(key, value, 1, 525600, s_.console_lockout_minutes, error);
    if (key == "console-plain-http")
        return parse_bool(key, value, s_.console_plain_http, error);
    if (key == "console-hostnames") {
        s_.console_hostnames.clear();
        std::stringstream ss(value);
        std::string item;
        while (std::getline(ss, item, ','))
            if (!trim(item).empty())
                s_.console_hostnames.push_back(trim(item));
        return true;
    }
    if (key == "capture") {
        std::string v = trim(value);
        s_.capture_users.clear();
        if (v == "no" || v == "off" || v.empty()) {
            s_.capture = false;
            return true;
        }
        s_.capture = true;
        if (v == "all" || v == "yes")
            return true;
        std::stringstream ss(v);
        std::string item;
        while (std::getline(ss, item, ','))
            if (!trim(item).empty())
                s_.capture_users.push_back(trim(item));
        return true;
    }
    if (key == "capture-dir") {
        s_.capture_dir = value;
        return true;
    }
    if (key == "capture-file-size") {
        if (!parse_ranged(key, value, 65536, LONG_MAX, n, error))
            return false;
        s_.capture_file_size = static_cast<size_t>(n);
        return true;
    }
    if (key == "capture-files") {
        if (!parse_ranged(key, value, 1, 100000, n, error))
            return false;
        s_.capture_files = static_cast<size_t>(n);
        return true;
    }
    if (key == "user" || key == "group" || key == "pid-file") {
        (key == "user" ? s_.user : key == "group" ? s_.group : s_.pid_file) = value;
        return true;
    }
    error = "unknown setting \"" + key + "\"";
    return false;
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
