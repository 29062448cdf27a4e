#include "external/EventLog.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct Captured {
    std::mutex lock;
    std::vector<std::pair<int, std::string>> entries;  // guarded by lock
};

void Capture(void* context, int priority, const char* text) {
    auto* captured = static_cast<Captured*>(context);
    std::lock_guard<std::mutex> hold(captured->lock);
    captured->entries.emplace_back(priority, text);
}

// Routes the log into a Captured for the length of one test.
class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override { SetTarnEventLogSink(&Capture, &captured_); }
    void TearDown() override { SetTarnEventLogSink(nullptr, nullptr); }
    Captured captured_;
};

}  // namespace

TEST_F(EventLogTest, EntryCarriesTheIdInHexAndTheFormattedText) {
    TarnEventLog(0x0E000000, "connected to %s:%d", "127.0.0.1", 4433);
    TarnEventLog(0xCE000D01, "%s", "");
    ASSERT_EQ(2u, captured_.entries.size());
    EXPECT_EQ("0x0E000000: connected to 127.0.0.1:4433", captured_.entries[0].second);
    EXPECT_EQ("0xCE000D01", captured_.entries[1].second);
}

TEST_F(EventLogTest, SeverityComesFromTheTopTwoBitsOfThe32BitId) {
    TarnEventLog(0x0E000000, "a");
    TarnEventLog(0x4E000001, "b");
    TarnEventLog(0x8E000002, "c");
    TarnEventLog(0xCE000D01, "d");
    // The same error id arriving sign-extended through a 32-bit int.
    TarnEventLog(static_cast<long>(static_cast<int32_t>(0xCE000D01u)), "e");
    ASSERT_EQ(5u, captured_.entries.size());
    EXPECT_EQ(LOG_INFO, captured_.entries[0].first);
    EXPECT_EQ(LOG_NOTICE, captured_.entries[1].first);
    EXPECT_EQ(LOG_WARNING, captured_.entries[2].first);
    EXPECT_EQ(LOG_ERR, captured_.entries[3].first);
    EXPECT_EQ(LOG_ERR, captured_.entries[4].first);
    EXPECT_EQ("0xCE000D01: e", captured_.entries[4].second);
    // Bits above 31 of a 64-bit long are not part of the id.
    EXPECT_EQ(LOG_INFO, TarnEventLogPriority(static_cast<long>(0x7FFFFFFF00000000LL)));
    EXPECT_EQ(LOG_NOTICE, TarnEventLogPriority(0x7FFFFFFF));
}

TEST_F(EventLogTest, ArgumentTextIsNeverInterpretedAsAFormat) {
    TarnEventLog(0x0E000000, "%s", "100%s %n done");
    const std::string longText(6000, 'L');
    TarnEventLog(0x0E000000, "%s", longText.c_str());
    ASSERT_EQ(2u, captured_.entries.size());
    EXPECT_EQ("0x0E000000: 100%s %n done", captured_.entries[0].second);
    EXPECT_EQ("0x0E000000: " + longText, captured_.entries[1].second);
}

TEST_F(EventLogTest, SinkCanBeReplacedAndRestored) {
    Captured other;
    EXPECT_EQ(&Capture, SetTarnEventLogSink(&Capture, &other));
    TarnEventLog(0x0E000000, "to other");
    EXPECT_EQ(&Capture, SetTarnEventLogSink(&Capture, &captured_));
    TarnEventLog(0x0E000000, "back");
    ASSERT_EQ(1u, other.entries.size());
    EXPECT_EQ("0x0E000000: to other", other.entries[0].second);
    ASSERT_EQ(1u, captured_.entries.size());
    EXPECT_EQ("0x0E000000: back", captured_.entries[0].second);
}

TEST_F(EventLogTest, ThreadsLogConcurrentlyWithoutLosingEntries) {
    constexpr int kPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i) TarnEventLog(0x0E000000, "thread %d entry %d", t, i);
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::lock_guard<std::mutex> hold(captured_.lock);
    ASSERT_EQ(4u * kPerThread, captured_.entries.size());
    int fromThreeLast = 0;
    for (const auto& entry : captured_.entries)
        if (entry.second == "0x0E000000: thread 3 entry 199") ++fromThreeLast;
    EXPECT_EQ(1, fromThreeLast);
}
