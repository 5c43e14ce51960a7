// Events file writer.
#include "events.h"

#include <syslog.h>
#include <unistd.h>

#include <systemd/sd-journal.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>

#include "tqevents_interface.h"

namespace gw {

namespace {
constexpr size_t kBuffer = 256 * 1024;
} // namespace

std::string one_line(const std::string &xml)
{
    if (xml.find_first_of("\r\n") == std::string::npos)
        return xml;
    std::string out;
    out.reserve(xml.size());
    for (char c : xml) {
        if (c == '\n')
            out += "&#10;";
        else if (c == '\r')
            out += "&#13;";
        else
            out += c;
    }
    return out;
}

std::string xml_escape(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string notice_element(const std::string &kind, const std::string &text, unsigned long tid,
                           long when, const NoticeAttrs &attrs)
{
    std::string x = "<notice kind=\"" + xml_escape(kind) + "\"";
    if (tid)
        x += " tid=\"" + std::to_string(tid) + "\"";
    x += " time=\"" + std::to_string(when) + "\"";
    for (const auto &[name, value] : attrs)
        x += " " + name + "=\"" + xml_escape(value) + "\"";
    x += ">" + xml_escape(text) + "</notice>";
    return x;
}

EventSink::~EventSink() { close(); }

bool EventSink::open(const std::string &path, bool console, std::string &error)
{
    std::lock_guard<std::mutex> g(lock_);
    console_ = console;
    path_ = path;
    if (path.empty()) {
        if (file_)
            std::fclose(file_);
        file_ = nullptr;
        return true;
    }
    return open_path_locked(error);
}

bool EventSink::reopen(std::string &error)
{
    std::lock_guard<std::mutex> g(lock_);
    return path_.empty() || open_path_locked(error);
}

bool EventSink::open_path_locked(std::string &error)
{
    FILE *fresh = std::fopen(path_.c_str(), "a");
    if (!fresh) {
        error = path_ + ": cannot open the events file: " + std::strerror(errno);
        return false;
    }
    // A chunk's events are flushed together (drain): with one page of
    // buffer, a busy conversation's message lines went out a write each.
    std::unique_ptr<char[]> buffer(new char[kBuffer]);
    std::setvbuf(fresh, buffer.get(), _IOFBF, kBuffer);
    if (file_)
        std::fclose(file_); // flushes what the old file still owes
    file_ = fresh;
    buffer_ = std::move(buffer);
    return true;
}

void EventSink::close()
{
    std::lock_guard<std::mutex> g(lock_);
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

namespace {

const std::pair<const char *, int> kFacilities[] = {
    {"daemon", LOG_DAEMON}, {"user", LOG_USER},     {"local0", LOG_LOCAL0}, {"local1", LOG_LOCAL1},
    {"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4}, {"local5", LOG_LOCAL5},
    {"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7},
};

/* An event's kind: a notice's kind attribute, else the element's name. */
std::string kind_of(const char *line, size_t size)
{
    std::string_view l(line, size);
    size_t start = l.find('<');
    if (start == std::string_view::npos)
        return "";
    size_t end = l.find_first_of(" />", start + 1);
    std::string_view name = l.substr(start + 1, end == std::string_view::npos ? std::string_view::npos : end - start - 1);
    if (name == "notice") {
        size_t at = l.find(" kind=");
        if (at != std::string_view::npos && at + 7 < l.size()) {
            size_t close = l.find(l[at + 6], at + 7); // the same quote
            if (close != std::string_view::npos)
                return std::string(l.substr(at + 7, close - at - 7));
        }
    }
    return std::string(name);
}

int priority_of(const std::string &kind)
{
    auto ends = [&](const char *tail) {
        size_t n = std::strlen(tail);
        return kind.size() >= n && kind.compare(kind.size() - n, n, tail) == 0;
    };
    return ends("error") ? LOG_ERR : ends("warning") || ends("denied") ? LOG_WARNING : LOG_INFO;
}

} // namespace

bool syslog_facility(const std::string &name, int &facility)
{
    for (const auto &[n, f] : kFacilities)
        if (name == n) {
            facility = f;
            return true;
        }
    return false;
}

void EventSink::send_to_syslog(bool on, int facility)
{
    std::lock_guard<std::mutex> g(lock_);
    facility_ = facility;
    if (!on) {
        syslog_ = Syslog::Off;
        return;
    }
    // The journal's own socket, where there is a journal: the kind travels
    // as a field of its own instead of as text to be parsed again.
    syslog_ = access("/run/systemd/journal/socket", W_OK) == 0 ? Syslog::Journal : Syslog::Plain;
    if (syslog_ == Syslog::Plain)
        openlog("trevalquin", LOG_PID | LOG_NDELAY, facility);
}

void EventSink::write_locked(const char *line, size_t size, bool console)
{
    if (syslog_ != Syslog::Off) {
        std::string kind = kind_of(line, size);
        int priority = priority_of(kind);
        if (syslog_ == Syslog::Journal)
            sd_journal_send("MESSAGE=%.*s", static_cast<int>(size), line, "PRIORITY=%d", priority,
                            "SYSLOG_FACILITY=%d", facility_ >> 3, "SYSLOG_IDENTIFIER=trevalquin",
                            "TREVALQUIN_KIND=%s", kind.c_str(), nullptr);
        else
            syslog(facility_ | priority, "%.*s", static_cast<int>(size), line);
    }
    if (file_) {
        std::fwrite(line, 1, size, file_);
        std::fputc('\n', file_);
    }
    if (console_ && console) {
        std::fwrite(line, 1, size, stderr);
        std::fputc('\n', stderr);
    }
}

void EventSink::write_line(const std::string &line, bool console)
{
    std::lock_guard<std::mutex> g(lock_);
    write_locked(line.data(), line.size(), console);
    if (file_)
        std::fflush(file_);
}

void EventSink::event(const std::string &xml) { write_line(one_line(xml)); }

/* A chunk's events go out together: one lock and one flush however many a
 * busy conversation brings. */
void EventSink::drain(tqlist **queue)
{
    if (!queue)
        return;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (tqlist *n = *queue; n; n = n->next) {
            auto *ev = static_cast<event_t *>(n->data);
            if (!ev || !ev->text)
                continue;
            size_t size = std::strlen(ev->text);
            if (std::memchr(ev->text, '\n', size) || std::memchr(ev->text, '\r', size)) {
                std::string line = one_line(ev->text);
                write_locked(line.data(), line.size());
            } else {
                write_locked(ev->text, size);
            }
        }
        if (file_)
            std::fflush(file_);
    }
    tqevents_destroy_queue(queue);
}

void EventSink::notice(const std::string &kind, const std::string &text, unsigned long tid,
                       const NoticeAttrs &attrs)
{
    write_line(notice_element(kind, text, tid, static_cast<long>(std::time(nullptr)), attrs));
}

void EventSink::record(const std::string &kind, const std::string &text)
{
    write_line(notice_element(kind, text, 0, static_cast<long>(std::time(nullptr))), false);
}

} // namespace gw
