// Time windows and expression literals of the generic policy objects.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "msnp/local_time.h"
#include "tq3_msnp.h"
#include "tq3_msnp_objects_generic.h"

namespace {

// 2024-01-08 is a Monday, 2024-01-12 a Friday, 2024-01-13 a Saturday.
const int kYear = 2024, kMonth = 1, kMonday = 8, kFriday = 12, kSaturday = 13, kSunday = 14;

struct Window {
    msnp_time_node *node;
    explicit Window(const char *spec) : node(msnp_object_time_node_from_spec(spec)) {}
    ~Window() { free(node); }
    bool at(int day, int hour, int minute, int second = 0) const {
        return msnp_time_node_match(node, local_time(kYear, kMonth, day, hour, minute, second)) != 0;
    }
};

struct Expr {
    msnp_expr_node *node;
    Expr(idl_parser *idl, const char *text) : node(msnp_expr_node_new(idl, text)) {}
    ~Expr() { msnp_expr_node_destroy(node); }
    bool matches(const char *subject) const {
        return node && node->expr && msnp_expr_node_matches(node, subject, strlen(subject));
    }
};

std::string owned(char *s) {
    std::string out = s ? s : "<null>";
    free(s);
    return out;
}

std::string xml(iks *x) {
    if (!x) return "";
    std::string s = iks_string(iks_stack(x), x);
    iks_delete(x);
    return s;
}

std::vector<std::string> texts(const tqlist *l) {
    std::vector<std::string> out;
    for (; l; l = l->next) out.emplace_back(static_cast<const char *>(l->data));
    return out;
}

class Parser : public ::testing::Test {
protected:
    idl_parser *idl = idl_parser_new();
    ~Parser() override { idl_parser_destroy(idl); }
    std::vector<std::string> warnings() const { return texts(idl->warnings); }
    std::vector<std::string> errors() const { return texts(idl->errors); }
};

// A bare object of a kind, outside the registry, for literal operations.
msnp_object_generic bare(msnp_object_type type) {
    msnp_object_generic g;
    memset(&g, 0, sizeof g);
    g.type = type;
    return g;
}

}  // namespace

// ---------------------------------------------------------------------
// Time literals

TEST(TimeWindow, RelativeWindows) {
    struct Probe { int day, hour, minute, second; bool in; };
    struct Case { const char *spec; long long mask; std::vector<Probe> probes; };  // mask -1: any
    const Case cases[] = {
        {"'month_all,mo,tu,we,th,fr@08:00-18:00'", 0xFFFF | 0x3E0000,
         {{kMonday, 8, 0, 0, true}, {kFriday, 12, 30, 0, true}, {kMonday, 18, 0, 0, true},
          {kMonday, 18, 0, 59, true}, {kMonday, 18, 1, 0, false}, {kMonday, 7, 59, 0, false},
          {kSaturday, 12, 0, 0, false}, {kSunday, 12, 0, 0, false}}},
        // Minute bounds are inclusive; no tokens means every bit.
        {"@09:30-17:15", 0xFFFFFFFF,
         {{kSaturday, 9, 30, 0, true}, {kSaturday, 17, 15, 0, true}, {kSaturday, 9, 29, 0, false},
          {kSaturday, 17, 16, 0, false}}},
        // Weekdays without months never match.
        {"mo,fr@00:00-23:59", -1, {{kMonday, 12, 0, 0, false}, {kFriday, 12, 0, 0, false}}},
        {"month_all,mo,funday@10:00-11:00", 0xFFFF | 0x20000, {}},  // unknown tokens ignored
        {"month_all,sa@", -1,
         {{kSaturday, 0, 0, 0, true}, {kSaturday, 23, 59, 0, true}, {kFriday, 12, 0, 0, false}}},
        {"all,!sa,!su@", -1,
         {{kMonday, 0, 0, 0, true}, {kFriday, 23, 59, 0, true}, {kSaturday, 12, 0, 0, false},
          {kSunday, 12, 0, 0, false}}},
    };
    for (const Case &c : cases) {
        Window w(c.spec);
        ASSERT_NE(w.node, nullptr) << c.spec;
        EXPECT_EQ(w.node->type, 0u) << c.spec;
        if (c.mask >= 0) {
            EXPECT_EQ((unsigned)w.node->time.rel.month_week, (unsigned long long)c.mask) << c.spec;
        }
        for (const Probe &p : c.probes)
            EXPECT_EQ(w.at(p.day, p.hour, p.minute, p.second), p.in)
                << c.spec << " day " << p.day << " " << p.hour << ":" << p.minute << ":" << p.second;
    }
}

TEST(TimeWindow, AbsoluteForms) {
    Window both("1000-2000"), open("'1700000000'"), until("-2000");
    ASSERT_TRUE(both.node && open.node && until.node);
    EXPECT_EQ(both.node->type, 1u);
    EXPECT_EQ(both.node->time.abs.start, 1000);
    EXPECT_EQ(both.node->time.abs.end, 2000);
    EXPECT_EQ(open.node->time.abs.start, 1700000000);
    EXPECT_EQ(open.node->time.abs.end, 0x7FFFFFFF);
    EXPECT_EQ(until.node->time.abs.start, 0);
    EXPECT_EQ(until.node->time.abs.end, 2000);
    EXPECT_TRUE(msnp_time_node_match(both.node, 1000));
    EXPECT_TRUE(msnp_time_node_match(both.node, 2000));
    EXPECT_FALSE(msnp_time_node_match(both.node, 2001));
    EXPECT_TRUE(msnp_time_node_match(open.node, 2000000000));
    EXPECT_FALSE(msnp_time_node_match(open.node, 1699999999));
}

TEST(TimeWindow, UnparsableSpecs) {
    for (const char *spec : {"", "''", "abc", "12x-5", "10-2x", "--5", "mo@25:00-26:00", "@8-9", "mo@x"}) {
        msnp_time_node *n = msnp_object_time_node_from_spec(spec);
        EXPECT_EQ(n, nullptr) << spec;
        free(n);
    }
    EXPECT_EQ(msnp_object_time_node_from_spec(nullptr), nullptr);
}

TEST(TimeWindow, ListMatchesWhenAnyWindowDoes) {
    tqlist *windows = nullptr;
    tqlist_insert_end(&windows, msnp_object_time_node_from_spec("month_all,mo@08:00-09:00"));
    tqlist_insert_end(&windows, msnp_object_time_node_from_spec("month_all,fr@16:00-17:00"));
    EXPECT_TRUE(msnp_time_list_match(windows, local_time(kYear, kMonth, kMonday, 8, 30)));
    EXPECT_TRUE(msnp_time_list_match(windows, local_time(kYear, kMonth, kFriday, 16, 30)));
    EXPECT_FALSE(msnp_time_list_match(windows, local_time(kYear, kMonth, kFriday, 8, 30)));
    EXPECT_FALSE(msnp_time_list_match(nullptr, local_time(kYear, kMonth, kFriday, 8, 30)));
    tqlist_destroy(&windows, nullptr);
}

TEST_F(Parser, TimeLiteralsAddAndDelete) {
    msnp_object_generic t = bare(MSNP_OBJECT_TIME);
    char a[] = "'month_all,mo@08:00-09:00'", b[] = "100-200", bad[] = "soon", other[] = "100-201";
    EXPECT_EQ(msnp_add_object_time_literal(idl, &t, a), 1);
    EXPECT_EQ(msnp_add_object_time_literal(idl, &t, b), 1);
    EXPECT_EQ(msnp_add_object_time_literal(idl, &t, bad), 0);
    EXPECT_EQ(errors(), std::vector<std::string>{"1004: Not a valid time definition: soon"});
    ASSERT_EQ(tqlist_length(static_cast<tqlist *>(t.data)), 2u);
    // Newest first.
    EXPECT_EQ(static_cast<msnp_time_node *>(static_cast<tqlist *>(t.data)->data)->type, 1u);

    EXPECT_EQ(msnp_del_object_time_literal(idl, &t, other), 0);
    EXPECT_EQ(msnp_del_object_time_literal(idl, &t, b), 1);
    EXPECT_EQ(msnp_del_object_time_literal(idl, &t, nullptr), 0);
    EXPECT_EQ(warnings().size(), 1u);
    EXPECT_EQ(warnings()[0].rfind("Invalid time specification: ", 0), 0u);
    char a2[] = "month_all,mo@8:00-9:00";
    EXPECT_EQ(msnp_del_object_time_literal(idl, &t, a2), 1);
    EXPECT_EQ(t.data, nullptr);
}

TEST_F(Parser, TimeEncodingAndDecoding) {
    // Windows are added at the front, and written back in the order added.
    tqlist *windows = nullptr;
    tqlist_insert_begin(&windows, msnp_object_time_node_from_spec("all,!sa,!su@08:05-18:00"));
    tqlist_insert_begin(&windows, msnp_object_time_node_from_spec("5-10"));
    std::string text = xml(msnp_encodedata_object_time(windows));
    EXPECT_EQ(text,
              "<data><time type='relative'>jan,feb,mar,apr,may,jun,jul,aug,sep,oct,nov,dec,mo,tu,we,th,fr"
              "@08:05-18:00</time><time type='absolute'>5-10</time></data>");
    tqlist_destroy(&windows, nullptr);

    int err = 0;
    iks *x = iks_tree("<time type='absolute'>5-10</time>", 0, &err);
    EXPECT_EQ(owned(msnp_decodedata_object_time(idl, x, 0)), "'5-10'");
    iks_delete(x);
    x = iks_tree("<time/>", 0, &err);
    EXPECT_EQ(msnp_decodedata_object_time(idl, x, 0), nullptr);
    iks_delete(x);
    x = iks_tree("<when>1</when>", 0, &err);
    EXPECT_EQ(msnp_decodedata_object_time(idl, x, 0), nullptr);
    iks_delete(x);
    EXPECT_EQ(warnings(), (std::vector<std::string>{"Entry without data", "Not a valid node"}));
}

// ---------------------------------------------------------------------
// Expression literals

TEST_F(Parser, ExprKindsModifiersAndMatching) {
    struct Case {
        const char *text;
        unsigned type, modmask, modifier;  // (modifier & modmask) == modifier
        const char *literal;               // nullptr: not checked
        bool compiled;
        std::vector<const char *> hits, misses;
    };
    const Case cases[] = {
        // Extended with ignorecase cleared again by "I".
        {"/ab+c/eI", 0x40000u, 0x1u, 0u, "ab+c", true, {"xabbbc"}, {"xABBC"}},
        {"/ab+c/", 0x20000u, ~0u, 0u, nullptr, true, {"ab+c"}, {"abbc"}},  // basic by default
        {"/Secret/ib", 0x20000u, ~0u, 0x1u | 0x8u, "Secret", true, {"top SECRET stuff"}, {}},
        {"/*.exe/gf", 0x80000u, ~0u, 0x20u, nullptr, false, {}, {}},
        {"/hi/xhB", 0x10000u, ~0u, 0x10u, nullptr, false, {}, {}},
        {"/a/b/e", 0x40000u, ~0u, 0u, "a/b", true, {}, {}},  // the pattern may hold the delimiter
    };
    for (const Case &c : cases) {
        Expr e(idl, c.text);
        ASSERT_NE(e.node, nullptr) << c.text;
        EXPECT_EQ(e.node->type, c.type) << c.text;
        EXPECT_EQ(e.node->modifier & c.modmask, c.modifier) << c.text;
        if (c.literal) {
            EXPECT_STREQ(e.node->literal, c.literal) << c.text;
        }
        EXPECT_EQ(e.node->expr != nullptr, c.compiled) << c.text;
        for (const char *subject : c.hits) EXPECT_TRUE(e.matches(subject)) << c.text << " ~ " << subject;
        for (const char *subject : c.misses) EXPECT_FALSE(e.matches(subject)) << c.text << " ~ " << subject;
    }
}

// The text a message must hold before an expression is run on it: wrong
// here, a message that matches would pass unseen.
TEST(ExprRequiredText, OnlyWhatEveryMatchHolds) {
    struct Case {
        const char *pattern;
        bool extended;
        const char *required;
    };
    const Case cases[] = {
        {"SECRET-[0-9]+", true, "SECRET-"},
        {"ab+c", true, "ab"},            // "b" may repeat, but is there once
        {"colou?r", true, "colo"},
        {"abc*", false, "ab"},
        {"x{2}yy", true, "yy"},
        {"a.b", true, "a"},
        {"^start", true, "start"},
        {"end$", false, "end"},
        {"(abc)?def", true, "def"},      // a group may be left out
        {"\\(abc\\)*de", false, "de"},
        {"(abc)de", false, "(abc)de"},   // plain parentheses in a basic expression are text
        {"[0-9]{13,16}", true, ""},       // the digits of a count are no text
        {"ab,{\\,}", true, ""},           // a count the C library reads as {0,}
        {"card [0-9]\\{10\\}", false, "card "},
        {"no+ {2,}xyz", true, "xyz"},
        {"[]x|]yz", true, "yz"},         // '|' and ']' inside a bracket expression
        {"[[:digit:]]+ order", true, " order"},
        {"hello\\.world", true, "hello.world"},
        {"foo|bar", true, ""},
        {"a\\|b", false, ""},
        {"[abc", true, ""},
        {"", true, ""},
    };
    const char *subjects[] = {"SECRET-42", "ac", "abbbc", "color", "colour", "ab", "abccc", "xxyy", "a-b",
                              "start here", "the end", "def", "abcdef", "de", "abcabcde", "(abc)de",
                              "]yz", "|yz", "7 order", "hello.world", "foo", "bar", "a|b", "a"};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pattern);
        std::string required = msnp_expr_required_text(c.pattern, c.extended);
        EXPECT_EQ(required, c.required);
        regex_t re;
        if (regcomp(&re, c.pattern, REG_NOSUB | (c.extended ? REG_EXTENDED : 0)) != 0)
            continue;
        for (const char *subject : subjects)
            if (regexec(&re, subject, 0, nullptr, 0) == 0) {
                EXPECT_NE(std::string(subject).find(required), std::string::npos) << subject;
            }
        regfree(&re);
    }
    // The search for it, against a plain one: short texts over few letters
    // put the needle and its rarest byte at every place, the ends included.
    unsigned seed = 99;
    for (int i = 0; i < 20000; ++i) {
        auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
        std::string hay, needle;
        for (unsigned n = next() % 24; n > 0; --n)
            hay += "ab-Q"[next() % 4];
        for (unsigned n = 1 + next() % 4; n > 0; --n)
            needle += "ab-Q"[next() % 4];
        ASSERT_EQ(msnp_text_holds(hay.data(), hay.size(), needle.data(), needle.size(),
                                  msnp_text_rarest(needle.data(), needle.size())),
                  hay.find(needle) != std::string::npos)
            << hay << " / " << needle;
    }
    // The node keeps it, lowered with the pattern for a case-blind search.
    Expr upper(nullptr, "/Top SECRET-[0-9]/ie");
    ASSERT_NE(upper.node, nullptr);
    EXPECT_STREQ(upper.node->must, "top secret-");
    EXPECT_EQ(upper.node->must_len, 11u);
    EXPECT_EQ(upper.node->must_rare, 10u);  // the '-' is rarer than any letter
    Expr none(nullptr, "/a|b/e");
    ASSERT_NE(none.node, nullptr);
    EXPECT_EQ(none.node->must, nullptr);
}

TEST_F(Parser, NoNodeForBadTextAndUnknownOptionsAreReported) {
    for (const char *text : {"//", "abc", "/abc", "/(/e", "/a\\{1/", ""}) {
        Expr e(idl, text);
        EXPECT_EQ(e.node, nullptr) << text;
    }
    EXPECT_EQ(msnp_expr_node_new(idl, nullptr), nullptr);
    idl_parser_clear(idl);
    Expr q(idl, "/a/q");
    ASSERT_NE(q.node, nullptr);
    EXPECT_EQ(warnings(), std::vector<std::string>{"Unknown expression option: q"});
}

TEST_F(Parser, ExprLiteralsAddAndDelete) {
    msnp_object_generic o = bare(MSNP_OBJECT_EXPR);
    char a[] = "/foo/i", b[] = "/bar/e", bad[] = "nope", a_plain[] = "/foo/", a_again[] = "/FOO/i";
    EXPECT_EQ(msnp_add_object_expr_literal(idl, &o, a), 1);
    EXPECT_EQ(msnp_add_object_expr_literal(idl, &o, b), 1);
    EXPECT_EQ(msnp_add_object_expr_literal(idl, &o, bad), 1);
    EXPECT_EQ(warnings(), std::vector<std::string>{"Not a valid expression: nope"});
    ASSERT_EQ(tqlist_length(static_cast<tqlist *>(o.data)), 2u);
    EXPECT_STREQ(static_cast<msnp_expr_node *>(static_cast<tqlist *>(o.data)->data)->literal, "foo");
    EXPECT_EQ(msnp_del_object_expr_literal(idl, &o, a_plain), 0);
    EXPECT_EQ(msnp_del_object_expr_literal(idl, &o, a_again), 1);
    EXPECT_EQ(tqlist_length(static_cast<tqlist *>(o.data)), 1u);
    msnp_destructor_expr(o.data);
}

TEST_F(Parser, ExprEncodingAndDecodingRoundTripAndBadParts) {
    tqlist *nodes = nullptr;
    tqlist_insert_end(&nodes, msnp_expr_node_new(idl, "/Hi there/eibh"));
    tqlist_insert_end(&nodes, msnp_expr_node_new(idl, "/*.zip/gf"));
    std::string text = xml(msnp_encodedata_object_expr(nodes));
    EXPECT_EQ(text,
              "<data><expr type='ere'>Hi there<ignorecase/><body/><header/></expr>"
              "<expr type='glob'>*.zip<filename/></expr></data>");
    msnp_destructor_expr(nodes);

    int err = 0;
    iks *x = iks_tree("<expr type='ere'>hi there<ignorecase/><body/><header/></expr>", 0, &err);
    std::string literal = owned(msnp_decodedata_object_expr(idl, x, 0));
    iks_delete(x);
    EXPECT_EQ(literal, "'/hi there/eibh'");
    Expr back(idl, literal.substr(1, literal.size() - 2).c_str());
    ASSERT_NE(back.node, nullptr);
    EXPECT_EQ(back.node->type, 0x40000u);
    EXPECT_EQ(back.node->modifier, 0x1u | 0x8u | 0x10u);

    x = iks_tree("<expr type='perl'>a</expr>", 0, &err);
    EXPECT_EQ(msnp_decodedata_object_expr(idl, x, 0), nullptr);
    iks_delete(x);
    x = iks_tree("<expr type='sre'>a<loud/><raw/></expr>", 0, &err);
    EXPECT_EQ(owned(msnp_decodedata_object_expr(idl, x, 0)), "'/a/sr'");
    iks_delete(x);
    EXPECT_EQ(warnings(), (std::vector<std::string>{"Not a valid expr type: perl", "Not a valid expr modifier: loud"}));
}

