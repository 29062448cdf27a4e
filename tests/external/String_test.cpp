#include "external/String.h"

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

TEST(String, PayloadConstructorTakesExactlyCountBytes) {
    const char frame[] = {'U', 'p', 'd', 'a', 't', 'e', 'X', 'Y'};  // no terminator
    String s(frame, 6);
    EXPECT_EQ(6, s.Length());
    EXPECT_STREQ("Update", s);
    EXPECT_EQ(0, s.Compare("Update"));

    EXPECT_EQ(0, String(frame, 0).Length());
    EXPECT_EQ(0, String(frame, -3).Length());
    EXPECT_EQ(0, String(nullptr, 5).Length());
    EXPECT_STREQ("", String(static_cast<const char*>(nullptr)));
}

TEST(String, FormatReplacesContentAndHandlesLongResults) {
    String s("old text");
    s.Format("%d-%s", 42, "x");
    EXPECT_STREQ("42-x", s);

    const std::string big(5000, 'q');
    s.Format("<%s>", big.c_str());
    EXPECT_EQ(5002, s.Length());
    EXPECT_EQ('<', s.GetString()[0]);
    EXPECT_EQ('>', s.GetString()[5001]);

    s.Format("%s", "");
    EXPECT_EQ(0, s.Length());
}

TEST(String, FormatMayUseItsOwnText) {
    String s("abc");
    s.Format("%s!%s", s.GetString(), s.GetString());
    EXPECT_STREQ("abc!abc", s);

    // Long enough to take the two-pass path.
    String longer(std::string(300, 'z').c_str());
    longer.Format("[%s]", static_cast<const char*>(longer));
    EXPECT_EQ(302, longer.Length());
    EXPECT_EQ(std::string("[") + std::string(300, 'z') + "]", std::string(longer));

    String self("keep");
    self = self.GetString();
    EXPECT_STREQ("keep", self);
}

TEST(String, AppendingKeepsEarlierText) {
    String s("8");
    s += '/';
    s += "30";
    s += static_cast<const char*>(nullptr);
    s += String("/2002");
    EXPECT_STREQ("8/30/2002", s);
    s += s;  // its own text
    EXPECT_STREQ("8/30/20028/30/2002", s);
    EXPECT_EQ(18, s.Length());
}

TEST(String, CompareIsAnExactEqualityTest) {
    String s("Running");
    EXPECT_EQ(0, s.Compare("Running"));
    EXPECT_NE(0, s.Compare("running"));
    EXPECT_NE(0, s.Compare("Running "));
    EXPECT_NE(0, s.Compare("Run"));
    EXPECT_EQ(0, String().Compare(nullptr));
    EXPECT_NE(0, s.Compare(nullptr));
}

TEST(String, EqualityComparesTextNotPointers) {
    String a("same");
    String b("same");
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(a == "same");
    EXPECT_TRUE("same" == a);
    EXPECT_FALSE(a == "other");
    EXPECT_TRUE(a != String("other"));
}

TEST(String, ToIntReadsLikeAtoiAndClamps) {
    struct Case {
        const char* text;
        int value;
    };
    const std::vector<Case> cases = {
        {"42", 42},
        {"-17", -17},
        {"+5", 5},
        {"08", 8},
        {"  12abc", 12},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"+-3", 0},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"2147483648", INT_MAX},
        {"99999999999999999999", INT_MAX},
        {"-99999999999999999999", INT_MIN},
        {"12 34", 12},
        {"\t-0009x", -9},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.value, String(c.text).ToInt()) << '"' << c.text << '"';
        EXPECT_EQ(c.value, TextToInt(c.text)) << '"' << c.text << '"';
    }
    EXPECT_EQ(0, TextToInt(nullptr));
    // Only the C locale's white space is skipped.
    EXPECT_EQ(0, String("\xA0"
                        "5")
                     .ToInt());
}

TEST(String, ReverseFindAndRightGiveTheUrlTail) {
    const String url("http://127.0.0.1:8080/playlists/studio-a-main.xml");
    const int slash = url.ReverseFind('/');
    EXPECT_EQ(31, slash);
    EXPECT_STREQ("/studio-a-main.xml", url.Right(url.Length() - slash));

    EXPECT_EQ(-1, url.ReverseFind('#'));
    EXPECT_EQ(-1, String().ReverseFind('/'));
    EXPECT_EQ(0, String("/x").ReverseFind('/'));
}

TEST(String, RightClampsItsCount) {
    const String s("abcdef");
    EXPECT_STREQ("def", s.Right(3));
    EXPECT_STREQ("abcdef", s.Right(6));
    EXPECT_STREQ("abcdef", s.Right(100));
    EXPECT_STREQ("", s.Right(0));
    EXPECT_STREQ("", s.Right(-4));
    EXPECT_STREQ("", s.Right(INT_MIN));
    // A URL without any "/": the whole text minus (-1) asks for one more than
    // there is, which is clamped.
    const String bare("noslash");
    EXPECT_STREQ("noslash", bare.Right(bare.Length() - bare.ReverseFind('/')));
}

namespace {
std::vector<std::string> Collect(StringList& list) {
    std::vector<std::string> out;
    for (POSITION pos = list.GetHeadPosition(); pos != nullptr;) out.emplace_back(list.GetNext(pos).GetString());
    return out;
}
}  // namespace

TEST(StringList, EmptyListHasNoHeadPosition) {
    StringList list;
    EXPECT_EQ(nullptr, list.GetHeadPosition());
    EXPECT_TRUE(list.IsEmpty());
    POSITION pos = nullptr;
    EXPECT_THROW(list.GetNext(pos), std::out_of_range);
}

TEST(StringList, WalkVisitsInOrderAndPositionBecomesNullAfterTheLast) {
    StringList list;
    list.AddTail("Studio A");
    list.AddTail("Studio B");
    list.AddTail("Studio A");
    EXPECT_EQ(3, list.GetCount());

    POSITION pos = list.GetHeadPosition();
    ASSERT_NE(nullptr, pos);
    EXPECT_STREQ("Studio A", list.GetNext(pos));
    ASSERT_NE(nullptr, pos);
    EXPECT_STREQ("Studio B", list.GetNext(pos));
    ASSERT_NE(nullptr, pos);
    list.GetNext(pos) = "changed";  // the stored element itself
    EXPECT_EQ(nullptr, pos);
    EXPECT_EQ((std::vector<std::string>{"Studio A", "Studio B", "changed"}), Collect(list));
    EXPECT_THROW(list.GetNext(pos), std::out_of_range);
}

TEST(StringList, CopyAndMoveAreDeep) {
    StringList original;
    original.AddTail("one");
    original.AddTail("two");

    StringList copy(original);
    POSITION pos = copy.GetHeadPosition();
    copy.GetNext(pos) = "changed";
    copy.AddTail("three");
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), Collect(original));
    EXPECT_EQ((std::vector<std::string>{"changed", "two", "three"}), Collect(copy));

    StringList assigned;
    assigned.AddTail("dropped");
    assigned = original;
    assigned = assigned;  // self-assignment keeps the content
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), Collect(assigned));

    StringList moved(std::move(copy));
    EXPECT_EQ(3, moved.GetCount());
    moved.AddTail("four");  // the tail moved along with the head
    EXPECT_EQ((std::vector<std::string>{"changed", "two", "three", "four"}), Collect(moved));

    original.RemoveAll();
    EXPECT_EQ(nullptr, original.GetHeadPosition());
    original.AddTail("fresh");
    EXPECT_EQ((std::vector<std::string>{"fresh"}), Collect(original));
}

TEST(StringList, LongListIsDestroyedWithoutRecursion) {
    StringList list;
    for (int i = 0; i < 200000; ++i) list.AddTail("x");
    EXPECT_EQ(200000, list.GetCount());
}
