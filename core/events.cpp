// Host events. Every event text is one XML element on one line, with
// user-controlled text (messages, handles) always escaped: object events
// are rendered by iksemel from the object's tree, log events by a one-pass
// writer that renders them the same way.
#include "tqevents_interface.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <array>
#include <charconv>
#include <cstdint>
#include <memory>
#include <string>

#include "utils.h"

namespace {

struct IksDeleter {
    void operator()(iks *x) const { iks_delete(x); }
};
using IksPtr = std::unique_ptr<iks, IksDeleter>;

constexpr unsigned kMatchFlags = TQ_MATCH_HIDDEN | TQ_MATCH_ADVISED;

// The rendered element as one line of valid UTF-8: logs keep one event per
// line, and a message text (network bytes) may hold line breaks, control
// bytes or broken sequences. A line break (CR LF, CR or LF) becomes one
// blank (character references would not read back through our XML reader);
// what no XML document may hold becomes '?'.
char *one_line(const char *rendered)
{
    size_t n = std::strlen(rendered);
    char *text = static_cast<char *>(std::malloc(n + 1));
    if (!text)
        return nullptr;
    /* Spans without a line break are copied whole: message texts are long
     * and rarely hold one. */
    size_t out = 0;
    for (const char *p = rendered; *p;) {
        size_t span = std::strcspn(p, "\r\n");
        std::memcpy(text + out, p, span);
        out += span;
        p += span;
        if (!*p)
            break;
        p += p[0] == '\r' && p[1] == '\n' ? 2 : 1;
        text[out++] = ' ';
    }
    text[out] = '\0';
    sanitize_utf8_string(text);
    return text;
}

event_t *new_event(char *text, event_code code, time_t now)
{
    if (!text)
        return nullptr;
    auto *ev = static_cast<event_t *>(std::calloc(1, sizeof(event_t)));
    if (!ev) {
        std::free(text);
        return nullptr;
    }
    ev->text = text;
    ev->code = code;
    ev->time = now;
    return ev;
}

// Renders `x` and wraps it in a malloc'd event. Takes `x`.
event_t *finish(IksPtr x, event_code code, time_t now)
{
    if (!x)
        return nullptr;
    char *rendered = iks_string(iks_stack(x.get()), x.get());
    if (!rendered)
        return nullptr;
    return new_event(one_line(rendered), code, now);
}

/* Bytes copied as they are into a log line: printable ASCII but the markup
 * characters, and the tab. */
constexpr auto kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x7F; ++c)
        plain[c] = c != '&' && c != '<' && c != '>' && c != '\'' && c != '"';
    plain['\t'] = true;
    return plain;
}();

// A growing line of text in one malloc'd block that is handed over as it
// is: the event keeps the very buffer the line was built in. A failed
// allocation makes the whole line fail.
class LineBuffer {
public:
    LineBuffer() = default;
    LineBuffer(const LineBuffer &) = delete;
    LineBuffer &operator=(const LineBuffer &) = delete;
    ~LineBuffer() { std::free(p_); }

    void reserve(size_t want)
    {
        if (want >= cap_)
            grow(want + 1);
    }
    void append(const char *s, size_t n)
    {
        if (n_ + n >= cap_ && !grow(n_ + n + 1))
            return;
        std::memcpy(p_ + n_, s, n);
        n_ += n;
    }
    LineBuffer &operator+=(char c)
    {
        append(&c, 1);
        return *this;
    }
    LineBuffer &operator+=(const char *s)
    {
        append(s, std::strlen(s));
        return *this;
    }
    size_t size() const { return n_; }
    // The NUL-terminated line, now the caller's; NULL when memory ran out.
    char *release()
    {
        if (failed_ || !(p_ || grow(1)))
            return nullptr;
        p_[n_] = '\0';
        char *line = p_;
        p_ = nullptr;
        n_ = cap_ = 0;
        return line;
    }

private:
    bool grow(size_t need)
    {
        if (failed_)
            return false;
        size_t cap = need > 2 * cap_ ? need : 2 * cap_;
        auto *p = static_cast<char *>(std::realloc(p_, cap));
        if (!p) {
            failed_ = true;
            return false;
        }
        p_ = p;
        cap_ = cap;
        return true;
    }

    char *p_ = nullptr;
    size_t n_ = 0, cap_ = 0;
    bool failed_ = false;
};

// A log event's element written in one pass. Log events come with every
// message a conversation carries, and building a tree, rendering it and
// then cleaning the rendering went over a message text seven times. The
// element reads exactly as the XML writer renders it (attributes in single
// quotes and in the order given, the five markup characters as entities,
// "/>" without text; the tests hold the two together), and every value is
// made one line of valid UTF-8 as one_line() does.
class LogLine {
public:
    explicit LogLine(const char *element) : element_(element)
    {
        // Room for the attributes of a usual line: it is built once per
        // relayed message and would otherwise grow four times.
        out_.reserve(256);
        out_ += '<';
        out_ += element;
    }

    // Attribute names are literals, measured by the compiler.
    template <size_t N> LogLine &attr(const char (&name)[N], const char *value)
    {
        if (!value)
            return *this;
        out_ += ' ';
        out_.append(name, N - 1);
        out_.append("='", 2);
        clean(value);
        out_ += '\'';
        return *this;
    }

    template <size_t N> LogLine &attr(const char (&name)[N], long long value)
    {
        return attr(name, number_text(value));
    }

    // Closes the element around `text` (none when null or empty).
    char *finish(const char *text)
    {
        if (text && *text) {
            size_t len = std::strlen(text);
            // Room for the text with a few entities, and the end tag.
            out_.reserve(out_.size() + len + len / 8 + 32);
            out_ += '>';
            clean(text, len);
            out_ += "</";
            out_ += element_;
            out_ += '>';
        } else {
            out_ += "/>";
        }
        return out_.release();
    }

private:
    // The text of `value`, the thread's own until its next call. Lines come
    // many a second with the same time: its text is kept.
    static const char *number_text(long long value)
    {
        struct text_of {
            long long value = -1;
            char text[24] = "-1";
        };
        thread_local text_of t_last;
        text_of &last = tq_thread_block(t_last);
        if (value != last.value) {
            *std::to_chars(last.text, last.text + sizeof last.text - 1, value).ptr = '\0';
            last.value = value;
        }
        return last.text;
    }

    void clean(const char *text) { clean(text, std::strlen(text)); }

    // `text` is `len` bytes and a NUL (a CR's partner and a UTF-8 sequence
    // are looked for no further than the NUL).
    void clean(const char *text, size_t len)
    {
        auto *p = reinterpret_cast<const unsigned char *>(text);
        const unsigned char *end = p + len;
        while (p < end) {
            const unsigned char *run = p;
            p = skip_plain(p, end);
            out_.append(reinterpret_cast<const char *>(run), static_cast<size_t>(p - run));
            if (p == end)
                return;
            unsigned char c = *p;
            switch (c) {
            case '&': out_ += "&amp;"; break;
            case '<': out_ += "&lt;"; break;
            case '>': out_ += "&gt;"; break;
            case '\'': out_ += "&apos;"; break;
            case '"': out_ += "&quot;"; break;
            case '\r':
                if (p[1] == '\n')
                    ++p;
                [[fallthrough]];
            case '\n': out_ += ' '; break;
            default:
                if (c >= 0x80) {
                    size_t n = utf8_sequence(p);
                    if (n) {
                        out_.append(reinterpret_cast<const char *>(p), n);
                        p += n;
                        continue;
                    }
                }
                out_ += '?';
            }
            ++p;
        }
    }

    // The first byte from `p` that is not copied as it is. Message texts
    // are mostly plain: they are looked at sixteen bytes at a time.
    static const unsigned char *skip_plain(const unsigned char *p, const unsigned char *end)
    {
        typedef unsigned char bytes16 __attribute__((vector_size(16)));
        while (end - p >= 16) {
            bytes16 v;
            std::memcpy(&v, p, sizeof v);
            auto odd = (v < 0x20) | (v > 0x7E) | (v == '&') | (v == '<') | (v == '>') | (v == '\'') | (v == '"');
            uint64_t half[2];
            std::memcpy(half, &odd, sizeof half);
            if (half[0] | half[1])
                break;
            p += 16;
        }
        while (p < end && kPlain[*p])
            ++p;
        return p;
    }

    const char *element_;
    LineBuffer out_;
};

event_t *object_event(const char *element, event_code code, iks *object)
{
    if (!object)
        return nullptr;
    IksPtr x(iks_new(element));
    if (!x)
        return nullptr;
    // Copy into the event's own stack so that deleting the event tree frees
    // the copy too.
    iks *copy = iks_copy_within(object, iks_stack(x.get()));
    if (!copy)
        return nullptr;
    iks_insert_node(x.get(), copy);
    return finish(std::move(x), code, time(nullptr));
}

} // namespace

extern "C" {

const char *tqevents_code_name(event_code code)
{
    switch (code) {
    case EVENT_CODE_NONE: return "none";
    case EVENT_CODE_OBJECT_NEW: return "object-new";
    case EVENT_CODE_OBJECT_DATA: return "object-data";
    case EVENT_CODE_OBJECT_RENAME: return "object-rename";
    case EVENT_CODE_OBJECT_COLLECT: return "object-collect";
    case EVENT_CODE_LOG_MESSAGE: return "message";
    case EVENT_CODE_LOG_ACTIVITY: return "activity";
    case EVENT_CODE_LOG_JOINLEAVE: return "join-leave";
    case EVENT_CODE_LOG_LOGIN: return "login";
    case EVENT_CODE_LOG_LOGOUT: return "logout";
    case EVENT_CODE_LOG_ONLINE: return "online";
    case EVENT_CODE_LOG_OFFLINE: return "offline";
    case EVENT_CODE_LOG_STATECHANGE: return "state-change";
    case EVENT_CODE_LOG_ADDING: return "adding";
    case EVENT_CODE_LOG_ADDEDBY: return "added-by";
    case EVENT_CODE_LOG_REMOVING: return "removing";
    case EVENT_CODE_LOG_REMOVEDBY: return "removed-by";
    case EVENT_CODE_LOG_CALLING: return "calling";
    case EVENT_CODE_LOG_CALLEDBY: return "called-by";
    case EVENT_CODE_LOG_LISTING: return "listing";
    }
    return "unknown";
}

const char *tqevents_match_name(match_t match)
{
    switch (static_cast<unsigned>(match) & ~kMatchFlags) {
    case TQ_MATCH_NONE: return "none";
    case TQ_MATCH_INVALID: return "invalid";
    case TQ_MATCH_MOREDATA: return "more-data";
    case TQ_MATCH_PASS: return "pass";
    case TQ_MATCH_BLOCK: return "block";
    case TQ_MATCH_CONTINUE: return "continue";
    case TQ_MATCH_ALERT: return "alert";
    default: return "unknown";
    }
}

event_t *tqevents_shortcut_object_new(iks *object)
{
    return object_event("object-new", EVENT_CODE_OBJECT_NEW, object);
}

event_t *tqevents_shortcut_object_data(iks *object)
{
    return object_event("object-data", EVENT_CODE_OBJECT_DATA, object);
}

event_t *tqevents_shortcut_object_rename(const char *old_name, const char *new_name)
{
    if (!old_name || !new_name)
        return nullptr;
    LogLine x("object-rename");
    x.attr("old", old_name).attr("new", new_name);
    return new_event(x.finish(nullptr), EVENT_CODE_OBJECT_RENAME, time(nullptr));
}

event_t *tqevents_shortcut_object_collect(const char *name)
{
    if (!name)
        return nullptr;
    LogLine x("object-collect");
    x.attr("name", name);
    return new_event(x.finish(nullptr), EVENT_CODE_OBJECT_COLLECT, time(nullptr));
}

event_t *tqevents_shortcut_contact_activity(const char *handle, event_code code, match_t match)
{
    time_t now = time(nullptr);
    LogLine x("contact-activity");
    x.attr("handle", handle).attr("code", tqevents_code_name(code)).attr("verdict", tqevents_match_name(match));
    x.attr("time", static_cast<long long>(now));
    return new_event(x.finish(nullptr), code, now);
}

event_t *tqevents_shortcut_log_message(const char *orig, const char *dest, const char *text,
                                       const char *session, match_t match)
{
    if (static_cast<unsigned>(match) & TQ_MATCH_HIDDEN)
        text = nullptr;
    time_t now = time(nullptr);
    LogLine x("message");
    x.attr("orig", orig).attr("dest", dest).attr("session", session);
    x.attr("verdict", tqevents_match_name(match)).attr("time", static_cast<long long>(now));
    return new_event(x.finish(text), EVENT_CODE_LOG_MESSAGE, now);
}

event_t *tqevents_shortcut_log_activity(const char *orig, const char *dest, const char *activity,
                                        const char *detail, const char *session, match_t match)
{
    time_t now = time(nullptr);
    LogLine x("activity");
    x.attr("orig", orig).attr("dest", dest).attr("session", session);
    x.attr("verdict", tqevents_match_name(match)).attr("activity", activity);
    x.attr("time", static_cast<long long>(now));
    return new_event(x.finish(detail), EVENT_CODE_LOG_ACTIVITY, now);
}

event_t *tqevents_shortcut_log_join_leave(const char *user, const char *type, match_t match)
{
    time_t now = time(nullptr);
    LogLine x("join-leave");
    x.attr("user", user).attr("type", type).attr("verdict", tqevents_match_name(match));
    x.attr("time", static_cast<long long>(now));
    return new_event(x.finish(nullptr), EVENT_CODE_LOG_JOINLEAVE, now);
}

void tqevents_insert_event_entry(tqlist **queue, event_t *event)
{
    if (!event)
        return;
    if (!queue || !tqlist_insert_end(queue, event))
        tqevents_destroy_event(event);  // the queue took it, even on failure
}

void tqevents_destroy_event(event_t *event)
{
    if (!event)
        return;
    std::free(event->text);
    std::free(event);
}

void tqevents_destroy_queue(tqlist **queue)
{
    tqlist_destroy(queue, [](void *e) { tqevents_destroy_event(static_cast<event_t *>(e)); });
}

} // extern "C"
