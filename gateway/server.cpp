// The gateway process.
#include "server.h"

#include <unistd.h>

#include "config_check.h"
#include "privileges.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

namespace gw {

namespace {

constexpr auto kExpiryInterval = std::chrono::seconds(5);
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

} // namespace

bool build_settings(const LaunchOptions &opts, Settings &s, std::string &error)
{
    s = Settings();
    if (!opts.config_file.empty() && !read_settings_file(opts.config_file, s, error))
        return false;
    SettingsReader reader(s);
    reader.begin_source();
    for (const auto &o : opts.overrides) {
        std::string why;
        if (!reader.override_setting(o, why)) {
            error = "--set " + o + ": " + why;
            return false;
        }
    }
    return true;
}

bool read_user_file(const std::string &path, std::map<std::string, std::string> &users,
                    std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot open the user file";
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t b = line.find_first_not_of(" \t");
        if (b == std::string::npos || line[b] == '#')
            continue;
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            error = path + ":" + std::to_string(number) + ": expected user:password";
            return false;
        }
        users[line.substr(0, colon)] = line.substr(colon + 1);
    }
    return true;
}

bool seed_policy(const Settings &s, std::string &error)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (s.policy.empty() || s.policy_seed.empty() || fs::exists(s.policy, ec))
        return true;
    fs::path target(s.policy);
    if (target.has_parent_path())
        fs::create_directories(target.parent_path(), ec);
    if (!ec)
        fs::copy_file(s.policy_seed, target, ec);
    if (ec) {
        error = "cannot create the policy file " + s.policy + " from " + s.policy_seed + ": " +
                ec.message();
        return false;
    }
    std::cout << "policy file " << s.policy << " created from " << s.policy_seed << "\n";
    return true;
}

Server::Server(LaunchOptions opts, Settings settings)
    : opts_(std::move(opts)), settings_(std::move(settings))
{
}

Server::~Server()
{
    acceptors_.clear();
    admin_.reset();
}

void Server::report(const Report &r, const std::string &what)
{
    for (const auto &[code, message] : r.errors) {
        std::cerr << "trevalquin: " << what << ": error " << code << ": " << message << "\n";
        events_.record(what + "-error", std::to_string(code) + ": " + message);
    }
    for (const auto &w : r.warnings) {
        std::cerr << "trevalquin: " << what << ": warning: " << w << "\n";
        events_.record(what + "-warning", w);
    }
    for (const auto &e : r.events)
        events_.event(e);
}

bool Server::load_modules(std::string &error)
{
    std::vector<std::string> paths = settings_.modules;
    if (paths.empty()) {
        auto candidates = default_module_candidates(opts_.exe_dir);
        std::string chosen = candidates.back();
        for (const auto &c : candidates) {
            if (c.find('/') != std::string::npos && access(c.c_str(), R_OK) == 0) {
                chosen = c;
                break;
            }
        }
        paths.push_back(chosen);
    }
    for (const auto &p : paths) {
        auto m = ModuleHost::load(p, error);
        if (!m)
            return false;
        modules_.push_back(std::move(m));
    }
    for (auto &m : modules_)
        m->apply_variables(settings_.module_variables());
    if (!settings_.policy.empty()) {
        if (access(settings_.policy.c_str(), R_OK) != 0) {
            error = "policy file " + settings_.policy + " cannot be read: " + std::strerror(errno);
            return false;
        }
        Report r;
        bool ok = modules_.front()->load_policy(settings_.policy, r);
        report(r, "policy");
        if (!ok) {
            error = "policy file " + settings_.policy + " was not accepted by module " +
                    modules_.front()->name();
            return false;
        }
    }
    for (auto &m : modules_)
        if (m->ops().postinit && m->ops().postinit(m->record()) != 0) {
            error = "module " + m->name() + " failed after its configuration";
            return false;
        }
    return true;
}

bool Server::open_listeners(std::string &error)
{
    using tcp = asio::ip::tcp;
    const std::pair<Door, const std::vector<ListenAddress> *> doors[] = {
        {Door::Socks, &settings_.listen},
        {Door::Http, &settings_.http_listen},
        {Door::Transparent, &settings_.transparent_listen},
    };
    for (const auto &[door, list] : doors)
        for (const auto &l : *list) {
            asio::error_code ec;
            asio::ip::address a = asio::ip::make_address(l.host, ec);
            if (ec) {
                error = "listen " + l.host + ": not an IP address";
                return false;
            }
            auto acc = std::make_unique<tcp::acceptor>(io_);
            tcp::endpoint ep(a, l.port);
            acc->open(ep.protocol(), ec);
            if (!ec)
                acc->set_option(tcp::acceptor::reuse_address(true), ec);
            if (!ec)
                acc->bind(ep, ec);
            if (!ec)
                acc->listen(asio::socket_base::max_listen_connections, ec);
            if (ec) {
                error = "cannot listen on " + format_host_port(l.host, l.port) + ": " + ec.message();
                return false;
            }
            ctx_.own.push_back(acc->local_endpoint(ec));
            acceptors_.push_back(std::move(acc));
            doors_.push_back(door);
        }
    return true;
}

asio::io_context &Server::next_loop()
{
    size_t k = next_loop_.fetch_add(1, std::memory_order_relaxed) % (workers_.size() + 1);
    return k == 0 ? io_ : *workers_[k - 1];
}

bool Server::start(std::string &error)
{
    for (int i = 1; i < settings_.workers; ++i) {
        workers_.push_back(std::make_unique<asio::io_context>(1));
        worker_guards_.push_back(asio::make_work_guard(*workers_.back()));
    }
    error = open_relay_problem(settings_);
    if (!error.empty())
        return false;
    allowed_clients_ = settings_.effective_allow_clients();
    if (!seed_policy(settings_, error))
        return false;
    if (!events_.open(settings_.events_file, opts_.foreground, error))
        return false;
    int facility = 0;
    syslog_facility(settings_.events_syslog_facility, facility);
    events_.send_to_syslog(settings_.events_syslog, facility);
    if (!settings_.user_file.empty() && !read_user_file(settings_.user_file, users_, error))
        return false;
    if (!load_modules(error))
        return false;

    if (settings_.capture) {
        CaptureOptions co;
        co.dir = settings_.capture_dir;
        co.users = settings_.capture_users;
        co.file_size = settings_.capture_file_size;
        co.files = settings_.capture_files;
        if (!(capture_ = Capture::open(co, error)))
            return false;
        if (!modules_.empty() && !modules_.front()->trace_set())
            std::cerr << "trevalquin: module " << modules_.front()->name()
                      << " gives no verdict trace: the capture holds the traffic only\n";
    }

    ctx_.settings = &settings_;
    ctx_.events = &events_;
    ctx_.expectations = &expectations_;
    ctx_.capture = capture_.get();
    ctx_.describe = settings_.console;
    for (auto &m : modules_)
        ctx_.modules.push_back(m.get());
    ctx_.table = &table_;
    ctx_.require_password = !settings_.user_file.empty();
    ctx_.allow_socks4 = settings_.socks4_allowed();
    ctx_.destinations = effective_destination_rules(settings_.destination_rules);
    ctx_.check_password = [this](const std::string &u, const std::string &p) {
        auto it = users_.find(u);
        return it != users_.end() && it->second == p;
    };

    if (!open_listeners(error))
        return false;
    AdminCommands::Deps deps;
    deps.module = modules_.empty() ? nullptr : modules_.front().get();
    deps.policy_file = settings_.policy;
    deps.table = &table_;
    deps.events = &events_;
    deps.reopen_logs = [this](std::string &error) { return reopen_logs(error); };
    deps.archive = nullptr; // set once the archive is open, before anyone can ask
    commands_ = std::make_unique<AdminCommands>(deps);
    admin_ = std::make_unique<AdminServer>(admin_io_, *commands_, settings_.admin_level);
    if (!admin_->open(settings_.admin_socket, error, settings_.admin_group))
        return false;
    if (settings_.console) {
        Console::Deps cd;
        cd.commands = commands_.get();
        cd.table = &table_;
        cd.module = deps.module;
        cd.events = &events_;
        cd.exe_dir = opts_.exe_dir;
        if (!(console_ = Console::open(settings_, cd, error)))
            return false;
        asio::error_code ec;
        auto a = asio::ip::make_address(settings_.console_host, ec);
        if (!ec) // relaying there would let clients past the console's own guards
            ctx_.own.emplace_back(a, static_cast<uint16_t>(console_->port()));
    }
    if (!open_metrics(error))
        return false;
    if (!write_pid_file(settings_.pid_file, error))
        return false;
    /* Everything that needs root is bound. The gateway must still write
     * where it keeps the policy (saved by a rename) and remove its pid
     * file at the stop. */
    if (!settings_.user.empty()) {
        std::vector<std::string> state;
        for (const std::string &file : {settings_.policy, settings_.pid_file}) {
            std::filesystem::path p(file);
            if (!file.empty())
                state.push_back(p.has_parent_path() ? p.parent_path().string() : std::string("."));
        }
        if (capture_)
            state.push_back(settings_.capture_dir);
        if (settings_.archive.rfind("sqlite:", 0) == 0) {
            std::filesystem::path p(settings_.archive.substr(7));
            state.push_back(p.has_parent_path() ? p.parent_path().string() : std::string("."));
        }
        if (!drop_privileges(settings_.user, settings_.group, {settings_.events_file}, state, error))
            return false;
    }

    // Opened as the gateway's user, who owns the file and its journal.
    if (!open_archive(error))
        return false;

    /* Signals are caught before anyone learns the gateway is up: a stop
     * requested right after the "listening on" lines must still be an
     * orderly one. */
    signals_.add(SIGINT);
    signals_.add(SIGTERM);
    signals_.add(SIGHUP);
    signals_.add(SIGUSR1);
    wait_signals();

    for (size_t i = 0; i < acceptors_.size(); ++i) {
        asio::error_code ec;
        auto ep = acceptors_[i]->local_endpoint(ec);
        std::cout << "listening on " << format_host_port(ep.address().to_string(), ep.port());
        if (doors_[i] != Door::Socks)
            std::cout << (doors_[i] == Door::Http ? " (http)" : " (transparent)");
        std::cout << "\n";
    }
    if (console_) {
        std::cout << "console on " << console_->url() << "\n";
        console_->start();
    }
    std::cout.flush();

    for (size_t i = 0; i < acceptors_.size(); ++i)
        accept(i);
    last_schedtask_ = Clock::now();
    schedule_schedtask();
    schedule_statistics();
    schedule_expiry();
    return true;
}

bool Server::open_archive(std::string &error)
{
    if (settings_.archive.empty())
        return true;
    Archive::Options o;
    o.spec = settings_.archive;
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    o.gateway = *host ? host : "gateway";
    std::filesystem::path beside = settings_.archive.rfind("sqlite:", 0) == 0
                                       ? std::filesystem::path(settings_.archive.substr(7))
                                       : std::filesystem::path(settings_.admin_socket).parent_path() / "archive";
    o.spill_file = beside.string() + ".spill";
    o.retention_days = settings_.archive_retention_days;
    o.events = &events_;
    if (!(archive_ = Archive::open(o, error)))
        return false;
    ctx_.archive = archive_.get();
    commands_->set_archive(archive_.get());
    return true;
}

void Server::accept(size_t index)
{
    // Each accepted socket gets a strand of its own on the next event loop;
    // the acceptors are only touched on one strand, which the stop closes
    // them on.
    acceptors_[index]->async_accept(
        asio::make_strand(next_loop()), asio::bind_executor(accept_strand_, [this, index](const asio::error_code &ec,
                                                                                 asio::ip::tcp::socket s) {
            if (stopping_ || ec == asio::error::operation_aborted)
                return;
            if (ec) {
                // Out of descriptors and the like: wait a little rather
                // than spin on the error.
                events_.notice("accept-error", ec.message());
                auto t = std::make_shared<asio::steady_timer>(io_, kAcceptRetry);
                t->async_wait(asio::bind_executor(accept_strand_, [this, index, t](const asio::error_code &) {
                    if (!stopping_)
                        accept(index);
                }));
                return;
            }
            // Refused before a byte is read, with at most one notice of a
            // kind a second, so that a scan or a flood cannot flood the
            // events file too.
            auto refuse = [&](std::atomic<long> &last, const char *kind, const std::string &why) {
                asio::error_code ignored;
                s.close(ignored);
                long now = static_cast<long>(std::time(nullptr));
                if (last.exchange(now) != now)
                    events_.notice(kind, why);
            };
            asio::error_code pe;
            auto peer = s.remote_endpoint(pe);
            if (!client_allowed(s)) {
                refuse(last_refusal_notice_, "client-refused",
                       "client " + format_host_port(peer.address().to_string(), peer.port()) +
                           " is outside allow-clients");
            } else if (table_.from(peer.address().to_string()) >= settings_.max_connections_per_client) {
                refuse(last_client_limit_notice_, "client-limit",
                       "refused " + peer.address().to_string() + ": it has " +
                           std::to_string(settings_.max_connections_per_client) + " connections open");
            } else if (table_.size() >= settings_.max_connections) {
                refuse(last_limit_notice_, "connection-limit",
                       "refused a client: " + std::to_string(settings_.max_connections) + " connections are open");
            } else {
                auto c = std::make_shared<Connection>(ctx_, std::move(s), ++next_tid_, doors_[index]);
                c->start();
            }
            accept(index);
        }));
}

bool Server::client_allowed(const asio::ip::tcp::socket &s) const
{
    asio::error_code ec;
    auto peer = s.remote_endpoint(ec);
    if (ec)
        return false;
    Address16 a;
    asio::ip::address addr = peer.address();
    if (addr.is_v4())
        addr = asio::ip::make_address_v6(asio::ip::v4_mapped, addr.to_v4());
    auto bytes = addr.to_v6().to_bytes();
    std::copy(bytes.begin(), bytes.end(), a.begin());
    return networks_contain(allowed_clients_, a);
}

void Server::schedule_schedtask()
{
    if (settings_.schedtask_interval <= 0 || stopping_)
        return;
    schedtask_timer_.expires_after(std::chrono::seconds(settings_.schedtask_interval));
    schedtask_timer_.async_wait([this](const asio::error_code &ec) {
        if (ec || stopping_)
            return;
        auto now = Clock::now();
        long elapsed = static_cast<long>(
            std::chrono::duration_cast<std::chrono::seconds>(now - last_schedtask_).count());
        last_schedtask_ = now;
        for (auto &m : modules_)
            m->schedtask(elapsed);
        // The module marks connections to end from its timer; act on it.
        for (const auto &c : table_.all())
            c->check_poison();
        schedule_schedtask();
    });
}

void Server::schedule_statistics()
{
    if (settings_.statistics_interval <= 0 || stopping_)
        return;
    statistics_timer_.expires_after(std::chrono::seconds(settings_.statistics_interval));
    statistics_timer_.async_wait([this](const asio::error_code &ec) {
        if (ec || stopping_)
            return;
        for (auto &m : modules_)
            m->statistics(static_cast<int>(settings_.statistics_keep), std::time(nullptr));
        schedule_statistics();
    });
}

void Server::schedule_expiry()
{
    if (stopping_)
        return;
    expiry_timer_.expires_after(kExpiryInterval);
    expiry_timer_.async_wait([this](const asio::error_code &ec) {
        if (ec || stopping_)
            return;
        expectations_.expire(Clock::now());
        schedule_expiry();
    });
}

void Server::wait_signals()
{
    signals_.async_wait([this](const asio::error_code &ec, int signo) {
        if (ec)
            return;
        if (signo == SIGHUP) {
            asio::post(admin_io_, [this] { reload(); });
            wait_signals();
            return;
        }
        if (signo == SIGUSR1) {
            std::string error;
            if (!reopen_logs(error)) {
                std::cerr << "trevalquin: reopen-logs: " << error << "\n";
                events_.record("reopen-logs-error", error);
            }
            wait_signals();
            return;
        }
        stop();
    });
}

bool Server::open_metrics(std::string &error)
{
    // Without a listener nothing is counted: the relay threads would only
    // contend for counters nobody reads.
    if (!settings_.metrics)
        return true;
    ctx_.metrics = &metrics_;
    HttpLimits limits;
    limits.workers = 1;
    metrics_http_ = std::make_unique<HttpServer>(limits);
    metrics_http_->route("GET", "/metrics", [this](const HttpRequest &, HttpResponse &res) {
        res.set_content(scrape(), "text/plain; version=0.0.4; charset=utf-8");
    });
    if (!metrics_http_->open(settings_.metrics_host, settings_.metrics_port, "", "", error)) {
        error = "metrics: " + error;
        return false;
    }
    asio::error_code ec;
    auto a = asio::ip::make_address(settings_.metrics_host, ec);
    if (!ec) // like the console: no client is relayed to it
        ctx_.own.emplace_back(a, static_cast<uint16_t>(metrics_http_->port()));
    std::cout << "metrics on " << format_host_port(settings_.metrics_host, metrics_http_->port()) << "\n";
    metrics_http_->start();
    return true;
}

std::string Server::scrape()
{
    MetricsSnapshot s;
    for (const auto &c : table_.all()) {
        Connection::Status st = c->status();
        if (st.tid)
            ++s.connections_open[Metrics::door_index(st.door)];
    }
    s.held_bytes = ctx_.held_total.load(std::memory_order_relaxed);
    if (!modules_.empty()) {
        s.module = modules_.front()->name();
        s.reloads_ok = modules_.front()->reloads(true);
        s.reloads_failed = modules_.front()->reloads(false);
        for (auto &v : modules_.front()->variables(true))
            if (!v.value.empty() && v.value.find_first_not_of("0123456789") == std::string::npos)
                s.counters.emplace_back(v.name, v.value);
    }
    return metrics_text(metrics_, s);
}

bool Server::reopen_logs(std::string &error)
{
    if (capture_)
        capture_->reopen();
    // The modules' own files (chat and activity logs) are opened again at
    // their next line.
    for (auto &m : modules_) {
        std::string now;
        long generation = m->get_variable("log-reopen-generation", now) ? std::atol(now.c_str()) : 0;
        m->set_variable("log-reopen-generation", std::to_string(generation + 1));
    }
    return events_.reopen(error);
}

void Server::reload()
{
    Settings fresh;
    std::string error;
    if (!build_settings(opts_, fresh, error)) {
        std::cerr << "trevalquin: reload: " << error << "\n";
        events_.notice("reload-error", error);
        return;
    }
    for (auto &m : modules_)
        m->apply_variables(fresh.module_variables());
    if (!settings_.policy.empty() && !modules_.empty()) {
        Report r;
        bool ok = modules_.front()->reload_policy(settings_.policy, r);
        report(r, "reload");
        if (!ok)
            return;
    }
    events_.notice("reload", "configuration variables and policy reloaded");
}

void Server::stop()
{
    if (stopping_.exchange(true))
        return;
    events_.notice("stopping", "signal received; closing connections");
    asio::post(accept_strand_, [this] {
        asio::error_code ignored;
        for (auto &a : acceptors_)
            a->close(ignored);
    });
    asio::error_code ignored;
    asio::post(admin_io_, [this] {
        if (console_)
            console_->stop();
        if (metrics_http_)
            metrics_http_->stop();
        if (admin_)
            admin_->close();
        schedtask_timer_.cancel();
        statistics_timer_.cancel();
        expiry_timer_.cancel();
    });
    signals_.cancel(ignored);
    for (const auto &c : table_.all())
        c->stop();
    // The workers' loops end once their connections are closed.
    for (auto &g : worker_guards_)
        g.reset();
}

int Server::run()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::string error;
    if (!start(error)) {
        std::cerr << "trevalquin: " << error << "\n";
        return 1;
    }
    admin_thread_ = std::thread([this] { admin_io_.run(); });
    std::vector<std::thread> threads;
    for (auto &w : workers_)
        threads.emplace_back([loop = w.get()] { loop->run(); });
    io_.run();
    for (auto &t : threads)
        t.join();
    // The relay is done; administration ends with it (a command still
    // running finishes first).
    admin_io_.stop();
    admin_thread_.join();
    admin_.reset();

    int status = 0;
    if (settings_.save_on_exit && !settings_.policy.empty() && !modules_.empty()) {
        Report r;
        if (!modules_.front()->save_policy(settings_.policy, r))
            status = 1;
        report(r, "save");
    }
    expectations_.clear();
    modules_.clear();
    if (!settings_.pid_file.empty())
        ::unlink(settings_.pid_file.c_str());
    return status;
}

} // namespace gw
