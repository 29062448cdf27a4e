#include "tarn/ConnectedSocket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using DataBuffer = tarn::ConnectedSocket::DataBuffer;

namespace {

std::string contents(const DataBuffer& b) { return std::string(b.data(), static_cast<size_t>(b.length())); }

void append(DataBuffer& b, const std::string& s) {
    ASSERT_GE(b.space(), static_cast<int>(s.size()));
    std::memcpy(b.writePointer(), s.data(), s.size());
    b.advance(static_cast<int>(s.size()));
}

}  // namespace

TEST(DataBuffer, ResetReallocatesOnlyWhenTooSmallAndAlwaysEmpties) {
    DataBuffer b;
    EXPECT_EQ(1024, b.capacity());
    EXPECT_EQ(0, b.length());
    append(b, "hello");
    EXPECT_EQ(1019, b.space());
    const char* before = b.data();
    b.reset(100);
    EXPECT_EQ(0, b.length());
    EXPECT_EQ(1024, b.capacity());
    EXPECT_EQ(before, b.data()) << "large enough: storage kept";
    b.reset(3000);
    EXPECT_EQ(3000, b.capacity()) << "exactly n when it must grow";
    b.reset(-5);
    EXPECT_EQ(3000, b.capacity());
    EXPECT_EQ(0, b.length());
}

TEST(DataBuffer, SizedConstructionNeverGoesBelowTheDefault) {
    EXPECT_EQ(1024, DataBuffer(10).capacity());
    EXPECT_EQ(70004, DataBuffer(70004).capacity());
    EXPECT_EQ(0, DataBuffer(70004).length());
}

TEST(DataBuffer, AdvanceStaysWithinCapacity) {
    DataBuffer b;
    b.advance(1000);
    EXPECT_EQ(1000, b.length());
    EXPECT_EQ(b.data() + 1000, b.writePointer());
    b.advance(100);
    EXPECT_EQ(1024, b.length());
    EXPECT_EQ(0, b.space());
    b.advance(-2000);
    EXPECT_EQ(0, b.length());
}

TEST(DataBuffer, AssignTakesTheLargerLengthAndMayCopyFromItself) {
    DataBuffer b;
    const std::string big(2000, 'x');
    b.assign(big.data(), 2000);
    EXPECT_EQ(2000, b.capacity());
    EXPECT_EQ(big, contents(b));
    b.assign("abc", 3, 5000);
    EXPECT_EQ(5000, b.capacity()) << "room for the larger of k and n";
    EXPECT_EQ("abc", contents(b));
    b.assign("defgh", 5, 2);
    EXPECT_EQ(5000, b.capacity());
    EXPECT_EQ("defgh", contents(b)) << "k bytes copied even when n is smaller";

    DataBuffer self;
    append(self, "0123456789");
    self.assign(self.data() + 4, 6);
    EXPECT_EQ("456789", contents(self)) << "overlapping source";
    self.assign(self.data(), 6, 4096);  // reallocation while the source is the old storage
    EXPECT_EQ(4096, self.capacity());
    EXPECT_EQ("456789", contents(self));
}

TEST(DataBuffer, GrowKeepsBytesAndNeverShrinksBelowLength) {
    DataBuffer b;
    append(b, "keep me");
    b.grow();
    EXPECT_EQ(2048, b.capacity());
    EXPECT_EQ("keep me", contents(b));
    b.grow(952);
    EXPECT_EQ(3000, b.capacity());
    EXPECT_EQ("keep me", contents(b));
    b.grow(-2990);
    EXPECT_EQ(10, b.capacity());
    b.grow(-100);
    EXPECT_EQ(7, b.capacity()) << "not below the length";
    EXPECT_EQ("keep me", contents(b));
    EXPECT_EQ(0, b.space());
}

TEST(DataBuffer, CopiesAreDeepAndKeepTheCapacity) {
    DataBuffer a;
    a.reset(5000);
    append(a, "payload");
    DataBuffer b(a);
    EXPECT_EQ(5000, b.capacity());
    EXPECT_EQ("payload", contents(b));
    EXPECT_NE(a.data(), b.data());
    b.writePointer()[-1] = '!';
    EXPECT_EQ("payload", contents(a));

    DataBuffer c;
    c = b;
    EXPECT_EQ("payloa!", contents(c));
    EXPECT_GE(c.capacity(), 5000);
    c = c;  // self-assignment keeps the contents
    EXPECT_EQ("payloa!", contents(c));
}
