#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tqevents_interface.h"
#include "utils.h"

namespace {

// Parses an event text back and checks it is exactly one element.
struct Parsed {
    explicit Parsed(const event_t *ev)
    {
        EXPECT_NE(ev, nullptr);
        if (!ev)
            return;
        int err = 0;
        x = iks_tree(ev->text, 0, &err);
        EXPECT_EQ(err, IKS_OK) << ev->text;
    }
    ~Parsed() { iks_delete(x); }
    const char *attr(const char *name) { return x ? iks_find_attrib(x, name) : nullptr; }
    std::string cdata()
    {
        std::string all;
        for (iks *c = x ? iks_child(x) : nullptr; c; c = iks_next(c))
            if (iks_type(c) == IKS_CDATA)
                all.append(iks_cdata(c), iks_cdata_size(c));
        return all;
    }
    iks *x = nullptr;
};

} // namespace

TEST(Events, ShortcutsBuildTheirElementEscaped)
{
    struct Case {
        event_t *ev;
        const char *element;
        event_code code;
        std::map<std::string, std::string> attrs;
        std::string cdata;
        const char *raw;  // substring of the raw text (iksemel keeps entities in attributes)
    };
    const std::vector<Case> cases = {
        {tqevents_shortcut_log_activity("u", "c", "file", "x<y.txt", "sid", TQ_MATCH_ALERT), "activity",
         EVENT_CODE_LOG_ACTIVITY, {{"activity", "file"}, {"verdict", "alert"}}, "x<y.txt", nullptr},
        {tqevents_shortcut_log_join_leave("who&co", "join", match_t(TQ_MATCH_PASS | TQ_MATCH_ADVISED)),
         "join-leave", EVENT_CODE_LOG_JOINLEAVE, {{"verdict", "pass"}}, "", "user='who&amp;co'"},
        {tqevents_shortcut_contact_activity("me@x", EVENT_CODE_LOG_ADDEDBY, TQ_MATCH_NONE), "contact-activity",
         EVENT_CODE_LOG_ADDEDBY, {{"code", "added-by"}, {"verdict", "none"}}, "", nullptr},
        {tqevents_shortcut_object_rename("old<", "new\""), "object-rename", EVENT_CODE_OBJECT_RENAME,
         {{"old", "old&lt;"}, {"new", "new&quot;"}}, "", nullptr},
        {tqevents_shortcut_object_collect("g1"), "object-collect", EVENT_CODE_OBJECT_COLLECT,
         {{"name", "g1"}}, "", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.element);
        Parsed p(c.ev);
        EXPECT_STREQ(iks_name(p.x), c.element);
        EXPECT_EQ(c.ev->code, c.code);
        for (const auto &[name, value] : c.attrs)
            EXPECT_STREQ(p.attr(name.c_str()), value.c_str()) << name;
        EXPECT_EQ(p.cdata(), c.cdata);
        if (c.raw) {
            EXPECT_NE(std::string(c.ev->text).find(c.raw), std::string::npos) << c.ev->text;
        }
        tqevents_destroy_event(c.ev);
    }
}


namespace {

// What the XML writer makes of the same element, put on one line and made
// valid UTF-8 the way every event text is.
std::string rendered_by_iksemel(const char *element, const std::vector<std::pair<const char *, std::string>> &attrs,
                                const std::string &text)
{
    iks *x = iks_new(element);
    for (const auto &[name, value] : attrs)
        iks_insert_attrib(x, name, value.c_str());
    if (!text.empty())
        iks_insert_cdata(x, text.c_str(), 0);
    std::string out;
    for (const char *p = iks_string(iks_stack(x), x); *p; ++p) {
        if (*p == '\r' && p[1] == '\n')
            ++p;
        out += *p == '\r' || *p == '\n' ? ' ' : *p;
    }
    iks_delete(x);
    sanitize_utf8_string(out.data());
    return out;
}

} // namespace

// Log events are written without building a tree: every line must read
// exactly as the XML writer renders it, whatever bytes the network sent.
TEST(Events, LogLinesAreWhatTheXmlWriterRenders)
{
    std::vector<std::string> texts = {
        "plain words", "<b>&amp;</b> 'quoted' \"double\"", "tab\there", "one\r\ntwo\rthree\nfour\r\n\r\n",
        "\r", "ends with CR\r", "\x01\x1f\x7f", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\xc3", "\xc3(",
        "\xe0\x80\x80 overlong", "\xed\xa0\x80 surrogate", "\xf4\x90\x80\x80 too high", "\xff\xfe",
        "\xc2\x85 C1 stays", std::string(3000, 'x') + "&" + std::string(3000, 'y'),
    };
    // One odd byte at every place of long plain runs, which are read a
    // block at a time.
    for (const char *odd : {"&", "\t", "\x7f", "\x01", "\xc3\xa9", "\xc3", "\r\n", "'"})
        for (size_t at = 0; at < 40; ++at)
            texts.push_back(std::string(at, 'a') + odd + std::string(40 - at, 'b'));
    // And byte soup: a fixed seed, so a failure reproduces.
    unsigned seed = 12345;
    for (int i = 0; i < 300; ++i) {
        std::string t;
        for (int n = 1 + static_cast<int>(seed % 40); n > 0; --n) {
            seed = seed * 1103515245u + 12345u;
            char c = static_cast<char>((seed >> 16) & 0xFF);
            t += c ? c : 'z';
        }
        texts.push_back(t);
    }
    for (const std::string &t : texts) {
        SCOPED_TRACE(testing::PrintToString(t));
        const char *s = t.c_str();
        event_t *ev = tqevents_shortcut_log_message(s, "dest@x", s, "sid/c", TQ_MATCH_BLOCK);
        ASSERT_NE(ev, nullptr);
        std::string when = std::to_string(ev->time);
        EXPECT_EQ(ev->text, rendered_by_iksemel("message",
                                                {{"orig", t}, {"dest", "dest@x"}, {"session", "sid/c"},
                                                 {"verdict", "block"}, {"time", when}},
                                                t));
        tqevents_destroy_event(ev);

        ev = tqevents_shortcut_log_activity(s, nullptr, "file", s, nullptr, TQ_MATCH_PASS);
        ASSERT_NE(ev, nullptr);
        when = std::to_string(ev->time);
        EXPECT_EQ(ev->text, rendered_by_iksemel("activity",
                                                {{"orig", t}, {"verdict", "pass"}, {"activity", "file"}, {"time", when}},
                                                t));
        tqevents_destroy_event(ev);

        ev = tqevents_shortcut_log_join_leave(s, "join", TQ_MATCH_PASS);
        ASSERT_NE(ev, nullptr);
        when = std::to_string(ev->time);
        EXPECT_EQ(ev->text, rendered_by_iksemel("join-leave", {{"user", t}, {"type", "join"}, {"verdict", "pass"},
                                                               {"time", when}}, ""));
        tqevents_destroy_event(ev);

        ev = tqevents_shortcut_object_rename(s, "new");
        ASSERT_NE(ev, nullptr);
        EXPECT_EQ(ev->text, rendered_by_iksemel("object-rename", {{"old", t}, {"new", "new"}}, ""));
        tqevents_destroy_event(ev);
    }
    // A hidden text and an empty one close the element at once.
    for (match_t m : {TQ_MATCH_PASS, match_t(TQ_MATCH_BLOCK | TQ_MATCH_HIDDEN)}) {
        event_t *ev = tqevents_shortcut_log_message("a", "b", m == TQ_MATCH_PASS ? "" : "secret", nullptr, m);
        ASSERT_NE(ev, nullptr);
        EXPECT_EQ(ev->code, EVENT_CODE_LOG_MESSAGE);
        EXPECT_EQ(ev->text, rendered_by_iksemel("message", {{"orig", "a"}, {"dest", "b"},
                                                            {"verdict", m == TQ_MATCH_PASS ? "pass" : "block"},
                                                            {"time", std::to_string(ev->time)}}, ""));
        tqevents_destroy_event(ev);
    }
}
