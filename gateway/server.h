// The gateway process: modules, listeners, administration, timers and
// signals around one io_context run by a small pool of threads.
#ifndef GW_SERVER_H
#define GW_SERVER_H

// A standard header first: Asio picks its allocator from the standard
// library's configuration macros, and every file must see the same choice.
#include <cstddef>

#include <asio.hpp>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "admin.h"
#include "archive.h"
#include "capture.h"
#include "console.h"
#include "console_http.h"
#include "events.h"
#include "expectations.h"
#include "metrics.h"
#include "module_host.h"
#include "relay.h"
#include "settings.h"

namespace gw {

struct LaunchOptions {
    std::string config_file;            // empty: built-in defaults only
    std::vector<std::string> overrides; // `KEY=VALUE` lines
    bool foreground = false;
    std::string exe_dir; // where the default module is looked for first
};

// Builds the settings from defaults, the file and the overrides.
bool build_settings(const LaunchOptions &opts, Settings &s, std::string &error);

// Creates the policy file from `policy-seed` (and its directory) when it
// does not exist yet, so that the tracked example is never written back.
bool seed_policy(const Settings &s, std::string &error);

// `user:password` lines; `#` comments and blank lines ignored.
bool read_user_file(const std::string &path, std::map<std::string, std::string> &users,
                    std::string &error);

class Server {
public:
    Server(LaunchOptions opts, Settings settings);
    ~Server();

    // Starts, serves until SIGTERM/SIGINT, and returns the exit status.
    int run();

private:
    bool start(std::string &error);
    bool load_modules(std::string &error);
    bool open_listeners(std::string &error);
    bool open_archive(std::string &error);
    void accept(size_t index);
    bool client_allowed(const asio::ip::tcp::socket &s) const;
    void schedule_schedtask();
    void schedule_statistics();
    void schedule_expiry();
    void wait_signals();
    // Begins the events file and the capture files anew (logrotate).
    bool reopen_logs(std::string &error);
    void reload();
    void stop();
    void report(const Report &r, const std::string &what);

    LaunchOptions opts_;
    Settings settings_;
    EventSink events_;
    ExpectationRegistry expectations_;
    // Outlive every connection, which records through them.
    std::unique_ptr<Capture> capture_;
    std::unique_ptr<Archive> archive_;
    ConnectionTable table_;
    std::vector<std::unique_ptr<ModuleHost>> modules_;
    std::map<std::string, std::string> users_;
    RelayContext ctx_;
    std::unique_ptr<AdminCommands> commands_;
    // Uses the commands and the connection table: goes first.
    std::unique_ptr<Console> console_;
    Metrics metrics_;
    std::unique_ptr<HttpServer> metrics_http_;
    // Opens the metrics listener when the settings ask for one.
    bool open_metrics(std::string &error);
    std::string scrape();
    std::atomic<unsigned long> next_tid_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<long> last_limit_notice_{0};
    std::atomic<long> last_refusal_notice_{0};
    std::atomic<long> last_client_limit_notice_{0};
    std::vector<Network> allowed_clients_;

    // Declared last: destroyed first, so that handlers still queued release
    // their connections while everything above is alive.
    asio::io_context io_;
    // Connections are dealt round the event loops: io_ (which also accepts)
    // and one per further worker, each run by a thread of its own. A
    // connection's handlers then run on the thread that polled its sockets,
    // with no hand-over between threads for every read.
    std::vector<std::unique_ptr<asio::io_context>> workers_;
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> worker_guards_;
    std::atomic<size_t> next_loop_{0};
    asio::io_context &next_loop();
    // Administration, reloads and the module's timers run on a thread of
    // their own: a long reload or a slow command must not hold up relaying.
    asio::io_context admin_io_;
    std::thread admin_thread_;
    std::vector<std::unique_ptr<asio::ip::tcp::acceptor>> acceptors_;
    std::vector<Door> doors_; // the front door of each acceptor
    asio::strand<asio::io_context::executor_type> accept_strand_{io_.get_executor()};
    std::unique_ptr<AdminServer> admin_;
    asio::steady_timer schedtask_timer_{admin_io_};
    asio::steady_timer statistics_timer_{admin_io_};
    asio::steady_timer expiry_timer_{admin_io_};
    asio::signal_set signals_{io_};
    Clock::time_point last_schedtask_;
};

} // namespace gw

#endif
