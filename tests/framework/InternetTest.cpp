// HTTP GET through the internet session against a real server on loopback:
// a small HTTP/1.0 server on its own thread that answers each connection
// with the next scripted response and records the requests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/Internet.h"

namespace {

class HttpServer {
public:
    // Each response is sent whole; "" means: read the request, send nothing
    // and keep the connection open until the server stops.
    explicit HttpServer(std::deque<std::string> responses) : responses_(std::move(responses)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 8) != 0)
            throw std::runtime_error("cannot listen");
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~HttpServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    int Port() const { return port_; }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void Serve() {
        std::vector<int> held;
        // Bounded: the server lives at most 20 s.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) continue;
            std::string request;
            char buf[1024];
            while (request.find("\r\n\r\n") == std::string::npos) {
                pollfd q{fd, POLLIN, 0};
                if (::poll(&q, 1, 2000) <= 0) break;
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                request.append(buf, static_cast<size_t>(n));
            }
            std::string response;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
                if (!responses_.empty()) {
                    response = responses_.front();
                    responses_.pop_front();
                }
            }
            if (response.empty()) {
                held.push_back(fd);
                continue;
            }
            ::send(fd, response.data(), response.size(), MSG_NOSIGNAL);
            ::close(fd);
        }
        for (int fd : held) ::close(fd);
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::deque<std::string> responses_;  // guarded by mutex_
    std::vector<std::string> requests_;  // guarded by mutex_
};

std::string Ok(const std::string& body) {
    return "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

std::string Redirect(const std::string& to) {
    return "HTTP/1.0 302 Found\r\nLocation: " + to + "\r\nContent-Length: 0\r\n\r\n";
}

std::string ReadAll(CHttpFile& file, size_t* largestPiece) {
    std::string body;
    char buf[4096];
    while (UINT n = file.Read(buf, sizeof buf)) {
        body.append(buf, n);
        if (largestPiece != nullptr) *largestPiece = std::max<size_t>(*largestPiece, n);
    }
    return body;
}

const DWORD kFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_TRANSFER_BINARY;

}  // namespace

TEST(InternetSession, GetDeliversTheBodyInPiecesOfAtMost4096Bytes) {
    std::string body;
    for (int i = 0; body.size() < 10000; ++i) body += "<Event id=\"" + std::to_string(i) + "\"/>\n";
    HttpServer server({Ok(body)});
    CInternetSession session("Tallyscope", 1, PRE_CONFIG_INTERNET_ACCESS);
    std::unique_ptr<CHttpFile> file(session.OpenURL(server.Url("/playlists/main.xml").c_str(), 1, kFlags));
    ASSERT_TRUE(file->SendRequest());
    size_t largest = 0;
    EXPECT_EQ(ReadAll(*file, &largest), body);
    EXPECT_EQ(largest, 4096u);
    DWORD status = 0;
    EXPECT_TRUE(file->QueryInfoStatusCode(status));
    EXPECT_EQ(status, 200u);
    file->Close();

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("GET /playlists/main.xml HTTP/1.1\r\n", 0), 0u) << requests[0];
    EXPECT_NE(requests[0].find("User-Agent: Tallyscope\r\n"), std::string::npos);
    EXPECT_NE(requests[0].find("Cache-Control: no-cache\r\n"), std::string::npos);
    EXPECT_NE(requests[0].find("Pragma: no-cache\r\n"), std::string::npos);
}

TEST(InternetSession, RedirectsAreFollowedUpToFive) {
    HttpServer server({Redirect("/b"), Redirect("/c"), Ok("<done/>")});
    CInternetSession session("Tallyscope");
    std::unique_ptr<CHttpFile> file(session.OpenURL(server.Url("/a").c_str(), 1, kFlags));
    EXPECT_EQ(ReadAll(*file, nullptr), "<done/>");  // Read sends the request itself

    std::deque<std::string> loop;
    for (int i = 0; i < 7; ++i) loop.push_back(Redirect("/again"));
    HttpServer looping(loop);
    std::unique_ptr<CHttpFile> endless(session.OpenURL(looping.Url("/again").c_str(), 1, kFlags));
    try {
        endless->SendRequest();
        ADD_FAILURE() << "an endless redirect was followed";
    } catch (const CInternetException& e) {
        EXPECT_EQ(e.m_dwError, static_cast<DWORD>(ERROR_HTTP_REDIRECT_FAILED));
    }
    EXPECT_EQ(looping.Requests().size(), 6u);
}

TEST(InternetSession, AnHttpErrorStatusIsDeliveredNotThrown) {
    HttpServer server({"HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"});
    CInternetSession session("Tallyscope");
    std::unique_ptr<CHttpFile> file(session.OpenURL(server.Url("/missing.xml").c_str(), 1, kFlags));
    EXPECT_EQ(ReadAll(*file, nullptr), "not found");
    DWORD status = 0;
    file->QueryInfoStatusCode(status);
    EXPECT_EQ(status, 404u);
}

TEST(InternetSession, BadUrlsAndUnreachableServersThrow) {
    CInternetSession session("Tallyscope");
    for (const char* url : {"", "playlist.xml", "http://", "http:///x"}) {
        try {
            delete session.OpenURL(url);
            ADD_FAILURE() << url;
        } catch (const CInternetException& e) {
            EXPECT_EQ(e.m_dwError, static_cast<DWORD>(ERROR_INTERNET_INVALID_URL)) << url;
        }
    }
    try {
        delete session.OpenURL("ftp://127.0.0.1/x.xml");
        ADD_FAILURE();
    } catch (const CInternetException& e) {
        EXPECT_EQ(e.m_dwError, static_cast<DWORD>(ERROR_INTERNET_UNRECOGNIZED_SCHEME));
    }
    // A port nobody listens on: refused.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/x.xml";
    std::unique_ptr<CHttpFile> file(session.OpenURL(url.c_str(), 1, kFlags));
    try {
        file->SendRequest();
        ADD_FAILURE();
    } catch (const CInternetException& e) {
        EXPECT_EQ(e.m_dwError, static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT)) << e.what();
    }
}

TEST(InternetSession, ASilentServerTimesOut) {
    HttpServer server({""});
    CInternetSession session("Tallyscope");
    session.SetTimeouts(1000, 300);
    std::unique_ptr<CHttpFile> file(session.OpenURL(server.Url("/slow.xml").c_str(), 1, kFlags));
    const auto start = std::chrono::steady_clock::now();
    try {
        file->SendRequest();
        ADD_FAILURE();
    } catch (const CInternetException& e) {
        EXPECT_EQ(e.m_dwError, static_cast<DWORD>(ERROR_INTERNET_TIMEOUT)) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}
