// The sample files and the playlist generator: both must give what the
// viewer reads, or the demo and the load tests show nothing useful.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "external/XMLDoc.h"
#include "model/PlaylistEvent.h"

namespace {

const std::string kSource = TALLYSCOPE_SOURCE_DIR;

CElementNode ParseFile(const std::string& path) {
    CXMLDoc doc;
    CFileXMLSrc source;
    source.SetFilePath(path.c_str());
    doc.Parse(source);
    return doc.GetRootElement();
}

std::vector<PlaylistEvent> ReadAll(const CElementNode& root) {
    std::vector<PlaylistEvent> events;
    for (CElementNode e = FirstPlaylistEvent(root); !e.IsNull(); e = e.GetNextSibling())
        events.push_back(ReadPlaylistEvent(e));
    return events;
}

// Runs a shell command with a bounded output and gives its exit status.
int RunShell(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[65536];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0 && output->size() < (64u << 20)) output->append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string LastSegment(const std::string& url) { return url.substr(url.rfind('/') + 1); }

}  // namespace

TEST(Samples, StudioListHasTheCasesTheSessionMustHandle) {
    const CElementNode root = ParseFile(kSource + "/samples/studios.xml");
    ASSERT_FALSE(root.IsNull());
    std::vector<std::string> names;
    std::set<std::string> ids;
    int withoutPlaylists = 0;
    for (CElementNode studio = root.GetFirstChild(); !studio.IsNull(); studio = studio.GetNextSibling()) {
        names.emplace_back(studio["name"].GetValue().GetString());
        ids.insert(studio["id"].GetValue().GetString());
        EXPECT_FALSE(studio["id"].GetValue().IsEmpty());
        if (studio.GetFirstChild().IsNull()) ++withoutPlaylists;
        for (CElementNode p = studio.GetFirstChild(); !p.IsNull(); p = p.GetNextSibling()) {
            const std::string url = p["url"].GetValue().GetString();
            EXPECT_EQ(0u, url.rfind("http://", 0)) << url;
            EXPECT_FALSE(p["name"].GetValue().IsEmpty());
            // Every URL names a sample playlist that parses.
            EXPECT_FALSE(ParseFile(kSource + "/samples/playlists/" + LastSegment(url)).IsNull()) << url;
        }
    }
    EXPECT_GE(names.size(), 2u);
    EXPECT_LE(names.size(), 3u);
    EXPECT_EQ(names.size(), ids.size());
    EXPECT_GE(withoutPlaylists, 1);
    EXPECT_LT(std::set<std::string>(names.begin(), names.end()).size(), names.size());  // a shared name
}

TEST(Samples, PlaylistsCoverEveryImageAndARunningEvent) {
    std::set<int> images;
    int running = 0;
    for (const char* file : {"studio-a-main.xml", "studio-a-backup.xml", "studio-a-shadow.xml"}) {
        const CElementNode root = ParseFile(kSource + "/samples/playlists/" + file);
        ASSERT_FALSE(root.IsNull()) << file;
        EXPECT_FALSE(ReadPlaylistName(root).IsEmpty()) << file;
        EXPECT_TRUE(ReadPlaylistClock(root).has_value()) << file;
        const std::vector<PlaylistEvent> events = ReadAll(root);
        EXPECT_FALSE(events.empty()) << file;
        for (const PlaylistEvent& e : events) {
            images.insert(e.ImageIndex());
            if (e.IsRunning()) ++running;
            EXPECT_FALSE(e.eventId.IsEmpty()) << file;
            EXPECT_NE(Timecode(), e.duration) << file;
        }
    }
    EXPECT_EQ((std::set<int>{0, 1, 2, 3}), images);
    EXPECT_GE(running, 1);
}

TEST(MakePlaylist, WritesAWellFormedPlaylistOfNEvents) {
    std::string xml;
    ASSERT_EQ(0, RunShell(kSource + "/scripts/make-playlist 25 'A & <B>'", &xml));
    CXMLDoc doc;
    CMemXMLSrc source;
    source.SetMemPtr(xml.c_str());
    ASSERT_TRUE(doc.Parse(source));
    const CElementNode root = doc.GetRootElement();
    EXPECT_STREQ("A & <B>", ReadPlaylistName(root));
    EXPECT_TRUE(ReadPlaylistClock(root).has_value());

    const std::vector<PlaylistEvent> events = ReadAll(root);
    ASSERT_EQ(25u, events.size());
    std::set<std::string> ids;
    std::set<int> images;
    int running = 0;
    for (const PlaylistEvent& e : events) {
        ids.insert(e.eventId.GetString());
        images.insert(e.ImageIndex());
        if (e.IsRunning()) ++running;
    }
    EXPECT_EQ(25u, ids.size());
    EXPECT_EQ((std::set<int>{0, 1, 2, 3}), images);
    EXPECT_EQ(1, running);
    EXPECT_TRUE(events[2].IsRunning());
}

TEST(MakePlaylist, ZeroEventsLeavesOnlyTheClockAndBadCountsAreRefused) {
    std::string xml;
    ASSERT_EQ(0, RunShell(kSource + "/scripts/make-playlist 0", &xml));
    CXMLDoc doc;
    CMemXMLSrc source;
    source.SetMemPtr(xml.c_str());
    ASSERT_TRUE(doc.Parse(source));
    EXPECT_TRUE(ReadPlaylistClock(doc.GetRootElement()).has_value());
    EXPECT_TRUE(FirstPlaylistEvent(doc.GetRootElement()).IsNull());

    for (const char* bad : {"", "-3", "ten", "1e3", "999999999999"}) {
        std::string ignored;
        EXPECT_NE(0, RunShell(kSource + "/scripts/make-playlist '" + bad + "' 2>/dev/null", &ignored)) << bad;
        EXPECT_TRUE(ignored.empty()) << bad;
    }
}
