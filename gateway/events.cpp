// Events file writer.
#include "events.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "tqevents_interface.h"

namespace gw {

std::string one_line(const std::string &xml)
{
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
    return true;
}

void EventSink::close()
{
    std::lock_guard<std::mutex> g(lock_);
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

void EventSink::write_line(const std::string &line)
{
    std::lock_guard<std::mutex> g(lock_);
    if (file_) {
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    }
    if (console_) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fputc('\n', stderr);
    }
}

void EventSink::event(const std::string &xml) { write_line(one_line(xml)); }

void EventSink::drain(tqlist **queue)
{
    if (!queue)
        return;
    for (tqlist *n = *queue; n; n = n->next) {
        auto *ev = static_cast<event_t *>(n->data);
        if (ev && ev->text)
            event(ev->text);
    }
    tqevents_destroy_queue(queue);
}

void EventSink::notice(const std::string &kind, const std::string &text, unsigned long tid,
                       const NoticeAttrs &attrs)
{
    write_line(notice_element(kind, text, tid, static_cast<long>(std::time(nullptr)), attrs));
}

} // namespace gw
