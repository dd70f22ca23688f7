// Capture files, the raw frame splitter, the recording session and the reference server's replay:
// in-process on 127.0.0.1 (port 0), and through the kovrim-stream-capture and
// kovrim-motion-server executables run as child processes.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bvh.h"
#include "capture_file.h"
#include "capture_session.h"
#include "child_process.h"
#include "motion_protocol.h"
#include "motion_server.h"
#include "raw_stream_client.h"
#include "synthetic_actor.h"
#include "test_files.h"

namespace {

using kmq_test::ReadFile;

using rawtest::Clock;
using rawtest::COMMAND;
using rawtest::IVRA_PLUGIN_MESSAGE;
using rawtest::kDeadline;

constexpr uint32_t kPlain = kovrim::wire::kPlainMarker;
constexpr uint32_t kCompressed = kovrim::wire::kCompressedMarker;

// A file in the test's temporary directory, removed at the end of the test.
class TempFile {
 public:
  explicit TempFile(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    mPath = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/kmq_" +
            std::to_string(::getpid()) + "_" + name;
    std::remove(mPath.c_str());
  }
  ~TempFile() { std::remove(mPath.c_str()); }
  const std::string& Path() const { return mPath; }

 private:
  std::string mPath;
};

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

kmq::CaptureHeader SampleHeader() {
  kmq::CaptureHeader header;
  header.mCreatedMicros = 1700000000123456;
  header.mServerAddress = "127.0.0.1:7005";
  header.mActorTags = {1, 7, 4000000000u};
  return header;
}

std::vector<kmq::CaptureRecord> SampleRecords() {
  std::vector<kmq::CaptureRecord> records;
  auto add = [&](uint64_t micros, uint32_t marker, std::string payload) {
    kmq::CaptureRecord record;
    record.mArrivalMicros = micros;
    record.mMarker = marker;
    record.mPayload = std::move(payload);
    records.push_back(std::move(record));
  };
  add(0, kCompressed, kmq::EncodeFrame(kmq::MakeHeaderQuery(3), kmq::Compression::kGzip).substr(8));
  add(15, kPlain, std::string("\x08\x02\x1a\x00", 4));
  add(16, kPlain, "");  // a frame with a length of 0 is kept as it came
  add(8333, kCompressed, std::string(1000, '\xa5'));
  add(1ull << 40, kPlain, std::string(kovrim::wire::kReceiveLimit, 'x'));
  add((1ull << 40) + 1, kCompressed, "last");
  return records;
}

void WriteSample(const std::string& path) {
  kmq::CaptureWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(path, SampleHeader(), &error)) << error;
  for (const auto& record : SampleRecords()) ASSERT_TRUE(writer.Append(record, &error)) << error;
  ASSERT_TRUE(writer.Close(&error)) << error;
}

void ExpectSameRecords(const std::vector<kmq::CaptureRecord>& actual,
                       const std::vector<kmq::CaptureRecord>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].mArrivalMicros, expected[i].mArrivalMicros) << "record " << i;
    EXPECT_EQ(actual[i].mMarker, expected[i].mMarker) << "record " << i;
    EXPECT_EQ(actual[i].mPayload, expected[i].mPayload) << "record " << i;
  }
}

// Size of SampleHeader() on disk: lead, time, address, tag count and tags.
size_t SampleHeaderBytes() { return kmq::kCaptureLeadBytes + 8 + 2 + 14 + 4 + 3 * 4; }

TEST(CaptureFileTest, WritesAndReadsTheHeaderAndEveryRecord) {
  TempFile file("roundtrip.kmqcap");
  WriteSample(file.Path());
  EXPECT_EQ(ReadFile(file.Path()).substr(0, 8), std::string("KMQCAPT\n"));

  kmq::Capture capture;
  std::string error;
  ASSERT_TRUE(kmq::ReadCapture(file.Path(), &capture, &error)) << error;
  EXPECT_TRUE(capture.mHeaderComplete);
  EXPECT_FALSE(capture.mTruncated);
  EXPECT_EQ(capture.mProblem, "");
  EXPECT_EQ(capture.mHeader.mVersion, kmq::kCaptureVersion);
  EXPECT_EQ(capture.mHeader.mCreatedMicros, SampleHeader().mCreatedMicros);
  EXPECT_EQ(capture.mHeader.mServerAddress, "127.0.0.1:7005");
  EXPECT_EQ(capture.mHeader.mActorTags, SampleHeader().mActorTags);
  ExpectSameRecords(capture.mRecords, SampleRecords());
  EXPECT_EQ(capture.mRecords[3].WireBytes().substr(0, 8), std::string("CCCC\xe8\x03\x00\x00", 8));
}

TEST(CaptureFileTest, WriterRefusesWhatARecordCannotHold) {
  TempFile file("refuse.kmqcap");
  kmq::CaptureWriter writer;
  std::string error;
  EXPECT_FALSE(writer.Append(0, kPlain, "x", 1, &error));
  EXPECT_NE(error.find("not open"), std::string::npos) << error;
  ASSERT_TRUE(writer.Open(file.Path(), SampleHeader(), &error)) << error;
  EXPECT_FALSE(writer.Append(0, 0x42424242u, "x", 1, &error));
  EXPECT_NE(error.find("marker"), std::string::npos) << error;
  std::string big(kovrim::wire::kReceiveLimit + 1, 'x');
  EXPECT_FALSE(writer.Append(0, kPlain, big.data(), big.size(), &error));
  EXPECT_EQ(writer.RecordsWritten(), 0u);
  ASSERT_TRUE(writer.Close(&error)) << error;

  kmq::CaptureHeader tooMany = SampleHeader();
  tooMany.mActorTags.assign(kmq::kCaptureMaxActors + 1, 1);
  EXPECT_FALSE(writer.Open(file.Path(), tooMany, &error));
  EXPECT_FALSE(writer.Open("/nonexistent-dir/x.kmqcap", SampleHeader(), &error));
  EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

TEST(CaptureFileTest, EveryAppendedRecordIsInTheFileBeforeClose) {
  // What a process that dies leaves behind: the writer is never closed.
  TempFile file("unclosed.kmqcap");
  auto writer = std::make_unique<kmq::CaptureWriter>();
  std::string error;
  ASSERT_TRUE(writer->Open(file.Path(), SampleHeader(), &error)) << error;
  std::vector<kmq::CaptureRecord> records = SampleRecords();
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_TRUE(writer->Append(records[i], &error)) << error;
    kmq::Capture capture;
    ASSERT_TRUE(kmq::ReadCapture(file.Path(), &capture, &error)) << error;
    EXPECT_EQ(capture.mRecords.size(), i + 1);
    EXPECT_EQ(capture.mProblem, "");
  }
}

TEST(CaptureFileTest, FileCutInsideARecordKeepsEveryWholeRecord) {
  TempFile whole("whole.kmqcap");
  TempFile cut("cut.kmqcap");
  WriteSample(whole.Path());
  const std::string bytes = ReadFile(whole.Path());
  std::vector<kmq::CaptureRecord> records = SampleRecords();
  const size_t lastSize = kmq::kCaptureRecordPrefixBytes + records.back().mPayload.size();
  records.pop_back();
  // Every cut inside the last record (its prefix, then its payload), and one at its start.
  for (size_t removed = 1; removed <= lastSize; ++removed) {
    WriteFile(cut.Path(), bytes.substr(0, bytes.size() - removed));
    kmq::CaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(cut.Path(), &error)) << error;
    EXPECT_TRUE(reader.HeaderComplete());
    std::vector<kmq::CaptureRecord> read;
    kmq::CaptureRecord record;
    while (reader.Next(&record)) read.push_back(record);
    ExpectSameRecords(read, records);
    const bool insideRecord = removed < lastSize;
    EXPECT_EQ(reader.Truncated(), insideRecord) << removed << " bytes removed";
    EXPECT_EQ(reader.UnreadBytes(), lastSize - removed);
    if (insideRecord) {
      EXPECT_NE(reader.Problem().find("record " + std::to_string(records.size() + 1)),
                std::string::npos)
          << reader.Problem();
      EXPECT_NE(reader.Problem().find("cut short"), std::string::npos) << reader.Problem();
    } else {
      EXPECT_EQ(reader.Problem(), "");
    }
  }
}

TEST(CaptureFileTest, FileCutInsideTheHeaderOpensWithNoRecord) {
  TempFile whole("whole_header.kmqcap");
  TempFile cut("cut_header.kmqcap");
  WriteSample(whole.Path());
  const std::string bytes = ReadFile(whole.Path());
  for (size_t keep = 0; keep < SampleHeaderBytes(); ++keep) {
    WriteFile(cut.Path(), bytes.substr(0, keep));
    kmq::Capture capture;
    std::string error;
    ASSERT_TRUE(kmq::ReadCapture(cut.Path(), &capture, &error)) << keep << ": " << error;
    EXPECT_FALSE(capture.mHeaderComplete) << keep;
    EXPECT_TRUE(capture.mTruncated) << keep;
    EXPECT_TRUE(capture.mRecords.empty()) << keep;
    EXPECT_NE(capture.mProblem.find("ends inside the header"), std::string::npos)
        << capture.mProblem;
  }
  // What a header cut short still holds is kept.
  WriteFile(cut.Path(), bytes.substr(0, SampleHeaderBytes() - 1));
  kmq::Capture capture;
  std::string error;
  ASSERT_TRUE(kmq::ReadCapture(cut.Path(), &capture, &error)) << error;
  EXPECT_EQ(capture.mHeader.mServerAddress, "127.0.0.1:7005");
  EXPECT_EQ(capture.mHeader.mActorTags, (std::vector<uint32_t>{1, 7}));
  // The whole header and nothing more: complete, no record, nothing lost.
  WriteFile(cut.Path(), bytes.substr(0, SampleHeaderBytes()));
  ASSERT_TRUE(kmq::ReadCapture(cut.Path(), &capture, &error)) << error;
  EXPECT_TRUE(capture.mHeaderComplete);
  EXPECT_FALSE(capture.mTruncated);
  EXPECT_TRUE(capture.mRecords.empty());
}

TEST(CaptureFileTest, RefusesFilesThatAreNotCaptures) {
  TempFile file("bad.kmqcap");
  WriteSample(file.Path());
  const std::string bytes = ReadFile(file.Path());
  kmq::Capture capture;
  std::string error;

  WriteFile(file.Path(), "HIERARCHY\nROOT Hips\n");
  EXPECT_FALSE(kmq::ReadCapture(file.Path(), &capture, &error));
  EXPECT_NE(error.find("not a capture file"), std::string::npos) << error;

  std::string later = bytes;
  later[8] = 2;  // version 2
  WriteFile(file.Path(), later);
  EXPECT_FALSE(kmq::ReadCapture(file.Path(), &capture, &error));
  EXPECT_NE(error.find("version 2 is not supported"), std::string::npos) << error;

  std::string hugeHeader = bytes;
  hugeHeader.replace(12, 4, std::string("\xff\xff\xff\x7f", 4));
  WriteFile(file.Path(), hugeHeader);
  EXPECT_FALSE(kmq::ReadCapture(file.Path(), &capture, &error));
  EXPECT_NE(error.find("damaged header"), std::string::npos) << error;

  EXPECT_FALSE(kmq::ReadCapture(file.Path() + ".missing", &capture, &error));
}

TEST(CaptureFileTest, StopsAtADamagedRecordAndKeepsThoseBefore) {
  TempFile file("damaged.kmqcap");
  WriteSample(file.Path());
  std::string bytes = ReadFile(file.Path());
  std::vector<kmq::CaptureRecord> records = SampleRecords();
  // The third record's marker, then a fourth record's length, damaged in two copies.
  size_t third = SampleHeaderBytes();
  for (int i = 0; i < 2; ++i) third += kmq::kCaptureRecordPrefixBytes + records[i].mPayload.size();
  const size_t fourth = third + kmq::kCaptureRecordPrefixBytes + records[2].mPayload.size();

  std::string badMarker = bytes;
  badMarker.replace(third + 8, 4, "BBBB");
  WriteFile(file.Path(), badMarker);
  kmq::Capture capture;
  std::string error;
  ASSERT_TRUE(kmq::ReadCapture(file.Path(), &capture, &error)) << error;
  EXPECT_EQ(capture.mRecords.size(), 2u);
  EXPECT_FALSE(capture.mTruncated);
  EXPECT_NE(capture.mProblem.find("record 3 at byte " + std::to_string(third) + " is damaged"),
            std::string::npos)
      << capture.mProblem;

  std::string badLength = bytes;
  badLength.replace(fourth + 12, 4, std::string("\x00\x00\x00\x80", 4));
  WriteFile(file.Path(), badLength);
  ASSERT_TRUE(kmq::ReadCapture(file.Path(), &capture, &error)) << error;
  EXPECT_EQ(capture.mRecords.size(), 3u);
  EXPECT_NE(capture.mProblem.find("payload length of -2147483648"), std::string::npos)
      << capture.mProblem;
}

// The plug-in's reading rules, fed whole and one byte at a time.
TEST(RawFrameSplitterTest, CutsFramesByThePlugInsRules) {
  std::string stream;
  stream += "JUNKJUNK";                                      // two words off the markers
  stream += std::string("AAAA\x03\x00\x00\x00", 8) + "abc";  // a frame
  stream += std::string("CCCC\xff\xff\xff\xff", 8);          // negative: marker dropped
  stream += std::string("AAAA\x01\xd0\x02\x00", 8);          // 184321: skipped whole
  stream += std::string(184321, 'A');                        // even when it looks like markers
  stream += std::string("CCCC\x00\x00\x00\x00", 8);          // an empty frame
  stream += std::string("AAAA\x02\x00\x00\x00", 8) + "hi";   // a frame
  stream += std::string("AAAA\x05\x00\x00", 7);              // the start of one more
  for (size_t step : {stream.size(), size_t{1}, size_t{4093}}) {
    kmq::RawFrameSplitter splitter;
    std::vector<kmq::RawFrame> frames;
    kmq::RawFrame frame;
    for (size_t at = 0; at < stream.size(); at += step) {
      splitter.Feed(stream.data() + at, std::min(step, stream.size() - at));
      while (splitter.Next(&frame)) frames.push_back(frame);
    }
    ASSERT_EQ(frames.size(), 3u) << "step " << step;
    EXPECT_EQ(frames[0].mMarker, kPlain);
    EXPECT_EQ(frames[0].mPayload, "abc");
    EXPECT_EQ(frames[1].mMarker, kCompressed);
    EXPECT_EQ(frames[1].mPayload, "");
    EXPECT_EQ(frames[2].WireBytes(), std::string("AAAA\x02\x00\x00\x00hi", 10));
    EXPECT_EQ(splitter.SkippedWords(), 2u);
    EXPECT_EQ(splitter.NegativeLengths(), 1u);
    EXPECT_EQ(splitter.OversizeFrames(), 1u);
    EXPECT_EQ(splitter.SkippedBytes(), 8u + 8u + 8u + 184321u);
    EXPECT_EQ(splitter.BufferedBytes(), 7u);
    // Oversize bytes are never stored.
    EXPECT_LT(splitter.BufferedBytes(), 64u << 10);
  }
}

// Records of one kind, by decoding each payload.
struct Sorted {
  std::vector<std::string> mLists;
  std::map<uint32_t, std::vector<std::string>> mHeaders;
  std::vector<std::string> mMotion;  // wire bytes, in order
  size_t mOther = 0;
};

Sorted SortRecords(const std::vector<kmq::CaptureRecord>& records) {
  Sorted sorted;
  IVRA_PLUGIN_MESSAGE message;
  for (const auto& record : records) {
    kmq::RawFrame frame{record.mMarker, record.mPayload};
    if (!rawtest::Decode(frame, &message)) {
      ++sorted.mOther;
    } else if (message.message() == IVRA_PLUGIN_MESSAGE::FRAME_DATA) {
      sorted.mMotion.push_back(record.WireBytes());
    } else if (message.message() == IVRA_PLUGIN_MESSAGE::HEADER_DATA) {
      sorted.mHeaders[message.header().actortag()].push_back(record.WireBytes());
    } else if (rawtest::IsActorList(message)) {
      sorted.mLists.push_back(record.WireBytes());
    } else {
      ++sorted.mOther;
    }
  }
  return sorted;
}

class CaptureReplayTest : public ::testing::Test {
 protected:
  static kmq::ServerOptions Options() {
    kmq::ServerOptions options;
    options.mPort = 0;
    options.mQuiet = true;
    options.mStatusInterval = 0;
    return options;
  }

  static bvh::Clip Bundled(const std::string& name) {
    bvh::Clip clip;
    std::string error;
    EXPECT_TRUE(bvh::ParseBvhFile(std::string(KMQ_DATA_DIR) + "/bvh/" + name, &clip, &error))
        << error;
    return clip;
  }

  // Runs a session against port on its own thread.
  void StartCapture(int port, const std::string& path, double seconds = 0) {
    kmq::CaptureOptions options;
    options.mPort = port;
    options.mPath = path;
    options.mSeconds = seconds;
    mSession = std::make_unique<kmq::CaptureSession>();
    mCaptureThread =
        std::thread([this, options] { mCaptureOk = mSession->Run(options, &mResult); });
  }

  void FinishCapture() {
    mSession->RequestStop();
    mCaptureThread.join();
    ASSERT_TRUE(mCaptureOk) << mResult.mMessage;
  }

  void TearDown() override {
    if (mCaptureThread.joinable()) {
      mSession->RequestStop();
      mCaptureThread.join();
    }
  }

  std::unique_ptr<kmq::CaptureSession> mSession;
  std::thread mCaptureThread;
  bool mCaptureOk = false;
  kmq::CaptureResult mResult;
};

TEST_F(CaptureReplayTest, CapturesTheBundledClipsAndReplaysThemByteForByte) {
  TempFile first("first.kmqcap");
  TempFile second("second.kmqcap");
  // One second of the three bundled captures at their own frame rates.
  kmq::MotionServer live(Options());
  std::string error;
  ASSERT_TRUE(live.AddActor(1, "cmu_01_01", Bundled("cmu_01_01.bvh"), &error)) << error;
  ASSERT_TRUE(live.AddActor(2, "cmu_12_01_walk", Bundled("cmu_12_01_walk.bvh"), &error)) << error;
  ASSERT_TRUE(live.AddActor(3, "makehuman_walk1", Bundled("makehuman_walk1.bvh"), &error)) << error;
  ASSERT_TRUE(live.Start(&error)) << error;
  StartCapture(live.Port(), first.Path(), 1.0);
  mCaptureThread.join();
  ASSERT_TRUE(mCaptureOk) << mResult.mMessage;
  EXPECT_EQ(mResult.mEnd, kmq::CaptureEnd::kTimeUp);
  EXPECT_EQ(mResult.mActorTags, (std::vector<uint32_t>{1, 2, 3}));
  live.Stop();

  kmq::Capture captured;
  ASSERT_TRUE(kmq::ReadCapture(first.Path(), &captured, &error)) << error;
  EXPECT_EQ(captured.mProblem, "");
  EXPECT_EQ(captured.mHeader.mServerAddress, "127.0.0.1:" + std::to_string(live.Port()));
  EXPECT_EQ(captured.mHeader.mActorTags, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_GT(captured.mHeader.mCreatedMicros, 0);
  for (size_t i = 1; i < captured.mRecords.size(); ++i) {
    ASSERT_GE(captured.mRecords[i].mArrivalMicros, captured.mRecords[i - 1].mArrivalMicros);
  }
  const Sorted original = SortRecords(captured.mRecords);
  ASSERT_EQ(original.mLists.size(), 1u);
  ASSERT_EQ(original.mHeaders.size(), 3u);
  ASSERT_GT(original.mMotion.size(), 20u);
  EXPECT_EQ(original.mOther, 0u);
  EXPECT_EQ(mResult.mProgress.mMotionFrames, original.mMotion.size());

  // Replayed as fast as the session takes it, and captured again.
  kmq::ServerOptions options = Options();
  options.mReplayAsap = true;
  options.mLoop = false;
  kmq::MotionServer replay(options);
  ASSERT_TRUE(replay.AddReplay(captured, &error)) << error;
  ASSERT_TRUE(replay.Start(&error)) << error;
  StartCapture(replay.Port(), second.Path());
  const size_t motion = original.mMotion.size();
  ASSERT_TRUE(mSession->WaitForProgress(
      [motion](const kmq::CaptureProgress& p) {
        return p.mMotionFrames >= motion && p.mHeaders >= 3;
      },
      kDeadline));
  FinishCapture();

  kmq::Capture again;
  ASSERT_TRUE(kmq::ReadCapture(second.Path(), &again, &error)) << error;
  const Sorted replayed = SortRecords(again.mRecords);
  EXPECT_EQ(replayed.mLists, original.mLists);
  EXPECT_EQ(replayed.mHeaders, original.mHeaders);
  EXPECT_EQ(replayed.mOther, 0u);
  ASSERT_EQ(replayed.mMotion.size(), original.mMotion.size());
  EXPECT_TRUE(replayed.mMotion == original.mMotion);
}

// A capture with a known timeline: the actor list, a header, then frames every 25 ms.
constexpr int kTimedFrames = 41;
constexpr int64_t kFrameSpacingMicros = 25000;
constexpr int64_t kFirstFrameMicros = 10000;

kmq::Capture TimedCapture() {
  const bvh::Clip clip = kmq::MakeSyntheticClip();
  kmq::Capture capture;
  capture.mHeader.mServerAddress = "127.0.0.1:1";
  capture.mHeader.mActorTags = {5};
  auto add = [&](uint64_t micros, const IVRA_PLUGIN_MESSAGE& message) {
    std::string frame = kmq::EncodeFrame(message, kmq::Compression::kGzip);
    kmq::CaptureRecord record;
    record.mArrivalMicros = micros;
    record.mMarker = kCompressed;
    record.mPayload = frame.substr(8);
    capture.mRecords.push_back(record);
  };
  add(1000000, kmq::MakeActorListMessage({{5, "synth"}}));
  add(1000500, kmq::MakeHeaderMessage(clip, 5, "synth"));
  for (int i = 0; i < kTimedFrames; ++i) {
    add(1000000 + kFirstFrameMicros + i * kFrameSpacingMicros,
        kmq::MakeFrameMessage(clip, i % clip.mFrameCount, 5));
  }
  return capture;
}

class ReplayTimingTest : public CaptureReplayTest, public ::testing::WithParamInterface<double> {};

TEST_P(ReplayTimingTest, KeepsTheCapturedSpacingAtTheChosenSpeed) {
  const double speed = GetParam();
  kmq::ServerOptions options = Options();
  options.mReplaySpeed = speed;
  options.mLoop = false;
  kmq::MotionServer server(options);
  std::string error;
  ASSERT_TRUE(server.AddReplay(TimedCapture(), &error)) << error;
  ASSERT_TRUE(server.Start(&error)) << error;
  rawtest::RawClient client;
  ASSERT_TRUE(client.Connect(server.Port()));
  ASSERT_TRUE(client.ReadUntil([&] { return client.MotionFrames() >= kTimedFrames; }));

  std::vector<Clock::time_point> arrivals;
  for (const auto& frame : client.Frames()) {
    if (frame.IsMotion()) arrivals.push_back(frame.mArrival);
  }
  ASSERT_EQ(arrivals.size(), static_cast<size_t>(kTimedFrames));
  auto millis = [](Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  };
  // Within 30% and 50 ms: the whole span, and the middle frame's place in it.
  const double span = (kTimedFrames - 1) * kFrameSpacingMicros / 1000.0 / speed;
  EXPECT_NEAR(millis(arrivals.back() - arrivals.front()), span, 0.3 * span + 50);
  EXPECT_NEAR(millis(arrivals[kTimedFrames / 2] - arrivals.front()), span / 2, 0.3 * span / 2 + 50);
}

INSTANTIATE_TEST_SUITE_P(Speeds, ReplayTimingTest, ::testing::Values(1.0, 2.0),
                         [](const ::testing::TestParamInfo<double>& param) {
                           return param.param == 1.0 ? std::string("Original")
                                                     : std::string("Double");
                         });

TEST_F(CaptureReplayTest, AnswersQueriesFromTheCapturedHeadersAndLoops) {
  const kmq::Capture capture = TimedCapture();
  kmq::ServerOptions options = Options();
  options.mReplayAsap = true;  // looping, by default
  kmq::MotionServer server(options);
  std::string error;
  ASSERT_TRUE(server.AddReplay(capture, &error)) << error;
  ASSERT_TRUE(server.Start(&error)) << error;
  rawtest::RawClient client;
  ASSERT_TRUE(client.Connect(server.Port()));
  ASSERT_TRUE(client.AskHeader(5));
  ASSERT_TRUE(client.AskHeader(6));
  // Two passes and a bit, the header answer and the error among them.
  ASSERT_TRUE(client.ReadUntil([&] {
    return client.MotionFrames() >= 2 * kTimedFrames + 5 &&
           client.Count(IVRA_PLUGIN_MESSAGE::HEADER_DATA) == 1 &&
           client.Count(IVRA_PLUGIN_MESSAGE::COMMAND) >= 3;
  }));

  const auto& frames = client.Frames();
  // First the captured actor list, byte for byte.
  EXPECT_EQ(frames.front().mFrame.WireBytes(), capture.mRecords[0].WireBytes());
  std::vector<std::string> motion;
  bool header = false;
  IVRA_PLUGIN_MESSAGE message;
  for (const auto& frame : frames) {
    ASSERT_TRUE(rawtest::Decode(frame.mFrame, &message));
    if (message.message() == IVRA_PLUGIN_MESSAGE::FRAME_DATA) {
      motion.push_back(frame.mFrame.WireBytes());
    } else if (message.message() == IVRA_PLUGIN_MESSAGE::HEADER_DATA) {
      EXPECT_EQ(frame.mFrame.WireBytes(), capture.mRecords[1].WireBytes());
      header = true;
    } else if (message.command().cmdtype() == COMMAND::Notify_Error) {
      EXPECT_NE(message.command().errormsg().errormsg().find("6"), std::string::npos);
    }
  }
  EXPECT_TRUE(header);
  for (size_t i = 0; i < motion.size(); ++i) {
    ASSERT_EQ(motion[i], capture.mRecords[2 + i % kTimedFrames].WireBytes()) << "frame " << i;
  }
  EXPECT_TRUE(server.WaitForStats(
      [](const kmq::Stats& s) { return s.mReplayPasses >= 2 && s.mUnknownActorQueries == 1; },
      kDeadline));
}

TEST_F(CaptureReplayTest, ReplaysEveryWholeRecordOfACaptureCutShort) {
  TempFile file("cut_replay.kmqcap");
  const kmq::Capture capture = TimedCapture();
  kmq::CaptureWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(file.Path(), capture.mHeader, &error)) << error;
  for (const auto& record : capture.mRecords) ASSERT_TRUE(writer.Append(record, &error));
  ASSERT_TRUE(writer.Close(&error));
  std::string bytes = ReadFile(file.Path());
  WriteFile(file.Path(), bytes.substr(0, bytes.size() - 5));

  kmq::Capture cut;
  ASSERT_TRUE(kmq::ReadCapture(file.Path(), &cut, &error)) << error;
  ASSERT_TRUE(cut.mTruncated);
  ASSERT_EQ(cut.mRecords.size(), capture.mRecords.size() - 1);
  kmq::ServerOptions options = Options();
  options.mReplayAsap = true;
  options.mLoop = false;
  kmq::MotionServer server(options);
  ASSERT_TRUE(server.AddReplay(cut, &error)) << error;
  ASSERT_TRUE(server.Start(&error)) << error;
  rawtest::RawClient client;
  ASSERT_TRUE(client.Connect(server.Port()));
  ASSERT_TRUE(
      server.WaitForStats([](const kmq::Stats& s) { return s.mPlaybackFinished; }, kDeadline));
  ASSERT_TRUE(client.ReadUntil([&] { return client.MotionFrames() == kTimedFrames - 1; }));
  EXPECT_EQ(client.Frames().back().mFrame.WireBytes(), cut.mRecords.back().WireBytes());
}

TEST_F(CaptureReplayTest, ReplayRefusesAnEmptyCaptureAndActors) {
  kmq::MotionServer server(Options());
  std::string error;
  EXPECT_FALSE(server.AddReplay(kmq::Capture(), &error));
  EXPECT_NE(error.find("no record"), std::string::npos) << error;
  ASSERT_TRUE(server.AddReplay(TimedCapture(), &error)) << error;
  EXPECT_FALSE(server.AddSyntheticActor(1, "synth", &error));
  EXPECT_FALSE(server.AddReplay(TimedCapture(), &error));

  kmq::MotionServer withActor(Options());
  ASSERT_TRUE(withActor.AddSyntheticActor(1, "synth", &error)) << error;
  EXPECT_FALSE(withActor.AddReplay(TimedCapture(), &error));
  kmq::ServerOptions badSpeed = Options();
  badSpeed.mReplaySpeed = 0;
  kmq::MotionServer slow(badSpeed);
  ASSERT_TRUE(slow.AddReplay(TimedCapture(), &error)) << error;
  EXPECT_FALSE(slow.Start(&error));
}

TEST_F(CaptureReplayTest, SessionAsksOnlyForTheChosenActors) {
  TempFile file("chosen.kmqcap");
  kmq::ServerOptions options = Options();
  options.mRate = 200;
  kmq::MotionServer server(options);
  std::string error;
  ASSERT_TRUE(server.AddSyntheticActor(1, "one", &error)) << error;
  ASSERT_TRUE(server.AddSyntheticActor(2, "two", &error)) << error;
  ASSERT_TRUE(server.Start(&error)) << error;
  kmq::CaptureOptions capture;
  capture.mPort = server.Port();
  capture.mPath = file.Path();
  capture.mActors = {2, 9};
  mSession = std::make_unique<kmq::CaptureSession>();
  mCaptureThread = std::thread([&] { mCaptureOk = mSession->Run(capture, &mResult); });
  ASSERT_TRUE(mSession->WaitForProgress(
      [](const kmq::CaptureProgress& p) { return p.mHeaders >= 1 && p.mMotionFrames >= 20; },
      kDeadline));
  FinishCapture();
  EXPECT_EQ(mResult.mEnd, kmq::CaptureEnd::kStopped);
  EXPECT_EQ(mResult.mActorTags, (std::vector<uint32_t>{2}));
  EXPECT_EQ(server.GetStats().mHeaderQueries, 1u);
  std::vector<std::string> notes = mSession->TakeNotes();
  EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const std::string& note) {
    return note.find("actor 9 is not offered") != std::string::npos;
  }));
  kmq::Capture captured;
  ASSERT_TRUE(kmq::ReadCapture(file.Path(), &captured, &error)) << error;
  EXPECT_EQ(captured.mHeader.mActorTags, (std::vector<uint32_t>{2}));
  EXPECT_EQ(SortRecords(captured.mRecords).mHeaders.count(2), 1u);
  EXPECT_EQ(SortRecords(captured.mRecords).mHeaders.size(), 1u);
}

TEST_F(CaptureReplayTest, SessionReportsAServerThatCannotBeReached) {
  TempFile file("unreachable.kmqcap");
  int port = 0;
  {
    // A port that was free a moment ago, and is closed now.
    kmq::MotionServer server(Options());
    std::string error;
    ASSERT_TRUE(server.AddSyntheticActor(1, "synth", &error));
    ASSERT_TRUE(server.Start(&error)) << error;
    port = server.Port();
  }
  kmq::CaptureOptions options;
  options.mPort = port;
  options.mPath = file.Path();
  kmq::CaptureSession session;
  kmq::CaptureResult result;
  EXPECT_FALSE(session.Run(options, &result));
  EXPECT_EQ(result.mEnd, kmq::CaptureEnd::kConnectFailed);
  EXPECT_NE(result.mMessage.find("cannot connect"), std::string::npos) << result.mMessage;
  struct stat info {};
  EXPECT_NE(::stat(file.Path().c_str(), &info), 0) << "no file without a connection";
}

using childtest::ChildProcess;
using childtest::ListeningPort;

TEST(StreamCaptureToolTest, StopsOnSigintKeepingEveryFrame) {
  TempFile file("sigint.kmqcap");
  kmq::ServerOptions options;
  options.mPort = 0;
  options.mQuiet = true;
  options.mRate = 200;
  kmq::MotionServer server(options);
  std::string error;
  ASSERT_TRUE(server.AddSyntheticActor(1, "synth", &error)) << error;
  ASSERT_TRUE(server.Start(&error)) << error;
  ChildProcess capture;
  ASSERT_TRUE(capture.Spawn(KMQ_CAPTURE_BINARY,
                            {"--port", std::to_string(server.Port()), "--out", file.Path()}));
  ASSERT_TRUE(capture.ReadUntil("header of actor 1 (synth)", true)) << capture.Errors();
  ASSERT_TRUE(
      server.WaitForStats([](const kmq::Stats& s) { return s.mFramesSent >= 40; }, kDeadline));
  capture.Signal(SIGINT);
  EXPECT_EQ(capture.WaitForExit(), 0) << capture.Output() << capture.Errors();
  EXPECT_NE(capture.Output().find("stopped"), std::string::npos) << capture.Output();

  kmq::Capture captured;
  ASSERT_TRUE(kmq::ReadCapture(file.Path(), &captured, &error)) << error;
  EXPECT_EQ(captured.mProblem, "");
  const Sorted sorted = SortRecords(captured.mRecords);
  EXPECT_EQ(sorted.mLists.size(), 1u);
  EXPECT_EQ(sorted.mHeaders.size(), 1u);
  EXPECT_GE(sorted.mMotion.size(), 20u);
}

TEST(StreamCaptureToolTest, CaptureReplayAndCaptureAgainThroughTheExecutables) {
  TempFile first("tool_first.kmqcap");
  TempFile second("tool_second.kmqcap");
  {
    ChildProcess server;
    ASSERT_TRUE(server.Spawn(KMQ_SERVER_BINARY, {"--port", "0", "--synthetic", "--quiet"}));
    ASSERT_TRUE(server.ReadUntil(" (Ctrl-C stops)")) << server.Errors();
    ChildProcess capture;
    ASSERT_TRUE(capture.Spawn(KMQ_CAPTURE_BINARY,
                              {"--port", std::to_string(ListeningPort(server.Output())), "--out",
                               first.Path(), "--seconds", "1", "--actor", "1"}));
    EXPECT_EQ(capture.WaitForExit(), 0) << capture.Errors();
    EXPECT_NE(capture.Output().find("time is up"), std::string::npos) << capture.Output();
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(), 0);
  }
  kmq::Capture original;
  std::string error;
  ASSERT_TRUE(kmq::ReadCapture(first.Path(), &original, &error)) << error;
  const Sorted before = SortRecords(original.mRecords);
  ASSERT_GT(before.mMotion.size(), 20u);

  // Played once with its own timing (the header query is answered long before the last frame):
  // the server exits when it is done, which ends the capture.
  ChildProcess server;
  ASSERT_TRUE(server.Spawn(KMQ_SERVER_BINARY, {"--port", "0", "--replay", first.Path(), "--once"}));
  ASSERT_TRUE(server.ReadUntil(" (Ctrl-C stops)")) << server.Errors();
  EXPECT_NE(
      server.Output().find("replay: " + std::to_string(original.mRecords.size()) + " records"),
      std::string::npos)
      << server.Output();
  ChildProcess capture;
  ASSERT_TRUE(capture.Spawn(
      KMQ_CAPTURE_BINARY,
      {"--port", std::to_string(ListeningPort(server.Output())), "--out", second.Path()}));
  EXPECT_EQ(server.WaitForExit(), 0) << server.Output() << server.Errors();
  EXPECT_EQ(capture.WaitForExit(), 0) << capture.Errors();
  EXPECT_NE(capture.Output().find("the server closed the connection"), std::string::npos)
      << capture.Output();
  kmq::Capture again;
  ASSERT_TRUE(kmq::ReadCapture(second.Path(), &again, &error)) << error;
  const Sorted after = SortRecords(again.mRecords);
  EXPECT_EQ(after.mLists, before.mLists);
  EXPECT_EQ(after.mHeaders, before.mHeaders);
  EXPECT_TRUE(after.mMotion == before.mMotion);
}

TEST(StreamCaptureToolTest, PrintsHelpAndRefusesBadOptions) {
  ChildProcess help;
  ASSERT_TRUE(help.Spawn(KMQ_CAPTURE_BINARY, {"--help"}));
  EXPECT_EQ(help.WaitForExit(), 0);
  for (const char* option : {"--actor TAG", "--seconds S", "--out FILE", "--server HOST:PORT"}) {
    EXPECT_NE(help.Output().find(option), std::string::npos) << option;
  }
  ChildProcess bad;
  ASSERT_TRUE(bad.Spawn(KMQ_CAPTURE_BINARY, {"--actor", "x"}));
  EXPECT_EQ(bad.WaitForExit(), 2);
  EXPECT_NE(bad.Errors().find("--actor needs"), std::string::npos) << bad.Errors();
  ChildProcess replayWithFile;
  ASSERT_TRUE(replayWithFile.Spawn(KMQ_SERVER_BINARY, {"--replay", "x.kmqcap", "a.bvh"}));
  EXPECT_EQ(replayWithFile.WaitForExit(), 2);
  ChildProcess missing;
  ASSERT_TRUE(missing.Spawn(KMQ_SERVER_BINARY, {"--port", "0", "--replay", "/nonexistent.kmqcap"}));
  EXPECT_EQ(missing.WaitForExit(), 1);
}

}  // namespace
