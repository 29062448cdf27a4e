// A small HTTP/1.0 server on 127.0.0.1 for playlist fetch tests: one thread
// per connection, one request per connection, bodies from a table of paths.
// A response may be cut off after some bytes of its body (the connection is
// then closed while the announced length is still owed), held back for a
// while, or never sent at all (until the server goes). Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace apptest {

class HttpTestServer {
public:
    struct Response {
        int status = 200;
        std::string body;
        long cutAfter = -1;      // bytes of the body sent before closing; -1 all
        int delayMs = 0;         // held back this long before answering
        bool hang = false;       // never answered while the server lives
        std::string location{};  // sent as a Location header when not empty
    };

    HttpTestServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 16) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            std::abort();
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~HttpTestServer() {
        stop_ = true;
        thread_.join();
        for (std::thread& t : workers_) t.join();
        ::close(fd_);
    }
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    void Set(const std::string& path, Response response) {
        std::lock_guard<std::mutex> lock(mutex_);
        routes_[path] = std::move(response);
    }
    void Set(const std::string& path, const std::string& body) { Set(path, Response{200, body, -1}); }
    int Requests() const { return requests_; }
    // Requests for one path so far.
    int RequestsFor(const std::string& path) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = counts_.find(path);
        return it == counts_.end() ? 0 : it->second;
    }
    // Connections being answered (or held) now.
    int Open() const { return open_; }
    std::string LastRequest() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastRequest_;
    }

private:
    void Serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            ++open_;
            workers_.emplace_back([this, client] {
                Answer(client);
                ::close(client);
                --open_;
            });
        }
    }

    // Waits up to ms, or until the server stops or the client goes; false
    // when either happened.
    bool Hold(int client, int ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!stop_ && std::chrono::steady_clock::now() < until) {
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 5) > 0) {
                char byte;
                if (::recv(client, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0) return false;
            }
        }
        return !stop_;
    }

    void Answer(int client) {
        std::string request;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[1024];
            const ssize_t n = ::recv(client, buf, sizeof buf, 0);
            if (n <= 0) return;
            request.append(buf, static_cast<size_t>(n));
        }
        const size_t start = request.find(' ');
        const size_t end = start == std::string::npos ? start : request.find(' ', start + 1);
        const std::string path = end == std::string::npos ? "" : request.substr(start + 1, end - start - 1);
        Response response{404, "<html>not found</html>", -1};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lastRequest_ = request;
            ++counts_[path];
            auto it = routes_.find(path);
            if (it != routes_.end()) response = it->second;
        }
        ++requests_;
        if (response.hang) {
            // At most a minute: every wait is bounded.
            Hold(client, 60000);
            return;
        }
        if (response.delayMs > 0 && !Hold(client, response.delayMs)) return;
        std::string out = "HTTP/1.0 " + std::to_string(response.status) + " X\r\nContent-Type: text/xml\r\n" +
                          (response.location.empty() ? std::string() : "Location: " + response.location + "\r\n") +
                          "Content-Length: " + std::to_string(response.body.size()) + "\r\nConnection: close\r\n\r\n";
        const size_t bodyBytes = response.cutAfter < 0 ? response.body.size() : static_cast<size_t>(response.cutAfter);
        out += response.body.substr(0, bodyBytes);
        size_t sent = 0;
        while (sent < out.size()) {
            const ssize_t n = ::send(client, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> open_{0};
    mutable std::mutex mutex_;
    std::map<std::string, Response> routes_;  // guarded by mutex_
    std::string lastRequest_;                 // guarded by mutex_
    std::map<std::string, int> counts_;       // guarded by mutex_
    std::thread thread_;
    std::vector<std::thread> workers_;  // the accept thread's; joined at the end
};

}  // namespace apptest
