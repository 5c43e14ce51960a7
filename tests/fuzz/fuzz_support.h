/* What the module's fuzz targets share: one module with a registry for the
 * whole run, and a connection of a direction picked by the input. */
#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H

#include <stdint.h>

#include "tq3_msnp.h"

inline tq3_module *fuzz_module()
{
    static tq3_module *self = [] {
        tq3_module *m = tq3_module_new(&plugin_data);
        msnp_init(m, nullptr);
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
