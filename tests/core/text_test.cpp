#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "utils.h"

namespace {

std::vector<std::string> explode(std::string text, int max, const char *seps, char quote = 0)
{
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    std::vector<char *> words(max > 0 ? max + 1 : 1, nullptr);
    int n = strexplode(buf.data(), words.data(), max, seps, quote);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i)
        out.emplace_back(words[i]);
    if (max >= 0) {
        EXPECT_EQ(words[max > 0 ? max : 0], nullptr) << "wrote past max";
    }
    return out;
}

using W = std::vector<std::string>;

} // namespace

TEST(Strexplode, SkipsEmptyComponents)
{
    EXPECT_EQ(explode("/a//b/", 10, "/"), (W{"a", "b"}));
    EXPECT_EQ(explode("  USR  1 \r\n", 10, " \r\n"), (W{"USR", "1"}));
    EXPECT_EQ(explode("////", 10, "/"), W{});
    EXPECT_EQ(explode("", 10, "/"), W{});
}

TEST(Strexplode, StopsAtLimitAndLeavesTheRestUncut)
{
    std::string text = "a b c d";
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    char *w[3] = {nullptr, nullptr, nullptr};
    EXPECT_EQ(strexplode(buf.data(), w, 2, " ", 0), 2);
    EXPECT_STREQ(w[0], "a");
    EXPECT_STREQ(w[1], "b");
    EXPECT_EQ(w[2], nullptr);
    EXPECT_STREQ(buf.data() + 4, "c d");  // past the limit: untouched
    EXPECT_EQ(explode("a b", 0, " "), W{});
}

TEST(Strexplode, QuotedWordKeepsSeparatorsAndQuotes)
{
    EXPECT_EQ(explode("add \"John Smith\" x", 10, " ", '"'), (W{"add", "\"John Smith\"", "x"}));
    // A quote inside a word does not start quoting.
    EXPECT_EQ(explode("a\"b c\"", 10, " ", '"'), (W{"a\"b", "c\""}));
    // Unterminated quote runs to the end.
    EXPECT_EQ(explode("x \"open ended", 10, " ", '"'), (W{"x", "\"open ended"}));
    // Text glued to the closing quote belongs to the same word.
    EXPECT_EQ(explode("\"a b\"c d", 10, " ", '"'), (W{"\"a b\"c", "d"}));
    // Without a quote character, quotes are ordinary bytes.
    EXPECT_EQ(explode("\"a b\"", 10, " "), (W{"\"a", "b\""}));
}

TEST(Strexplode, NullArgumentsGiveNoWords)
{
    char *w[2];
    char text[] = "a b";
    EXPECT_EQ(strexplode(nullptr, w, 2, " ", 0), 0);
    EXPECT_EQ(strexplode(text, nullptr, 2, " ", 0), 0);
    EXPECT_EQ(strexplode(text, w, 2, nullptr, 0), 1);
    EXPECT_STREQ(w[0], "a b");
}

TEST(Dequote, RemovesOneEnclosingPair)
{
    char a[] = "\"hello\"";
    EXPECT_STREQ(dequote(a, '"'), "hello");
    char b[] = "\"\"";
    EXPECT_STREQ(dequote(b, '"'), "");
    char c[] = "\"";  // one char: both ends are the same byte, not a pair
    EXPECT_STREQ(dequote(c, '"'), "\"");
    char d[] = "\"half";
    EXPECT_STREQ(dequote(d, '"'), "\"half");
    char e[] = "''x''";
    EXPECT_STREQ(dequote(e, '\''), "'x'");
    char f[] = "";
    EXPECT_STREQ(dequote(f, '"'), "");
    EXPECT_EQ(dequote(nullptr, '"'), nullptr);
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

TEST(Memmem, FindsFirstOccurrenceWithinBounds)
{
    const char hay[] = "abcabc\0abd";
    EXPECT_EQ(memmem_local(hay, 10, "abc", 3), hay);
    EXPECT_EQ(memmem_local(hay, 10, "abd", 3), hay + 7);
    EXPECT_EQ(memmem_local(hay, 9, "abd", 3), nullptr);  // would end past hay_len
    EXPECT_EQ(memmem_local(hay, 10, "", 0), nullptr);
    EXPECT_EQ(memmem_local(hay, 2, "abc", 3), nullptr);
    EXPECT_EQ(memmem_local(hay, 10, "c\0a", 3), hay + 5);
}

TEST(CountChar, CountsOccurrences)
{
    EXPECT_EQ(count_char_from_string("a,b,,c", ','), 3);
    EXPECT_EQ(count_char_from_string("abc", ','), 0);
    EXPECT_EQ(count_char_from_string(nullptr, ','), 0);
    EXPECT_EQ(count_char_from_string("abc", '\0'), 0);
}

TEST(SanitizeUtf8, KeepsWellFormedText)
{
    char s[] = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\t\r\n";
    EXPECT_EQ(sanitize_utf8_string(s), 0);
    EXPECT_STREQ(s, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\t\r\n");
}

TEST(SanitizeUtf8, ReplacesTruncatedSequences)
{
    char end[] = "ab\xE2\x82";  // euro sign cut short at the end
    EXPECT_EQ(sanitize_utf8_string(end), 2);
    EXPECT_STREQ(end, "ab??");
    char mid[] = "\xC3x";
    EXPECT_EQ(sanitize_utf8_string(mid), 1);
    EXPECT_STREQ(mid, "?x");
    char four[] = "\xF0\x9F\x98";
    EXPECT_EQ(sanitize_utf8_string(four), 3);
    EXPECT_STREQ(four, "???");
}

TEST(SanitizeUtf8, ReplacesOverlongSurrogatesAndOutOfRange)
{
    char overlong2[] = "\xC0\xAF";      // '/' in two bytes
    EXPECT_EQ(sanitize_utf8_string(overlong2), 2);
    EXPECT_STREQ(overlong2, "??");
    char overlong3[] = "\xE0\x80\xAF";
    EXPECT_EQ(sanitize_utf8_string(overlong3), 3);
    char surrogate[] = "\xED\xA0\x80";
    EXPECT_EQ(sanitize_utf8_string(surrogate), 3);
    char toobig[] = "\xF4\x90\x80\x80";  // above U+10FFFF
    EXPECT_EQ(sanitize_utf8_string(toobig), 4);
    char ff[] = "a\xFF";
    EXPECT_EQ(sanitize_utf8_string(ff), 1);
    EXPECT_STREQ(ff, "a?");
    char lone[] = "\x80z";
    EXPECT_EQ(sanitize_utf8_string(lone), 1);
}

TEST(SanitizeUtf8, ReplacesControlBytes)
{
    char s[] = "a\x01" "b\x1B\x7F" "c";
    EXPECT_EQ(sanitize_utf8_string(s), 3);
    EXPECT_STREQ(s, "a?b??c");
    EXPECT_EQ(sanitize_utf8_string(nullptr), 0);
}

TEST(DataFormat, PatternRunsToTheLastDelimiter)
{
    char a[] = "/a/b/i";
    char *pat = nullptr, *opt = nullptr;
    ASSERT_EQ(data_format(a, '/', &pat, &opt), 1);
    EXPECT_STREQ(pat, "a/b");
    EXPECT_STREQ(opt, "i");
    char b[] = "/abc/";
    ASSERT_EQ(data_format(b, '/', &pat, &opt), 1);
    EXPECT_STREQ(pat, "abc");
    EXPECT_STREQ(opt, "");
}

TEST(DataFormat, RejectsMalformedTextUntouched)
{
    char *pat = nullptr, *opt = nullptr;
    for (const char *bad : {"abc/i", "/abc", "/", "//i", ""}) {
        std::string copy = bad;
        std::vector<char> buf(copy.begin(), copy.end());
        buf.push_back('\0');
        EXPECT_EQ(data_format(buf.data(), '/', &pat, &opt), 0) << bad;
        EXPECT_STREQ(buf.data(), bad);
    }
    EXPECT_EQ(data_format(nullptr, '/', &pat, &opt), 0);
}

TEST(RangeHourMinute, AcceptsBoundsAndBlanksAroundDash)
{
    int a = -1, b = -1, c = -1, d = -1;
    ASSERT_EQ(range_hourminute("0:00-23:59", &a, &b, &c, &d), 1);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(c, 23);
    EXPECT_EQ(d, 59);
    ASSERT_EQ(range_hourminute("08:30 - 17:05", &a, &b, &c, &d), 1);
    EXPECT_EQ(a, 8);
    EXPECT_EQ(b, 30);
    EXPECT_EQ(c, 17);
    EXPECT_EQ(d, 5);
}

TEST(RangeHourMinute, RejectsOutOfRangeAndJunk)
{
    int a = 7, b = 7, c = 7, d = 7;
    for (const char *bad : {"0:00-24:00", "24:00-1:00", "0:60-1:00", "1:00-2:5", "1:00", "1:00-",
                            "1:00-2:00x", "1:00--2:00", "123:00-1:00", "a:00-1:00", "", "1:000-2:00"})
        EXPECT_EQ(range_hourminute(bad, &a, &b, &c, &d), 0) << bad;
    EXPECT_EQ(a, 7);
    EXPECT_EQ(range_hourminute(nullptr, &a, &b, &c, &d), 0);
}

TEST(HostAddress, ReadsDottedQuadInNetworkOrder)
{
    uint32_t addr = 0;
    ASSERT_EQ(host_address("10.1.2.3", &addr), 1);
    EXPECT_EQ(ntohl(addr), 0x0A010203u);
    EXPECT_EQ(host_address("256.1.1.1", &addr), 0);
    EXPECT_EQ(host_address("10.1.2", &addr), 0);
    EXPECT_EQ(host_address("host.example", &addr), 0);
    EXPECT_EQ(host_address(nullptr, &addr), 0);
}
