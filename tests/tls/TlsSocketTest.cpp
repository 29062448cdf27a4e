// Our TLS client against our TLS server, on one reactor, over loopback.

#include "TlsTestUtil.h"

#include "tarn/platform/NetEvents.h"
#include "tarn/platform/WinSockErrors.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
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

std::unique_ptr<SSLContext> serverContext(const char* cert = "server.pem", const char* key = "server.key",
                                          bool requireClientCertificate = false) {
    return std::make_unique<SSLContext>(certFile(cert), certFile(key), kNone,
                                        requireClientCertificate ? certFile("ca.pem") : kNone,
                                        TarnString("HIGH:!aNULL"), requireClientCertificate);
}

std::unique_ptr<SSLContext> clientContext(const TarnString& ca) {
    return std::make_unique<SSLContext>(certFile("client.pem"), certFile("client.key"), kPassPhrase, ca);
}

// Contexts, a running reactor, our server and our client; the reactor stops
// before any socket is deleted, and the contexts go last.
class TlsLink : public ::testing::Test {
protected:
    void TearDown() override { reactor.stop(); }

    void startServer(std::unique_ptr<SSLContext> context) {
        serverCtx = std::move(context);
        server = std::make_unique<OurServer>(reactor.get(), serverCtx.get());
    }
    // Connects a new client (replacing any earlier one, which must be idle).
    ClientProbe& connectClient(SSLContext* context, uint16_t port,
                               std::function<void(ClientProbe&)> onHandshake = nullptr) {
        client = std::make_unique<ClientProbe>(clientJournal, context);
        client->onHandshake = std::move(onHandshake);
        EXPECT_EQ(0, client->connect(loopback(port)));
        EXPECT_EQ(0, client->attach(reactor.get()));
        return *client;
    }
    // Both ends report the handshake done.
    bool linkUp() {
        return clientJournal.waitFor("handshake@2") && server->waitForAccepted(1) &&
               server->journal(0).waitFor("handshake@2");
    }

    // A context that lives as long as the fixture.
    SSLContext* keep(std::unique_ptr<SSLContext> context) {
        contexts.push_back(std::move(context));
        return contexts.back().get();
    }

    std::unique_ptr<SSLContext> serverCtx;
    std::unique_ptr<SSLContext> clientCtx = clientContext(certFile("ca.pem"));
    std::vector<std::unique_ptr<SSLContext>> contexts;
    RunningReactor reactor;
    Journal clientJournal;
    Journal otherJournal;
    std::unique_ptr<OurServer> server;
    std::unique_ptr<ClientProbe> client;
    std::unique_ptr<ClientProbe> other;
};

}  // namespace

TEST_F(TlsLink, FramesOf1ByteTo1MiBTravelBothWays) {
    startServer(serverContext());
    connectClient(clientCtx.get(), server->port());
    ASSERT_TRUE(linkUp()) << clientJournal.text();
    EXPECT_EQ(TlsState::kEstablished, client->getTlsState());
    EXPECT_TRUE(server->socket(0)->isHandshakeDone());

    const std::vector<size_t> sizes = {1, 2, 3, 4, 5, 100, 16383, 16384, 16385, 65536, 100000, 1 << 20};
    std::vector<std::string> bodies;
    for (size_t i = 0; i < sizes.size(); ++i) bodies.push_back(pattern(static_cast<int>(i) + 1, sizes[i]));

    // Sent from this thread: the sockets carry each send to the reactor thread.
    for (const auto& b : bodies) {
        const int r = client->sendMessage(b.data(), static_cast<int>(b.size()));
        EXPECT_TRUE(r == static_cast<int>(b.size()) + 4 || r == 0) << "size " << b.size() << ": " << r;
    }
    for (const auto& b : bodies) {
        const int r = server->socket(0)->sendMessage(b.data(), static_cast<int>(b.size()));
        EXPECT_TRUE(r == static_cast<int>(b.size()) + 4 || r == 0) << "size " << b.size() << ": " << r;
    }
    ASSERT_TRUE(server->journal(0).waitForMessages(bodies.size())) << server->journal(0).messageCount();
    ASSERT_TRUE(clientJournal.waitForMessages(bodies.size())) << clientJournal.messageCount();
    const auto atServer = server->journal(0).messages();
    const auto atClient = clientJournal.messages();
    for (size_t i = 0; i < bodies.size(); ++i) {
        EXPECT_TRUE(atServer[i] == bodies[i]) << "client to server, frame " << i << " (" << sizes[i] << " bytes)";
        EXPECT_TRUE(atClient[i] == bodies[i]) << "server to client, frame " << i << " (" << sizes[i] << " bytes)";
    }
    EXPECT_EQ(bodies.size(), server->journal(0).messageCount()) << "nothing more arrived";
    EXPECT_EQ(0, client->offThreadCalls()) << "every TLS call ran on the reactor thread";
    EXPECT_EQ(0, server->socket(0)->offThreadCalls()) << "every TLS call ran on the reactor thread";
    EXPECT_TRUE(eventually([&] { return client->queuedFrames() == 0 && !client->isWriteBlocked(); }));
}

TEST_F(TlsLink, ManyFramesFromTwoThreadsArriveWholeAndInOrderPerThread) {
    startServer(serverContext());
    connectClient(clientCtx.get(), server->port());
    ASSERT_TRUE(linkUp()) << clientJournal.text();

    constexpr int kPerThread = 200;
    std::atomic<int> failures{0};
    auto sender = [&](int id) {
        for (int seq = 0; seq < kPerThread; ++seq) {
            std::string body = pattern(id * 1000 + seq, 2 + static_cast<size_t>((seq * 7919) % 30000));
            body[0] = static_cast<char>(id);
            body[1] = static_cast<char>(seq & 0xFF);
            if (client->sendMessage(body.data(), static_cast<int>(body.size())) < 0) ++failures;
        }
    };
    std::thread a(sender, 1);
    std::thread b(sender, 2);
    a.join();
    b.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, client->offThreadCalls()) << "sends from other threads were carried to the reactor thread";
    ASSERT_TRUE(server->journal(0).waitForMessages(2 * kPerThread)) << server->journal(0).messageCount();
    std::map<int, int> next{{1, 0}, {2, 0}};
    for (const auto& m : server->journal(0).messages()) {
        ASSERT_GE(m.size(), 2u);
        const int id = m[0];
        ASSERT_TRUE(id == 1 || id == 2) << "a torn frame";
        const int seq = next[id]++;
        std::string expected = pattern(id * 1000 + seq, 2 + static_cast<size_t>((seq * 7919) % 30000));
        expected[0] = static_cast<char>(id);
        expected[1] = static_cast<char>(seq & 0xFF);
        ASSERT_TRUE(m == expected) << "thread " << id << " frame " << seq;
    }
}

TEST_F(TlsLink, FrameSentAsTheHandshakeEndsIsServedWithoutAnotherEvent) {
    // The client's first frame follows its last handshake flight at once; the
    // server must take it in with the handshake's read event.
    startServer(serverContext());
    connectClient(clientCtx.get(), server->port(), [](ClientProbe& p) {
        const std::string hello = "first words";
        EXPECT_EQ(static_cast<int>(hello.size()) + 4, p.sendMessage(hello.data(), static_cast<int>(hello.size())));
    });
    ASSERT_TRUE(server->waitForAccepted(1));
    ASSERT_TRUE(server->journal(0).waitForMessages(1)) << server->journal(0).text();
    EXPECT_EQ("first words", server->journal(0).messages()[0]);
}

TEST_F(TlsLink, ServerFromAnotherCaIsRefusedWithMinus25AndNoHandshake) {
    startServer(serverContext("other-server.pem", "other-server.key"));
    connectClient(clientCtx.get(), server->port());
    ASSERT_TRUE(clientJournal.waitFor("tlsclosed:0")) << clientJournal.text();
    const auto entries = clientJournal.entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ("error:-25@1", entries[0]) << "refused while still handshaking: " << clientJournal.text();
    EXPECT_FALSE(clientJournal.has("handshake@2"));
    EXPECT_EQ(0u, clientJournal.messageCount());
    EXPECT_EQ(TlsState::kIdle, client->getTlsState()) << "the default error handling closed the client";
}

TEST_F(TlsLink, ClientWithoutCaFileRefusesEveryServer) {
    startServer(serverContext());
    connectClient(keep(clientContext(kNone)), server->port());
    ASSERT_TRUE(clientJournal.waitFor("error:-25@1")) << clientJournal.text();
    EXPECT_FALSE(clientJournal.has("handshake@2"));

    // A client trusting only the other CA refuses our server too.
    other = std::make_unique<ClientProbe>(otherJournal, keep(std::make_unique<SSLContext>(certFile("other-ca.pem"))));
    ASSERT_EQ(0, other->connect(loopback(server->port())));
    ASSERT_EQ(0, other->attach(reactor.get()));
    EXPECT_TRUE(otherJournal.waitFor("error:-25@1")) << otherJournal.text();
    EXPECT_FALSE(otherJournal.has("handshake@2"));
}

TEST_F(TlsLink, SendDuringTheHandshakeIsNotConnectedAndNothingIsQueued) {
    // A TCP peer that accepts and never answers keeps the client handshaking.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, ::listen(listener, 1));
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);

    auto& c = connectClient(clientCtx.get(), ntohs(addr.sin_port));
    EXPECT_EQ(-tarn::platform::WSAENOTCONN, c.sendMessage("early", 5)) << "idle: not connected yet";
    ASSERT_TRUE(eventually([&] { return c.getTlsState() == TlsState::kHandshaking; }));
    EXPECT_EQ(-tarn::platform::WSAENOTCONN, c.sendMessage("too early", 9));
    EXPECT_EQ(0, c.queuedFrames());
    EXPECT_FALSE(c.isWriteBlocked());

    // The ClientHello reached the peer; nothing else did.
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, kWaitMs));
    const int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);
    unsigned char hello[5];
    pollfd q{peer, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&q, 1, kWaitMs));
    ASSERT_EQ(5, ::recv(peer, hello, 5, 0));
    EXPECT_EQ(0x16, hello[0]) << "a handshake record";
    reactor.stop();
    ::close(peer);
    ::close(listener);
}

TEST_F(TlsLink, OrderlyCloseFromTheServerCompletesOnBothEnds) {
    startServer(serverContext());
    connectClient(clientCtx.get(), server->port());
    ASSERT_TRUE(linkUp()) << clientJournal.text();
    const tarn::SocketHandle before = client->getSocket();

    EXPECT_EQ(0, server->socket(0)->shutdownSend());
    // The client read the close, answered it (closed), then the transport
    // close renewed it; the server, whose close was asked for, saw both.
    ASSERT_TRUE(clientJournal.waitFor("tlsclosed:1")) << clientJournal.text();
    EXPECT_TRUE(clientJournal.has("closed:1@4")) << clientJournal.text();
    ASSERT_TRUE(server->journal(0).waitFor("destroyed")) << server->journal(0).text();
    EXPECT_TRUE(server->journal(0).has("tlsclosed:1")) << server->journal(0).text();
    EXPECT_EQ(TlsState::kIdle, client->getTlsState());
    EXPECT_NE(before, client->getSocket());
    EXPECT_FALSE(client->isConnecting());
}

TEST_F(TlsLink, OrderlyCloseFromTheClientAndReconnect) {
    startServer(serverContext());
    auto& c = connectClient(clientCtx.get(), server->port());
    ASSERT_TRUE(linkUp()) << clientJournal.text();
    EXPECT_EQ(-1, c.connect(loopback(server->port()))) << "still connecting or connected";

    // shutdownSend is carried to the reactor thread.
    EXPECT_EQ(0, c.shutdownSend());
    ASSERT_TRUE(clientJournal.waitFor("tlsclosed:1")) << clientJournal.text();
    ASSERT_TRUE(server->journal(0).waitFor("destroyed")) << server->journal(0).text();

    // The renewed client connects again with a new TLS object: a new
    // handshake and messages both ways.
    ASSERT_EQ(0, c.connect(loopback(server->port())));
    ASSERT_TRUE(server->waitForAccepted(2));
    ASSERT_TRUE(server->journal(1).waitFor("handshake@2")) << server->journal(1).text();
    ASSERT_TRUE(eventually([&] { return c.getTlsState() == TlsState::kEstablished; }));
    const std::string again = "second connection";
    EXPECT_EQ(static_cast<int>(again.size()) + 4, c.sendMessage(again.data(), static_cast<int>(again.size())));
    ASSERT_TRUE(server->journal(1).waitForMessages(1));
    EXPECT_EQ(again, server->journal(1).messages()[0]);
}

TEST_F(TlsLink, RequiredClientCertificateIsCheckedAndNamed) {
    startServer(serverContext("server.pem", "server.key", true));
    connectClient(clientCtx.get(), server->port());
    ASSERT_TRUE(linkUp()) << server->journal(0).text();
    TarnString name;
    ASSERT_TRUE(server->socket(0)->getPeerName(name));
    EXPECT_EQ(TarnString("Tallyscope Viewer"), name);
    ASSERT_TRUE(client->getPeerName(name));
    EXPECT_EQ(TarnString("localhost"), name);
}

TEST_F(TlsLink, MissingClientCertificateIsRefusedWithMinus25) {
    startServer(serverContext("server.pem", "server.key", true));
    connectClient(keep(std::make_unique<SSLContext>(certFile("ca.pem"))), server->port());
    ASSERT_TRUE(server->waitForAccepted(1));
    ASSERT_TRUE(server->journal(0).waitFor("destroyed")) << server->journal(0).text();
    EXPECT_EQ("error:-25@1", server->journal(0).entries().at(0)) << server->journal(0).text();
    EXPECT_FALSE(server->journal(0).has("handshake@2"));
    // The client may have finished its side first (TLS 1.3): the refusal then
    // comes as a failed read or a reset. Either way it ends closed.
    ASSERT_TRUE(clientJournal.waitFor("tlsclosed:0")) << clientJournal.text();
    EXPECT_EQ(0u, clientJournal.messageCount());
    EXPECT_EQ(0u, server->journal(0).messageCount());
}

TEST_F(TlsLink, PeerNameIsTheCommonNameOrTheWholeSubject) {
    startServer(serverContext("relay.pem", "relay.key"));
    connectClient(clientCtx.get(), server->port());
    ASSERT_TRUE(linkUp()) << clientJournal.text();
    TarnString name("unchanged");
    ASSERT_TRUE(client->getPeerName(name));
    EXPECT_EQ(TarnString("Relay 1"), name);
    // The server asked for no client certificate: no peer name.
    TarnString none("unchanged");
    EXPECT_FALSE(server->socket(0)->getPeerName(none));
    EXPECT_EQ(TarnString("unchanged"), none);
}

TEST_F(TlsLink, PeerNameWithoutCommonNameIsTheSubjectLine) {
    startServer(serverContext("nocn.pem", "nocn.key"));
    connectClient(clientCtx.get(), server->port());
    ASSERT_TRUE(linkUp()) << clientJournal.text();
    TarnString name;
    ASSERT_TRUE(client->getPeerName(name));
    EXPECT_EQ(TarnString("/C=DE/O=Studio"), name);
}

TEST_F(TlsLink, ClientBeforeAnyConnectionHasNoPeerName) {
    ClientProbe idle(clientJournal, clientCtx.get());
    TarnString name("unchanged");
    EXPECT_FALSE(idle.getPeerName(name));
    EXPECT_EQ(TlsState::kIdle, idle.getTlsState());
    EXPECT_EQ(0, idle.shutdownSend()) << "nothing to close";
}

TEST(TlsAccepted, HandshakeFailingInTheConstructorEndsTheSocketAtItsFirstEvent) {
    auto context = serverContext();
    RunningReactor reactor;
    // A plain peer that sends no TLS at all, before the socket is built.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, ::listen(listener, 1));
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const int peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, ::connect(peer, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    const std::string junk = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(static_cast<ssize_t>(junk.size()), ::send(peer, junk.data(), junk.size(), MSG_NOSIGNAL));
    const int handle = tarn::platform::netAccept(listener, nullptr);
    ASSERT_GE(handle, 0);
    pollfd p{handle, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, kWaitMs));

    Journal journal;
    auto* socket = new ServerProbe(journal, handle, loopback(0), context.get());
    EXPECT_TRUE(journal.entries().empty()) << "nothing is acted on inside the constructor: " << journal.text();
    EXPECT_FALSE(socket->isHandshakeDone());
    EXPECT_EQ(0, socket->attach(reactor.get()));
    ASSERT_TRUE(journal.waitFor("destroyed")) << journal.text();
    const auto entries = journal.entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ("error:-25@1", entries[0]);
    EXPECT_EQ("closed:0@1", entries[1]);
    reactor.stop();
    ::close(peer);
    ::close(listener);
}

TEST_F(TlsLink, RefusedConnectLeavesTheClientReadyToConnectAgain) {
    // A port nobody listens on: bind one, then close it.
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    socklen_t len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(s);

    auto& c = connectClient(clientCtx.get(), ntohs(addr.sin_port));
    ASSERT_TRUE(clientJournal.waitFor("tlsclosed:0")) << clientJournal.text();
    EXPECT_EQ("error:-10061@0", clientJournal.entries().at(0)) << clientJournal.text();
    EXPECT_FALSE(c.isConnecting());

    startServer(serverContext());
    ASSERT_EQ(0, c.connect(loopback(server->port())));
    EXPECT_TRUE(clientJournal.waitFor("handshake@2")) << clientJournal.text();
}

TEST_F(TlsLink, IdleLinkCostsNoEvents) {
    startServer(serverContext());
    connectClient(clientCtx.get(), server->port());
    ASSERT_TRUE(linkUp()) << clientJournal.text();
    EXPECT_EQ(8, client->sendMessage("ping", 4));
    ASSERT_TRUE(server->journal(0).waitForMessages(1));
    EXPECT_EQ(8, server->socket(0)->sendMessage("pong", 4));
    ASSERT_TRUE(clientJournal.waitForMessages(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int clientReads = client->reads();
    const int serverReads = server->socket(0)->reads();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(clientReads, client->reads()) << "no read events without data";
    EXPECT_EQ(serverReads, server->socket(0)->reads()) << "no read events without data";
}

TEST_F(TlsLink, SlowReaderMakesSendsQueueAndRetryTheSameRecord) {
    // A small send buffer and a peer that starts reading late: TLS writes
    // block halfway, and each must be retried with the same buffer.
    constexpr int kFrames = 12;
    std::vector<std::string> bodies;
    for (int i = 0; i < kFrames; ++i) bodies.push_back(pattern(40 + i, 300000 + static_cast<size_t>(i) * 1111));
    std::atomic<int> received{0};
    auto peer = PlainTlsPeer::server("server.pem", "server.key", [&](SSL* ssl) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (int i = 0; i < kFrames; ++i) {
            std::string body;
            ASSERT_TRUE(readFrame(ssl, body)) << "frame " << i;
            ASSERT_TRUE(body == bodies[static_cast<size_t>(i)]) << "frame " << i << " differs";
            ++received;
        }
    });
    client = std::make_unique<ClientProbe>(clientJournal, clientCtx.get());
    const int small = 8192;
    ::setsockopt(client->getSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_EQ(0, client->connect(loopback(peer->port())));
    ASSERT_EQ(0, client->attach(reactor.get()));
    ASSERT_TRUE(clientJournal.waitFor("handshake@2")) << clientJournal.text();

    int queued = 0;
    for (const auto& b : bodies) {
        const int r = client->sendMessage(b.data(), static_cast<int>(b.size()));
        ASSERT_GE(r, 0) << clientJournal.text();
        if (r == 0) ++queued;
    }
    EXPECT_GT(queued, 0) << "some frames waited in the queue";
    ASSERT_TRUE(peer->waitDone());
    EXPECT_EQ(kFrames, received.load());
    EXPECT_TRUE(eventually([&] { return client->queuedFrames() == 0; }));
    EXPECT_FALSE(clientJournal.has("error:-10053@2")) << clientJournal.text();
}

TEST_F(TlsLink, InterceptedReadsLeaveTheFramesToTheSubclass) {
    startServer(serverContext());
    connectClient(clientCtx.get(), server->port());
    ASSERT_TRUE(linkUp()) << clientJournal.text();
    client->interceptReads.store(true);
    EXPECT_EQ(9, server->socket(0)->sendMessage("hello", 5));
    ASSERT_TRUE(clientJournal.waitFor("intercepted")) << clientJournal.text();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0u, clientJournal.messageCount()) << "the frame reader did not run";
}

TEST_F(TlsLink, AcceptedSocketWhoseTlsCloseIsHandledLivesOn) {
    server = nullptr;
    serverCtx = serverContext();
    server = std::make_unique<OurServer>(reactor.get(), serverCtx.get());
    server->keepOnTlsClose = true;
    auto& c = connectClient(clientCtx.get(), server->port());
    ASSERT_TRUE(linkUp()) << clientJournal.text();
    EXPECT_EQ(0, c.shutdownSend());
    ASSERT_TRUE(server->journal(0).waitFor("tlsclosed:1")) << server->journal(0).text();
    // Both closes are exchanged; the server keeps its transport open, so the
    // client stays closed and sees no transport close.
    EXPECT_TRUE(eventually([&] { return c.getTlsState() == TlsState::kClosed; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(clientJournal.has("tlsclosed:1")) << clientJournal.text();
    EXPECT_FALSE(server->journal(0).has("destroyed")) << "the subclass handled the close";
    EXPECT_EQ(TlsState::kClosed, server->socket(0)->getTlsState());
}
