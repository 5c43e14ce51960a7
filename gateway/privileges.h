// Running as an unprivileged user once the sockets are bound, and the pid
// file.
#ifndef GW_PRIVILEGES_H
#define GW_PRIVILEGES_H

#include <string>
#include <vector>

namespace gw {

// Becomes `user` (and `group`, or the user's own group): supplementary
// groups, group, user, in that order, each checked. First the `given`
// files, which the gateway opened as root and opens again later (the
// events file, on SIGUSR1), are given to that user; then `writable` paths
// (directories where the gateway keeps state) must be writable as that
// user. False with `error` set when any step fails; the process must not
// go on then.
bool drop_privileges(const std::string &user, const std::string &group, const std::vector<std::string> &given,
                     const std::vector<std::string> &writable, std::string &error);

// Writes the process number to `path` ("" does nothing).
bool write_pid_file(const std::string &path, std::string &error);

} // namespace gw

#endif
