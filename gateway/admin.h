// Administration over a Unix socket: one request line per connection, the
// reply as `E`/`W`/`V`/`D` lines and a final `OK` or `FAIL`.
#ifndef GW_ADMIN_H
#define GW_ADMIN_H

// A standard header first: Asio picks its allocator from the standard
// library's configuration macros, and every file must see the same choice.
#include <cstddef>

#include <asio.hpp>

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <thread>

#include "events.h"
#include "archive.h"
#include "module_host.h"
#include "relay.h"

namespace gw {

constexpr size_t kAdminMaxRequest = 64 * 1024;

struct AdminRequest {
    std::string verb;
    std::string rest; // the rest of the line, blanks around it removed
};

struct AdminCaller {
    std::string name;
    int level = 0; // 0 and 1 may change things, higher may only look
};

// Splits a request line; false for a line without a verb.
bool parse_admin_request(const std::string &line, AdminRequest &out);
// The reply for a report: errors, warnings, events, data lines, then OK
// (no error and `ok`) or FAIL.
std::string format_admin_reply(const Report &r, bool ok);
// Root and the gateway's own user administer fully; others get `others`.
int caller_level(uid_t peer, uid_t owner, int others);

class AdminCommands {
public:
    struct Deps {
        ModuleHost *module = nullptr; // the module the commands address
        std::string policy_file;
        ConnectionTable *table = nullptr;
        EventSink *events = nullptr;
        // Begins the events and capture files anew (as SIGUSR1 does).
        std::function<bool(std::string &error)> reopen_logs;
        Archive *archive = nullptr; // null: none configured
    };

    explicit AdminCommands(Deps deps) : deps_(std::move(deps)) {}
    // The archive opens after the socket (as the gateway's user), before
    // any request is served.
    void set_archive(Archive *archive) { deps_.archive = archive; }

    // Runs one request. `done` receives the whole reply, possibly later and
    // on another thread (`info` waits for the connection's strand).
    void run(const AdminRequest &req, const AdminCaller &caller,
             std::function<void(std::string)> done);

private:
    void finish(Report &r, bool ok, const std::function<void(std::string)> &done);

    // One thread that runs the archive's verbs in turn.
    class Lane {
    public:
        ~Lane();
        void post(std::function<void()> job);

    private:
        std::mutex lock_;
        std::condition_variable wake_;
        std::deque<std::function<void()>> jobs_;
        bool stopping_ = false;
        std::thread thread_;
    };

    Deps deps_;
    Lane archive_lane_; // last: stopped before what its jobs use
};

// The listening socket and the per-request exchange.
class AdminServer {
public:
    AdminServer(asio::io_context &io, AdminCommands &commands, int others_level)
        : io_(io), commands_(commands), others_level_(others_level), acceptor_(io), retry_(io) {}
    ~AdminServer();

    // Creates the socket with owner-only permissions. A stale socket file
    // is replaced; one that a running gateway answers on is an error.
    // With a `group`, its members may connect too (mode 0660, that group);
    // else only the owner (0600).
    bool open(const std::string &path, std::string &error, const std::string &group = {});
    void close();

    // At most this many sessions at once, and this many per calling user,
    // so that no caller can take the descriptors the relay needs.
    static constexpr size_t kMaxOpen = 64;
    static constexpr size_t kMaxPerCaller = 16;
    // A session's place among them, given back when it is destroyed.
    using Slot = std::unique_ptr<uid_t, std::function<void(uid_t *)>>;

private:
    void accept();
    // A slot for the caller on `fd`, or null with `why`.
    Slot take_slot(int fd, std::string &why);

    struct Slots {
        std::mutex lock;
        size_t open = 0;
        std::map<uid_t, size_t> per_caller;
    };
    std::shared_ptr<Slots> slots_ = std::make_shared<Slots>();

    asio::io_context &io_;
    AdminCommands &commands_;
    int others_level_;
    asio::local::stream_protocol::acceptor acceptor_;
    asio::steady_timer retry_;
    std::string path_;
};

} // namespace gw

#endif
