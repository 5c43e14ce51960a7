/* End-to-end: contact lists, presence, invitations and the user's pinned
 * identity through the real gateway. A blocked contact cannot be added,
 * never shows up, cannot call or be called, while an allowed one works; an
 * accepted invitation's switchboard connection is recognised; pinned
 * names and personal messages reach the server; SIP invitations meet the
 * IM type sets. Every rewritten command is cut again with the module's own
 * decoupler to check that its length matches its bytes. */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "gateway/e2e_fixture.h"
#include "tq3_msnp.h"
#include "tq3_msnp_dispatcher.h"

using namespace e2e;

namespace {

/* The bytes are whole MSNP commands: cut by the module's decoupler they
 * end on a command boundary, every payload command carries exactly the
 * payload its line announces, and nothing is lost or added. */
::testing::AssertionResult well_formed(const std::string &bytes)
{
    tq3_decouple_data *dd = tq3_msn_decouple(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
    if (!dd)
        return ::testing::AssertionFailure() << "not cut";
    std::string joined;
    bool whole = !dd->incomplete;
    for (size_t i = 0; i < dd->size; ++i)
        joined.append(dd->ptrs[i], dd->ptrsize[i]);
    if (dd->size > 0) {
        const char *last = dd->ptrs[dd->size - 1];
        size_t len = dd->ptrsize[dd->size - 1];
        /* The last piece ends with CR LF, or is a payload that ended
         * exactly where its length said. */
        whole = whole && (!dd->moredata || (len >= 2 && last[len - 2] == '\r' && last[len - 1] == '\n'));
    }
    tq3_decouple_data_destroy(dd);
    if (!whole || joined != bytes)
        return ::testing::AssertionFailure() << "not whole commands: " << ::testing::PrintToString(bytes);
    return ::testing::AssertionSuccess();
}

/* Sends `in` from one side and expects exactly `out` on the other. */
::testing::AssertionResult relays_as(int from, int to, const std::string &in, const std::string &out)
{
    if (!send_all(from, in))
        return ::testing::AssertionFailure() << "send failed";
    std::string got = recv_exact(to, out.size());
    if (got != out)
        return ::testing::AssertionFailure() << "got " << ::testing::PrintToString(got) << "\nwant "
                                             << ::testing::PrintToString(out);
    /* Nothing more follows. */
    std::string extra = recv_some(to, 1, milliseconds(100)).bytes;
    if (!extra.empty())
        return ::testing::AssertionFailure() << "unexpected " << ::testing::PrintToString(extra);
    return ::testing::AssertionSuccess();
}

std::string base64(const std::string &text)
{
    char *b = iks_base64_encode(text.data(), static_cast<int>(text.size()));
    std::string out = b ? b : "";
    iks_free(b);
    return out;
}

/* A notification carrying a SIP INVITE whose session description offers
 * the media lines given. */
std::string sip_invite(const std::string &to, const std::string &media)
{
    std::string sdp = "v=0\r\no=- 0 0 IN IP4 10.0.0.5\r\ns=session\r\nc=IN IP4 10.0.0.5\r\nt=0 0\r\n" + media;
    std::string sip = "INVITE sip:" + to + " SIP/2.0\r\nContent-Type: application/sdp\r\nContent-Length: " +
                      std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
    return "<sip e=\"base64\" fe=\"true\" s=\"SIP\"><msg>" + base64(sip) + "</msg></sip>";
}

class Contacts : public GatewayE2E {
protected:
    /* An MSNP15 sign-in of `handle` up to the server's confirmation. */
    Pair signed_in(const std::string &handle)
    {
        Pair p = open_pair(ns);
        int c = p.client.get(), s = p.server.get();
        EXPECT_TRUE(pass_through(c, s, "VER 1 MSNP15 CVR0\r\n"));
        EXPECT_TRUE(pass_through(s, c, "VER 1 MSNP15 CVR0\r\n"));
        EXPECT_TRUE(pass_through(c, s, "USR 2 SSO I " + handle + "\r\n"));
        EXPECT_TRUE(pass_through(s, c, "USR 2 SSO S MBI_KEY_OLD nonce\r\n"));
        EXPECT_TRUE(pass_through(c, s, "USR 3 SSO S t=ticket response\r\n"));
        EXPECT_TRUE(pass_through(s, c, "USR 3 OK " + handle + " 1 0\r\n"));
        EXPECT_TRUE(pass_through(s, c, msg("MSG Hotmail Hotmail", "Content-Type: text/x-msmsgsprofile\r\n\r\n")));
        return p;
    }
};

TEST_F(Contacts, ABlockedContactCannotBeAddedSeenOrCalled)
{
    start();
    Pair n = signed_in("alice@example.com");
    int c = n.client.get(), s = n.server.get();

    /* The first contact list of the sign-in passes whole. */
    std::string list = "<ml l=\"1\"><d n=\"example.net\"><c n=\"mallory\" l=\"3\" t=\"1\"/></d>"
                       "<d n=\"example.org\"><c n=\"bob\" l=\"3\" t=\"1\"/></d></ml>";
    EXPECT_TRUE(pass_through(c, s, msg("ADL 4", list)));
    EXPECT_TRUE(pass_through(s, c, "ADL 4 OK\r\n"));

    /* Adding: every form is stopped for mallory, passes for bob. */
    const std::string add_bob = msg("ADL 5", "<ml><d n=\"example.org\"><c n=\"bob\" l=\"1\" t=\"1\"/></d></ml>");
    EXPECT_TRUE(relays_as(c, s,
                          "ADC 6 AL N=mallory@example.net\r\n" +
                              msg("ADL 7", "<ml><d n=\"example.net\"><c n=\"mallory\" l=\"1\" t=\"1\"/></d></ml>") +
                              "ADD 8 AL mallory@example.net mallory@example.net\r\n" + "ADC 9 AL N=bob@example.org\r\n" +
                              add_bob,
                          "ADC 9 AL N=bob@example.org\r\n" + add_bob));

    /* Presence: mallory never shows up. */
    const std::string bob_online = "ILN 10 NLN bob@example.org Bob 1342177280\r\n";
    const std::string bob_psm = msg("UBX bob@example.org", "<Data><PSM>hi</PSM></Data>");
    EXPECT_TRUE(relays_as(s, c,
                          "ILN 10 NLN mallory@example.net Mallory 0\r\n" + bob_online +
                              "NLN NLN mallory@example.net Mallory 0\r\n" +
                              msg("UBX mallory@example.net", "<Data><PSM>look</PSM></Data>") + bob_psm,
                          bob_online + bob_psm));

    /* Invitations: mallory's never arrives; bob's does, and the client's
     * switchboard connection is recognised as the answer to it. */
    const std::string rng_bob = "RNG 11752013 127.0.0.1:" + std::to_string(sb.port()) +
                                " CKI 849102291.520491113 bob@example.org Bob U messenger.msn.com 1\r\n";
    EXPECT_TRUE(relays_as(s, c,
                          "RNG 11752099 127.0.0.1:" + std::to_string(sb.port()) +
                              " CKI 1.2 mallory@example.net Mallory U messenger.msn.com 1\r\n" + rng_bob,
                          rng_bob));
    Pair b = open_pair(sb);
    int bc = b.client.get(), bs = b.server.get();
    EXPECT_TRUE(pass_through(bc, bs, "ANS 1 alice@example.com 849102291.520491113 11752013\r\n"));
    EXPECT_TRUE(pass_through(bs, bc, "IRO 1 1 1 bob@example.org Bob 1342177280\r\nANS 1 OK\r\n"));
    std::optional<Listed> sb_conn;
    for (const auto &line : lines_of(tqctl({"connections"}).out)) {
        std::istringstream in(line);
        Listed l;
        std::string arrow;
        if (in >> l.tid >> l.client >> arrow >> l.server && l.server == "127.0.0.1:" + std::to_string(sb.port()))
            sb_conn = l;
    }
    ASSERT_TRUE(sb_conn);
    RunResult info = tqctl({"info", std::to_string(sb_conn->tid)});
    EXPECT_NE(info.out.find("session='11752013/bob@example.org'"), std::string::npos) << info.out;

    /* Calls: mallory cannot be called into the conversation. */
    EXPECT_TRUE(relays_as(bc, bs, "CAL 2 mallory@example.net\r\nCAL 3 bob@example.org\r\n", "CAL 3 bob@example.org\r\n"));
}

/* MSNP10 to 12 clients remove a contact by the identifier its list line
 * gave, a GUID, which the server reads in any case, with or without dashes
 * and braces. Each form of mallory's identifier is decided as mallory,
 * also cut across two writes and on a second connection of the account;
 * bob's removal passes. */
TEST_F(Contacts, ARemovalByIdentifierMeetsTheContactsRuleInEveryFormOfItsGuid)
{
    start();
    auto msnp11 = [&](Pair &p) {
        int c = p.client.get(), s = p.server.get();
        EXPECT_TRUE(pass_through(c, s, "VER 1 MSNP11 CVR0\r\n"));
        EXPECT_TRUE(pass_through(s, c, "VER 1 MSNP11 CVR0\r\n"));
        EXPECT_TRUE(pass_through(c, s, "USR 2 TWN I alice@example.com\r\n"));
        EXPECT_TRUE(pass_through(s, c, "USR 2 TWN S ct=1,rver=1,id=507\r\n"));
        EXPECT_TRUE(pass_through(c, s, "USR 3 TWN S t=ticket&p=profile\r\n"));
        EXPECT_TRUE(pass_through(s, c, "USR 3 OK alice@example.com 1 0\r\n"));
    };
    Pair n = open_pair(ns);
    ASSERT_TRUE(n.client && n.server);
    msnp11(n);
    int c = n.client.get(), s = n.server.get();
    const std::string mallory = "5d6b1c3e-8a7f-4b2c-9e1d-0a1b2c3d4e5f", bob = "0f1e2d3c-4b5a-4978-8a6b-5c4d3e2f1a0b";
    EXPECT_TRUE(pass_through(s, c, "SYN 4 1 2 1\r\nLST N=mallory@example.net F=Mallory C=" + mallory +
                                       " 11 1\r\nLST N=bob@example.org F=Bob C=" + bob + " 11 1\r\n"));

    std::string upper = mallory, bare = mallory;
    for (char &ch : upper)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    bare.erase(std::remove(bare.begin(), bare.end(), '-'), bare.end());
    const std::string remove_bob = "REM 9 FL " + bob + "\r\n";
    for (const std::string &form : {mallory, upper, "{" + mallory + "}", bare, "{" + upper + "}", "(" + bare + ")"}) {
        SCOPED_TRACE(form);
        EXPECT_TRUE(relays_as(c, s, "REM 5 FL " + form + "\r\n" + remove_bob, remove_bob));
    }
    /* Cut inside the identifier, across two writes. */
    ASSERT_TRUE(send_all(c, "REM 6 FL " + upper.substr(0, 10)));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_TRUE(relays_as(c, s, upper.substr(10) + "\r\n" + remove_bob, remove_bob));

    /* The account's second connection has seen no list: what the first
     * learnt holds there too. */
    Pair other = open_pair(ns);
    ASSERT_TRUE(other.client && other.server);
    msnp11(other);
    EXPECT_TRUE(relays_as(other.client.get(), other.server.get(), "REM 2 FL {" + upper + "}\r\n" + remove_bob,
                          remove_bob));
}

TEST_F(Contacts, PinnedNameAndPersonalMessageReachTheServerWellFormed)
{
    start({"var fixed-privacy = \"BL\""});

    /* An MSNP8 sign-in confirms the name the user chose: the client sees
     * the pinned one, and the server is told it. */
    {
        Pair p = open_pair(ns);
        int c = p.client.get(), s = p.server.get();
        EXPECT_TRUE(pass_through(c, s, "VER 1 MSNP8 CVR0\r\n"));
        EXPECT_TRUE(pass_through(c, s, "USR 2 TWN I frank@example.com\r\n"));
        EXPECT_TRUE(pass_through(s, c, "USR 2 TWN S ct=1,rver=1,id=507\r\n"));
        const std::string fixed = "USR 3 OK frank@example.com Frank%20(Support) 1 0\r\n";
        EXPECT_TRUE(relays_as(s, c, "USR 3 OK frank@example.com Franky 1 0\r\n", fixed));
        EXPECT_TRUE(well_formed(fixed));
        const std::string rea = "REA 0 frank@example.com Frank%20(Support)\r\n";
        EXPECT_EQ(recv_exact(s, rea.size()), rea);
    }

    Pair n = signed_in("frank@example.com");
    int c = n.client.get(), s = n.server.get();
    struct Row {
        std::string sent, arrives;
    };
    const std::string psm = "<Data><PSM>Ask me about tickets</PSM><CurrentMedia/></Data>";
    const Row rows[] = {
        {"REA 5 frank@example.com Franky\r\n", "REA 5 frank@example.com Frank%20(Support)\r\n"},
        {"PRP 6 MFN Franky\r\n", "PRP 6 MFN Frank%20(Support)\r\n"},
        {msg("UUX 7", "<Data><PSM>gone fishing, back in a week</PSM><CurrentMedia></CurrentMedia></Data>"), msg("UUX 7", psm)},
        {msg("UUX 8", "<Data><PSM>x</PSM><CurrentMedia></CurrentMedia></Data>") + "PNG\r\n", msg("UUX 8", psm) + "PNG\r\n"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.sent);
        EXPECT_TRUE(relays_as(c, s, r.sent, r.arrives));
        EXPECT_TRUE(well_formed(r.arrives));
    }
    /* The privacy mode pinned module-wide. */
    EXPECT_TRUE(relays_as(c, s, "BLP 9 AL\r\n", "BLP 9 BL\r\n"));
    /* The server's answer to the rename the gateway sent at sign-in never
     * reaches the client; its answers to the client's own renames do. */
    EXPECT_TRUE(relays_as(s, c, "REA 0 frank@example.com Frank%20(Support)\r\nREA 5 frank@example.com Frank%20(Support)\r\n",
                          "REA 5 frank@example.com Frank%20(Support)\r\n"));
}

TEST_F(Contacts, SipInvitationsInNotificationsMeetTheImTypeSets)
{
    start();
    Pair n = signed_in("alice@example.com");
    int c = n.client.get(), s = n.server.get();
    const std::string video = "m=audio 7078 RTP/AVP 0\r\nm=video 7080 RTP/AVP 34\r\n";
    const std::string audio = "m=audio 7078 RTP/AVP 0\r\n";
    const std::string voice_to_bob = msg("UUN 6 bob@example.org 2", sip_invite("bob@example.org", audio));
    const std::string video_to_carol = msg("UUN 8 carol@example.org 2", sip_invite("carol@example.org", video));
    EXPECT_TRUE(relays_as(c, s,
                          msg("UUN 5 bob@example.org 2", sip_invite("bob@example.org", video)) + voice_to_bob +
                              msg("UUN 7 carol@example.org 2", sip_invite("carol@example.org", audio)) + video_to_carol,
                          voice_to_bob + video_to_carol))
        << "bob may not be invited to video, carol not to voice";
    const std::string from_bob = msg("UBN bob@example.org 2", sip_invite("alice@example.com", audio));
    EXPECT_TRUE(relays_as(s, c, msg("UBN bob@example.org 2", sip_invite("alice@example.com", video)) + from_bob, from_bob));
}

} // namespace
