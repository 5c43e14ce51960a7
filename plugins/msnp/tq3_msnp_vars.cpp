/* Configuration variables of the module, read by name at the moment of use
 * so that a change made by the administrator applies to the next command,
 * and the module's clock. */
#include <atomic>

#include "tq3_msnp.h"
#include "variables.h"

/* The namespace is shared with the host, which may set variables at any
 * time; the locking lookup keeps a reader from seeing a half-built entry. */
static tq_variable *msnp_var_lookup(const char *key)
{
    if (!key || !ents || !ents->ns)
        return nullptr;
    return static_cast<tq_variable *>(ents->ns->get_safe(ents->ns, key));
}

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
