// The aggregation server's side misbehaving: a peer that never speaks, one
// that closes right after the handshake, frames over the limit, and a flood
// of "Update"s. The viewer gives up on a bad peer, reaches a good server
// afterwards, and leaves nothing behind.
#include <openssl/ssl.h>

#include <QTimer>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <thread>

#include "LinkFaults.h"

using faults::LinkFaultTest;
using faults::SilentPeer;
using tlstest::PlainTlsPeer;

namespace {

const std::vector<std::string> kRows{"EV1", "EV2"};

// A 4-byte big-endian length prefix.
std::string Prefix(uint32_t length) {
    const char bytes[4] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                           static_cast<char>(length >> 8), static_cast<char>(length)};
    return std::string(bytes, 4);
}

}  // namespace

TEST_F(LinkFaultTest, APeerSilentAfterAcceptEndsTheOpenAtItsWaitAndAGoodServerIsReachedAfterwards) {
    ASSERT_TRUE(StartSim()) << sim_.output() << sim_.stderrText();
    const faults::Usage before = faults::TakeBaseline(*app_, http_.Url("/main.xml"));
    {
        SilentPeer silent;
        PointAt(silent.port());
        manager_->GetSettings().firstMessageWaitMs = 1000;
        ASSERT_TRUE(Open());
        EXPECT_EQ(boxes_, std::vector<std::string>{"Failed to connect to aggr server"});
        EXPECT_EQ(std::string(manager_->LastFailure()), "no studio list within 1 s");
        EXPECT_EQ(manager_->SessionUp(), 0);
        EXPECT_TRUE(faults::PostedCallRuns());
    }
    PointAt(sim_.tlsPort());
    manager_->GetSettings().firstMessageWaitMs = 20000;
    ASSERT_TRUE(Open());
    EXPECT_EQ(manager_->SessionUp(), 1);
    EXPECT_TRUE(manager_->LinkUp());
    EXPECT_EQ(boxes_.size(), 1u);
    ExpectIdleThenNothingLeft(before);
}

TEST_F(LinkFaultTest, APeerClosingRightAfterTheHandshakeEndsTheOpenAtOnce) {
    ASSERT_TRUE(StartSim()) << sim_.output() << sim_.stderrText();
    const faults::Usage before = faults::TakeBaseline(*app_, http_.Url("/main.xml"));
    {
        std::atomic<bool> handshook{false};
        auto peer = PlainTlsPeer::server("server.pem", "server.key", [&](SSL*) { handshook = true; });
        PointAt(peer->port());
        // Longer than the case may take: the Open must end on the close.
        manager_->GetSettings().firstMessageWaitMs = 10000;
        ASSERT_TRUE(Open());
        EXPECT_TRUE(handshook);
        EXPECT_EQ(boxes_, std::vector<std::string>{"Failed to connect to aggr server"});
        EXPECT_NE(std::string(manager_->LastFailure()).rfind("no studio list", 0), 0u)
            << manager_->LastFailure().GetString();
        EXPECT_FALSE(manager_->LastFailure().IsEmpty());
        EXPECT_EQ(manager_->SessionUp(), 0);
        EXPECT_TRUE(peer->waitDone());
    }
    PointAt(sim_.tlsPort());
    ASSERT_TRUE(Open());
    EXPECT_TRUE(manager_->LinkUp());
    ExpectIdleThenNothingLeft(before);
}

namespace {

// A session peer that sends the studio list, takes the studio id, then on
// `go` writes `bad` and reads until the viewer closes.
struct BadFramePeer {
    explicit BadFramePeer(std::string list, std::string badBytes)
        : studioList(std::move(list)), bad(std::move(badBytes)) {
        peer = PlainTlsPeer::server("server.pem", "server.key", [this](SSL* ssl) {
            if (!tlstest::writeAll(ssl, tlstest::frame(studioList))) return;
            std::string id;
            if (!tlstest::readFrame(ssl, id)) return;
            studioId = id;
            gotId = true;
            for (int i = 0; i < 2000 && !go; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!go) return;
            tlstest::writeAll(ssl, bad);  // fails when the viewer closes first
            char buffer[4096];
            while (SSL_read(ssl, buffer, sizeof buffer) > 0) {
            }
            viewerClosed = true;
        });
    }
    std::string studioList;
    std::string bad;
    std::string studioId;  // written before gotId is set
    std::atomic<bool> gotId{false};
    std::atomic<bool> go{false};
    std::atomic<bool> viewerClosed{false};
    std::unique_ptr<PlainTlsPeer> peer;
};

}  // namespace

class OversizedFrameTest : public LinkFaultTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(OversizedFrameTest, ALengthOverTheLimitEndsTheLinkAndTheViewerReconnects) {
    const uint32_t length = GetParam();
    ASSERT_TRUE(StartSim()) << sim_.output() << sim_.stderrText();
    const faults::Usage before = faults::TakeBaseline(*app_, http_.Url("/main.xml"));
    // The whole frame follows the prefix when it is one a sender could
    // write; a bare prefix otherwise.
    std::string bad = Prefix(length);
    if (length <= 17u * 1024 * 1024) bad += std::string(length, 'x');
    BadFramePeer peer(StudioList(), std::move(bad));
    PointAt(peer.peer->port());
    ASSERT_TRUE(Open());
    ASSERT_TRUE(manager_->LinkUp());
    ASSERT_TRUE(Until([&] { return peer.gotId.load(); }));
    EXPECT_EQ(peer.studioId, "STA-01");
    ASSERT_EQ(MainRows(), kRows);
    const int reconnects = manager_->ReconnectAttempts();
    // The next connection goes to the simulator.
    PointAt(sim_.tlsPort());
    const size_t mark = sim_.lineCount();
    peer.go = true;
    EXPECT_TRUE(SeenDown());
    EXPECT_EQ(std::string(manager_->LastFailure()), "socket error 10040");
    EXPECT_TRUE(Until([&] { return peer.viewerClosed.load(); }));
    EXPECT_TRUE(SimGotId(mark)) << sim_.output();
    EXPECT_TRUE(Until([&] { return manager_->LinkUp(); }));
    EXPECT_GT(manager_->ReconnectAttempts(), reconnects);
    EXPECT_TRUE(apptest::WaitForFetches(*app_));
    EXPECT_EQ(MainRows(), kRows);
    peer.peer.reset();
    ExpectIdleThenNothingLeft(before);
}

// One byte over 16 MiB, and a prefix of 0xFFFFFFFF (the top bit set).
INSTANTIATE_TEST_SUITE_P(Lengths, OversizedFrameTest, ::testing::Values(16u * 1024 * 1024 + 1, 0xFFFFFFFFu));

TEST_F(LinkFaultTest, AFrameOfExactlyTheLimitIsTakenAndTheLinkStaysUp) {
    ASSERT_TRUE(StartSim()) << sim_.output() << sim_.stderrText();
    const faults::Usage before = faults::TakeBaseline(*app_, http_.Url("/main.xml"));
    // A 16 MiB frame that is no keyword, then an "Update".
    BadFramePeer peer(StudioList(), tlstest::frame(std::string(16u * 1024 * 1024, 'y')) + tlstest::frame("Update"));
    PointAt(peer.peer->port());
    ASSERT_TRUE(Open());
    ASSERT_TRUE(Until([&] { return peer.gotId.load(); }));
    const int refreshes = manager_->Refreshes();
    const int requests = http_.RequestsFor("/main.xml");
    peer.go = true;
    EXPECT_TRUE(Until([&] { return manager_->Refreshes() > refreshes; }));
    EXPECT_TRUE(apptest::WaitForFetches(*app_));
    EXPECT_GT(http_.RequestsFor("/main.xml"), requests);
    EXPECT_TRUE(manager_->LinkUp());
    EXPECT_EQ(MainRows(), kRows);
    EXPECT_FALSE(peer.viewerClosed);
    // The viewer ends it (the peer's read returns), and nothing is left.
    EXPECT_TRUE(faults::PostedCallRuns());
    EndSessionAsAtExit();
    EXPECT_TRUE(Until([&] { return peer.viewerClosed.load(); }));
    peer.peer.reset();
    EXPECT_TRUE(faults::BackTo(before)) << faults::Against(before);
}

TEST_F(LinkFaultTest, AThousandUpdatesASecondForTenSecondsAreCoalesced) {
    ASSERT_TRUE(StartSim()) << sim_.output() << sim_.stderrText();
    PointAt(sim_.tlsPort());
    const faults::Usage before = faults::TakeBaseline(*app_, http_.Url("/main.xml"));
    ASSERT_TRUE(Open());
    ASSERT_TRUE(manager_->LinkUp());
    ASSERT_EQ(e2e::Documents(*app_).size(), 2u);
    const faults::Usage connected = faults::TakeUsage();
    const int reconnects = manager_->ReconnectAttempts();
    const int refreshes = manager_->Refreshes();
    const size_t mark = sim_.lineCount();
    // Fetches running at once, looked at every millisecond of the flood.
    int mostRunning = 0;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout,
                     [&] { mostRunning = std::max(mostRunning, app_->GetHttpFetcher().Running()); });
    sampler.start(1);
    constexpr int kSeconds = 10;
    constexpr int kPerSecond = 1000;
    for (int i = 0; i < kSeconds; ++i) {
        ASSERT_TRUE(sim_.send("repeat " + std::to_string(kPerSecond) + " update STA-01"));
        guitest::RunLoopFor(1000);
    }
    ASSERT_TRUE(sim_.waitForCount("notify Update studio=\"STA-01\" sessions=1", kSeconds * kPerSecond, 30000, mark))
        << sim_.countLines("notify Update", mark);
    EXPECT_TRUE(apptest::WaitForFetches(*app_));
    // Let the last wake-ups arrive, then everything has settled.
    guitest::RunLoopFor(200);
    EXPECT_TRUE(apptest::WaitForFetches(*app_));
    sampler.stop();
    const size_t gets = sim_.countLines("http method=\"GET\"", mark);
    // Updates were acted on: once per look at the socket, not once per
    // Update, and never more than one fetch per window at a time.
    RecordProperty("refreshes", manager_->Refreshes() - refreshes);
    RecordProperty("fetches", static_cast<int>(gets));
    RecordProperty("most_running", mostRunning);
    EXPECT_GT(manager_->Refreshes(), refreshes);
    EXPECT_LT(manager_->Refreshes() - refreshes, kSeconds * kPerSecond);
    EXPECT_LE(mostRunning, 2);
    EXPECT_GE(gets, 2u);
    EXPECT_LT(gets, static_cast<size_t>(kSeconds * kPerSecond)) << gets;
    EXPECT_TRUE(manager_->LinkUp());
    EXPECT_EQ(manager_->ReconnectAttempts(), reconnects);
    for (CTallyscopeDoc* doc : e2e::Documents(*app_)) {
        EXPECT_TRUE(doc->FetchError().IsEmpty()) << doc->FetchError().GetString();
        EXPECT_GT(apptest::FirstView(doc)->m_list.GetItemCount(), 0);
    }
    EXPECT_TRUE(faults::BackTo(connected)) << faults::Against(connected);
    ExpectIdleThenNothingLeft(before);
}
