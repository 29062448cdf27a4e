#include "tarn/BaseSocket.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

using tarn::BaseSocket;
using tarn::SocketHandle;
namespace platform = tarn::platform;

namespace {

// The smallest real socket: owns one handle, handles nothing.
class PlainSocket : public BaseSocket {
public:
    PlainSocket() : handle_(platform::netSocket()) {}
    ~PlainSocket() override { platform::netClose(handle_); }
    SocketHandle getSocket() const override { return handle_; }
    int handleEvents() override { return 0; }
    void onReactorStop() override {}

private:
    SocketHandle handle_;
};

}  // namespace

TEST(BaseSocket, StartsUpWithTheFirstAndCleansUpWithTheLast) {
    ASSERT_EQ(0, BaseSocket::liveCount());
    const int startups = BaseSocket::startupCount();
    const int cleanups = BaseSocket::cleanupCount();

    auto a = std::make_unique<PlainSocket>();
    auto b = std::make_unique<PlainSocket>();
    EXPECT_GE(a->getSocket(), 0);
    EXPECT_EQ(2, BaseSocket::liveCount());
    EXPECT_EQ(startups + 1, BaseSocket::startupCount());
    a.reset();
    EXPECT_EQ(cleanups, BaseSocket::cleanupCount()) << "one is still alive";
    b.reset();
    EXPECT_EQ(0, BaseSocket::liveCount());
    EXPECT_EQ(cleanups + 1, BaseSocket::cleanupCount());

    PlainSocket c;
    EXPECT_EQ(1, BaseSocket::liveCount());
    EXPECT_EQ(startups + 2, BaseSocket::startupCount()) << "started again after the clean-up";
    EXPECT_EQ(cleanups + 1, BaseSocket::cleanupCount());
}

TEST(BaseSocket, CountStaysExactAcrossThreads) {
    ASSERT_EQ(0, BaseSocket::liveCount());
    const int startups = BaseSocket::startupCount();
    const int cleanups = BaseSocket::cleanupCount();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 300; ++i) {
                PlainSocket s;
                if (BaseSocket::liveCount() < 1) ADD_FAILURE() << "a live socket is not counted";
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, BaseSocket::liveCount());
    // Every start-up was matched by one clean-up, none ran twice in a row.
    EXPECT_EQ(BaseSocket::startupCount() - startups, BaseSocket::cleanupCount() - cleanups);
    EXPECT_GE(BaseSocket::startupCount() - startups, 1);
}
