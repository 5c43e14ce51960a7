#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "utils.h"

namespace {

using W = std::vector<std::string>;

W explode(std::string text, int max, const char *seps, char quote = 0)
{
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    std::vector<char *> words(max > 0 ? max + 1 : 1, nullptr);
    int n = strexplode(buf.data(), words.data(), max, seps, quote);
    W out(words.begin(), words.begin() + n);
    EXPECT_EQ(words[max > 0 ? max : 0], nullptr) << "wrote past max";
    return out;
}

} // namespace

TEST(Strexplode, SplitsSkippingEmptiesAndHonouringQuotes)
{
    struct Case { const char *text; const char *seps; char quote; W words; };
    const std::vector<Case> cases = {
        {"/a//b/", "/", 0, {"a", "b"}},
        {"  USR  1 \r\n", " \r\n", 0, {"USR", "1"}},
        {"////", "/", 0, {}},
        {"", "/", 0, {}},
        {"add \"John Smith\" x", " ", '"', {"add", "\"John Smith\"", "x"}},
        {"a\"b c\"", " ", '"', {"a\"b", "c\""}},             // a quote inside a word does not start quoting
        {"x \"open ended", " ", '"', {"x", "\"open ended"}}, // unterminated quote runs to the end
        {"\"a b\"c d", " ", '"', {"\"a b\"c", "d"}},         // text glued to the closing quote
        {"\"a b\"", " ", 0, {"\"a", "b\""}},                 // no quote character: ordinary bytes
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(explode(c.text, 10, c.seps, c.quote), c.words);
    }
}

TEST(Strexplode, StopsAtLimitAndRefusesNullArguments)
{
    char buf[] = "a b c d";
    char *w[3] = {nullptr, nullptr, nullptr};
    EXPECT_EQ(strexplode(buf, w, 2, " ", 0), 2);
    EXPECT_STREQ(w[0], "a");
    EXPECT_STREQ(w[1], "b");
    EXPECT_EQ(w[2], nullptr);
    EXPECT_STREQ(buf + 4, "c d");  // past the limit: untouched
    EXPECT_EQ(explode("a b", 0, " "), W{});

    char text[] = "a b";
    EXPECT_EQ(strexplode(nullptr, w, 2, " ", 0), 0);
    EXPECT_EQ(strexplode(text, nullptr, 2, " ", 0), 0);
    EXPECT_EQ(strexplode(text, w, 2, nullptr, 0), 1);
    EXPECT_STREQ(w[0], "a b");
}

// Haystacks where the needle's first byte is everywhere (the search then
// filters by both ends, sixteen places at a time), cut at every length
// around those blocks: the answer is always the first occurrence, and no
// byte past the haystack is read (each one is a heap block of its own
// length, watched by the sanitizer build).
TEST(Memmem, AgreesWithAPlainSearchWhereTheFirstByteIsCommon)
{
    uint32_t seed = 7;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    for (int round = 0; round < 3000; ++round) {
        size_t len = next() % 90;
        std::string text(len, 'a');
        for (char &c : text)
            c = "aab"[next() % 3];
        std::string needle(1 + next() % 7, 'a');
        for (size_t k = 1; k < needle.size(); ++k)
            needle[k] = "ab"[next() % 2];
        std::vector<char> hay(text.begin(), text.end());
        const char *base = hay.empty() ? "" : hay.data();
        size_t at = text.find(needle);
        const void *want = needle.size() > len || at == std::string::npos ? nullptr : base + at;
        ASSERT_EQ(memmem_local(base, len, needle.data(), needle.size()), want) << text << " / " << needle;
    }
}

TEST(SanitizeUtf8, ReplacesEachBadByteAndKeepsWellFormedText)
{
    struct Case { const char *in; int replaced; const char *out; };
    const std::vector<Case> cases = {
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\t\r\n", 0, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\t\r\n"},
        {"ab\xE2\x82", 2, "ab??"},            // truncated at the end
        {"\xC3x", 1, "?x"},                   // truncated in the middle
        {"\xF0\x9F\x98", 3, "???"},
        {"\xC0\xAF", 2, "??"},                // overlong '/'
        {"\xE0\x80\xAF", 3, "???"},           // overlong, three bytes
        {"\xED\xA0\x80", 3, "???"},           // surrogate
        {"\xF4\x90\x80\x80", 4, "????"},      // above U+10FFFF
        {"a\xFF", 1, "a?"},
        {"\x80z", 1, "?z"},                   // lone continuation byte
        {"a\x01" "b\x1B\x7F" "c", 3, "a?b??c"}, // control bytes
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        std::string buf = c.in;
        EXPECT_EQ(sanitize_utf8_string(buf.data()), c.replaced);
        EXPECT_STREQ(buf.c_str(), c.out);
    }
    EXPECT_EQ(sanitize_utf8_string(nullptr), 0);
}

TEST(RangeHourMinute, AcceptsBoundsAndBlanksAroundDashOnly)
{
    struct Case { const char *text; int a, b, c, d; };
    for (const Case &k : {Case{"0:00-23:59", 0, 0, 23, 59}, Case{"08:30 - 17:05", 8, 30, 17, 5}}) {
        SCOPED_TRACE(k.text);
        int a = -1, b = -1, c = -1, d = -1;
        ASSERT_EQ(range_hourminute(k.text, &a, &b, &c, &d), 1);
        EXPECT_EQ((std::vector<int>{a, b, c, d}), (std::vector<int>{k.a, k.b, k.c, k.d}));
    }
    int a = 7, b = 7, c = 7, d = 7;
    for (const char *bad : {"0:00-24:00", "24:00-1:00", "0:60-1:00", "1:00-2:5", "1:00", "1:00-",
                            "1:00-2:00x", "1:00--2:00", "123:00-1:00", "a:00-1:00", "", "1:000-2:00"})
        EXPECT_EQ(range_hourminute(bad, &a, &b, &c, &d), 0) << bad;
    EXPECT_EQ(a, 7);
    EXPECT_EQ(range_hourminute(nullptr, &a, &b, &c, &d), 0);
}

TEST(Strl, CopyAndCatTruncateAndReportWantedLength)
{
    char buf[6];
    EXPECT_EQ(strlcpy(buf, "abcdefgh", sizeof buf), 8u);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(strlcpy(buf, "ab", sizeof buf), 2u);
    EXPECT_EQ(strlcat(buf, "cdefg", sizeof buf), 7u);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(strlcpy(buf, "zz", 0), 2u);
    EXPECT_STREQ(buf, "abcde");
    char full[3] = {'x', 'y', 'z'};  // no NUL inside size
    EXPECT_EQ(strlcat(full, "ab", sizeof full), 5u);
    EXPECT_EQ(full[2], 'z');
}

TEST(HostAddress, ReadsDottedQuadInNetworkOrder)
{
    uint32_t addr = 0;
    ASSERT_EQ(host_address("10.1.2.3", &addr), 1);
    EXPECT_EQ(ntohl(addr), 0x0A010203u);
    for (const char *bad : {"256.1.1.1", "10.1.2", "host.example", static_cast<const char *>(nullptr)})
        EXPECT_EQ(host_address(bad, &addr), 0) << (bad ? bad : "null");
}
