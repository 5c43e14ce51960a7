/* What the module's fuzz targets share: one module with a registry for the
 * whole run, and a connection of a direction picked by the input. */
#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H

#include <stdint.h>

#include "tq3_msnp.h"
#include "tq3_msnp_module.h"
#include "variables.h"

/* The module with a small policy: one local user who may talk to anyone
 * but one contact, warnings and notices on, and logs pointed
 * where no file can be made (the fuzzer must not fill the disk; the
 * failure path is exercised instead). */
inline tq3_module *fuzz_module()
{
    static tq3_module *self = [] {
        tq3_module *m = tq3_module_new(&plugin_data);
        msnp_init(m, nullptr);
        const char *vars[][2] = {
            {"s/log-dir", "/dev/null/logs"},      {"s/message-warning-text", "recorded"},
            {"i/warning-block-enable", "1"},       {"s/warning-block-text", "blocked"},
            {"s/message-warning-welcome-text", "hi"},
            {"s/msnp-lower-version", "MSNP5"},     {"s/msnp-upper-version", "MSNP18"},
        };
        for (const auto &v : vars)
            variable_set(m->ns, v[0], v[1]);
        msnp_setconfig(m, nullptr,
                       "<trevalquin><object-list>"
                       "<person type='2' name='anyone'><handle>.*</handle></person>"
                       "<person type='2' name='bad'><handle>bad@x</handle></person>"
                       "<person type='3' name='me'><handle>me@x</handle><friendly>Me</friendly>"
                       "<attribute type='fixed_friendly'>1</attribute>"
                       "<attribute type='auto_reply'>away</attribute></person>"
                       "</object-list><relation-trees><user>me</user>"
                       "<relation object='bad' action='block' direction='both'/>"
                       "<relation object='anyone' action='pass' direction='both'/>"
                       "</relation-trees></trevalquin>");
        return m;
    }();
    return self;
}

inline tqconn fuzz_conn(uint8_t selector)
{
    tqconn conn{};
    conn.clid = conn.srvd = -1;
    conn.direction = selector & 1 ? DIR_CLIENT_TO_SERVER : DIR_SERVER_TO_CLIENT;
    return conn;
}

#endif
