// Link detail, accountable commands and the operator's log, against the
// real simulator: why a link is down in the operator's words, "Reconnect
// now", commands followed to "applied" or "not applied", and the log.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <fstream>

#include "E2ESupport.h"
#include "app/CommandJournal.h"

using apptest::FirstView;
using apptest::PaneText;
using e2e::Documents;
using e2e::SessionTest;
using e2e::SimProcess;

namespace {

// A configuration naming these credentials, beside the others in certs.
std::string WriteConfig(const std::string& dir, int port, const std::string& certs, const std::string& client,
                        const std::string& ca) {
    const std::string path = dir + "/config-" + client + "-" + ca + ".xml";
    std::ofstream out(path);
    out << "<Config><AggrServer ip=\"127.0.0.1\" port=\"" << port << "\"><SslCfktFile>" << certs << "/" << client
        << ".pem</SslCfktFile><SslKeyFile>" << certs << "/" << client << ".key</SslKeyFile><SslCAFile>" << certs << "/"
        << ca << ".pem</SslCAFile></AggrServer></Config>\n";
    return path;
}

// A loopback port that accepts connections (the kernel completes them) and
// never says a word.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 8) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~SilentListener() { ::close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

int ClosedPort() {
    SilentListener probe;
    return probe.port();  // closed again when probe goes
}

std::vector<QJsonObject> LogLines(const std::string& path, bool* wellFormed) {
    std::vector<QJsonObject> lines;
    *wellFormed = true;
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return lines;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        if (raw.isEmpty()) continue;
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(raw, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) *wellFormed = false;
        lines.push_back(doc.object());
    }
    return lines;
}

// The states logged for one command, in order.
std::vector<std::string> LoggedStates(const std::vector<QJsonObject>& lines, int number) {
    std::vector<std::string> states;
    for (const QJsonObject& line : lines)
        if (line["type"].toString() == "command" && line["number"].toInt() == number)
            states.push_back(line["state"].toString().toStdString());
    return states;
}

class LinkDetailTest : public SessionTest {
protected:
    // Runs one Open against the configuration at path and answers the box;
    // the viewer link's last failure afterwards.
    std::string FailureOfOpen(const std::string& path, uint32_t waitMs = 60000) {
        guitest::WriteConfigValue(path);
        manager_->GetSettings().firstMessageWaitMs = waitMs;
        int boxes = 0;
        guitest::ScopedModalHook hook([&](CModalRun& run) {
            EXPECT_EQ(run.kind, CModalRun::MessageBox);
            ++boxes;
            return IDOK;
        });
        app_->OnFileOpen();
        EXPECT_TRUE(Until([&] { return manager_->Phase() == CSessionDocManager::OpenPhase::None; }, 30000));
        EXPECT_EQ(boxes, 1);
        return manager_->LastFailure().GetString();
    }
    std::string Detail() const { return manager_->AggrLinkDetail().GetString(); }
};

}  // namespace

TEST_F(LinkDetailTest, EachFailureOfTheViewersLinkIsNamedInItsDetail) {
    EXPECT_EQ(FailureOfOpen(WriteConfig(configDir_, ClosedPort(), certs_, "client", "ca")), "connection refused");
    EXPECT_NE(Detail().find("Last failure: connection refused"), std::string::npos) << Detail();
    EXPECT_NE(Detail().find("Server: 127.0.0.1:"), std::string::npos) << Detail();
    // Hovering the pane shows the same detail.
    CStatusBar& bar = app_->GetMainFrame()->m_wndStatusBar;
    EXPECT_TRUE(Until([&] { return std::string(bar.GetPaneTip(CMainFrame::kAggrLinkPane)) == Detail(); }));

    // The server's certificate checked against a CA that did not sign it.
    EXPECT_EQ(FailureOfOpen(WriteConfig(configDir_, sim_.tlsPort(), certs_, "client", "other-ca")),
              "server certificate not signed by the configured CA");
    // A client certificate the server does not trust.
    EXPECT_EQ(FailureOfOpen(WriteConfig(configDir_, sim_.tlsPort(), certs_, "other-client", "ca")),
              "client certificate refused");
    {
        SilentListener silent;
        EXPECT_EQ(FailureOfOpen(WriteConfig(configDir_, silent.port(), certs_, "client", "ca"), 2000),
                  "no studio list within 2 s");
    }
    const std::string missing = configDir_ + "/no-such-config.xml";
    const std::string unreadable = FailureOfOpen(missing);
    EXPECT_EQ(unreadable.rfind("configuration unreadable: ", 0), 0u) << unreadable;
    EXPECT_NE(unreadable.find(missing), std::string::npos) << unreadable;
    EXPECT_EQ(sim_.countLines("studio id received"), 0u);
}

TEST_F(LinkDetailTest, ReconnectNowDuringALongPauseConnectsAtOnce) {
    Open("Studio A");
    CMainFrame* frame = app_->GetMainFrame();
    const int tlsPort = sim_.tlsPort();
    const int httpPort = sim_.httpPort();
    manager_->GetSettings().reconnectPauseFirstMs = 30000;
    manager_->GetSettings().reconnectPauseMostMs = 30000;
    EXPECT_TRUE(Until([&] { return manager_->LinkUp(); }));
    EXPECT_NE(Detail().find("Viewer link: up since"), std::string::npos) << Detail();
    EXPECT_FALSE(AfxIsCommandEnabled(frame, ID_FILE_RECONNECT_NOW));

    sim_.stop();
    // The first attempt comes at once and is refused; then a 30 s pause.
    ASSERT_TRUE(Until([&] { return manager_->ReconnectAttempts() == 1 && manager_->CanReconnectNow(); }));
    EXPECT_NE(Detail().find("Viewer link: down since"), std::string::npos) << Detail();
    EXPECT_NE(Detail().find("Attempts since the link was last up: 1"), std::string::npos) << Detail();
    EXPECT_NE(Detail().find("Next attempt: "), std::string::npos) << Detail();
    EXPECT_NE(Detail().find("Last failure: "), std::string::npos) << Detail();
    EXPECT_TRUE(
        Until([&] { return std::string(frame->m_wndStatusBar.GetPaneTip(CMainFrame::kAggrLinkPane)) == Detail(); }));

    SimProcess again;
    ASSERT_TRUE(again.start(SimProcess::testArgs(
        {"--speed", "0", "--tls-port", std::to_string(tlsPort), "--http-port", std::to_string(httpPort)})))
        << again.output() << again.stderrText();
    // The operator clicks the pane and presses "Reconnect now".
    QTest::mouseClick(frame->m_wndStatusBar.GetPaneWidget(CMainFrame::kAggrLinkPane), Qt::LeftButton);
    QFrame* popup = frame->LinkDetailPopup();
    ASSERT_NE(popup, nullptr);
    auto* text = popup->findChild<QLabel*>("linkDetailText");
    ASSERT_NE(text, nullptr);
    EXPECT_NE(text->text().indexOf("Next attempt: "), -1) << text->text().toStdString();
    auto* button = popup->findChild<QPushButton*>("reconnectNow");
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isEnabled());
    button->click();
    // Well inside the 30 s pause.
    EXPECT_TRUE(
        Until([&] { return manager_->LinkUp() && again.countLines("studio id received session=1") == 1; }, 10000));
    EXPECT_EQ(manager_->ReconnectAttempts(), 2);
    EXPECT_TRUE(Until([&] { return manager_->AttemptsSinceUp() == 0; }));
    popup->close();
    app_.reset();
    again.stop();
}

TEST_F(SessionTest, CommandsAreFollowedToAppliedOrNotAppliedAndLogged) {
    Open("Studio A");
    CTallyscopeDoc* main = Documents(*app_)[0];
    CTallyscopeView* view = FirstView(main);
    ASSERT_NE(view, nullptr);
    CListCtrl& list = view->m_list;
    std::string id;
    for (int r = 0; r < list.GetItemCount() && id.empty(); ++r)
        if (list.GetItemImage(r) == kImageTriggerActive) id = list.GetItemText(r, kColumnId).GetString();
    ASSERT_FALSE(id.empty());
    for (int r = 0; r < list.GetItemCount(); ++r) list.SetItemState(r, 0, LVIS_SELECTED);
    for (int r = 0; r < list.GetItemCount(); ++r)
        if (list.GetItemText(r, kColumnId) == id.c_str()) list.SetItemState(r, LVIS_SELECTED, LVIS_SELECTED);
    ASSERT_GE(view->QuorCommandRow(), 0);
    const CCommandJournal& journal = app_->GetCommandJournal();

    // Sent, then applied once the simulator's "Update" refetched the list.
    view->OnQuorTriggerOff();
    ASSERT_EQ(journal.Records().size(), 1u);
    EXPECT_TRUE(Until([&] { return journal.Find(1)->state == CommandState::Applied; }));
    EXPECT_TRUE(SimSaw("command applied session=1 command=NoQuorTrigger"));
    EXPECT_GE(journal.Find(1)->roundTripMs, 0);
    EXPECT_STREQ(journal.Find(1)->studio, "Studio A");
    EXPECT_STREQ(journal.Find(1)->eventId, id.c_str());
    const CCommandsPanel& panel = app_->GetMainFrame()->m_commands;
    ASSERT_EQ(panel.RowCount(), 1);
    EXPECT_EQ(panel.Text(0, CCommandsPanel::kEvent).toStdString(), id);
    EXPECT_EQ(panel.Text(0, CCommandsPanel::kCommand), "off");
    EXPECT_EQ(panel.Text(0, CCommandsPanel::kStudio), "Studio A");
    EXPECT_TRUE(panel.Text(0, CCommandsPanel::kState).startsWith("applied")) << panel.Text(0, 7).toStdString();
    EXPECT_NE(PaneText(*app_, 0).find(": applied"), std::string::npos) << PaneText(*app_, 0);

    // An event the server does not know: it ignores the command, and three
    // fetches later the viewer says so.
    const std::string playlist = main->m_root.GetAttribute("name").GetValue().GetString();
    CommandOrigin origin;
    origin.url = main->m_url;
    origin.title = "Nobody";
    size_t mark = sim_.lineCount();
    app_->SendEnableQuorTrigger(playlist.c_str(), "EV999999", &origin);
    ASSERT_TRUE(SimSaw("command ignored session=1 reason=unknown-event", mark));
    EXPECT_TRUE(Until([&] { return journal.Find(2)->state == CommandState::Sent; }));
    for (int i = 0; i < 6 && journal.Find(2)->state == CommandState::Sent; ++i) {
        mark = sim_.lineCount();
        ASSERT_TRUE(sim_.send("update STA-01"));
        ASSERT_TRUE(SimSaw("notify Update", mark));
        EXPECT_TRUE(Until([&] { return sim_.countLines("http method=\"GET\"", mark) >= 2; }));
        EXPECT_TRUE(apptest::WaitForFetches(*app_));
    }
    EXPECT_EQ(journal.Find(2)->state, CommandState::NotApplied);
    EXPECT_EQ(journal.Find(2)->fetchesSeen, CCommandJournal::kFetchesBeforeGivingUp);
    EXPECT_EQ(panel.Text(1, CCommandsPanel::kState), "not applied");

    // While the link is down: not sent, and nothing goes out later.
    sim_.stop();
    // Until an idle pass has seen the link go.
    ASSERT_TRUE(Until([&] { return !manager_->LinkUp() && manager_->AggrDownSince().isValid(); }));
    app_->SendNoQuorTrigger(playlist.c_str(), id.c_str(), &origin);
    EXPECT_EQ(CommandStateText(*journal.Find(3)).toStdString(), "not sent: not connected");
    EXPECT_EQ(PaneText(*app_, 0), "Not connected");

    bool wellFormed = false;
    const std::vector<QJsonObject> lines = LogLines(OperatorLogFile(), &wellFormed);
    EXPECT_TRUE(wellFormed);
    EXPECT_EQ(LoggedStates(lines, 1), (std::vector<std::string>{"sent", "applied"}));
    EXPECT_EQ(LoggedStates(lines, 2), (std::vector<std::string>{"sent", "not applied"}));
    EXPECT_EQ(LoggedStates(lines, 3), (std::vector<std::string>{"not sent: not connected"}));
    int linkDown = 0;
    for (const QJsonObject& line : lines) {
        EXPECT_FALSE(line["time"].toString().isEmpty());
        if (line["type"].toString() == "command" && line["number"].toInt() == 1 && line["state"] == "applied") {
            EXPECT_GE(line["roundTripMs"].toInteger(-1), 0);
            EXPECT_EQ(line["values"].toObject()["eventid"].toString().toStdString(), id);
            EXPECT_EQ(line["playlist"].toString().toStdString(), playlist);
        }
        if (line["type"] == "link" && line["link"] == "viewer" && line["state"] == "down") {
            ++linkDown;
            EXPECT_FALSE(line["reason"].toString().isEmpty());
        }
    }
    EXPECT_EQ(linkDown, 1);
}

TEST_F(SessionTest, AnUnwritableLogIsReportedOnceAndTheViewerGoesOn) {
    // The log's file is a full disk: every write fails.
    const std::string folder = stateHome_ + "/tallyscope";
    ASSERT_TRUE(::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST);
    ASSERT_EQ(::symlink("/dev/full", OperatorLogFile().c_str()), 0);
    int failures = 0;
    COperatorLog& log = app_->GetOperatorLog();
    const auto shown = log.m_onFailure;
    ASSERT_TRUE(shown);
    log.m_onFailure = [&failures, shown](const QString& line) {
        ++failures;
        shown(line);
    };
    Open("Studio A");
    // The session's first line (the link up) failed, and the pane says so.
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(PaneText(*app_, 0).rfind("Operator log cannot be written: " + OperatorLogFile() + ": ", 0), 0u)
        << PaneText(*app_, 0);
    CTallyscopeDoc* main = Documents(*app_)[0];
    const std::string playlist = main->m_root.GetAttribute("name").GetValue().GetString();
    CommandOrigin origin;
    origin.url = main->m_url;
    app_->SendNoQuorTrigger(playlist.c_str(), "EV000107", &origin);
    EXPECT_TRUE(Until([&] { return app_->GetCommandJournal().Find(1)->state == CommandState::Applied; }));
    EXPECT_TRUE(SimSaw("command applied session=1 command=NoQuorTrigger"));
    // Every later line failed too, without another report.
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(log.LinesWritten(), 0);
    EXPECT_TRUE(manager_->LinkUp());
}

TEST_F(SessionTest, WithConfirmationOnTheOperatorIsAskedAndNoSendsNothing) {
    ASSERT_TRUE(app_->WriteProfileString("Commands", "Confirm", "1"));
    Open("Studio A");
    CTallyscopeDoc* main = Documents(*app_)[0];
    CTallyscopeView* view = FirstView(main);
    ASSERT_NE(view, nullptr);
    CListCtrl& list = view->m_list;
    for (int r = 0; r < list.GetItemCount(); ++r) list.SetItemState(r, 0, LVIS_SELECTED);
    for (int r = 0; r < list.GetItemCount(); ++r)
        if (list.GetItemText(r, kColumnId) == "EV000107") list.SetItemState(r, LVIS_SELECTED, LVIS_SELECTED);
    ASSERT_GE(view->QuorCommandRow(), 0);
    std::vector<std::string> asked;
    int answer = IDNO;
    guitest::ScopedModalHook hook([&](CModalRun& run) {
        EXPECT_EQ(run.kind, CModalRun::MessageBox);
        asked.emplace_back(run.text.GetString());
        return answer;
    });
    const size_t mark = sim_.lineCount();
    view->OnQuorTriggerOff();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0],
              "Switch off the trigger of EV000107 'Business Report' in StudioA-Main?\n\n"
              "The trigger is off now; its Quor server is 192.168.10.23.");
    // No: nothing recorded, nothing sent.
    EXPECT_TRUE(app_->GetCommandJournal().Records().empty());
    answer = IDYES;
    view->OnQuorTriggerOn();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].rfind("Switch on the trigger of EV000107 'Business Report' in StudioA-Main?", 0), 0u);
    EXPECT_TRUE(SimSaw("command applied session=1 command=EnableQuorTrigger", mark));
    EXPECT_EQ(sim_.countLines("command received", mark), 1u);
    ASSERT_EQ(app_->GetCommandJournal().Records().size(), 1u);
    EXPECT_TRUE(Until([&] { return app_->GetCommandJournal().Find(1)->state == CommandState::Applied; }));
}

TEST_F(SessionTest, TheStudioLinkDetailNamesTheLastKeywordAndWhenItCame) {
    Open("Studio A");
    std::string detail = manager_->StudioLinkDetail().GetString();
    EXPECT_NE(detail.find("Studio link: up since "), std::string::npos) << detail;
    EXPECT_NE(detail.find("Last keyword: none since the session started"), std::string::npos) << detail;
    ASSERT_TRUE(sim_.send("studio STA-01 down"));
    EXPECT_TRUE(Until([&] { return !manager_->StudioLinkUp(); }));
    detail = manager_->StudioLinkDetail().GetString();
    EXPECT_NE(detail.find("Studio link: down since "), std::string::npos) << detail;
    EXPECT_NE(detail.find("Last keyword: StudioDisconnected at "), std::string::npos) << detail;
    EXPECT_NE(detail.find("Studio: Studio A"), std::string::npos) << detail;
    EXPECT_TRUE(Until([&] {
        return std::string(app_->GetMainFrame()->m_wndStatusBar.GetPaneTip(CMainFrame::kStudioLinkPane)) == detail;
    }));
    // The viewer's link gone: the studio's state cannot be known.
    sim_.stop();
    EXPECT_TRUE(Until([&] { return !manager_->LinkUp(); }));
    detail = manager_->StudioLinkDetail().GetString();
    EXPECT_NE(detail.find("unknown while the viewer's link is down"), std::string::npos) << detail;
    EXPECT_NE(detail.find("Last known: down"), std::string::npos) << detail;
}
