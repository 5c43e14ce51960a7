// Events file writer.
#include "events.h"

#include <cerrno>
#include <cstring>
#include <ctime>

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
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (path.empty())
        return true;
    file_ = std::fopen(path.c_str(), "a");
    if (!file_) {
        error = path + ": cannot open the events file: " + std::strerror(errno);
        return false;
    }
    // A chunk's events are flushed together (drain): with one page of
    // buffer, a busy conversation's message lines went out a write each.
    if (!buffer_)
        buffer_.reset(new char[kBuffer]);
    std::setvbuf(file_, buffer_.get(), _IOFBF, kBuffer);
    return true;
}

bool EventSink::reopen(std::string &error)
{
    std::lock_guard<std::mutex> g(lock_);
    if (path_.empty())
        return true;
    FILE *fresh = std::fopen(path_.c_str(), "a");
    if (!fresh) {
        error = path_ + ": cannot open the events file again: " + std::strerror(errno);
        return false;
    }
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

void EventSink::write_locked(const char *line, size_t size, bool console)
{
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
