#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tqevents_interface.h"

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

TEST(Events, MessageEscapesMarkupAndKeepsFields)
{
    event_t *ev = tqevents_shortcut_log_message("a@x.com", "b@y.com", "1 < 2 & \"ok\"", "s1",
                                                TQ_MATCH_PASS);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(ev->code, EVENT_CODE_LOG_MESSAGE);
    std::string text = ev->text;
    EXPECT_EQ(text.find("< 2"), std::string::npos);
    EXPECT_NE(text.find("&lt;"), std::string::npos);
    EXPECT_NE(text.find("&amp;"), std::string::npos);
    Parsed p(ev);
    EXPECT_STREQ(iks_name(p.x), "message");
    EXPECT_EQ(p.cdata(), "1 < 2 & \"ok\"");
    EXPECT_STREQ(p.attr("orig"), "a@x.com");
    EXPECT_STREQ(p.attr("dest"), "b@y.com");
    EXPECT_STREQ(p.attr("session"), "s1");
    EXPECT_STREQ(p.attr("verdict"), "pass");
    EXPECT_EQ(std::to_string(ev->time), p.attr("time"));
    tqevents_destroy_event(ev);

    ev = tqevents_shortcut_log_message("a", "b", "secret words", nullptr, match_t(TQ_MATCH_BLOCK | TQ_MATCH_HIDDEN));
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(std::string(ev->text).find("secret"), std::string::npos);  // hidden: no text
    Parsed h(ev);
    EXPECT_EQ(iks_child(h.x), nullptr);
    EXPECT_STREQ(h.attr("verdict"), "block");
    EXPECT_EQ(h.attr("session"), nullptr);  // NULL attributes are left out
    tqevents_destroy_event(ev);

    /* Network text: the event stays one line and one document; a line
     * break is a blank, bytes no XML may hold are '?'. */
    ev = tqevents_shortcut_log_message("a\nb", "b", "one\r\ntwo\r\x01\xff", nullptr, TQ_MATCH_PASS);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(std::string(ev->text).find_first_of("\r\n"), std::string::npos) << ev->text;
    Parsed n(ev);
    EXPECT_EQ(n.cdata(), "one two ??");
    EXPECT_STREQ(n.attr("orig"), "a b");
    tqevents_destroy_event(ev);
}

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

TEST(Events, ObjectEventsCarryACopyOfTheObject)
{
    iks *obj = iks_new("group");
    iks_insert_attrib(obj, "name", "a&b");
    iks_insert_cdata(iks_insert(obj, "member"), "m1", 0);
    event_t *ev = tqevents_shortcut_object_new(obj);
    iks_delete(obj);  // the event must not depend on the original
    Parsed p(ev);
    EXPECT_STREQ(iks_name(p.x), "object-new");
    iks *g = iks_child(p.x);
    ASSERT_NE(g, nullptr);
    EXPECT_STREQ(iks_name(g), "group");
    EXPECT_STREQ(iks_find_attrib(g, "name"), "a&amp;b");  // still escaped, not doubly
    EXPECT_STREQ(iks_find_cdata(g, "member"), "m1");
    tqevents_destroy_event(ev);

    iks *o2 = iks_new("time");
    event_t *d = tqevents_shortcut_object_data(o2);
    Parsed pd(d);
    EXPECT_STREQ(iks_name(pd.x), "object-data");
    tqevents_destroy_event(d);
    iks_delete(o2);

    EXPECT_EQ(tqevents_shortcut_object_new(nullptr), nullptr);
    EXPECT_EQ(tqevents_shortcut_object_rename(nullptr, "x"), nullptr);
    EXPECT_EQ(tqevents_shortcut_object_collect(nullptr), nullptr);
}

TEST(Events, NamesOfCodesAndVerdictsAndTheQueue)
{
    EXPECT_STREQ(tqevents_code_name(EVENT_CODE_LOG_LOGIN), "login");
    EXPECT_STREQ(tqevents_code_name(EVENT_CODE_OBJECT_NEW), "object-new");
    EXPECT_STREQ(tqevents_code_name(static_cast<event_code>(999)), "unknown");
    EXPECT_STREQ(tqevents_match_name(match_t(TQ_MATCH_BLOCK | TQ_MATCH_HIDDEN | TQ_MATCH_ADVISED)), "block");
    EXPECT_STREQ(tqevents_match_name(TQ_MATCH_CONTINUE), "continue");
    EXPECT_STREQ(tqevents_match_name(match_t(TQ_MATCH_PASS | TQ_MATCH_BLOCK)), "unknown");

    // The queue keeps order and destroys all.
    tqlist *q = nullptr;
    tqevents_insert_event_entry(&q, tqevents_shortcut_object_collect("first"));
    tqevents_insert_event_entry(&q, tqevents_shortcut_object_collect("second"));
    tqevents_insert_event_entry(&q, nullptr);
    ASSERT_EQ(tqlist_length(q), 2u);
    EXPECT_NE(std::string(static_cast<event_t *>(q->data)->text).find("first"), std::string::npos);
    tqevents_destroy_queue(&q);
    EXPECT_EQ(q, nullptr);
}

