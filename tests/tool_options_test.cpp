// Every tool's command line goes through its option table: --help prints the usage the table
// makes, naming the tool's doc, and a bad number is refused with the option named instead of
// being read as 0.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "test_files.h"

namespace {

using childtest::ChildProcess;

struct Tool {
  const char* mBinary;
  const char* mUsageStart;
  const char* mDoc;  // the doc its usage names, below the source folder
};

const Tool kTools[] = {
    {KMQ_SERVER_BINARY, "usage: kovrim-motion-server [options]", "docs/motion-server.md"},
    {KMQ_CAPTURE_BINARY, "usage: kovrim-stream-capture [options]", "docs/capture-format.md"},
    {KMQ_LINK_CLIENT_BINARY, "Usage: kovrim-link-client [options]", "docs/link-client.md"},
    {KMQ_PANEL_PICTURE_BINARY, "Usage: kovrim-panel-picture [--plugin PATH]",
     "docs/panel-picture.md"},
    {KMQ_CONTACT_SHEET_BINARY, "usage: kovrim-contact-sheet TAKE.bvh", "docs/contact-sheet.md"},
    {KMQ_BVH_FINGERS_BINARY, "usage: kovrim-bvh-fingers IN.bvh JOINTS OUT.bvh",
     "docs/bvh-fingers.md"},
    {KMQ_HEADLESS_HOST_BINARY, "Usage: kovrim-headless-host [options]", "docs/headless-host.md"},
};

TEST(ToolOptionsTest, EveryToolPrintsItsUsageOnHelp) {
  for (const Tool& tool : kTools) {
    for (const char* help : {"--help", "-h"}) {
      ChildProcess child;
      ASSERT_TRUE(child.Spawn(tool.mBinary, {help})) << tool.mBinary;
      EXPECT_EQ(child.WaitForExit(), 0) << tool.mBinary << " " << help;
      EXPECT_EQ(child.Output().rfind(tool.mUsageStart, 0), 0u) << child.Output();
      EXPECT_NE(child.Output().find("  --help"), std::string::npos) << child.Output();
      EXPECT_NE(child.Output().find(std::string("See ") + tool.mDoc), std::string::npos)
          << child.Output();
    }
    EXPECT_TRUE(kmq_test::FileExists(std::string(KMQ_SOURCE_DIR "/") + tool.mDoc)) << tool.mDoc;
  }
}

TEST(ToolOptionsTest, BadValuesAreRefusedNamingTheOption) {
  struct Case {
    const char* mBinary;
    std::vector<std::string> mArgs;
    std::string mProblem;
  };
  const Case cases[] = {
      // Read with atoi and atof once: a port of 0 and a negative wait.
      {KMQ_LINK_CLIENT_BINARY,
       {"--port", "abc"},
       "--port needs a number from 1 to 65535, not 'abc'"},
      {KMQ_LINK_CLIENT_BINARY, {"--seconds", "-3"}, "--seconds needs a number of seconds"},
      {KMQ_LINK_CLIENT_BINARY, {"--timeout", "soon"}, "--timeout needs a positive number"},
      {KMQ_LINK_CLIENT_BINARY, {"--actor", "first"}, "--actor needs an actor tag"},
      {KMQ_LINK_CLIENT_BINARY, {"--port"}, "--port needs a value"},
      {KMQ_PANEL_PICTURE_BINARY, {"--version", "new"}, "--version needs a host version number"},
      {KMQ_PANEL_PICTURE_BINARY, {"--out"}, "--out needs a value"},
      {KMQ_SERVER_BINARY, {"--drop", "2"}, "--drop needs a probability from 0 to 1"},
      {KMQ_SERVER_BINARY, {"--seed", "-1"}, "--seed needs a whole number"},
      {KMQ_CAPTURE_BINARY, {"--port", "0"}, "--port needs a number from 1 to 65535"},
      {KMQ_CAPTURE_BINARY, {"--server", "[::1]"}, "--server needs HOST:PORT"},
      {KMQ_CONTACT_SHEET_BINARY, {"take.bvh", "--frames", "0"}, "--frames takes a whole number"},
      {KMQ_BVH_FINGERS_BINARY, {"--joints"}, "unknown option '--joints'"},
      {KMQ_HEADLESS_HOST_BINARY, {"--seconds", "5s"}, "--seconds wants a positive number"},
      {KMQ_HEADLESS_HOST_BINARY, {"--silence-ms", "1.5"}, "--silence-ms wants whole milliseconds"},
  };
  for (const Case& c : cases) {
    ChildProcess child;
    ASSERT_TRUE(child.Spawn(c.mBinary, c.mArgs)) << c.mBinary;
    EXPECT_EQ(child.WaitForExit(), 2) << c.mBinary << " " << c.mArgs[0];
    EXPECT_NE(child.Errors().find(c.mProblem), std::string::npos)
        << c.mBinary << " " << c.mArgs[0] << ": " << child.Errors();
  }
}

}  // namespace
