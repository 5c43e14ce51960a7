/* Pages and notifications through the tasklet: the contact decides, and a
 * SIP invitation to a voice or video session is judged by the IM type
 * sets like a P2P invitation and logged. */
#include <fstream>
#include <iterator>

#include "msnp/session_fixture.h"
#include "tq3_msnp_handlers.h"
#include "tq3_msnp_log.h"

namespace {

std::string base64_lines(const std::string &text)
{
    /* One base64 line per SDP line, as clients send them. */
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t eol = text.find("\r\n", at);
        std::string line = text.substr(at, eol == std::string::npos ? std::string::npos : eol + 2 - at);
        char *b64 = iks_base64_encode(line.data(), static_cast<int>(line.size()));
        out += std::string(b64) + "\r\n";
        iks_free(b64);
        at = eol == std::string::npos ? text.size() : eol + 2;
    }
    return out;
}

std::string sip_notification(const std::string &sdp)
{
    return "<sip e=\"base64\" fe=\"true\" s=\"SIP\"><msg>" + base64_lines("INVITE sip:bob@example.org SIP/2.0\r\n\r\n" + sdp) +
           "</msg></sip>";
}

class Paging : public SessionTest {
public:
    void SetUp() override
    {
        SessionTest::SetUp();
        /* bob may not be called by voice; mallory not at all. */
        ASSERT_TRUE(load("<imbitmap identifier=\"Voice\"><entry type=\"data\"><acl>command_receive_message</acl></entry>"
                         "<entry type=\"data\"><acl>message_p2p</acl></entry>"
                         "<entry type=\"data\"><acl>invite_voice</acl></entry></imbitmap>"
                         "<person type=\"2\" name=\"bob\"><handle>bob@example\\.org</handle></person>"
                         "<person type=\"2\" name=\"mallory\"><handle>mallory@example\\.org</handle></person>"
                         "<person type=\"2\" name=\"anyone\"><handle>.*</handle></person>"
                         "<person type=\"3\" name=\"alice\"><handle>alice@example.com</handle></person>",
                         "<user>alice</user>"
                         "<relation object=\"bob\" action=\"block\" direction=\"both\"><access-list>"
                         "<object type=\"imbitmap\">Voice</object></access-list></relation>"
                         "<relation object=\"mallory\" action=\"block\" direction=\"both\"/>"
                         "<relation object=\"anyone\" action=\"pass\" direction=\"both\"/>"));
        server("USR 1 OK alice@example.com Alice 1 0\r\n");
        ASSERT_NE(tracker(), nullptr);
    }
};

TEST_F(Paging, VoiceInvitationsInNotificationsMeetTheImTypeSets)
{
    const std::string voice = sip_notification("v=0\r\nm=audio 7078 RTP/AVP 0\r\n");
    const std::string video = sip_notification("v=0\r\nm=audio 7078 RTP/AVP 0\r\nm=video 7080 RTP/AVP 34\r\n");
    const std::string plain = "<uun><msg>hello</msg></uun>";
    EXPECT_EQ(msnp_decode_sip_base64_type(base64_lines("m=audio 1 RTP/AVP 0\r\n").c_str()), MSNP_INVITE_VOICE);
    EXPECT_EQ(msnp_decode_sip_base64_type(base64_lines("m=audio 1\r\nm=video 2\r\n").c_str()), MSNP_INVITE_WEBCAM);
    EXPECT_EQ(msnp_decode_sip_base64_type("not base64 at all"), 0);

    const std::string uun_voice = msg("UUN 5 bob@example.org 2", voice);
    EXPECT_EQ(client(uun_voice).forwarded, "") << "a voice invitation to bob meets the Voice set";
    const std::string uun_video = msg("UUN 6 bob@example.org 2", video);
    EXPECT_EQ(client(uun_video).forwarded, uun_video) << "video is no voice: the next relation passes";
    const std::string uun_plain = msg("UUN 7 bob@example.org 1", plain);
    EXPECT_EQ(client(uun_plain).forwarded, uun_plain);
    const std::string ubn = msg("UBN bob@example.org 2", voice);
    EXPECT_EQ(server(ubn).forwarded, "");

    char *path = msnp_chat_log_path(tracker());
    std::string log = slurp(path);
    free(path);
    EXPECT_NE(log.find("activity='voice'"), std::string::npos) << log;
    EXPECT_NE(log.find("activity='webcam'"), std::string::npos) << log;
    EXPECT_EQ(log.find("hello"), std::string::npos) << "plain notifications are not logged";
}

TEST_F(Paging, PagesAreDecidedByTheirContact)
{
    EXPECT_EQ(client(msg("PGD 3 mallory@example.org 1", "<TEXT>hi</TEXT>")).forwarded, "");
    const std::string to_carol = msg("PGD 4 carol@example.org 1", "<TEXT>hi</TEXT>");
    EXPECT_EQ(client(to_carol).forwarded, to_carol);
    EXPECT_EQ(counter("stats-paging-send-block"), 1);
    EXPECT_EQ(counter("stats-paging-send-pass"), 1);

    const std::string from_mallory = msg("IPG", "<NOTIFICATION><FROM name=\"mallory@example.org\"/><MSG>x</MSG></NOTIFICATION>");
    const std::string nameless = msg("IPG", "<NOTIFICATION><FROM/><MSG>x</MSG></NOTIFICATION>");
    EXPECT_EQ(server(from_mallory).forwarded, "");
    EXPECT_EQ(server(nameless).forwarded, nameless);
    EXPECT_EQ(counter("stats-paging-receive-block"), 1);
    EXPECT_EQ(counter("stats-paging-receive-pass"), 1);
}

} // namespace
