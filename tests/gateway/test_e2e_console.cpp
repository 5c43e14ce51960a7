/* End-to-end: the web console. Its guards (login, levels, origins, the
 * listener's address) through its API, and the page itself in headless
 * Chromium: it signs in, lists a scripted client's connection, counts the
 * message the policy blocked and finds a message in the chat logs. The
 * screenshots go to test-output/console/ in the build directory. */
#include <gtest/gtest.h>

#include <httplib.h>

#include <arpa/inet.h>

#include <chrono>
#include <map>
#include <thread>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <filesystem>

#include "console.h"
#include "console_auth.h"
#include "gateway/cdp.h"
#include "gateway/e2e_fixture.h"

using namespace e2e;

namespace {

class Console : public GatewayE2E {
protected:
    std::string accounts = dir / "console-users";
    std::string logs = dir / "logs";
    std::string url;

    void start_console(const std::vector<std::string> &extra = {})
    {
        std::ofstream(accounts) << "# name:level:hash\nadmin:0:" << gw::hash_console_password("s3cret") << "\n"
                                << "viewer:2:" << gw::hash_console_password("look only") << "\n";
        /* No console-dir: the page is found where the build came from. */
        std::vector<std::string> s{"console = 127.0.0.1:0", "console-users = " + accounts,
                                   "var log-dir = \"" + logs + "\""};
        s.insert(s.end(), extra.begin(), extra.end());
        start(s);
        ASSERT_TRUE(eventually([&] {
            for (const auto &l : lines_of(gw.stdout_text()))
                if (l.rfind("console on ", 0) == 0)
                    url = l.substr(11);
            return !url.empty();
        })) << gw.stdout_text();
    }

    httplib::Client client() { return httplib::Client(url); }

    /* A signed-in client's cookie header. */
    httplib::Headers signed_in(const std::string &user, const std::string &password)
    {
        auto r = client().Post("/api/login", httplib::Params{{"user", user}, {"password", password}});
        EXPECT_TRUE(r && r->status == 200) << (r ? r->body : "no answer");
        std::string cookie = r ? r->get_header_value("Set-Cookie") : "";
        EXPECT_NE(cookie.find("HttpOnly"), std::string::npos) << cookie;
        EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos) << cookie;
        return {{"Cookie", cookie.substr(0, cookie.find(';'))}};
    }

    /* Alice signs in and talks with bob; mallory's message is blocked. */
    void conversation(Pair &n, Pair &b)
    {
        md5_sign_in(n.client.get(), n.server.get(), "alice@example.com");
        EXPECT_TRUE(pass_through(n.server.get(), n.client.get(), "USR 4 OK alice@example.com Alice\r\n"));
        b = call_bob(n);
        ASSERT_TRUE(b.client && b.server);
        int bc = b.client.get(), bs = b.server.get();
        const std::string blocked = msg("MSG mallory@example.net Mallory", text_payload("open this"));
        const std::string after = msg("MSG bob@example.org Bob", text_payload("still there? the gate is open"));
        ASSERT_TRUE(send_all(bs, blocked + after));
        /* Alice is told of the blocked message first. */
        std::string got;
        while (got.size() < after.size() || got.compare(got.size() - after.size(), after.size(), after) != 0) {
            std::string more = recv_some(bc, 1 << 16).bytes;
            if (more.empty())
                break;
            got += more;
        }
        EXPECT_NE(got.find(after), std::string::npos) << got;
    }
};

/* A self-signed certificate for CN=localhost and its key, as PEM files. */
bool self_signed(const std::string &cert, const std::string &key)
{
    EVP_PKEY *pkey = EVP_EC_gen("P-256");
    X509 *x = X509_new();
    bool ok = pkey && x;
    if (ok) {
        ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
        X509_gmtime_adj(X509_getm_notBefore(x), -60);
        X509_gmtime_adj(X509_getm_notAfter(x), 3600);
        X509_set_pubkey(x, pkey);
        X509_NAME *name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("localhost"), -1,
                                   -1, 0);
        X509_set_issuer_name(x, name);
        ok = X509_sign(x, pkey, EVP_sha256()) > 0;
    }
    FILE *c = ok ? fopen(cert.c_str(), "w") : nullptr;
    FILE *k = ok ? fopen(key.c_str(), "w") : nullptr;
    ok = c && k && PEM_write_X509(c, x) && PEM_write_PrivateKey(k, pkey, nullptr, nullptr, 0, nullptr, nullptr);
    if (c)
        fclose(c);
    if (k)
        fclose(k);
    X509_free(x);
    EVP_PKEY_free(pkey);
    return ok;
}

} // namespace

/* Every API call wants a session; a look-only account may not change;
 * other origins and other host names get nothing. */
TEST_F(Console, TheApiAnswersOnlyItsOwnSignedInPages)
{
    start_console();
    auto c = client();
    for (const char *path : {"/api/session", "/api/connections", "/api/counters", "/api/policy", "/api/logs",
                             "/api/glob?pattern=a*", "/api/serialize?name=alice", "/api/info?tid=1"}) {
        auto r = c.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 401) << path;
    }
    auto r = c.Post("/api/command", httplib::Params{{"line", "set default-action block"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 401);
    /* The page itself is there for everyone: it asks for the login. */
    r = c.Get("/");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_NE(r->get_header_value("Content-Security-Policy").find("script-src 'self'"), std::string::npos);

    auto viewer = signed_in("viewer", "look only");
    r = c.Post("/api/command", viewer, httplib::Params{{"line", "set default-action block"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403) << r->body;
    r = c.Post("/api/command", viewer, httplib::Params{{"line", "msnp del mallory"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403) << r->body;
    r = c.Post("/api/command", viewer, httplib::Params{{"line", "get e2e-text"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, "{\"ok\":true,\"errors\":[],\"warnings\":[],\"events\":[],\"data\":\"hello world\\u000a\"}");

    /* An administrator's change goes through the same command as tqctl's
     * and raises the same event. */
    auto admin = signed_in("admin", "s3cret");
    r = c.Post("/api/command", admin, httplib::Params{{"line", "msnp new person console_made '/.*@made\\.example/'"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_NE(r->body.find("\"ok\":true"), std::string::npos) << r->body;
    EXPECT_TRUE(eventually([&] { return slurp(events).find("console_made") != std::string::npos; }));
    EXPECT_NE(tqctl({"msnp", "serialize", "console_made"}).out.find("made"), std::string::npos);

    /* Another origin, even with the cookie; another host name. */
    auto cross = admin;
    cross.emplace("Origin", "http://evil.example");
    r = c.Get("/api/connections", cross);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    auto site = admin;
    site.emplace("Sec-Fetch-Site", "cross-site");
    r = c.Get("/api/connections", site);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    auto rebound = admin;
    rebound.emplace("Host", "evil.example:" + url.substr(url.rfind(':') + 1));
    r = c.Get("/api/connections", rebound);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 421);
    auto same = admin;
    same.emplace("Origin", url);
    r = c.Get("/api/connections", same);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);

    r = c.Post("/api/logout", admin, httplib::Params{});
    ASSERT_TRUE(r);
    r = c.Get("/api/session", admin);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 401);

    r = c.Post("/api/login", httplib::Params{{"user", "admin"}, {"password", "wrong"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 401);
    EXPECT_TRUE(r->get_header_value("Set-Cookie").empty());
}

namespace {

/* A connection to the console at `url` from a loopback address of our
 * choosing. */
Fd console_from(const std::string &source, const std::string &url)
{
    return connect_from(source.c_str(), "127.0.0.1", static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
}

std::string login_request(const std::string &url, const std::string &user, const std::string &password)
{
    const std::string body = "user=" + user + "&password=" + password;
    return "POST /api/login HTTP/1.1\r\nHost: " + url.substr(7) +
           "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

/* The status of the answer on `fd`, 0 when none came. */
int status_of(int fd)
{
    std::string answer = recv_until_closed(fd).bytes;
    return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : 0;
}

} // namespace

/* Guessing in parallel from 200 addresses: every guess is refused and
 * written as an event, the account is locked after the tenth failure, and
 * meanwhile the administrator, from an address of her own, signs in at
 * once; the locked account's right password is refused too. */
TEST_F(Console, ParallelGuessesLockTheAccountAndTheAdministratorStillGetsIn)
{
    start_console();
    constexpr int kGuesses = 200;
    std::vector<Fd> guesses;
    for (int i = 0; i < kGuesses; ++i) {
        Fd fd = console_from("127.1.0." + std::to_string(i + 1), url);
        ASSERT_TRUE(fd) << i;
        guesses.push_back(std::move(fd));
    }
    for (int i = 0; i < kGuesses; ++i)
        ASSERT_TRUE(send_all(guesses[static_cast<size_t>(i)].get(), login_request(url, "viewer", "guess" + std::to_string(i))));
    auto before = std::chrono::steady_clock::now();
    Fd admin = console_from("127.0.0.2", url);
    ASSERT_TRUE(admin && send_all(admin.get(), login_request(url, "admin", "s3cret")));
    EXPECT_EQ(status_of(admin.get()), 200);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    std::map<int, int> statuses;
    for (auto &g : guesses)
        ++statuses[status_of(g.get())];
    EXPECT_EQ(statuses[401] + statuses[429], kGuesses) << "every guess is refused, none unanswered";
    EXPECT_EQ(notices("console-account-locked", 1).size(), 1u);
    EXPECT_EQ(notices("console-login-failed", kGuesses - 1).size(), static_cast<size_t>(kGuesses - 1));
    Fd right = console_from("127.0.0.3", url);
    ASSERT_TRUE(right && send_all(right.get(), login_request(url, "viewer", "look%20only")));
    EXPECT_EQ(status_of(right.get()), 429) << "the locked account stays locked";
}

/* Clients that send their header a byte a second hold nothing another
 * client needs, and are let go at the deadline. */
TEST_F(Console, SlowHeadersDelayNobody)
{
    start_console({"console-request-timeout = 3"});
    std::vector<Fd> slow;
    for (int i = 0; i < 10; ++i) {
        slow.push_back(console_from("127.0.0.1", url));
        ASSERT_TRUE(slow.back());
    }
    const std::string header = "GET / HTTP/1.1\r\nHost: " + url.substr(7) + "\r\n";
    auto start = std::chrono::steady_clock::now();
    for (size_t k = 0; k < 2; ++k) {
        for (auto &fd : slow)
            send_all(fd.get(), header.substr(k, 1));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        auto t0 = std::chrono::steady_clock::now();
        Fd normal = console_from("127.0.0.2", url);
        ASSERT_TRUE(normal && send_all(normal.get(), header + "\r\n"));
        EXPECT_EQ(status_of(normal.get()), 200);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    }
    /* Eight of the ten were taken (the cap of one address); all are closed
     * by the deadline, none answered with a page. */
    int timed_out = 0, refused = 0;
    for (auto &fd : slow) {
        int st = status_of(fd.get());
        timed_out += st == 408;
        refused += st == 503;
    }
    EXPECT_EQ(timed_out, 8);
    EXPECT_EQ(refused, 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
}

/* Beyond loopback only with TLS or a setting that accepts plain HTTP. */
TEST_F(Console, ARefusalToListenInTheClearBeyondLoopback)
{
    std::ofstream(accounts) << "admin:0:" << gw::hash_console_password("x") << "\n";
    std::vector<std::string> argv{TQ_GATEWAY_BIN};
    for (const auto &s : settings({"console = 0.0.0.0:0", "console-users = " + accounts}))
        argv.insert(argv.end(), {"--set", s});
    RunResult r = run_program(argv, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("console 0.0.0.0:0 is reachable beyond loopback: give it console-tls-cert and "
                         "console-tls-key, or set console-plain-http = yes"),
              std::string::npos)
        << r.err;

    gw::Settings s;
    s.console = true;
    s.console_host = "192.0.2.1";
    EXPECT_FALSE(gw::console_exposure_problem(s).empty());
    s.console_plain_http = true;
    EXPECT_TRUE(gw::console_exposure_problem(s).empty());
    s.console_plain_http = false;
    s.console_tls_cert = "cert.pem";
    s.console_tls_key = "key.pem";
    EXPECT_TRUE(gw::console_exposure_problem(s).empty());
    s.console_host = "::1";
    s.console_tls_cert.clear();
    EXPECT_TRUE(gw::console_exposure_problem(s).empty());
}

/* Over TLS: the same console, and its cookie only for HTTPS. */
TEST_F(Console, OverTlsTheCookieIsSecure)
{
    const std::string cert = dir / "console.crt", key = dir / "console.key";
    ASSERT_TRUE(self_signed(cert, key));
    start_console({"console-tls-cert = " + cert, "console-tls-key = " + key});
    ASSERT_EQ(url.rfind("https://127.0.0.1:", 0), 0u) << url;
    httplib::SSLClient c("127.0.0.1", std::atoi(url.substr(url.rfind(':') + 1).c_str()));
    c.enable_server_certificate_verification(false);
    auto r = c.Get("/api/session");
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(r->status, 401);
    r = c.Post("/api/login", httplib::Params{{"user", "admin"}, {"password", "s3cret"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    const std::string cookie = r->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("; Secure"), std::string::npos) << cookie;
    r = c.Get("/api/connections", {{"Cookie", cookie.substr(0, cookie.find(';'))}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, "{\"total\":0,\"offset\":0,\"items\":[]}");
}

/* 5,000 connections: a page at a time, in order, filtered on the server. */
TEST(ConsolePages, ThousandsOfConnectionsComeAPageAtATime)
{
    std::vector<gw::Connection::Status> all(5000);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i].tid = all.size() - i; /* the table gives them in any order */
        all[i].user = "user" + std::to_string(all[i].tid) + "@example.com";
        all[i].client = "10.0.0.1:" + std::to_string(1000 + i);
    }
    all.push_back({}); /* one still in its handshake: not listed */
    std::string page = gw::connections_json(all, "", 4950, 100);
    EXPECT_EQ(page.rfind("{\"total\":5000,\"offset\":4950,\"items\":[{\"tid\":4951,", 0), 0u) << page.substr(0, 80);
    EXPECT_NE(page.find("\"tid\":5000,"), std::string::npos);
    size_t items = 0;
    for (size_t at = 0; (at = page.find("{\"tid\":", at)) != std::string::npos; ++at)
        ++items;
    EXPECT_EQ(items, 50u);
    page = gw::connections_json(all, "user42", 0, 100);
    EXPECT_EQ(page.rfind("{\"total\":111,", 0), 0u) << page.substr(0, 80); /* 42, 420-429, 4200-4299 */
    EXPECT_EQ(gw::connections_json(all, "", 6000, 100), "{\"total\":5000,\"offset\":6000,\"items\":[]}");
}

TEST_F(Console, InABrowserTheConnectionTheBlockAndTheChatAreSeen)
{
    ASSERT_EQ(access("/usr/bin/chromium", X_OK), 0) << "chromium is not installed (tools/setup installs it)";
    start_console({"var message-warning-text = \"\"", "archive = sqlite:" + dir / "archive.db"});
    Pair n, b;
    n = open_pair(ns);
    ASSERT_TRUE(n.client && n.server);
    conversation(n, b);
    ASSERT_TRUE(b.client && b.server);

    const std::string shots = std::string(TQ_BINARY_DIR) + "/test-output/console";
    std::filesystem::create_directories(shots);
    cdp::Browser browser;
    ASSERT_TRUE(browser.start("/usr/bin/chromium", dir / "chromium-profile")) << "chromium did not start";
    browser.navigate(url + "/");
    ASSERT_TRUE(browser.until("document.getElementById('login-form') && !document.getElementById('login').hidden"));
    EXPECT_TRUE(browser.screenshot(shots + "/1-login.png"));
    browser.eval("document.getElementById('login-user').value = 'admin';"
                 "document.getElementById('login-password').value = 's3cret';"
                 "document.getElementById('login-form').requestSubmit(); true");

    /* The scripted client's connections, alice's own. */
    EXPECT_TRUE(browser.until("document.getElementById('conn-rows').textContent.includes('alice@example.com')"))
        << browser.eval("document.body.innerText");
    EXPECT_TRUE(browser.until("document.getElementById('conn-rows').textContent.includes('bob@example.org')"));
    EXPECT_EQ(browser.eval("document.getElementById('conn-range').textContent"), "1-2 of 2");
    EXPECT_TRUE(browser.screenshot(shots + "/2-connections.png"));

    /* The blocked message among the counters. */
    browser.eval("document.querySelector('nav button[data-tab=counters]').click(); true");
    EXPECT_TRUE(browser.until("Number(document.getElementById('count-block').textContent) >= 1"))
        << browser.eval("document.body.innerText");
    EXPECT_TRUE(browser.until("document.getElementById('counter-rows').textContent.includes('stats-message-in-block')"));
    EXPECT_TRUE(browser.screenshot(shots + "/3-counters.png"));

    /* The policy's tree with its relations. */
    browser.eval("document.querySelector('nav button[data-tab=policy]').click(); true");
    EXPECT_TRUE(browser.until("document.getElementById('tree').textContent.includes('#1 mallory action=block')"))
        << browser.eval("document.getElementById('tree').textContent");
    /* A change from the page: the same command as tqctl's. */
    browser.eval("document.getElementById('command-line').value = 'msnp new group FromTheConsole';"
                 "document.getElementById('command-form').requestSubmit(); true");
    EXPECT_TRUE(browser.until("document.getElementById('command-reply').textContent.endsWith('OK')"))
        << browser.eval("document.getElementById('command-reply').textContent");
    EXPECT_NE(tqctl({"msnp", "glob", "FromThe*"}).out.find("FromTheConsole"), std::string::npos);
    EXPECT_TRUE(browser.screenshot(shots + "/4-policy.png"));

    /* A message found by its text, shown in its conversation. */
    browser.eval("document.querySelector('nav button[data-tab=logs]').click();"
                 "document.getElementById('logs-text').value = 'gate is open';"
                 "document.getElementById('logs-form').requestSubmit(); true");
    EXPECT_TRUE(browser.until("document.getElementById('logs-results').textContent.includes('still there? the gate is open')"))
        << browser.eval("document.body.innerText");
    EXPECT_EQ(browser.eval("document.getElementById('logs-count').textContent"), "1 conversation, matches 1-1")
        << tqctl({"msnp", "log", "show"}).out;
    EXPECT_TRUE(browser.screenshot(shots + "/5-logs.png"));
    /* The archive's own field: what the policy withheld, in its chat. */
    browser.eval("document.getElementById('logs-text').value = '';"
                 "document.getElementById('logs-verdict').value = 'block';"
                 "document.getElementById('logs-form').requestSubmit(); true");
    EXPECT_TRUE(browser.until("document.querySelector('#logs-results .blocked') !== null &&"
                              "document.querySelector('#logs-results .blocked').textContent.includes('open this')"))
        << browser.eval("document.body.innerText");
    EXPECT_EQ(browser.eval("document.getElementById('logs-next').disabled"), "true");
    /* tqctl's log forms answer from the archive the same way. */
    const std::string shown = tqctl({"msnp", "log", "show", "alice*:*", ":", "gate"}).out;
    EXPECT_NE(shown.find("<logs entries='1'"), std::string::npos) << shown;
    EXPECT_NE(shown.find(">still there? the gate is open</message>"), std::string::npos) << shown;
    browser.close();
}
