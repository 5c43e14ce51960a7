/* Statistics: the module-wide "stats-..." counter variables, the XML form of
 * the per-person and per-connection counter blocks, and the per-user
 * "statistics.log" files with their rotated copies. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_kinds.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_statistics.h"
#include "tq3_msnp_xml.h"
#include "utils.h"
#include "variables.h"

namespace {

/* ------------------------------------------------------------------ */
/* Counter groups                                                      */
/* ------------------------------------------------------------------ */

constexpr size_t kGroupNameMax = 48;
constexpr int kVerdicts = 4;
constexpr const char *kVerdictWords[kVerdicts] = {"none", "pass", "block", "alert"};

struct stat_group {
    char xml[kGroupNameMax]; /* element name: the group with '-' for '_' */
    bool in_xml;             /* false for counters kept out of the XML form */
    unsigned long msnp_statistics::*counters[kVerdicts];
};

/* Counted in the block but left out of the reported and stored form, which
 * has no elements for them: they are neither written nor read back. */
constexpr bool group_kept_out_of_xml(std::string_view raw)
{
    return raw == "message_out_textsecway" || raw == "message_in_textsecway" ||
           raw == "invite_out_photos" || raw == "invite_in_photos";
}

constexpr stat_group make_group(std::string_view raw, unsigned long msnp_statistics::*none,
                                unsigned long msnp_statistics::*pass,
                                unsigned long msnp_statistics::*block,
                                unsigned long msnp_statistics::*alert)
{
    stat_group g{};
    for (size_t i = 0; i < raw.size() && i + 1 < kGroupNameMax; ++i)
        g.xml[i] = raw[i] == '_' ? '-' : raw[i];
    g.in_xml = !group_kept_out_of_xml(raw);
    g.counters[0] = none;
    g.counters[1] = pass;
    g.counters[2] = block;
    g.counters[3] = alert;
    return g;
}

#define MSNP_STAT_GROUP_ROW(g)                                                                 \
    make_group(#g, &msnp_statistics::stats_##g##_none, &msnp_statistics::stats_##g##_pass,     \
               &msnp_statistics::stats_##g##_block, &msnp_statistics::stats_##g##_alert),

constexpr stat_group kGroups[] = {MSNP_STATISTICS_GROUPS(MSNP_STAT_GROUP_ROW)};

#undef MSNP_STAT_GROUP_ROW

constexpr size_t count_xml_groups()
{
    size_t n = 0;
    for (const stat_group &g : kGroups)
        n += g.in_xml;
    return n;
}

static_assert(std::size(kGroups) * kVerdicts + 1 == sizeof(msnp_statistics) / sizeof(unsigned long),
              "every counter of the block belongs to one group");
static_assert(count_xml_groups() == std::size(kGroups) - 4);

/* Optional blanks, decimal digits, optional blanks; anything else (signs,
 * trailing words, values out of range) is not a count. */
bool parse_count(const char *text, unsigned long *out)
{
    if (!text)
        return false;
    const char *p = text;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        ++p;
    if (*p < '0' || *p > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long v = strtoul(p, &end, 10);
    if (errno == ERANGE)
        return false;
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')
        ++end;
    if (*end)
        return false;
    *out = v;
    return true;
}

unsigned long count_or_zero(const char *text)
{
    unsigned long v = 0;
    return parse_count(text, &v) ? v : 0;
}

/* A signed decimal with nothing around it. */
bool parse_seconds(const char *begin, const char *end, long *out)
{
    std::string text(begin, end);
    if (text.empty())
        return false;
    errno = 0;
    char *stop = nullptr;
    long v = strtol(text.c_str(), &stop, 10);
    if (errno == ERANGE || *stop || stop == text.c_str() || text[0] == ' ' || text[0] == '\t')
        return false;
    *out = v;
    return true;
}

/* ------------------------------------------------------------------ */
/* Module-wide counters                                                */
/* ------------------------------------------------------------------ */

/* Creation of counter variables is serialised so that two first uses of
 * one name cannot both create it (the second creation would reset the
 * first one's count). Filled sites are remembered: a site points into the
 * variable table of the registry it was filled under, and a new registry
 * (a fresh module record) must not inherit those pointers. */
std::mutex stat_sites_lock;
std::vector<std::atomic<tq_variable *> *> stat_sites;
std::atomic<unsigned long long> stat_sites_owner{0};

/* Identifies the current registry by its generation rather than by its
 * address, which a later registry may reuse; 0 without a registry. */
unsigned long long registry_key()
{
    msnp_entities *e = ents;
    return e && e->ns ? e->generation : 0;
}

void stat_sites_follow(unsigned long long key)
{
    std::lock_guard<std::mutex> guard(stat_sites_lock);
    if (stat_sites_owner.load(std::memory_order_acquire) == key)
        return;
    for (std::atomic<tq_variable *> *site : stat_sites)
        site->store(nullptr, std::memory_order_release);
    stat_sites.clear();
    stat_sites_owner.store(key, std::memory_order_release);
}

tq_variable *stat_site_fill(std::atomic<tq_variable *> *site, const char *name, const char *suffix)
{
    std::lock_guard<std::mutex> guard(stat_sites_lock);
    tq_variable *var = site->load(std::memory_order_acquire);
    if (var)
        return var;
    std::string full(name);
    if (suffix) {
        full += '-';
        full += suffix;
    }
    var = static_cast<tq_variable *>(ents->ns->get_safe(ents->ns, full.c_str()));
    if (!var) {
        var = variable_set(ents->ns, ("i/" + full).c_str(), "0");
        if (!var)
            return nullptr;
        __atomic_fetch_or(&var->flags, VARIABLE_STATISTIC, __ATOMIC_SEQ_CST);
    }
    try {
        stat_sites.push_back(site);
    } catch (...) {
        return var; /* counted now, looked up again next time */
    }
    site->store(var, std::memory_order_release);
    return var;
}

void stat_bump(std::atomic<tq_variable *> *site, const char *name, const char *suffix)
{
    if (!site || !name)
        return;
    unsigned long long key = registry_key();
    if (!key)
        return;
    if (stat_sites_owner.load(std::memory_order_acquire) != key)
        stat_sites_follow(key);
    tq_variable *var = site->load(std::memory_order_acquire);
    if (!var)
        var = stat_site_fill(site, name, suffix);
    /* A variable of another type set by the configuration stays as it is:
     * variable_add leaves non-integers alone. */
    if (var)
        variable_add(var, 1);
}

/* ------------------------------------------------------------------ */
/* Files                                                               */
/* ------------------------------------------------------------------ */

const char kStatisticsFile[] = "statistics.log";

/* The handle becomes one directory name under the log directory; a handle
 * that could climb out of it or name a deeper path gets no directory. */
bool handle_is_path_safe(const char *handle)
{
    if (!handle || !*handle || strcmp(handle, ".") == 0 || strcmp(handle, "..") == 0)
        return false;
    return !strchr(handle, '/') && !strchr(handle, '\\');
}

/* `<log-dir>\<handle>`, or empty when the person has no usable handle. */
std::string user_statistics_dir(const msnp_person *person)
{
    if (!handle_is_path_safe(person->handle))
        return std::string();
    std::string dir(msnp_get_var("log-dir", "log\\msn"));
    dir += '\\';
    dir += person->handle;
    return dir;
}

/* Loads one stored file; NULL when it is missing or not XML. */
iks *load_statistics_file(const std::string &module_path)
{
    char *path = host_path(module_path.c_str());
    if (!path)
        return nullptr;
    std::ifstream in(path, std::ios::binary);
    free(path);
    if (!in)
        return nullptr;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return msnp_xml_parse(text.data(), text.size(), nullptr);
}

/* A copy of `src` without its content, so that the sum can become its
 * text. */
iks *copy_without_text(iks *src, ikstack *stack)
{
    iks *copy = iks_new_within(iks_name(src), stack);
    if (!copy)
        return nullptr;
    for (iks *a = iks_attrib(src); a; a = iks_next(a))
        iks_insert_attrib(copy, iks_name(a), iks_cdata(a));
    return copy;
}

struct persisted_sum {
    iks *result;
    tqtable *entries; /* key -> msnp_person_stat_entry*, first-seen order */
    bool taken = false;
    bool appended = false;
};

void add_file_to_sum(persisted_sum &sum, iks *file)
{
    for (iks *child = iks_first_tag(file); child; child = iks_next_tag(child)) {
        std::string key(iks_name(child));
        if (const char *action = iks_find_attrib(child, "action")) {
            key += '-';
            key += action;
        }
        auto *entry = static_cast<msnp_person_stat_entry *>(sum.entries->get(sum.entries, key.c_str()));
        if (!entry) {
            entry = static_cast<msnp_person_stat_entry *>(calloc(1, sizeof *entry));
            if (!entry)
                continue;
            entry->var = copy_without_text(child, iks_stack(sum.result));
            if (!entry->var) {
                free(entry);
                continue;
            }
            sum.entries->set(sum.entries, key.c_str(), entry);
        }
        entry->value += count_or_zero(msnp_xml_first_text(child));
    }
}

int append_sum_entry(const char *, void *value, void *arg)
{
    auto *sum = static_cast<persisted_sum *>(arg);
    auto *entry = static_cast<msnp_person_stat_entry *>(value);
    char text[24];
    int len = snprintf(text, sizeof text, "%lu", entry->value);
    iks_insert_cdata(entry->var, text, len);
    iks_insert_node(sum->result, entry->var);
    iks_insert_cdata(sum->result, "\n", 1);
    sum->appended = true;
    return 0;
}

struct time_range {
    bool has_begin = false, has_end = false;
    long begin = 0, end = 0;
};

/* "B:E", "B:", ":E" or "B"; an empty side is unset. */
bool parse_time_range(const char *text, time_range *range)
{
    const char *colon = strchr(text, ':');
    const char *begin_end = colon ? colon : text + strlen(text);
    if (begin_end != text) {
        if (!parse_seconds(text, begin_end, &range->begin))
            return false;
        range->has_begin = true;
    }
    if (colon && colon[1]) {
        if (!parse_seconds(colon + 1, colon + strlen(colon), &range->end))
            return false;
        range->has_end = true;
    }
    return true;
}

} // namespace

/* ------------------------------------------------------------------ */
/* Interfaces                                                          */
/* ------------------------------------------------------------------ */

void msnp_stat_bump(std::atomic<tq_variable *> *site, const char *name)
{
    stat_bump(site, name, nullptr);
}

/* The one place where a verdict picks its counter. */
int msnp_verdict_result(match_t verdict)
{
    switch (verdict) {
    case TQ_MATCH_NONE: return 0;
    case TQ_MATCH_PASS: return 1;
    case TQ_MATCH_BLOCK: return 2;
    case TQ_MATCH_ALERT: return 3;
    default: return -1;
    }
}

void msnp_stat_bump_verdict(std::atomic<tq_variable *> sites[4], const char *name, match_t verdict)
{
    if (!sites)
        return;
    int index = msnp_verdict_result(verdict);
    if (index >= 0)
        stat_bump(&sites[index], name, kVerdictWords[index]);
}

static void append_counter(iks *x, const char *name, const char *action, unsigned long value)
{
    char text[24];
    int len = snprintf(text, sizeof text, "%lu", value);
    iks *child = iks_insert(x, name);
    if (!child)
        return;
    iks_insert_attrib(child, "action", action);
    iks_insert_cdata(child, text, len);
    iks_insert_cdata(x, "\n", 1);
}

iks *msnp_statistics_serialize(msnp_statistics *statistics, ikstack *stack, int zero)
{
    if (!statistics)
        return nullptr;
    iks *x = stack ? iks_new_within("statistics", stack) : iks_new("statistics");
    if (!x)
        return nullptr;
    iks_insert_cdata(x, "\n", 1);
    bool written = false;
    for (const stat_group &g : kGroups) {
        if (!g.in_xml)
            continue;
        for (int v = 0; v < kVerdicts; ++v) {
            unsigned long value = statistics->*g.counters[v];
            if (!value && !zero)
                continue;
            append_counter(x, g.xml, kVerdictWords[v], value);
            written = true;
        }
    }
    /* Conversation time is reported only once there is some, even when
     * every counter is asked for. */
    if (statistics->chat_time) {
        append_counter(x, "chat_time", "none", statistics->chat_time);
        written = true;
    }
    if (!written) {
        if (!stack)
            iks_delete(x);
        return nullptr;
    }
    return x;
}

void msnp_statistics_deserialize(msnp_statistics *statistics, iks *node)
{
    if (!statistics || !node)
        return;
    for (const stat_group &g : kGroups) {
        if (!g.in_xml)
            continue;
        for (int v = 0; v < kVerdicts; ++v) {
            iks *child = iks_find_with_attrib(node, g.xml, "action", kVerdictWords[v]);
            const char *text = child ? msnp_xml_first_text(child) : nullptr;
            if (text)
                statistics->*g.counters[v] = count_or_zero(text);
        }
    }
    iks *chat = iks_find(node, "chat_time");
    const char *text = chat ? msnp_xml_first_text(chat) : nullptr;
    if (text)
        statistics->chat_time = count_or_zero(text);
}

/* Writes the rendered block as the user's current file after rotating the
 * older ones. False when the period could not be stored, so that its counts
 * are kept for the next attempt. */
static bool write_statistics_file(msnp_person *person, iks *x, int count)
{
    time_t now = time(nullptr);
    struct tm local;
    time_t stamp = localtime_r(&now, &local) ? mktime(&local) : now;
    char stamp_text[24];
    snprintf(stamp_text, sizeof stamp_text, "%ld", static_cast<long>(stamp));
    iks_insert_attrib(x, "timestamp", stamp_text);

    const char *text = iks_string(iks_stack(x), x);
    if (!text)
        return true; /* nothing that could ever be written */
    std::string dir = user_statistics_dir(person);
    if (dir.empty())
        return false;
    check_dir_and_create(dir.c_str());
    rotate_logs_pattern(dir.c_str(), kStatisticsFile, count);
    char *path = host_path((dir + '\\' + kStatisticsFile).c_str());
    FILE *f = path ? fopen(path, "wb") : nullptr;
    free(path);
    if (!f)
        return false;
    size_t len = strlen(text);
    bool written = fwrite(text, 1, len, f) == len;
    return fclose(f) == 0 && written;
}

/* A person's block is counted into by the threads of all its connections
 * (atomically, under the policy's read lock, as the persisting timer is):
 * each counter is taken and zeroed in one step, so a count made while the
 * period is written belongs to the next one instead of being lost. */
static void take_statistics(msnp_statistics *from, msnp_statistics *into, bool give_back)
{
    static_assert(sizeof(msnp_statistics) % sizeof(unsigned long) == 0, "a block of counters only");
    auto *src = reinterpret_cast<unsigned long *>(from);
    auto *dst = reinterpret_cast<unsigned long *>(into);
    for (size_t i = 0; i < sizeof(msnp_statistics) / sizeof(unsigned long); ++i) {
        if (give_back)
            __atomic_fetch_add(&src[i], dst[i], __ATOMIC_RELAXED);
        else
            dst[i] = __atomic_exchange_n(&src[i], 0, __ATOMIC_RELAXED);
    }
}

void msnp_persist_statistics(msnp_person *person, int count)
{
    if (!person || person->type != PERSON_USER)
        return;
    msnp_statistics period{};
    take_statistics(&person->stats, &period, false);
    iks *x = msnp_statistics_serialize(&period, nullptr, 0);
    if (x) {
        bool stored = write_statistics_file(person, x, count);
        iks_delete(x);
        if (!stored) /* kept for the next attempt */
            take_statistics(&person->stats, &period, true);
    }
}

iks *msnp_statistics_persisted(msnp_person *person, int past, const char *trange)
{
    if (past < 0 || !person || person->type != PERSON_USER)
        return nullptr;
    std::string dir = user_statistics_dir(person);
    if (dir.empty())
        return nullptr;
    time_range range;
    if (trange && !parse_time_range(trange, &range))
        return nullptr;
    const bool summing = trange != nullptr;

    iks *result = iks_new("persisted-statistics");
    if (!result)
        return nullptr;
    iks_insert_cdata(result, "\n", 1);
    persisted_sum sum{result, summing ? new_tqtable(64) : nullptr};
    if (summing && !sum.entries) {
        iks_delete(result);
        return nullptr;
    }

    int n = past;
    if (n == 0) {
        n = count_directory_pattern(dir.c_str(), kStatisticsFile, 0);
        if (n < 0)
            n = 0;
    }
    /* Oldest first: the highest rotated number, down to the current file. */
    for (int i = n; i >= 0; --i) {
        std::string name = dir + '\\' + kStatisticsFile;
        if (i > 0)
            name += "." + std::to_string(i - 1);
        iks *file = load_statistics_file(name);
        if (!file)
            continue;
        if (!summing) {
            iks *copy = iks_copy_within(file, iks_stack(result));
            if (copy) {
                iks_insert_node(result, copy);
                iks_insert_cdata(result, "\n", 1);
                sum.appended = true;
            }
            iks_delete(file);
            continue;
        }
        const char *stamp_text = iks_find_attrib(file, "timestamp");
        long stamp = 0;
        if (stamp_text && !parse_seconds(stamp_text, stamp_text + strlen(stamp_text), &stamp))
            stamp = 0;
        if (range.has_begin && stamp < range.begin) {
            iks_delete(file);
            continue;
        }
        if (range.has_end && stamp > range.end) {
            iks_delete(file);
            break;
        }
        if (!sum.taken) {
            sum.taken = true;
            if (stamp_text)
                iks_insert_attrib(result, "timestamp", stamp_text);
        }
        add_file_to_sum(sum, file);
        iks_delete(file);
    }

    if (summing) {
        linear_entries_direct(sum.entries, append_sum_entry, &sum);
        tqtable_destroy_with_values(sum.entries, nullptr); /* elements live in result */
    }
    if (!sum.appended) {
        iks_delete(result);
        return nullptr;
    }
    return result;
}
