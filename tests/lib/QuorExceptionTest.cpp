#include "tarn/QuorException.h"

#include <gtest/gtest.h>

#include <string>

using tarn::QuorException;

TEST(QuorException, MessageAndCodeAreKept) {
    QuorException e(5, "boom");
    EXPECT_STREQ("boom", e.getMessage());
    EXPECT_EQ(5, e.getCode());
    QuorException plain("plain");
    EXPECT_EQ(0, plain.getCode());
}

TEST(QuorException, MissingMessageReadsVoidAndCopiesWithCodeZero) {
    QuorException e(7, nullptr);
    EXPECT_STREQ("*VOID*", e.getMessage());
    EXPECT_EQ(7, e.getCode());
    QuorException copy(e);
    EXPECT_STREQ("*VOID*", copy.getMessage());
    EXPECT_EQ(0, copy.getCode());
}

TEST(QuorException, CopyOwnsItsMessage) {
    auto* original = new QuorException(5, "shared?");
    QuorException copy(*original);
    EXPECT_NE(original->getMessage(), copy.getMessage());
    delete original;
    EXPECT_STREQ("shared?", copy.getMessage());
    EXPECT_EQ(5, copy.getCode());
}

TEST(QuorException, AssignmentCopiesDeeplyAndSurvivesSelfAssignment) {
    QuorException a(1, "first");
    {
        QuorException b(2, "second");
        a = b;
    }
    EXPECT_STREQ("second", a.getMessage());
    EXPECT_EQ(2, a.getCode());
    QuorException& same = a;
    a = same;
    EXPECT_STREQ("second", a.getMessage());
}

TEST(QuorException, ThrownByValueCaughtByReference) {
    try {
        throw QuorException(3, "thrown");
    } catch (const QuorException& e) {
        EXPECT_EQ(std::string("thrown"), e.getMessage());
        EXPECT_EQ(3, e.getCode());
    }
}
