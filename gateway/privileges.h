// Running as an unprivileged user once the sockets are bound, and the pid
// file.
#ifndef GW_PRIVILEGES_H
#define GW_PRIVILEGES_H

#include <string>
#include <vector>

namespace gw {

// Becomes `user` (and `group`, or the user's own group): supplementary
// groups, group, user, in that order, each checked. Then `writable`
// paths (directories where the gateway keeps state) must be writable as
// that user. False with `error` set when any step fails; the process must
// not go on then.
bool drop_privileges(const std::string &user, const std::string &group,
                     const std::vector<std::string> &writable, std::string &error);

// Writes the process number to `path` ("" does nothing).
bool write_pid_file(const std::string &path, std::string &error);

} // namespace gw

#endif
