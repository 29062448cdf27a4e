#include "tarn/TarnString.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <thread>
#include <vector>

using tarn::TarnString;

TEST(TarnStringConstruction, CapacitiesAndTexts) {
    TarnString empty;
    EXPECT_STREQ("", empty.c_str());
    EXPECT_EQ(33, empty.capacity());
    EXPECT_STREQ("", TarnString('\0').c_str());
    TarnString x('x');
    EXPECT_STREQ("x", x.c_str());
    EXPECT_EQ(33, x.capacity());
    EXPECT_EQ(11, TarnString(10).capacity());
    EXPECT_STREQ("abc", TarnString("abcdef", 3).c_str());
    TarnString shortText("ab", 5);
    EXPECT_STREQ("ab", shortText.c_str());
    EXPECT_EQ(6, shortText.capacity());
    EXPECT_STREQ("", TarnString(static_cast<const char*>(nullptr)).c_str());
}

TEST(TarnStringSharing, CopiesShareUntilOneChanges) {
    TarnString s("hello");
    TarnString t(s);
    EXPECT_EQ(s.c_str(), t.c_str());
    EXPECT_EQ(2, s.refCount());
    t.append(TarnString(" world"));
    EXPECT_STREQ("hello", s.c_str());
    EXPECT_STREQ("hello world", t.c_str());
    EXPECT_EQ(1, s.refCount());
    EXPECT_EQ(1, t.refCount());
}

TEST(TarnStringSharing, AssignmentSharesAndReleases) {
    TarnString s("one");
    TarnString t("two");
    t = s;
    EXPECT_EQ(s.c_str(), t.c_str());
    EXPECT_EQ(2, s.refCount());
    t = TarnString("three");
    EXPECT_EQ(1, s.refCount());
    TarnString& same = s;
    s = same;
    EXPECT_STREQ("one", s.c_str());
    EXPECT_EQ(1, s.refCount());
}

TEST(TarnStringSharing, InPlaceChangesAreSeenByEverySharer) {
    TarnString s("MiXed");
    TarnString t(s);
    t.toUpper();
    EXPECT_STREQ("MIXED", s.c_str());
    s.toLower();
    EXPECT_STREQ("mixed", t.c_str());
    t[0] = 'b';
    EXPECT_STREQ("bixed", s.c_str());
}

TEST(TarnStringSharing, FormatMakesThePrivateCopyFirst) {
    TarnString s("keep");
    TarnString t(s);
    t.format("%d", 42);
    EXPECT_STREQ("keep", s.c_str());
    EXPECT_STREQ("42", t.c_str());
}

TEST(TarnStringSharing, ConcurrentCopiesKeepTheCountExact) {
    TarnString s("shared between threads");
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&s] {
            for (int k = 0; k < 20000; ++k) {
                TarnString copy(s);
                TarnString other;
                other = copy;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(1, s.refCount());
    EXPECT_STREQ("shared between threads", s.c_str());
}

TEST(TarnStringAppend, GrowsToExactSizeAndKeepsText) {
    TarnString s("abc");
    s.append(TarnString("de"));
    EXPECT_STREQ("abcde", s.c_str());
    EXPECT_EQ(3 + 2 + 2, s.capacity());
    EXPECT_STREQ("abcde!", (s + TarnString("!")).c_str());
    EXPECT_STREQ("abcde", s.c_str());
}

TEST(TarnStringAppend, SelfAppendKeepsTheText) {
    TarnString s("ab");
    s.append(s);
    EXPECT_STREQ("abab", s.c_str());
    s.append(s);
    EXPECT_STREQ("abababab", s.c_str());
    TarnString t(s);
    t.append(s);  // a different string sharing the same buffer
    EXPECT_STREQ("abababababababab", t.c_str());
    EXPECT_STREQ("abababab", s.c_str());
}

TEST(TarnStringFormat, CapacityGrowsByDoublingPlusOne) {
    TarnString s;
    s.format("%s", std::string(32, 'a').c_str());
    EXPECT_EQ(33, s.capacity());
    EXPECT_EQ(32, s.length());
    s.format("%s", std::string(33, 'b').c_str());
    EXPECT_EQ(67, s.capacity());
    EXPECT_EQ(std::string(33, 'b'), s.c_str());
    s.format("%s", std::string(200, 'c').c_str());
    EXPECT_EQ(271, s.capacity());
    EXPECT_EQ(200, s.length());
    s.format("x");
    EXPECT_EQ(271, s.capacity()) << "the capacity never shrinks";
    EXPECT_STREQ("x", s.c_str());
}

TEST(TarnStringFormat, ArgumentsMayPointIntoTheOwnText) {
    TarnString s("abc");
    s.format("%s!%s", s.c_str(), s.c_str());
    EXPECT_STREQ("abc!abc", s.c_str());
    TarnString big(std::string(40, 'z').c_str());
    big.format("[%s]", big.c_str());  // needs growth, too
    EXPECT_EQ("[" + std::string(40, 'z') + "]", big.c_str());
}

TEST(TarnStringFormat, OutputThatCanNeverFitThrows) {
    TarnString s("before");
    EXPECT_THROW(s.format("%*d", 300 * 1024 * 1024, 1), std::bad_alloc);
    EXPECT_STREQ("", s.c_str());
    s = TarnString("again");
    // An output error (a character the C locale cannot encode) can never fit either.
    EXPECT_THROW(s.format("%lc", static_cast<wint_t>(0xD800)), std::bad_alloc);
    s.format("%s", "after");
    EXPECT_STREQ("after", s.c_str());
}

TEST(TarnStringSearch, FindAndFindNoCase) {
    TarnString text("/o=x/cn=y");
    EXPECT_EQ(5, text.findNoCase(TarnString("CN="), 0));
    EXPECT_EQ(-1, text.find(TarnString("CN="), 0));
    EXPECT_EQ(5, text.find(TarnString("cn="), 0));
    EXPECT_EQ(-1, text.find(TarnString("o="), 2));
    EXPECT_EQ(3, TarnString("abcabc").find(TarnString("abc"), 1));
    EXPECT_EQ(2, TarnString("abc").find(TarnString(""), 2));
    EXPECT_EQ(-1, TarnString("").findNoCase(TarnString(""), 0));
    EXPECT_EQ(0, TarnString("abc").findNoCase(TarnString(""), 0));
    EXPECT_EQ(-1, TarnString("abc").findNoCase(TarnString(""), 3));
    EXPECT_EQ(-1, TarnString("abc").findNoCase(TarnString("abcd"), 0));
    EXPECT_EQ(2, TarnString("xxABx").findNoCase(TarnString("ab"), 1));
    // Starts beyond the text are no match, never a read past its end.
    EXPECT_EQ(-1, TarnString("abc").find(TarnString("a"), 10));
    EXPECT_EQ(-1, TarnString("abc").findNoCase(TarnString("a"), 10));
}

TEST(TarnStringCompare, OrderAndCase) {
    EXPECT_TRUE(TarnString("abc") < TarnString("abd"));
    EXPECT_TRUE(TarnString("abc") > TarnString("ab"));
    EXPECT_TRUE(TarnString("abc") == TarnString("abc"));
    EXPECT_TRUE(TarnString("abc") != TarnString("ABC"));
    EXPECT_EQ(0, TarnString("ABC").compareNoCase(TarnString("abc")));
    EXPECT_LT(TarnString("abc").compareNoCase(TarnString("ABD")), 0);
    EXPECT_TRUE(TarnString("x") == "x");
    // Bytes compare as unsigned, like strcmp.
    EXPECT_TRUE(TarnString("a") < TarnString("\xe9"));
}

TEST(TarnStringSubstring, ReplaceBuildsANewBuffer) {
    TarnString s("abcdefg");
    TarnString sharer(s);
    s.substring(2, 3) = TarnString("XY");
    EXPECT_STREQ("abXYfg", s.c_str());
    EXPECT_EQ(33, s.capacity());
    EXPECT_STREQ("abcdefg", sharer.c_str());
    EXPECT_EQ(1, sharer.refCount());
    TarnString part = TarnString("hello world").substring(6, 5);
    EXPECT_STREQ("world", part.c_str());
    const TarnString constant("constant");
    TarnString c = constant.substring(0, 5);
    EXPECT_STREQ("const", c.c_str());
}

TEST(TarnStringSubstring, LongReplacementAndReplacingByItself) {
    TarnString s(std::string(40, 'a').c_str());
    s.substring(0, 0) = TarnString("bb");
    EXPECT_EQ("bb" + std::string(40, 'a'), s.c_str());
    EXPECT_EQ(43 + 1, s.capacity());
    TarnString self("123");
    self.substring(1, 1) = self;
    EXPECT_STREQ("11233", self.c_str());
}

TEST(TarnStringSubstring, RangesAreClippedToTheText) {
    TarnString s("abc");
    EXPECT_STREQ("bc", static_cast<TarnString>(s.substring(1, 100)).c_str());
    EXPECT_STREQ("", static_cast<TarnString>(s.substring(10, 2)).c_str());
    s.substring(2, 50) = TarnString("Z");
    EXPECT_STREQ("abZ", s.c_str());
    s.substring(-5, 1) = TarnString(">");
    EXPECT_STREQ(">bZ", s.c_str());
}
