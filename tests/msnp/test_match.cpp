/* The policy decision: the search order, what each relation's words do,
 * the rules that decide before any relation, time windows, the command
 * bits of IM type sets, content expressions, and deciding while the
 * policy changes. */
#include <atomic>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "msnp/decision_fixture.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_relation.h"
#include "tq3_msnp_rtree.h"
#include "tq3_msnp_task.h"

namespace {

/* Everyone has alice (placed in /staff/office), bob (placed in /staff),
 * and the contact patterns Partners (x@partner.com) and Outside
 * (anything not @corp). */
const std::string kPeople =
    "<person type='2' name='Partners'><handle>.*@partner\\.com</handle></person>"
    "<person type='2' name='Outside'><handle>!.*@corp</handle></person>"
    "<person type='1' name='bob'><handle>bob@corp</handle></person>";

struct Case {
    const char *name;
    std::string alice;   /* inside alice's person element */
    std::string objects; /* further objects */
    std::string staff;   /* inside node /staff */
    std::string office;  /* inside node /staff/office */
    std::vector<std::pair<const char *, const char *>> vars;
    const char *contact;
    match_t expected;
    std::function<void(msnp_person *alice)> prepare = nullptr;
    conn_direction dir = DIR_CLIENT_TO_SERVER;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::string rel(const char *object, const char *words = "")
{
    return std::string("<relation object='") + object + "' " + words + "/>";
}

std::string own(const std::string &relations) { return "<relation-list>" + relations + "</relation-list>"; }

const match_t PASS = TQ_MATCH_PASS, BLOCK = TQ_MATCH_BLOCK, ALERT = TQ_MATCH_ALERT, NONE = TQ_MATCH_NONE;

class Decision : public DecisionTest, public ::testing::WithParamInterface<Case> {};

TEST_P(Decision, FollowsThePolicy)
{
    const Case &c = GetParam();
    for (const auto &[spec, value] : c.vars)
        var(spec, value);
    ASSERT_TRUE(load(kPeople + c.objects + "<person type='1' name='alice'><handle>alice@corp</handle>" + c.alice +
                         "</person>",
                     "<node identifier='staff'><user>bob</user>" + c.staff +
                         "<node identifier='office'><user>alice</user>" + c.office + "</node></node>"));
    EXPECT_EQ(errors(), std::vector<std::string>{});
    sign_in("alice@corp");
    ASSERT_NE(ct->person, nullptr);
    if (c.prepare)
        c.prepare(ct->person);
    EXPECT_EQ(decide(c.contact, MSN_OPCODE_MSG, c.dir), c.expected);
}

const char *kBlock = "action='block'";
const char *kPass = "action='pass'";
const char *kAlert = "action='alert'";

INSTANTIATE_TEST_SUITE_P(
    Match, Decision,
    ::testing::Values(
        /* The search order: own relations, implicit super, supers, nearest node, parents. */
        Case{"own_before_supers", own(rel("Partners", kPass)) + "<super>Std</super>",
             "<person name='Std'>" + own(rel("Partners", kBlock)) + "</person>", "", "", {}, "x@partner.com", PASS},
        Case{"supers_before_tree", "<super>Std</super>", "<person name='Std'>" + own(rel("Partners", kBlock)) + "</person>",
             "", rel("Partners", kAlert), {}, "x@partner.com", BLOCK},
        Case{"implicit_super_first", "<super>Std</super>",
             "<person name='Std'>" + own(rel("Partners", kBlock)) + "</person><person name='Imp'>" +
                 own(rel("Partners", kAlert)) + "</person>",
             "", "", {{"s/implicit-super", "Imp"}}, "x@partner.com", ALERT},
        Case{"super_of_super", "<super>Std</super>",
             "<person name='Std'><super>Base</super></person><person name='Base'>" + own(rel("Partners", kAlert)) +
                 "</person>",
             "", rel("Partners", kBlock), {}, "x@partner.com", ALERT},
        Case{"nearest_node_first", "", "", rel("Partners", kBlock), rel("Partners", kAlert), {}, "x@partner.com", ALERT},
        Case{"parent_node_next", "", "", rel("Outside", kBlock), rel("Partners", kAlert), {}, "y@else.org", BLOCK},
        Case{"first_relation_of_a_list", own(rel("Outside", kAlert) + rel("Partners", kBlock)), "", "", "", {},
             "x@partner.com", ALERT},
        /* What relations' words do. */
        Case{"none_never_decides", own(rel("Partners", "action='none' risk='9'")), "", rel("Partners", kBlock), "", {},
             "x@partner.com", BLOCK, nullptr},
        Case{"continue_risk_meets_threshold",
             own(rel("Partners", "action='continue' risk='3'") + rel("Partners", "action='block' threshold='3'")), "", "",
             "", {}, "x@partner.com", BLOCK},
        Case{"continue_risk_below_threshold",
             own(rel("Partners", "action='continue' risk='2'") + rel("Partners", "action='block' threshold='3'")), "", "",
             "", {}, "x@partner.com", NONE},
        Case{"disabled_relation_skipped", own(rel("Partners", "action='block' disable='1'")), "", "", "",
             {{"s/default-action", "alert"}}, "x@partner.com", ALERT},
        Case{"direction_out_only_applies_out", own(rel("Partners", "action='block' direction='out'")), "", "", "", {},
             "x@partner.com", BLOCK},
        Case{"direction_out_only_not_in", own(rel("Partners", "action='block' direction='out'")), "", "", "", {},
             "x@partner.com", NONE, nullptr, DIR_SERVER_TO_CLIENT},
        Case{"inverted_pattern", own(rel("Outside", kBlock)), "", "", "", {}, "bob@corp", NONE},
        Case{"user_target_exact", own(rel("bob", kBlock)), "", "", "", {}, "bob@corp", BLOCK},
        /* a handle as servers compare it: any case, escapes, network prefix, endpoint */
        Case{"user_target_any_case", own(rel("bob", kBlock)), "", "", "", {}, "Bob@CORP", BLOCK},
        Case{"user_target_escaped", own(rel("bob", kBlock)), "", "", "", {}, "%62ob%40corp", BLOCK},
        Case{"user_target_endpoint", own(rel("bob", kBlock)), "", "", "", {}, "1:BOB@corp;{0f1e}", BLOCK},
        Case{"user_target_longer", own(rel("bob", kBlock)), "", "", "", {}, "bob@corpx", NONE},
        Case{"pattern_any_case", own(rel("Partners", kBlock)), "", "", "", {}, "X%40Partner.COM", BLOCK},
        Case{"group_cycle_member", own(rel("GA", kBlock)),
             "<group name='GA'><member type='group'>GB</member></group>"
             "<group name='GB'><member type='group'>GA</member><member type='single'>Partners</member></group>",
             "", "", {}, "x@partner.com", BLOCK},
        Case{"group_cycle_no_member", own(rel("GA", kBlock)),
             "<group name='GA'><member type='group'>GB</member></group>"
             "<group name='GB'><member type='group'>GA</member><member type='single'>Partners</member></group>",
             "", "", {}, "z@nowhere.org", NONE},
        Case{"group_of_users_member", own(rel("Team", kBlock)),
             "<group name='Team'><member type='single'>bob</member><member type='single'>alice</member></group>", "",
             "", {}, "bob@corp", BLOCK},
        Case{"group_of_users_stranger", own(rel("Team", kBlock)),
             "<group name='Team'><member type='single'>bob</member></group>", "", "", {}, "carl@corp", NONE},
        Case{"group_of_users_in_a_group", own(rel("Outer", kBlock)),
             "<group name='Team'><member type='single'>bob</member></group>"
             "<group name='Outer'><member type='group'>Team</member></group>",
             "", "", {}, "bob@corp", BLOCK},
        /* Groups of groups: the contact's user is found below, a contact
         * pattern below is tried, a stranger is in none. */
        Case{"group_of_groups_user_two_down", own(rel("Outer", kBlock)),
             "<group name='Team'><member type='single'>bob</member></group>"
             "<group name='Mid'><member type='group'>Team</member></group>"
             "<group name='Outer'><member type='group'>Mid</member><member type='group'>Other</member></group>"
             "<group name='Other'><member type='single'>alice</member></group>",
             "", "", {}, "bob@corp", BLOCK},
        Case{"group_of_groups_stranger", own(rel("Outer", kBlock)),
             "<group name='Team'><member type='single'>bob</member></group>"
             "<group name='Outer'><member type='group'>Team</member></group>",
             "", "", {}, "carl@corp", NONE},
        Case{"group_of_groups_pattern_two_down", own(rel("Outer", kBlock)),
             "<group name='Inner'><member type='single'>Partners</member></group>"
             "<group name='Team'><member type='single'>bob</member><member type='group'>Inner</member></group>"
             "<group name='Outer'><member type='group'>Team</member></group>",
             "", "", {}, "x@partner.com", BLOCK},
        /* Default action, own handle, disabled users. */
        Case{"default_action", "", "", "", "", {{"s/default-action", "block"}}, "z@nowhere.org", BLOCK},
        Case{"default_action_unknown_word", "", "", "", "", {{"s/default-action", "deny"}}, "z@nowhere.org", NONE},
        Case{"own_handle_passes", own(rel("Outside", kBlock) + rel("Partners", kBlock)), "", rel("Outside", kBlock), "",
             {{"s/default-action", "block"}}, "alice@corp", PASS},
        Case{"network_prefix_dropped", own(rel("Partners", kBlock)), "", "", "", {}, "1:x@partner.com", BLOCK},
        Case{"disabled_user_no_default", "<attribute type='disabled'>1</attribute>" + own(rel("Partners", kPass)), "",
             "", "", {{"s/default-action", "block"}}, "x@partner.com", NONE},
        /* The source-address rule: alice connects from 10.1.2.3. */
        Case{"source_outside_network_blocks",
             "<attribute type='network_source'>192.168.0.0/255.255.0.0</attribute>" + own(rel("Partners", kPass)), "",
             "", "", {}, "x@partner.com", BLOCK},
        Case{"source_inside_network_decides",
             "<attribute type='network_source'>10.0.0.0/255.0.0.0</attribute>" + own(rel("Partners", kPass)), "", "", "",
             {}, "x@partner.com", PASS},
        Case{"source_of_a_super", "<super>Std</super>" + own(rel("Partners", kPass)),
             "<person name='Std'><attribute type='network_source'>192.168.0.0/255.255.0.0</attribute></person>", "", "",
             {}, "x@partner.com", BLOCK},
        Case{"source_soft_block_stands_without_own", "<attribute type='network_source'>192.168.0.0/255.255.0.0</attribute>",
             "", rel("Partners", kPass), "", {{"i/source-address-block", "0"}}, "x@partner.com", BLOCK},
        Case{"source_soft_block_replaced_by_own",
             "<attribute type='network_source'>192.168.0.0/255.255.0.0</attribute>" + own(rel("bob", kBlock)), "",
             rel("Partners", kAlert), "", {{"i/source-address-block", "0"}}, "x@partner.com", ALERT},
        /* Quotas. */
        Case{"quota_exhausted_blocks", own(rel("Partners", kPass)), "", "", "", {}, "x@partner.com", BLOCK,
             [](msnp_person *p) {
                 p->user->bounty_life = 60;
                 p->user->bounty_current = 0;
             }},
        Case{"quota_left_decides", own(rel("Partners", kPass)), "", "", "", {}, "x@partner.com", PASS,
             [](msnp_person *p) {
                 p->user->bounty_life = 60;
                 p->user->bounty_current = 1;
             }}),
    [](const auto &info) { return std::string(info.param.name); });

/* What a group holds below it is remembered between decisions: a pattern
 * joining a team of the group is heard at the next decision. */
TEST_F(DecisionTest, AGroupOfGroupsSeesAPatternThatJoinsBelow)
{
    ASSERT_TRUE(load(kPeople + "<group name='Team'><member type='single'>bob</member></group>"
                               "<group name='Outer'><member type='group'>Team</member></group>"
                               "<person type='1' name='alice'><handle>alice@corp</handle>" +
                         own(rel("Outer", kBlock)) + "</person>",
                     "<node identifier='staff'><user>bob</user><node identifier='office'><user>alice</user></node></node>"));
    sign_in("alice@corp");
    EXPECT_EQ(decide("bob@corp"), BLOCK);
    EXPECT_EQ(decide("x@partner.com"), NONE);
    msnp_group *team = msnp_search_group("Team", 0);
    ASSERT_NE(team, nullptr);
    ASSERT_EQ(msnp_add_group_member(idl, team, msnp_search_person("Partners", 0), MSNP_OBJECT_PERSON), 1);
    EXPECT_EQ(decide("x@partner.com"), BLOCK);
    EXPECT_EQ(decide("bob@corp"), BLOCK);
    tqlist *last = team->glist;
    while (last->next)
        last = last->next;
    auto *record = static_cast<msnp_group_member *>(last->data);
    ASSERT_EQ(msnp_group_unlink_member_back(idl, record), 1);
    msnp_group_unlink_member(record);
    free(record);
    EXPECT_EQ(decide("x@partner.com"), NONE);
}

/* A rule limited to 09:30-17:15 on weekdays of March. */
TEST_F(DecisionTest, TimeWindowsIncludeBothEndMinutes)
{
    ASSERT_TRUE(load(kPeople +
                         "<time identifier='Work'><entry type='data'><time type='relative'>mar,mo,tu,we,th,fr@09:30-17:15"
                         "</time></entry></time>"
                         "<person type='1' name='alice'><handle>alice@corp</handle>" +
                         own("<relation object='Partners' action='block'><access-list><object type='time'>Work</object>"
                             "</access-list></relation>") +
                         "</person>",
                     "<node identifier='office'><user>alice</user></node>"));
    sign_in("alice@corp");
    const struct {
        int day, hour, minute;
        match_t expected;
    } at[] = {{11, 9, 29, NONE},  {11, 9, 30, BLOCK}, {11, 17, 15, BLOCK}, {11, 17, 16, NONE},
              {11, 12, 0, BLOCK}, {14, 12, 0, NONE} /* Saturday */};
    for (const auto &t : at) {
        g_test_now = local_time(2026, 3, t.day, t.hour, t.minute);
        EXPECT_EQ(decide("x@partner.com"), t.expected) << t.day << " " << t.hour << ":" << t.minute;
    }
    g_test_now = local_time(2026, 4, 8, 12, 0); /* a Wednesday in April */
    EXPECT_EQ(decide("x@partner.com"), NONE);
}

/* Each command bit covers its own commands; commands no bit names are
 * always covered. */
TEST_F(DecisionTest, CommandBitsOfImTypeSetsFollowTheOpcodes)
{
    const struct {
        const char *bit;
        std::vector<msnp_opcode> ops;
    } rows[] = {
        {"command_add_contact", {MSN_OPCODE_ADC, MSN_OPCODE_ADD, MSN_OPCODE_ADL}},
        {"command_list_user", {MSN_OPCODE_BYE, MSN_OPCODE_FLN, MSN_OPCODE_ILN, MSN_OPCODE_JOI, MSN_OPCODE_NLN}},
        {"command_make_call", {MSN_OPCODE_CAL}},
        {"command_receive_message", {MSN_OPCODE_MSG}},
        {"command_remove_contact", {MSN_OPCODE_REM, MSN_OPCODE_RML}},
        {"command_receive_call", {MSN_OPCODE_RNG}},
        {"command_receive_federation", {MSN_OPCODE_UBM}},
        {"command_receive_notification", {MSN_OPCODE_UBN, MSN_OPCODE_UBX}},
        {"command_send_federation", {MSN_OPCODE_UUM}},
        {"command_send_notification", {MSN_OPCODE_UUN, MSN_OPCODE_UUX}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.bit);
        msnp_reset(self, nullptr);
        ASSERT_TRUE(load(kPeople + "<imbitmap identifier='Bits'><entry type='data'><acl>" + row.bit +
                             "</acl></entry></imbitmap><person type='1' name='alice'><handle>alice@corp</handle>" +
                             own("<relation object='Partners' action='block'><access-list><object type='imbitmap'>Bits"
                                 "</object></access-list></relation>") +
                             "</person>",
                         "<node identifier='office'><user>alice</user></node>"));
        sign_in("alice@corp");
        for (const auto &other : rows)
            for (msnp_opcode op : other.ops)
                EXPECT_EQ(decide("x@partner.com", op), &other == &row ? BLOCK : NONE) << ltable[op].strcmd;
        for (msnp_opcode op : {MSN_OPCODE_CHG, MSN_OPCODE_PNG, MSN_OPCODE_XFR})
            EXPECT_EQ(decide("x@partner.com", op), BLOCK) << ltable[op].strcmd;
    }
}

/* Risk adds up on the task, the connection, the contact and the user;
 * counters follow the verdicts; quotas warn when asked to. */
TEST_F(DecisionTest, RiskCountersAndQuotaWarning)
{
    ASSERT_TRUE(load(kPeople + "<person type='1' name='alice'><handle>alice@corp</handle>" +
                         own(rel("Partners", "action='continue' risk='3'") + rel("Partners", "action='alert' risk='4'")) +
                         "</person>",
                     "<node identifier='office'><user>alice</user></node>"));
    sign_in("alice@corp");
    msnp_person *partners = msnp_search_person("Partners", 0);
    EXPECT_EQ(decide("x@partner.com"), ALERT);
    EXPECT_EQ(task.risk_level, 7u);
    EXPECT_EQ(conn.risk_level, 7u);
    EXPECT_EQ(partners->risk_level, 7u);
    EXPECT_EQ(ct->person->risk_level, 7u);

    auto counter = [&](const char *name) {
        auto *v = static_cast<tq_variable *>(self->ns->get_safe(self->ns, name));
        return v ? v->data.integer : 0;
    };
    long alerts = counter("stats-match-alert"), nones = counter("stats-match-none");
    decide("z@nowhere.org");
    EXPECT_EQ(counter("stats-match-none"), nones + 1);
    EXPECT_EQ(counter("stats-match-alert"), alerts);
    decide("alice@corp"); /* the user's own handle counts nothing */
    EXPECT_EQ(counter("stats-match-none"), nones + 1);

    /* An exhausted quota on a message: the warning goes to the client from
     * the contact, and the verdict says the user was told. */
    ct->person->user->bounty_life = 60;
    ct->person->user->bounty_current = 0;
    var("i/bounties-warning", "1");
    var("s/bounties-text", "\"No time left\"");
    conn.clid_buf = 1;
    long blocks = counter("stats-match-block");
    EXPECT_EQ(decide("x@partner.com"), static_cast<match_t>(TQ_MATCH_BLOCK | TQ_MATCH_ADVISED));
    EXPECT_EQ(counter("stats-match-block"), blocks);
    ASSERT_NE(conn.clid_b, nullptr);
    std::string held(reinterpret_cast<char *>(conn.clid_b), conn.clid_bsiz);
    EXPECT_EQ(held.rfind("MSG x@partner.com x@partner.com ", 0), 0u) << held;
    EXPECT_NE(held.find("\r\n\r\nNo time left"), std::string::npos) << held;
    EXPECT_EQ(decide("x@partner.com", MSN_OPCODE_CAL), BLOCK) << "only messages carry the warning";
}

/* Expressions decide for text they look at; what they do not look at
 * leaves the IM type result standing. */
TEST_F(DecisionTest, ContentExpressionsAndMessageKinds)
{
    ASSERT_TRUE(load(kPeople +
                         "<expr identifier='Swear'><entry type='data'><expr type='ere'>damn<ignorecase/><body/></expr>"
                         "</entry></expr>"
                         "<expr identifier='Exe'><entry type='data'><expr type='glob'>*.exe<filename/></expr></entry></expr>"
                         "<imbitmap identifier='Talk'><entry type='data'><acl>command_receive_message</acl></entry>"
                         "<entry type='data'><acl>message_plaintext</acl></entry></imbitmap>"
                         "<person type='1' name='alice'><handle>alice@corp</handle>" +
                         own("<relation object='Partners' action='block'><access-list><object type='expr'>Swear</object>"
                             "</access-list></relation>"
                             "<relation object='Outside' action='alert'><access-list><object type='imbitmap'>Talk</object>"
                             "<object type='expr'>Swear</object></access-list></relation>") +
                         "</person>",
                     "<node identifier='office'><user>alice</user></node>"));
    sign_in("alice@corp");
    const struct {
        std::string payload;
        const char *contact;
        match_t expected;
    } cases[] = {
        {text_message("Damn it"), "x@partner.com", BLOCK},
        {text_message("hello"), "x@partner.com", NONE},
        {"MIME-Version: 1.0\r\nContent-Type: text/x-mms-emoticon\r\n\r\n:) damn", "x@partner.com", NONE},
        {text_message("damn"), "y@else.org", ALERT},
        {text_message("fine"), "y@else.org", NONE},
        {"MIME-Version: 1.0\r\nContent-Type: text/x-msnmsgr-datacast\r\n\r\nID: 1\r\n\r\n", "y@else.org", NONE},
    };
    for (const auto &c : cases) {
        message(c.payload);
        EXPECT_EQ(decide(c.contact), c.expected) << c.payload;
    }
    forget_task();
    EXPECT_EQ(decide("x@partner.com", MSN_OPCODE_CAL), NONE) << "expressions apply to messages only";
}

/* Deciding threads never meet a policy change half way: the management
 * commands make their changes under the write side of the policy lock. */
TEST_F(DecisionTest, ConcurrentDecisionsWhileThePolicyChanges)
{
    ASSERT_TRUE(load(kPeople + "<group name='G'><member type='single'>Partners</member></group>"
                               "<person name='Std'>" +
                         own(rel("G", kAlert)) +
                         "</person><person type='1' name='alice'><handle>alice@corp</handle><super>Std</super></person>",
                     "<node identifier='a'><node identifier='b'><user>alice</user>" + rel("Outside", kBlock) +
                         "</node></node><node identifier='c'/>"));
    std::atomic<bool> stop{false};
    std::atomic<long> decisions{0};
    auto decider = [&] {
        tqconn c{};
        c.clid = c.srvd = -1;
        msnp_conntrack *mine = msnp_conntrack_new("alice@corp", &c, nullptr);
        c.plugin = mine;
        while (!stop) {
            task_struct t{};
            t.conn = &c;
            t.opcode = MSN_OPCODE_CAL;
            for (const char *who : {"x@partner.com", "y@else.org", "bob@corp"})
                rtree_backref_match(&t, who);
            tqlist_destroy_without_refs(&t.lda_groups);
            tqlist_destroy_without_refs(&t.lda_supers);
            tqlist_destroy_without_refs(&t.lda_objects);
            tqlist_destroy_without_refs(&t.lda_temp);
            ++decisions;
        }
        msnp_conntrack_destroy(mine);
    };
    std::thread d1(decider), d2(decider), d3(decider);
    /* The administrator's commands, through the module's entry point. */
    idl_parser *admin = idl_parser_new();
    auto command = [&](const char *verb, std::string rest) {
        char *args[] = {const_cast<char *>(verb), rest.data(), nullptr};
        admin->args = args;
        msnp_config(self, admin);
        admin->args = nullptr;
        EXPECT_EQ(admin->last_code, 0) << verb << " " << rest;
        idl_parser_clear(admin);
    };
    for (int i = 0; i < 200 || decisions < 100; ++i) {
        command("add", "Partners alice");
        command("add", i % 2 ? "c/b a" : "a/b c"); /* move the user's node */
        command("del", "alice Partners");
        command("new", "person Temp /.*@temp/");
        command("add", "Temp G");
        command("collect", "Temp");
    }
    idl_parser_destroy(admin);
    stop = true;
    d1.join();
    d2.join();
    d3.join();
    EXPECT_GT(decisions.load(), 0);
}

} // namespace
