// The web console: an HTTP listener (TLS when given a certificate) that
// serves the console page and a JSON API over the operations tqctl uses,
// for signed-in accounts. Changes go through the same administration
// commands, and so raise the same events, as tqctl's.
#ifndef GW_CONSOLE_H
#define GW_CONSOLE_H

#include <cstddef>

#include <asio.hpp>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "admin.h"
#include "console_auth.h"
#include "console_http.h"
#include "relay.h"
#include "settings.h"

namespace gw {

// Why the console may not listen where the settings say, or empty.
std::string console_exposure_problem(const Settings &s);

// The reply of an administration command as a JSON object: "ok",
// "errors" (code, message), "warnings", "events" and "data".
std::string admin_reply_json(const std::string &reply);

// One page of connections as JSON: those whose texts contain `filter`,
// ordered by number, `limit` of them from `offset`, with the total.
std::string connections_json(const std::vector<Connection::Status> &all, const std::string &filter, size_t offset,
                             size_t limit);

class Console {
public:
    struct Deps {
        AdminCommands *commands = nullptr;
        ConnectionTable *table = nullptr;
        ModuleHost *module = nullptr;
        EventSink *events = nullptr; // failed and refused logins
        std::string exe_dir;
    };

    // Reads the accounts, finds the page and binds the listener.
    static std::unique_ptr<Console> open(const Settings &s, Deps deps, std::string &error);
    ~Console();
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // Serves on threads of its own until stop().
    void start();
    void stop();
    // "http://HOST:PORT" or "https://...".
    std::string url() const;
    int port() const { return port_; }

private:
    Console() = default;
    void routes();
    void sample();
    std::string run(const std::string &line, const ConsoleAccount &who);

    Deps deps_;
    std::unique_ptr<HttpServer> http_;
    bool tls_ = false;
    bool archive_ = false; // searches go to the archive, with more fields
    std::string host_;
    int port_ = 0;
    std::vector<std::string> hosts_; // Host headers the console answers to
    std::string dir_;
    ConsoleAuth auth_;
    std::thread sampler_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    // Counters by verdict every 30 seconds, the last hour of them.
    struct Sample {
        long long time;
        long long pass, block, alert, none;
    };
    std::deque<Sample> history_;
};

} // namespace gw

#endif
