// FBString: deep copies, never-null text, concatenation and slicing.
#include <fbsdk/fbsdk.h>
#include <gtest/gtest.h>

#include <string>

namespace {

TEST(HostStringTest, CopiesAreDeepAndIndependent) {
  FBString original("device");
  FBString copy(original);
  FBString assigned;
  assigned = original;
  EXPECT_NE(static_cast<const char*>(copy), static_cast<const char*>(original));
  original = "changed";
  EXPECT_EQ(copy, "device");
  EXPECT_EQ(assigned, "device");
  const FBString& same = assigned;
  assigned = same;  // Self-assignment.
  EXPECT_EQ(assigned, "device");
  assigned = static_cast<const char*>(assigned) + 2;  // Source inside the target.
  EXPECT_EQ(assigned, "vice");
}

TEST(HostStringTest, NullAndEmptyAreSafe) {
  FBString fromNull(nullptr);
  FBString empty;
  EXPECT_TRUE(fromNull.IsEmpty());
  EXPECT_EQ(fromNull.GetLen(), 0u);
  EXPECT_STREQ(static_cast<const char*>(fromNull), "");
  EXPECT_TRUE(empty == static_cast<const char*>(nullptr));
  EXPECT_EQ(empty[5], '\0');
  EXPECT_EQ(empty.Find('a'), -1);
  EXPECT_TRUE(FBString(nullptr, nullptr).IsEmpty());
  empty += nullptr;
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_TRUE(empty.Mid(3, 2).IsEmpty());
}

TEST(HostStringTest, ConcatenationLeavesOperandsIntact) {
  FBString left("Kovrim ");
  FBString joined = left + "Quorve";
  EXPECT_EQ(joined, "Kovrim Quorve");
  EXPECT_EQ(left, "Kovrim ");
  const FBString constant("a");
  EXPECT_EQ(constant + "b", "ab");
  EXPECT_EQ(FBString("ab", "cd"), "abcd");
  FBString self("xy");
  self += self;  // Appending itself must read the old text.
  EXPECT_EQ(self, "xyxy");
  EXPECT_NE(self, "xy");
}

TEST(HostStringTest, MidLeftRightClipToTheText) {
  FBString text("127.0.0.1:3001");
  EXPECT_EQ(text.Mid(4, 3), "0.0");
  EXPECT_EQ(text.Mid(10, 100), "3001");
  EXPECT_EQ(text.Left(3), "127");
  EXPECT_EQ(text.Left(99), "127.0.0.1:3001");
  EXPECT_EQ(text.Right(4), "3001");
  EXPECT_EQ(text.Right(99), "127.0.0.1:3001");
  EXPECT_TRUE(text.Mid(14, 1).IsEmpty());
}

TEST(HostStringTest, FindLocatesFirstAndLastOccurrence) {
  FBString text("a.b.c");
  EXPECT_EQ(text.Find('.'), 1);
  EXPECT_EQ(text.ReverseFind('.'), 3);
  EXPECT_EQ(text.Find('z'), -1);
  EXPECT_EQ(text.Find('\0'), -1);
  EXPECT_EQ(text[4], 'c');
  EXPECT_EQ(std::string(static_cast<char*>(text)), "a.b.c");
}

}  // namespace
