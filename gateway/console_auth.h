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
    // An account is locked for `lockout` after `failures` failed logins in
    // a row (0: never).
    void set_limits(int failures, std::chrono::minutes lockout);

    struct LoginResult {
        std::optional<std::string> token; // a new session: the password was right
        std::string why;                  // else what to tell the client
        long retry_after = 0;             // seconds before the next try is heard
        bool locked_now = false;          // this failure locked the account
    };
    // Each failure makes the next try of the same account, and from the
    // same address, wait twice as long as the last (1 s, 2 s, ... 60 s);
    // a try that comes sooner, or for a locked account, is refused without
    // looking at the password, and counts as a failure too.
    LoginResult login(const std::string &name, const std::string &password, const std::string &address);
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
    // Failures of one account or one address.
    struct Strikes {
        int failures = 0;
        Clock::time_point not_before{}, locked_until{};
    };
    // Counts a failure; true when it locks the account.
    bool strike(Strikes &account, Strikes &address, Clock::time_point now);
    // Forgets strikes that no longer hold anything back (few are kept
    // however many names and addresses are tried).
    void prune(Clock::time_point now);

    std::map<std::string, User> users_;
    std::mutex lock_;
    std::map<std::string, Session> sessions_;
    std::map<std::string, Strikes> accounts_, addresses_;
    int lock_after_ = 10;
    std::chrono::minutes lockout_{15};
};

// A crypt(3) hash (SHA-512, random salt) of a password; empty on failure.
std::string hash_console_password(const std::string &password);
// Whether `password` matches a crypt(3) hash.
bool check_console_password(const std::string &password, const std::string &hash);

} // namespace gw

#endif
