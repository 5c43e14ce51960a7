/* The evasion suite: the tricks a client could use to get a blocked
 * contact, or a blocked word, past the policy while the server still
 * reads what it sent. Each case runs through the real gateway (SOCKS5
 * front door) on a fresh connection to scripted servers, signed in with
 * the protocol version the trick needs, and sends the trick followed by a
 * harmless command; once that command has arrived, anything the trick
 * carried would have arrived before it. The policy (data/policy.xml)
 * blocks mallory, the word "tender" and file transfers. Every case must
 * be withheld, with a decision in the events on the sender's side. */
#include <algorithm>
#include <cstring>

#include "gateway/e2e_fixture.h"

using namespace e2e;

namespace {

std::string payload_command(const std::string &head, const std::string &payload)
{
    return head + " " + std::to_string(payload.size()) + "\r\n" + payload;
}

std::string mime(const std::string &headers, const std::string &body)
{
    return headers + "\r\n" + body;
}

const std::string kPlain = "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n";
const std::string kTender = "our tender is 4.2M";
const std::string kNul(1, '\0');

std::string uum(const std::string &to, const std::string &payload)
{
    return payload_command("UUM 5 " + to + " 32 1", payload);
}

/* A P2P invitation to a file transfer of session `session`, and a data
 * packet of that session carrying `data`. */
std::string p2p_invite(const std::string &to, const std::string &session)
{
    std::string slp = "INVITE MSNMSGR:" + to + " MSNSLP/1.0\r\nTo: <msnmsgr:" + to +
                      ">\r\nContent-Type: application/x-msnmsgr-sessionreqbody\r\n\r\n"
                      "EUF-GUID: {5D3E02AB-6190-11D3-BBBB-00C04F795683}\r\nSessionID: " + session +
                      "\r\nAppID: 2\r\nContext: AAAA\r\n\r\n";
    return "MIME-Version: 1.0\r\nContent-Type: application/x-msnmsgrp2p\r\nP2P-Dest: " + to + "\r\n\r\n" +
           std::string(48, '\0') + slp + std::string(4, '\0');
}
std::string p2p_data(const std::string &to, uint32_t session, const std::string &data)
{
    std::string header(48, '\0');
    for (int i = 0; i < 4; ++i)
        header[static_cast<size_t>(i)] = static_cast<char>(session >> (8 * i) & 0xff);
    return "MIME-Version: 1.0\r\nContent-Type: application/x-msnmsgrp2p\r\nP2P-Dest: " + to + "\r\n\r\n" +
           header + data + std::string(4, '\0');
}
std::string file_invitation(const std::string &command, const std::string &cookie)
{
    std::string body = "Invitation-Command: " + command + "\r\nInvitation-Cookie: " + cookie + "\r\n";
    if (command == "INVITE")
        body = "Application-Name: File Transfer\r\nApplication-GUID: {5D3E02AB-6190-11D3-BBBB-00C04F795683}\r\n" +
               body + "Application-File: plans.doc\r\nApplication-FileSize: 1000\r\n";
    return "MIME-Version: 1.0\r\nContent-Type: text/x-msmsgsinvite; charset=UTF-8\r\n\r\n" + body + "\r\n";
}

/* One trick: the connection it needs (a notification server connection
 * of `version`, or a switchboard with bob when `version` is 0), what the
 * server sends first (a withheld invitation the trick answers), what the
 * client sends, what must never reach the server, and the size of the
 * writes (0: one write). `unended`: the trick leaves bytes that are no
 * command, which the harmless command must not be glued to. `pipelined`:
 * sent before the server has confirmed the sign-in, behind its last
 * command. */
struct Trick {
    const char *name;
    int version;
    std::string from_server;
    std::string bytes;
    std::string secret;
    size_t seg = 0;
    bool unended = false;
    bool pipelined = false; /* in the same write as the sign-in's last command */
};

std::vector<Trick> tricks()
{
    const std::string to_mallory = uum("mallory@example.net", mime(kPlain, "meet me"));
    const std::string tender_to_bob = mime(kPlain, kTender);
    std::vector<Trick> t = {
        /* framing that disagrees with the server */
        {"PAG is a plain line in MSNP15", 15, "", "PAG 4 bob@example.org " + std::to_string(to_mallory.size()) + "\r\n" + to_mallory,
         "mallory"},
        {"a client's GCF is a plain line", 15, "", "GCF 0 " + std::to_string(to_mallory.size()) + "\r\n" + to_mallory, "mallory"},
        {"a NOT from the client", 15, "", "NOT " + std::to_string(to_mallory.size()) + "\r\n" + to_mallory, "mallory"},
        {"UBN is the server's", 15, "", "UBN bob@example.org 1 " + std::to_string(to_mallory.size()) + "\r\n" + to_mallory,
         "mallory"},
        {"a numeric reply ahead", 15, "", "217 6\r\n" + to_mallory, "mallory"},
        {"an unknown word ahead", 15, "", "XYZ 6\r\n" + to_mallory, "mallory"},
        {"a command name in lower case", 15, "", "uum 5 bob@example.org 32 1 " + std::to_string(tender_to_bob.size()) + "\r\n" +
                                                     tender_to_bob,
         "tender", 0, true},
        {"a command name in mixed case", 15, "", "Uum 5 mallory@example.net 32 1 7\r\nmeet me", "mallory", 0, true},
        {"a lying payload length", 15, "", "UUM 5 bob@example.org 32 1 10\r\n" + tender_to_bob, "tender", 0, true},
        {"cut after every byte", 15, "", to_mallory, "mallory", 1},
        {"cut after every second byte", 15, "", to_mallory, "mallory", 2},
        {"PAG as a line, before the sign-in is confirmed", 15, "",
         "PAG 4 bob@example.org " + std::to_string(to_mallory.size()) + "\r\n" + to_mallory, "mallory", 0, false, true},
        {"TEXT/PLAIN, before the sign-in is confirmed", 15, "",
         uum("bob@example.org", mime("Content-Type: TEXT/PLAIN\r\n", kTender)), "tender", 0, false, true},
        /* MIME read differently from mail readers */
        {"TEXT/PLAIN", 15, "", uum("bob@example.org", mime("Content-Type: TEXT/PLAIN\r\n", kTender)), "tender"},
        {"a parameter after a blank", 15, "", uum("bob@example.org", mime("Content-Type: text/plain ;charset=UTF-8\r\n", kTender)),
         "tender"},
        {"a header name in lower case", 15, "", uum("bob@example.org", mime("content-type: text/plain\r\n", kTender)), "tender"},
        {"no Content-Type", 15, "", uum("bob@example.org", mime("MIME-Version: 1.0\r\n", kTender)), "tender"},
        {"no header at all", 15, "", uum("bob@example.org", kTender), "tender"},
        {"LF line ends", 15, "", uum("bob@example.org", "Content-Type: text/plain\n\n" + kTender), "tender"},
        {"an unknown type", 15, "", uum("bob@example.org", mime("Content-Type: text/x-unheard-of\r\n", kTender)), "tender"},
        {"a NUL before the word", 15, "", uum("bob@example.org", mime(kPlain, "hello" + kNul + kTender)), "tender"},
        /* handles written otherwise */
        {"a handle in capitals", 15, "", uum("Mallory@Example.NET", mime(kPlain, "meet me")), "meet me"},
        {"an escaped at sign", 15, "", uum("mallory%40example.net", mime(kPlain, "meet me")), "meet me"},
        {"an escaped letter", 15, "", uum("%6dallory@example.net", mime(kPlain, "meet me")), "meet me"},
        /* pages and e-mail invitations */
        {"a page in MSNP8", 8, "", payload_command("PAG 4 mallory@example.net", "<TEXT xml:space=\"preserve\">meet me</TEXT>"),
         "meet me"},
        {"a page in MSNP9", 9, "", payload_command("PGD 4 mallory@example.net 1", "<TEXT xml:space=\"preserve\">meet me</TEXT>"),
         "meet me"},
        {"a page with the word", 12, "", payload_command("PGD 4 bob@example.org 1", "<TEXT>" + kTender + "</TEXT>"), "tender"},
        {"an e-mail invitation", 8, "", payload_command("SDC 4 mallory@example.net 0x0409 MSMSGS MSMSGS X X Alice", "meet me"),
         "meet me"},
        /* a version whose carriers the policy does not read */
        {"MSNP21 spoken all the same", 21, "",
         payload_command("SDG 5", "Routing: 1.0\r\nTo: 1:mallory@example.net\r\nFrom: 1:alice@example.com\r\n\r\n"
                                  "Reliability: 1.0\r\n\r\nMessaging: 2.0\r\nMessage-Type: Text\r\n\r\nmeet me"),
         "meet me"},
        /* the switchboard */
        {"a notification command on a switchboard", 0, "",
         "QRY 5 PROD0090YUAUV{2B " + std::to_string(payload_command("MSG 6 N", tender_to_bob).size()) + "\r\n" +
             payload_command("MSG 6 N", tender_to_bob),
         "tender"},
        {"a NUL inside a line", 0, "", "CAL 5 bob@example.org" + kNul + "\r\n" + payload_command("MSG 6 N", tender_to_bob),
         "tender"},
        {"a message in upper case type", 0, "", payload_command("MSG 6 N", mime("Content-Type: Text/Plain\r\n", kTender)),
         "tender"},
        {"a message without an empty line", 0, "", payload_command("MSG 6 N", kTender), "tender"},
        {"a message cut after every byte", 0, "", payload_command("MSG 6 N", tender_to_bob), "tender", 1},
        {"the answer to a withheld file invitation", 0,
         payload_command("MSG bob@example.org Bob", file_invitation("INVITE", "4242")),
         payload_command("MSG 6 N", file_invitation("ACCEPT", "4242")), "4242"},
        {"the cancel of a withheld file invitation", 0,
         payload_command("MSG bob@example.org Bob", file_invitation("INVITE", "4243")),
         payload_command("MSG 6 N", file_invitation("CANCEL", "4243")), "4243"},
        {"the data of a withheld P2P session", 0, payload_command("MSG bob@example.org Bob", p2p_invite("alice@example.com", "77")),
         payload_command("MSG 6 D", p2p_data("bob@example.org", 77, "DATA-OF-77")), "DATA-OF-77"},
    };
    return t;
}

class Evasion : public GatewayE2E {
protected:
    void SetUp() override
    {
        GatewayE2E::SetUp();
        std::filesystem::copy_file(std::string(TQ_SOURCE_DIR) + "/tests/evasion/data/policy.xml", policy,
                                   std::filesystem::copy_options::overwrite_existing);
    }

    /* Alice signs in on the notification server with `version`; `early`
     * rides behind the sign-in's last command, ahead of the server's
     * confirmation. */
    void sign_in_ns(Pair &p, int version, const std::string &early = "")
    {
        int c = p.client.get(), s = p.server.get();
        const std::string ver = "VER 1 MSNP" + std::to_string(version) + " CVR0\r\n";
        ASSERT_TRUE(send_all(c, ver));
        std::string got = read_until(s, "\r\n");
        if (version <= 18)
            ASSERT_EQ(got, ver);
        else
            ASSERT_EQ(got, "VER 1 CVR0\r\n") << "the versions after the cap are not offered";
        EXPECT_TRUE(pass_through(s, c, ver)); /* a server that answers with one anyway */
        EXPECT_TRUE(pass_through(c, s, "USR 2 TWN I alice@example.com\r\n"));
        EXPECT_TRUE(pass_through(s, c, "USR 2 TWN S lc=1033,id=507\r\n"));
        const std::string last = "USR 3 TWN S t=abc&p=def\r\n";
        ASSERT_TRUE(send_all(c, last + early));
        EXPECT_EQ(read_until(s, "\r\n"), last);
        EXPECT_TRUE(pass_through(s, c, version >= 8 ? "USR 3 OK alice@example.com 1 0\r\n"
                                                    : "USR 3 OK alice@example.com Alice\r\n"));
    }

    size_t blocks_in_events() const
    {
        const std::vector<std::string> lines = lines_of(slurp(events));
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string &l) {
            return l.find("verdict='block'") != std::string::npos;
        }));
    }

    /* Runs `t` on a fresh connection. */
    void run(const Trick &t)
    {
        OPEN_PAIR(p, t.version ? ns : sb);
        int c = p.client.get(), s = p.server.get();
        const std::string marker = t.version ? "PNG\r\n" : "CAL 90 carol@example.org\r\n";
        /* A line of its own even after bytes that end in none. */
        const std::string sent = t.bytes + (t.unended ? "\r\n" + marker : marker);
        size_t blocks = blocks_in_events();
        if (t.version)
            sign_in_ns(p, t.version, t.pipelined ? sent : "");
        else
            sign_in_sb(p);
        if (!t.from_server.empty()) {
            ASSERT_TRUE(send_all(s, t.from_server));
            ASSERT_TRUE(send_all(s, "ACK 99\r\n"));
            std::string came = read_until(c, "ACK 99\r\n");
            ASSERT_EQ(came, "ACK 99\r\n") << "the invitation was to be withheld";
            blocks = blocks_in_events();
        }
        if (!t.pipelined) {
            ASSERT_TRUE(t.seg ? send_segmented(c, sent, t.seg) : send_all(c, sent));
        }
        std::string got = read_until(s, marker);
        EXPECT_EQ(got.find(t.secret), std::string::npos) << "reached the server:\n" << ::testing::PrintToString(got);
        EXPECT_NE(got.find(marker), std::string::npos) << "the connection did not go on";
        EXPECT_TRUE(eventually([&] { return blocks_in_events() > blocks; })) << "no decision in the events";
    }
};

} // namespace

TEST_F(Evasion, EveryTrickIsWithheldAndRecorded)
{
    start();
    for (const Trick &t : tricks()) {
        SCOPED_TRACE(t.name);
        run(t);
    }
}

/* The suite is not empty-handed: allowed text through the same doors
 * arrives, on both kinds of connection. */
TEST_F(Evasion, WhatThePolicyAllowsStillArrives)
{
    start();
    {
        OPEN_PAIR(p, ns);
        sign_in_ns(p, 15);
        EXPECT_TRUE(pass_through(p.client.get(), p.server.get(), uum("bob@example.org", mime(kPlain, "lunch?"))));
        EXPECT_TRUE(pass_through(p.client.get(), p.server.get(), uum("BOB%40example.org", mime(kPlain, "lunch?"))));
        EXPECT_TRUE(pass_through(p.client.get(), p.server.get(), uum("bob@example.org", mime("Content-Type: TEXT/PLAIN\r\n", "hi"))));
    }
    {
        OPEN_PAIR(p, sb);
        sign_in_sb(p);
        EXPECT_TRUE(pass_through(p.client.get(), p.server.get(), payload_command("MSG 6 N", mime(kPlain, "lunch?"))));
        EXPECT_TRUE(pass_through(p.server.get(), p.client.get(),
                                 payload_command("MSG bob@example.org Bob", mime(kPlain, "yes"))));
    }
}

/* Payloads at the gateway's limit of bytes held for one command: a
 * command that waits with `limit` bytes held is decided once whole (and
 * withheld); one that would have to wait with a byte more ends the
 * connection. In neither case does the payload pass undecided. */
TEST_F(Evasion, PayloadsAtTheHeldBytesLimit)
{
    const size_t limit = 4096;
    start({"max-held-bytes=" + std::to_string(limit)});
    for (size_t held : {limit, limit + 1}) {
        SCOPED_TRACE(held > limit ? "over the limit" : "at the limit");
        OPEN_PAIR(p, ns);
        sign_in_ns(p, 15);
        const std::string head = "UUM 5 mallory@example.net 32 1 ";
        const std::string body_start = mime(kPlain, "meet me ");
        /* Held before the last byte comes: `held` bytes. */
        const size_t fixed = head.size() + 4 + 2 + body_start.size();
        const std::string body = body_start + std::string(held + 1 - fixed, 'x');
        const std::string command = payload_command("UUM 5 mallory@example.net 32 1", body);
        ASSERT_EQ(command.size(), held + 1);
        no_delay(p.client.get());
        ASSERT_TRUE(send_all(p.client.get(), command.substr(0, held)));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        send_all(p.client.get(), command.substr(held) + "PNG\r\n");
        ReadResult r = recv_some(p.server.get(), SIZE_MAX, std::chrono::milliseconds(1500));
        EXPECT_EQ(r.bytes.find("meet me"), std::string::npos) << r.bytes.size();
        if (held > limit)
            EXPECT_TRUE(r.closed) << "over the limit, the connection ends";
        else
            EXPECT_NE(r.bytes.find("PNG\r\n"), std::string::npos);
    }
}
