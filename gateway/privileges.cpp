// Dropping root after the sockets are bound.
#include "privileges.h"

#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace gw {

bool drop_privileges(const std::string &user, const std::string &group, const std::vector<std::string> &given,
                     const std::vector<std::string> &writable, std::string &error)
{
    if (user.empty())
        return true;
    struct passwd *pw = getpwnam(user.c_str());
    if (!pw) {
        error = "user \"" + user + "\" does not exist";
        return false;
    }
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    if (!group.empty()) {
        struct group *gr = getgrnam(group.c_str());
        if (!gr) {
            error = "group \"" + group + "\" does not exist";
            return false;
        }
        gid = gr->gr_gid;
    }
    auto failed = [&](const char *step) {
        error = std::string("cannot become user \"") + user + "\" (" + step + "): " + std::strerror(errno);
        return false;
    };
    for (const auto &file : given)
        if (!file.empty() && chown(file.c_str(), uid, gid) != 0 && errno != ENOENT)
            return failed(("chown " + file).c_str());
    if (setgroups(1, &gid) != 0)
        return failed("setgroups");
    if (setgid(gid) != 0)
        return failed("setgid");
    if (setuid(uid) != 0)
        return failed("setuid");
    /* A process that could win root back has not dropped it. */
    if (getuid() != uid || geteuid() != uid || getgid() != gid || getegid() != gid ||
        (uid != 0 && setuid(0) == 0)) {
        errno = EPERM;
        return failed("check");
    }
    for (const auto &dir : writable) {
        if (!dir.empty() && access(dir.c_str(), W_OK | X_OK) != 0) {
            error = "\"" + dir + "\" is not writable by user \"" + user + "\": " + std::strerror(errno) +
                    " (the gateway keeps its state there)";
            return false;
        }
    }
    return true;
}

bool write_pid_file(const std::string &path, std::string &error)
{
    if (path.empty())
        return true;
    std::ofstream out(path, std::ios::trunc);
    out << getpid() << "\n";
    out.close();
    if (!out) {
        error = path + ": cannot write the pid file: " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace gw
