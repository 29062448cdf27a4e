#include "tarn/BaseSocket.h"

#include <atomic>
#include <mutex>

namespace tarn {

namespace {

std::mutex gLifeLock;       // orders the hooks against each other
std::atomic<int> gLive{0};  // changed under gLifeLock, read without it
std::atomic<int> gStartups{0};
std::atomic<int> gCleanups{0};

// Where WinSock 2.2 would be started (WSAStartup(0x0202)). Nothing to do on
// Linux; the run is counted so that the life cycle stays observable.
void platformStartup() { gStartups.fetch_add(1, std::memory_order_relaxed); }

// Where WSACleanup would run.
void platformCleanup() { gCleanups.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

BaseSocket::BaseSocket() {
    std::lock_guard<std::mutex> lock(gLifeLock);
    if (gLive.load(std::memory_order_relaxed) == 0) platformStartup();
    gLive.fetch_add(1, std::memory_order_relaxed);
}

BaseSocket::~BaseSocket() {
    std::lock_guard<std::mutex> lock(gLifeLock);
    if (gLive.fetch_sub(1, std::memory_order_relaxed) == 1) platformCleanup();
}

int BaseSocket::liveCount() { return gLive.load(std::memory_order_relaxed); }
int BaseSocket::startupCount() { return gStartups.load(std::memory_order_relaxed); }
int BaseSocket::cleanupCount() { return gCleanups.load(std::memory_order_relaxed); }

}  // namespace tarn
