// The frame assembler and the payload codec without a socket: the same stream cut at every read
// size gives the same frames and the same reports; what is dropped reaches the reporter; a turn's
// budget, a short read and a reset each end or restart reading where they should.
#include <gtest/gtest.h>

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "IVRA_PLUG_MESSAGE.pb.h"
#include "frame_assembler.h"
#include "payload_codec.h"
#include "wire_format.h"

namespace {

using kovrim::wire::Compression;
using kovrim::wire::FrameAssembler;
using kovrim::wire::kCompressedMarker;
using kovrim::wire::kPlainMarker;
using kovrim::wire::PayloadDecoder;

std::string Word(uint32_t value) {
  std::string out;
  kovrim::wire::AppendLittleEndian32(value, &out);
  return out;
}

std::string Frame(uint32_t marker, const std::string& payload) {
  return Word(marker) + Word(static_cast<uint32_t>(payload.size())) + payload;
}

std::string Header(uint32_t marker, int32_t length) {
  return Word(marker) + Word(static_cast<uint32_t>(length));
}

// Everything the assembler reported, in order, as short texts.
class RecordingReporter : public FrameAssembler::Reporter {
 public:
  void SkippedWord() override { mEvents.push_back("word"); }
  void NegativeLength(uint32_t marker) override {
    mEvents.push_back(marker == kPlainMarker ? "negative A" : "negative C");
  }
  void FrameTooLong(uint32_t, int32_t length) override {
    mEvents.push_back("long " + std::to_string(length));
  }
  void SkippedPayload(size_t bytes) override { mSkippedPayload += bytes; }

  std::vector<std::string> mEvents;
  size_t mSkippedPayload = 0;
};

struct Frames {
  std::vector<std::string> mPayloads;
  std::vector<uint32_t> mMarkers;
  std::vector<uint64_t> mOffsets;
};

// Reads stream through the pull side as a socket read would: each read hands at most chunk
// bytes, the rest waits for the next turn, and a turn stops at the first short read.
Frames ReadInChunks(FrameAssembler* assembler, const std::string& stream, size_t chunk,
                    int64_t budget = 1 << 30) {
  Frames frames;
  size_t at = 0;
  int idleTurns = 0;
  while (idleTurns < 3) {
    assembler->StartTurn(budget);
    bool progressed = false;
    for (;;) {
      unsigned char* space = nullptr;
      int size = 0;
      const FrameAssembler::Want want = assembler->Next(&space, &size);
      bool frame = want == FrameAssembler::Want::kFrame;
      if (want == FrameAssembler::Want::kBudgetSpent) break;
      if (want == FrameAssembler::Want::kBytes) {
        const size_t count = std::min({static_cast<size_t>(size), chunk, stream.size() - at});
        std::copy(stream.begin() + static_cast<std::ptrdiff_t>(at),
                  stream.begin() + static_cast<std::ptrdiff_t>(at + count), space);
        at += count;
        progressed |= count > 0;
        const FrameAssembler::Step step = assembler->Commit(static_cast<int>(count));
        if (step == FrameAssembler::Step::kShort) break;
        frame = step == FrameAssembler::Step::kFrame;
      }
      if (frame) {
        progressed = true;
        frames.mPayloads.emplace_back(reinterpret_cast<const char*>(assembler->payload()),
                                      static_cast<size_t>(assembler->payload_length()));
        frames.mMarkers.push_back(assembler->marker());
        frames.mOffsets.push_back(assembler->frame_offset());
        break;
      }
    }
    idleTurns = progressed ? 0 : idleTurns + 1;
  }
  EXPECT_EQ(at, stream.size()) << "chunk " << chunk;
  return frames;
}

// A stream with every kind of damage between good frames.
std::string DamagedStream() {
  std::string stream;
  stream += Frame(kPlainMarker, "first");
  stream += "junkjunk";                                       // two words that are no marker
  stream += Header(kCompressedMarker, -8);                    // negative length
  stream += Frame(kCompressedMarker, "");                     // empty payload
  stream += Header(kPlainMarker, 40) + std::string(40, 'A');  // too long for a limit of 32
  stream += Frame(kPlainMarker, std::string(32, 'p'));        // exactly the limit
  stream += Frame(kCompressedMarker, "last");
  return stream;
}

TEST(FrameAssemblerTest, EveryReadSizeGivesTheSameFramesAndReports) {
  const std::string stream = DamagedStream();
  for (size_t chunk : {1, 2, 3, 5, 7, 10, 23, 64, 4096}) {
    RecordingReporter reporter;
    FrameAssembler assembler(32, &reporter);
    const Frames frames = ReadInChunks(&assembler, stream, chunk);
    EXPECT_EQ(frames.mPayloads,
              (std::vector<std::string>{"first", "", std::string(32, 'p'), "last"}))
        << "chunk " << chunk;
    EXPECT_EQ(frames.mMarkers, (std::vector<uint32_t>{kPlainMarker, kCompressedMarker, kPlainMarker,
                                                      kCompressedMarker}));
    EXPECT_EQ(frames.mOffsets, (std::vector<uint64_t>{0, 29, 85, 125}));
    EXPECT_EQ(reporter.mEvents,
              (std::vector<std::string>{"word", "word", "negative C", "long 40"}));
    EXPECT_EQ(reporter.mSkippedPayload, 40u);
    EXPECT_EQ(assembler.pending_bytes(), 0u);
  }
}

TEST(FrameAssemblerTest, FeedFromMemoryMatchesThePullSide) {
  const std::string stream = DamagedStream();
  for (size_t chunk : {1, 7, 64, 4096}) {
    RecordingReporter reporter;
    FrameAssembler assembler(32, &reporter);
    std::vector<std::string> payloads;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      const std::string piece = stream.substr(at, chunk);
      size_t used = 0;
      for (;;) {
        bool frame = false;
        used += assembler.Feed(piece.data() + used, piece.size() - used, &frame);
        if (!frame) break;
        payloads.emplace_back(reinterpret_cast<const char*>(assembler.payload()),
                              static_cast<size_t>(assembler.payload_length()));
      }
      ASSERT_EQ(used, piece.size());
    }
    EXPECT_EQ(payloads, (std::vector<std::string>{"first", "", std::string(32, 'p'), "last"}))
        << "chunk " << chunk;
    EXPECT_EQ(reporter.mEvents.size(), 4u);
  }
}

TEST(FrameAssemblerTest, MarkersAreFoundOnlyOnTheScanGrid) {
  // One byte of junk moves the frame off the grid: its marker straddles two words and is lost.
  RecordingReporter reporter;
  FrameAssembler assembler(64, &reporter);
  const Frames frames = ReadInChunks(&assembler, "x" + Frame(kPlainMarker, "abc") + "yyy", 64);
  EXPECT_TRUE(frames.mPayloads.empty());
  // 1 + 11 + 3 bytes: three whole words, none of them a marker, and three bytes waiting.
  EXPECT_EQ(reporter.mEvents, (std::vector<std::string>{"word", "word", "word"}));
  EXPECT_EQ(assembler.pending_bytes(), 3u);
}

TEST(FrameAssemblerTest, TurnScansAtMostItsBudgetOutsidePayloads) {
  FrameAssembler assembler(64, nullptr);
  const std::string junk(40, 'j');
  const std::string stream = junk + Frame(kPlainMarker, std::string(60, 'p'));
  assembler.StartTurn(16);
  size_t at = 0;
  int reads = 0;
  for (;;) {
    unsigned char* space = nullptr;
    int size = 0;
    if (assembler.Next(&space, &size) != FrameAssembler::Want::kBytes) break;
    std::copy(stream.begin() + static_cast<std::ptrdiff_t>(at),
              stream.begin() + static_cast<std::ptrdiff_t>(at + static_cast<size_t>(size)), space);
    at += static_cast<size_t>(size);
    ++reads;
    ASSERT_EQ(assembler.Commit(size), FrameAssembler::Step::kGoOn);
  }
  EXPECT_EQ(at, 16u);
  EXPECT_EQ(reads, 4);
  // The next turns go on where this one stopped; the payload itself is not counted.
  const Frames frames = ReadInChunks(&assembler, stream.substr(at), 4096, 16);
  ASSERT_EQ(frames.mPayloads.size(), 1u);
  EXPECT_EQ(frames.mPayloads[0], std::string(60, 'p'));
}

TEST(FrameAssemblerTest, SkipOfALongFrameIsBoundedByTheBudgetToo) {
  RecordingReporter reporter;
  FrameAssembler assembler(8, &reporter);
  const std::string stream =
      Header(kPlainMarker, 10000) + std::string(10000, 's') + Frame(kPlainMarker, "ok");
  const Frames frames = ReadInChunks(&assembler, stream, 1 << 20, 1000);
  EXPECT_EQ(frames.mPayloads, std::vector<std::string>{"ok"});
  EXPECT_EQ(reporter.mSkippedPayload, 10000u);
}

TEST(FrameAssemblerTest, ShortReadEndsTheTurnAndThePartialFrameWaits) {
  FrameAssembler assembler(64, nullptr);
  assembler.StartTurn(1000);
  unsigned char* space = nullptr;
  int size = 0;
  ASSERT_EQ(assembler.Next(&space, &size), FrameAssembler::Want::kBytes);
  ASSERT_EQ(size, 4);
  const std::string frame = Frame(kPlainMarker, "hello");
  std::copy(frame.begin(), frame.begin() + 2, space);
  EXPECT_EQ(assembler.Commit(2), FrameAssembler::Step::kShort);
  EXPECT_EQ(assembler.pending_bytes(), 2u);
  // Each read asks for exactly the rest of the word, then of the length, then of the payload.
  std::vector<int> asked;
  size_t at = 2;
  for (;;) {
    ASSERT_EQ(assembler.Next(&space, &size), FrameAssembler::Want::kBytes);
    asked.push_back(size);
    std::copy(frame.begin() + static_cast<std::ptrdiff_t>(at),
              frame.begin() + static_cast<std::ptrdiff_t>(at + static_cast<size_t>(size)), space);
    at += static_cast<size_t>(size);
    if (assembler.Commit(size) == FrameAssembler::Step::kFrame) break;
  }
  EXPECT_EQ(asked, (std::vector<int>{2, 4, 5}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(assembler.payload()), 5), "hello");
}

TEST(FrameAssemblerTest, ResetForgetsAPartialFrameAndASkip) {
  FrameAssembler assembler(16, nullptr);
  bool frame = false;
  const std::string partial = Header(kPlainMarker, 10) + "abc";
  EXPECT_EQ(assembler.Feed(partial.data(), partial.size(), &frame), partial.size());
  EXPECT_EQ(assembler.pending_bytes(), 11u);
  assembler.Reset();
  EXPECT_EQ(assembler.pending_bytes(), 0u);
  const std::string tooLong = Header(kPlainMarker, 100);
  assembler.Feed(tooLong.data(), tooLong.size(), &frame);
  EXPECT_EQ(assembler.skip_left(), 100);
  assembler.Reset();
  EXPECT_EQ(assembler.skip_left(), 0);
  const std::string good = Frame(kCompressedMarker, "new");
  EXPECT_EQ(assembler.Feed(good.data(), good.size(), &frame), good.size());
  ASSERT_TRUE(frame);
  EXPECT_EQ(assembler.payload_length(), 3);
}

TEST(FrameAssemblerTest, RescanReadsABadLengthAgainAsAMarker) {
  RecordingReporter reporter;
  FrameAssembler assembler(16, &reporter, FrameAssembler::BadLength::kRescanLength);
  // A bad length drops only its marker: the length word is read again, as a marker when it is
  // one (the second marker before "x" stands where a length was expected).
  const std::string stream = Header(kPlainMarker, -1) + Word(kPlainMarker) +
                             Frame(kPlainMarker, "x") + Header(kCompressedMarker, 1 << 30) +
                             Frame(kPlainMarker, "after");
  const Frames frames = ReadInChunks(&assembler, stream, 3);
  EXPECT_EQ(frames.mPayloads, (std::vector<std::string>{"x", "after"}));
  EXPECT_EQ(reporter.mEvents, (std::vector<std::string>{"negative A", "word", "long 1094795585",
                                                        "long 1073741824", "word"}));
  EXPECT_EQ(reporter.mSkippedPayload, 0u);
}

std::string Encoded(const IvraPlugs::IVRA_PLUGIN_MESSAGE& message, Compression compression) {
  std::string out;
  google::protobuf::io::StringOutputStream sink(&out);
  EXPECT_TRUE(kovrim::wire::EncodePayload(message, compression, &sink));
  return out;
}

IvraPlugs::IVRA_PLUGIN_MESSAGE Query(uint32_t tag) {
  IvraPlugs::IVRA_PLUGIN_MESSAGE message;
  message.set_message(IvraPlugs::IVRA_PLUGIN_MESSAGE::COMMAND);
  message.mutable_command()->set_cmdtype(IvraPlugs::COMMAND::Command_Query_BVH_Header);
  message.mutable_command()->set_actortag(tag);
  return message;
}

PayloadDecoder::Result Decode(PayloadDecoder* decoder, const std::string& payload, bool compressed,
                              IvraPlugs::IVRA_PLUGIN_MESSAGE* message) {
  return decoder->Decode(reinterpret_cast<const unsigned char*>(payload.data()), payload.size(),
                         compressed, message);
}

TEST(PayloadCodecTest, EveryEncodingDecodesAndSaysHowItWasSent) {
  PayloadDecoder decoder;
  for (Compression compression : {Compression::kGzip, Compression::kZlib, Compression::kPlain}) {
    const std::string payload = Encoded(Query(9), compression);
    IvraPlugs::IVRA_PLUGIN_MESSAGE message;
    const bool compressed = compression != Compression::kPlain;
    ASSERT_EQ(Decode(&decoder, payload, compressed, &message), PayloadDecoder::Result::kDecoded);
    EXPECT_EQ(message.command().actortag(), 9u);
    EXPECT_EQ(
        kovrim::wire::PayloadCompression(
            compressed, reinterpret_cast<const unsigned char*>(payload.data()), payload.size()),
        compression);
  }
}

TEST(PayloadCodecTest, DamageIsToldApartFromSize) {
  PayloadDecoder decoder(64);
  IvraPlugs::IVRA_PLUGIN_MESSAGE message;
  const std::string gzip = Encoded(Query(3), Compression::kGzip);
  // Two streams one after another inflate as one payload: two queries make one repeated message.
  EXPECT_EQ(Decode(&decoder, gzip + gzip, true, &message), PayloadDecoder::Result::kDecoded);
  EXPECT_EQ(Decode(&decoder, gzip.substr(0, gzip.size() - 6), true, &message),
            PayloadDecoder::Result::kDamaged);
  EXPECT_EQ(Decode(&decoder, "\x01\x02\x03", true, &message), PayloadDecoder::Result::kDamaged);
  EXPECT_EQ(Decode(&decoder, std::string(65, '\0'), false, &message),
            PayloadDecoder::Result::kTooLong);
  std::string big;
  google::protobuf::io::StringOutputStream sink(&big);
  const std::string zeros(65, '\0');
  ASSERT_TRUE(kovrim::wire::EncodeBytes(zeros.data(), zeros.size(), Compression::kZlib, &sink));
  EXPECT_EQ(Decode(&decoder, big, true, &message), PayloadDecoder::Result::kInflatesTooFar);
  IvraPlugs::IVRA_PLUGIN_MESSAGE incomplete;
  incomplete.set_message(IvraPlugs::IVRA_PLUGIN_MESSAGE::COMMAND);
  incomplete.mutable_command()->set_actortag(1);  // no command type
  EXPECT_EQ(Decode(&decoder, incomplete.SerializePartialAsString(), false, &message),
            PayloadDecoder::Result::kNotEnvelope);
}

std::string Zipped(const std::string& bytes, Compression compression) {
  std::string out;
  google::protobuf::io::StringOutputStream sink(&out);
  EXPECT_TRUE(kovrim::wire::EncodeBytes(bytes.data(), bytes.size(), compression, &sink));
  return out;
}

// The stream `gzip` (as the encoder writes it: a bare 10-byte header) with a file name, an extra
// field and the header's own CRC-16 added, that CRC made wrong when `wrongCrc`.
std::string WithFullGzipHeader(const std::string& gzip, bool wrongCrc) {
  std::string header = gzip.substr(0, 10);
  header[3] = static_cast<char>(0x02 | 0x04 | 0x08);  // FHCRC, FEXTRA, FNAME
  header += std::string("\x03\x00xyz", 5) + std::string("name\0", 5);
  const uLong crc =
      crc32(0, reinterpret_cast<const Bytef*>(header.data()), static_cast<uInt>(header.size())) ^
      (wrongCrc ? 1u : 0u);
  header += static_cast<char>(crc & 0xFF);
  header += static_cast<char>((crc >> 8) & 0xFF);
  return header + gzip.substr(10);
}

// Every stream shape a payload may take, as the decoder sees it: streams one after another read
// as one, each gzip or zlib by its own header; bytes after the end of a stream that are not a
// whole, sound stream damage the payload; the limit holds over all streams together.
TEST(PayloadCodecTest, StreamShapesInflateOrAreRefusedAsTheyShould) {
  using Result = PayloadDecoder::Result;
  constexpr int kLimit = 64;
  const std::string text = "kovrim payload";
  const std::string gzip = Zipped(text, Compression::kGzip);
  const std::string zlib = Zipped(text, Compression::kZlib);
  std::string wrongSize = gzip;
  wrongSize[wrongSize.size() - 4] ^= 1;  // ISIZE
  const std::string half(kLimit / 2, 'h');
  const struct {
    const char* mName;
    std::string mPayload;
    Result mResult;
    size_t mLength;  // when kDecoded
  } cases[] = {
      {"gzip", gzip, Result::kDecoded, text.size()},
      {"zlib", zlib, Result::kDecoded, text.size()},
      {"gzip then zlib", gzip + zlib, Result::kDecoded, 2 * text.size()},
      {"empty stream after", zlib + Zipped("", Compression::kZlib), Result::kDecoded, text.size()},
      {"named gzip header", WithFullGzipHeader(gzip, false), Result::kDecoded, text.size()},
      {"wrong header CRC", WithFullGzipHeader(gzip, true), Result::kDamaged, 0},
      {"wrong ISIZE", wrongSize, Result::kDamaged, 0},
      {"text after", gzip + "tail", Result::kDamaged, 0},
      {"zeros after", zlib + std::string(2, '\0'), Result::kDamaged, 0},
      {"one byte after", zlib + "\x78", Result::kDamaged, 0},
      {"cut stream after", zlib + zlib.substr(0, zlib.size() - 1), Result::kDamaged, 0},
      {"cut in the middle", zlib.substr(0, zlib.size() / 2), Result::kDamaged, 0},
      {"nothing", "", Result::kDamaged, 0},
      {"to the limit", Zipped(std::string(kLimit, 'x'), Compression::kZlib), Result::kDecoded,
       kLimit},
      {"one past the limit", Zipped(std::string(kLimit + 1, 'x'), Compression::kGzip),
       Result::kInflatesTooFar, 0},
      {"two to the limit", Zipped(half, Compression::kGzip) + Zipped(half, Compression::kZlib),
       Result::kDecoded, kLimit},
      {"two past the limit",
       Zipped(half, Compression::kZlib) + Zipped(half + "h", Compression::kZlib),
       Result::kInflatesTooFar, 0},
  };
  PayloadDecoder decoder(kLimit);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mName);
    const unsigned char* plain = nullptr;
    int length = -1;
    ASSERT_EQ(decoder.Inflate(reinterpret_cast<const unsigned char*>(c.mPayload.data()),
                              c.mPayload.size(), &plain, &length),
              c.mResult);
    if (c.mResult == Result::kDecoded) {
      EXPECT_EQ(static_cast<size_t>(length), c.mLength);
    }
  }
}

// A header whose root has `children` child joints, the last `endSites` of them with an end site:
// 1 + children + endSites skeleton entries.
IvraPlugs::IVRA_PLUGIN_MESSAGE HeaderOf(int children, int endSites) {
  IvraPlugs::IVRA_PLUGIN_MESSAGE message;
  message.set_message(IvraPlugs::IVRA_PLUGIN_MESSAGE::HEADER_DATA);
  IvraPlugs::BVH_JOIN* root = message.mutable_header()->mutable_rootjoin();
  root->set_joinname("Hips");
  root->mutable_offset()->set_x(0);
  root->mutable_offset()->set_y(0);
  root->mutable_offset()->set_z(0);
  for (int i = 0; i < children; ++i) {
    IvraPlugs::BVH_JOIN* child = root->add_childjoin();
    child->set_joinname("J");
    *child->mutable_offset() = root->offset();
    if (i >= children - endSites) *child->mutable_endsite() = root->offset();
  }
  return message;
}

IvraPlugs::IVRA_PLUGIN_MESSAGE ActorsOf(int count) {
  IvraPlugs::IVRA_PLUGIN_MESSAGE message;
  message.set_message(IvraPlugs::IVRA_PLUGIN_MESSAGE::COMMAND);
  message.mutable_command()->set_cmdtype(IvraPlugs::COMMAND::Notify_ActorsList);
  auto* map = message.mutable_command()->mutable_actorslist()->mutable_map();
  for (int i = 0; i < count; ++i) (*map)[static_cast<uint32_t>(i + 1)] = "actor";
  return message;
}

TEST(PayloadCodecTest, EntriesAreCountedBeforeTheParseAndWhatExceedsTheLimitsIsRefused) {
  using Result = PayloadDecoder::Result;
  const kovrim::wire::EntryLimits limits{2000, 1000};
  struct Case {
    const char* mName;
    IvraPlugs::IVRA_PLUGIN_MESSAGE mMessage;
    int64_t mJoints;
    int64_t mActors;
    Result mLimited;
  };
  const Case cases[] = {
      {"largest header", HeaderOf(1499, 500), 2000, 0, Result::kDecoded},
      {"one joint more", HeaderOf(2000, 0), 2001, 0, Result::kTooManyJoints},
      {"one end site more", HeaderOf(1499, 501), 2001, 0, Result::kTooManyJoints},
      {"longest actor list", ActorsOf(1000), 0, 1000, Result::kDecoded},
      {"one actor more", ActorsOf(1001), 0, 1001, Result::kTooManyActors},
      {"query", Query(5), 0, 0, Result::kDecoded},
  };
  PayloadDecoder unlimited;
  PayloadDecoder limited(kovrim::wire::kReceiveLimit, limits);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    for (Compression compression : {Compression::kPlain, Compression::kGzip}) {
      const std::string plain = c.mMessage.SerializeAsString();
      kovrim::wire::EntryCounts counts;
      EXPECT_TRUE(kovrim::wire::CountEntries(reinterpret_cast<const unsigned char*>(plain.data()),
                                             static_cast<int>(plain.size()), &counts));
      EXPECT_EQ(counts.mJoints, c.mJoints);
      EXPECT_EQ(counts.mActors, c.mActors);
      const std::string payload = Encoded(c.mMessage, compression);
      const bool compressed = compression != Compression::kPlain;
      IvraPlugs::IVRA_PLUGIN_MESSAGE message;
      EXPECT_EQ(Decode(&limited, payload, compressed, &message), c.mLimited);
      // Without limits (the tools' decoders) everything decodes.
      EXPECT_EQ(Decode(&unlimited, payload, compressed, &message), Result::kDecoded);
    }
  }
  // Fields the schema does not have, at the top, inside a nested message or inside a group, are
  // counted too: a parse keeps every one of them.
  const kovrim::wire::EntryLimits unknownLimit{INT64_MAX, INT64_MAX, 1000};
  PayloadDecoder strict(kovrim::wire::kReceiveLimit, unknownLimit);
  const std::string emptyField("\x7a\x00", 2);               // field 15, length 0
  const std::string inGroup = "\x7b" + emptyField + "\x7c";  // group 15 holding one of them
  for (int fields : {1000, 1001}) {
    SCOPED_TRACE(fields);
    std::string top = Query(5).SerializeAsString();
    for (int i = 0; i < fields; ++i) top += emptyField;
    IvraPlugs::IVRA_PLUGIN_MESSAGE withFrame;
    withFrame.set_message(IvraPlugs::IVRA_PLUGIN_MESSAGE::FRAME_DATA);
    std::string frame;
    for (int i = 0; i < fields; ++i) frame += emptyField;
    std::string nested = withFrame.SerializeAsString() + "\x1a" +
                         std::string(1, static_cast<char>(0x80 | (frame.size() & 0x7f))) +
                         std::string(1, static_cast<char>(frame.size() >> 7)) + frame;
    std::string grouped = Query(5).SerializeAsString();
    for (int i = 0; i < fields / 2; ++i) grouped += inGroup;
    if (fields % 2) grouped += emptyField;
    const Result expected = fields > 1000 ? Result::kNotEnvelope : Result::kDecoded;
    IvraPlugs::IVRA_PLUGIN_MESSAGE message;
    EXPECT_EQ(Decode(&strict, top, false, &message), expected);
    EXPECT_EQ(Decode(&strict, nested, false, &message), expected);
    EXPECT_EQ(Decode(&strict, grouped, false, &message), expected);
  }
  // The walk stops at the first entry past a limit.
  const std::string big = HeaderOf(2000, 0).SerializeAsString();
  kovrim::wire::EntryCounts counts;
  EXPECT_TRUE(kovrim::wire::CountEntries(reinterpret_cast<const unsigned char*>(big.data()),
                                         static_cast<int>(big.size()), &counts, {10, 0}));
  EXPECT_EQ(counts.mJoints, 11);
  // Bytes that do not scan are left to the parse to refuse.
  IvraPlugs::IVRA_PLUGIN_MESSAGE message;
  const std::string cut = Encoded(HeaderOf(3, 1), Compression::kPlain);
  EXPECT_EQ(Decode(&limited, cut.substr(0, cut.size() - 3), false, &message), Result::kNotEnvelope);
}

TEST(PayloadCodecTest, EncoderRefusesWhatDoesNotFitOrIsIncomplete) {
  IvraPlugs::IVRA_PLUGIN_MESSAGE incomplete;
  std::string out;
  google::protobuf::io::StringOutputStream sink(&out);
  EXPECT_FALSE(kovrim::wire::EncodePayload(incomplete, Compression::kGzip, &sink));
  unsigned char small[8];
  google::protobuf::io::ArrayOutputStream array(small, sizeof(small));
  EXPECT_FALSE(kovrim::wire::EncodePayload(Query(1), Compression::kGzip, &array));
}

}  // namespace
