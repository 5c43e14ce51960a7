// The archive's administrative verbs: search, export and verify.
#include "archive_admin.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

#include "events.h"
#include "tqevents_interface.h"
#include "textutil.h"

namespace gw {

namespace {

// YYYY-MM-DD[THH:MM[:SS]] in local time, or seconds since the epoch.
bool parse_time(const std::string &text, long &out)
{
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        out = std::stol(text);
        return true;
    }
    std::tm tm{};
    int n = 0;
    int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &n);
    if (fields != 3)
        return false;
    size_t at = static_cast<size_t>(n);
    if (at < text.size()) {
        int m = 0;
        tm.tm_sec = 0;
        if (std::sscanf(text.c_str() + at, "T%2d:%2d%n", &tm.tm_hour, &tm.tm_min, &m) != 2)
            return false;
        at += static_cast<size_t>(m);
        if (at < text.size()) {
            if (std::sscanf(text.c_str() + at, ":%2d%n", &tm.tm_sec, &m) != 1)
                return false;
            at += static_cast<size_t>(m);
        }
        if (at != text.size())
            return false;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return false;
    out = static_cast<long>(std::mktime(&tm));
    return out != -1;
}

std::string local_time(long t)
{
    std::time_t tt = t;
    std::tm tm{};
    char buf[32] = "";
    if (localtime_r(&tt, &tm))
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string json_string(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string json_line(const ArchiveRecord &r)
{
    return "{\"id\":" + std::to_string(r.id) + ",\"time\":" + std::to_string(r.time) +
           ",\"local_time\":" + json_string(local_time(r.time)) + ",\"conversation\":" + json_string(r.conversation) +
           ",\"seq\":" + std::to_string(r.seq) + ",\"user\":" + json_string(r.user) +
           ",\"contact\":" + json_string(r.contact) + ",\"direction\":" + json_string(r.direction) +
           ",\"kind\":" + json_string(r.kind) + ",\"verdict\":" + json_string(r.verdict) +
           ",\"text\":" + json_string(r.text) + ",\"hash\":" + json_string(r.hash) + "}\n";
}

std::string text_line(const ArchiveRecord &r)
{
    std::string who = r.user;
    if (!r.contact.empty())
        who += (r.direction == "in" ? " <- " : " -> ") + r.contact;
    std::string line = local_time(r.time) + "  " + who + "  " + r.kind + "  " + r.verdict;
    if (!r.text.empty())
        line += "  \"" + r.text + "\"";
    return line + "  [" + r.conversation + " #" + std::to_string(r.seq) + "]\n";
}

// Each conversation as a chat: the user's lines on one side, the
// contacts' on the other, what the policy withheld marked.
std::string html_page(const std::vector<ArchiveRecord> &records)
{
    std::string out = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Archive export</title><style>"
                      "body{font-family:sans-serif;max-width:50em;margin:auto}section{border:1px solid #ccc;"
                      "margin:1em 0;padding:.5em}p{margin:.3em 0}.out{text-align:right}.in{text-align:left}"
                      ".other{color:#666;font-style:italic}.block{text-decoration:line-through;color:#a00}"
                      "small{color:#888}</style></head><body>\n";
    std::string conversation;
    for (const auto &r : records) {
        if (r.conversation != conversation) {
            if (!conversation.empty())
                out += "</section>\n";
            conversation = r.conversation;
            out += "<section><h2>" + xml_escape(r.user) + "</h2><small>" + xml_escape(r.conversation) +
                   "</small>\n";
        }
        const std::string side = r.kind == "message" ? r.direction : "other";
        const std::string withheld = r.verdict == "block" ? " block" : "";
        out += "<p class=\"" + side + withheld + "\"><small>" + xml_escape(local_time(r.time)) + " " +
               xml_escape(r.direction == "in" ? r.contact : r.user) + " (" + xml_escape(r.verdict) + ")</small><br>" +
               xml_escape(r.kind == "message" ? r.text : r.kind + (r.text.empty() ? "" : ": " + r.text)) + "</p>\n";
    }
    if (!conversation.empty())
        out += "</section>\n";
    return out + "</body></html>\n";
}

// `key:value` words fill the query; the others are the text's words.
bool parse_query(const std::string &args, ArchiveQuery &q, std::string &format, Report &r)
{
    std::vector<std::string> words;
    for (std::string rest = args, w; split_word(rest, w, rest);)
        words.push_back(w);
    std::string text;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &w = words[i];
        if (w == "--format" && i + 1 < words.size()) { // as `format:`
            format = words[++i];
            continue;
        }
        size_t colon = w.find(':');
        const std::string key = colon == std::string::npos ? "" : w.substr(0, colon), value = w.substr(colon + 1);
        static const std::set<std::string> keys = {"user", "contact", "from", "to", "verdict", "conversation",
                                                   "offset", "limit", "format"};
        if (!keys.count(key)) {
            text += (text.empty() ? "" : " ") + w;
            continue;
        }
        if (key == "user")
            q.user = value;
        else if (key == "contact")
            q.contact = value;
        else if (key == "verdict")
            q.verdict = value;
        else if (key == "conversation")
            q.conversation = value;
        else if (key == "format")
            format = value;
        else if (key == "from" || key == "to") {
            if (!parse_time(value, key == "from" ? q.from : q.to)) {
                r.error(2, "Not a time: " + value + " (YYYY-MM-DD[THH:MM[:SS]] or seconds)");
                return false;
            }
        } else {
            if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 9) {
                r.error(2, "Not a count: " + value);
                return false;
            }
            (key == "offset" ? q.offset : q.limit) = std::stoul(value);
        }
    }
    q.text = text;
    return true;
}

// The record as the element the module's chat log holds for it.
std::string log_element(const ArchiveRecord &r)
{
    auto a = [](const char *name, const std::string &v) { return std::string(" ") + name + "='" + xml_escape(v) + "'"; };
    const std::string when = a("verdict", r.verdict) + a("time", std::to_string(r.time));
    const bool in = r.direction == "in";
    const std::string orig = in ? r.contact : r.user, dest = in ? r.user : r.contact;
    if (r.kind == "message")
        return "<message" + a("orig", orig) + (dest.empty() ? "" : a("dest", dest)) + when + ">" + xml_escape(r.text) +
               "</message>";
    if (r.kind == "join" || r.kind == "leave" || r.kind == "close")
        return "<join-leave" + a("user", r.contact) + a("type", r.kind) + when + "/>";
    for (int code = EVENT_CODE_LOG_LOGIN; code <= EVENT_CODE_LOG_LISTING; ++code)
        if (r.kind == tqevents_code_name(static_cast<event_code>(code)))
            return "<contact-activity" + a("handle", r.contact.empty() ? r.user : r.contact) + a("code", r.kind) + when +
                   "/>";
    return "<activity" + a("orig", orig) + (dest.empty() ? "" : a("dest", dest)) + a("activity", r.kind) + when + ">" +
           xml_escape(r.text) + "</activity>";
}

} // namespace

std::string archive_logs_xml(Archive &archive, const ArchiveQuery &q, bool show, std::string &error)
{
    std::vector<ArchiveRecord> found;
    if (!archive.search(q, found, error))
        return {};
    std::vector<std::string> order;
    std::map<std::string, const ArchiveRecord *> first;
    for (const auto &r : found)
        if (first.emplace(r.conversation, &r).second)
            order.push_back(r.conversation);
    std::string out =
        "<logs entries='" + std::to_string(order.size()) + "' matches='" + std::to_string(found.size()) + "'>\n";
    for (const auto &c : order) {
        ArchiveQuery whole;
        whole.conversation = c;
        whole.limit = 5000;
        std::vector<ArchiveRecord> records;
        if (show && !archive.search(whole, records, error))
            return {};
        const ArchiveRecord &f = *first[c];
        const long start = records.empty() ? f.time : records.front().time;
        out += "<log user='" + xml_escape(f.user) + "' contact='" + xml_escape(f.contact) + "' time='" +
               std::to_string(start) + "' conversation='" + xml_escape(c) + "'>";
        for (const auto &r : records)
            out += "\n" + log_element(r);
        out += "</log>\n";
    }
    return out + "</logs>";
}

void archive_log_command(Archive &archive, const std::string &rest, Report &r)
{
    // USERS[:CONTACTS] [FROM:TO [TEXT]], as the module reads its logs.
    std::string form, names, range;
    std::string after = rest;
    split_word(after, form, after);
    if (form != "list" && form != "show") {
        r.error(2, form.empty() ? "Missing log search definition" : "Unknown log search definition: " + form);
        return;
    }
    split_word(after, names, after);
    split_word(after, range, after);
    ArchiveQuery q;
    q.limit = 1000;
    const size_t colon = names.find(':');
    q.user = names.substr(0, colon);
    q.contact = colon == std::string::npos ? "" : names.substr(colon + 1);
    for (std::string *p : {&q.user, &q.contact})
        if (*p == "*")
            p->clear();
    if (!range.empty()) {
        const size_t c = range.find(':');
        const std::string from = range.substr(0, c), to = c == std::string::npos ? "" : range.substr(c + 1);
        if ((!from.empty() && !parse_time(from, q.from)) || (!to.empty() && !parse_time(to, q.to))) {
            r.error(2, "Not a time range: " + range);
            return;
        }
        if (q.to)
            ++q.to; // the module's range includes its end
    }
    q.text = after.size() >= 2 && after.front() == '"' && after.back() == '"' ? after.substr(1, after.size() - 2) : after;
    std::string error;
    r.data = archive_logs_xml(archive, q, form == "show", error);
    if (!error.empty())
        r.error(30, error);
}

void archive_command(Archive *archive, const std::string &rest, Report &r)
{
    std::string sub, args;
    split_word(rest, sub, args);
    if (!archive) {
        r.error(30, "No archive is configured (archive = sqlite:PATH or postgresql://...)");
        return;
    }
    if (sub != "search" && sub != "export" && sub != "verify") {
        r.error(2, "Usage: archive search|export|verify ...");
        return;
    }
    std::string error;
    if (sub == "verify") {
        std::vector<ArchiveBreak> breaks;
        long long checked = 0;
        if (!archive->verify(breaks, checked, error)) {
            r.error(30, error);
            return;
        }
        for (const auto &b : breaks)
            r.data += "break: " + b.conversation + " #" + std::to_string(b.seq) + " (record " + std::to_string(b.id) +
                      "): " + b.why + "\n";
        r.data += std::to_string(checked) + " records checked, " + std::to_string(breaks.size()) +
                  (breaks.size() == 1 ? " break\n" : " breaks\n");
        if (!breaks.empty())
            r.error(31, "The archive's hash chain is broken: it was changed after it was written");
        return;
    }
    ArchiveQuery q;
    std::string format = sub == "export" ? "jsonl" : "text";
    if (sub == "export") {
        // A conversation's name alone, or a search.
        std::string first, after;
        split_word(args, first, after);
        q.limit = 1000000;
        if (std::count(first.begin(), first.end(), ':') == 2 && first.rfind("conversation:", 0) != 0) {
            q.conversation = first;
            args = after;
        }
    }
    if (!parse_query(args, q, format, r))
        return;
    if (format != "text" && format != "jsonl" && format != "html" && format != "logs") {
        r.error(2, "Unknown format: " + format + " (jsonl, html or logs)");
        return;
    }
    if (format == "logs") {
        r.data = archive_logs_xml(*archive, q, true, error);
        if (!error.empty())
            r.error(30, error);
        return;
    }
    std::vector<ArchiveRecord> found;
    if (!archive->search(q, found, error)) {
        r.error(30, error);
        return;
    }
    if (sub == "export" && q.conversation.empty())
        std::stable_sort(found.begin(), found.end(), [](const ArchiveRecord &a, const ArchiveRecord &b) {
            return a.conversation != b.conversation ? a.conversation < b.conversation : a.seq < b.seq;
        });
    if (format == "html") {
        r.data = html_page(found);
        return;
    }
    for (const auto &rec : found)
        r.data += format == "jsonl" ? json_line(rec) : text_line(rec);
}

} // namespace gw
