// MSG payload parsing and the message type tables.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "tq3_msnp.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_task.h"

namespace {

// One command held in a buffer of exactly its size and a NUL, as the
// dispatcher hands it to a handler: any read past the NUL trips ASan.
struct Command {
    tqconn conn{};
    task_struct task{};
    char *bytes = nullptr;
    msnp_message *msg = nullptr;

    Command(const std::string &text, conn_direction dir, msnp_opcode op = MSN_OPCODE_MSG) {
        conn.direction = dir;
        bytes = static_cast<char *>(malloc(text.size() + 1));
        memcpy(bytes, text.data(), text.size());
        bytes[text.size()] = '\0';
        task.conn = &conn;
        task.data_buffer = bytes;
        task.buffer_size = text.size();
        task.opcode = op;
    }
    msnp_message *parse() {
        msg = new_msnp_message(&task);
        return msg;
    }
    ~Command() {
        destroy_msnp_message(msg);
        free(bytes);
    }
};

std::string with_length(const std::string &line_prefix, const std::string &payload) {
    return line_prefix + " " + std::to_string(payload.size()) + "\r\n" + payload;
}

const char *header_value(tqtable *t, const char *name) {
    std::string lowered(name);
    for (char &c : lowered)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return msnp_header(t, lowered.c_str());
}

std::string b64(const std::string &raw) {
    char *e = iks_base64_encode(raw.data(), static_cast<int>(raw.size()));
    std::string out(e);
    iks_free(e);
    return out;
}

std::string ft_context(const std::string &name, size_t preamble = 20) {
    std::string raw(preamble, '\x07');
    for (char c : name) raw += std::string{c, '\0'};
    return b64(raw + std::string(2, '\0'));
}

// A P2P payload whose SLP request starts `offset` bytes into the body.
std::string p2p_payload(size_t offset, const std::string &slp_body, unsigned char fill = 0) {
    std::string body(offset, static_cast<char>(fill));
    body += "INVITE MSNMSGR:bob@example.com MSNSLP/1.0\r\n"
            "To: <msnmsgr:bob@example.com>\r\n"
            "From: <msnmsgr:alice@example.com>\r\n"
            "Content-Type: application/x-msnmsgr-sessionreqbody\r\n"
            "\r\n" +
            slp_body;
    body += std::string(1, '\0');
    body += std::string(4, '\0');  // footer
    return "MIME-Version: 1.0\r\nContent-Type: application/x-msnmsgrp2p\r\n"
           "P2P-Dest: carol@example.com\r\n\r\n" +
           body;
}

const std::string kFtGuid = "{5D3E02AB-6190-11D3-BBBB-00C04F795683}";

}  // namespace

// Names the tables are read with: case ignored, the odd forms kept.
TEST(MessageTables, NamesMatchWithoutCaseAndKeepTheirOddForms) {
    char invite[] = "INVITE MSNMSGR:x", bye[] = "BYE", by[] = "BY", ack[] = "ACK";
    struct { int got, want; } cases[] = {
        {msnp_message_code_symbol("Text/Plain"), MSNP_MESSAGE_TEXTPLAIN},
        {msnp_message_code_symbol("text/plainx"), MSNP_MESSAGE_UNKNOWN},
        {msnp_message_code_symbol(""), MSNP_MESSAGE_ALL},
        {msnp_message_code_symbol(nullptr), MSNP_MESSAGE_UNKNOWN},
        {msnp_invite_code_symbol("{5d3e02ab-6190-11d3-bbbb-00c04f795683}"), MSNP_INVITE_FILETRANSFER},
        {msnp_invite_code_symbol("2A23868E-B45F-401d-B8B0-1E16B774A5B7"), MSNP_INVITE_WEBCAM},
        {msnp_invite_code_symbol("{2A23868E-B45F-401d-B8B0-1E16B774A5B7}"), MSNP_INVITE_UNKNOWN},
        {msnp_invite_code_symbol("{41FD0FA-2942-4DC4-B4C5-73D2C55F4C94}"), MSNP_INVITE_MECHWARRIOR},
        {msnp_invite_code_symbol(nullptr), MSNP_INVITE_UNKNOWN},
        {msnp_slp_command_code_symbol(invite), MSNP_SLP_COMMAND_INVITE},
        {msnp_slp_command_code_symbol(bye), MSNP_SLP_COMMAND_BYE},
        {msnp_slp_command_code_symbol(by), MSNP_SLP_COMMAND_UNKNOWN},
        {msnp_slp_command_code_symbol(ack), MSNP_SLP_COMMAND_UNKNOWN},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].got, cases[i].want) << "case " << i;
}

// ---------------------------------------------------------------------
// Header lines and command words

/* Read as mail readers read them: names without regard to case, the
 * value after the first colon with or without blanks, LF or CR LF. */
TEST(HeaderLines, NameValueLinesLastRepeatWinsAndSixtyThreeAtMost) {
    char text[] = "A: 1\r\nB:2\r\n\r\nC: three: four\r\nnoise\nX: first\r\nx : second \nX:\tthird";
    tqtable *t = header_to_table(text);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(header_value(t, "A"), "1");
    EXPECT_STREQ(header_value(t, "a"), "1");
    EXPECT_STREQ(header_value(t, "B"), "2");
    EXPECT_STREQ(header_value(t, "C"), "three: four");
    EXPECT_STREQ(header_value(t, "X"), "third");
    EXPECT_EQ(tqtable_count(t), 4u);
    tqtable_destroy(t);
    EXPECT_EQ(header_to_table(nullptr), nullptr);

    std::string many;
    for (int i = 0; i < 70; ++i) many += "H" + std::to_string(i) + ": v\r\n";
    t = header_to_table(many.data());
    ASSERT_NE(t, nullptr);
    EXPECT_NE(header_value(t, "H0"), nullptr);
    EXPECT_NE(header_value(t, "H61"), nullptr);
    EXPECT_EQ(header_value(t, "H65"), nullptr);
    tqtable_destroy(t);
}

TEST(CommandWords, WordOfTheFirstLine) {
    char line[] = "MSG alice Alice 120\r\nMIME-Version: 1.0";
    EXPECT_STREQ(fetch_user_from_preheader(line, 1), "alice");
    char line2[] = "MSG alice Alice 120";
    EXPECT_STREQ(fetch_user_from_preheader(line2, 3), "120");
    char line3[] = "MSG alice Alice 120";
    EXPECT_EQ(fetch_user_from_preheader(line3, 4), nullptr);
    char two[] = "OUT OTH";
    EXPECT_EQ(fetch_user_from_preheader(two, 1), nullptr);
    char tabbed[] = "UUM\t7\tbob 5";
    EXPECT_STREQ(fetch_user_from_preheader(tabbed, 2), "bob");
    EXPECT_EQ(fetch_user_from_preheader(nullptr, 0), nullptr);
}

TEST(HandleNormalisation, StripsNetworkPrefixAndEndpoint) {
    struct { const char *in, *out; } cases[] = {
        {"1:user@example.com;{0b7b1e25-7a5f-4c8c-9c3a-0d1ad3f4a001}", "user@example.com"},
        {"bob;{guid}", "bob"},
        {"user:", "user:"},
        {"plain", "plain"},
        {"32:a:b;c", "a:b"},
        {"", ""},
    };
    for (auto &c : cases) {
        char *got = msnp_normalize_msnp16_guid(c.in);
        ASSERT_NE(got, nullptr) << c.in;
        EXPECT_STREQ(got, c.out) << c.in;
        free(got);
    }
    EXPECT_EQ(msnp_normalize_msnp16_guid(nullptr), nullptr);
}

// ---------------------------------------------------------------------
// Parsing commands

const std::string kTextPayload =
    "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\nhello";

TEST(MessageParse, SenderAndDestinationByDirectionCommandAndP2PDest) {
    const std::string p2p = "MIME-Version: 1.0\r\nContent-Type: text/plain\r\nP2P-Dest: ";
    const std::string carol = "Content-Type: text/plain\r\nP2P-Dest: carol\r\n\r\nhi";
    struct { std::string text; msnp_opcode op; const char *dest; } cases[] = {
        {with_length("MSG 5 N", kTextPayload), MSN_OPCODE_MSG, nullptr},  // client MSG: no handles
        {"UUM 7 bob 32 1 80\r\n" + kTextPayload, MSN_OPCODE_UUM, "bob"},
        {"UUM 7 bob 32 1 " + std::to_string(carol.size()) + "\r\n" + carol, MSN_OPCODE_UUM, "bob"},  // not P2P-Dest
        {with_length("MSG 3 N", p2p + "1:bob;{0a1b}\r\n\r\nhi"), MSN_OPCODE_MSG, "bob"},
        {with_length("MSG 3 N", p2p + "bob;{0a1b}\r\n\r\nhi"), MSN_OPCODE_MSG, "bob"},
        {with_length("MSG 3 N", p2p + "bob\r\n\r\nhi"), MSN_OPCODE_MSG, "bob"},
    };
    for (auto &cs : cases) {
        Command c(cs.text, DIR_CLIENT_TO_SERVER, cs.op);
        msnp_message *m = c.parse();
        ASSERT_NE(m, nullptr) << cs.text;
        EXPECT_EQ(m->orig, nullptr) << cs.text;
        EXPECT_STREQ(m->dest, cs.dest) << cs.text;
        EXPECT_EQ(m->ctype, MSNP_MESSAGE_TEXTPLAIN) << cs.text;
    }
}

TEST(MessageParse, FirstLineIsAlwaysTheCommandLine) {
    // Without a command line the first header line is taken for it, and a
    // message without a type is read as text.
    Command c("Content-Type: text/x-msmsgscontrol\r\nTypingUser: a\r\n\r\n", DIR_SERVER_TO_CLIENT);
    msnp_message *m = c.parse();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->ctype, MSNP_MESSAGE_TEXTPLAIN);
    EXPECT_STREQ(header_value(m->header, "TypingUser"), "a");
    EXPECT_EQ(header_value(m->header, "Content-Type"), nullptr);
}

/* The type and the body as a mail reader finds them; what has no type,
 * or one we do not know, is read as text so that expressions see it. */
TEST(MessageParse, ContentTypeAndBodyAsMailReadersFindThem) {
    const std::string nul_body("hello\0secret", 12);
    struct { std::string payload; msnp_message_code ctype; std::string body; } cases[] = {
        {"Content-Type:text/plain\r\n\r\nhi", MSNP_MESSAGE_TEXTPLAIN, "hi"},
        {"MIME-Version: 1.0\r\nContent-Type: \r\n\r\nhi", MSNP_MESSAGE_TEXTPLAIN, "hi"},
        {"content-type: TEXT/PLAIN\r\n\r\nhi", MSNP_MESSAGE_TEXTPLAIN, "hi"},
        {"Content-Type: text/x-msmsgscontrol ;charset=x\r\n\r\nhi", MSNP_MESSAGE_CONTROL, "hi"},
        {"Content-Type: text/x-msmsgscontrol\n\nhi", MSNP_MESSAGE_CONTROL, "hi"},
        {"Content-Type: text/x-msmsgscontrol\r\n\nhi", MSNP_MESSAGE_CONTROL, "hi"},
        {"Content-Type: application/x-unheard-of\r\n\r\nhi", MSNP_MESSAGE_TEXTPLAIN, "hi"},
        {"Content-Type: text/x-msmsgscontrol\r\nTypingUser: a\r\n", MSNP_MESSAGE_TEXTPLAIN,
         "Content-Type: text/x-msmsgscontrol\r\nTypingUser: a\r\n"},
        {"\r\nsecret", MSNP_MESSAGE_TEXTPLAIN, "secret"},
        {"Content-Type: text/plain\r\n\r\n" + nul_body, MSNP_MESSAGE_TEXTPLAIN, "hello secret"},
    };
    for (auto &cs : cases) {
        Command c(with_length("MSG alice Alice", cs.payload), DIR_SERVER_TO_CLIENT);
        msnp_message *m = c.parse();
        ASSERT_NE(m, nullptr) << cs.payload;
        EXPECT_EQ(m->ctype, cs.ctype) << cs.payload;
        EXPECT_EQ(std::string(m->content, m->content_len), cs.body) << cs.payload;
    }
}

TEST(MessageParse, InvitationWithLowerCaseGuid) {
    std::string payload =
        "MIME-Version: 1.0\r\nContent-Type: text/x-msmsgsinvite; charset=UTF-8\r\n\r\n"
        "Application-Name: File Transfer\r\n"
        "Application-GUID: {5d3e02ab-6190-11d3-bbbb-00c04f795683}\r\n"
        "Invitation-Command: INVITE\r\nApplication-File: report.pdf\r\n"
        "P2P-Dest: 1:dave@example.com;{ep}\r\n\r\n";
    Command c(with_length("MSG 9 N", payload), DIR_CLIENT_TO_SERVER);
    msnp_message *m = c.parse();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->ctype, MSNP_MESSAGE_INVITE);
    EXPECT_EQ(m->itype, MSNP_INVITE_FILETRANSFER);
    EXPECT_STREQ(m->ft_name, "report.pdf");
    EXPECT_STREQ(m->dest, "dave@example.com");
    EXPECT_STREQ(header_value(m->subheader, "Invitation-Command"), "INVITE");
}

// ---------------------------------------------------------------------
// P2P payloads

std::string slp_body_with(const std::string &guid, const std::string &context) {
    return "EUF-GUID: " + guid + "\r\nSessionID: 4711\r\nAppID: 2\r\nContext: " + context + "\r\n\r\n";
}

/* The SLP request is looked for up to byte 49 of the body; its context
 * names the file, for file transfers only, and hostile base64 stays inside
 * the decoded data. `name` null: no name; "?" any name within bounds. */
TEST(MessageP2P, TheRequestWithinByte49NamesTheInvitationAndTheFile) {
    const std::string picture = "{A4268EEC-FEC5-49E5-95C3-F126696BDBF6}";
    struct { size_t at; std::string guid, ctx; msnp_invite_code itype; const char *name; } cases[] = {
        {49, kFtGuid, "AAAA", MSNP_INVITE_FILETRANSFER, "?"},
        {50, kFtGuid, "AAAA", MSNP_INVITE_UNKNOWN, nullptr},
        {48, kFtGuid, ft_context("abc"), MSNP_INVITE_FILETRANSFER, "abc"},
        {48, picture, ft_context("abc"), MSNP_INVITE_PICTURE, nullptr},
        {48, kFtGuid, std::string(61, 'Q') + "=x=", MSNP_INVITE_FILETRANSFER, "?"},
        {48, kFtGuid, std::string(27, 'Q') + "=", MSNP_INVITE_FILETRANSFER, "?"},
        {48, kFtGuid, std::string(30, 'Q'), MSNP_INVITE_FILETRANSFER, "?"},
    };
    for (auto &cs : cases) {
        SCOPED_TRACE(cs.ctx + " at " + std::to_string(cs.at));
        Command c(with_length("MSG 4 D", p2p_payload(cs.at, slp_body_with(cs.guid, cs.ctx))), DIR_CLIENT_TO_SERVER);
        msnp_message *m = c.parse();
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->ctype, MSNP_MESSAGE_P2P);
        EXPECT_EQ(m->itype, cs.itype);
        EXPECT_STREQ(m->dest, "carol@example.com");
        EXPECT_EQ(m->subslp != nullptr, cs.at < 50);
        if (!cs.name) {
            EXPECT_EQ(m->ft_name, nullptr);
        } else if (std::string(cs.name) != "?") {
            EXPECT_STREQ(m->ft_name, cs.name);
        } else if (cs.ctx != "AAAA") {
            ASSERT_NE(m->ft_name, nullptr);
            EXPECT_LE(strlen(m->ft_name), (cs.ctx.size() * 3 / 4 - 20) / 2 + 1);
        }
        if (cs.at == 49) {
            EXPECT_STREQ(header_value(m->subheader, "To"), "<msnmsgr:bob@example.com>");
            EXPECT_EQ(m->slp_euf_guid, MSNP_INVITE_FILETRANSFER);
            EXPECT_STREQ(m->slp_sessionid, "4711");
            EXPECT_STREQ(m->slp_appid, "2");
            EXPECT_STREQ(m->slp_context, "AAAA");
        }
    }
    // A name that runs to the end of the decoded data stops there.
    std::string unterminated(20, 'x');
    for (int i = 0; i < 8; ++i) unterminated += std::string("z\x01", 2);
    Command end(with_length("MSG 4 D", p2p_payload(48, slp_body_with(kFtGuid, b64(unterminated)))), DIR_CLIENT_TO_SERVER);
    ASSERT_NE(end.parse(), nullptr);
    EXPECT_STREQ(end.msg->ft_name, "zzzzzzzz");
    for (const std::string &ctx : {std::string("!!!!"), std::string("QUJD"), std::string("="),
                                   std::string("QUJDREVGR0g="), ft_context("", 19),
                                   std::string(64, '*'), std::string(80, '=')}) {
        Command bad(with_length("MSG 4 D", p2p_payload(48, slp_body_with(kFtGuid, ctx))), DIR_CLIENT_TO_SERVER);
        ASSERT_NE(bad.parse(), nullptr);
        EXPECT_TRUE(bad.msg->ft_name == nullptr || bad.msg->ft_name[0] == '\0') << ctx;
    }
}

TEST(MessageP2P, BodiesWithoutACompleteSlpRequest) {
    const std::string head = "Content-Type: application/x-msnmsgrp2p\r\n\r\n";
    struct { std::string body; msnp_message_code ctype; } cases[] = {
        {"\x40" + std::string(60, '\0'), MSNP_MESSAGE_INK},                      // ink, no SLP
        {std::string(10, '\0') + "INVITE MSNMSGR:bob", MSNP_MESSAGE_P2P},        // method line without line end
        {std::string(5, '\0') + "INVIT", MSNP_MESSAGE_P2P},                      // partial method at the very end
    };
    for (auto &cs : cases) {
        Command c(with_length("MSG 4 D", head + cs.body), DIR_CLIENT_TO_SERVER);
        msnp_message *m = c.parse();
        ASSERT_NE(m, nullptr) << cs.body;
        EXPECT_EQ(m->ctype, cs.ctype) << cs.body;
        EXPECT_EQ(m->subheader, nullptr) << cs.body;
        EXPECT_EQ(m->subslp, nullptr) << cs.body;
    }
}

// ---------------------------------------------------------------------
// Hostile input: every prefix and random bytes, checked under ASan.

TEST(MessageRobustness, EveryTruncationOfValidCommands) {
    std::vector<std::string> commands = {
        with_length("MSG alice Alice", kTextPayload),
        with_length("MSG 4 D", p2p_payload(48, slp_body_with(kFtGuid, ft_context("abc")))),
        "UUM 7 bob 32 1 80\r\n" + kTextPayload,
        with_length("MSG a A", "Content-Type: text/x-msnmsgr-datacast\r\n\r\nID: 1\r\n\r\n"),
    };
    for (const std::string &full : commands) {
        for (size_t len = 0; len <= full.size(); ++len) {
            for (conn_direction dir : {DIR_SERVER_TO_CLIENT, DIR_CLIENT_TO_SERVER}) {
                Command c(full.substr(0, len), dir, MSN_OPCODE_UUM);
                msnp_message *m = c.parse();
                if (m) {
                    EXPECT_NE(m->basecontent, nullptr);
                }
                /* The bytes are what goes out: the parse cuts only copies. */
                EXPECT_EQ(std::string(c.bytes, len), full.substr(0, len));
            }
        }
    }
}

TEST(MessageRobustness, RandomBytesAfterValidHeaders) {
    std::mt19937 rng(12345);
    const char *heads[] = {"Content-Type: application/x-msnmsgrp2p\r\n\r\n",
                           "Content-Type: text/x-msmsgsinvite\r\n\r\n",
                           "Content-Type: text/x-msnmsgr-datacast\r\n\r\n", "Content-Type: \r\n\r\n"};
    const char alphabet[] = "INVITEBYE:\r\n @\x40\x00=abc";
    for (int round = 0; round < 400; ++round) {
        std::string payload = heads[round % 4];
        size_t n = rng() % 120;
        for (size_t i = 0; i < n; ++i)
            payload += (rng() % 3 == 0) ? static_cast<char>(rng() & 0xFF)
                                        : alphabet[rng() % (sizeof alphabet - 1)];
        Command c(with_length("MSG x X", payload), round % 2 ? DIR_CLIENT_TO_SERVER : DIR_SERVER_TO_CLIENT);
        msnp_message *m = c.parse();
        ASSERT_NE(m, nullptr);
    }
}

TEST(MessageRobustness, NullAndEmptyTasksGiveNoRecord) {
    EXPECT_EQ(new_msnp_message(nullptr), nullptr);
    task_struct t{};
    EXPECT_EQ(new_msnp_message(&t), nullptr);
    destroy_msnp_message(nullptr);
    Command c("", DIR_SERVER_TO_CLIENT);
    EXPECT_EQ(c.parse(), nullptr);

    /* A record filled by hand (as notifications are) leaves most fields
     * null; releasing it must free what is there and nothing else. */
    msnp_message *m = static_cast<msnp_message *>(calloc(1, sizeof(msnp_message)));
    m->basecontent = strdup("UBN bob 1 5\r\nhello");
    m->content = m->basecontent + 13;
    m->orig = strdup("bob");
    destroy_msnp_message(m);
}

