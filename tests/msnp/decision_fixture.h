/* A registry with a policy document, a signed-in user's connection and the
 * task of one command, with the module's clock under the test's control. */
#ifndef TESTS_MSNP_DECISION_FIXTURE_H
#define TESTS_MSNP_DECISION_FIXTURE_H

#include <arpa/inet.h>

#include <string>

#include "msnp/entity_fixture.h"
#include "msnp/local_time.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_match.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_task.h"
#include "variables.h"

inline time_t g_test_now = 0;
inline time_t test_clock() { return g_test_now; }

class DecisionTest : public EntityTest {
protected:
    tqconn conn{};
    msnp_conntrack *ct = nullptr;
    task_struct task{};
    std::string bytes; /* the command, when a message is parsed */

    void SetUp() override
    {
        EntityTest::SetUp();
        msnp_set_clock(test_clock);
        g_test_now = local_time(2026, 3, 11, 10, 0); /* a Wednesday in March */
        conn.clid = conn.srvd = -1;
        conn.saddr = inet_addr("10.1.2.3");
        task.conn = &conn;
    }

    void TearDown() override
    {
        forget_task();
        msnp_conntrack_destroy(ct);
        tqevents_destroy_queue(&conn.eventsq);
        free(conn.clid_b);
        free(conn.srvd_b);
        msnp_set_clock(nullptr);
        EntityTest::TearDown();
    }

    void forget_task()
    {
        destroy_msnp_message(task.message);
        task.message = nullptr;
        tqlist_destroy_without_refs(&task.lda_groups);
        tqlist_destroy_without_refs(&task.lda_supers);
        tqlist_destroy_without_refs(&task.lda_objects);
        tqlist_destroy_without_refs(&task.lda_temp);
    }

    bool load(const std::string &objects, const std::string &tree = "")
    {
        std::string doc = "<trevalquin><object-list>" + objects + "</object-list><relation-trees>" + tree +
                          "</relation-trees></trevalquin>";
        return msnp_setconfig(self, idl, doc.c_str()) == 1;
    }

    void var(const char *spec, const char *value) { variable_set(self->ns, spec, value); }

    /* The connection is signed in as the user person with `handle`. */
    void sign_in(const char *handle)
    {
        msnp_conntrack_destroy(ct);
        ct = msnp_conntrack_new(handle, &conn, msnp_search_user(handle));
        conn.plugin = ct;
    }

    /* The task carries a parsed MSG with this payload. */
    void message(const std::string &payload, const char *head = "MSG 1 N")
    {
        destroy_msnp_message(task.message);
        bytes = std::string(head) + " " + std::to_string(payload.size()) + "\r\n" + payload;
        task.data_buffer = bytes.data();
        task.buffer_size = bytes.size();
        task.message = new_msnp_message(&task);
        task.data_buffer = nullptr;
        task.buffer_size = 0;
    }

    match_t decide(const char *contact, msnp_opcode op = MSN_OPCODE_MSG,
                   conn_direction dir = DIR_CLIENT_TO_SERVER)
    {
        task.opcode = op;
        conn.direction = dir;
        match_t r = rtree_backref_match(&task, contact);
        tqlist_destroy_without_refs(&task.lda_groups);
        tqlist_destroy_without_refs(&task.lda_supers);
        tqlist_destroy_without_refs(&task.lda_objects);
        tqlist_destroy_without_refs(&task.lda_temp);
        return r;
    }
};

inline std::string text_message(const std::string &body)
{
    return "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\n" + body;
}

#endif
