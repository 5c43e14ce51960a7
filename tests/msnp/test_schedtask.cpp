/* The periodic work over time, with the module's clock in the test's hand:
 * quota periods and their use by live connections, guests past their
 * grace, and old logs removed every "log-flush-time" seconds. */
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <fstream>

#include "msnp/session_fixture.h"
#include "tq3_msnp_log.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"

namespace {

class Schedtask : public SessionTest {
public:
    void SetUp() override
    {
        SessionTest::SetUp();
        ASSERT_TRUE(load("<person type=\"2\" name=\"anyone\"><handle>.*</handle></person>"
                         "<person type=\"3\" name=\"erin\"><handle>erin@example.com</handle>"
                         "<attribute type=\"bounties_life\">3600</attribute>"
                         "<attribute type=\"bounties_initial\">120</attribute></person>",
                         "<user>erin</user><relation object=\"anyone\" action=\"pass\" direction=\"both\"/>"));
    }
    msnp_user *erin() { return msnp_search_user("erin@example.com")->user; }
    void tick(long seconds)
    {
        g_test_now += seconds;
        msnp_schedtask(self, seconds);
    }
};

/* Erin may be connected 120 s an hour: her allowance runs down while she
 * is connected, ends her connection when it is used up (with
 * "bounties-out"), refuses her next sign-in, and comes back with the next
 * period. */
TEST_F(Schedtask, QuotaRunsDownEndsTheConnectionAndComesBackNextPeriod)
{
    var("i/bounties-out", "1");
    /* A user placed by the policy starts with a whole period and its
     * whole allowance. */
    EXPECT_EQ(erin()->bounty_current, 120);
    EXPECT_EQ(erin()->bounty_lifecur, 3600);
    ASSERT_EQ(server("USR 4 OK erin@example.com 1 0\r\n").forwarded, "USR 4 OK erin@example.com 1 0\r\n");
    tick(60);
    EXPECT_EQ(erin()->bounty_current, 60);
    EXPECT_EQ(erin()->bounty_lifecur, 3540);
    EXPECT_NE(conn->poison_match, TQ_MATCH_BLOCK);
    tick(60);
    EXPECT_EQ(conn->poison_match, TQ_MATCH_BLOCK) << "allowance used up";

    connect();
    EXPECT_EQ(server("USR 4 OK erin@example.com 1 0\r\n").forwarded, "") << "refused until the period ends";
    for (int i = 0; i < 60; ++i)
        tick(60);
    EXPECT_EQ(erin()->bounty_current, 120) << "a new period";
    connect();
    EXPECT_EQ(server("USR 4 OK erin@example.com 1 0\r\n").forwarded, "USR 4 OK erin@example.com 1 0\r\n");
}

TEST_F(Schedtask, AGuestPastItsGraceLosesTheConnectionAndTheNextSignIn)
{
    var("i/guests-permit", "1");
    var("i/guests-grace", "300");
    const std::string ok = "USR 4 OK guest@example.net 1 0\r\n";
    ASSERT_EQ(server(ok).forwarded, ok);
    tick(240);
    EXPECT_NE(conn->poison_match, TQ_MATCH_BLOCK);
    tick(60);
    EXPECT_EQ(conn->poison_match, TQ_MATCH_BLOCK);
    connect();
    EXPECT_EQ(server(ok).forwarded, "");
}

TEST_F(Schedtask, OldLogsAreRemovedEveryFlushInterval)
{
    namespace fs = std::filesystem;
    const fs::path user = fs::path(log_dir) / "alice@example.com" / "bob@example.org";
    fs::create_directories(user);
    auto file = [&](const std::string &name, long age) {
        std::ofstream(user / name) << "<message/>\n";
        struct utimbuf t{g_test_now - age, g_test_now - age};
        utime((user / name).c_str(), &t);
        return user / name;
    };
    const long day = 86400;
    fs::path old_chat = file("chat-1.log", 200 * day), new_chat = file("chat-2.log", day);
    fs::path rotated = file("statistics.log.3", 200 * day), other = file("notes.txt", 200 * day);
    /* An old log reachable only through a link under the log directory
     * is not the gateway's to remove. */
    const fs::path outside = log_dir + ".outside";
    fs::create_directory(outside);
    std::ofstream(outside / "chat-9.log") << "<message/>\n";
    struct utimbuf old_time{g_test_now - 200 * day, g_test_now - 200 * day};
    utime((outside / "chat-9.log").c_str(), &old_time);
    fs::create_directory_symlink(outside, fs::path(log_dir) / "link");

    for (int i = 0; i < 239; ++i)
        msnp_schedtask(self, 60);
    EXPECT_TRUE(fs::exists(old_chat)) << "not before the 240th minute";
    msnp_schedtask(self, 60);
    EXPECT_FALSE(fs::exists(old_chat));
    for (const fs::path &kept : {new_chat, rotated, other, outside / "chat-9.log"})
        EXPECT_TRUE(fs::exists(kept)) << kept;
    fs::remove_all(outside);

    file("chat-1.log", 200 * day);
    var("i/log-flush-time", "0");
    for (int i = 0; i < 500; ++i)
        msnp_schedtask(self, 60);
    EXPECT_TRUE(fs::exists(old_chat)) << "flushing turned off";
    var("i/log-flush-time", "60");
    var("i/log-flush-mtime", "0");
    msnp_schedtask(self, 60);
    EXPECT_TRUE(fs::exists(old_chat)) << "ages turned off";
}

} // namespace
