/* Configuration variables of the module, read by name at the moment of use
 * so that a change made by the administrator applies to the next command,
 * and the module's clock. */
#include <string.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "tq3_msnp.h"
#include "utils.h"
#include "variables.h"

namespace {

/* A command reads a handful of variables, the same ones for every
 * command, and most of them are not set at all. Each thread remembers its
 * last lookups, misses included, until a variable is created or destroyed
 * anywhere; a record, once made, keeps its address, and its value and
 * type are read from it at every use. */
struct Remembered {
    const char *key = nullptr; /* the caller's pointer: usually a literal */
    std::string name;          /* what it held, in case the pointer is reused */
    const tqtable *ns = nullptr;
    unsigned long generation = 0;
    tq_variable *var = nullptr;
};

/* Slots are chosen by the key's address: the hot keys are a few dozen
 * literals, spread well enough to rarely share one. */
constexpr size_t kRemembered = 128;
struct Memory {
    Remembered slots[kRemembered];
};

/* The namespace is shared with the host, which may set variables at any
 * time; the locking lookup keeps a reader from seeing a half-built entry. */
tq_variable *msnp_var_lookup(const char *key)
{
    if (!key || !ents || !ents->ns)
        return nullptr;
    unsigned long generation = variables_generation();
    Remembered &r = tq_thread_object<Memory>().slots[(reinterpret_cast<uintptr_t>(key) >> 3) % kRemembered];
    if (r.key == key && r.ns == ents->ns && r.generation == generation && strcmp(r.name.c_str(), key) == 0)
        return r.var;
    auto *var = static_cast<tq_variable *>(ents->ns->get_safe(ents->ns, key));
    r.key = key;
    r.name = key;
    r.ns = ents->ns;
    r.generation = generation;
    r.var = var;
    return var;
}

} // namespace

const char *msnp_get_var(const char *key, const char *def)
{
    tq_variable *var = msnp_var_lookup(key);
    if (!var || !(var->flags & VARIABLE_STRING))
        return def;
    return var->data.text;
}

long msnp_get_var_long(const char *key, long def)
{
    tq_variable *var = msnp_var_lookup(key);
    if (!var)
        return def;
    return variable_convert_to_int(var, def);
}

static std::atomic<time_t (*)(void)> msnp_clock{nullptr};

time_t msnp_now(void)
{
    time_t (*clock)(void) = msnp_clock.load(std::memory_order_relaxed);
    return clock ? clock() : time(nullptr);
}

void msnp_set_clock(time_t (*clock)(void))
{
    msnp_clock.store(clock, std::memory_order_relaxed);
}
