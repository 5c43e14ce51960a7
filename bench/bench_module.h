/* A module record with a registry the benchmarks load their generated
 * policies into, as the gateway does. */
#ifndef BENCH_BENCH_MODULE_H
#define BENCH_BENCH_MODULE_H

#include <stdlib.h>

#include <cstdio>
#include <string>

#include "tq3_msnp.h"
#include "tq3_msnp_module.h"
#include "tq3_msnp_objects.h"

struct Module {
    tq3_module *self = tq3_module_new(&plugin_data);
    idl_parser *idl = idl_parser_new();

    Module() { idl->import = 1; }
    ~Module()
    {
        drop();
        idl_parser_destroy(idl);
        tq3_module_destroy(self);
    }
    void fresh()
    {
        drop();
        msnp_init(self, nullptr);
    }
    void drop()
    {
        if (ents)
            msnp_entities_destroy(ents);
        self->block = nullptr;
    }
    bool load(const std::string &document)
    {
        idl_parser_clear(idl);
        if (msnp_setconfig(self, idl, document.c_str()) != 1)
            return false;
        /* Forward references are reported as weak (warnings); an error
         * means the document and the loader disagree. */
        for (tqlist *l = idl->errors; l; l = l->next)
            fprintf(stderr, "error %s\n", static_cast<const char *>(l->data));
        return !idl->errors;
    }
};

/* A new directory for the logs a benchmark writes, under $TMPDIR (/tmp
 * when unset): TMPDIR=/dev/shm keeps the disk out of the figures. Empty
 * when none could be made. */
inline std::string bench_log_dir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tq-bench-logs-XXXXXX";
    return mkdtemp(tmpl.data()) ? tmpl : std::string();
}

#endif
