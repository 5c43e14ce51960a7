// Expression nodes against the C library: generated POSIX patterns, basic
// and extended, with every modifier the compiler takes, and texts made of
// the patterns' own characters, so that many pairs match. A node that
// answers differently from regexec lets a message through that the
// administrator's expression names, or stops one it does not.
#include <gtest/gtest.h>

#include <regex.h>
#include <stdlib.h>

#include <random>
#include <string>

#include "tq3_msnp.h"
#include "tq3_msnp_objects_generic.h"

namespace {

class PatternGen {
public:
    explicit PatternGen(uint32_t seed) : rng_(seed) {}

    // A pattern of the dialect; `groups` counts the groups a
    // back-reference may name.
    std::string pattern(bool extended)
    {
        extended_ = extended;
        groups_ = 0;
        depth_ = 0;
        return alternation(3);
    }

    std::string text(const std::string &pattern)
    {
        // The pattern's own characters, and a few it never names.
        std::string pool = pattern + "aAbB01 9-";
        std::string t;
        for (int n = pick(0, 24); n > 0; --n) {
            char c = pool[static_cast<size_t>(pick(0, static_cast<int>(pool.size()) - 1))];
            t += pick(0, 5) == 0 ? '\n' : c;
        }
        if (pick(0, 3) == 0) // long digit runs, such as card numbers
            for (int n = pick(8, 18); n > 0; --n)
                t += static_cast<char>('0' + pick(0, 9));
        return t;
    }

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

private:
    std::mt19937 rng_;
    bool extended_ = true;
    int groups_ = 0, depth_ = 0;

    std::string open() { return extended_ ? "(" : "\\("; }
    std::string close() { return extended_ ? ")" : "\\)"; }

    std::string alternation(int budget)
    {
        std::string s = branch(budget);
        // GNU basic expressions take "\|" too.
        while (pick(0, 5) == 0)
            s += (extended_ ? "|" : "\\|") + branch(budget);
        return s;
    }

    std::string branch(int budget)
    {
        std::string s;
        if (pick(0, 8) == 0)
            s += '^';
        for (int n = pick(1, 5); n > 0; --n)
            s += piece(budget);
        if (pick(0, 8) == 0)
            s += '$';
        return s;
    }

    std::string piece(int budget)
    {
        std::string a = atom(budget);
        switch (pick(0, 12)) {
        case 0: return a + "*";
        case 1: return a + (extended_ ? "+" : "\\+");
        case 2: return a + (extended_ ? "?" : "\\?");
        case 3: return a + interval();
        case 4: return a + interval();
        default: return a;
        }
    }

    std::string interval()
    {
        int m = pick(0, 3);
        std::string body;
        switch (pick(0, 3)) {
        case 0: body = std::to_string(m); break;
        case 1: body = std::to_string(m) + ","; break;
        case 2: body = std::to_string(m) + "," + std::to_string(m + pick(0, 13)); break;
        default: body = "," + std::to_string(pick(1, 3)); break;
        }
        return extended_ ? "{" + body + "}" : "\\{" + body + "\\}";
    }

    std::string atom(int budget)
    {
        static const char *const kBrackets[] = {"[ab]", "[^a]", "[0-9]", "[[:digit:]]", "[[:alpha:]]", "[]a]",
                                                "[a-c]", "[^]b]", "[[:upper:]]", "[.-]", "[\\w]", "[[:space:]]"};
        static const char *const kEscapes[] = {"\\.", "\\w", "\\W", "\\s", "\\S", "\\b", "\\<", "\\>", "\\*",
                                               "\\B"};
        // Characters ordinary in one dialect and special in the other.
        static const char *const kOrdinaryBasic[] = {"(", ")", "+", "?", "{", "|", "}"};
        int kind = pick(0, 15);
        if (kind <= 6) {
            static const char kLetters[] = "aabbcAB01 -9";
            return std::string(1, kLetters[pick(0, static_cast<int>(sizeof kLetters) - 2)]);
        }
        switch (kind) {
        case 7: return ".";
        case 8:
        case 9: return kBrackets[pick(0, 11)];
        case 10: return kEscapes[pick(0, 9)];
        case 11:
            if (!extended_)
                return kOrdinaryBasic[pick(0, 6)];
            return "a";
        case 12:
            if (groups_ > 0 && depth_ == 0)
                return "\\" + std::to_string(pick(1, groups_));
            return "b";
        default:
            if (budget <= 0)
                return "c";
            ++depth_;
            std::string inner = alternation(budget - 1);
            --depth_;
            ++groups_;
            return open() + inner + close();
        }
    }
};

struct Reference {
    regex_t re{};
    bool ok;
    Reference(const std::string &pattern, int flags) : ok(regcomp(&re, pattern.c_str(), flags | REG_NOSUB) == 0) {}
    ~Reference()
    {
        if (ok)
            regfree(&re);
    }
    bool matches(const std::string &text) const { return regexec(&re, text.c_str(), 0, nullptr, 0) == 0; }
};

} // namespace

TEST(ExprDifferential, NodesAnswerAsRegexecOnGeneratedPairs)
{
    PatternGen gen(20261207);
    const int kPatterns = 4400, kTexts = 26;
    long pairs = 0, matched = 0, prefiltered = 0;
    for (int i = 0; i < kPatterns; ++i) {
        bool extended = gen.pick(0, 1) == 1;
        std::string pattern = gen.pattern(extended);
        std::string options = extended ? "e" : "s";
        int flags = extended ? REG_EXTENDED : 0;
        if (gen.pick(0, 2) == 0) {
            options += 'i';
            flags |= REG_ICASE;
        }
        if (gen.pick(0, 3) == 0) {
            options += 'n';
            flags |= REG_NEWLINE;
        }
        Reference ref(pattern, flags);
        std::string literal = "/" + pattern + "/" + options;
        msnp_expr_node *node = msnp_expr_node_new(nullptr, literal.c_str());
        ASSERT_EQ(node != nullptr, ref.ok) << literal;
        if (!node)
            continue;
        prefiltered += node->must != nullptr;
        for (int j = 0; j < kTexts; ++j) {
            std::string text = gen.text(pattern);
            bool want = ref.matches(text);
            ++pairs;
            matched += want;
            ASSERT_EQ(msnp_expr_node_matches(node, text.c_str(), text.size()), want)
                << literal << " on \"" << text << "\" (required text \"" << (node->must ? node->must : "") << "\")";
        }
        msnp_expr_node_destroy(node);
    }
    // Enough of each kind to mean something: pairs in all, matches, and
    // patterns whose required text was used.
    RecordProperty("pairs", std::to_string(pairs));
    RecordProperty("matched", std::to_string(matched));
    EXPECT_GE(pairs, 100000);
    EXPECT_GE(matched, pairs / 10);
    EXPECT_GE(prefiltered, kPatterns / 4);
}
