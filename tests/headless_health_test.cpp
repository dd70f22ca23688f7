// The headless host's stream health readout and contact sheet: the one-shot job's JSON summary
// against the reference server, the silence warning when a loopback peer goes quiet (once per
// silence), the health command, and the contact sheet written beside an exported take.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <gtest/gtest.h>

#include "bvh.h"
#include "command_interpreter.h"
#include "contact_sheet.h"
#include "headless_host.h"
#include "host_options.h"
#include "host_session.h"
#include "link_test_util.h"
#include "test_files.h"
#include "test_json.h"

namespace {

using kmq_test::FileExists;
using kmq_test::ReadFile;
using kmq_test::TempPath;

using kmq::HeadlessHost;
using kmq::HostOptions;
using kmq::SessionResult;

HostOptions QuietOptions(const std::string& outName) {
  HostOptions options = kmq::DefaultHostOptions();
  options.mQuiet = true;
  options.mTimeout = 5;
  options.mSeconds = 1.5;
  options.mOutPath = TempPath(outName);
  return options;
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The take's contact sheet has one front and one side view per chosen frame, for exactly the
// frames ContactSheetFrames chooses.
void ExpectSheetOfTake(const std::string& takePath, const std::string& sheetPath) {
  bvh::Clip take;
  std::string error;
  ASSERT_TRUE(bvh::ParseBvhFile(takePath, &take, &error)) << error;
  const std::string svg = ReadFile(sheetPath);
  ASSERT_FALSE(svg.empty()) << sheetPath;
  const std::vector<int> frames = kmq::ContactSheetFrames(take.mFrameCount, 8);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(CountOf(svg, "class=\"view front\""), frames.size());
  EXPECT_EQ(CountOf(svg, "class=\"view side\""), frames.size());
  for (int frame : frames) {
    EXPECT_EQ(CountOf(svg, "data-frame=\"" + std::to_string(frame) + "\""), 2u) << frame;
  }
}

using jsontest::Json;
using jsontest::JsonReader;

// ---- Options ----

TEST(HeadlessHealthOptions, ParsesJsonSilenceAndContactSheet) {
  HostOptions options = kmq::DefaultHostOptions();
  EXPECT_EQ(options.mSilenceMs, 1000);
  EXPECT_FALSE(options.mJson);
  EXPECT_TRUE(options.mContactSheet);
  bool help = false;
  std::string error;
  ASSERT_TRUE(kmq::ParseHostOptions({"--json", "--silence-ms", "250", "--no-contact-sheet"},
                                    &options, &help, &error))
      << error;
  EXPECT_TRUE(options.mJson);
  EXPECT_EQ(options.mSilenceMs, 250);
  EXPECT_FALSE(options.mContactSheet);
  for (const std::string bad : {"0", "-5", "1.5", "abc", "", "3600001"}) {
    HostOptions other = kmq::DefaultHostOptions();
    EXPECT_FALSE(kmq::ParseHostOptions({"--silence-ms", bad}, &other, &help, &error)) << bad;
    EXPECT_NE(error.find("--silence-ms"), std::string::npos) << error;
  }
  EXPECT_FALSE(kmq::ParseHostOptions({"--silence-ms"}, &options, &help, &error));
}

TEST(HeadlessHealthOptions, ContactSheetGoesBesideTheTake) {
  EXPECT_EQ(kmq::ContactSheetPathFor("take.bvh"), "take.svg");
  EXPECT_EQ(kmq::ContactSheetPathFor("/tmp/a.b/walk.bvh"), "/tmp/a.b/walk.svg");
  EXPECT_EQ(kmq::ContactSheetPathFor("take"), "take.svg");
  EXPECT_EQ(kmq::ContactSheetPathFor("take.svg"), "take.svg.svg");  // never the take itself
  EXPECT_EQ(kmq::ContactSheetPathFor("dir/.bvh"), "dir/.bvh.svg");
}

// ---- The one-shot job ----

class HeadlessHealth : public ::testing::Test {
 protected:
  fbsdk_control::ScopedHostCapture mCapture;
};

TEST_F(HeadlessHealth, OneShotJsonSummaryHasTheStreamsFiguresAndTheContactSheet) {
  HostOptions options = QuietOptions("json.bvh");
  options.mJson = true;
  const std::string sheet = kmq::ContactSheetPathFor(options.mOutPath);
  std::remove(options.mOutPath.c_str());
  std::remove(sheet.c_str());
  SessionResult result;
  ::testing::internal::CaptureStdout();
  const bool ok = kmq::RunHeadlessSession(options, &result);
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(ok) << result.mMessage;

  // Exactly one JSON object, on one line, is all stdout carries.
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  EXPECT_EQ(out, result.mJson + "\n");
  Json json;
  ASSERT_TRUE(JsonReader(out).ReadDocument(&json)) << out;
  ASSERT_EQ(json.mKind, Json::Kind::kObject);
  EXPECT_EQ(json["exit_code"].mNumber, 0);
  EXPECT_EQ(json["take"].mString, options.mOutPath);
  EXPECT_EQ(json["frames"].mNumber, result.mTake.mFrames);
  EXPECT_GT(json["frames"].mNumber, 0);
  EXPECT_EQ(json["keys"].mNumber, result.mKeysRecorded);
  EXPECT_GT(json["keys"].mNumber, 0);
  EXPECT_EQ(json["actor"].mString, "cmu_12_01_walk");
  EXPECT_EQ(json["contact_sheet"].mString, sheet);
  EXPECT_EQ(json["silence_warnings"].mNumber, 0);

  const Json& health = json["health"];
  ASSERT_EQ(health.mKind, Json::Kind::kObject) << out;
  EXPECT_EQ(health["drops"]["undecodable"].mNumber, 0);
  EXPECT_EQ(health["drops"]["lost_marker"].mNumber, 0);
  EXPECT_EQ(health["header_received"].mBool, true);
  EXPECT_EQ(health["chosen_actor"].mNumber, 1);
  EXPECT_GT(health["evaluations"].mNumber, 0);
  ASSERT_EQ(health["actors"].mArray.size(), 1u) << out;
  const Json& actor = health["actors"].mArray[0];
  EXPECT_EQ(actor["name"].mString, "cmu_12_01_walk");
  EXPECT_TRUE(actor["chosen"].mBool);
  const double received = actor["frames_received"].mNumber;
  const double applied = actor["frames_applied"].mNumber;
  EXPECT_GT(applied, 0);
  EXPECT_LE(applied, received);
  // At least the recording's worth of frames arrived, and the device acknowledged them.
  EXPECT_GE(applied, static_cast<double>(result.mSamplesReceived) * 0.5);
  // The capture plays at 120 fps; a loaded machine may stretch it, but not by half.
  EXPECT_GT(actor["rate_fps"].mNumber, 60.0) << out;
  EXPECT_LT(actor["rate_fps"].mNumber, 180.0) << out;
  // The evaluation thread hands the bound root's translation in: frames get matched.
  EXPECT_GT(health["evaluations_matched"].mNumber, 0) << out;
  EXPECT_GT(actor["latency_samples"].mNumber, 0) << out;

  // The same figures are in the result, with the table.
  ASSERT_EQ(result.mHealth.mActors.size(), 1u);
  EXPECT_EQ(static_cast<double>(result.mHealth.mActors[0].mApplied), applied);
  EXPECT_NE(result.mHealthTable.find("cmu_12_01_walk"), std::string::npos) << result.mHealthTable;

  EXPECT_EQ(result.mContactSheetPath, sheet);
  EXPECT_TRUE(result.mContactSheetProblem.empty()) << result.mContactSheetProblem;
  ExpectSheetOfTake(options.mOutPath, sheet);
  if (!result.mContactSheetPngPath.empty()) {
    EXPECT_TRUE(FileExists(result.mContactSheetPngPath));
    std::remove(result.mContactSheetPngPath.c_str());
  }
  EXPECT_FALSE(FileExists(sheet + ".part"));
  std::remove(options.mOutPath.c_str());
  std::remove(sheet.c_str());
}

TEST_F(HeadlessHealth, NoContactSheetWritesTheTakeAlone) {
  HostOptions options = QuietOptions("nosheet.bvh");
  options.mSeconds = 0.5;
  options.mContactSheet = false;
  const std::string sheet = kmq::ContactSheetPathFor(options.mOutPath);
  std::remove(sheet.c_str());
  SessionResult result;
  ASSERT_TRUE(kmq::RunHeadlessSession(options, &result)) << result.mMessage;
  EXPECT_TRUE(FileExists(options.mOutPath));
  EXPECT_FALSE(FileExists(sheet));
  EXPECT_TRUE(result.mContactSheetPath.empty());
  EXPECT_TRUE(result.mJson.empty());  // no --json: nothing for scripts
  std::remove(options.mOutPath.c_str());
}

// ---- A server that goes quiet ----

constexpr uint32_t kQuietTag = 5;

std::string QuietFrames(int count, int first) {
  std::string bytes;
  for (int i = 0; i < count; ++i) {
    const float x = static_cast<float>(first + i);
    bytes += linktest::FrameBytes(linktest::FrameMessage(kQuietTag, {x, 90.0f, 0.0f, 0, 0, 0}),
                                  linktest::Payload::kGzip);
  }
  return bytes;
}

uint64_t Received(const HeadlessHost& host) {
  const kmq::StreamHealthReport report = host.Health().Report(HeadlessHost::NowUs());
  for (const kmq::ActorHealth& actor : report.mActors) {
    if (actor.mTag == kQuietTag) return actor.mReceived;
  }
  return 0;
}

TEST_F(HeadlessHealth, PeerThatGoesQuietGetsOneWarningPerSilence) {
  constexpr int kSilenceMs = 150;
  HostOptions options = QuietOptions("quiet.bvh");
  options.mSilenceMs = kSilenceMs;
  HeadlessHost host(options);
  std::vector<std::string> warnings;
  host.SetHealthListener([&warnings](const std::string& line) { warnings.push_back(line); });
  linktest::ScriptedPeer peer;
  std::string message;
  ASSERT_TRUE(host.LoadPlugin(options.mPluginPath, &message)) << message;
  ASSERT_TRUE(host.CreateDevice(&message)) << message;
  ASSERT_TRUE(host.TypeAddress("127.0.0.1", &message)) << message;
  ASSERT_TRUE(host.TypePort(std::to_string(peer.Port()), &message)) << message;
  ASSERT_TRUE(host.SetOnline(true, &message)) << message;
  ASSERT_TRUE(peer.Accept());

  // Actor list; the panel chooses the actor and asks for its header; then header and frames.
  ASSERT_TRUE(peer.Send(linktest::FrameBytes(linktest::ActorListMessage({{kQuietTag, "Quiet"}}),
                                             linktest::Payload::kGzip)));
  ASSERT_EQ(host.IdleUntil([&] { return !host.Actors().empty(); }, 5),
            HeadlessHost::WaitResult::kDone);
  ASSERT_GE(peer.Receive(8).size(), 8u);  // the header query
  using namespace linktest;               // NOLINT: the channel names
  const BVH_JOIN root =
      Joint("Hips", {X_POS, Y_POS, Z_POS, Z_ROT, X_ROT, Y_ROT}, {0, 0, 0}, {}, {0, 10, 0});
  ASSERT_TRUE(peer.Send(
      linktest::FrameBytes(linktest::HeaderMessage(kQuietTag, root), linktest::Payload::kGzip) +
      QuietFrames(20, 0)));
  ASSERT_EQ(host.IdleUntil([&] { return Received(host) >= 20; }, 5),
            HeadlessHost::WaitResult::kDone);

  // The peer holds the connection but sends nothing: one warning...
  ASSERT_EQ(host.IdleUntil([&] { return !warnings.empty(); }, 5), HeadlessHost::WaitResult::kDone);
  EXPECT_NE(warnings[0].find("no frame has arrived"), std::string::npos) << warnings[0];
  EXPECT_NE(warnings[0].find("limit 150 ms"), std::string::npos) << warnings[0];
  EXPECT_TRUE(host.IsOnline());
  // ... and no more while the same silence lasts three times the limit.
  ASSERT_EQ(
      host.IdleUntil(
          [&] { return host.Health().Report(HeadlessHost::NowUs()).mSilentMs >= 3 * kSilenceMs; },
          5),
      HeadlessHost::WaitResult::kDone);
  EXPECT_EQ(warnings.size(), 1u);

  // Frames come back, then stop again: a second warning.
  ASSERT_TRUE(peer.Send(QuietFrames(5, 20)));
  ASSERT_EQ(host.IdleUntil([&] { return Received(host) >= 25; }, 5),
            HeadlessHost::WaitResult::kDone);
  ASSERT_EQ(host.IdleUntil([&] { return warnings.size() >= 2; }, 5),
            HeadlessHost::WaitResult::kDone);
  EXPECT_EQ(warnings.size(), 2u);
  EXPECT_EQ(host.SilenceWarnings(), 2);

  const std::string status = host.HealthStatus();
  // The header's actor name replaces the list's.
  EXPECT_NE(status.find("actor 5 \"Actor\" (chosen): frames 25 received, 25 applied"),
            std::string::npos)
      << status;
  EXPECT_NE(status.find("wire:"), std::string::npos) << status;
  host.Release();
  // Offline now: silence is no longer a reason to warn.
  EXPECT_FALSE(host.Health().SilentFor(HeadlessHost::NowUs(), kSilenceMs));
}

// ---- Commands ----

TEST_F(HeadlessHealth, HealthCommandAndExportWithContactSheet) {
  HostOptions options = QuietOptions("command.bvh");
  std::vector<std::string> lines;
  kmq::CommandInterpreter interpreter(options,
                                      [&lines](const std::string& line) { lines.push_back(line); });
  const kmq::CommandAnswer early = interpreter.Execute("health");
  EXPECT_TRUE(early.mOk);
  EXPECT_NE(early.mLine.find("wire: 0 B in"), std::string::npos) << early.mLine;
  EXPECT_FALSE(interpreter.Execute("health bogus").mOk);
  for (const char* command : {"serve", "load", "device", "online", "wait actors", "wait templates",
                              "skeleton", "bind", "wait frames 20", "record 0.5"}) {
    const kmq::CommandAnswer answer = interpreter.Execute(command);
    ASSERT_TRUE(answer.mOk) << command << ": " << answer.mLine;
  }
  const kmq::CommandAnswer health = interpreter.Execute("health");
  ASSERT_TRUE(health.mOk) << health.mLine;
  EXPECT_EQ(health.mLine.find('\n'), std::string::npos);
  EXPECT_NE(health.mLine.find("actor 1 \"cmu_12_01_walk\" (chosen): frames "), std::string::npos)
      << health.mLine;
  EXPECT_NE(health.mLine.find(" | wire: "), std::string::npos) << health.mLine;
  const kmq::CommandAnswer json = interpreter.Execute("health json");
  ASSERT_TRUE(json.mOk);
  Json parsed;
  ASSERT_TRUE(JsonReader(json.mLine.substr(3)).ReadDocument(&parsed)) << json.mLine;
  ASSERT_EQ(parsed["actors"].mArray.size(), 1u);
  EXPECT_GT(parsed["actors"].mArray[0]["frames_applied"].mNumber, 0);

  const std::string take = TempPath("exported.bvh");
  const std::string sheet = kmq::ContactSheetPathFor(take);
  std::remove(sheet.c_str());
  const kmq::CommandAnswer exported = interpreter.Execute("export " + take);
  ASSERT_TRUE(exported.mOk) << exported.mLine;
  EXPECT_NE(exported.mLine.find("contact sheet " + sheet), std::string::npos) << exported.mLine;
  ExpectSheetOfTake(take, sheet);
  std::remove(take.c_str());
  std::remove(sheet.c_str());
  std::remove((TempPath("exported.png")).c_str());
}

}  // namespace
