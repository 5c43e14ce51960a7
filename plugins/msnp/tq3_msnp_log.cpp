/* Chat logs and activity logs.
 *
 * Every conversation line and activity is one host event; its text (one
 * XML element) is also appended as one line to a file:
 *   chat log      LOGDIR/USER/CONTACT/chat-CREATED.log, one per tracker
 *   activity log  LOGDIR/USER/USER[-DATE].log, one per login
 * Parts are joined with '/', the separator of this platform. A person's
 * no_logs and force_logs, and "log-disabled", decide whether message texts
 * are hidden and whether events reach the host; the file line is written
 * either way (with the text hidden). */
#include <iksemel.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "tq3_core_interface.h"
#include "tq3_msnp.h"
#include "tq3_msnp_conntrack.h"
#include "tq3_msnp_identity.h"
#include "tq3_msnp_log.h"
#include "tq3_msnp_message.h"
#include "tq3_msnp_objects.h"
#include "tq3_msnp_task.h"
#include "tqconn.h"
#include "tqidl.h"
#include "utils.h"

namespace {

/* The session of the message being logged, "session/contact". */
struct session_text {
    std::string text;
};

constexpr size_t kDateMax = 254;
constexpr size_t kChatRoomKept = 4096;

/* A handle made one harmless directory or file name part: handles come from
 * the network, and one holding a separator or naming "." or ".." must not
 * climb out of the log directory. */
std::string path_part(const char *text)
{
    std::string out = text ? text : "";
    for (char &c : out)
        if (c == '/' || c == '\\')
            c = '_';
    if (out.empty() || out == "." || out == "..")
        out = "_";
    return out;
}

std::string log_dir()
{
    char *dir = host_path(msnp_get_var("log-dir", "log\\msn"));
    std::string out = dir ? dir : "log/msn";
    free(dir);
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

std::string user_dir(const char *user)
{
    return log_dir() + "/" + path_part(user);
}

std::string chat_dir(const msnp_conntrack *ct)
{
    return user_dir(ct->user_handle) + "/" + path_part(ct->cont_handle ? ct->cont_handle : "unknown");
}

char *dup_string(const std::string &s)
{
    return strdup(s.c_str());
}

FILE *open_in(const std::string &dir, const std::string &file)
{
    if (!check_dir_and_create(dir.c_str()))
        return nullptr;
    return fopen(file.c_str(), "a+b");
}

/* Appends `lines` to `file` in one write: opened, written and closed
 * again. */
void append_lines(const std::string &dir, const char *file, const std::string &lines)
{
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int fd = ::open(file, flags, 0666);
    if (fd < 0 && errno == ENOENT && check_dir_and_create(dir.c_str()))
        fd = ::open(file, flags, 0666);
    if (fd < 0)
        return;
    while (::write(fd, lines.data(), lines.size()) < 0 && errno == EINTR) {
    }
    ::close(fd);
}

/* The room of a burst goes; a message's worth stays for the next. */
void clear_pending(std::string &pending)
{
    pending.clear();
    if (pending.capacity() > kChatRoomKept)
        std::string().swap(pending);
}

tqconn *conn_of(task_struct *tstruct, tqconn *conn)
{
    return tstruct && tstruct->conn ? tstruct->conn : conn;
}

msnp_conntrack *tracker_of(tqconn *conn)
{
    return conn ? static_cast<msnp_conntrack *>(conn->plugin) : nullptr;
}

/* Events of a connection with a person reach the host unless the person
 * asked for fewer records than that; without a person they do not. */
bool hand_to_host(const msnp_person *person)
{
    return person && (person->force_logs || person->no_logs <= 1);
}

void hand_or_release(tqconn *conn, const msnp_person *person, event_t *event)
{
    if (conn && hand_to_host(person))
        tqevents_insert_event_entry(&conn->eventsq, event);
    else
        tqevents_destroy_event(event);
}

/* The recorded name of an application or datacast: its friendly name
 * without the table's prefix. */
const char *without_prefix(const char *fname, const char *prefix)
{
    size_t n = strlen(prefix);
    return strncmp(fname, prefix, n) == 0 ? fname + n : fname;
}

event_t *message_event(msnp_message *message, const char *orig, const char *dest,
                       const char *session, match_t match)
{
    /* An answer to, or the data of, an invitation the policy withheld. */
    if (message->follows_withheld)
        return tqevents_shortcut_log_activity(orig, dest, "withheld-invitation", nullptr, session, match);
    switch (message->ctype) {
    case MSNP_MESSAGE_TEXTPLAIN:
        return tqevents_shortcut_log_message(orig, dest, message->content, session, match);
    case MSNP_MESSAGE_TEXTSECWAY:
        return tqevents_shortcut_log_message(orig, dest, "<textsecway />", session, match);
    case MSNP_MESSAGE_DATACAST:
        if (message->dtype != MSNP_DATACAST_WINK && message->dtype != MSNP_DATACAST_NUDGE &&
            message->dtype != MSNP_DATACAST_ACTION)
            return nullptr;
        return tqevents_shortcut_log_activity(
            orig, dest, without_prefix(msnp_datacast_search_type(message->dtype)->fname, "datacast_"),
            nullptr, session, match);
    case MSNP_MESSAGE_P2P:
    case MSNP_MESSAGE_INVITE: {
        if (message->itype == MSNP_INVITE_UNKNOWN)
            return nullptr;
        const char *name = without_prefix(msnp_invite_search_type(message->itype)->fname, "invite_");
        if (message->itype != MSNP_INVITE_FILETRANSFER)
            return tqevents_shortcut_log_activity(orig, dest, name, nullptr, session, match);
        if (!message->ft_name || !*message->ft_name)
            return nullptr; /* a transfer without a known file name */
        char *file = strdup(message->ft_name);
        if (!file)
            return nullptr;
        sanitize_utf8_string(file);
        event_t *ev = tqevents_shortcut_log_activity(orig, dest, name, file, session, match);
        free(file);
        return ev;
    }
    case MSNP_MESSAGE_EMOTICON:
    case MSNP_MESSAGE_INK:
        return tqevents_shortcut_log_activity(orig, dest, msnp_message_search_type(message->ctype)->name,
                                              nullptr, session, match);
    default:
        return nullptr;
    }
}

/* Writes the event's line to the task's chat log (the text is what the
 * event holds, so a hidden text stays hidden on disk too). */
void write_chat_line(task_struct *tstruct, const event_t *event)
{
    if (event && event->text)
        message_activity_log(tstruct, event->text);
}

} // namespace

char *msnp_chat_log_path(const msnp_conntrack *ct)
{
    if (!ct)
        return nullptr;
    return dup_string(chat_dir(ct) + "/chat-" + std::to_string(static_cast<long>(ct->time)) + ".log");
}

char *msnp_activity_log_path(const char *user_handle)
{
    if (!user_handle)
        return nullptr;
    std::string name = path_part(user_handle);
    const char *format = msnp_get_var("log-date-format", nullptr);
    if (format) {
        char date[kDateMax + 1] = "";
        time_t now = msnp_now();
        struct tm local;
        if (localtime_r(&now, &local) && strftime(date, sizeof date, format, &local) > 0)
            name += "-" + path_part(date);
    }
    return dup_string(user_dir(user_handle) + "/" + name + ".log");
}

namespace {

/* The host asks for the log files to be opened again by their names (after
 * logrotate moved them) by raising "log-reopen-generation": a file opened
 * under another value is closed at its next line and opened again. */
long reopen_generation() { return msnp_get_var_long("log-reopen-generation", 0); }

} // namespace

int message_log_check_and_open(msnp_conntrack *ct)
{
    if (!ct)
        return 0;
    const long generation = reopen_generation();
    if (ct->chat_log && ct->chat_log_generation == generation)
        return 0;
    if (ct->chat_log) {
        msnp_chat_log_write(ct);
        fclose(ct->chat_log);
        ct->chat_log = nullptr;
    }
    ct->chat_log_generation = generation;
    char *file = msnp_chat_log_path(ct);
    if (file)
        ct->chat_log = open_in(chat_dir(ct), file);
    free(file);
    /* The lines wait in chat_pending, not in a stdio buffer of the file's
     * own: one write for a chunk however many lines it brings, and no
     * buffer kept by a conversation between its chunks. */
    if (ct->chat_log)
        setvbuf(ct->chat_log, nullptr, _IONBF, 0);
    return 0;
}

int message_activity_log(task_struct *tstruct, const char *activity)
{
    msnp_conntrack *ct = tracker_of(tstruct ? tstruct->conn : nullptr);
    if (!ct || !activity)
        return 0;
    message_log_check_and_open(ct);
    if (ct->chat_log)
        ct->chat_pending.append(activity).push_back('\n');
    return 0;
}

int message_log(msnp_message *message, task_struct *tstruct, match_t match)
{
    if (!message || !message->content || !tstruct)
        return 0;
    tqconn *conn = tstruct->conn;
    msnp_conntrack *ct = tracker_of(conn);
    const char *user = ct ? ct->user_handle : nullptr;
    const char *orig = message->orig ? message->orig : user;
    if (!orig)
        return 0;
    /* Built once per message of every conversation: the thread's buffer
     * keeps its room from one to the next. */
    std::string &session = tq_thread_object<session_text>().text;
    bool has_session = ct && ct->session && ct->cont_handle;
    if (has_session)
        session.assign(ct->session).append(1, '/').append(ct->cont_handle);
    const char *dest = message->dest ? message->dest : user;
    /* Logged, searched and kept under the handle as servers compare it
     * (the user's own is the server's already). */
    std::string orig_room, dest_room;
    if (orig == message->orig)
        orig = msnp_canonical_handle_in(orig, orig_room);
    if (dest && dest == message->dest)
        dest = msnp_canonical_handle_in(dest, dest_room);
    if (dest && strcmp(orig, dest) == 0)
        dest = nullptr;

    msnp_person *person = ct ? ct->person : nullptr;
    bool hidden = person && !person->force_logs &&
                  (person->no_logs > 0 || msnp_get_var_long("log-disabled", 0) != 0);
    match_t shown = match;
    if (hidden && (message->ctype == MSNP_MESSAGE_TEXTPLAIN || message->ctype == MSNP_MESSAGE_TEXTSECWAY))
        shown = static_cast<match_t>(static_cast<unsigned>(match) | TQ_MATCH_HIDDEN);

    event_t *event = message_event(message, orig, dest, has_session ? session.c_str() : nullptr, shown);
    if (!event)
        return 0;
    write_chat_line(tstruct, event);
    hand_or_release(conn, person, event);
    return 0;
}

int message_join_leave(const char *user, task_struct *tstruct, const char *type, match_t match)
{
    if (!user)
        return 0;
    event_t *event = tqevents_shortcut_log_join_leave(user, type, match);
    if (!event)
        return 1;
    write_chat_line(tstruct, event);
    tqconn *conn = tstruct ? tstruct->conn : nullptr;
    msnp_conntrack *ct = tracker_of(conn);
    hand_or_release(conn, ct ? ct->person : nullptr, event);
    return 1;
}

void msnp_chat_log_write(msnp_conntrack *ct)
{
    if (!ct || ct->chat_pending.empty())
        return;
    if (ct->chat_log)
        fwrite(ct->chat_pending.data(), 1, ct->chat_pending.size(), ct->chat_log);
    clear_pending(ct->chat_pending);
}

/* A user's activity log is opened only to append what a chunk brought, and
 * closed again: a signed-in user holds no descriptor but its two sockets
 * (which already bound how many users one process can serve), the lines of
 * a contact list of hundreds cost one open, connections of the same user
 * on several threads never interleave within a line, and a log moved away
 * by logrotate is begun anew at once. */
void msnp_log_write(msnp_conntrack *ct)
{
    msnp_chat_log_write(ct);
    if (!ct || ct->activity_pending.empty())
        return;
    char *file = ct->user_handle ? msnp_activity_log_path(ct->user_handle) : nullptr;
    if (file)
        append_lines(user_dir(ct->user_handle), file, ct->activity_pending);
    free(file);
    clear_pending(ct->activity_pending);
}

void msnp_log_flush(tqconn *conn)
{
    msnp_log_write(tracker_of(conn));
}

void msn_sb_activity_log(task_struct *tstruct, tqconn *conn, event_t *event)
{
    if (!event)
        return;
    conn = conn_of(tstruct, conn);
    msnp_conntrack *ct = tracker_of(conn);
    msnp_person *person = ct ? ct->person : nullptr;
    int level = !person || person->force_logs ? 0 : person->no_logs;
    if (event->text && level == 0)
        msn_sb_log(tstruct, conn, event->text);
    if (conn && level < 2)
        tqevents_insert_event_entry(&conn->eventsq, event);
    else
        tqevents_destroy_event(event);
}

void msn_sb_log(task_struct *tstruct, tqconn *conn, const char *activity)
{
    msnp_conntrack *ct = tracker_of(conn_of(tstruct, conn));
    if (!ct || !ct->user_handle || !activity || !ents || !ents->users)
        return;
    /* Other connections sign users in and out meanwhile: the locking slot. */
    if (ents->users->get_safe(ents->users, ct->user_handle))
        ct->activity_pending.append(activity).push_back('\n');
}

/* ------------------------------------------------------------------ */
/* Removing old logs                                                   */
/* ------------------------------------------------------------------ */

int msnp_flush_logs_file(const char *file, long timeflush)
{
    const char *dot = file ? strrchr(file, '.') : nullptr;
    if (!dot || strcmp(dot + 1, "log") != 0)
        return 0;
    struct stat st;
    if (lstat(file, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    if (msnp_now() - st.st_mtime < timeflush)
        return 0;
    return unlink(file) == 0;
}

int msnp_flush_logs_recurse(const char *dir, long timeflush)
{
    DIR *d = dir ? opendir(dir) : nullptr;
    if (!d)
        return 0;
    int removed = 0;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        std::string path = std::string(dir) + "/" + e->d_name;
        struct stat st;
        /* Links are not followed: only what lies under the log directory
         * ages out. */
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            removed += msnp_flush_logs_recurse(path.c_str(), timeflush);
        else if (S_ISREG(st.st_mode))
            removed += msnp_flush_logs_file(path.c_str(), timeflush);
    }
    closedir(d);
    return removed;
}

void msnp_flush_logs(void)
{
    long timeflush = msnp_get_var_long("log-flush-mtime", 11404800);
    if (timeflush == 0 || !ents)
        return;
    std::string dir = log_dir();
    if (dir.empty())
        return;
    std::lock_guard<std::recursive_mutex> guard(ents->logsdata_lock);
    msnp_flush_logs_recurse(dir.c_str(), timeflush);
}

/* ------------------------------------------------------------------ */
/* Searching the chat logs                                             */
/* ------------------------------------------------------------------ */

namespace {

struct log_search {
    bool dryrun = true;
    int entries = 0;
    std::string orig = "*", dest = "*";
    tqlist *list_orig = nullptr, *list_dest = nullptr; /* comma lists, or NULL */
    std::string cur_orig, cur_dest;
    unsigned long time_begin = 0, time_end = static_cast<unsigned long>(-1);
    unsigned long cur_stamp = 0;
    const char *expr = nullptr;
    iks *base = nullptr;
};

/* "a,b,c" as a list of patterns, or NULL for one pattern. */
tqlist *pattern_list(const std::string &text)
{
    if (text.find(',') == std::string::npos)
        return nullptr;
    tqlist *out = nullptr;
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        std::string piece = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (!piece.empty())
            tqlist_insert_end(&out, strdup(piece.c_str()));
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    return out;
}

bool selected(const std::string &pattern, const tqlist *list, const char *name)
{
    return list ? fnmatch_list(list, name, 0) != 0 : fnmatch(pattern.c_str(), name, 0) == 0;
}

bool is_directory(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void process_log(const std::string &file, log_search &s)
{
    /* A name with a quote makes the element unparsable: its logs are
     * skipped. */
    std::string text = "<log user='" + s.cur_orig + "' contact='" + s.cur_dest +
                       "' time='" + std::to_string(s.cur_stamp) + "'>\n";
    if (!s.dryrun) {
        FILE *f = fopen(file.c_str(), "rb");
        if (!f)
            return;
        std::string content;
        char buf[65536];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
            content.append(buf, n);
        fclose(f);
        content.resize(strlen(content.c_str())); /* up to a NUL byte, as C text */
        std::vector<char> clean(content.begin(), content.end());
        clean.push_back('\0');
        sanitize_utf8_string(clean.data());
        text += clean.data();
    }
    text += "</log>";
    int err = 0;
    iks *log = iks_tree(text.c_str(), text.size(), &err);
    if (!log)
        return;
    if (!s.dryrun && s.expr && !super_simple_xml_search(iks_first_tag(log), s.expr)) {
        iks_delete(log);
        return;
    }
    iks_insert_node(s.base, iks_copy_within(log, iks_stack(s.base)));
    iks_insert_cdata(s.base, "\n", 1);
    ++s.entries;
    iks_delete(log);
}

void search_contact_dir(const std::string &dir, log_search &s)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    while (struct dirent *e = readdir(d)) {
        const char *name = e->d_name;
        const char *hyphen = strchr(name, '-'), *dot = strchr(name, '.');
        if (!hyphen || !dot || hyphen + 1 >= dot)
            continue;
        char *end = nullptr;
        unsigned long stamp = strtoul(hyphen + 1, &end, 10);
        if (end != dot || !isdigit(static_cast<unsigned char>(hyphen[1])))
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        s.cur_stamp = stamp;
        if (stamp >= s.time_begin && stamp <= s.time_end)
            process_log(path, s);
    }
    closedir(d);
}

void search_logs(const std::string &dir, log_search &s)
{
    s.entries = 0;
    DIR *users = opendir(dir.c_str());
    if (users) {
        while (struct dirent *u = readdir(users)) {
            if (!strcmp(u->d_name, ".") || !strcmp(u->d_name, "..") || !selected(s.orig, s.list_orig, u->d_name))
                continue;
            std::string user_path = dir + "/" + u->d_name;
            if (!is_directory(user_path))
                continue;
            s.cur_orig = u->d_name;
            DIR *contacts = opendir(user_path.c_str());
            if (!contacts)
                continue;
            while (struct dirent *c = readdir(contacts)) {
                if (!strcmp(c->d_name, ".") || !strcmp(c->d_name, "..") ||
                    !selected(s.dest, s.list_dest, c->d_name))
                    continue;
                std::string contact_path = user_path + "/" + c->d_name;
                if (!is_directory(contact_path))
                    continue;
                s.cur_dest = c->d_name;
                search_contact_dir(contact_path, s);
            }
            closedir(contacts);
        }
        closedir(users);
    }
    iks_insert_attrib(s.base, "entries", std::to_string(s.entries).c_str());
}

/* A decimal number, or `fallback` for an empty text. */
unsigned long number_or(const std::string &text, unsigned long fallback)
{
    return text.empty() ? fallback : strtoul(text.c_str(), nullptr, 10);
}

} // namespace

void msnp_log(idl_parser *idl, char **args)
{
    if (!args || !args[0]) {
        if (idl && idl->error)
            idl->error(idl, 2, "Missing log search definition");
        return;
    }
    log_search s;
    if (strcmp(args[0], "list") == 0) {
        s.dryrun = true;
    } else if (strcmp(args[0], "show") == 0) {
        s.dryrun = false;
    } else {
        if (idl && idl->error)
            idl->error(idl, 2, "Unknown log search definition: %s", args[0]);
        return;
    }
    std::string dir = log_dir();
    if (dir.empty())
        return;
    if (args[1]) {
        std::string names = args[1];
        size_t colon = names.find(':');
        std::string o = names.substr(0, colon), d = colon == std::string::npos ? "" : names.substr(colon + 1);
        s.orig = o.empty() ? "*" : o;
        s.dest = d.empty() ? "*" : d;
        s.list_orig = pattern_list(s.orig);
        s.list_dest = pattern_list(s.dest);
        if (args[2]) {
            std::string range = args[2];
            size_t c = range.find(':');
            s.time_begin = number_or(range.substr(0, c), 0);
            s.time_end = c == std::string::npos ? static_cast<unsigned long>(-1)
                                                : number_or(range.substr(c + 1), static_cast<unsigned long>(-1));
            if (args[3])
                s.expr = dequote(args[3], '"'); /* a text of several words comes quoted */
        }
    }
    s.base = iks_new("logs");
    if (s.base) {
        iks_insert_cdata(s.base, "\n", 1);
        if (ents) {
            std::lock_guard<std::recursive_mutex> guard(ents->logsdata_lock);
            search_logs(dir, s);
        } else {
            search_logs(dir, s);
        }
        const char *text = iks_string(iks_stack(s.base), s.base);
        if (text && idl) {
            free(idl->data);
            idl->data = strdup(text);
        }
        iks_delete(s.base);
    }
    tqlist_destroy(&s.list_orig, nullptr);
    tqlist_destroy(&s.list_dest, nullptr);
}
