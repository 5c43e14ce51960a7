/* Expression nodes against the C library on patterns and texts of the
 * fuzzer's choosing: the first byte picks the dialect and modifiers, the
 * pattern runs to the first NUL and the text is the rest. Any difference
 * between the node's answer and regexec's aborts. */
#include <ctype.h>
#include <regex.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tq3_msnp_objects_generic.h"

namespace {

/* The C library's compiler takes exponential time and memory on nested
 * or stacked repeats ("a+++++", "((a{9}){9}){9}", "a{,31555}"): such patterns test it,
 * not the node. */
bool tame(const std::string &pattern)
{
    if (pattern.size() > 48)
        return false;
    int repeats = 0;
    bool last_repeat = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        bool repeat = strchr("*+?{", pattern[i]) != nullptr;
        if (repeat && last_repeat)
            return false;
        repeats += repeat;
        /* A count's closing brace ends a repetition too: "a{,}{,8}". */
        last_repeat = repeat || pattern[i] == '}';
    }
    /* Counts above 9 ("{,31555}") are what makes the compiler's trees grow. */
    size_t brace = pattern.find('{');
    for (size_t i = brace; i != std::string::npos && i + 1 < pattern.size(); ++i)
        if (isdigit(static_cast<unsigned char>(pattern[i])) && isdigit(static_cast<unsigned char>(pattern[i + 1])))
            return false;
    return repeats <= 4;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    const char *rest = reinterpret_cast<const char *>(data + 1);
    size_t left = size - 1;
    const char *nul = static_cast<const char *>(memchr(rest, '\0', left));
    if (!nul)
        return 0;
    std::string pattern(rest, static_cast<size_t>(nul - rest));
    std::string text(nul + 1, left - pattern.size() - 1);
    /* Back-references make the C library's matcher backtrack without
     * bound on long texts. */
    bool backref = false;
    for (size_t i = 0; i + 1 < pattern.size(); ++i)
        backref = backref || (pattern[i] == '\\' && isdigit(static_cast<unsigned char>(pattern[i + 1])));
    if (pattern.empty() || !tame(pattern) || text.find('\0') != std::string::npos || text.size() > (backref ? 32u : 512u))
        return 0;
    int flags = REG_NOSUB;
    std::string options;
    options += (mode & 1) ? 'e' : 's';
    if (mode & 1)
        flags |= REG_EXTENDED;
    if (mode & 2) {
        options += 'i';
        flags |= REG_ICASE;
    }
    if (mode & 4) {
        options += 'n';
        flags |= REG_NEWLINE;
    }
    regex_t re;
    bool ok = regcomp(&re, pattern.c_str(), flags) == 0;
    std::string literal = "/" + pattern + "/" + options;
    msnp_expr_node *node = msnp_expr_node_new(nullptr, literal.c_str());
    if (ok && node) {
        bool want = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
        if (msnp_expr_node_matches(node, text.c_str(), text.size()) != want)
            abort();
    } else if (ok != (node != nullptr)) {
        abort();
    }
    if (ok)
        regfree(&re);
    msnp_expr_node_destroy(node);
    return 0;
}
