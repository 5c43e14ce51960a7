// Where module events and the gateway's own notices go: one line each in
// the events file, and on stderr when the gateway runs in the foreground.
#ifndef GW_EVENTS_H
#define GW_EVENTS_H

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tqlist.h"

namespace gw {

// Extra attributes of a notice, written in order after kind, tid and time.
using NoticeAttrs = std::vector<std::pair<std::string, std::string>>;

class EventSink {
public:
    EventSink() = default;
    ~EventSink();
    EventSink(const EventSink &) = delete;
    EventSink &operator=(const EventSink &) = delete;

    // Opens (appending) `path`; an empty path keeps only the console.
    bool open(const std::string &path, bool console, std::string &error);
    void close();
    // Opens the same path again, so that a file moved away (logrotate) is
    // left behind whole and a new one is begun; on failure the sink keeps
    // writing where it was.
    bool reopen(std::string &error);
    // Sends every line to the journal as well (or to syslog where there
    // is none), with `facility`.
    void send_to_syslog(bool on, int facility);

    // One event element as the module rendered it.
    void event(const std::string &xml);
    // Writes and destroys every event_t* of the queue.
    void drain(tqlist **queue);
    // The gateway's own notice, as a <notice> element.
    void notice(const std::string &kind, const std::string &text, unsigned long tid = 0,
                const NoticeAttrs &attrs = {});
    // A notice for the file only, for what the caller has already told
    // the console in words.
    void record(const std::string &kind, const std::string &text);

private:
    void write_line(const std::string &line, bool console = true);
    void write_locked(const char *line, size_t size, bool console = true); // caller holds lock_
    // Opens path_ and puts it in place of the file open now, which is
    // closed only once the new one is open; caller holds lock_.
    bool open_path_locked(std::string &error);

    std::mutex lock_;
    FILE *file_ = nullptr;
    std::unique_ptr<char[]> buffer_; // file_'s stdio buffer: outlives it
    bool console_ = false;
    std::string path_;
    enum class Syslog { Off, Journal, Plain } syslog_ = Syslog::Off;
    int facility_ = 0;
};

// The facility of a syslog name ("daemon", "local3", ...).
bool syslog_facility(const std::string &name, int &facility);

// Keeps an event on one line: line breaks become character references, so
// the line is still the same XML.
std::string one_line(const std::string &xml);
// Escapes text for XML character data and attribute values.
std::string xml_escape(const std::string &text);
// The notice element the sink writes.
std::string notice_element(const std::string &kind, const std::string &text, unsigned long tid,
                           long when, const NoticeAttrs &attrs = {});

} // namespace gw

#endif
