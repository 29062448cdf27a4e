// Helpers every test tree of the library shares: a bounded wait, the loopback
// address, and a journal of what callbacks on other threads saw.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

/// Polls `done` every millisecond until it holds or `ms` pass; false on the
/// time-out.
template <typename Pred>
bool eventually(Pred done, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

/// 127.0.0.1:port (0 for an ephemeral port).
inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

/// Lines written by any thread, read by the test; each call takes the lock.
class Journal {
public:
    void add(const std::string& line) {
        std::lock_guard<std::mutex> g(m_);
        lines_.push_back(line);
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }
    bool has(const std::string& line) {
        std::lock_guard<std::mutex> g(m_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    size_t size() {
        std::lock_guard<std::mutex> g(m_);
        return lines_.size();
    }

private:
    std::mutex m_;
    std::vector<std::string> lines_;
};

}  // namespace testsupport
