// trevalquin: the gateway. Only the command line is read here.
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <iostream>
#include <string>

#include "config_check.h"
#include "console_auth.h"
#include "server.h"
#include "textutil.h"

namespace {

void usage(std::ostream &out)
{
    out << "usage: trevalquin [-c FILE] [-f] [--set KEY=VALUE ...]\n"
           "       trevalquin -t [-c FILE] [--set KEY=VALUE ...]\n"
           "       trevalquin --version\n"
           "       trevalquin --hash-password < PASSWORD\n"
           "  -c FILE          configuration file (default: built-in settings)\n"
           "  -f               foreground: events are also printed to stderr\n"
           "  -t               check the settings, the module and the policy, then exit\n"
           "  --set KEY=VALUE  override one setting, as a configuration line would\n"
           "  --version        print the version and exit\n"
           "  --hash-password  print a console account's password hash (the password on stdin)\n"
           "settings (KEY = VALUE, default in parentheses; man trevalquin.conf):\n"
        << gw::settings_help_text();
}

std::string exe_dir()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    std::string p(buf, static_cast<size_t>(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

} // namespace

int main(int argc, char **argv)
{
    // Chat logs, captures (which hold sign-in hashes), events and saved
    // policies are nobody else's business: whatever the gateway or its
    // module creates is at most readable by the group.
    umask(umask(0) | 027);
#ifndef TQ_TCMALLOC
    // Built without tcmalloc, glibc's allocator is told what a relay needs.
    // Every chunk borrows and returns buffers of tens of KiB: by default the
    // freed top of a heap went back to the kernel and was faulted in again
    // by the next chunk (a madvise and page faults per read, and cross-CPU
    // calls to flush the other worker's TLB). A relay keeps what it used;
    // only allocations beyond 4 MiB are mapped apart.
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    // Every relayed chat message is copied into a block too large for the
    // per-thread caches, and with fast bins each such request first sorts
    // all small blocks freed since the last one.
    mallopt(M_MXFAST, 0);
#endif
    gw::LaunchOptions opts;
    bool test_only = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-c" && i + 1 < argc) {
            opts.config_file = argv[++i];
        } else if (a == "-f") {
            opts.foreground = true;
        } else if (a == "-t") {
            test_only = true;
        } else if (a == "--set" && i + 1 < argc) {
            opts.overrides.push_back(argv[++i]);
        } else if (a.rfind("--set=", 0) == 0) {
            opts.overrides.push_back(a.substr(6));
        } else if (a == "--hash-password") {
            // A console account's hash, for a line NAME:LEVEL:HASH.
            std::string password;
            std::getline(std::cin, password);
            std::string hash = gw::hash_console_password(password);
            if (password.empty() || hash.empty()) {
                std::cerr << "trevalquin: give the password on standard input\n";
                return 1;
            }
            std::cout << hash << "\n";
            return 0;
        } else if (a == "--manual" && i + 2 < argc) {
            // The manual page of the settings: its template with the table put in.
            std::string error;
            if (!gw::fill_template(argv[i + 1], argv[i + 2], "@SETTINGS@", gw::settings_roff(), error)) {
                std::cerr << "trevalquin: " << error << "\n";
                return 1;
            }
            return 0;
        } else if (a == "--version") {
            std::cout << "trevalquin " << TQ_VERSION << "\n";
            return 0;
        } else if (a == "-h" || a == "--help") {
            usage(std::cout);
            return 0;
        } else {
            std::cerr << "trevalquin: unexpected argument \"" << a << "\"\n";
            usage(std::cerr);
            return 2;
        }
    }
    opts.exe_dir = exe_dir();

    gw::Settings settings;
    std::string error;
    if (!gw::build_settings(opts, settings, error)) {
        std::cerr << "trevalquin: " << error << "\n";
        return 1;
    }
    if (test_only) {
        gw::CheckResult r = gw::check_configuration(opts, settings);
        for (const auto &w : r.warnings)
            std::cerr << w << "\n";
        for (const auto &e : r.errors)
            std::cerr << e << "\n";
        if (!r.ok())
            return 1;
        std::cout << "destination rules (the first that matches decides):\n";
        for (const auto &rule : r.rules)
            std::cout << "  " << rule << "\n";
        std::cout << "configuration OK\n";
        return 0;
    }
    gw::Server server(std::move(opts), std::move(settings));
    return server.run();
}
