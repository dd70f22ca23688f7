// Message boxes and traces of the host stand-in, as scripted and captured by tests.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

class HostDialogTest : public testing::Test {
 protected:
  void SetUp() override { fbsdk_control::SetTraceEcho(false); }
  void TearDown() override { fbsdk_control::SetTraceEcho(true); }
  fbsdk_control::ScopedHostCapture mHost;
};

TEST_F(HostDialogTest, QueuedAnswersAreUsedInOrderAndRecorded) {
  fbsdk_control::QueueMessageBoxAnswers({2, 1});
  EXPECT_EQ(FBMessageBox("Quorve", "Server lost", "Retry", "Cancel", nullptr, 1, 1), 2);
  EXPECT_EQ(FBMessageBox("Second", "Text", "OK"), 1);
  const auto boxes = fbsdk_control::MessageBoxesShown();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].title, "Quorve");
  EXPECT_EQ(boxes[0].message, "Server lost");
  EXPECT_EQ(boxes[0].buttons, (std::vector<std::string>{"Retry", "Cancel"}));
  EXPECT_EQ(boxes[0].defaultButton, 1);
  EXPECT_EQ(boxes[0].scrolled, 1);
  EXPECT_EQ(boxes[0].answer, 2);
  EXPECT_EQ(boxes[1].answer, 1);
}

TEST_F(HostDialogTest, WithoutScriptTheFirstButtonIsPressed) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(FBMessageBox("Title", "Body", "Yes", "No", "Maybe", 3), 1);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_NE(printed.find("Body"), std::string::npos);
  EXPECT_NE(printed.find("Maybe"), std::string::npos);
}

TEST_F(HostDialogTest, HandlerAnswersAfterTheQueueAndCanBeRemoved) {
  fbsdk_control::QueueMessageBoxAnswers({1});
  fbsdk_control::SetMessageBoxHandler([](const fbsdk_control::MessageBoxRecord& box) {
    return static_cast<int>(box.buttons.size());
  });
  EXPECT_EQ(FBMessageBox("a", "b", "1", "2", "3"), 1);
  EXPECT_EQ(FBMessageBox("a", "b", "1", "2", "3"), 3);
  fbsdk_control::SetMessageBoxHandler(nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(FBMessageBox("a", "b", "1", "2", "3"), 1);
  testing::internal::GetCapturedStderr();
}

TEST_F(HostDialogTest, TracesAreCapturedExactlyAsFormatted) {
  FBTrace("Frame Wrong!!\n");
  FBTrace("%s:%d", "port", 3001);
  const auto traces = fbsdk_control::TracesSeen();
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_EQ(traces[0], "Frame Wrong!!\n");
  EXPECT_EQ(traces[1], "port:3001");
  EXPECT_EQ(fbsdk_control::CountTraces("Frame Wrong"), 1u);

  const std::string longText(3000, 'q');
  FBTrace("%s", longText.c_str());
  EXPECT_EQ(fbsdk_control::TracesSeen().back().size(), 2047u);  // 2048 bytes with terminator.
}

TEST_F(HostDialogTest, EchoToStderrFollowsTheSwitch) {
  testing::internal::CaptureStderr();
  FBTrace("hidden\n");
  fbsdk_control::SetTraceEcho(true);
  FBTrace("shown\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "shown\n");
}

TEST_F(HostDialogTest, WaitForTraceSeesTracesFromAnotherThread) {
  std::thread device([] { FBTrace("Device online\n"); });
  EXPECT_TRUE(fbsdk_control::WaitForTrace("online", 10s));
  device.join();
  EXPECT_FALSE(fbsdk_control::WaitForTrace("never traced", 20ms));
}

TEST_F(HostDialogTest, TraceLevelFiltersAndResetClearsEverything) {
  FBTraceWithLevel(kFBALL_TRACE, "verbose\n");
  FBTraceWithLevel(kFBCRITICAL_TRACE, "critical\n");
  EXPECT_EQ(fbsdk_control::TracesSeen(), std::vector<std::string>{"critical\n"});
  fbsdk_control::QueueMessageBoxAnswers({2});
  FBMessageBox("t", "m", "a", "b");
  fbsdk_control::QueueMessageBoxAnswers({2});
  fbsdk_control::ResetHost();
  EXPECT_TRUE(fbsdk_control::TracesSeen().empty());
  EXPECT_TRUE(fbsdk_control::MessageBoxesShown().empty());
  testing::internal::CaptureStderr();
  EXPECT_EQ(FBMessageBox("t", "m", "a", "b"), 1);  // The queued 2 was dropped.
  testing::internal::GetCapturedStderr();
}

}  // namespace
