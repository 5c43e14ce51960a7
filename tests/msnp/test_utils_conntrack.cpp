/* Connection trackers: participants, chat time, the XML form, and what the
 * end of a connection does with its tracker. */
#include <filesystem>
#include <fstream>

#include "msnp/decision_fixture.h"
#include "msnp/traffic_helpers.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_kinds.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"

namespace {

TEST_F(DecisionTest, TrackerParticipantsFormAndChatTime)
{
    msnp_conntrack *t = msnp_conntrack_new("me@x", &conn, nullptr);
    EXPECT_EQ(t->time, g_test_now);
    EXPECT_TRUE(msnp_participants_insert_unique(t, "a@x"));
    EXPECT_TRUE(msnp_participants_insert_unique(t, "b@x"));
    EXPECT_FALSE(msnp_participants_insert_unique(t, "a@x"));
    EXPECT_FALSE(msnp_participants_insert_unique(t, "me@x"));
    EXPECT_NE(ss_user_search(t->ss_users, "a@x"), nullptr);
    EXPECT_EQ(ss_user_search(t->ss_users, "A@x"), nullptr);

    std::string form = xml_text(serialize_conntrack(t));
    EXPECT_NE(form.find("<handle>me@x</handle>\n<handle>b@x</handle>\n<handle>a@x</handle>"), std::string::npos)
        << form;
    EXPECT_EQ(form.find("session="), std::string::npos);
    EXPECT_EQ(form.find("master="), std::string::npos);
    t->session = strdup("S1");
    t->cont_handle = strdup("b@x");
    t->master = 1;
    t->stats.stats_message_out_textplain_pass = 2;
    form = xml_text(serialize_conntrack(t));
    EXPECT_NE(form.find(" session='S1/b@x'"), std::string::npos) << form;
    EXPECT_NE(form.find(" master='1'"), std::string::npos) << form;
    EXPECT_NE(form.find("<statistics"), std::string::npos) << form;

    /* Chat time: 5 s for a first message or one after a pause of a minute
     * or more, else the gap since the last one in the same direction. */
    const struct {
        conn_direction dir;
        time_t after;
        int seconds;
    } steps[] = {{DIR_CLIENT_TO_SERVER, 0, 5},  {DIR_CLIENT_TO_SERVER, 20, 20}, {DIR_SERVER_TO_CLIENT, 1, 5},
                 {DIR_CLIENT_TO_SERVER, 59, 60}, {DIR_CLIENT_TO_SERVER, 61, 5},  {DIR_UNKNOWN, 1, 0}};
    for (const auto &s : steps) {
        g_test_now += s.after;
        conn.direction = s.dir;
        EXPECT_EQ(msnp_estimate_chat_time(t), s.seconds) << s.after;
        (s.dir == DIR_CLIENT_TO_SERVER ? t->time_last_message_send : t->time_last_message_rcvd) = g_test_now;
    }
    t->clean_to_warn = 42;
    msnp_mark_idle_conntrack(t);
    EXPECT_EQ(t->last_mark, 42);
    msnp_conntrack_destroy(t);

    msnp_session s{strdup("u"), strdup("s"), strdup("a")};
    msnp_exp_data_destructor(&s);
    EXPECT_TRUE(!s.user && !s.sess && !s.auth);
}

/* The end of the user's notification-server connection: chat time goes to
 * the person, the user is no longer signed in, the logout is reported,
 * the tracker leaves the module and is freed (the sanitizer build checks). */
TEST_F(DecisionTest, FiniFoldsTheTrackerIntoThePerson)
{
    ASSERT_TRUE(load("<person type='1' name='alice'><handle>alice@corp</handle></person>",
                     "<node identifier='office'><user>alice</user></node>"));
    char logs[] = "/tmp/tq-fini-XXXXXX";
    ASSERT_NE(mkdtemp(logs), nullptr);
    variable_set(self->ns, "s/log-dir", logs);
    sign_in("alice@corp");
    msnp_person *alice = ct->person;
    ct->master = 1;
    ct->stats.chat_time = 30;
    alice->stats.chat_time = 12;
    alice->user->welcomed = alice->user->master = 1;
    ct->chat_log = tmpfile();
    msnp_participants_insert_unique(ct, "b@x");
    msnp_conntrack *other = msnp_conntrack_new("bob@corp", nullptr, nullptr);
    tqlist_insert_begin(&self->data, other);
    tqlist_insert_begin(&self->data, ct);

    EXPECT_EQ(msnp_tasklet_fini(self, &conn), 0);
    ct = nullptr; /* freed */
    EXPECT_EQ(conn.plugin, nullptr);
    EXPECT_EQ(alice->stats.chat_time, 42u);
    EXPECT_EQ(alice->user->welcomed + alice->user->master, 0);
    EXPECT_EQ(tqlist_length(self->data), 1u);
    ASSERT_EQ(tqlist_length(conn.eventsq), 1u);
    EXPECT_NE(std::string(static_cast<event_t *>(conn.eventsq->data)->text).find("alice@corp"), std::string::npos);
    EXPECT_EQ(msnp_tasklet_fini(self, &conn), 0) << "a second end finds nothing";
    tqlist_unlink_remove_ref(&self->data, other);
    msnp_conntrack_destroy(other);
    std::ifstream activity(std::string(logs) + "/alice@corp/alice@corp.log");
    std::string line;
    EXPECT_TRUE(std::getline(activity, line) && line.find("code='logout'") != std::string::npos) << line;
    std::filesystem::remove_all(logs);
}

} // namespace
