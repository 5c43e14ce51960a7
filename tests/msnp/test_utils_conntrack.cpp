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
    /* The connection keeps only the counters it counted, adding up. */
    t->stats.add(&msnp_statistics::stats_message_out_textplain_pass, 2);
    t->stats.add(&msnp_statistics::stats_datacast_in_nudge_block, 1);
    t->stats.add(&msnp_statistics::stats_message_out_textplain_pass, 3);
    t->stats.add(&msnp_statistics::chat_time, 7);
    msnp_statistics counted{};
    counted.stats_message_out_textplain_pass = 5;
    counted.stats_datacast_in_nudge_block = 1;
    counted.chat_time = 7;
    form = xml_text(serialize_conntrack(t));
    EXPECT_NE(form.find(xml_text(msnp_statistics_serialize(&counted, nullptr, 0))), std::string::npos) << form;
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

} // namespace
