// The console's HTTP server: one request per connection, read in full
// (header and body) within a deadline before any thread works on it, so a
// client that sends slowly holds a socket and nothing else; a cap on the
// connections of each client address and of all. TLS when given a
// certificate.
#ifndef GW_CONSOLE_HTTP_H
#define GW_CONSOLE_HTTP_H

#include <cstddef>

#include <asio.hpp>
#include <asio/ssl.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace gw {

struct HttpRequest {
    std::string method, path, body;
    std::string remote_addr;                          // the client's address, without port
    std::multimap<std::string, std::string> params;   // query and form fields, decoded
    std::map<std::string, std::string> headers;       // names in lower case
    bool has_param(const std::string &name) const { return params.count(name) != 0; }
    std::string get_param_value(const std::string &name) const;
    bool has_header(const std::string &name) const;
    std::string get_header_value(const std::string &name) const;
};

struct HttpResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    void set_header(const std::string &name, const std::string &value) { headers.emplace_back(name, value); }
    void set_content(std::string text, const std::string &type)
    {
        body = std::move(text);
        set_header("Content-Type", type);
    }
};

using HttpHandler = std::function<void(const HttpRequest &, HttpResponse &)>;

struct HttpLimits {
    std::chrono::milliseconds request_deadline{10000}; // from the connection to the last byte of the body
    size_t per_address = 8;
    size_t total = 512;
    size_t max_header = 16 * 1024;
    size_t max_body = 64 * 1024;
    int workers = 4;
};

// Parses a request header (up to and including the blank line) into `out`;
// false on anything that is not one.
bool parse_http_header(const std::string &head, HttpRequest &out);
// Adds the fields of a query or form text ("a=1&b=x%20y") to `out`.
void parse_http_params(const std::string &text, std::multimap<std::string, std::string> &out);

class HttpServer {
public:
    explicit HttpServer(HttpLimits limits) : limits_(limits) {}
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds (port 0: any); TLS with a certificate and key. False with `error`.
    bool open(const std::string &host, uint16_t port, const std::string &cert, const std::string &key,
              std::string &error);
    int port() const { return port_; }

    void set_default_headers(std::vector<std::pair<std::string, std::string>> h) { defaults_ = std::move(h); }
    // Runs before routing; true when it answered the request itself.
    void set_pre_routing(std::function<bool(const HttpRequest &, HttpResponse &)> f) { pre_ = std::move(f); }
    void route(const std::string &method, const std::string &path, HttpHandler h)
    {
        routes_[{method, path}] = std::move(h);
    }

    void start();
    void stop();

private:
    template <typename Stream> friend class HttpConnection;
    void accept();
    // A place for a connection from `address`, or false when it has none.
    bool admit(const std::string &address);
    void release(const std::string &address);
    // Answers a whole request; runs on a worker.
    std::string answer(const HttpRequest &req);

    // Destroyed in this order's reverse: connections still queued in the
    // I/O context give their places back and use the TLS context when it
    // goes, so those outlive it.
    HttpLimits limits_;
    std::mutex lock_;
    std::map<std::string, size_t> per_address_;
    size_t open_ = 0;
    std::vector<std::pair<std::string, std::string>> defaults_;
    std::function<bool(const HttpRequest &, HttpResponse &)> pre_;
    std::map<std::pair<std::string, std::string>, HttpHandler> routes_;
    std::unique_ptr<asio::ssl::context> tls_;
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_{io_};
    std::unique_ptr<asio::thread_pool> workers_;
    std::thread thread_;
    int port_ = 0;
};

} // namespace gw

#endif
