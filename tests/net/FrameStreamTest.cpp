// The plain transport's frame reader and writer against real loopback
// peers: frames of every size written in arbitrary pieces, and frames sent
// while a slow reader keeps the window nearly shut. Whatever the reader skips
// (a receive that would only say it would block) or the writer saves (one
// gathered send, no copy), the bytes and their framing must stay the same.
#include "Probes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

using namespace socktest;

namespace {

// Bodies mostly small (the peeked path), some just around the peek limit,
// some large enough to take several receives, and empty ones.
std::vector<std::string> mixedBodies(unsigned seed, int count) {
    std::mt19937 rng(seed);
    std::vector<std::string> bodies;
    for (int i = 0; i < count; ++i) {
        const unsigned kind = rng() % 10;
        size_t size;
        if (kind < 5) {
            size = rng() % 64;
        } else if (kind < 7) {
            size = 500 + rng() % 30;  // straddles the peek limit
        } else if (kind < 9) {
            size = 1000 + rng() % 9000;
        } else {
            size = 60000 + rng() % 150000;
        }
        bodies.push_back(pattern(i, size));
    }
    return bodies;
}

}  // namespace

TEST(FrameStream, FramesWrittenInArbitraryPiecesArriveWholeAndInOrder) {
    // One writer thread cuts the stream anywhere (inside prefixes, at frame
    // boundaries, several frames per write) and pauses now and then, so the
    // reader meets short receives, whole frames peeked together, and events
    // that arrive while it is still reading. A lost read event hangs here.
    for (const unsigned seed : {1u, 2u, 3u}) {
        RunningReactor r;
        Journal j;
        Adopted a(j);
        ASSERT_EQ(0, a.socket->attach(r.get()));
        const std::vector<std::string> bodies = mixedBodies(seed, 400);
        std::string wire;
        size_t delivered = 0;
        for (const std::string& b : bodies) {
            wire += frame(b);
            if (!b.empty()) ++delivered;  // an empty frame is consumed, not delivered
        }
        std::thread writer([&] {
            std::mt19937 rng(seed * 7);
            size_t at = 0;
            while (at < wire.size()) {
                const unsigned kind = rng() % 4;
                const size_t piece = kind == 0 ? 1 + rng() % 3 : kind == 1 ? 1 + rng() % 40 : 1 + rng() % 20000;
                const size_t n = std::min(piece, wire.size() - at);
                if (!sendAll(a.peer, wire.data() + at, n)) {
                    ADD_FAILURE() << "write failed at " << at;
                    return;
                }
                at += n;
                if (rng() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        writer.join();
        ASSERT_TRUE(eventually([&] { return j.messageCount() == delivered; }, 20000))
            << "seed " << seed << ": " << j.messageCount() << " of " << delivered;
        j.with([&] {
            size_t m = 0;
            for (const std::string& b : bodies) {
                if (b.empty()) continue;
                ASSERT_EQ(b, j.messages[m]) << "seed " << seed << " message " << m;
                ++m;
            }
        });
        EXPECT_TRUE(j.callList().empty()) << "no error, no close";
        a.socket->detach();
        delete a.socket;
    }
}

TEST(FrameStream, SmallFramesSentOneAtATimeAreEachServedByTheirOwnEvent) {
    // Ping-pong pattern: each frame alone in the socket, the next written only
    // once the previous arrived. The reader must not wait for more than the
    // frame nor leave one behind.
    RunningReactor r;
    Journal j;
    Adopted a(j);
    ASSERT_EQ(0, a.socket->attach(r.get()));
    for (int i = 0; i < 300; ++i) {
        const std::string body = pattern(i, static_cast<size_t>(1 + i % 600));
        ASSERT_TRUE(sendAll(a.peer, frame(body)));
        ASSERT_TRUE(eventually([&] { return j.messageCount() == static_cast<size_t>(i + 1); })) << "frame " << i;
        j.with([&] { EXPECT_EQ(body, j.messages.back()); });
    }
    a.socket->detach();
    delete a.socket;
}

TEST(FrameStream, SendsUnderASlowReaderGiveExactlyTheFramesInOrder) {
    // A small window and a reader taking a few bytes at a time: sends end
    // inside prefixes and bodies, frames wait in the queue, and two threads
    // send at once. The byte stream must be each thread's frames, whole and
    // in order, nothing else.
    RunningReactor r;
    Journal j;
    Adopted a(j, 4096);
    ASSERT_EQ(0, a.socket->attach(r.get()));
    constexpr int kPerThread = 150;
    std::vector<std::string> bodies[2];
    for (int t = 0; t < 2; ++t) {
        std::mt19937 rng(40 + static_cast<unsigned>(t));
        for (int i = 0; i < kPerThread; ++i) {
            std::string b = pattern(t * 1000 + i, 2 + rng() % (i % 10 == 0 ? 30000 : 700));
            b[0] = static_cast<char>(t);
            b[1] = static_cast<char>(i);
            bodies[t].push_back(b);
        }
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 2; ++t) {
        senders.emplace_back([&, t] {
            for (const std::string& b : bodies[t]) {
                const int result = a.socket->sendMessage(b.data(), static_cast<int>(b.size()));
                if (result != 0 && result != static_cast<int>(b.size()) + 4) ++failures;
                if (a.socket->sendMessage(b.data(), 0) < 0) ++failures;  // an empty frame between
            }
        });
    }
    std::mt19937 rng(9);
    size_t next[2] = {0, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int n = 0; n < 4 * kPerThread && std::chrono::steady_clock::now() < deadline; ++n) {
        char word[4];
        size_t have = 0;
        while (have < 4) {
            const size_t ask = std::min<size_t>(1 + rng() % 3, 4 - have);
            ASSERT_TRUE(recvExact(a.peer, word + have, ask, kWaitMs)) << "prefix of frame " << n;
            have += ask;
        }
        uint32_t length = 0;
        std::memcpy(&length, word, 4);
        length = ntohl(length);
        if (length == 0) continue;
        std::string got(length, '\0');
        size_t at = 0;
        while (at < length) {
            const size_t ask = std::min<size_t>(1 + rng() % 900, length - at);
            ASSERT_TRUE(recvExact(a.peer, got.data() + at, ask, kWaitMs)) << "body of frame " << n;
            at += ask;
            if (rng() % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        const int t = got[0];
        ASSERT_TRUE(t == 0 || t == 1) << "frame " << n << " is torn";
        ASSERT_LT(next[t], bodies[t].size());
        ASSERT_EQ(bodies[t][next[t]], got) << "thread " << t << " frame " << next[t];
        ++next[t];
    }
    for (auto& s : senders) s.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(static_cast<size_t>(kPerThread), next[0]);
    EXPECT_EQ(static_cast<size_t>(kPerThread), next[1]);
    EXPECT_TRUE(eventually([&] { return a.socket->queuedFrames() == 0; }));
    EXPECT_FALSE(readyWithin(a.peer, POLLIN, 20)) << "nothing beyond the frames";
    a.socket->detach();
    delete a.socket;
}
