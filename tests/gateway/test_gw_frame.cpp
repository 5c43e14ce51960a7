#include <gtest/gtest.h>

#include <string>

#include "msnp_frame.h"

namespace {

gw::FrameScan scan(const std::string &s)
{
    return gw::scan_msnp_commands(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

// Length of the first command of `text` when more bytes follow it.
size_t first_command(const std::string &text)
{
    return scan(text + std::string(4096, '#')).complete;
}

} // namespace

TEST(MsnpFrame, HeaderFormsAnnounceTheirPayload)
{
    struct Case {
        std::string header; // without CR LF
        size_t payload;
    } cases[] = {
        {"MSG alice@example.com Alice 12", 12},
        {"MSG 4 N 3", 3},
        {"MSG 4 N x3", 0},  // the length must be a number
        {"MSG 4 N", 0},     // too few words
        {"MSG 4 N 7junk", 7}, // the length is read from its leading digits
        {"MSG 4 N -5", 0},
        {"UUX 9 20", 20},
        {"UUX x 20", 0},
        {"UBN bob@example.org 1 15", 15},
        {"PGD 3 +15551234 1 8", 8},
        {"PAG 3 bob@example.org 9", 9},
        {"IPG 11", 11},
        {"NOT 6", 6},
        {"ADL 7 30", 30},
        {"RML 8 31", 31},
        {"UUM 5 bob@example.org 32 1 4", 4},
        {"UBM bob@example.org 32 1 5", 5},
        {"FQY 10 40", 40},
        {"GCF 0 16", 16},               // transaction 0: a payload
        {"GCF 5 Shields.xml", 0},       // otherwise a file name
        {"GCF 5 Shields.xml 21", 21},   // three blanks
        {"GCF 5", 0},
        {"UBX bob@example.org 6", 6},
        {"UBX bob@example.org 1 7", 7},
        {"UUN 5 bob@example.org 1 9", 9},
        {"UUN 5 bob@example.org", 0},
        {"QRY 9", 0},
        {"QRY 9 PROD0090YUAUV{2B 32", 32},
        {"SDC 3 OK", 0},
        {"SDC 3 a@b.c 0x0409 MSMSGS WindowsMessenger X Y Z 10", 10},
        {"CHG 6 NLN 0", 0},
        {"ILN 6 NLN bob@example.org Bob 268435492", 0},
        {"USR 4 OK alice@example.com Alice 1 0", 0},
        {"MS", 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(first_command(c.header + "\r\n"), c.header.size() + 2 + c.payload) << c.header;
    }
}

TEST(MsnpFrame, CompletePrefixAndIncompleteTail)
{
    const std::string ver = "VER 1 MSNP8 CVR0\r\n";
    const std::string msg = "MSG 2 N 15\r\nab\r\nMSG 3 N 9\r\n"; // CR LF inside the payload
    struct Case {
        std::string bytes;
        size_t complete;
        bool awaits;
    } cases[] = {
        {"", 0, false},
        {ver, ver.size(), false},
        {ver + msg, ver.size() + msg.size(), false},
        {ver + msg.substr(0, 20), ver.size(), false},
        {msg.substr(0, 12), 0, true},        // header whole, payload short
        {msg.substr(0, 8), 0, false},        // header line not finished
        {ver + "PNG\r", ver.size(), false},  // CR without its LF
        {"PNG\rX\r\n", 7, false},            // a lone CR inside a line
        {"\r\n\r\n", 4, false},
        {"\x80\x81 binary\r\nmore", 11, false},
    };
    for (const auto &c : cases) {
        gw::FrameScan s = scan(c.bytes);
        EXPECT_EQ(s.complete, c.complete) << c.bytes;
        EXPECT_EQ(s.first_awaits_payload, c.awaits) << c.bytes;
    }
    // A length far beyond anything that can arrive never wraps around.
    gw::FrameScan huge = scan("MSG 1 N 99999999999999999999999999\r\nabc");
    EXPECT_EQ(huge.complete, 0u);
    EXPECT_TRUE(huge.first_awaits_payload);
}
