// Who may use the web console: accounts from a file of
// `NAME:LEVEL:HASH` lines (HASH from crypt(3), as `trevalquin
// --hash-password` or `openssl passwd -6` make it), and the sessions of
// those who signed in, by a random token kept in an HttpOnly cookie.
#ifndef GW_CONSOLE_AUTH_H
#define GW_CONSOLE_AUTH_H

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace gw {

struct ConsoleAccount {
    std::string name;
    int level = 2; // 0 and 1 may change things, higher may only look
};

class ConsoleAuth {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::hours kIdle{12};

    // False with `error` naming the file and the line.
    bool load(const std::string &file, std::string &error);
    // A new session token when the password is right.
    std::optional<std::string> login(const std::string &name, const std::string &password);
    // The account of a live session (which it keeps alive).
    std::optional<ConsoleAccount> session(const std::string &token);
    void logout(const std::string &token);

private:
    struct User {
        ConsoleAccount account;
        std::string hash;
    };
    struct Session {
        ConsoleAccount account;
        Clock::time_point seen;
    };
    std::map<std::string, User> users_;
    std::mutex lock_;
    std::map<std::string, Session> sessions_;
};

// A crypt(3) hash (SHA-512, random salt) of a password; empty on failure.
std::string hash_console_password(const std::string &password);
// Whether `password` matches a crypt(3) hash.
bool check_console_password(const std::string &password, const std::string &hash);

} // namespace gw

#endif
