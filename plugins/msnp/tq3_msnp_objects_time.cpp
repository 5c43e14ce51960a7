/* Time objects: lists of windows. A relative window names months and
 * weekdays as bits of one word plus a daily range of hours and minutes; an
 * absolute window is an interval of epoch seconds. */
#include <iksemel.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "tq3_msnp.h"
#include "tq3_msnp_objects_generic.h"
#include "tq3_msnp_xml.h"
#include "tqidl.h"
#include "tqlist.h"
#include "utils.h"

extern "C" const msnp_time_token msnp_time_tokens[] = {
    {"month_none", 0},
    {"jan", 0x1},
    {"feb", 0x2},
    {"mar", 0x4},
    {"apr", 0x8},
    {"may", 0x10},
    {"jun", 0x20},
    {"jul", 0x40},
    {"aug", 0x80},
    {"sep", 0x100},
    {"oct", 0x200},
    {"nov", 0x400},
    {"dec", 0x800},
    {"month_all", 0xFFFF},
    {"dayweek_none", 0},
    {"su", 0x10000},
    {"mo", 0x20000},
    {"tu", 0x40000},
    {"we", 0x80000},
    {"th", 0x100000},
    {"fr", 0x200000},
    {"sa", 0x400000},
    {"dayweek_all", 0xFFFF0000u},
    {"all", 0xFFFFFFFFu},
    {nullptr, 0},
};

#define MSNP_TIME_MAX_TOKENS 23
#define MSNP_TIME_OPEN_END 0x7FFFFFFF

static const msnp_time_token *time_token(const char *name) {
    for (const msnp_time_token *tok = msnp_time_tokens; tok->name; ++tok)
        if (strcmp(tok->name, name) == 0)
            return tok;
    return nullptr;
}

/* A token sets its bits, "!token" clears them; unknown tokens are
 * ignored so that a list written for a newer release still loads. */
static unsigned parse_days(char *days) {
    char *words[MSNP_TIME_MAX_TOKENS];
    int count = strexplode(days, words, MSNP_TIME_MAX_TOKENS, ",", 0);
    unsigned bits = 0;
    for (int i = 0; i < count; ++i) {
        const char *name = words[i];
        int clear = 0;
        if (*name == '!') {
            clear = 1;
            ++name;
        }
        const msnp_time_token *tok = time_token(name);
        if (!tok)
            continue;
        if (clear)
            bits &= ~tok->month_week;
        else
            bits |= tok->month_week;
    }
    return bits;
}

/* A non-negative decimal number filling the whole text. */
static int parse_seconds(const char *text, time_t *out) {
    if (!text || *text < '0' || *text > '9')
        return 0;
    errno = 0;
    char *end = nullptr;
    long long value = strtoll(text, &end, 10);
    if (errno != 0 || !end || *end != '\0')
        return 0;
    *out = (time_t)value;
    return 1;
}

msnp_time_node *msnp_object_time_node_from_spec(const char *spec) {
    if (!spec)
        return nullptr;
    char *copy = strdup(spec);
    if (!copy)
        return nullptr;
    dequote(copy, '\'');
    msnp_time_node *node = (msnp_time_node *)calloc(1, sizeof *node);
    if (!node) {
        free(copy);
        return nullptr;
    }
    int ok = 1;
    if (strchr(copy, '@')) {
        node->type = 0;
        node->time.rel.month_week = (int)0xFFFFFFFFu;
        node->time.rel.hour_start = 0;
        node->time.rel.minute_start = 0;
        node->time.rel.hour_end = 23;
        node->time.rel.minute_end = 59;
        int begins_with_range = copy[0] == '@';
        char *parts[2];
        int count = strexplode(copy, parts, 2, "@", 0);
        char *days = nullptr;
        char *range = nullptr;
        if (count == 2) {
            days = parts[0];
            range = parts[1];
        } else if (count == 1) {
            if (begins_with_range)
                range = parts[0];
            else
                days = parts[0];
        }
        if (days)
            node->time.rel.month_week = (int)parse_days(days);
        if (range) {
            satime *rel = &node->time.rel;
            ok = range_hourminute(range, &rel->hour_start, &rel->minute_start, &rel->hour_end,
                                  &rel->minute_end);
        }
    } else {
        node->type = 1;
        char *dash = strchr(copy, '-');
        if (dash == copy) {
            node->time.abs.start = 0;
            ok = parse_seconds(dash + 1, &node->time.abs.end);
        } else if (dash) {
            *dash = '\0';
            ok = parse_seconds(copy, &node->time.abs.start) &&
                 parse_seconds(dash + 1, &node->time.abs.end);
        } else {
            ok = parse_seconds(copy, &node->time.abs.start);
            node->time.abs.end = MSNP_TIME_OPEN_END;
        }
    }
    free(copy);
    if (!ok) {
        free(node);
        return nullptr;
    }
    return node;
}

static int time_node_equal(const msnp_time_node *a, const msnp_time_node *b) {
    if (a->type != b->type)
        return 0;
    if (a->type)
        return a->time.abs.start == b->time.abs.start && a->time.abs.end == b->time.abs.end;
    /* "all" sets bits that name no month or day; the window written back
     * lists only named ones, and the administrator deletes what he reads. */
    const unsigned named = 0x0FFFu | 0x7F0000u;
    const satime *x = &a->time.rel, *y = &b->time.rel;
    return (x->month_week & named) == (y->month_week & named) && x->hour_start == y->hour_start &&
           x->hour_end == y->hour_end && x->minute_start == y->minute_start &&
           x->minute_end == y->minute_end;
}

int msnp_add_object_time_literal(idl_parser *idl, msnp_object_generic *obj, char *literal) {
    if (!obj)
        return 0;
    msnp_time_node *node = msnp_object_time_node_from_spec(literal);
    if (!node) {
        if (idl)
            idl->error(idl, 1004, "Not a valid time definition: %s", literal ? literal : "");
        return 0;
    }
    tqlist *windows = (tqlist *)obj->data;
    tqlist_insert_begin(&windows, node);
    obj->data = windows;
    return 1;
}

int msnp_del_object_time_literal(idl_parser *idl, msnp_object_generic *obj, char *literal) {
    if (!obj)
        return 0;
    msnp_time_node *probe = msnp_object_time_node_from_spec(literal);
    if (!probe) {
        if (idl)
            idl->warn(idl, "Invalid time specification: %s", literal ? literal : "");
        return 0;
    }
    tqlist *windows = (tqlist *)obj->data;
    int removed = 0;
    for (tqlist *node = windows; node; node = node->next) {
        msnp_time_node *window = (msnp_time_node *)node->data;
        if (time_node_equal(window, probe)) {
            tqlist_unlink_remove(&windows, node);
            free(window);
            removed = 1;
            break;
        }
    }
    obj->data = windows;
    free(probe);
    return removed;
}

char *msnp_encode_time_bitmap(unsigned bits) {
    std::string out;
    for (unsigned bit = 0; bit < 32; ++bit) {
        unsigned value = 1u << bit;
        if (!(bits & value))
            continue;
        for (const msnp_time_token *tok = msnp_time_tokens; tok->name; ++tok) {
            if (tok->month_week == value) {
                if (!out.empty())
                    out += ',';
                out += tok->name;
                break;
            }
        }
    }
    return strdup(out.c_str());
}

iks *msnp_encodedata_object_time(void *data) {
    iks *x = iks_new("data");
    if (!x)
        return nullptr;
    /* New windows go to the front of the list: write them oldest first, so
     * that reading the form back rebuilds the list in the same order. */
    tqlist *head = (tqlist *)data;
    for (tqlist *node = head ? head->prev : nullptr; node; node = node == head ? nullptr : node->prev) {
        const msnp_time_node *window = (const msnp_time_node *)node->data;
        iks *t = iks_insert(x, "time");
        char *text = nullptr;
        if (window->type) {
            char start[32], end[32];
            snprintf(start, sizeof start, "%ld", (long)window->time.abs.start);
            snprintf(end, sizeof end, "%ld", (long)window->time.abs.end);
            iks_insert_attrib(t, "type", "absolute");
            if (asprintf(&text, "%s-%s", start, end) < 0)
                text = nullptr;
        } else {
            const satime *rel = &window->time.rel;
            char *tokens = msnp_encode_time_bitmap((unsigned)rel->month_week);
            iks_insert_attrib(t, "type", "relative");
            if (asprintf(&text, "%s@%02d:%02d-%02d:%02d", tokens ? tokens : "", rel->hour_start,
                         rel->minute_start, rel->hour_end, rel->minute_end) < 0)
                text = nullptr;
            free(tokens);
        }
        if (text) {
            iks_insert_cdata(t, text, 0);
            free(text);
        }
    }
    return x;
}

char *msnp_decodedata_object_time(idl_parser *idl, iks *node, size_t size) {
    (void)size;
    if (!msnp_xml_expect_tag(idl, node, "time"))
        return nullptr;
    const char *text = msnp_xml_entry_text(idl, node);
    if (!text)
        return nullptr;
    return msnp_quote_literal(text);
}

int msnp_time_node_match(const msnp_time_node *node, time_t when) {
    if (!node)
        return 0;
    if (node->type)
        return node->time.abs.start <= when && when <= node->time.abs.end;
    /* Every message asks about the same second as the one before it: the
     * broken-down local time (a lock inside the C library) is worked out
     * once per second and thread. The process reads its time zone once. */
    struct local_time {
        time_t when = -1;
        struct tm tm {};
        bool ok = false;
    };
    thread_local local_time t_cached;
    local_time &cached = tq_thread_block(t_cached);
    if (when != cached.when) {
        cached.ok = localtime_r(&when, &cached.tm) != nullptr;
        cached.when = when;
    }
    if (!cached.ok)
        return 0;
    const struct tm &tm = cached.tm;
    const satime *rel = &node->time.rel;
    unsigned bits = (unsigned)rel->month_week;
    if (!(bits & (1u << tm.tm_mon)) || !(bits & (0x10000u << tm.tm_wday)))
        return 0;
    if (tm.tm_hour < rel->hour_start || tm.tm_hour > rel->hour_end)
        return 0;
    if (tm.tm_hour == rel->hour_start && tm.tm_min < rel->minute_start)
        return 0;
    if (tm.tm_hour == rel->hour_end && tm.tm_min > rel->minute_end)
        return 0;
    return 1;
}

int msnp_time_list_match(const tqlist *windows, time_t when) {
    for (const tqlist *node = windows; node; node = node->next)
        if (msnp_time_node_match((const msnp_time_node *)node->data, when))
            return 1;
    return 0;
}
