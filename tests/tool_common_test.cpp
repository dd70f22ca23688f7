// The helpers every tool shares: the number reader, text helpers, the atomic file write, the
// file-descriptor owner and the option table.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "atomic_file.h"
#include "json_text.h"
#include "option_table.h"
#include "platform_file.h"
#include "svg_to_png.h"
#include "test_files.h"
#include "tool_text.h"

namespace {

using kmq_test::ReadFile;

bool Exists(const std::string& path) { return static_cast<bool>(std::ifstream(path)); }

TEST(ReadIntegerTest, TakesWholeNumbersInRangeOnly) {
  long value = 7;
  EXPECT_TRUE(kmq::ReadInteger<long>("65535", 0, 65535, &value));
  EXPECT_EQ(value, 65535);
  EXPECT_TRUE(kmq::ReadInteger<long>("-3", -5, 5, &value));
  EXPECT_EQ(value, -3);
  for (const char* bad : {"", "65536", "-1", "12x", " 5", "5 ", "+5", "0x10", "1.5", "1e3",
                          "99999999999999999999999"}) {
    value = 7;
    EXPECT_FALSE(kmq::ReadInteger<long>(bad, 0, 65535, &value)) << bad;
    EXPECT_EQ(value, 7) << "left untouched by " << bad;
  }
  uint64_t count = 0;
  EXPECT_TRUE(kmq::ReadInteger<uint64_t>("18446744073709551615", 0, UINT64_MAX, &count));
  EXPECT_EQ(count, UINT64_MAX);
  EXPECT_FALSE(kmq::ReadInteger<uint64_t>("-1", 0, UINT64_MAX, &count)) << "no wrap-around";
}

TEST(ReadNumberTest, TakesFiniteDecimalNumbersOnly) {
  double value = 0;
  EXPECT_TRUE(kmq::ReadNumber("2.5", &value));
  EXPECT_EQ(value, 2.5);
  EXPECT_TRUE(kmq::ReadNumber("-1e3", &value));
  EXPECT_EQ(value, -1000);
  EXPECT_TRUE(kmq::ReadNumber(".5", &value));
  EXPECT_EQ(value, 0.5);
  for (const char* bad : {"", "abc", "1.5s", " 1", "inf", "nan", "1e999", "0x10", "+1"}) {
    value = 9;
    EXPECT_FALSE(kmq::ReadNumber(bad, &value)) << bad;
    EXPECT_EQ(value, 9) << bad;
  }
}

TEST(ToolTextTest, FormatStemAndPrintf) {
  EXPECT_EQ(kmq::Format(0.25), "0.25");
  EXPECT_EQ(kmq::Format(19000), "19000");
  EXPECT_EQ(kmq::Format(1.0 / 3, 2), "0.33");
  EXPECT_EQ(kmq::Format(1e300, 1).size(), 303u) << "no fixed buffer cuts a long number";
  EXPECT_EQ(kmq::Stem("takes/walk.bvh"), "walk");
  EXPECT_EQ(kmq::Stem("a.b/walk.tar.bvh"), "walk.tar");
  EXPECT_EQ(kmq::Stem("a.b/take"), "take");
  EXPECT_EQ(kmq::Stem("dir/.bvh"), "actor");
  EXPECT_EQ(kmq::Stem(""), "actor");
  EXPECT_EQ(kmq::Printf("%s-%03d", "x", 7), "x-007");
  EXPECT_EQ(kmq::Printf("%s", std::string(5000, 'y').c_str()).size(), 5000u);
}

// JSON requires escaping only the quote, the backslash and bytes below 0x20; DEL is escaped too,
// so that a summary printed on a terminal shows every control character.
TEST(PngPathBesideTest, ReplacesTheNamesExtensionAndNeverAFileToKeep) {
  const struct {
    const char* svg;
    std::vector<std::string> keep;
    const char* png;
  } cases[] = {
      {"take.svg", {"take.bvh"}, "take.png"},
      {"out/panel.svg", {}, "out/panel.png"},
      {"dir.v2/sheet", {}, "dir.v2/sheet.png"},
      {"sheet.drawing", {}, "sheet.png"},
      {"picture.png", {}, ""},         // the SVG itself
      {"walk.svg", {"walk.png"}, ""},  // the take it was drawn from
  };
  for (const auto& c : cases) EXPECT_EQ(kmq::PngPathBeside(c.svg, c.keep), c.png) << c.svg;
}

TEST(JsonStringTest, EscapesQuotesBackslashesAndEveryControlCharacter) {
  EXPECT_EQ(kmq::JsonString("plain text"), "\"plain text\"");
  EXPECT_EQ(kmq::JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(kmq::JsonString(std::string("\x01\n\x1f", 3)), "\"\\u0001\\u000a\\u001f\"");
  EXPECT_EQ(kmq::JsonString(std::string(1, '\0')), "\"\\u0000\"");
  EXPECT_EQ(kmq::JsonString("del\x7f"), "\"del\\u007f\"");
  EXPECT_EQ(kmq::JsonString(" ~"), "\" ~\"") << "printable ASCII stays";
  EXPECT_EQ(kmq::JsonString("h\xc3\xa9"), "\"h\xc3\xa9\"") << "UTF-8 passes as it is";
}

TEST(AtomicFileTest, WritesTheWholeFileAndLeavesNoPart) {
  const std::string path = ::testing::TempDir() + "kmq_atomic_take.txt";
  ASSERT_TRUE(kmq::WriteFileAtomically(path, "old"));
  ASSERT_TRUE(kmq::WriteFileAtomically(path, std::string("new\0text", 8)));
  EXPECT_EQ(ReadFile(path), std::string("new\0text", 8));
  EXPECT_FALSE(Exists(path + ".part"));
  std::remove(path.c_str());
}

TEST(AtomicFileTest, AFailedWriteLeavesNoPart) {
  const std::string missing = ::testing::TempDir() + "kmq_no_such_folder/take.txt";
  EXPECT_FALSE(kmq::WriteFileAtomically(missing, "text"));
  EXPECT_FALSE(Exists(missing + ".part"));
  // A folder where the file should go: the part is written, the move fails and is cleaned up.
  const std::string folder = ::testing::TempDir() + "kmq_atomic_folder";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST, true);
  EXPECT_FALSE(kmq::WriteFileAtomically(folder, "text"));
  EXPECT_FALSE(Exists(folder + ".part"));
  ::rmdir(folder.c_str());
}

bool IsOpenDescriptor(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFdTest, ClosesWhatItOwnsOnceAndNothingItGaveUp) {
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  {
    kmq::UniqueFd reader(pipeEnds[0]);
    kmq::UniqueFd moved(std::move(reader));
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(moved.Get(), pipeEnds[0]);
    kmq::UniqueFd writer(pipeEnds[1]);
    EXPECT_EQ(writer.Release(), pipeEnds[1]);
    EXPECT_FALSE(writer.IsOpen());
  }
  EXPECT_FALSE(IsOpenDescriptor(pipeEnds[0])) << "closed by its owner";
  EXPECT_TRUE(IsOpenDescriptor(pipeEnds[1])) << "released, so left open";
  kmq::UniqueFd last(pipeEnds[1]);
  EXPECT_TRUE(last.Close());
  EXPECT_FALSE(last.IsOpen());
  EXPECT_FALSE(IsOpenDescriptor(pipeEnds[1]));
  EXPECT_TRUE(last.Close()) << "closing an empty owner does nothing";
}

TEST(UniqueFdTest, ResetClosesThePreviousDescriptor) {
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  kmq::UniqueFd owner(pipeEnds[0]);
  owner.Reset(pipeEnds[1]);
  EXPECT_FALSE(IsOpenDescriptor(pipeEnds[0]));
  EXPECT_EQ(owner.Get(), pipeEnds[1]);
}

// A table with one of each kind of row, as a tool would write it.
struct Parsed {
  bool mHelp = false;
  bool mQuiet = false;
  int mPort = 7005;
  double mRate = 0;
  double mProbability = 0;
  uint64_t mSeed = 1;
  std::string mOut = "out.txt";
  bool mLocal = false;
  std::string mLocalFile;
  std::vector<std::string> mOperands;
};

class OptionTableTest : public ::testing::Test {
 protected:
  OptionTableTest() {
    mTable.mIntro = "usage: tool [options] FILE...\n\n";
    mTable.mOperands = true;
    OptionGroup main{"", 16, {}};
    main.mOptions.push_back(kmq::Integer("--port", "N", &mParsed.mPort, 0, 65535, "the port"));
    main.mOptions.push_back(kmq::Positive("--rate", "FPS", &mParsed.mRate, "frames\nper second"));
    main.mOptions.push_back(kmq::Text("--out", "FILE", &mParsed.mOut, "where to",
                                      "{name} needs a file, not '{value}'"));
    main.mOptions.push_back(kmq::Custom(
        "--local", "[FILE]",
        [this](const std::string& value, std::string*) {
          mParsed.mLocal = true;
          mParsed.mLocalFile = value;
          return true;
        },
        "serve FILE here"));
    main.mOptions.back().mValueOptional = true;
    main.mOptions.push_back(kmq::Flag("--quiet", &mParsed.mQuiet, "no lines"));
    main.mOptions.push_back(kmq::HelpFlag(&mParsed.mHelp));
    OptionGroup faults{"Faults:", 20, {}};
    faults.mOptions.push_back(
        kmq::Number("--drop", "P", &mParsed.mProbability, 0, 1, false, "drop with chance P"));
    faults.mOptions.push_back(kmq::Integer("--seed", "N", &mParsed.mSeed, uint64_t{0}, UINT64_MAX,
                                           "seed", "{name} needs a whole number"));
    faults.mOptions.push_back(kmq::SeeAlso("--a-very-long-option X", "still two blanks"));
    mTable.mGroups = {main, faults};
    mTable.mOutro = "\nThe end.\n";
  }

  bool Parse(const std::vector<std::string>& args) {
    mProblem.clear();
    return kmq::ParseOptions(mTable, args, &mParsed.mOperands, &mProblem);
  }

  using OptionGroup = kmq::OptionGroup;
  Parsed mParsed;
  kmq::OptionTable mTable;
  std::string mProblem;
};

TEST_F(OptionTableTest, HandsEveryValueToItsTargetAndKeepsOperandsInOrder) {
  ASSERT_TRUE(Parse({"a.bvh", "--port", "0", "--rate", "2.5", "-", "--out", "o", "--quiet",
                     "--drop", "1", "--seed", "18446744073709551615", "b.bvh"}))
      << mProblem;
  EXPECT_EQ(mParsed.mPort, 0);
  EXPECT_EQ(mParsed.mRate, 2.5);
  EXPECT_EQ(mParsed.mOut, "o");
  EXPECT_TRUE(mParsed.mQuiet);
  EXPECT_EQ(mParsed.mProbability, 1);
  EXPECT_EQ(mParsed.mSeed, UINT64_MAX);
  EXPECT_EQ(mParsed.mOperands, (std::vector<std::string>{"a.bvh", "-", "b.bvh"}));
}

TEST_F(OptionTableTest, RefusesBadMissingAndUnknownWordsWithTheRowsMessage) {
  struct Case {
    std::vector<std::string> mArgs;
    std::string mProblem;
  };
  const Case cases[] = {
      {{"--port", "65536"}, "--port needs a number from 0 to 65535"},
      {{"--port", "x"}, "--port needs a number from 0 to 65535"},
      {{"--port"}, "--port needs a number from 0 to 65535"},
      {{"--rate", "0"}, "--rate needs a positive number"},
      {{"--rate", "-2"}, "--rate needs a positive number"},
      {{"--rate", "fast"}, "--rate needs a positive number"},
      {{"--drop", "1.01"}, "--drop needs a number from 0 to 1"},
      {{"--seed", "-1"}, "--seed needs a whole number"},
      {{"--out", ""}, "--out needs a file, not ''"},
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"--quiet", "-x"}, "unknown option '-x'"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(Parse(c.mArgs)) << c.mArgs[0];
    EXPECT_EQ(mProblem, c.mProblem);
  }
  EXPECT_EQ(mParsed.mPort, 7005) << "a refused value is not stored";
  mTable.mMissing = "{name} needs a value";
  mTable.mUnknown = "unknown option {name} (see --help)";
  EXPECT_FALSE(Parse({"--port"}));
  EXPECT_EQ(mProblem, "--port needs a value");
  EXPECT_FALSE(Parse({"--what"}));
  EXPECT_EQ(mProblem, "unknown option --what (see --help)");
  mTable.mOperands = false;
  EXPECT_FALSE(Parse({"file.bvh"}));
  EXPECT_EQ(mProblem, "unknown option file.bvh (see --help)");
}

TEST_F(OptionTableTest, AnOptionalValueIsTakenOnlyWhenItIsNoOption) {
  ASSERT_TRUE(Parse({"--local", "--quiet"})) << mProblem;
  EXPECT_TRUE(mParsed.mLocal);
  EXPECT_EQ(mParsed.mLocalFile, "");
  EXPECT_TRUE(mParsed.mQuiet);
  ASSERT_TRUE(Parse({"--local", "walk.bvh"})) << mProblem;
  EXPECT_EQ(mParsed.mLocalFile, "walk.bvh");
  EXPECT_TRUE(mParsed.mOperands.empty());
}

TEST_F(OptionTableTest, HelpEndsParsingUnderEitherName) {
  ASSERT_TRUE(Parse({"--quiet", "-h", "--frobnicate"}));
  EXPECT_TRUE(mParsed.mHelp);
  mParsed.mHelp = false;
  ASSERT_TRUE(Parse({"--help", "--port", "x"}));
  EXPECT_TRUE(mParsed.mHelp);
  EXPECT_FALSE(Parse({"--port", "x", "--help"})) << "what comes before --help is still parsed";
}

TEST_F(OptionTableTest, UsageListsEveryRowInItsGroupsColumns) {
  EXPECT_EQ(kmq::Usage(mTable),
            "usage: tool [options] FILE...\n"
            "\n"
            "  --port N        the port\n"
            "  --rate FPS      frames\n"
            "                  per second\n"
            "  --out FILE      where to\n"
            "  --local [FILE]  serve FILE here\n"
            "  --quiet         no lines\n"
            "  --help          this text\n"
            "\n"
            "Faults:\n"
            "  --drop P            drop with chance P\n"
            "  --seed N            seed\n"
            "  --a-very-long-option X  still two blanks\n"
            "\n"
            "The end.\n");
}

TEST_F(OptionTableTest, UsageOnlyRowsAreNotParsed) {
  EXPECT_FALSE(Parse({"--a-very-long-option", "X"}));
  EXPECT_EQ(mProblem, "unknown option '--a-very-long-option'");
}

}  // namespace
