// Our TLS sockets against peers that are not ours: the openssl command's
// s_server and s_client, and small blocking peers written with plain OpenSSL.

#include "TlsTestUtil.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include "tarn/platform/WinSockErrors.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace tlstest;
using tarn::SSLContext;
using tarn::TarnString;
using tarn::TlsState;

namespace {

const TarnString kNone("");

// Contexts first and the reactor before the sockets, so that the reactor
// stops before a socket is deleted and the contexts outlive them all.
class OutsidePeer : public ::testing::Test {
protected:
    void TearDown() override { reactor.stop(); }

    ClientProbe& connectTo(uint16_t port) {
        client = std::make_unique<ClientProbe>(journal, clientCtx.get());
        EXPECT_EQ(0, client->connect(loopback(port)));
        EXPECT_EQ(0, client->attach(reactor.get()));
        return *client;
    }
    void startServer(bool requireClientCertificate) {
        serverCtx = std::make_unique<SSLContext>(certFile("server.pem"), certFile("server.key"), kNone,
                                                 requireClientCertificate ? certFile("ca.pem") : kNone,
                                                 TarnString("HIGH:!aNULL"), requireClientCertificate);
        server = std::make_unique<OurServer>(reactor.get(), serverCtx.get());
    }
    std::vector<std::string> sClientArgs(std::vector<std::string> extra) {
        std::vector<std::string> args = {"openssl",
                                         "s_client",
                                         "-connect",
                                         "127.0.0.1:" + std::to_string(server->port()),
                                         "-CAfile",
                                         certPath("ca.pem"),
                                         "-verify_return_error"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    std::unique_ptr<SSLContext> clientCtx =
        std::make_unique<SSLContext>(certFile("client.pem"), certFile("client.key"), kPassPhrase, certFile("ca.pem"));
    std::unique_ptr<SSLContext> serverCtx;
    RunningReactor reactor;
    Journal journal;
    std::unique_ptr<ClientProbe> client;
    std::unique_ptr<OurServer> server;
};

}  // namespace

// ---- our client against s_server ----

TEST_F(OutsidePeer, ClientTalksFramesWithOpensslServer) {
    OpensslServer peer;
    ASSERT_NE(0, peer.port());
    auto& c = connectTo(peer.port());
    ASSERT_TRUE(journal.waitFor("handshake@2")) << journal.text() << "\n" << peer.process().output();
    TarnString name;
    ASSERT_TRUE(c.getPeerName(name));
    EXPECT_EQ(TarnString("localhost"), name);

    // Ours to s_server: it prints what it receives.
    const std::string hello = pattern(7, 300);
    EXPECT_EQ(304, c.sendMessage(hello.data(), static_cast<int>(hello.size())));
    EXPECT_TRUE(peer.process().waitForOutput(frame(hello))) << "s_server did not get the frame";

    // s_server to ours: what it reads on its input it sends, in pieces of its
    // own choosing; the frame reader puts the frames together again.
    const std::string small = "Update";
    const std::string large = pattern(9, 40000);
    ASSERT_TRUE(peer.process().write(frame(small) + frame(large) + frame(small)));
    ASSERT_TRUE(journal.waitForMessages(3)) << journal.messageCount();
    const auto got = journal.messages();
    EXPECT_EQ(small, got[0]);
    EXPECT_TRUE(large == got[1]) << "the 40000-byte frame differs";
    EXPECT_EQ(small, got[2]);
}

TEST_F(OutsidePeer, ClientCloseIsAnsweredByOpensslServer) {
    OpensslServer peer;
    ASSERT_NE(0, peer.port());
    auto& c = connectTo(peer.port());
    ASSERT_TRUE(journal.waitFor("handshake@2")) << journal.text();
    const tarn::SocketHandle before = c.getSocket();
    EXPECT_EQ(0, c.shutdownSend());
    // s_server answers our close alert with its own and hangs up.
    ASSERT_TRUE(journal.waitFor("tlsclosed:1")) << journal.text() << "\n" << peer.process().output();
    EXPECT_TRUE(journal.has("closed:1@4")) << journal.text();
    EXPECT_EQ(TlsState::kIdle, c.getTlsState());
    EXPECT_NE(before, c.getSocket());
    EXPECT_TRUE(peer.process().waitForOutput("DONE"));
}

TEST_F(OutsidePeer, OpensslServerVanishingWithoutCloseAlertIsNoCompleteClose) {
    OpensslServer peer;
    ASSERT_NE(0, peer.port());
    connectTo(peer.port());
    ASSERT_TRUE(journal.waitFor("handshake@2")) << journal.text();
    peer.process().kill();
    ASSERT_TRUE(journal.waitFor("tlsclosed:0")) << journal.text();
    EXPECT_FALSE(journal.has("tlsclosed:1"));
    EXPECT_EQ(TlsState::kIdle, client->getTlsState());
}

TEST_F(OutsidePeer, RefusedClientCertificateShowsAfterTheClientHandshake) {
    // s_server demanding a certificate signed by the other CA refuses ours.
    // With TLS 1.3 the client has finished its side by then: the refusal comes
    // as a failed read (-10053, no TLS close) or as a reset.
    OpensslServer peer({"-Verify", "1", "-CAfile", certPath("other-ca.pem"), "-verify_return_error"});
    ASSERT_NE(0, peer.port());
    connectTo(peer.port());
    ASSERT_TRUE(journal.waitFor("tlsclosed:0")) << journal.text() << "\n" << peer.process().output();
    const auto entries = journal.entries();
    ASSERT_GE(entries.size(), 3u);
    EXPECT_EQ("handshake@2", entries[0]);
    EXPECT_TRUE(entries[1] == "error:-10053@2" || entries[1] == "closed:0@2") << journal.text();
    EXPECT_EQ(0u, journal.messageCount());
    EXPECT_TRUE(peer.process().waitForOutput("verify error")) << peer.process().output();
}

// ---- our client against a plain OpenSSL server ----

TEST_F(OutsidePeer, ServerCloseIsReadAsZeroAndCompletedByTheClient) {
    // The server sends three frames in one record, then its close alert, and
    // waits for ours before it hangs up.
    std::atomic<int> answer{-99};
    auto peer = PlainTlsPeer::server("server.pem", "server.key", [&](SSL* ssl) {
        ASSERT_TRUE(writeAll(ssl, frame("one") + frame("two") + frame(pattern(3, 5000))));
        const int first = SSL_shutdown(ssl);  // 0: sent, the peer's not yet in
        ASSERT_EQ(0, first);
        char sink[16];
        const int r = SSL_read(ssl, sink, sizeof sink);
        answer.store(r == 0 && SSL_get_error(ssl, r) == SSL_ERROR_ZERO_RETURN ? 1 : 0);
    });
    connectTo(peer->port());
    ASSERT_TRUE(journal.waitForMessages(3)) << journal.text();
    EXPECT_EQ("one", journal.messages()[0]);
    EXPECT_EQ("two", journal.messages()[1]);
    EXPECT_EQ(pattern(3, 5000), journal.messages()[2]);
    ASSERT_TRUE(peer->waitDone());
    EXPECT_EQ(1, answer.load()) << "the client answered the close alert";
    // Both closes exchanged, then the transport closed: onTlsClosed(true).
    ASSERT_TRUE(journal.waitFor("tlsclosed:1")) << journal.text();
    EXPECT_TRUE(journal.has("closed:1@4")) << journal.text();
}

TEST_F(OutsidePeer, DamagedRecordIsMinus10053AfterTheFramesBeforeIt) {
    // A good frame, then a record whose contents fail to authenticate.
    auto peer = PlainTlsPeer::server("server.pem", "server.key", [&](SSL* ssl) {
        ASSERT_TRUE(writeAll(ssl, frame("intact")));
        const std::string forged = std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, '\x5a');
        const int fd = SSL_get_fd(ssl);
        ASSERT_EQ(static_cast<ssize_t>(forged.size()), ::send(fd, forged.data(), forged.size(), MSG_NOSIGNAL));
        char sink[16];
        ::recv(fd, sink, sizeof sink, 0);  // until the client hangs up (or the time-out)
    });
    connectTo(peer->port());
    ASSERT_TRUE(journal.waitFor("tlsclosed:0")) << journal.text();
    ASSERT_EQ(1u, journal.messageCount());
    EXPECT_EQ("intact", journal.messages()[0]);
    EXPECT_TRUE(journal.has("error:-10053@2")) << journal.text();
    EXPECT_FALSE(journal.has("closed:1@2")) << "the client closed, not the peer: " << journal.text();
}

TEST_F(OutsidePeer, FramesWaitingInsideTlsAreServedWithinTheSameEvent) {
    // A burst of small frames in few records: each read event must go on until
    // the TLS layer has nothing left, or the last frames would never come.
    std::string burst;
    for (int i = 0; i < 500; ++i) burst += frame("frame " + std::to_string(i));
    std::atomic<bool> stop{false};
    auto peer = PlainTlsPeer::server("server.pem", "server.key", [&](SSL* ssl) {
        ASSERT_TRUE(writeAll(ssl, burst));
        eventually([&] { return stop.load(); });  // keep the connection open, send nothing more
    });
    connectTo(peer->port());
    ASSERT_TRUE(journal.waitForMessages(500)) << journal.messageCount();
    EXPECT_EQ("frame 499", journal.messages()[499]);
    stop.store(true);
}

// ---- our server against s_client and a plain OpenSSL client ----

TEST_F(OutsidePeer, ServerTalksFramesWithOpensslClient) {
    startServer(false);
    Process sClient(sClientArgs({}));
    ASSERT_TRUE(server->waitForAccepted(1));
    ASSERT_TRUE(server->journal(0).waitFor("handshake@2")) << server->journal(0).text() << sClient.output();
    const std::string in = pattern(5, 2000);
    ASSERT_TRUE(sClient.write(frame(in)));
    ASSERT_TRUE(server->journal(0).waitForMessages(1));
    EXPECT_TRUE(in == server->journal(0).messages()[0]);

    const std::string out = pattern(6, 3000);
    EXPECT_EQ(3004, server->socket(0)->sendMessage(out.data(), static_cast<int>(out.size())));
    EXPECT_TRUE(sClient.waitForOutput(frame(out))) << "s_client did not get the frame";
    TarnString name;
    EXPECT_FALSE(server->socket(0)->getPeerName(name)) << "no client certificate was asked for";
}

TEST_F(OutsidePeer, ServerRequiringCertificateAcceptsOpensslClientWithOne) {
    startServer(true);
    Process sClient(sClientArgs({"-cert", certPath("client.pem"), "-key", certPath("client.key"), "-pass",
                                 std::string("pass:") + kPassPhrase}));
    ASSERT_TRUE(server->waitForAccepted(1));
    ASSERT_TRUE(server->journal(0).waitFor("handshake@2")) << server->journal(0).text() << sClient.output();
    TarnString name;
    ASSERT_TRUE(server->socket(0)->getPeerName(name));
    EXPECT_EQ(TarnString("Tallyscope Viewer"), name);
    ASSERT_TRUE(sClient.write(frame("StudioConnected")));
    ASSERT_TRUE(server->journal(0).waitForMessages(1));
    EXPECT_EQ("StudioConnected", server->journal(0).messages()[0]);
}

TEST_F(OutsidePeer, ServerRequiringCertificateRefusesOpensslClientWithoutOne) {
    startServer(true);
    Process sClient(sClientArgs({}));
    ASSERT_TRUE(server->waitForAccepted(1));
    ASSERT_TRUE(server->journal(0).waitFor("destroyed")) << server->journal(0).text() << sClient.output();
    EXPECT_EQ("error:-25@1", server->journal(0).entries().at(0)) << server->journal(0).text();
    EXPECT_FALSE(server->journal(0).has("handshake@2"));
    EXPECT_TRUE(sClient.waitForOutput("alert")) << sClient.output();
}

TEST_F(OutsidePeer, ServerTakesInTheFirstFrameThatFollowsTheHandshake) {
    // A plain client whose first record follows its Finished at once.
    startServer(false);
    auto peer = PlainTlsPeer::client(server->port(), [](SSL* ssl) {
        ASSERT_TRUE(writeAll(ssl, frame("right after")));
        std::string reply;
        ASSERT_TRUE(readFrame(ssl, reply));
        EXPECT_EQ("reply", reply);
    });
    ASSERT_TRUE(server->waitForAccepted(1));
    ASSERT_TRUE(server->journal(0).waitForMessages(1)) << server->journal(0).text();
    EXPECT_EQ("right after", server->journal(0).messages()[0]);
    EXPECT_EQ(9, server->socket(0)->sendMessage("reply", 5));
    EXPECT_TRUE(peer->waitDone());
    EXPECT_TRUE(peer->handshakeOk());
}

TEST_F(OutsidePeer, SendToAResetPeerFailsWithoutSigpipe) {
    // The socket is driven by hand on this thread (no reactor), so the sends
    // below surely reach a connection the peer has reset.
    // The peer resets only once the client has seen its handshake through:
    // a reset that overtakes the client's first read after the handshake
    // would end the connection before the sends below.
    std::atomic<bool> clientEstablished{false};
    auto peer = PlainTlsPeer::server("server.pem", "server.key", [&clientEstablished](SSL* ssl) {
        for (int i = 0; i < 500 && !clientEstablished.load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const linger reset{1, 0};
        ::setsockopt(SSL_get_fd(ssl), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    });
    ClientProbe c(journal, clientCtx.get());
    ASSERT_EQ(0, c.connect(loopback(peer->port())));
    pollfd p{c.getSocket(), POLLOUT, 0};
    ASSERT_EQ(1, ::poll(&p, 1, kWaitMs));
    c.onConnected();
    for (int i = 0; i < 50 && c.getTlsState() == TlsState::kHandshaking; ++i) {
        pollfd in{c.getSocket(), POLLIN, 0};
        if (::poll(&in, 1, 200) == 1) c.onReadable();
    }
    ASSERT_EQ(TlsState::kEstablished, c.getTlsState()) << journal.text();
    clientEstablished.store(true);
    ASSERT_TRUE(peer->waitDone());
    pollfd hup{c.getSocket(), POLLIN, 0};
    ASSERT_EQ(1, ::poll(&hup, 1, kWaitMs)) << "the reset arrived";

    struct sigaction deflt {};
    struct sigaction saved {};
    deflt.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &deflt, &saved);  // a SIGPIPE now would end the test program
    int failures = 0;
    for (int i = 0; i < 3; ++i) {
        const int r = c.sendMessage("after the reset", 15);
        if (r < 0) ++failures;
        EXPECT_TRUE(r == -tarn::platform::WSAECONNRESET || r == -tarn::platform::WSAECONNABORTED || r >= 0) << r;
    }
    ::sigaction(SIGPIPE, &saved, nullptr);
    EXPECT_GT(failures, 0);
}
