#include <gtest/gtest.h>

#include <future>

#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>

#include "admin.h"
#include "admin_verbs.h"
#include "gateway/e2e_helpers.h"
#include "variables.h"

using gw::AdminCaller;
using gw::AdminCommands;
using gw::AdminRequest;
using gw::Report;

namespace {

// A module whose entry points show what the host handed them.
std::string last_args;
int last_level = -1;
int resets = 0;
std::string configured;

int fake_config(tq3_module *, idl_parser *p)
{
    last_args = std::string(p->args[0]) + "|" + p->args[1] + "|" + std::to_string(p->argc);
    last_level = p->user ? p->user->level : -1;
    std::string verb = p->args[0];
    if (verb == "fail") {
        p->error(p, 27, "Unknown object: %s", p->args[1]);
        p->warn(p, "looked in %d tables", 3);
    } else if (verb == "list") {
        idl_parser_set_data(p, "<a/>\n<b/>\n");
        p->event(p, tqevents_shortcut_object_collect("gone"));
    }
    return 0;
}

char *fake_getconfig(tq3_module *, idl_parser *)
{
    return strdup(("<trevalquin version=\"1.0\">" + configured + "</trevalquin>").c_str());
}

int fake_setconfig(tq3_module *, idl_parser *p, const char *text)
{
    if (std::strncmp(text, "<trevalquin", 11) != 0)
        return 0;
    if (!p->import)
        return 0;
    configured = text;
    return 1;
}

void fake_reset(tq3_module *, idl_parser *) { ++resets; }

/* The fake module, adopted afresh for each test. */
std::unique_ptr<gw::ModuleHost> fake_module()
{
    static tq3_module_ops ops{};
    ops.name = "fake";
    ops.require = 1;
    ops.config = fake_config;
    ops.getconfig = fake_getconfig;
    ops.setconfig = fake_setconfig;
    ops.reset = fake_reset;
    std::string error;
    auto m = gw::ModuleHost::adopt(&ops, "fake.so", error);
    EXPECT_TRUE(m) << error;
    return m;
}

std::string run(AdminCommands &c, const std::string &line, int level = 0)
{
    AdminRequest req;
    if (!gw::parse_admin_request(line, req))
        return "(unparsed)";
    /* Some verbs answer from another thread. */
    auto out = std::make_shared<std::promise<std::string>>();
    auto reply = out->get_future();
    c.run(req, AdminCaller{"tester", level}, [out](std::string s) { out->set_value(std::move(s)); });
    return reply.wait_for(std::chrono::seconds(10)) == std::future_status::ready ? reply.get() : "(no reply)";
}

} // namespace

TEST(AdminProtocol, ReplyLinesInOrder)
{
    Report r;
    r.warnings.push_back("two\nlines");
    r.error(27, "Unknown object: x");
    r.events.push_back("<object-collect name=\"x\"/>");
    r.data = "first\r\n\nthird\n";
    EXPECT_EQ(gw::format_admin_reply(r, true), "E 27 Unknown object: x\n"
                                               "W two lines\n"
                                               "V <object-collect name=\"x\"/>\n"
                                               "D first\n"
                                               "D \n"
                                               "D third\n"
                                               "FAIL\n");
    Report ok;
    ok.data = "no newline";
    EXPECT_EQ(gw::format_admin_reply(ok, true), "D no newline\nOK\n");
    EXPECT_EQ(gw::format_admin_reply(Report{}, true), "OK\n");
    EXPECT_EQ(gw::format_admin_reply(Report{}, false), "FAIL\n");
}

TEST(AdminProtocol, CallerLevel)
{
    EXPECT_EQ(gw::caller_level(0, 1000, 2), 0);
    EXPECT_EQ(gw::caller_level(1000, 1000, 2), 0);
    EXPECT_EQ(gw::caller_level(1001, 1000, 2), 2);
    EXPECT_EQ(gw::caller_level(1001, 1000, 1), 1);
}

TEST(AdminCommands, ModuleCommandsCarryVerbRestAndLevel)
{
    auto m = fake_module();
    ASSERT_TRUE(m);
    std::string error;
    AdminCommands c({m.get(), "", nullptr, nullptr, {}});

    EXPECT_EQ(run(c, "msnp new person alice", 1), "OK\n");
    EXPECT_EQ(last_args, "new|person alice|2");
    EXPECT_EQ(last_level, 1);
    EXPECT_EQ(run(c, "msnp serialize"), "OK\n");
    EXPECT_EQ(last_args, "serialize||1");
    EXPECT_EQ(run(c, "msnp fail thing"),
              "E 27 Unknown object: thing\nW looked in 3 tables\nFAIL\n");
    event_t *ev = tqevents_shortcut_object_collect("gone");
    EXPECT_EQ(run(c, "msnp list"), "V " + std::string(ev->text) + "\nD <a/>\nD <b/>\nOK\n");
    tqevents_destroy_event(ev);
    EXPECT_EQ(run(c, "msnp"), "E 2 Missing management verb\nFAIL\n");
    EXPECT_EQ(run(c, "frobnicate now"), "E 2 Unknown command: frobnicate\nFAIL\n");
    EXPECT_NE(run(c, "help").find("D connections"), std::string::npos);

    static tq3_module_ops bare{};
    bare.name = "bare";
    auto b = gw::ModuleHost::adopt(&bare, "bare.so", error);
    ASSERT_TRUE(b) << error;
    AdminCommands cb({b.get(), "", nullptr, nullptr, {}});
    EXPECT_EQ(run(cb, "msnp new x"), "E 30 Module does not support management commands\nFAIL\n");
    EXPECT_EQ(run(cb, "save"), "E 30 no policy file is configured\nFAIL\n");

    AdminCommands none({nullptr, "", nullptr, nullptr, {}});
    EXPECT_EQ(run(none, "vars"), "E 30 No module is loaded\nFAIL\n");
}

TEST(AdminCommands, VariablesAndLevels)
{
    auto m = fake_module();
    ASSERT_TRUE(m);
    m->apply_variables({{"log-dir", "/tmp/x", false}, {"persist-statistics", "1", true}});
    tq_variable *counter = variable_set(m->record()->ns, "i/stats-user-login", "4");
    counter->flags |= VARIABLE_STATISTIC;
    AdminCommands c({m.get(), "", nullptr, nullptr, {}});

    EXPECT_EQ(run(c, "vars"), "D log-dir = /tmp/x\nD persist-statistics = 1\n"
                              "D stats-user-login = 4\nOK\n");
    EXPECT_EQ(run(c, "counters"), "D stats-user-login = 4\nOK\n");
    EXPECT_EQ(run(c, "get log-dir"), "D /tmp/x\nOK\n");
    EXPECT_EQ(run(c, "get nothing"), "E 27 Unknown variable: nothing\nFAIL\n");
    EXPECT_EQ(run(c, "get"), "E 2 Missing variable name\nFAIL\n");

    EXPECT_EQ(run(c, "set quota 12", 2), "E 12 More level required\nFAIL\n");
    EXPECT_EQ(run(c, "get quota"), "E 27 Unknown variable: quota\nFAIL\n");
    EXPECT_EQ(run(c, "set quota 12", 1), "OK\n");
    EXPECT_EQ(variable_get(m->record()->ns, "quota")->flags & VARIABLE_INTEGER,
              unsigned(VARIABLE_INTEGER));
    EXPECT_EQ(run(c, "set greeting hello there", 0), "OK\n");
    EXPECT_EQ(run(c, "get greeting"), "D hello there\nOK\n");
    EXPECT_EQ(variable_get(m->record()->ns, "greeting")->flags & VARIABLE_STRING,
              unsigned(VARIABLE_STRING));
    EXPECT_EQ(run(c, "set lonely"), "E 2 Usage: set NAME VALUE\nFAIL\n");
    /* Every verb the table says changes something is refused to a caller
     * who may only look, before the module hears of it; every other verb
     * is not refused for its level. */
    for (const gw::AdminVerb &v : gw::admin_verbs()) {
        last_args.clear();
        std::string reply = run(c, std::string(v.name) + " x y", 3);
        EXPECT_EQ(reply == "E 12 More level required\nFAIL\n", v.changes) << v.name << ": " << reply;
        if (v.changes) {
            EXPECT_EQ(last_args, "") << v.name << " reached the module";
        }
    }
}

TEST(AdminCommands, SaveAndReloadThePolicyFile)
{
    e2e::TempDir dir;
    std::string policy = dir / "policy.xml";
    std::ofstream(policy) << "<trevalquin><object-list/></trevalquin>";
    chmod(policy.c_str(), 0640);
    auto m = fake_module();
    ASSERT_TRUE(m);
    Report load;
    ASSERT_TRUE(m->load_policy(policy, load));
    EXPECT_EQ(configured, "<trevalquin><object-list/></trevalquin>");

    AdminCommands c({m.get(), policy, nullptr, nullptr, {}});
    configured = "<x/>";
    EXPECT_EQ(run(c, "save"), "OK\n");
    EXPECT_EQ(e2e::slurp(policy), "<trevalquin version=\"1.0\"><x/></trevalquin>\n");
    struct stat st{};
    ASSERT_EQ(stat(policy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u); // permissions of the replaced file kept
    // No temporary file is left next to it.
    auto files = std::filesystem::directory_iterator(dir.path());
    EXPECT_EQ(std::distance(begin(files), end(files)), 1);

    int before = resets;
    EXPECT_EQ(run(c, "reload-policy"), "OK\n");
    EXPECT_EQ(resets, before + 1);
    EXPECT_EQ(configured, "<trevalquin version=\"1.0\"><x/></trevalquin>\n");

    /* A file that is not XML, or is gone, is not even tried. */
    std::ofstream(policy) << "<a>\nnot xml";
    EXPECT_EQ(run(c, "reload-policy"),
              "E 2 " + policy + ":2: not well-formed XML; the running policy is kept\nFAIL\n");
    std::remove(policy.c_str());
    std::string out = run(c, "reload-policy");
    EXPECT_EQ(out.substr(0, 5), "E 27 ");
    EXPECT_NE(out.find("the running policy is kept"), std::string::npos) << out;
    EXPECT_EQ(resets, before + 1);
    EXPECT_EQ(configured, "<trevalquin version=\"1.0\"><x/></trevalquin>\n");
}

TEST(ModuleHost, RefusesModulesItCannotServe)
{
    static tq3_module_ops future{};
    future.name = "future";
    future.require = gw::kHostInterfaceVersion + 1;
    std::string error;
    EXPECT_FALSE(gw::ModuleHost::adopt(&future, "future.so", error));
    EXPECT_NE(error.find("requires host interface 2"), std::string::npos) << error;

    static tq3_module_ops refusing{};
    refusing.name = "refusing";
    refusing.init = [](tq3_module *, char **) { return 1; };
    EXPECT_FALSE(gw::ModuleHost::adopt(&refusing, "refusing.so", error));
    EXPECT_NE(error.find("refused to start"), std::string::npos) << error;

    EXPECT_FALSE(gw::ModuleHost::load("/nonexistent/libnothing.so", error));
    EXPECT_NE(error.find("cannot load module"), std::string::npos) << error;
}

TEST(AdminServer, SocketIsOwnerOnlyAndAnswersOneLine)
{
    auto m = fake_module();
    ASSERT_TRUE(m);
    std::string error;
    m->apply_variables({{"answer", "42", true}});
    e2e::TempDir dir;
    std::string path = dir / "admin.sock";
    std::ofstream(path).close(); // not a socket: refused
    asio::io_context io;
    AdminCommands c({m.get(), "", nullptr, nullptr, {}});
    {
        gw::AdminServer bad(io, c, 2);
        EXPECT_FALSE(bad.open(path, error));
        std::remove(path.c_str());
    }
    gw::AdminServer server(io, c, 2);
    ASSERT_TRUE(server.open(path, error)) << error;
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    gw::AdminServer second(io, c, 2);
    EXPECT_FALSE(second.open(path, error)); // a live gateway answers there
    EXPECT_NE(error.find("another gateway"), std::string::npos);

    auto ask = [&](const std::string &request) {
        e2e::Fd fd(socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
        EXPECT_EQ(connect(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        e2e::send_all(fd.get(), request);
        shutdown(fd.get(), SHUT_WR);
        e2e::ReadResult r = e2e::recv_until_closed(fd.get());
        EXPECT_TRUE(r.closed);
        return r.bytes;
    };
    std::thread runner([&] {
        auto guard = asio::make_work_guard(io);
        io.run();
    });
    EXPECT_EQ(ask("get answer\n"), "D 42\nOK\n");
    EXPECT_EQ(ask("get answer"), "D 42\nOK\n"); // half-close ends the line too
    EXPECT_EQ(ask("\n"), "E 2 Empty request\nFAIL\n");
    EXPECT_EQ(ask(std::string(gw::kAdminMaxRequest + 10, 'x')),
              "E 2 Request longer than 65536 bytes\nFAIL\n");
    // The caller here is the gateway's own user: full level.
    EXPECT_EQ(ask("set answer 43\n"), "OK\n");
    EXPECT_EQ(ask("get answer\n"), "D 43\nOK\n");
    asio::post(io, [&] {
        server.close();
        io.stop();
    });
    runner.join();
    EXPECT_NE(access(path.c_str(), F_OK), 0); // the socket file is gone
}
