/* The user's identity through the tasklet: fixed names, states, privacy,
 * personal message and media reach the server in place of the client's,
 * and the answer to the gateway's own rename never reaches the client. */
#include "msnp/session_fixture.h"
#include "tq3_msnp_handlers.h"

namespace {

class Presence : public SessionTest {
public:
    void SetUp() override
    {
        SessionTest::SetUp();
        ASSERT_TRUE(load("<person type=\"3\" name=\"alice\"><handle>alice@example.com</handle>"
                         "<friendly>Alice%20(Sales)</friendly><attribute type=\"fixed_friendly\">1</attribute>"
                         "<attribute type=\"fixed_state\">BSY</attribute></person>"
                         "<person type=\"3\" name=\"bob\"><handle>bob@example.com</handle></person>",
                         "<user>alice</user><user>bob</user>"));
    }
    void sign_in(const char *handle)
    {
        connect();
        server(std::string("USR 1 OK ") + handle + " Name 1 0\r\n");
        ASSERT_NE(tracker(), nullptr);
    }
    std::string out(const std::string &line) { return client(line).forwarded; }
};

TEST_F(Presence, FixedValuesReplaceTheClientsOwn)
{
    sign_in("alice@example.com");
    EXPECT_EQ(out("REA 5 alice@example.com Ally\r\n"), "REA 5 alice@example.com Alice%20(Sales)\r\n");
    EXPECT_EQ(out("REA 6 carol@example.org Ally\r\n"), "REA 6 carol@example.org Ally\r\n") << "another handle";
    EXPECT_EQ(out("REA 7 alice@example.com Alice%20(Sales)\r\n"), "REA 7 alice@example.com Alice%20(Sales)\r\n");
    EXPECT_EQ(out("PRP 8 MFN Ally\r\n"), "PRP 8 MFN Alice%20(Sales)\r\n");
    EXPECT_EQ(out("PRP 9 PHH 555\r\n"), "PRP 9 PHH 555\r\n");
    EXPECT_EQ(out("CHG 10 NLN 0\r\n"), "CHG 10 BSY 0\r\n");
    EXPECT_EQ(out("BLP 11 AL\r\n"), "BLP 11 AL\r\n");
    EXPECT_EQ(tqlist_length(conn->explist), 1u) << "BLP expects the client's secure connection";
    var("s/fixed-privacy", "BL");
    EXPECT_EQ(out("BLP 12 AL\r\n"), "BLP 12 BL\r\n");
    const std::pair<const char *, long> counts[] = {
        {"stats-user-rename", 4},        {"stats-user-rename-fixed", 2},        {"stats-user-state-change", 1},
        {"stats-user-state-change-fixed", 1}, {"stats-user-privacy-change", 2}, {"stats-user-privacy-change-fixed", 1},
    };
    for (const auto &[name, value] : counts)
        EXPECT_EQ(counter(name), value) << name;

    /* The server's answer to the rename sent at sign-in is swallowed. */
    EXPECT_EQ(server("REA 0 alice@example.com Alice%20(Sales)\r\n").client, "");
    EXPECT_EQ(server("REA 5 alice@example.com Alice%20(Sales)\r\n").client, "REA 5 alice@example.com Alice%20(Sales)\r\n");
    EXPECT_EQ(counter("stats-user-rename-reverse-hack"), 1);

    sign_in("bob@example.com");
    EXPECT_EQ(out("CHG 3 AWY 0\r\n"), "CHG 3 AWY 0\r\n");
}

TEST_F(Presence, PersonalMessageAndMediaAreRewrittenWithTheirLength)
{
    sign_in("bob@example.com");
    const std::string payload = "<Data><PSM>my own words</PSM><CurrentMedia>song</CurrentMedia>"
                                "<MachineGuid>{F26D}</MachineGuid></Data>";
    const std::string uux = msg("UUX 4", payload);
    EXPECT_EQ(out(uux), uux) << "nothing fixed: unchanged";
    var("s/personal-message-text", "\"Ask me about the offer\"");
    const std::string fixed = "<Data><PSM>Ask me about the offer</PSM><CurrentMedia>song</CurrentMedia>"
                              "<MachineGuid>{F26D}</MachineGuid></Data>";
    EXPECT_EQ(out(uux), msg("UUX 4", fixed));
    EXPECT_EQ(out(msg("UUX 5", "<Data><PSM>unclosed")), msg("UUX 5", "<Data><PSM>unclosed")) << "unparsable";
    EXPECT_EQ(out(msg("UUX 6", "<Data a=\"1\">x<PSM/></Data>")), msg("UUX 6", "<Data><PSM>Ask me about the offer</PSM></Data>"));
}

} // namespace
