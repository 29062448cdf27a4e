// Playlist texts and helpers shared by the playlist document and view tests.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "app/ChildFrm.h"
#include "app/TallyscopeDoc.h"
#include "app/TallyscopeView.h"
#include "framework/DocTemplate.h"

namespace apptest {

struct EventSpec {
    std::string id;
    std::string segment = "10";
    std::string status = "Standby";
    bool active = false;
    bool sent = false;
    int durationSeconds = 30;
};

inline std::string PlaylistXml(const std::vector<EventSpec>& events, const std::string& name = "Main",
                               int clockSecond = 40) {
    std::string xml = "<?xml version=\"1.0\"?>\n<Playlist name=\"" + name +
                      "\"><Clock><Date year=\"2002\" month=\"8\" day=\"30\"/><Time hh=\"17\" mm=\"58\" ss=\"" +
                      std::to_string(clockSecond) + "\"/></Clock>\n";
    for (const EventSpec& e : events) {
        xml += "<Event id=\"" + e.id + "\" name=\"Title " + e.id + "\" status=\"" + e.status +
               "\" quorServer=\"10.0.0.1\"><Segment id=\"" + e.segment +
               "\"><OnAir><Date month=\"8\" day=\"30\" year=\"2002\"/><Time hh=\"1\" mm=\"2\" ss=\"3\" ff=\"4\"/>"
               "<Duration hh=\"0\" mm=\"0\" ss=\"" +
               std::to_string(e.durationSeconds) + "\" ff=\"5\"/></OnAir></Segment><QuorTrigger active=\"" +
               (e.active ? "true" : "false") + "\" sent=\"" + (e.sent ? "true" : "false") + "\"/></Event>\n";
    }
    return xml + "</Playlist>\n";
}

// The playlist fixture: a private cache folder for local copies.
class PlaylistTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        // A fresh cache folder per test: copies of earlier tests stay apart.
        cacheHome_ = guitest::MakeTempDir((guitest::GetFolders().root + "/cache-XXXXXX").c_str());
        ::setenv("XDG_CACHE_HOME", cacheHome_.c_str(), 1);
        // And a fresh state folder: each test's operator log is its own.
        stateHome_ = guitest::MakeTempDir((guitest::GetFolders().root + "/state-XXXXXX").c_str());
        ::setenv("XDG_STATE_HOME", stateHome_.c_str(), 1);
    }
    std::string CachePath(const std::string& name) const { return cacheHome_ + "/tallyscope/" + name; }
    std::string OperatorLogFile() const { return stateHome_ + "/tallyscope/operator.log"; }
    std::string cacheHome_;
    std::string stateHome_;
};

// Runs the event loop until no playlist document has a fetch running or
// queued (or ms passed). True when all ended.
inline bool WaitForFetches(CWinApp& app, int ms = 20000) {
    auto idle = [&app] {
        if (app.m_pDocManager == nullptr) return true;
        for (CDocTemplate* t : app.m_pDocManager->GetTemplates())
            for (CDocument* d : t->GetDocuments())
                if (auto* doc = dynamic_cast<CTallyscopeDoc*>(d);
                    doc != nullptr && (doc->FetchRunning() || doc->FetchQueued()))
                    return false;
        return true;
    };
    return guitest::RunLoopUntil(idle, ms);
}

// Opens a playlist by URL and waits for its first fetch to end.
inline CTallyscopeDoc* OpenPlaylist(CWinApp& app, const std::string& url) {
    auto* doc = dynamic_cast<CTallyscopeDoc*>(app.OpenDocumentFile(url.c_str()));
    if (doc != nullptr) WaitForFetches(app);
    return doc;
}

inline CTallyscopeView* FirstView(CDocument* doc) {
    if (doc == nullptr || doc->GetViewCount() == 0) return nullptr;
    return dynamic_cast<CTallyscopeView*>(doc->GetViews().front());
}

inline std::vector<std::string> ColumnTexts(const CListCtrl& list, int column) {
    std::vector<std::string> texts;
    for (int row = 0; row < list.GetItemCount(); ++row) texts.emplace_back(list.GetItemText(row, column).GetString());
    return texts;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace apptest
