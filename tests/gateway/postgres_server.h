/* A PostgreSQL server of Debian's package, for the tests alone: its data
 * and its socket in a temporary directory, no TCP port, started and
 * stopped (immediately, as a crash would) at will. As root it runs as the
 * package's postgres user, since the server refuses root. */
#ifndef TESTS_GATEWAY_POSTGRES_SERVER_H
#define TESTS_GATEWAY_POSTGRES_SERVER_H

#include <glob.h>
#include <pwd.h>
#include <unistd.h>

#include <libpq-fe.h>

#include <string>

#include "gateway/e2e_helpers.h"

namespace e2e {

class PostgresServer {
public:
    PostgresServer()
    {
        glob_t g{};
        if (::glob("/usr/lib/postgresql/*/bin/pg_ctl", 0, nullptr, &g) == 0 && g.gl_pathc > 0)
            bin_ = std::filesystem::path(g.gl_pathv[g.gl_pathc - 1]).parent_path();
        globfree(&g);
        if (bin_.empty()) {
            error_ = "no PostgreSQL server: tools/setup installs the postgresql package";
            return;
        }
        if (::geteuid() == 0) {
            const passwd *pw = ::getpwnam("postgres");
            if (!pw) {
                error_ = "no postgres user";
                return;
            }
            if (::chown(dir_.path().c_str(), pw->pw_uid, pw->pw_gid) != 0) {
                error_ = "cannot give the test directory to postgres";
                return;
            }
            as_ = {"/usr/sbin/runuser", "-u", "postgres", "--"};
        }
        RunResult r = pg({bin_ / "initdb", "-D", data(), "-A", "trust", "-U", "tq", "--no-sync"});
        if (r.status != 0)
            error_ = "initdb: " + r.out + r.err;
    }
    ~PostgresServer() { stop(); }

    const std::string &error() const { return error_; }

    bool start()
    {
        RunResult r = pg({bin_ / "pg_ctl", "-D", data(), "-l", dir_ / "server.log", "-w", "-o",
                          "-k " + dir_.path().string() + " -c listen_addresses= -c fsync=off", "start"});
        running_ = r.status == 0;
        if (!running_)
            error_ = "pg_ctl start: " + r.out + r.err + slurp(dir_ / "server.log");
        return running_;
    }

    // As if the machine lost the server: no shutdown, no checkpoint.
    void stop()
    {
        if (running_)
            pg({bin_ / "pg_ctl", "-D", data(), "-m", "immediate", "-w", "stop"});
        running_ = false;
    }

    // A connection URI for database `db`, through the server's socket.
    std::string uri(const std::string &db = "postgres") const
    {
        return "postgresql:///" + db + "?host=" + dir_.path().string() + "&user=tq";
    }

    // Runs `sql` in `db`; the error, or "" when it went through.
    std::string exec(const std::string &sql, const std::string &db = "postgres") const
    {
        PGconn *c = PQconnectdb(uri(db).c_str());
        std::string error = PQstatus(c) == CONNECTION_OK ? "" : PQerrorMessage(c);
        if (error.empty()) {
            PGresult *r = PQexec(c, sql.c_str());
            if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
                error = PQresultErrorMessage(r);
            PQclear(r);
        }
        PQfinish(c);
        return error;
    }

private:
    std::string data() const { return dir_ / "data"; }
    RunResult pg(std::vector<std::string> args) const
    {
        args.insert(args.begin(), as_.begin(), as_.end());
        return run_program(args, dir_, milliseconds(60000));
    }

    TempDir dir_;
    std::filesystem::path bin_;
    std::vector<std::string> as_;
    std::string error_;
    bool running_ = false;
};

} // namespace e2e

#endif
