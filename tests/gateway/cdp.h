/* Headless Chromium driven over the DevTools protocol on a pipe
 * (--remote-debugging-pipe: JSON messages ending in NUL on descriptors 3
 * and 4), so that a test can load a page, run script in it, wait for what
 * it shows and take screenshots, with nothing but Debian's chromium. */
#ifndef TESTS_GATEWAY_CDP_H
#define TESTS_GATEWAY_CDP_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace cdp {

inline std::string json_quoted(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
            continue;
        }
        out += c;
    }
    return out + "\"";
}

/* The string value of "key" in a message (no unescaping beyond \" and \\). */
inline std::string string_field(const std::string &msg, const std::string &key)
{
    std::string tag = "\"" + key + "\":\"";
    size_t at = msg.find(tag);
    if (at == std::string::npos)
        return "";
    std::string out;
    for (size_t i = at + tag.size(); i < msg.size() && msg[i] != '"'; ++i) {
        if (msg[i] == '\\' && i + 1 < msg.size())
            ++i;
        out += msg[i];
    }
    return out;
}

inline std::string base64_decode(const std::string &in)
{
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : in) {
        int v = value(c);
        if (v < 0)
            continue;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return out;
}

class Browser {
public:
    ~Browser() { close(); }

    /* Starts chromium with a profile in `profile`; false when it cannot. */
    bool start(const std::string &binary, const std::string &profile)
    {
        int to[2], from[2];
        if (pipe(to) != 0 || pipe(from) != 0)
            return false;
        pid_ = fork();
        if (pid_ == 0) {
            /* fd 3: what the browser reads, fd 4: what it writes. */
            /* Out of the way of 3 and 4 first: the pipes may be there. */
            int r = fcntl(to[0], F_DUPFD, 10), w = fcntl(from[1], F_DUPFD, 10);
            dup2(r, 3);
            dup2(w, 4);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            for (int fd = 5; fd < 1024; ++fd)
                ::close(fd);
            execl(binary.c_str(), binary.c_str(), "--headless", "--no-sandbox", "--disable-gpu",
                  "--disable-dev-shm-usage", "--no-first-run", "--no-default-browser-check", "--remote-debugging-pipe",
                  ("--user-data-dir=" + profile).c_str(), "--window-size=1280,900", "about:blank",
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        ::close(to[0]);
        ::close(from[1]);
        out_ = to[1];
        in_ = from[0];
        std::string r = call("Target.createTarget", "{\"url\":\"about:blank\"}");
        std::string target = string_field(r, "targetId");
        if (target.empty())
            return false;
        r = call("Target.attachToTarget", "{\"targetId\":" + json_quoted(target) + ",\"flatten\":true}");
        session_ = string_field(r, "sessionId");
        return !session_.empty() && !call("Page.enable", "{}", session_).empty();
    }

    void close()
    {
        if (pid_ > 0) {
            if (out_ >= 0)
                send("Browser.close", "{}", "");
            for (int i = 0; i < 50; ++i) {
                if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                    pid_ = -1;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            if (pid_ > 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
            }
        }
        if (out_ >= 0)
            ::close(out_);
        if (in_ >= 0)
            ::close(in_);
        out_ = in_ = -1;
    }

    void navigate(const std::string &url) { call("Page.navigate", "{\"url\":" + json_quoted(url) + "}", session_); }

    /* Runs `js` in the page; the answer's "value" as JSON text. */
    std::string eval(const std::string &js)
    {
        std::string r = call("Runtime.evaluate",
                             "{\"expression\":" + json_quoted(js) + ",\"returnByValue\":true,\"awaitPromise\":true}",
                             session_);
        size_t at = r.find("\"value\":");
        if (at == std::string::npos)
            return "";
        at += 8;
        if (r[at] == '"')
            return string_field(r.substr(at - 8), "value");
        return r.substr(at, r.find_first_of(",}", at) - at);
    }

    /* Waits until `js` is true in the page. */
    bool until(const std::string &js, std::chrono::milliseconds limit = std::chrono::milliseconds(15000))
    {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (eval("Boolean(" + js + ")") == "true")
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    bool screenshot(const std::string &file)
    {
        std::string r = call("Page.captureScreenshot", "{\"format\":\"png\"}", session_);
        std::string png = base64_decode(string_field(r, "data"));
        if (png.size() < 8 || png.compare(1, 3, "PNG") != 0)
            return false;
        std::ofstream(file, std::ios::binary) << png;
        return true;
    }

private:
    int send(const std::string &method, const std::string &params, const std::string &session)
    {
        int id = ++next_;
        std::string msg = "{\"id\":" + std::to_string(id) + ",\"method\":" + json_quoted(method) + ",\"params\":" + params;
        if (!session.empty())
            msg += ",\"sessionId\":" + json_quoted(session);
        msg += "}";
        msg.push_back('\0');
        for (size_t done = 0; done < msg.size();) {
            ssize_t n = write(out_, msg.data() + done, msg.size() - done);
            if (n <= 0)
                return -1;
            done += static_cast<size_t>(n);
        }
        return id;
    }

    /* The reply to one command; events on the way are dropped. */
    std::string call(const std::string &method, const std::string &params, const std::string &session = "")
    {
        int id = send(method, params, session);
        if (id < 0)
            return "";
        const std::string head = "{\"id\":" + std::to_string(id) + ",";
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            size_t nul;
            while ((nul = buffer_.find('\0')) != std::string::npos) {
                std::string msg = buffer_.substr(0, nul);
                buffer_.erase(0, nul + 1);
                if (msg.rfind(head, 0) == 0)
                    return msg;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return "";
            pollfd p{in_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return "";
            char buf[65536];
            ssize_t n = read(in_, buf, sizeof buf);
            if (n <= 0)
                return "";
            buffer_.append(buf, static_cast<size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int out_ = -1, in_ = -1;
    int next_ = 0;
    std::string session_;
    std::string buffer_;
};

} // namespace cdp

#endif
