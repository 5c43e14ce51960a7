/* Contact lists through the tasklet: what is put to the policy and what
 * passes without a question, the identifiers and contacts learnt from the
 * lists, ADL's first and later forms. */
#include <algorithm>

#include "msnp/session_fixture.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_objects.h"

namespace {

const char kContactsPolicy[] =
    "<person type=\"2\" name=\"bob\"><handle>bob@example\\.org</handle></person>"
    "<person type=\"2\" name=\"carol\"><handle>carol@example\\.org</handle></person>"
    "<person type=\"3\" name=\"alice\"><handle>alice@example.com</handle></person>"
    "<person type=\"3\" name=\"dave\"><handle>dave@example.com</handle><friendly>Dave%20(IT)</friendly></person>"
    "<person type=\"2\" name=\"locals\"><handle>.*@example\\.com</handle></person>";
const char kContactsTree[] = "<user>alice</user><user>dave</user>"
                     "<relation object=\"bob\" action=\"block\" direction=\"both\"/>"
                     "<relation object=\"carol\" action=\"pass\" direction=\"both\"/>"
                     "<relation object=\"locals\" action=\"pass\" direction=\"both\"/>";

std::string adl(const std::string &xml, const char *head = "ADL 7")
{
    return std::string(head) + " " + std::to_string(xml.size()) + "\r\n" + xml;
}

class Contacts : public SessionTest {
public:
    void SetUp() override
    {
        SessionTest::SetUp();
        ASSERT_TRUE(load(kContactsPolicy, kContactsTree)) << ::testing::PrintToString(errors());
        server("USR 4 OK alice@example.com 1 0\r\n");
        ASSERT_NE(tracker(), nullptr);
        server(msg("MSG Hotmail Hotmail", "Content-Type: text/x-msmsgsprofile\r\n\r\n"));
        ASSERT_EQ(tracker()->master, 1);
    }
    msnp_user *alice() { return tracker()->person->user; }
    std::vector<std::string> contacts()
    {
        std::vector<std::string> out;
        for (const char *contact : alice()->contacts)
            out.emplace_back(contact);
        std::sort(out.begin(), out.end());
        return out;
    }
    bool passes_out(const std::string &c) { return client(c).forwarded == c; }
    bool passes_in(const std::string &c) { return server(c).forwarded == c; }
};

/* One line each way, with what the policy answers for the contact. */
TEST_F(Contacts, CommandsAboutAContactAreDecidedOrPassAsTheirFormSays)
{
    struct Row {
        bool from_client;
        std::string line;
        bool passes;
    };
    const Row rows[] = {
        {true, "ADD 5 FL bob@example.org bob@example.org\r\n", false},
        {true, "ADD 5 AL carol@example.org carol@example.org\r\n", true},
        {false, "ADD 0 RL 12 bob@example.org Bob\r\n", false},
        {true, "ADC 6 BL N=carol@example.org\r\n", true},
        {true, "ADC 6 AL N=bob@example.org\r\n", false},
        {true, "ADC 6 FL N=bob@example.org F=Bob\r\n", true},
        {false, "ADC 0 FL N=bob@example.org F=Bob C=0b1a2c3d-aaaa\r\n", true},
        {false, "ADC 0 RL N=bob@example.org F=Bob\r\n", false},
        {true, "ADC 6\r\n", true},
        {true, "REM 8 AL bob@example.org\r\n", false},
        {true, "REM 8 FL 0b1a2c3d-aaaa\r\n", false},
        {true, "REM 8 FL 99999999-unknown\r\n", true},
        {true, "REM 8 FL\r\n", true},
        {false, "REM 0 RL bob@example.org\r\n", false},
        {false, "REM 0 FL 0b1a2c3d-aaaa\r\n", true},
        {false, "ILN 9 NLN bob@example.org Bob 0\r\n", false},
        {false, "NLN NLN carol@example.org Carol 0\r\n", true},
        {false, "NLN NLN zed@example.org Zed 0\r\n", false},
        {false, "FLN bob@example.org\r\n", false},
        {false, msg("UBX bob@example.org", "<Data><PSM>hi</PSM></Data>"), false},
        {false, msg("UBX carol@example.org", "<Data><PSM>hi</PSM></Data>"), true},
        {false, "LST N=bob@example.org F=Bob C=0b1a2c3d-bbbb 11 1\r\n", true},
        /* The older layouts: MSNP8-9, and MSNP2-7 with and without a contact. */
        {false, "LST carol@example.org Carol 11 0\r\n", true},
        {false, "LST 14 FL 27 1 2 zed@example.org Zed\r\n", true},
        {false, "LST 14 RL 27 0 0\r\n", true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(r.from_client ? passes_out(r.line) : passes_in(r.line), r.passes);
    }
    EXPECT_EQ(alice()->user_codes.find("0b1a2c3d-bbbb"), "bob@example.org");
    EXPECT_EQ(contacts(), (std::vector<std::string>{"bob@example.org", "carol@example.org", "zed@example.org"}));
    const std::pair<const char *, long> counts[] = {
        {"stats-contact-add", 8},         {"stats-contact-add-block", 3},  {"stats-contact-add-pass", 2},
        {"stats-contact-added-block", 1}, {"stats-contact-rem", 4},        {"stats-contact-rem-block", 2},
        {"stats-contact-rem-pass", 2},    {"stats-contact-removed", 2},    {"stats-contact-list-initial-block", 1},
        {"stats-contact-list-online-none", 1}, {"stats-contact-list-offline-block", 1},
        {"stats-contact-list-pass", 4},
    };
    for (const auto &[name, value] : counts)
        EXPECT_EQ(counter(name), value) << name;
}

/* A colleague who is a local user with a configured friendly name is
 * shown under it in presence lines, wherever the name stands in each
 * form; other contacts keep theirs. */
TEST_F(Contacts, LocalUsersAppearUnderTheirConfiguredNames)
{
    var("i/fixed-friendly-for-contacts", "1");
    const std::pair<const char *, const char *> rows[] = {
        {"NLN NLN dave@example.com Whatever 0\r\n", "NLN NLN dave@example.com Dave%20(IT) 0\r\n"},
        {"ILN 9 NLN dave@example.com Whatever 0\r\n", "ILN 9 NLN dave@example.com Dave%20(IT) 0\r\n"},
        {"NLN NLN carol@example.org Carol 0\r\n", "NLN NLN carol@example.org Carol 0\r\n"},
    };
    for (const auto &[in, want] : rows)
        EXPECT_EQ(server(in).forwarded, want) << in;
    var("i/fixed-friendly-for-contacts", "0");
    EXPECT_EQ(server(rows[0].first).forwarded, rows[0].first);
}

/* The first ADL of a sign-in teaches the contacts whatever the policy says
 * and expects the client's secure connections; later ones are decided by
 * their first decided contact. */
TEST_F(Contacts, FirstAdlTeachesLaterAdlIsDecided)
{
    const std::string both = "<ml l=\"1\"><d n=\"example.org\"><c n=\"bob\" l=\"3\" t=\"1\"/>"
                             "<c n=\"carol\" l=\"3\" t=\"1\"/></d></ml>";
    EXPECT_TRUE(passes_out(adl(both)));
    EXPECT_EQ(tqlist_length(conn->explist), 2u);
    auto *e = static_cast<tq3_expectation *>(conn->explist->data);
    EXPECT_TRUE(e->flags & EXPECTATION_FLAG_INVALIDATE);
    EXPECT_EQ(contacts(), (std::vector<std::string>{"bob@example.org", "carol@example.org"}));
    EXPECT_EQ(counter("stats-contact-adl"), 1);
    EXPECT_EQ(counter("stats-contact-adl-pass"), 0) << "an initial ADL counts no result";

    const std::string carol_first = "<ml><d n=\"example.org\"><c n=\"carol\" l=\"1\" t=\"1\"/>"
                                    "<c n=\"bob\" l=\"1\" t=\"1\"/></d></ml>";
    const std::string bob_only = "<ml><d n=\"example.org\"><c n=\"bob\" l=\"1\" t=\"1\"/></d></ml>";
    const std::string nobody = "<ml><d n=\"example.net\"><c n=\"zed\" l=\"1\" t=\"1\"/></d></ml>";
    EXPECT_TRUE(passes_out(adl(carol_first))) << "the walk stops at the first decided contact";
    EXPECT_FALSE(passes_out(adl(bob_only)));
    EXPECT_FALSE(passes_out(adl(nobody))) << "all undecided: none";
    EXPECT_TRUE(passes_out(adl("<ml l=\"1\">" + bob_only.substr(4)))) << "l=1 marks an initial list";
    EXPECT_TRUE(passes_out(adl("<ml><d n=")));
    EXPECT_FALSE(passes_out(adl(std::string("<ml><d n=\"example.org\"><c n=\"") + std::string(600, 'b') +
                                "\"/></d></ml>")))
        << "a handle cut to 511 bytes loses its domain: undecided";
    EXPECT_EQ(tqlist_length(conn->explist), 2u) << "only the first ADL expects connections";
    EXPECT_EQ(counter("stats-contact-adl-block"), 1);
    EXPECT_EQ(counter("stats-contact-adl-none"), 2);

    EXPECT_FALSE(passes_out(adl(bob_only, "RML 8")));
    EXPECT_TRUE(passes_out(adl(carol_first, "RML 8")));
    EXPECT_FALSE(passes_out(adl(nobody, "RML 8")));
    EXPECT_TRUE(passes_out(adl("<ml></ml>", "RML 8")));
    EXPECT_TRUE(passes_out(adl("not xml", "RML 8")));
}

} // namespace
