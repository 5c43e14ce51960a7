/* Management commands that read the policy: glob and serialize. Their
 * answer is XML text in the parser's data; they need no privilege. */
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <shared_mutex>
#include <string>

#include "tq3_msnp.h"
#include "tq3_msnp_commands.h"
#include "tq3_msnp_config.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_rtree.h"

namespace {

void refuse(idl_parser *idl, int code, const char *message, const char *name = nullptr)
{
    if (idl && idl->error) {
        if (name)
            idl->error(idl, code, message, name);
        else
            idl->error(idl, code, "%s", message);
    }
}

/* Takes `x` and leaves its text as the command's answer. */
void answer(idl_parser *idl, iks *x)
{
    if (!x)
        return;
    const char *text = iks_string(iks_stack(x), x);
    if (text && idl) {
        free(idl->data);
        idl->data = strdup(text);
    }
    iks_delete(x);
}

} // namespace

int msnp_glob_object(idl_parser *idl, char **args)
{
    if (!args || !args[0]) {
        refuse(idl, 2, "Missing object glob");
        return 0;
    }
    bool statistics = args[1] && strcmp(args[1], "with-statistics") == 0;
    if (!ents)
        return 0;
    std::shared_lock<std::shared_mutex> policy(ents->root_lock);
    answer(idl, msnp_serialize_objects_from_glob(args[0], statistics));
    return 1;
}

int msnp_serialize_object(idl_parser *idl, char **args)
{
    if (!args || !args[0]) {
        refuse(idl, 2, "Missing object specification");
        return 0;
    }
    if (!ents)
        return 0;
    const char *name = args[0];
    std::shared_lock<std::shared_mutex> policy(ents->root_lock);
    if (msnp_person *person = msnp_search_person(name, 0)) {
        int flags = WITH_NONE, options = 0;
        for (char **w = args + 1; *w; ++w) {
            if (strcmp(*w, "with-statistics") == 0) {
                flags |= WITH_STATISTICS;
                ++options;
            } else if (strcmp(*w, "with-contacts") == 0) {
                flags |= WITH_CONTACTS;
                ++options;
            }
        }
        /* With statistics, the words after the options are the period and
         * the range of the stored statistics. */
        const char *period = nullptr, *range = nullptr;
        if (flags & WITH_STATISTICS && args[options + 1]) {
            period = args[options + 1];
            range = args[options + 2];
        }
        answer(idl, msnp_serialize_object_single(person, flags, period, range));
        return 1;
    }
    if (msnp_group *group = msnp_search_group(name, 0)) {
        answer(idl, msnp_serialize_object_group(group));
        return 1;
    }
    for (auto search : {msnp_search_time, msnp_search_expr, msnp_search_imbitmap, msnp_search_object}) {
        if (msnp_object_generic *obj = search(name, 0)) {
            answer(idl, msnp_serialize_object_generic(obj));
            return 1;
        }
    }
    int err = 0;
    msnp_rtree *node = rtree_resolve_tree(ents->root, name, &err);
    if (node) {
        unsigned depth = args[1] ? static_cast<unsigned>(strtoul(args[1], nullptr, 10)) : static_cast<unsigned>(-1);
        iks *scratch = iks_new("relation-tree");
        iks *x = scratch ? msnp_serialize_object_node(node, scratch, depth) : nullptr;
        if (x)
            answer(idl, iks_copy(x));
        iks_delete(scratch);
        return 1;
    }
    refuse(idl, 27, "Unknown object: %s", name);
    return 0;
}
