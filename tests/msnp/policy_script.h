/* A policy session as a table: each line a management command and what
 * the module must answer. The tables read as an administrator's session,
 * one rule a line. */
#ifndef TESTS_MSNP_POLICY_SCRIPT_H
#define TESTS_MSNP_POLICY_SCRIPT_H

#include "msnp/entity_fixture.h"
#include "tq3_msnp_module.h"

#include <initializer_list>
#include <string>
#include <vector>

class PolicyScript : public EntityTest {
protected:
    /* `command` is "VERB WORDS..."; `said` the errors ("E<code>: text")
     * and then the warnings ("W<text>") it must give, in order; `reply`,
     * when given, must be the whole reply ("=..."), appear in it ("..."),
     * or not appear in it ("!..."); `events`, when not -1, how many events
     * it hands to the host. */
    struct Line {
        const char *command;
        std::vector<std::string> said = {};
        const char *reply = nullptr;
        int events = -1;
    };

    std::string run(const std::string &command)
    {
        idl_parser_clear(idl);
        const size_t blank = command.find(' ');
        std::string verb = command.substr(0, blank);
        std::string rest = blank == std::string::npos ? std::string() : command.substr(blank + 1);
        char *args[] = {verb.data(), blank == std::string::npos ? nullptr : rest.data(), nullptr};
        idl->args = args;
        msnp_config(self, idl);
        idl->args = nullptr;
        return idl->data ? idl->data : "";
    }

    std::vector<std::string> said() const
    {
        std::vector<std::string> out;
        for (const std::string &e : errors())
            out.push_back("E" + e);
        for (const std::string &w : warnings())
            out.push_back("W" + w);
        return out;
    }

    void play(std::initializer_list<Line> lines)
    {
        for (const Line &l : lines) {
            SCOPED_TRACE(l.command);
            const std::string reply = run(l.command);
            EXPECT_EQ(said(), l.said);
            if (l.reply && l.reply[0] == '=') {
                EXPECT_EQ(reply, l.reply + 1);
            } else if (l.reply && l.reply[0] == '!') {
                EXPECT_EQ(reply.find(l.reply + 1), std::string::npos) << reply;
            } else if (l.reply) {
                EXPECT_NE(reply.find(l.reply), std::string::npos) << reply;
            }
            if (l.events != -1) {
                EXPECT_EQ(event_count(), static_cast<size_t>(l.events)) << testing::PrintToString(events());
            }
        }
    }
};

#endif
