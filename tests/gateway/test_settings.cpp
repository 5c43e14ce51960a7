#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "server.h"
#include "settings.h"

using gw::ListenAddress;
using gw::ModuleVariable;
using gw::Settings;
using gw::SettingsReader;

namespace {

/* A temporary file holding `text`; removed on destruction. */
struct TempFile {
    std::string path;
    explicit TempFile(const std::string &text)
    {
        char tmpl[] = "/tmp/tq-settings-XXXXXX";
        int fd = mkstemp(tmpl);
        EXPECT_GE(fd, 0);
        close(fd);
        path = tmpl;
        std::ofstream(path) << text;
    }
    ~TempFile() { std::remove(path.c_str()); }
};

bool read_text(Settings &s, const std::string &text, std::string &error)
{
    SettingsReader r(s);
    r.begin_source();
    return r.text(text, "test.conf", error);
}

} // namespace

TEST(Settings, EveryKey)
{
    Settings s;
    std::string error;
    const char *text = "# comment\n"
                       "\n"
                       "   # indented comment\n"
                       "listen = 0.0.0.0:1081\n"
                       "listen = [::1]:1082\r\n"
                       "msnp-ports = 1863, 1864\n"
                       "strict = yes\n"
                       "module = /opt/a.so\n"
                       "module = \"/opt/b c.so\"\n"
                       "policy = policy.xml\n"
                       "admin-socket = /run/tq.sock\n"
                       "admin-level = 5\n"
                       "events-file = \"\"\n"
                       "user-file = users.txt\n"
                       "schedtask-interval = 30\n"
                       "statistics-interval = 0\n"
                       "statistics-keep = 3\n"
                       "max-held-bytes = 4096\n"
                       "max-connections = 10\n"
                       "workers = 4\n"
                       "connect-timeout = 5\n"
                       "save-on-exit = on\n"
                       "var log-dir = \"/var/log/trevalquin/msn\"\n"
                       "var persist-statistics = 1\n"
                       "var quoted-number = \"42\"\n"
                       "var negative = -7\n"
                       "var name = a = b\n";
    ASSERT_TRUE(read_text(s, text, error)) << error;
    EXPECT_EQ(s.listen, (std::vector<ListenAddress>{{"0.0.0.0", 1081}, {"::1", 1082}}));
    EXPECT_EQ(s.msnp_ports, (std::vector<uint16_t>{1863, 1864}));
    EXPECT_TRUE(s.is_msnp_port(1864));
    EXPECT_FALSE(s.is_msnp_port(1865));
    EXPECT_TRUE(s.strict);
    EXPECT_EQ(s.modules, (std::vector<std::string>{"/opt/a.so", "/opt/b c.so"}));
    EXPECT_EQ(s.policy, "policy.xml");
    EXPECT_EQ(s.admin_socket, "/run/tq.sock");
    EXPECT_EQ(s.admin_level, 5);
    EXPECT_EQ(s.events_file, "");
    EXPECT_EQ(s.user_file, "users.txt");
    EXPECT_EQ(s.schedtask_interval, 30);
    EXPECT_EQ(s.statistics_interval, 0);
    EXPECT_EQ(s.statistics_keep, 3);
    EXPECT_EQ(s.max_held_bytes, 4096u);
    EXPECT_EQ(s.max_connections, 10u);
    EXPECT_EQ(s.workers, 4);
    EXPECT_EQ(s.connect_timeout, 5);
    EXPECT_TRUE(s.save_on_exit);
    EXPECT_EQ(s.vars, (std::vector<ModuleVariable>{
                          {"log-dir", "/var/log/trevalquin/msn", false},
                          {"persist-statistics", "1", true},
                          {"quoted-number", "42", false},
                          {"negative", "-7", true},
                          {"name", "a = b", false},
                      }));
}

TEST(Settings, ErrorsNameTheLine)
{
    struct Case {
        const char *text;
        const char *expected; // part of the message
    } cases[] = {
        {"listen = 127.0.0.1:1080\nbogus = 1\n", "test.conf:2: unknown setting \"bogus\""},
        {"\n\nno equals sign\n", "test.conf:3: expected `key = value`"},
        {"= value\n", "test.conf:1: missing key"},
        {"listen = 127.0.0.1\n", "test.conf:1: listen:"},
        {"listen = ::1:80\n", "test.conf:1: listen:"},
        {"listen = [::1]80\n", "test.conf:1: listen:"},
        {"listen = host:70000\n", "test.conf:1: listen:"},
        {"msnp-ports = 1863,,1864\n", "test.conf:1: msnp-ports: bad port"},
        {"msnp-ports = 0\n", "test.conf:1: msnp-ports: bad port"},
        {"strict = maybe\n", "test.conf:1: strict: expected yes or no"},
        {"workers = 0\n", "test.conf:1: workers:"},
        {"workers = two\n", "test.conf:1: workers:"},
        {"max-held-bytes = -1\n", "test.conf:1: max-held-bytes:"},
        {"connect-timeout = 99999999999999999999\n", "test.conf:1: connect-timeout:"},
        {"admin-socket =\n", "test.conf:1: admin-socket: a path is needed"},
        {"policy = \"unterminated\n", "test.conf:1: unterminated quoted value"},
        {"policy = \"a\"b\"\n", "test.conf:1: stray quote"},
        {"var = 1\n", "test.conf:1: unknown setting \"var\""},
        {"var two words = 1\n", "test.conf:1: var: expected"},
    };
    for (const auto &c : cases) {
        Settings s;
        std::string error;
        EXPECT_FALSE(read_text(s, c.text, error)) << c.text;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(Settings, OverridesReplaceRepeatableKeysOfTheFile)
{
    TempFile file("listen = 127.0.0.1:1080\nlisten = 127.0.0.1:1090\nmodule = /a.so\nvar x = 1\nworkers = 3\n");
    gw::LaunchOptions opts;
    opts.config_file = file.path;
    opts.overrides = {"listen=127.0.0.1:0", "listen = [::1]:0", "var x = text", "var y=2"};
    Settings s;
    std::string error;
    ASSERT_TRUE(gw::build_settings(opts, s, error)) << error;
    EXPECT_EQ(s.listen, (std::vector<ListenAddress>{{"127.0.0.1", 0}, {"::1", 0}}));
    EXPECT_EQ(s.modules, std::vector<std::string>{"/a.so"});
    EXPECT_EQ(s.workers, 3);
    EXPECT_EQ(s.vars, (std::vector<ModuleVariable>{{"x", "text", false}, {"y", "2", true}}));

    opts.overrides = {"workers"};
    EXPECT_FALSE(gw::build_settings(opts, s, error));
    EXPECT_NE(error.find("--set workers: expected KEY=VALUE"), std::string::npos) << error;

    opts.overrides.clear();
    opts.config_file += ".missing";
    EXPECT_FALSE(gw::build_settings(opts, s, error));
    EXPECT_NE(error.find("cannot open the configuration file"), std::string::npos) << error;
}

TEST(Settings, ListenAddressForms)
{
    struct Case {
        const char *text;
        bool ok;
        const char *host;
        uint16_t port;
    } cases[] = {
        {"127.0.0.1:1080", true, "127.0.0.1", 1080}, {"[::]:0", true, "::", 0},
        {"[fe80::1]:65535", true, "fe80::1", 65535}, {"example:1", true, "example", 1},
        {":1080", false, "", 0},                     {"[]:1", false, "", 0},
        {"[1.2.3.4]:1", false, "", 0},               {"1.2.3.4:", false, "", 0},
        {"1.2.3.4:-1", false, "", 0},                {"1.2.3.4:1x", false, "", 0},
    };
    for (const auto &c : cases) {
        ListenAddress a;
        EXPECT_EQ(gw::parse_listen_address(c.text, a), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(a.host, c.host);
            EXPECT_EQ(a.port, c.port);
        }
    }
    EXPECT_EQ(gw::format_host_port("::1", 80), "[::1]:80");
    EXPECT_EQ(gw::format_host_port("10.0.0.1", 80), "10.0.0.1:80");
}

TEST(Settings, UserFile)
{
    TempFile good("# users\nalice:secret\r\n\nbob:pa:ss\ncarol:\n"), bad("alice:secret\nnocolon\n");
    std::map<std::string, std::string> users;
    std::string error;
    ASSERT_TRUE(gw::read_user_file(good.path, users, error)) << error;
    EXPECT_EQ(users, (std::map<std::string, std::string>{
                         {"alice", "secret"}, {"bob", "pa:ss"}, {"carol", ""}}));
    EXPECT_FALSE(gw::read_user_file(bad.path, users, error));
    EXPECT_NE(error.find(":2: expected user:password"), std::string::npos) << error;
}

TEST(Settings, ClientNetworks)
{
    const struct {
        const char *text;
        bool ok;
    } forms[] = {{"10.0.0.0/8", true},   {"192.168.1.7", true}, {"::1", true},        {"2001:db8::/32", true},
                 {"0.0.0.0/0", true},    {"10.0.0.1/8", false}, {"1.2.3.4/33", false}, {"::/129", false},
                 {"10.0.0.0/", false},   {"10.0.0.0/-1", false}, {"host.example", false}, {"", false}};
    for (const auto &f : forms) {
        gw::Network n;
        EXPECT_EQ(gw::parse_network(f.text, n), f.ok) << f.text;
    }

    std::vector<gw::Network> nets;
    std::string error;
    ASSERT_TRUE(gw::parse_network_list(" 10.0.0.0/8, 2001:db8::/32 ", nets, error)) << error;
    EXPECT_FALSE(gw::parse_network_list("10.0.0.0/8,,::1", nets, error));
    EXPECT_NE(error.find("\"\""), std::string::npos) << error;
    const struct {
        const char *address;
        bool inside;
    } clients[] = {{"10.200.1.1", true},  {"::ffff:10.0.0.9", true}, {"11.0.0.1", false},
                   {"2001:db8:5::1", true}, {"2001:db9::1", false},   {"::ffff:a00:1", true}};
    for (const auto &c : clients) {
        gw::Address16 a;
        ASSERT_TRUE(gw::parse_address(c.address, a)) << c.address;
        EXPECT_EQ(gw::networks_contain(nets, a), c.inside) << c.address;
    }
}

TEST(Settings, ListeningBeyondLoopbackNeedsPasswordsOrClientNetworks)
{
    const struct {
        const char *config;
        bool open; /* the gateway must refuse to start */
    } cases[] = {
        {"", false},
        {"listen = [::1]:1080", false},
        {"listen = 0.0.0.0:1080", true},
        {"listen = 127.0.0.1:1080\nlisten = 192.0.2.4:1080", true},
        {"listen = [::]:1080\nallow-clients = 127.0.0.0/8, ::1", true},
        {"listen = 0.0.0.0:1080\nuser-file = /etc/users", false},
        {"listen = 0.0.0.0:1080\nuser-file = /etc/users\nsocks4-without-password = yes", true},
        {"listen = 0.0.0.0:1080\nallow-clients = 192.168.0.0/16", false},
        {"listen = 0.0.0.0:1080\nuser-file = /etc/users\nallow-clients = 127.0.0.1", true},
        /* Every front door counts; a transparent one asks no password. */
        {"http-listen = 0.0.0.0:3128", true},
        {"http-listen = 0.0.0.0:3128\nuser-file = /etc/users", false},
        {"transparent-listen = 0.0.0.0:1864\nuser-file = /etc/users", true},
        {"transparent-listen = 127.0.0.1:1864", false},
        {"transparent-listen = 0.0.0.0:1864\nallow-clients = 10.0.0.0/8", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config);
        Settings s;
        std::string error;
        ASSERT_TRUE(read_text(s, c.config, error)) << error;
        std::string problem = gw::open_relay_problem(s);
        EXPECT_EQ(!problem.empty(), c.open) << problem;
        if (c.open) {
            EXPECT_NE(problem.find("allow-clients"), std::string::npos) << problem;
            EXPECT_NE(problem.find(s.transparent_listen.empty() ? "user-file" : "asks no password"),
                      std::string::npos)
                << problem;
        }
    }
    Settings s;
    std::string error;
    EXPECT_FALSE(read_text(s, "allow-clients = 10.1.0.0/8", error));
    EXPECT_NE(error.find("test.conf:1: allow-clients: bad network"), std::string::npos) << error;
}

/* Every default the help shows is a value the reader takes back as the
 * same: the table's rows read and show alike. */
TEST(Settings, TheHelpsDefaultsReadBackAsThemselves)
{
    const std::string help = gw::settings_help_text();
    std::string config;
    size_t rows = 0;
    for (size_t at = 0; at < help.size();) {
        size_t end = help.find('\n', at);
        std::string line = help.substr(at, end - at);
        at = end + 1;
        size_t open = line.rfind(" ("), eq = line.find(" = ");
        if (line.rfind("  var ", 0) == 0 || eq == std::string::npos)
            continue;
        ++rows;
        if (open != std::string::npos && line.back() == ')')
            config += line.substr(2, eq - 2) + " = " + line.substr(open + 2, line.size() - open - 3) + "\n";
    }
    EXPECT_GE(rows, 40u);
    Settings s;
    std::string error;
    ASSERT_TRUE(read_text(s, config, error)) << error << "\n" << config;
    EXPECT_EQ(gw::settings_help_text(s), help);
}
