// The simulator as a separate process, driven by clients built on the
// library over loopback, with its playlists fetched over HTTP.

#include "SimClient.h"
#include "SimProcess.h"

#include "tarn/Reactor.h"
#include "tarn/SSLContext.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <pugixml.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using simtest::SimClient;
using simtest::SimProcess;

namespace {

constexpr int kWaitMs = 20000;

std::string cert(const char* name) { return simtest::certificatePath(name); }

class SimServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(simtest::certificateDir().empty()) << "scripts/make-certs failed";
        context = simtest::clientContext(cert("client.pem"), cert("client.key"), cert("ca.pem"));
        ASSERT_EQ(0, reactor.start());
    }
    void TearDown() override {
        reactor.stop();  // nothing runs on the client sockets any more
        clients.clear();
        if (sim.pid() > 0) {
            const int status = sim.stop();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit status " << status;
        }
    }

    void startSim(const std::vector<std::string>& extra = {"--speed", "0"}) {
        ASSERT_TRUE(sim.start(SimProcess::testArgs(extra))) << sim.output() << sim.stderrText();
    }

    // A connected client (not waited for).
    SimClient& connect(tarn::SSLContext* ctx = nullptr) {
        clients.push_back(std::make_unique<SimClient>(ctx != nullptr ? ctx : context.get()));
        EXPECT_EQ(0, clients.back()->start(&reactor, sim.tlsPort()));
        return *clients.back();
    }

    // The simulator's number for a client's session, from its "session opened" line.
    int sessionOf(SimClient& c) {
        const long i = sim.waitForLine(
            [&](const std::string& l) {
                return l.rfind("session opened ", 0) == 0 && l.find(c.peerText()) != std::string::npos;
            },
            kWaitMs);
        if (i < 0) return -1;
        const std::string l = sim.lines()[static_cast<size_t>(i)];
        return std::atoi(l.c_str() + l.find("session=") + 8);
    }
    static std::string session(int n) { return "session=" + std::to_string(n) + " "; }

    // A client that has its studio list and, unless `id` is null, has sent
    // `id` and seen the simulator take it. Its session number in `number`.
    SimClient& open(const char* id, int* number = nullptr) {
        SimClient& c = connect();
        EXPECT_TRUE(c.waitMessages(1, kWaitMs)) << sim.output();
        const int n = sessionOf(c);
        EXPECT_GT(n, 0);
        if (number != nullptr) *number = n;
        if (id != nullptr) {
            const size_t from = sim.lineCount();
            const std::string text = id;
            EXPECT_GE(c.sendMessage(text.data(), static_cast<int>(text.size())), 0);
            EXPECT_GE(sim.waitForLine("studio id received " + session(n), kWaitMs, from), 0) << sim.output();
        }
        return c;
    }

    // Sends a control command and waits for a line containing `expect` after it.
    void control(const std::string& command, const std::string& expect) {
        const size_t from = sim.lineCount();
        ASSERT_TRUE(sim.send(command));
        ASSERT_GE(sim.waitForLine(expect, kWaitMs, from), 0) << command << "\n" << sim.output();
    }

    // GET of a path on the simulator's HTTP side; the body, status in `status`.
    std::string get(const std::string& path, int* status = nullptr) {
        httplib::Client http("127.0.0.1", sim.httpPort());
        http.set_connection_timeout(10);
        http.set_read_timeout(10);
        auto res = http.Get(path.c_str());
        if (status != nullptr) *status = res ? res->status : -1;
        return res ? res->body : std::string();
    }

    // An event of a served playlist.
    pugi::xml_node event(pugi::xml_document& doc, const std::string& file, const char* id) {
        int status = 0;
        const std::string body = get("/playlists/" + file, &status);
        EXPECT_EQ(200, status);
        EXPECT_TRUE(doc.load_string(body.c_str())) << body;
        return doc.document_element().find_child_by_attribute("id", id);
    }

    std::unique_ptr<tarn::SSLContext> context;
    tarn::Reactor reactor;
    std::vector<std::unique_ptr<SimClient>> clients;  // deleted after the reactor stopped
    SimProcess sim;
};

const char* kUpdate = "Update";

}  // namespace

TEST_F(SimServer, StudioListComesFirstWithUrlsOfItsOwnHttpSide) {
    startSim();
    SimClient& c = connect();
    ASSERT_TRUE(c.waitHandshake(kWaitMs));
    ASSERT_TRUE(c.waitMessages(1, kWaitMs)) << sim.output();
    pugi::xml_document list;
    ASSERT_TRUE(list.load_string(c.messages()[0].c_str())) << c.messages()[0];
    std::vector<std::string> ids;
    std::vector<std::string> urls;
    for (pugi::xml_node s : list.document_element().children()) {
        ids.push_back(s.attribute("id").value());
        for (pugi::xml_node p : s.children()) urls.push_back(p.attribute("url").value());
    }
    EXPECT_EQ((std::vector<std::string>{"STA-01", "STB-02", "STA-99"}), ids);
    ASSERT_EQ(3u, urls.size());
    const std::string base = "http://127.0.0.1:" + std::to_string(sim.httpPort()) + "/playlists/";
    for (const std::string& url : urls) {
        ASSERT_EQ(0u, url.rfind(base, 0)) << url;
        int status = 0;
        pugi::xml_document doc;
        EXPECT_TRUE(doc.load_string(get(url.substr(url.find("/playlists/")), &status).c_str()));
        EXPECT_EQ(200, status) << url;
        EXPECT_FALSE(std::string(doc.document_element().attribute("name").value()).empty());
    }
    EXPECT_GE(sim.waitForLine("http method=\"GET\" path=\"/playlists/studio-a-shadow.xml\" status=200", kWaitMs), 0);

    int status = 0;
    get("/playlists/unknown.xml", &status);
    EXPECT_EQ(404, status);
    get("/elsewhere", &status);
    EXPECT_EQ(404, status);
    EXPECT_GE(sim.waitForLine("http method=\"GET\" path=\"/playlists/unknown.xml\" status=404", kWaitMs), 0);

    const int n = sessionOf(c);
    ASSERT_TRUE(c.sendMessage("STA-01", 6) >= 0);
    EXPECT_GE(sim.waitForLine("studio id received " + session(n) + "id=\"STA-01\" status=known", kWaitMs), 0)
        << sim.output();
    control("update STA-01", "notify Update studio=\"STA-01\" sessions=1");
    ASSERT_TRUE(c.waitMessages(2, kWaitMs));
    EXPECT_EQ((std::vector<std::string>{c.messages()[0], kUpdate}), c.messages());
}

TEST_F(SimServer, EachCommandIsAppliedThenUpdateAndTheNewStateIsServed) {
    startSim();
    int n = 0;
    SimClient& a = open("STA-01", &n);
    SimClient& other = open("STA-99");

    struct Step {
        std::string payload;
        std::string applied;
        const char* attribute;  // of the event, or of its QuorTrigger when it starts with '@'
        std::string expected;
    };
    const std::vector<Step> steps = {
        {R"(<NoQuorTrigger playlist="StudioA-Main" eventid="EV000105"/>)", "command=NoQuorTrigger", "@active", "false"},
        {R"(<EnableQuorTrigger playlist="StudioA-Main" eventid="EV000105"/>)", "command=EnableQuorTrigger", "@active",
         "true"},
        {R"(<ChangeQuorServer playlist="StudioA-Main" eventid="EV000105" quorServer="10.9.8.7 &amp; &quot;b&quot; &lt;c&gt;"/>)",
         "command=ChangeQuorServer playlist=\"StudioA-Main\" event=\"EV000105\" quorServer=\"10.9.8.7 & \\\"b\\\" "
         "<c>\"",
         "quorServer", "10.9.8.7 & \"b\" <c>"},
    };
    size_t updates = 0;
    for (const Step& s : steps) {
        const size_t from = sim.lineCount();
        ASSERT_GE(a.sendMessage(s.payload.data(), static_cast<int>(s.payload.size())), 0);
        EXPECT_GE(sim.waitForLine("command received " + session(n) + "length=" + std::to_string(s.payload.size()),
                                  kWaitMs, from),
                  0);
        EXPECT_GE(sim.waitForLine("command applied " + session(n) + s.applied, kWaitMs, from), 0) << sim.output();
        ++updates;
        ASSERT_TRUE(a.waitMessages(1 + updates, kWaitMs)) << "an Update follows each command";
        EXPECT_EQ(kUpdate, a.messages().back());
        // The new state is there to fetch when the Update arrives.
        pugi::xml_document doc;
        const pugi::xml_node e = event(doc, "studio-a-main.xml", "EV000105");
        const std::string value = s.attribute[0] == '@' ? e.child("QuorTrigger").attribute(s.attribute + 1).value()
                                                        : e.attribute(s.attribute).value();
        EXPECT_EQ(s.expected, value) << s.payload;
    }
    // The other studio heard nothing: its marker comes right after its list.
    control("update STA-99", "notify Update studio=\"STA-99\" sessions=1");
    ASSERT_TRUE(other.waitMessages(2, kWaitMs));
    EXPECT_EQ(kUpdate, other.messages()[1]);
    EXPECT_EQ(2u, other.messageCount());
    EXPECT_EQ(1 + updates, a.messageCount());
}

TEST_F(SimServer, BadCommandsAreLoggedAndIgnoredAndTheSessionGoesOn) {
    startSim();
    int n = 0;
    SimClient& a = open("STA-01", &n);
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"<NoQuorTrigger playlist=\"StudioA-Main\" eventid=", "malformed"},
        {"<Shutdown playlist=\"StudioA-Main\" eventid=\"EV000105\"/>", "unknown-command"},
        {"<NoQuorTrigger playlist=\"StudioA-Main\"/>", "missing-attribute"},
        {"<NoQuorTrigger playlist=\"Nowhere\" eventid=\"EV000105\"/>", "unknown-playlist"},
        {"<NoQuorTrigger playlist=\"StudioA-Main\" eventid=\"EV-none\"/>", "unknown-event"},
        {std::string("<Bad\x01\x1b\n\"\\", 9), "malformed"},
    };
    for (const auto& [payload, reason] : bad) {
        const size_t from = sim.lineCount();
        ASSERT_GE(a.sendMessage(payload.data(), static_cast<int>(payload.size())), 0);
        EXPECT_GE(sim.waitForLine("command ignored " + session(n) + "reason=" + reason, kWaitMs, from), 0)
            << payload << "\n"
            << sim.output();
    }
    EXPECT_GE(sim.waitForLine("payload=\"<Bad\\x01\\x1b\\n\\\"\\\\\"", 0), 0) << "control characters are escaped";
    for (const std::string& l : sim.lines())
        for (const char ch : l) ASSERT_GE(static_cast<unsigned char>(ch), 0x20) << l;

    const std::string good = R"(<NoQuorTrigger playlist="StudioA-Main" eventid="EV000104"/>)";
    ASSERT_GE(a.sendMessage(good.data(), static_cast<int>(good.size())), 0);
    ASSERT_TRUE(a.waitMessages(2, kWaitMs)) << sim.output();
    EXPECT_EQ(kUpdate, a.messages()[1]);
    EXPECT_EQ(2u, a.messageCount()) << "no Update for an ignored command";
    EXPECT_EQ(0u, sim.countLines("session closed")) << "the session goes on";
}

TEST_F(SimServer, StudioNotificationsReachOnlyThatStudiosClients) {
    startSim();
    SimClient& a1 = open("STA-01");
    SimClient& a2 = open("STA-01");
    SimClient& b = open("STA-99");
    int unknownNumber = 0;
    SimClient& unknown = open("STA-77", &unknownNumber);
    SimClient& none = open(nullptr);
    EXPECT_GE(sim.waitForLine("studio id received " + session(unknownNumber) + "id=\"STA-77\" status=unknown", 0), 0);

    control("studio STA-01 up", "notify StudioConnected studio=\"STA-01\" sessions=2");
    control("studio STA-99 down", "notify StudioDisconnected studio=\"STA-99\" sessions=1");
    control("update", "notify Update studio=\"STA-99\" sessions=1");
    EXPECT_EQ(1u, sim.countLines("notify Update studio=\"STA-01\" sessions=2"));
    EXPECT_EQ(1u, sim.countLines("notify Update studio=\"STB-02\" sessions=0"));
    auto afterList = [](SimClient& c) {
        const auto m = c.messages();
        return std::vector<std::string>(m.begin() + 1, m.end());
    };
    for (SimClient* c : {&a1, &a2}) {
        ASSERT_TRUE(c->waitMessages(3, kWaitMs));
        EXPECT_EQ((std::vector<std::string>{"StudioConnected", kUpdate}), afterList(*c));
    }
    ASSERT_TRUE(b.waitMessages(3, kWaitMs));
    EXPECT_EQ((std::vector<std::string>{"StudioDisconnected", kUpdate}), afterList(b));
    // Sessions without a known studio get nothing; give stray frames a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(1u, unknown.messageCount());
    EXPECT_EQ(1u, none.messageCount());

    control("studio STA-00 up", "control error reason=unknown-studio line=\"studio STA-00 up\"");
    control("studio STA-01 sideways", "control error reason=bad-arguments");
    control("frobnicate", "control error reason=unknown-command");
    control("status", "status end");
    EXPECT_EQ(1u, sim.countLines("status studio id=\"STA-01\" name=\"Studio A\" sessions=2"));
    EXPECT_EQ(1u, sim.countLines("status sessions=5 established=5 "));
}

TEST_F(SimServer, TheLastStudioIdCountsAndAnEmptyIdIsAValidFrame) {
    startSim();
    int n = 0;
    SimClient& c = open("STA-01", &n);
    size_t from = sim.lineCount();
    ASSERT_GE(c.sendMessage("STA-99", 6), 0);
    ASSERT_GE(sim.waitForLine("studio id received " + session(n) + "id=\"STA-99\" status=known", kWaitMs, from), 0);
    control("update STA-01", "notify Update studio=\"STA-01\" sessions=0");
    control("update STA-99", "notify Update studio=\"STA-99\" sessions=1");
    ASSERT_TRUE(c.waitMessages(2, kWaitMs));

    from = sim.lineCount();
    ASSERT_GE(c.sendMessage("", 0), 0);
    ASSERT_GE(sim.waitForLine("studio id received " + session(n) + "id=\"\" status=unknown", kWaitMs, from), 0)
        << sim.output();
    control("update STA-99", "notify Update studio=\"STA-99\" sessions=0");
    // Frames on either side of an empty one keep their order.
    from = sim.lineCount();
    ASSERT_GE(c.sendMessage("STA-01", 6), 0);
    ASSERT_GE(c.sendMessage("", 0), 0);
    ASSERT_GE(c.sendMessage("STA-99", 6), 0);
    ASSERT_GE(sim.waitForLine("id=\"STA-99\"", kWaitMs, from), 0);
    const auto after = sim.lines(from);
    std::vector<std::string> seen;
    for (const auto& l : after)
        if (l.find("studio id received") != std::string::npos) seen.push_back(l.substr(l.find("id=\"")));
    EXPECT_EQ((std::vector<std::string>{"id=\"STA-01\" status=known", "id=\"\" status=unknown",
                                        "id=\"STA-99\" status=known"}),
              seen);
    EXPECT_EQ(2u, c.messageCount());
}

TEST_F(SimServer, DropAbortsEverySessionAndTheServerKeepsAccepting) {
    startSim();
    SimClient& a = open("STA-01");
    SimClient& b = open(nullptr);
    control("drop", "drop sessions=2");
    ASSERT_TRUE(sim.waitForCount("reason=dropped", 2, kWaitMs)) << sim.output();
    EXPECT_TRUE(a.waitEnded(kWaitMs));
    EXPECT_TRUE(b.waitEnded(kWaitMs));
    EXPECT_EQ(0, a.closes() > 0 && a.closeComplete() ? 1 : 0) << "no TLS close on a drop";

    SimClient& c = open("STA-01");
    control("update STA-01", "notify Update studio=\"STA-01\" sessions=1");
    ASSERT_TRUE(c.waitMessages(2, kWaitMs));
    EXPECT_EQ(kUpdate, c.messages()[1]);
}

TEST_F(SimServer, CloseEndsEverySessionWithATlsClose) {
    startSim();
    int n = 0;
    SimClient& a = open("STA-01", &n);
    control("close", "close sessions=1");
    ASSERT_GE(sim.waitForLine("session closed " + session(n) + a.peerText() + "reason=closed-by-server", kWaitMs), 0)
        << sim.output();
    ASSERT_TRUE(a.waitEnded(kWaitMs));
    EXPECT_TRUE(a.closeComplete()) << "both TLS closes were exchanged";
    EXPECT_TRUE(a.errors().empty());
}

TEST_F(SimServer, AnOversizedFramePrefixEndsOnlyThatSession) {
    startSim();
    SimClient& keep = open("STA-01");
    int n = 0;
    SimClient& bad = open(nullptr, &n);
    // A prefix announcing 20 MiB, above the 16 MiB frame limit.
    const char prefix[4] = {0x01, 0x40, 0x00, 0x00};
    ASSERT_TRUE(simtest::runOnReactor(reactor, [&] { EXPECT_EQ(4, bad.sendRaw(prefix, 4)); }));
    ASSERT_GE(sim.waitForLine("session closed " + session(n) + bad.peerText() + "reason=error code=-10040", kWaitMs), 0)
        << sim.output();
    EXPECT_TRUE(bad.waitEnded(kWaitMs));

    control("update STA-01", "notify Update studio=\"STA-01\" sessions=1");
    ASSERT_TRUE(keep.waitMessages(2, kWaitMs));
    SimClient& late = open("STA-01");
    EXPECT_EQ(1u, late.messageCount());
}

TEST_F(SimServer, ClientsWithoutACertificateOrWithOneFromAnotherCaAreRefused) {
    startSim();
    const auto noCert = std::make_unique<tarn::SSLContext>(tarn::TarnString(cert("ca.pem").c_str()));
    const auto otherCa = simtest::clientContext(cert("other-client.pem"), cert("other-client.key"), cert("ca.pem"));
    for (tarn::SSLContext* ctx : {noCert.get(), otherCa.get()}) {
        SimClient& c = connect(ctx);
        const long i = sim.waitForLine(
            [&](const std::string& l) {
                return l.rfind("handshake refused ", 0) == 0 && l.find(c.peerText()) != std::string::npos;
            },
            kWaitMs);
        ASSERT_GE(i, 0) << sim.output();
        EXPECT_NE(std::string::npos, sim.lines()[static_cast<size_t>(i)].find(" code=-25"));
        EXPECT_TRUE(c.waitEnded(kWaitMs));
        EXPECT_EQ(0u, c.messageCount()) << "no studio list for a refused client";
    }
    EXPECT_EQ(0u, sim.countLines("session opened"));
    SimClient& good = open("STA-01");
    EXPECT_EQ(1u, good.messageCount());
}

TEST_F(SimServer, TwoHundredSessionsEachReceiveAHundredUpdatesAndNoDescriptorLeaks) {
    constexpr int kSessions = 200;
    constexpr int kUpdates = 100;
    startSim();
    control("status", "status end");
    auto fds = [&] {
        const size_t from = sim.lineCount();
        EXPECT_TRUE(sim.send("status"));
        const long i = sim.waitForLine("status sessions=", kWaitMs, from);
        if (i < 0) return -1;
        const std::string l = sim.lines()[static_cast<size_t>(i)];
        return std::atoi(l.c_str() + l.find("fds=") + 4);
    };
    const int baseline = fds();
    ASSERT_GT(baseline, 0);

    // In batches, so that the listen queue never overflows.
    for (int i = 0; i < kSessions; i += 50) {
        const size_t from = sim.lineCount();
        std::vector<SimClient*> batch;
        for (int k = 0; k < 50; ++k) batch.push_back(&connect());
        for (SimClient* c : batch) ASSERT_TRUE(c->waitMessages(1, kWaitMs)) << sim.output();
        for (SimClient* c : batch) ASSERT_GE(c->sendMessage("STA-01", 6), 0);
        ASSERT_TRUE(sim.waitForCount("id=\"STA-01\" status=known", 50, kWaitMs, from));
    }
    const size_t from = sim.lineCount();
    ASSERT_TRUE(sim.send("repeat " + std::to_string(kUpdates) + " update STA-01"));
    ASSERT_TRUE(sim.send("studio STA-01 down"));  // the end marker
    ASSERT_GE(sim.waitForLine("notify StudioDisconnected studio=\"STA-01\" sessions=200", 60000, from), 0)
        << sim.output();
    EXPECT_EQ(static_cast<size_t>(kUpdates), sim.countLines("notify Update studio=\"STA-01\" sessions=200", from));
    for (auto& c : clients) {
        ASSERT_TRUE(c->waitMessage("StudioDisconnected", 60000)) << c->messageCount();
        const auto m = c->messages();
        ASSERT_EQ(static_cast<size_t>(kUpdates + 2), m.size());
        EXPECT_EQ(static_cast<size_t>(kUpdates), c->count(kUpdate)) << "none lost, none duplicated";
        EXPECT_EQ("StudioDisconnected", m.back());
    }

    // Every session ends and gives its descriptor back.
    const size_t closing = sim.lineCount();
    reactor.stop();
    clients.clear();
    ASSERT_TRUE(sim.waitForCount("session closed", kSessions, kWaitMs, closing)) << sim.output();
    int now = -1;
    for (int i = 0; i < 100 && now != baseline; ++i) {
        now = fds();
        if (now != baseline) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(baseline, now);
    control("status", "status sessions=0 established=0");
}

TEST_F(SimServer, AdvanceMovesPlayoutAndUpdatesTheStudiosOfThatPlaylist) {
    startSim();
    SimClient& a = open("STA-01");
    SimClient& b = open("STA-99");
    control("advance StudioA-Main",
            "playlist changed name=\"StudioA-Main\" file=\"studio-a-main.xml\" running=\"EV000105\"");
    ASSERT_TRUE(a.waitMessages(2, kWaitMs));
    EXPECT_EQ(kUpdate, a.messages()[1]);
    {
        pugi::xml_document doc;
        EXPECT_STREQ("Played", event(doc, "studio-a-main.xml", "EV000104").attribute("status").value());
        const pugi::xml_node e = doc.document_element().find_child_by_attribute("id", "EV000105");
        EXPECT_STREQ("Running", e.attribute("status").value());
        EXPECT_STREQ("true", e.child("QuorTrigger").attribute("sent").value());
        // Without automatic playout the clock stands still.
        const pugi::xml_node time = e.child("Segment").child("OnAir").child("Time");
        EXPECT_STREQ("17", time.attribute("hh").value());
        EXPECT_STREQ("58", time.attribute("mm").value());
        EXPECT_STREQ("40", time.attribute("ss").value());
    }
    // Every playing playlist moves; the backup plays nothing and stays.
    control("advance", "playlist changed name=\"StudioA-Shadow\" file=\"studio-a-shadow.xml\" running=\"EV009901\"");
    EXPECT_GE(sim.waitForLine("running=\"EV000106\"", kWaitMs), 0);
    EXPECT_EQ(0u, sim.countLines("playlist changed name=\"StudioA-Backup\""));
    ASSERT_TRUE(b.waitMessages(2, kWaitMs));
    ASSERT_TRUE(a.waitMessages(3, kWaitMs));
    // Named, an idle playlist starts with its first event.
    control("advance studio-a-backup.xml",
            "playlist changed name=\"StudioA-Backup\" file=\"studio-a-backup.xml\" running=\"EV000901\"");
    control("advance Nowhere", "control error reason=unknown-playlist");
}

TEST_F(SimServer, PlayoutRunsOnItsOwnAtTheGivenSpeed) {
    // The shadow playlist's event ends 30 simulated seconds after the start.
    startSim({"--speed", "60"});
    SimClient& b = open("STA-99");
    ASSERT_GE(sim.waitForLine("playlist changed name=\"StudioA-Shadow\"", kWaitMs), 0) << sim.output();
    EXPECT_GE(sim.waitForLine("clock=2003-01-01T00:0", 0), 0) << sim.output();
    ASSERT_TRUE(b.waitMessage(kUpdate, kWaitMs));
    pugi::xml_document doc;
    const pugi::xml_node e = event(doc, "studio-a-shadow.xml", "EV009901");
    EXPECT_STREQ("1", e.child("Segment").child("OnAir").child("Date").attribute("day").value());
    EXPECT_STREQ("2003", e.child("Segment").child("OnAir").child("Date").attribute("year").value());
}

TEST_F(SimServer, AnIdleSimulatorUsesNoProcessorTime) {
    startSim();
    open("STA-01");
    auto cpuTicks = [&] {
        std::ifstream in("/proc/" + std::to_string(sim.pid()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string f;
        long utime = 0;
        long stime = 0;
        for (int i = 3; i <= 15 && fields >> f; ++i) {
            if (i == 14) utime = std::atol(f.c_str());
            if (i == 15) stime = std::atol(f.c_str());
        }
        return utime + stime;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long before = cpuTicks();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const long used = cpuTicks() - before;
    EXPECT_LE(used, ::sysconf(_SC_CLK_TCK) / 10) << "ticks used in one idle second";
}

// ---- the program ----

TEST(SimProgram, SigtermAndSigintStopItCleanly) {
    for (const int sig : {SIGTERM, SIGINT}) {
        SimProcess sim;
        ASSERT_TRUE(sim.start(SimProcess::testArgs())) << sim.output();
        ASSERT_TRUE(sim.signal(sig));
        const int status = sim.waitExit(kWaitMs);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << sig << ": status " << status;
        EXPECT_GE(sim.waitForLine("stopped", 0), 0) << sim.output();
    }
}

TEST(SimProgram, EndOfInputDoesNotStopIt) {
    simtest::SimProcess background;
    ASSERT_TRUE(background.start(SimProcess::testArgs({"--speed", "0"}), kWaitMs, true)) << background.output();
    simtest::SimProcess piped;
    ASSERT_TRUE(piped.start(SimProcess::testArgs({"--speed", "0"}))) << piped.output();
    piped.closeStdin();
    for (SimProcess* sim : {&background, &piped}) {
        ASSERT_GE(sim->waitForLine("control input-closed", kWaitMs), 0) << sim->output();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(sim->running());
        // Still serving.
        auto ctx = simtest::clientContext(cert("client.pem"), cert("client.key"), cert("ca.pem"));
        tarn::Reactor reactor;
        ASSERT_EQ(0, reactor.start());
        SimClient c(ctx.get());
        c.start(&reactor, sim->tlsPort());
        EXPECT_TRUE(c.waitMessages(1, kWaitMs));
        reactor.stop();
        ASSERT_TRUE(sim->signal(SIGTERM));
        const int status = sim->waitExit(kWaitMs);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

TEST(SimProgram, ScriptedCommandsRunInOrderAfterStartUp) {
    SimProcess sim;
    ASSERT_TRUE(
        sim.start(SimProcess::testArgs({"--speed", "0", "--exec", "studio STA-01 up", "--exec", "sleep 0.2", "--exec",
                                        "repeat 2 advance StudioA-Main", "--exec", "status", "--exec", "quit"}),
                  kWaitMs, true))
        << sim.output();
    const int status = sim.waitExit(kWaitMs);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<std::string> kinds;
    for (const auto& l : sim.lines()) {
        const std::string k = l.substr(0, l.find(' '));
        if (k != "status" || l == "status end")
            kinds.push_back(k == "status" ? l : k + (k == "playlist" ? l.substr(l.find(" running=")) : ""));
    }
    EXPECT_EQ(
        (std::vector<std::string>{"listening", "notify", "playlist running=\"EV000105\" clock=2002-08-30T17:58:40",
                                  "notify", "playlist running=\"EV000106\" clock=2002-08-30T17:58:40", "notify",
                                  "status end", "stopping", "stopped"}),
        kinds)
        << sim.output();
    EXPECT_EQ(0u, sim.countLines("control input-closed")) << "quit came first";
}

TEST(SimProgram, BadOptionsGiveTheUsageAndExitCode2) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--tls-port", "x", "--certs", "/tmp"}, {"--no-such-option"}, {}, {"--speed", "-2", "--certs", "/tmp"}}) {
        SimProcess sim;
        sim.echoStderr(false);
        ASSERT_TRUE(sim.launch(args, true));
        const int status = sim.waitExit(kWaitMs);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
        EXPECT_NE(std::string::npos, sim.stderrText().find("Usage:")) << sim.stderrText();
    }
    SimProcess help;
    ASSERT_TRUE(help.launch({"--help"}, true));
    const int status = help.waitExit(kWaitMs);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_GE(help.waitForLine("Usage:", kWaitMs), 0);
    EXPECT_GE(help.waitForLine("  update [STUDIO]", kWaitMs), 0);
}

TEST(SimProgram, StartUpFailuresExitWithCode1) {
    SimProcess first;
    ASSERT_TRUE(first.start(SimProcess::testArgs())) << first.output();
    const std::vector<std::vector<std::string>> failing = {
        SimProcess::testArgs({"--studios", "/nonexistent/studios.xml"}),
        SimProcess::testArgs({"--playlists", "/nonexistent"}),
        {"--certs", "/nonexistent", "--tls-port", "0", "--http-port", "0"},
        {"--certs", simtest::certificateDir(), "--tls-port", std::to_string(first.tlsPort()), "--http-port", "0"},
        {"--certs", simtest::certificateDir(), "--tls-port", "0", "--http-port", std::to_string(first.httpPort())},
    };
    for (const auto& args : failing) {
        SimProcess sim;
        sim.echoStderr(false);
        ASSERT_TRUE(sim.launch(args, true));
        const int status = sim.waitExit(kWaitMs);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << args[1] << " " << args[3] << ": " << status;
        EXPECT_FALSE(sim.stderrText().empty());
        EXPECT_EQ(0u, sim.countLines("listening"));
    }
    EXPECT_TRUE(first.running());
}
