// The console's HTTP server.
#include "console_http.h"

#include <asio/ssl.hpp>

#include <algorithm>
#include <cctype>

namespace gw {

namespace {

using tcp = asio::ip::tcp;

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string url_decode(const std::string &text, bool plus_is_space)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += plus_is_space && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

const char *reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 421: return "Misdirected Request";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

std::string render(const HttpResponse &res, const std::vector<std::pair<std::string, std::string>> &defaults)
{
    std::string out = "HTTP/1.1 " + std::to_string(res.status) + " " + reason(res.status) + "\r\n";
    for (const auto &[n, v] : defaults)
        out += n + ": " + v + "\r\n";
    for (const auto &[n, v] : res.headers)
        out += n + ": " + v + "\r\n";
    out += "Content-Length: " + std::to_string(res.body.size()) + "\r\nConnection: close\r\n\r\n";
    return out + res.body;
}

std::string plain_answer(int status, const std::string &text)
{
    HttpResponse r;
    r.status = status;
    r.set_content(text + "\n", "text/plain");
    return render(r, {});
}

} // namespace

std::string HttpRequest::get_param_value(const std::string &name) const
{
    auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
}

bool HttpRequest::has_header(const std::string &name) const
{
    return headers.count(lower(name)) != 0;
}

std::string HttpRequest::get_header_value(const std::string &name) const
{
    auto it = headers.find(lower(name));
    return it == headers.end() ? std::string() : it->second;
}

void parse_http_params(const std::string &text, std::multimap<std::string, std::string> &out)
{
    size_t at = 0;
    while (at <= text.size()) {
        size_t amp = text.find('&', at);
        std::string field = text.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
        if (!field.empty()) {
            size_t eq = field.find('=');
            out.emplace(url_decode(field.substr(0, eq), true),
                        eq == std::string::npos ? std::string() : url_decode(field.substr(eq + 1), true));
        }
        if (amp == std::string::npos)
            break;
        at = amp + 1;
    }
}

bool parse_http_header(const std::string &head, HttpRequest &out)
{
    size_t eol = head.find("\r\n");
    if (eol == std::string::npos)
        return false;
    const std::string line = head.substr(0, eol);
    size_t sp1 = line.find(' '), sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos)
        return false;
    out.method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string version = line.substr(sp2 + 1);
    if (out.method.empty() || target.empty() || target[0] != '/' || (version != "HTTP/1.1" && version != "HTTP/1.0"))
        return false;
    size_t q = target.find('?');
    out.path = url_decode(target.substr(0, q), false);
    if (q != std::string::npos)
        parse_http_params(target.substr(q + 1), out.params);
    size_t at = eol + 2;
    while (at < head.size()) {
        size_t end = head.find("\r\n", at);
        if (end == std::string::npos)
            return false;
        if (end == at)
            return true; // the blank line
        std::string field = head.substr(at, end - at);
        size_t colon = field.find(':');
        if (colon == std::string::npos || colon == 0 || field.find_first_of(" \t") < colon)
            return false;
        std::string value = field.substr(colon + 1);
        size_t a = value.find_first_not_of(" \t"), b = value.find_last_not_of(" \t");
        value = a == std::string::npos ? "" : value.substr(a, b - a + 1);
        std::string name = lower(field.substr(0, colon));
        if (out.headers.count(name)) {
            if (name == "content-length" || name == "host")
                return false; // two of them disagree or smuggle: neither is believed
            out.headers[name] += ", " + value;
        } else {
            out.headers[name] = value;
        }
        at = end + 2;
    }
    return false;
}

// One client: its request read whole under the deadline, answered by a
// worker, written back, closed.
template <typename Stream> class HttpConnection : public std::enable_shared_from_this<HttpConnection<Stream>> {
public:
    HttpConnection(HttpServer &server, Stream stream, std::string address)
        : server_(server), stream_(std::move(stream)), timer_(server.io_), address_(std::move(address))
    {
    }
    ~HttpConnection() { server_.release(address_); }

    void start()
    {
        timer_.expires_after(server_.limits_.request_deadline);
        timer_.async_wait([self = this->shared_from_this()](const asio::error_code &ec) {
            if (!ec && !self->answered_)
                self->finish(plain_answer(408, "the request did not come in time"));
        });
        if constexpr (std::is_same_v<Stream, tcp::socket>) {
            read();
        } else {
            stream_.async_handshake(asio::ssl::stream_base::server,
                                    [self = this->shared_from_this()](const asio::error_code &ec) {
                                        if (ec)
                                            self->close();
                                        else
                                            self->read();
                                    });
        }
    }

private:
    tcp::socket &socket()
    {
        if constexpr (std::is_same_v<Stream, tcp::socket>)
            return stream_;
        else
            return stream_.next_layer();
    }

    void read()
    {
        stream_.async_read_some(asio::buffer(chunk_), [self = this->shared_from_this()](const asio::error_code &ec,
                                                                                        size_t n) {
            if (ec || self->answered_)
                return self->close();
            self->in_.append(self->chunk_.data(), n);
            self->on_bytes();
        });
    }

    void on_bytes()
    {
        const HttpLimits &lim = server_.limits_;
        if (head_end_ == 0) {
            size_t end = in_.find("\r\n\r\n");
            if (end == std::string::npos) {
                if (in_.size() > lim.max_header)
                    return finish(plain_answer(431, "request header too large"));
                return read();
            }
            head_end_ = end + 4;
            req_.remote_addr = address_;
            if (!parse_http_header(in_.substr(0, head_end_), req_))
                return finish(plain_answer(400, "not an HTTP request"));
            if (req_.has_header("transfer-encoding"))
                return finish(plain_answer(501, "send a Content-Length"));
            std::string length = req_.get_header_value("content-length");
            if (!length.empty()) {
                if (length.size() > 9 || length.find_first_not_of("0123456789") != std::string::npos)
                    return finish(plain_answer(400, "bad Content-Length"));
                body_ = std::stoul(length);
                if (body_ > lim.max_body)
                    return finish(plain_answer(413, "request body too large"));
            }
        }
        if (in_.size() < head_end_ + body_)
            return read();
        req_.body = in_.substr(head_end_, body_);
        if (lower(req_.get_header_value("content-type")).rfind("application/x-www-form-urlencoded", 0) == 0)
            parse_http_params(req_.body, req_.params);
        answered_ = true; // the deadline is for the client; the answer takes what it takes
        timer_.cancel();
        asio::post(*server_.workers_, [self = this->shared_from_this()] {
            std::string out = self->server_.answer(self->req_);
            asio::post(self->server_.io_, [self, out = std::move(out)]() mutable { self->write(std::move(out)); });
        });
    }

    void finish(std::string text)
    {
        answered_ = true;
        timer_.cancel();
        write(std::move(text));
    }

    void write(std::string text)
    {
        out_ = std::move(text);
        // A client that does not take its answer is let go as well.
        timer_.expires_after(server_.limits_.request_deadline);
        timer_.async_wait([self = this->shared_from_this()](const asio::error_code &ec) {
            if (!ec)
                self->close();
        });
        asio::async_write(stream_, asio::buffer(out_),
                          [self = this->shared_from_this()](const asio::error_code &, size_t) { self->close(); });
    }

    void close()
    {
        asio::error_code ignored;
        timer_.cancel();
        socket().shutdown(tcp::socket::shutdown_both, ignored);
        socket().close(ignored);
    }

    HttpServer &server_;
    Stream stream_;
    asio::steady_timer timer_;
    std::string address_;
    std::array<char, 4096> chunk_{};
    std::string in_, out_;
    size_t head_end_ = 0, body_ = 0;
    HttpRequest req_;
    bool answered_ = false;
};

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::open(const std::string &host, uint16_t port, const std::string &cert, const std::string &key,
                      std::string &error)
{
    asio::error_code ec;
    auto address = asio::ip::make_address(host, ec);
    if (ec) {
        tcp::resolver resolver(io_);
        auto found = resolver.resolve(host, std::to_string(port), ec);
        if (ec || found.empty()) {
            error = "cannot resolve " + host;
            return false;
        }
        address = found.begin()->endpoint().address();
    }
    tcp::endpoint ep(address, port);
    acceptor_.open(ep.protocol(), ec);
    if (!ec)
        acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor_.bind(ep, ec);
    if (!ec)
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    port_ = acceptor_.local_endpoint(ec).port();
    if (!cert.empty() || !key.empty()) {
        tls_ = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
        tls_->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                              asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                              asio::ssl::context::no_tlsv1_1,
                          ec);
        if (!ec)
            tls_->use_certificate_chain_file(cert, ec);
        if (!ec)
            tls_->use_private_key_file(key, asio::ssl::context::pem, ec);
        if (ec) {
            error = "cannot use the certificate " + cert + " and key " + key + ": " + ec.message();
            return false;
        }
    }
    return true;
}

bool HttpServer::admit(const std::string &address)
{
    std::lock_guard<std::mutex> g(lock_);
    size_t &mine = per_address_[address];
    if (open_ >= limits_.total || mine >= limits_.per_address) {
        if (mine == 0)
            per_address_.erase(address);
        return false;
    }
    ++mine;
    ++open_;
    return true;
}

void HttpServer::release(const std::string &address)
{
    std::lock_guard<std::mutex> g(lock_);
    --open_;
    auto it = per_address_.find(address);
    if (it != per_address_.end() && --it->second == 0)
        per_address_.erase(it);
}

void HttpServer::accept()
{
    acceptor_.async_accept([this](const asio::error_code &ec, tcp::socket s) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open())
            return;
        if (!ec) {
            asio::error_code pe;
            std::string address = s.remote_endpoint(pe).address().to_string();
            if (pe) {
                // gone before it was seen
            } else if (!admit(address)) {
                // Over the cap: told so at once, without reading.
                std::string text = plain_answer(503, "too many connections from " + address);
                asio::error_code ignored;
                s.non_blocking(true, ignored);
                s.write_some(asio::buffer(text), ignored);
                s.close(ignored);
            } else if (tls_) {
                std::make_shared<HttpConnection<asio::ssl::stream<tcp::socket>>>(
                    *this, asio::ssl::stream<tcp::socket>(std::move(s), *tls_), address)
                    ->start();
            } else {
                std::make_shared<HttpConnection<tcp::socket>>(*this, std::move(s), address)->start();
            }
        }
        accept();
    });
}

std::string HttpServer::answer(const HttpRequest &req)
{
    HttpResponse res;
    try {
        if (!pre_ || !pre_(req, res)) {
            auto it = routes_.find({req.method == "HEAD" ? "GET" : req.method, req.path});
            if (it == routes_.end()) {
                res.status = 404;
                res.set_content("not found\n", "text/plain");
            } else {
                it->second(req, res);
            }
        }
    } catch (...) {
        res = HttpResponse{};
        res.status = 500;
        res.set_content("internal error\n", "text/plain");
    }
    std::string out = render(res, defaults_);
    if (req.method == "HEAD")
        out.resize(out.find("\r\n\r\n") + 4);
    return out;
}

void HttpServer::start()
{
    workers_ = std::make_unique<asio::thread_pool>(static_cast<size_t>(limits_.workers));
    accept();
    thread_ = std::thread([this] { io_.run(); });
}

void HttpServer::stop()
{
    if (!thread_.joinable())
        return;
    asio::post(io_, [this] {
        asio::error_code ignored;
        acceptor_.close(ignored);
    });
    if (workers_)
        workers_->join();
    io_.stop();
    thread_.join();
}

} // namespace gw
