#include "external/XMLDoc.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

CElementNode ParseText(CXMLDoc& doc, const char* text) {
    CMemXMLSrc source;
    source.SetMemPtr(text);
    doc.Parse(source);
    return doc.GetRootElement();
}

std::vector<std::string> ChildNames(const CElementNode& parent) {
    std::vector<std::string> names;
    for (CElementNode c = parent.GetFirstChild(); !c.IsNull(); c = c.GetNextSibling())
        names.emplace_back(c.GetName().GetString());
    return names;
}

// A temporary folder removed with its files at the end of a test.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/xmldoc-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made != nullptr) path_ = made;
    }
    ~TempDir() {
        for (const std::string& f : files_) std::remove(f.c_str());
        if (!path_.empty()) rmdir(path_.c_str());
    }
    std::string Write(const std::string& name, const std::string& content) {
        const std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary) << content;
        files_.push_back(file);
        return file;
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::vector<std::string> files_;
};

const char kPlaylist[] =
    "<?xml version=\"1.0\"?>\n"
    "<Playlist name=\"Main\">\n"
    "  <Clock><Date year=\"2002\" month=\"8\" day=\"30\"/></Clock>\n"
    "  <!-- a comment between events -->\n"
    "  <Event id=\"E1\">text<Segment id=\"7\">inner text</Segment></Event>\n"
    "  <?marker x?>\n"
    "  <Event id=\"E2\"/>\n"
    "</Playlist>\n";

}  // namespace

TEST(XMLDoc, LookupsFindChildrenAttributesAndText) {
    CXMLDoc doc;
    const CElementNode root = ParseText(doc, kPlaylist);
    ASSERT_FALSE(root.IsNull());
    EXPECT_STREQ("Main", root["name"].GetValue());
    EXPECT_STREQ("Main", root.GetAttribute(String("name")).GetValue());
    EXPECT_STREQ("2002", root("Clock")("Date")["year"].GetValue());

    const CElementNode event = root.GetFirstChild().GetNextSibling();
    EXPECT_STREQ("E1", event["id"].GetValue());
    EXPECT_STREQ("7", event("Segment")["id"].GetValue());
    EXPECT_STREQ("inner text", event("Segment").GetValue());
    EXPECT_STREQ("text", event.GetValue());
}

TEST(XMLDoc, SiblingWalkVisitsElementsOnly) {
    CXMLDoc doc;
    const CElementNode root = ParseText(doc, kPlaylist);
    EXPECT_EQ((std::vector<std::string>{"Clock", "Event", "Event"}), ChildNames(root));
    // The text before <Segment> is not a child element.
    EXPECT_EQ((std::vector<std::string>{"Segment"}), ChildNames(root.GetFirstChild().GetNextSibling()));

    // A processing instruction carrying a looked-up name is not an element.
    CXMLDoc other;
    const CElementNode r = ParseText(other, "<r><?Segment x?>hello<Segment id=\"s\"/></r>");
    EXPECT_STREQ("s", r("Segment")["id"].GetValue());
}

TEST(XMLDoc, AbsentNodesGiveNullHandlesWithEmptyValues) {
    CXMLDoc doc;
    const CElementNode root = ParseText(doc, kPlaylist);
    const CElementNode missing = root("NoSuchChild");
    EXPECT_TRUE(missing.IsNull());
    EXPECT_STREQ("", missing.GetValue());
    EXPECT_STREQ("", missing.GetName());

    const CAttributeNode noAttr = root["nosuch"];
    EXPECT_TRUE(noAttr.IsNull());
    EXPECT_STREQ("", noAttr.GetValue());

    // Every lookup on a null handle is itself null, however deep.
    const CElementNode deep = missing("A")("B")("C");
    EXPECT_TRUE(deep.IsNull());
    EXPECT_TRUE(deep["x"].IsNull());
    EXPECT_STREQ("", deep["x"].GetValue());
    EXPECT_TRUE(deep.GetFirstChild().IsNull());
    EXPECT_TRUE(deep.GetNextSibling().IsNull());
    EXPECT_TRUE(root(nullptr).IsNull());
    EXPECT_TRUE(root[nullptr].IsNull());

    // The last element's next sibling, and a leaf's first child, are null.
    const CElementNode last = root.GetFirstChild().GetNextSibling().GetNextSibling();
    EXPECT_STREQ("E2", last["id"].GetValue());
    EXPECT_TRUE(last.GetNextSibling().IsNull());
    EXPECT_TRUE(last.GetFirstChild().IsNull());

    const CElementNode defaulted;
    EXPECT_TRUE(defaulted.IsNull());
    EXPECT_STREQ("", defaulted("x")["y"].GetValue());
    const CAttributeNode defaultedAttr;
    EXPECT_TRUE(defaultedAttr.IsNull());
}

TEST(XMLDoc, AttributeValuesInOnePassMatchSingleLookups) {
    CXMLDoc doc;
    const CElementNode root = ParseText(doc, "<r hh=\"1\" ss=\"3\" h=\"short\" hhh=\"long\" mm=\"\" x=\"9\"/>");
    const char* const names[] = {"hh", "mm", "ss", "ff", "hh", "h"};
    const char* values[6] = {};
    root.GetAttributeValues(names, values, 6);
    EXPECT_STREQ("1", values[0]);
    EXPECT_STREQ("", values[1]);  // present and empty
    EXPECT_STREQ("3", values[2]);
    EXPECT_STREQ("", values[3]);       // absent
    EXPECT_STREQ("1", values[4]);      // asked twice
    EXPECT_STREQ("short", values[5]);  // no prefix matching either way
    for (int i = 0; i < 6; ++i) EXPECT_STREQ(root[names[i]].GetValue(), values[i]) << names[i];

    // A null handle gives "" for every name; nothing is written for a
    // count of 0.
    const char* none[2] = {"unset", "unset"};
    root("missing").GetAttributeValues(names, none, 2);
    EXPECT_STREQ("", none[0]);
    EXPECT_STREQ("", none[1]);
    const char* untouched[1] = {"unset"};
    root.GetAttributeValues(names, untouched, 0);
    EXPECT_STREQ("unset", untouched[0]);
}

TEST(XMLDoc, MalformedInputGivesANullRootAndNoPartialTree) {
    const char* const bad[] = {
        "",                         // nothing at all
        "   \n ",                   // white space only
        "<!-- only a comment -->",  // no element
        "<r><a></r>",               // mismatched end tag
        "<r><a x=\"1\"/><b",        // truncated
        "<r/><second/>",            // two document elements
        "<r/><!-- c --><second>x</second>",
        "plain text",
    };
    for (const char* text : bad) {
        CXMLDoc doc;
        CMemXMLSrc source;
        source.SetMemPtr(text);
        EXPECT_FALSE(doc.Parse(source)) << text;
        const CElementNode root = doc.GetRootElement();
        EXPECT_TRUE(root.IsNull()) << text;
        EXPECT_TRUE(root.GetFirstChild().IsNull()) << text;
        EXPECT_STREQ("", root["name"].GetValue()) << text;
    }
}

TEST(XMLDoc, ReparsingDropsTheEarlierTreeButNotItsHandles) {
    CXMLDoc doc;
    const CElementNode first = ParseText(doc, "<r name=\"first\"><c/></r>");
    ASSERT_FALSE(first.IsNull());
    const CElementNode renewed = ParseText(doc, "<r name=\"new\"/>");
    EXPECT_STREQ("new", renewed["name"].GetValue());
    EXPECT_FALSE(first == renewed);
    const CElementNode second = ParseText(doc, "<r><broken></r>");
    EXPECT_TRUE(second.IsNull());
    EXPECT_TRUE(doc.GetRootElement().IsNull());
    // The handle from the first parse still owns its tree.
    EXPECT_STREQ("first", first["name"].GetValue());
    EXPECT_FALSE(first.GetFirstChild().IsNull());
}

TEST(XMLDoc, TreeOutlivesItsDocument) {
    CElementNode root;
    CAttributeNode attr;
    {
        CXMLDoc doc;
        root = ParseText(doc, kPlaylist);
        attr = root("Clock")("Date")["month"];
    }
    // The CXMLDoc is gone; the handles keep the tree alive.
    EXPECT_STREQ("Main", root["name"].GetValue());
    EXPECT_STREQ("8", attr.GetValue());
    EXPECT_EQ((std::vector<std::string>{"Clock", "Event", "Event"}), ChildNames(root));

    // A handle copied from another keeps the tree alive on its own as well.
    CElementNode event;
    {
        const CElementNode copy = root;
        root = CElementNode();
        attr = CAttributeNode();
        event = copy.GetFirstChild().GetNextSibling();
    }
    EXPECT_STREQ("E1", event["id"].GetValue());
}

TEST(XMLDoc, RemoveChildrenEmptiesTheElementOnly) {
    CXMLDoc doc;
    CElementNode root = ParseText(doc, kPlaylist);
    root.RemoveChildren();
    EXPECT_FALSE(root.IsNull());
    EXPECT_TRUE(root.GetFirstChild().IsNull());
    EXPECT_TRUE(root("Clock").IsNull());
    EXPECT_STREQ("Main", root["name"].GetValue());
    EXPECT_STREQ("", root.GetValue());
    // A handle copy sees the same, emptied element.
    EXPECT_TRUE(doc.GetRootElement().GetFirstChild().IsNull());
    CElementNode none;
    none.RemoveChildren();  // on a null handle: nothing happens
    EXPECT_TRUE(none.IsNull());
}

TEST(XMLDoc, NoEntityOrDoctypeExpansion) {
    CXMLDoc doc;
    const CElementNode root = ParseText(doc,
                                        "<!DOCTYPE r [<!ENTITY e \"EXPANDED\"><!ENTITY x SYSTEM \"/etc/passwd\">]>"
                                        "<r a=\"&e;\" b=\"&x;\" c=\"&amp;&lt;&#65;\"/>");
    ASSERT_FALSE(root.IsNull());
    EXPECT_STREQ("&e;", root["a"].GetValue());
    EXPECT_STREQ("&x;", root["b"].GetValue());
    EXPECT_STREQ("&<A", root["c"].GetValue());
}

TEST(XMLDoc, MemorySourceCopiesItsTextAndParsesItsLength) {
    String text("<r v=\"1\"/>");
    CMemXMLSrc source;
    source.SetMemPtr(text);
    text = "<changed/>";
    EXPECT_EQ(CXMLSrc::MemorySource, source.Type());
    CXMLDoc doc;
    EXPECT_TRUE(doc.Parse(source));
    EXPECT_STREQ("1", doc.GetRootElement()["v"].GetValue());

    // A payload taken from a frame by pointer and count parses as it is.
    const char frame[] = "<r v=\"2\"/><r v=\"3\"/>";
    CMemXMLSrc payload;
    payload.SetMemPtr(String(frame, 10));
    EXPECT_TRUE(doc.Parse(payload));
    EXPECT_STREQ("2", doc.GetRootElement()["v"].GetValue());

    source.Close();
    EXPECT_FALSE(doc.Parse(source));
    EXPECT_TRUE(doc.GetRootElement().IsNull());
}

TEST(XMLDoc, FileSourceReadsFilesAndTreatsOthersAsMissing) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string good = dir.Write("good.xml", kPlaylist);
    const std::string bad = dir.Write("bad.xml", "<Playlist><Clock>");

    CFileXMLSrc source;
    EXPECT_EQ(CXMLSrc::FileSource, source.Type());
    EXPECT_TRUE(source.SetFilePath(good.c_str()));
    CXMLDoc doc;
    EXPECT_TRUE(doc.Parse(source));
    EXPECT_STREQ("Main", doc.GetRootElement()["name"].GetValue());

    EXPECT_TRUE(source.SetFilePath(bad.c_str()));
    EXPECT_FALSE(doc.Parse(source));
    EXPECT_TRUE(doc.GetRootElement().IsNull());

    EXPECT_TRUE(source.SetFilePath(dir.Write("empty.xml", "").c_str()));
    EXPECT_FALSE(doc.Parse(source));

    EXPECT_FALSE(source.SetFilePath((dir.Path() + "/missing.xml").c_str()));
    EXPECT_FALSE(doc.Parse(source));
    EXPECT_FALSE(source.SetFilePath(dir.Path().c_str()));  // a folder
    EXPECT_FALSE(doc.Parse(source));
    EXPECT_FALSE(source.SetFilePath(""));
    EXPECT_FALSE(doc.Parse(source));

    EXPECT_TRUE(source.SetFilePath(good.c_str()));
    source.Close();
    EXPECT_FALSE(doc.Parse(source));
}

TEST(XMLDoc, AZeroByteMakesADocumentMalformedFromAFileAndFromMemory) {
    // An end tag cut short by zero bytes: a parse in place would stop there
    // and take the document for complete.
    static const char kCut[] = "<Config><A/></Config\0\0\0\0\0\0\0\x0f>";
    static const char kInText[] = "<r>a\0b</r>";
    const std::string cut(kCut, sizeof kCut - 1);
    const std::string inText(kInText, sizeof kInText - 1);
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    for (const std::string& text : {cut, inText}) {
        CFileXMLSrc file;
        ASSERT_TRUE(file.SetFilePath(dir.Write("zero.xml", text).c_str()));
        CXMLDoc doc;
        EXPECT_FALSE(doc.Parse(file)) << text.size();
        EXPECT_TRUE(doc.GetRootElement().IsNull());
        CMemXMLSrc memory;
        memory.SetMemPtr(String(text.data(), static_cast<int>(text.size())));
        EXPECT_FALSE(doc.Parse(memory)) << text.size();
    }
}

TEST(XMLDoc, FifoIsNotOpenedForReading) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string fifo = dir.Path() + "/pipe.xml";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    CFileXMLSrc source;
    EXPECT_FALSE(source.SetFilePath(fifo.c_str()));
    CXMLDoc doc;
    EXPECT_FALSE(doc.Parse(source));  // would block for ever if opened
    unlink(fifo.c_str());
}

TEST(XMLDoc, HandlesToOneTreeMayBeCopiedAndDroppedOnSeveralThreads) {
    // Shared ownership across threads: each thread walks the same tree
    // through its own handles while the document and the first handle go.
    CElementNode root;
    {
        CXMLDoc doc;
        std::string text = "<r>";
        for (int i = 0; i < 50; ++i) text += "<e id=\"" + std::to_string(i) + "\"/>";
        text += "</r>";
        root = ParseText(doc, text.c_str());
    }
    std::atomic<int> seen{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([copy = root, &seen] {
            for (int round = 0; round < 20; ++round) {
                int sum = 0;
                for (CElementNode e = copy.GetFirstChild(); !e.IsNull(); e = e.GetNextSibling())
                    sum += e["id"].GetValue().ToInt();
                if (sum == 49 * 50 / 2) seen.fetch_add(1);
            }
        });
    }
    root = CElementNode();
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(60, seen.load());
}
