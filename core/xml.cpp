// XML helpers on iksemel trees.
#include "utils.h"

#include <cstring>
#include <utility>
#include <vector>

namespace {

unsigned char fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// ASCII case-insensitive search of `needle` in `len` bytes of `hay`.
bool contains_nocase(const char *hay, size_t len, const char *needle, size_t nlen)
{
    if (!hay || nlen > len)
        return false;
    for (size_t i = 0; i + nlen <= len; ++i) {
        size_t k = 0;
        while (k < nlen && fold(static_cast<unsigned char>(hay[i + k])) ==
                               fold(static_cast<unsigned char>(needle[k])))
            ++k;
        if (k == nlen)
            return true;
    }
    return false;
}

} // namespace

extern "C" {

int super_simple_xml_search(iks *node, const char *text)
{
    if (!node || !text)
        return 0;
    size_t nlen = std::strlen(text);
    if (nlen == 0)
        return 1;
    // Depth-first with an explicit stack: a hostile document may nest
    // deeper than the thread's stack allows recursion.
    std::vector<iks *> pending{node};
    while (!pending.empty()) {
        iks *x = pending.back();
        pending.pop_back();
        if (!x)
            continue;
        if (iks *next = iks_next(x))
            pending.push_back(next);
        switch (iks_type(x)) {
        case IKS_CDATA:
            if (contains_nocase(iks_cdata(x), iks_cdata_size(x), text, nlen))
                return 1;
            break;
        case IKS_TAG:
            for (iks *a = iks_attrib(x); a; a = iks_next(a)) {
                const char *v = iks_cdata(a);
                if (v && contains_nocase(v, std::strlen(v), text, nlen))
                    return 1;
            }
            if (iks *child = iks_child(x))
                pending.push_back(child);
            break;
        default:
            break;
        }
    }
    return 0;
}

int slurp_xml_tree(iks *dest, iks *src)
{
    if (!dest || !src)
        return 0;
    int n = 0;
    for (iks *c = iks_child(src); c; c = iks_next(c)) {
        if (iks_type(c) == IKS_CDATA) {
            if (iks_insert_cdata(dest, iks_cdata(c), iks_cdata_size(c)))
                ++n;
        } else if (iks_type(c) == IKS_TAG) {
            iks *copy = iks_copy_within(c, iks_stack(dest));
            if (copy && iks_insert_node(dest, copy))
                ++n;
        }
    }
    return n;
}

} // extern "C"
