/* The policy loader on arbitrary documents, then management commands on
 * the loaded policy, then writing the policy back and dropping it, as
 * "reload-policy", tqctl and "save" do. The input is the document, and
 * after a line "%%" one command per line (verb, then the rest). */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"
#include "tq3_msnp_module.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    tq3_module *self = fuzz_module();
    const std::string input(reinterpret_cast<const char *>(data), size);
    size_t split = input.find("\n%%\n");
    const std::string doc = input.substr(0, split);
    idl_parser *idl = idl_parser_new();
    msnp_setconfig(self, idl, doc.c_str());
    if (split != std::string::npos) {
        std::string commands = input.substr(split + 4);
        size_t at = 0, lines = 0;
        while (at < commands.size() && lines++ < 64) {
            size_t eol = commands.find('\n', at);
            std::string line = commands.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
            at = eol == std::string::npos ? commands.size() : eol + 1;
            size_t sp = line.find(' ');
            std::string verb = line.substr(0, sp);
            std::string rest = sp == std::string::npos ? std::string() : line.substr(sp + 1);
            char *args[] = {verb.data(), sp == std::string::npos ? nullptr : rest.data(), nullptr};
            idl->args = args;
            msnp_config(self, idl);
            idl->args = nullptr;
            idl_parser_clear(idl);
        }
    }
    free(msnp_getconfig(self, idl));
    msnp_reset(self, idl);
    idl_parser_destroy(idl);
    return 0;
}
