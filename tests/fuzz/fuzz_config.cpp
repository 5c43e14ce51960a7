/* The policy loader on arbitrary documents, then writing the policy back
 * and dropping it, as "reload-policy" and "save" do. */
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    tq3_module *self = fuzz_module();
    const std::string doc(reinterpret_cast<const char *>(data), size);
    idl_parser *idl = idl_parser_new();
    msnp_setconfig(self, idl, doc.c_str());
    free(msnp_getconfig(self, idl));
    msnp_reset(self, idl);
    idl_parser_destroy(idl);
    return 0;
}
