// The headless host: its options, the take export, and whole sessions in this process against the
// reference server, a port nobody listens on, and scripted peers that offer no actor or never
// send the header.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <gtest/gtest.h>

#include "bvh.h"
#include "headless_host.h"
#include "host_options.h"
#include "host_session.h"
#include "link_test_util.h"
#include "plugin_library.h"
#include "take_export.h"
#include "test_files.h"

namespace {

using kmq_test::FileExists;
using kmq_test::TempPath;

using kmq::BuildClipFromTake;
using kmq::HostOptions;
using kmq::SessionResult;
using kmq::TakeExportOptions;
using kmq::TakeExportStats;
using kmq::TakeJoint;
using kmq::TakeKey;

constexpr double kTicks = 46186158000.0;

TakeKey Key(double seconds, double x, double y, double z) {
  TakeKey key;
  key.mTicks = static_cast<int64_t>(seconds * kTicks);
  key.mValue[0] = x;
  key.mValue[1] = y;
  key.mValue[2] = z;
  return key;
}

// A session with short waits and no console output, writing into the test's temporary folder.
HostOptions QuietOptions(const std::string& outName) {
  HostOptions options = kmq::DefaultHostOptions();
  options.mQuiet = true;
  options.mTimeout = 2;
  options.mSeconds = 1;
  options.mOutPath = TempPath(outName);
  return options;
}

using linktest::FreePort;

// ---- Options ----

TEST(HeadlessHostOptions, DefaultsNameTheBuiltPluginAndTheBundledWalk) {
  const HostOptions options = kmq::DefaultHostOptions();
  EXPECT_NE(options.mPluginPath.find("libKovrimMotionQuorve.so"), std::string::npos);
  EXPECT_NE(options.mBvhPath.find("cmu_12_01_walk.bvh"), std::string::npos);
  EXPECT_FALSE(options.mUseServer);
  EXPECT_EQ(options.mSeconds, 5.0);
  EXPECT_EQ(options.mOutPath, "take.bvh");
  EXPECT_EQ(options.mDisplayRate, 60.0);
  EXPECT_EQ(options.mTimeout, 10.0);
}

TEST(HeadlessHostOptions, ParsesEveryOption) {
  HostOptions options = kmq::DefaultHostOptions();
  bool help = true;
  std::string error;
  ASSERT_TRUE(kmq::ParseHostOptions(
      {"--plugin", "/p.so", "--server", "127.0.0.1:7005", "--bvh", "a.bvh", "--seconds", "2.5",
       "--out", "o.bvh", "--display-rate", "30", "--timeout", "3"},
      &options, &help, &error))
      << error;
  EXPECT_FALSE(help);
  EXPECT_EQ(options.mPluginPath, "/p.so");
  EXPECT_TRUE(options.mUseServer);
  EXPECT_EQ(options.mServerAddress, "127.0.0.1");
  EXPECT_EQ(options.mServerPort, 7005);
  EXPECT_EQ(options.mBvhPath, "a.bvh");
  EXPECT_EQ(options.mSeconds, 2.5);
  EXPECT_EQ(options.mOutPath, "o.bvh");
  EXPECT_EQ(options.mDisplayRate, 30.0);
  EXPECT_EQ(options.mTimeout, 3.0);
  ASSERT_TRUE(kmq::ParseHostOptions({"--help"}, &options, &help, &error));
  EXPECT_TRUE(help);
}

TEST(HeadlessHostOptions, RefusesBadValues) {
  const std::vector<std::vector<std::string>> bad = {{"--server", "localhost"},
                                                     {"--server", "127.0.0.1:0"},
                                                     {"--server", "127.0.0.1:70000"},
                                                     {"--server", ":7005"},
                                                     {"--seconds", "0"},
                                                     {"--seconds", "-1"},
                                                     {"--seconds", "5s"},
                                                     {"--seconds", "1e300"},
                                                     {"--display-rate", "nan"},
                                                     {"--display-rate", "5000"},
                                                     {"--timeout"},
                                                     {"--frobnicate"},
                                                     {"--out", ""}};
  for (const auto& args : bad) {
    HostOptions options = kmq::DefaultHostOptions();
    bool help = false;
    std::string error;
    EXPECT_FALSE(kmq::ParseHostOptions(args, &options, &help, &error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

// ---- Take export ----

// Root "Hips" with a child "Chest" whose end site is "Chest_End"; keys at 0, 0.5 and 1 s.
TakeJoint SmallTake() {
  TakeJoint chestEnd;
  chestEnd.mName = "Chest_End";
  chestEnd.mTranslation = {Key(0, 0, 7, 0), Key(0.5, 0, 7, 0), Key(1, 0, 7, 0)};
  chestEnd.mRotation = {Key(0, 0, 0, 0), Key(0.5, 0, 0, 0), Key(1, 0, 0, 0)};
  TakeJoint chest;
  chest.mName = "Chest";
  chest.mTranslation = {Key(0, 0, 5, 1), Key(0.5, 0, 5, 1), Key(1, 0, 5, 1)};
  // No key at 0.5 s: the value of 0 s is held there.
  chest.mRotation = {Key(0, 10, 20, 30), Key(1, 11, 21, 31)};
  chest.mChildren = {chestEnd};
  TakeJoint hips;
  hips.mName = "Hips";
  hips.mTranslation = {Key(0, 1, 2, 3), Key(0.5, 4, 5, 6), Key(1, 7, 8, 9)};
  hips.mRotation = {Key(0, 1, 2, 3), Key(0.5, 4, 5, 6), Key(1, 7, 8, 9)};
  hips.mChildren = {chest};
  return hips;
}

TEST(TakeExport, WritesJointsEndSitesAndFramesInHostOrder) {
  bvh::Clip clip;
  TakeExportStats stats;
  std::string error;
  ASSERT_TRUE(BuildClipFromTake(SmallTake(), TakeExportOptions(), &clip, &stats, &error)) << error;
  EXPECT_EQ(clip.mRoot.mName, "Hips");
  EXPECT_EQ(clip.mRoot.mChannels,
            (std::vector<int>{bvh::kXposition, bvh::kYposition, bvh::kZposition, bvh::kZrotation,
                              bvh::kYrotation, bvh::kXrotation}));
  ASSERT_EQ(clip.mRoot.mChildren.size(), 1u);
  const bvh::Joint& chest = clip.mRoot.mChildren[0];
  EXPECT_EQ(chest.mName, "Chest");
  EXPECT_EQ(chest.mChannels, (std::vector<int>{bvh::kZrotation, bvh::kYrotation, bvh::kXrotation}));
  EXPECT_EQ(chest.mOffset[1], 5.0);
  EXPECT_EQ(chest.mOffset[2], 1.0);
  EXPECT_TRUE(chest.mChildren.empty());
  EXPECT_TRUE(chest.mHasEndSite);
  EXPECT_EQ(chest.mEndSite[1], 7.0);
  EXPECT_EQ(stats.mJoints, 2);
  EXPECT_EQ(stats.mEndSites, 1);
  EXPECT_EQ(stats.mMovingJoints, 0);
  EXPECT_EQ(stats.mHeldValues, 1);

  ASSERT_EQ(clip.mFrameCount, 3);
  EXPECT_NEAR(clip.mFrameTime, 0.5, 1e-9);
  ASSERT_EQ(clip.mChannelCount, 9);
  // Frame 1: root position, root rotation as Z Y X, then the chest's held rotation as Z Y X.
  const std::vector<float> row(clip.mValues.begin() + 9, clip.mValues.begin() + 18);
  EXPECT_EQ(row, (std::vector<float>{4, 5, 6, 6, 5, 4, 30, 20, 10}));
  EXPECT_TRUE(bvh::ValidateClip(clip, &error)) << error;
}

TEST(TakeExport, FrameTimeIsTheMeanSpacingOfDistinctKeyTimes) {
  TakeJoint root;
  root.mName = "Root";
  for (double t : {0.0, 0.01, 0.03, 0.03, 0.04}) {
    root.mTranslation.push_back(Key(t, 0, 0, 0));
    root.mRotation.push_back(Key(t, 0, 0, 0));
  }
  bvh::Clip clip;
  std::string error;
  ASSERT_TRUE(BuildClipFromTake(root, TakeExportOptions(), &clip, nullptr, &error)) << error;
  EXPECT_EQ(clip.mFrameCount, 4);
  EXPECT_NEAR(clip.mFrameTime, 0.04 / 3, 1e-9);

  TakeJoint single;
  single.mName = "Root";
  single.mRotation = {Key(2, 0, 0, 0)};
  TakeExportOptions options;
  options.mFallbackFrameTime = 0.025;
  ASSERT_TRUE(BuildClipFromTake(single, options, &clip, nullptr, &error)) << error;
  EXPECT_EQ(clip.mFrameCount, 1);
  EXPECT_EQ(clip.mFrameTime, 0.025);
}

TEST(TakeExport, JointWhoseTranslationMovesKeepsPositionChannels) {
  TakeJoint take = SmallTake();
  take.mChildren[0].mTranslation[2].mValue[0] = 3;  // the chest slides
  bvh::Clip clip;
  TakeExportStats stats;
  std::string error;
  ASSERT_TRUE(BuildClipFromTake(take, TakeExportOptions(), &clip, &stats, &error)) << error;
  const bvh::Joint& chest = clip.mRoot.mChildren[0];
  EXPECT_EQ(chest.mChannels.size(), 6u);
  EXPECT_EQ(stats.mMovingJoints, 1);
  EXPECT_EQ(clip.mChannelCount, 12);
  // Last frame: the chest's position channels carry the moved translation.
  EXPECT_EQ(clip.mValues[2 * 12 + 6], 3.0f);
}

TEST(TakeExport, EndSiteNeedsTheParentsNameAndNoChildren) {
  EXPECT_TRUE(kmq::IsEndSiteName("LeftHand_End", "LeftHand"));
  EXPECT_FALSE(kmq::IsEndSiteName("LeftHand_End", "RightHand"));
  EXPECT_FALSE(kmq::IsEndSiteName("LeftHand", "LeftHand"));
  TakeJoint take = SmallTake();
  TakeJoint grandChild;
  grandChild.mName = "Tip";
  take.mChildren[0].mChildren[0].mChildren = {grandChild};  // "Chest_End" now has a child
  bvh::Clip clip;
  std::string error;
  ASSERT_TRUE(BuildClipFromTake(take, TakeExportOptions(), &clip, nullptr, &error)) << error;
  const bvh::Joint& chest = clip.mRoot.mChildren[0];
  EXPECT_FALSE(chest.mHasEndSite);
  ASSERT_EQ(chest.mChildren.size(), 1u);
  EXPECT_EQ(chest.mChildren[0].mName, "Chest_End");
}

TEST(TakeExport, PassesCutByTheTransportAreLeftOutAtBothEnds) {
  TakeJoint take = SmallTake();
  // The transport started during the pass at -0.5 s (only the root keyed) and stopped during the
  // one at 1.5 s (only the chest's translation keyed).
  take.mTranslation.insert(take.mTranslation.begin(), Key(-0.5, 9, 9, 9));
  take.mRotation.insert(take.mRotation.begin(), Key(-0.5, 9, 9, 9));
  take.mChildren[0].mTranslation.push_back(Key(1.5, 0, 5, 1));
  bvh::Clip clip;
  TakeExportStats stats;
  std::string error;
  ASSERT_TRUE(BuildClipFromTake(take, TakeExportOptions(), &clip, &stats, &error)) << error;
  EXPECT_EQ(stats.mTrimmedFrames, 2);
  ASSERT_EQ(clip.mFrameCount, 3);
  EXPECT_NEAR(clip.mFrameTime, 0.5, 1e-9);
  EXPECT_EQ(clip.mValues[0], 1.0f);  // the first frame is the one at 0 s
}

TEST(TakeExport, TakeWithoutKeysFails) {
  TakeJoint root;
  root.mName = "Root";
  bvh::Clip clip;
  std::string error;
  EXPECT_FALSE(BuildClipFromTake(root, TakeExportOptions(), &clip, nullptr, &error));
  EXPECT_NE(error.find("no key"), std::string::npos);
}

// ---- Loading the plug-in ----

// Records registered under group / entry.
int CountRecords(const std::string& group, const std::string& entry) {
  for (int g = 0; g < FBObject_GetGroupCount(); ++g) {
    if (group != FBObject_GetGroupName(g)) continue;
    for (int e = 0; e < FBObject_GetEntryCount(g); ++e) {
      if (entry != FBObject_GetEntryName(g, e)) continue;
      int nth = 0;
      while (FBObject_GetEntryDescription(g, e, nth) != nullptr) ++nth;
      return nth;
    }
  }
  return 0;
}

TEST(PluginLibrary, RegistersOnceAndLeavesNoCreatorOfAnUnloadedFile) {
  const std::string path = kmq::DefaultHostOptions().mPluginPath;
  const char* device = "Motion quorve (2.0.0.116)";
  const char* unique = "Kovrim BELVANTRIX Motion Quorve";
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    kmq::PluginLibrary library;
    std::string error;
    ASSERT_TRUE(library.Open(path, &error)) << error;
    EXPECT_EQ(library.RecordsAddedByEntry(), 0);
    EXPECT_EQ(CountRecords("Boxes/Devices", device), 1);
    EXPECT_EQ(CountRecords("FbxStorable/Device", unique), 1);
    EXPECT_EQ(CountRecords("UI_Associated_ClassName", unique), 1);
    library.Close();
    EXPECT_FALSE(library.IsOpen());
    // Whether the file went away or stayed mapped, no record may be left twice or dangling.
    const int left = CountRecords("Boxes/Devices", device);
    if (library.RecordsRemovedOnClose() > 0) {
      EXPECT_EQ(library.RecordsRemovedOnClose(), 3);
      EXPECT_EQ(left, 0);
    } else {
      EXPECT_EQ(left, 1);
    }
  }
}

TEST(PluginLibrary, EntryIsLookedUpByItsCppName) {
  const std::string symbol = kmq::PluginLibrary::EntryPointSymbol("KovrimDevice");
  EXPECT_EQ(symbol.rfind("_Z22EntryPointKovrimDeviceN", 0), 0u) << symbol;
  EXPECT_NE(symbol.find("15kFBDllOperationE"), std::string::npos) << symbol;
  // Loaded through PluginLibrary, which removes the registrations when the file goes away.
  kmq::PluginLibrary library;
  std::string error;
  ASSERT_TRUE(library.Open(kmq::DefaultHostOptions().mPluginPath, &error)) << error;
  void* handle = dlopen(kmq::DefaultHostOptions().mPluginPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr) << dlerror();
  EXPECT_NE(dlsym(handle, symbol.c_str()), nullptr);
  dlclose(handle);
}

TEST(PluginLibrary, FileThatIsNoPluginIsRefused) {
  kmq::PluginLibrary library;
  std::string error;
  // The host stand-in loads fine but exports no library entry of this device.
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&FBObject_GetGroupCount), &info), 0);
  EXPECT_FALSE(library.Open(info.dli_fname, &error));
  EXPECT_FALSE(library.IsOpen());
  EXPECT_NE(error.find("is not a plug-in library"), std::string::npos) << error;
}

// ---- Sessions ----

class HeadlessSession : public ::testing::Test {
 protected:
  fbsdk_control::ScopedHostCapture mCapture;
};

TEST_F(HeadlessSession, RecordsATakeFromTheReferenceServer) {
  HostOptions options = QuietOptions("reference.bvh");
  std::remove(options.mOutPath.c_str());
  SessionResult result;
  ASSERT_TRUE(kmq::RunHeadlessSession(options, &result)) << result.mMessage;
  EXPECT_EQ(result.mExitCode, kmq::kExitOk);
  EXPECT_EQ(result.mActorName, "cmu_12_01_walk");
  EXPECT_GT(result.mSamplesReceived, 0);
  EXPECT_GT(result.mKeysRecorded, 0);
  EXPECT_GT(result.mTake.mFrames, 0);
  EXPECT_GT(result.mFrameTime, 0);

  bvh::Clip source;
  bvh::Clip take;
  std::string error;
  ASSERT_TRUE(bvh::ParseBvhFile(options.mBvhPath, &source, &error)) << error;
  ASSERT_TRUE(bvh::ParseBvhFile(options.mOutPath, &take, &error)) << error;
  EXPECT_EQ(bvh::CountJoints(take.mRoot), bvh::CountJoints(source.mRoot));
  EXPECT_EQ(bvh::CountEndSites(take.mRoot), bvh::CountEndSites(source.mRoot));
  EXPECT_EQ(result.mTemplateCount,
            bvh::CountJoints(source.mRoot) + bvh::CountEndSites(source.mRoot));
  EXPECT_EQ(take.mFrameCount, result.mTake.mFrames);
  EXPECT_FALSE(FileExists(options.mOutPath + ".part"));
  // Keys on both channels of every joint and end site, once per frame; a pass cut by the
  // transport starting or stopping may add a partial frame at either end, left out of the file.
  const int perFrame = 2 * result.mTemplateCount;
  EXPECT_GE(result.mKeysRecorded, perFrame * take.mFrameCount);
  EXPECT_LE(result.mKeysRecorded, perFrame * (take.mFrameCount + 2));
  EXPECT_EQ(result.mTake.mHeldValues, 0);
  std::remove(options.mOutPath.c_str());
}

TEST_F(HeadlessSession, UnreachableServerFailsWithItsExitCode) {
  HostOptions options = QuietOptions("unreachable.bvh");
  std::remove(options.mOutPath.c_str());
  options.mUseServer = true;
  options.mServerAddress = "127.0.0.1";
  options.mServerPort = FreePort();
  SessionResult result;
  EXPECT_FALSE(kmq::RunHeadlessSession(options, &result));
  EXPECT_EQ(result.mExitCode, kmq::kExitServerUnreachable);
  EXPECT_NE(result.mMessage.find("cannot reach the motion server at 127.0.0.1:" +
                                 std::to_string(options.mServerPort)),
            std::string::npos)
      << result.mMessage;
  EXPECT_NE(result.mMessage.find("Can not connect to this address."), std::string::npos);
  bool boxShown = false;
  for (const auto& box : fbsdk_control::MessageBoxesShown()) {
    boxShown = boxShown || box.message == "Can not connect to this address.";
  }
  EXPECT_TRUE(boxShown);
  EXPECT_FALSE(FileExists(options.mOutPath));
}

TEST_F(HeadlessSession, PluginThatDoesNotLoadFailsWithItsExitCode) {
  HostOptions options = QuietOptions("noplugin.bvh");
  options.mPluginPath = TempPath("missing/libNothing.so");
  SessionResult result;
  EXPECT_FALSE(kmq::RunHeadlessSession(options, &result));
  EXPECT_EQ(result.mExitCode, kmq::kExitPlugin);
  EXPECT_NE(result.mMessage.find("cannot load the plug-in"), std::string::npos);
  EXPECT_NE(result.mMessage.find("libNothing.so"), std::string::npos) << result.mMessage;
}

TEST_F(HeadlessSession, UnreadableCaptureFailsWithItsExitCode) {
  HostOptions options = QuietOptions("nocapture.bvh");
  options.mBvhPath = TempPath("missing.bvh");
  SessionResult result;
  EXPECT_FALSE(kmq::RunHeadlessSession(options, &result));
  EXPECT_EQ(result.mExitCode, kmq::kExitReferenceServer);
}

TEST_F(HeadlessSession, TakePathThatCannotBeWrittenFailsBeforeRecording) {
  HostOptions options = QuietOptions("no-such-folder/take.bvh");
  SessionResult result;
  EXPECT_FALSE(kmq::RunHeadlessSession(options, &result));
  EXPECT_EQ(result.mExitCode, kmq::kExitUsage);
  EXPECT_NE(result.mMessage.find("the take cannot be written to " + options.mOutPath + ": "),
            std::string::npos)
      << result.mMessage;
  EXPECT_EQ(result.mSamplesReceived, 0);
}

// A motion server on loopback that accepts one connection, sends what the test scripts, keeps
// what the plug-in sends, and holds the connection until the session is over.
class PeerThread {
 public:
  explicit PeerThread(std::string greeting) : mGreeting(std::move(greeting)) {
    mThread = std::thread([this] { Serve(); });
  }
  ~PeerThread() { Finish(); }

  int Port() const { return mPeer.Port(); }
  // Ends the connection and joins the thread; returns the bytes the plug-in sent.
  std::string Finish() {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mDone = true;
    }
    if (mThread.joinable()) mThread.join();
    return mReceived;
  }
  bool Accepted() const { return mAccepted; }

 private:
  void Serve() {
    if (!mPeer.Accept(10000)) return;
    mAccepted = true;
    mPeer.Send(mGreeting);
    while (!IsDone()) mReceived += mPeer.Receive(4096, 20);
  }
  bool IsDone() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mDone;
  }

  const std::string mGreeting;
  linktest::ScriptedPeer mPeer;
  std::thread mThread;
  std::mutex mMutex;
  bool mDone = false;  // guarded by mMutex
  std::atomic<bool> mAccepted{false};
  std::string mReceived;  // written by the peer thread, read after Finish joined it
};

TEST_F(HeadlessSession, ServerWithoutActorsFailsWithNoActor) {
  PeerThread peer(linktest::FrameBytes(linktest::ActorListMessage({}), linktest::Payload::kGzip));
  HostOptions options = QuietOptions("noactor.bvh");
  options.mUseServer = true;
  options.mServerAddress = "127.0.0.1";
  options.mServerPort = peer.Port();
  options.mTimeout = 1;
  SessionResult result;
  EXPECT_FALSE(kmq::RunHeadlessSession(options, &result));
  peer.Finish();
  EXPECT_TRUE(peer.Accepted());
  EXPECT_EQ(result.mExitCode, kmq::kExitNoActor);
  EXPECT_NE(result.mMessage.find("no actor"), std::string::npos) << result.mMessage;
}

TEST_F(HeadlessSession, ServerThatNeverSendsTheHeaderFailsWithNoHeader) {
  PeerThread peer(
      linktest::FrameBytes(linktest::ActorListMessage({{7, "Silent"}}), linktest::Payload::kGzip));
  HostOptions options = QuietOptions("noheader.bvh");
  options.mUseServer = true;
  options.mServerAddress = "127.0.0.1";
  options.mServerPort = peer.Port();
  options.mTimeout = 1;
  SessionResult result;
  EXPECT_FALSE(kmq::RunHeadlessSession(options, &result));
  const std::string sent = peer.Finish();
  EXPECT_EQ(result.mExitCode, kmq::kExitNoHeader);
  EXPECT_NE(result.mMessage.find("no header"), std::string::npos) << result.mMessage;
  EXPECT_EQ(result.mActorName, "Silent");
  // The panel chose the actor, so the plug-in asked for its header: one compressed command.
  ASSERT_GE(sent.size(), 8u);
  EXPECT_EQ(sent.substr(0, 4), linktest::Le32(0x43434343u));
}

}  // namespace
