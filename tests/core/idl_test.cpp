#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tqidl.h"

namespace {

std::vector<std::string> texts(const tqlist *l)
{
    std::vector<std::string> out;
    for (; l; l = l->next)
        out.emplace_back(static_cast<const char *>(l->data));
    return out;
}

} // namespace

TEST(IdlParser, ErrorsAreFormattedWithTheirCode)
{
    idl_parser *p = idl_parser_new();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->last_code, 0);
    p->error(p, 27, "Unknown object: %s", "bob");
    p->error(p, 2, "Missing %d words", 3);
    EXPECT_EQ(p->last_code, 2);
    EXPECT_EQ(texts(p->errors), (std::vector<std::string>{"27: Unknown object: bob", "2: Missing 3 words"}));
    p->warn(p, "Entry without data%s", "!");
    EXPECT_EQ(texts(p->warnings), std::vector<std::string>{"Entry without data!"});
    idl_parser_destroy(p);
}

TEST(IdlParser, EventFirstGoesAheadOfGatheredEvents)
{
    idl_parser *p = idl_parser_new();
    p->event(p, tqevents_shortcut_object_collect("b"));
    p->event(p, tqevents_shortcut_object_collect("c"));
    p->event_first(p, tqevents_shortcut_object_collect("a"));
    p->event(p, nullptr);
    std::vector<std::string> names;
    for (tqlist *n = p->events; n; n = n->next) {
        std::string t = static_cast<event_t *>(n->data)->text;
        names.push_back(t.substr(t.find("name=") + 6, 1));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
    idl_parser_destroy(p);
}

TEST(IdlParser, DataIsCopiedClearForgetsEverythingDestroyLeavesArgs)
{
    idl_parser *p = idl_parser_new();
    std::string reply = "<ok/>";
    idl_parser_set_data(p, reply.c_str());
    reply[1] = 'X';
    EXPECT_STREQ(p->data, "<ok/>");
    idl_parser_set_data(p, nullptr);
    EXPECT_EQ(p->data, nullptr);
    idl_parser_set_data(p, "x");
    p->error(p, 5, "e");
    p->warn(p, "w");
    p->event(p, tqevents_shortcut_object_collect("z"));
    idl_parser_clear(p);
    EXPECT_EQ(p->data, nullptr);
    EXPECT_EQ(p->errors, nullptr);
    EXPECT_EQ(p->warnings, nullptr);
    EXPECT_EQ(p->events, nullptr);
    EXPECT_EQ(p->last_code, 0);
    idl_parser_destroy(p);

    // Destroying leaves args and user to the caller.
    p = idl_parser_new();
    char verb[] = "new";
    char *args[] = {verb, nullptr};
    idl_user user{nullptr, 1};
    p->args = args;
    p->argc = 1;
    p->user = &user;
    p->data = strdup("<reply/>");  // owned by the parser once set
    idl_parser_destroy(p);         // must not free the stack objects above
    EXPECT_STREQ(verb, "new");
}

