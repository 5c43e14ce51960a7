// Gateway configuration: one `key = value` file, every key optional.
#ifndef GW_SETTINGS_H
#define GW_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "destinations.h"
#include "netacl.h"

namespace gw {

struct ListenAddress {
    std::string host; // literal address, without brackets
    uint16_t port = 0;
    bool operator==(const ListenAddress &) const = default;
};

// A module variable from a `var NAME = VALUE` line.
struct ModuleVariable {
    std::string name;
    std::string value;
    bool integer = false; // a signed decimal number that was not quoted
    bool operator==(const ModuleVariable &) const = default;
};

struct Settings {
    std::vector<ListenAddress> listen{{"127.0.0.1", 1080}};
    // Front doors besides SOCKS: connections redirected here by the
    // firewall (their original destination is read from the socket), and
    // HTTP CONNECT proxy requests.
    std::vector<ListenAddress> transparent_listen;
    std::vector<ListenAddress> http_listen;
    std::vector<uint16_t> msnp_ports{1863};
    bool strict = false;
    std::vector<std::string> modules; // empty: look for libtq3_msnp.so
    std::string policy;
    std::string admin_socket = "trevalquin.sock";
    // Members of this group may use the administration socket too, at
    // `admin_level`; empty: only root and the gateway's own user.
    std::string admin_group;
    int admin_level = 2;
    std::string events_file = "trevalquin-events.log";
    bool events_syslog = false;
    std::string events_syslog_facility = "daemon";
    std::string user_file;
    // With a user file SOCKS4 is refused (it carries no password) unless
    // this says otherwise.
    bool socks4_without_password = false;
    std::vector<Network> allow_clients;
    bool allow_clients_set = false;
    // `allow-destinations`/`deny-destinations` lines in the order written;
    // the defaults follow them (effective_destination_rules).
    std::vector<DestinationRule> destination_rules;
    // Copied to `policy` on start when that file does not exist yet.
    std::string policy_seed;
    long schedtask_interval = 60;
    long statistics_interval = 3600;
    long statistics_keep = 10;
    size_t max_held_bytes = 1048576;
    // All connections together: what hostile clients can make the gateway
    // hold, however many connections they open.
    size_t max_held_bytes_total = 268435456;
    size_t max_connections = 4096;
    size_t max_connections_per_client = 256;
    // A relayed connection that carries nothing either way for this long is
    // closed (MSNP clients ping every minute or so); a peer that takes none
    // of the bytes waiting for it for this long is given up. 0: never.
    long idle_timeout = 1800;
    long stall_timeout = 120;
    int workers = 2;
    long connect_timeout = 30;
    bool save_on_exit = false;
    // After binding its sockets the gateway runs as this user (and group,
    // default the user's own); empty: it keeps the identity it started with.
    std::string user;
    std::string group;
    // Holds the gateway's process number while it runs.
    std::string pid_file;
    // Recording of MSNP connections to pcap files: off, every connection
    // ("all"), or those of the users whose sign-in names match a pattern.
    bool capture = false;
    // The chat archive: "sqlite:PATH" or "postgresql://..."; empty: none.
    std::string archive;
    long archive_retention_days = 0;
    std::vector<std::string> capture_users; // empty with `capture`: all
    std::string capture_dir = "captures";
    size_t capture_file_size = 64u << 20;
    size_t capture_files = 8;
    // The web console: off while `console` has no address.
    std::string console_host;
    uint16_t console_port = 0;
    bool console = false;
    // Where Prometheus scrapes /metrics; off when `metrics` is false.
    std::string metrics_host;
    uint16_t metrics_port = 0;
    bool metrics = false;
    std::string console_users;        // NAME:LEVEL:CRYPT-HASH lines
    std::string console_dir;          // the page's files; empty: found beside the program
    std::string console_tls_cert, console_tls_key;
    bool console_plain_http = false;  // beyond loopback without TLS, knowingly
    std::vector<std::string> console_hostnames; // names the console is reached by
    // A request must arrive whole within this many seconds, and one
    // address may hold this many connections at once.
    long console_request_timeout = 10;
    size_t console_connections_per_address = 8;
    // This many failed logins in a row lock an account for that long (0:
    // never); failed logins make the next try wait in any case.
    long console_lockout_failures = 10;
    long console_lockout_minutes = 15;
    std::vector<ModuleVariable> vars;
    // The variables the module gets: `vars`, and "strict" from `strict`
    // (the module then drops what it cannot read as a command instead of
    // asking the policy's default action) unless a `var strict` says more.
    std::vector<ModuleVariable> module_variables() const;
    // Where each key was last set ("FILE:LINE"), for messages about its
    // value that come later (a module that cannot be loaded, ...).
    std::map<std::string, std::string> origin;

    bool is_msnp_port(uint16_t port) const;
    bool socks4_allowed() const { return user_file.empty() || socks4_without_password; }
    // The networks whose clients may use the relay: `allow-clients` when
    // given; otherwise loopback only, or every address when a password
    // guards every request (a user file, SOCKS4 refused, and no transparent
    // listener, where no password can be asked).
    std::vector<Network> effective_allow_clients() const;
};

// Why these settings would make an open relay (a listener beyond loopback
// that any host may use), or empty when they do not.
std::string open_relay_problem(const Settings &s);

// Applies lines to a Settings record. Repeatable keys (`listen`,
// `module`) replace the values of an earlier source on their first
// occurrence in a new one and accumulate within it, so that a command-line
// override of `listen` replaces the file's listeners instead of adding to
// them. Variables accumulate; a later one of the same name wins.
class SettingsReader {
public:
    explicit SettingsReader(Settings &s) : s_(s) {}

    // Starts a new source (a file, or the command-line overrides).
    void begin_source();
    // One line of a file: blank and `#` lines are ignored. False with
    // `error` set (without a location) when the line is bad.
    bool line(const std::string &text, std::string &error);
    // One `KEY=VALUE` override.
    bool override_setting(const std::string &text, std::string &error);
    // A whole text, errors prefixed with "NAME:LINE: ".
    bool text(const std::string &contents, const std::string &name, std::string &error);

private:
    bool apply(const std::string &key, const std::string &value, bool quoted, std::string &error);

    Settings &s_;
    std::string where_; // FILE:LINE of the line being read, if any
    std::set<std::string> seen_; // repeatable lists begun in this source
};

// Every setting with its value's form and its value in `s` (by default,
// the defaults), a line each (`--help`), and as the entries of the manual
// page's section.
std::string settings_help_text(const Settings &s = Settings{});
std::string settings_roff();

// Reads FILE into `s` as one source. False with a message naming the file
// (and the line) on failure.
bool read_settings_file(const std::string &path, Settings &s, std::string &error);

// Parses `host:port`, `[v6]:port`. False on a bad form or port.
bool parse_listen_address(const std::string &text, ListenAddress &out);

// Host text for messages: IPv6 literals in brackets.
std::string format_host_port(const std::string &host, uint16_t port);

} // namespace gw

#endif
