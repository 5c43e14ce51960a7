/* The installed gateway: `cmake --install` into a DESTDIR gives the
 * programs, libraries, manual pages, an example configuration that an
 * existing one is never replaced by, and a systemd unit that
 * systemd-analyze accepts; the installed gateway runs from its installed
 * configuration, relays an MSNP session and answers tqctl. */
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "../bench/replay/session_capture.h"
#include "gateway/e2e_fixture.h"

using namespace e2e;
namespace fs = std::filesystem;

namespace {

RunResult install_into(const fs::path &destdir, const TempDir &dir)
{
    return run_program({"/bin/sh", "-c",
                        "DESTDIR='" + destdir.string() + "' '" TQ_CMAKE "' --install '" TQ_BINARY_DIR "'"},
                       dir, milliseconds(60000));
}

TEST(Install, IntoADestdirAndRunFromThere)
{
    TempDir dir;
    const fs::path root = dir.path() / "root";
    const fs::path prefix = root / fs::path(TQ_INSTALL_PREFIX).relative_path();
    RunResult r = install_into(root, dir);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    const fs::path conf_dir = prefix / "etc/trevalquin";
    for (const fs::path &f : {prefix / "sbin/trevalquin", prefix / "bin/tqctl", prefix / "lib/trevalquin/libtq3_msnp.so",
                              prefix / "lib/trevalquin/libtrevalquin.so", prefix / "share/man/man8/trevalquin.8.gz",
                              prefix / "share/man/man5/trevalquin.conf.5.gz", prefix / "share/man/man1/tqctl.1.gz",
                              prefix / "bin/tqreplay", prefix / "share/man/man1/tqreplay.1.gz",
                              prefix / "share/trevalquin/console/index.html", prefix / "share/doc/trevalquin/copyright",
                              prefix / "lib/systemd/system/trevalquin.service", conf_dir / "trevalquin.conf",
                              conf_dir / "policy.xml"})
        EXPECT_TRUE(fs::exists(f)) << f;
    EXPECT_TRUE(fs::is_directory(prefix / "var/lib/trevalquin"));

    /* A second install keeps what the administrator changed. */
    std::ofstream(conf_dir / "trevalquin.conf", std::ios::app) << "workers = 1\n";
    const std::string edited = slurp(conf_dir / "trevalquin.conf");
    r = install_into(root, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(conf_dir / "trevalquin.conf"), edited);

    /* The unit as systemd reads it, with the program where it was put. */
    if (fs::exists("/usr/bin/systemd-analyze")) {
        std::string unit = slurp(prefix / "lib/systemd/system/trevalquin.service");
        unit = replace_all(unit, std::string(TQ_INSTALL_PREFIX) + "/sbin/", (prefix / "sbin").string() + "/");
        EXPECT_NE(unit.find("ExecStartPre=" + (prefix / "sbin").string() + "/trevalquin -t"), std::string::npos)
            << "the service checks its configuration before it starts";
        std::ofstream(dir / "trevalquin.service") << unit;
        r = run_program({"/usr/bin/systemd-analyze", "verify", "--man=no", dir / "trevalquin.service"}, dir);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "") << "systemd-analyze has remarks";
    }

    /* The installed gateway from the installed configuration; only the
     * paths are moved into the DESTDIR. */
    Listener ns;
    const fs::path state = prefix / "var/lib/trevalquin";
    const std::string sock = (state / "trevalquin.sock").string();
    Gateway gw;
    ASSERT_TRUE(gw.start((prefix / "sbin/trevalquin").string(),
                         {"listen=127.0.0.1:0", "msnp-ports=" + std::to_string(ns.port()), "allow-destinations=loopback",
                          "policy=" + (state / "policy.xml").string(),
                          "policy-seed=" + (conf_dir / "policy.xml").string(), "admin-socket=" + sock,
                          "pid-file=" + (state / "trevalquin.pid").string(),
                          "archive=sqlite:" + (state / "archive.db").string(),
                          "events-file=" + (prefix / "var/log/trevalquin/events.log").string(),
                          "var log-dir = \"" + (prefix / "var/log/trevalquin/msn").string() + "\""},
                         dir, {"-c", (conf_dir / "trevalquin.conf").string()}))
        << gw.error();
    int rep = -1;
    Fd c = socks5_connect(gw.port(), ns.port(), &rep), s = ns.accept();
    ASSERT_TRUE(c && s);
    const std::string ok = "USR 3 OK dave@corp.example.com Dave 1 0\r\n";
    ASSERT_TRUE(send_all(s.get(), ok));
    EXPECT_EQ(recv_exact(c.get(), ok.size()), ok) << "the example policy admits dave";
    r = run_program({(prefix / "bin/tqctl").string(), "-s", sock, "counters"}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("stats-user-login = 1"), std::string::npos) << r.out;
    EXPECT_EQ(gw.stop(SIGTERM), 0) << gw.stderr_text();

    /* The installed tqreplay finds the installed module. */
    std::string error;
    ::gw::CaptureOptions co;
    co.dir = (dir / "captures");
    auto cap = ::gw::Capture::open(co, error);
    ASSERT_TRUE(cap) << error;
    session_capture::write_session(*cap, 1, 1796205600, "dave@corp.example.com",
                                   {{false, "rival@competitor.example", "hello"}});
    const std::string capture = cap->files().at(0);
    cap.reset();
    r = run_program({(prefix / "bin/tqreplay").string(), "-p", (conf_dir / "policy.xml").string(), capture}, dir);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("by /Company #1 (Competitor)"), std::string::npos) << r.out;
}

} // namespace
