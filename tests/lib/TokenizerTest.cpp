#include "tarn/Tokenizer.h"

#include <gtest/gtest.h>

using tarn::Tokenizer;

TEST(Tokenizer, EveryDelimiterSeparatesTwoTokens) {
    Tokenizer two("a,b", ',');
    ASSERT_EQ(2, two.getCount());
    EXPECT_STREQ("a", two.getToken(0));
    EXPECT_STREQ("b", two.getToken(1));
    EXPECT_STREQ("no tokens", two.getToken(2));
    EXPECT_STREQ("no tokens", two.getToken(-1));

    Tokenizer empties("a,,b,", ',');
    ASSERT_EQ(4, empties.getCount());
    EXPECT_STREQ("", empties.getToken(1));
    EXPECT_STREQ("b", empties.getToken(2));
    EXPECT_STREQ("", empties.getToken(3));

    Tokenizer none("", ',');
    ASSERT_EQ(1, none.getCount());
    EXPECT_STREQ("", none.getToken(0));
}

TEST(Tokenizer, NullTextAndZeroDelimiter) {
    Tokenizer null(nullptr, ',');
    ASSERT_EQ(1, null.getCount());
    EXPECT_STREQ("", null.getToken(0));
    Tokenizer whole("a,b", '\0');
    ASSERT_EQ(1, whole.getCount());
    EXPECT_STREQ("a,b", whole.getToken(0));
}

TEST(Tokenizer, CopiesOwnTheirTokens) {
    auto* original = new Tokenizer("x y z", ' ');
    Tokenizer copy(*original);
    Tokenizer assigned("q", ' ');
    assigned = *original;
    delete original;
    ASSERT_EQ(3, copy.getCount());
    ASSERT_EQ(3, assigned.getCount());
    EXPECT_STREQ("z", copy.getToken(2));
    EXPECT_STREQ("y", assigned.getToken(1));
    Tokenizer& same = assigned;
    assigned = same;
    EXPECT_STREQ("x", assigned.getToken(0));
}
