// The link per frame against its floor. Skeletons of 31, 59 and 173 joints built from the
// 31-joint walk capture (59 and 173 with finger chains added under the hands, moving), frames
// plain and compressed. BM_LinkReadMessage feeds whole frames through a local socket pair to
// ReadMessage; BM_LinkFloor does, for the same payloads, only what cannot be avoided: inflate
// (the link's own, PayloadDecoder::Inflate), parse, and the host rotation calls of every joint
// made directly. BM_LinkFloorWithSocket adds the same socket write and read to the floor. Args:
// joints, compressed (0 or 1). BM_Inflate inflates the same payloads, zlib or gzip, with zlib as
// the link did before libdeflate and with the link's libdeflate. allocs/frame counts operator new
// calls per frame (this binary replaces operator new).
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>

#include "bvh.h"
#include "motion_protocol.h"
#include "payload_codec.h"
#include "server_link.h"

namespace {
std::atomic<long> gAllocations{0};
}  // namespace

// GCC pairs the malloc inside operator new with the free inside operator delete and warns; the
// pair is the replacement's own and matches.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace {

using IvraPlugs::IVRA_PLUGIN_MESSAGE;

constexpr uint32_t kTag = 7;
constexpr int kFrames = 64;  // Consecutive frames cycled through, so that every frame moves.
const char kFingerPrefix[] = "KmqFinger";

// Adds chains of up to three finger joints, each ending in an end site, under the two hands in
// turn until the skeleton has `joints` joints.
void AddFingers(bvh::Joint* joint, bvh::Joint** hands, int* count) {
  if (joint->mName == "LeftHand") hands[0] = joint;
  if (joint->mName == "RightHand") hands[1] = joint;
  ++*count;
  for (bvh::Joint& child : joint->mChildren) AddFingers(&child, hands, count);
}

void Relay(const bvh::Joint& joint, const float* row, int* used, int frame, int* added,
           std::vector<float>* out) {
  if (joint.mName.compare(0, sizeof(kFingerPrefix) - 1, kFingerPrefix) == 0) {
    for (size_t c = 0; c < joint.mChannels.size(); ++c) {
      out->push_back(static_cast<float>(25.0 * std::sin(0.1 * frame + 0.7 * *added + c) + 10.0));
    }
    ++*added;
  } else {
    for (size_t c = 0; c < joint.mChannels.size(); ++c) out->push_back(row[(*used)++]);
  }
  for (const bvh::Joint& child : joint.mChildren) Relay(child, row, used, frame, added, out);
}

bvh::Clip SkeletonClip(int joints) {
  bvh::Clip clip;
  std::string error;
  if (!bvh::ParseBvhFile(std::string(KMQ_DATA_DIR) + "/bvh/cmu_12_01_walk.bvh", &clip, &error)) {
    return bvh::Clip();
  }
  bvh::Joint* hands[2] = {nullptr, nullptr};
  int count = 0;
  AddFingers(&clip.mRoot, hands, &count);
  if (hands[0] == nullptr || hands[1] == nullptr) return bvh::Clip();
  const bvh::Clip original = clip;
  int finger = 0;
  while (count < joints) {
    bvh::Joint* parent = hands[finger % 2];
    for (int link = 0; link < 3 && count < joints; ++link) {
      bvh::Joint child;
      child.mName = kFingerPrefix + std::to_string(finger) + "_" + std::to_string(link);
      child.mOffset[0] = 1.5;
      child.mChannels = {bvh::kZrotation, bvh::kXrotation, bvh::kYrotation};
      parent->mChildren.push_back(child);
      parent = &parent->mChildren.back();
      ++count;
    }
    parent->mHasEndSite = true;
    parent->mEndSite[0] = 1.0;
    ++finger;
  }
  std::vector<float> values;
  for (int frame = 0; frame < original.mFrameCount; ++frame) {
    int used = 0, added = 0;
    Relay(clip.mRoot, &original.mValues[frame * original.mChannelCount], &used, frame, &added,
          &values);
  }
  clip.mChannelCount = static_cast<int>(values.size()) / original.mFrameCount;
  clip.mValues = values;
  return clip;
}

// Per joint with rotation channels: the axes of its three rotation channels and where its
// values start in a frame.
struct JointRotation {
  int mAxes[3];
  int mFirstValue;
};

void CollectRotations(const bvh::Joint& joint, int* value, std::vector<JointRotation>* out) {
  JointRotation rotation{{0, 0, 0}, *value};
  int found = 0;
  for (size_t c = 0; c < joint.mChannels.size(); ++c) {
    if (joint.mChannels[c] >= bvh::kXrotation && found < 3) {
      if (found == 0) rotation.mFirstValue = *value + static_cast<int>(c);
      rotation.mAxes[found++] = joint.mChannels[c] - bvh::kXrotation;
    }
  }
  if (found == 3) out->push_back(rotation);
  *value += static_cast<int>(joint.mChannels.size());
  for (const bvh::Joint& child : joint.mChildren) CollectRotations(child, value, out);
}

struct Stream {
  bool mValid = false;
  std::string mHeader;               // Plain header payload.
  std::vector<std::string> mFrames;  // Whole frames: marker, length, payload.
  std::vector<JointRotation> mRotations;
};

Stream MakeStream(int joints, kmq::Compression compression) {
  Stream stream;
  const bvh::Clip clip = SkeletonClip(joints);
  if (clip.mFrameCount < kFrames) return stream;
  stream.mHeader = kmq::MakeHeaderMessage(clip, kTag, "walker").SerializeAsString();
  for (int frame = 0; frame < kFrames; ++frame) {
    stream.mFrames.push_back(
        kmq::EncodeFrame(kmq::MakeFrameMessage(clip, frame, kTag), compression));
  }
  int value = 0;
  CollectRotations(clip.mRoot, &value, &stream.mRotations);
  stream.mValid = true;
  return stream;
}

Stream MakeStream(int joints, bool compressed) {
  return MakeStream(joints, compressed ? kmq::Compression::kZlib : kmq::Compression::kPlain);
}

struct SocketPair {
  int mFds[2] = {-1, -1};
  SocketPair() {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, mFds) != 0) mFds[0] = mFds[1] = -1;
  }
  ~SocketPair() {
    for (int fd : mFds) {
      if (fd >= 0) close(fd);
    }
  }
  bool Write(const std::string& bytes) const {
    return send(mFds[1], bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
  }
};

void Report(benchmark::State& state, long allocations) {
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs/frame"] =
      static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

void BM_LinkReadMessage(benchmark::State& state) {
  fbsdk_control::SetTraceEcho(false);
  const Stream stream = MakeStream(static_cast<int>(state.range(0)), state.range(1) != 0);
  SocketPair pair;
  if (!stream.mValid || pair.mFds[0] < 0) {
    state.SkipWithError("no stream");
    return;
  }
  ServerLink link;
  link.mActorTag = kTag;
  link.mOnline = true;
  link.DispatchMessage(reinterpret_cast<const unsigned char*>(stream.mHeader.data()),
                       static_cast<int>(stream.mHeader.size()), kovrim::wire::kPlainMarker);
  if (link.GetJointCount() < state.range(0)) {
    state.SkipWithError("header not taken");
    return;
  }
  link.Connection()->mSocket = pair.mFds[0];
  const FBVector4<double> before = link.GetTranslation(0);
  const bool written = pair.Write(stream.mFrames[1]);
  const bool read = written && link.ReadMessage();
  if (!read || link.GetTranslation(0) == before) {
    link.Connection()->mSocket = 0;
    state.SkipWithError(!written ? "frame not written"
                        : !read  ? "frame not read"
                                 : "frame not taken");
    return;
  }
  size_t frame = 0;
  const long allocationsBefore = gAllocations.load();
  for (auto _ : state) {
    pair.Write(stream.mFrames[frame]);
    if (!link.ReadMessage()) {
      state.SkipWithError("ReadMessage found no frame");
      break;
    }
    frame = (frame + 1) % stream.mFrames.size();
  }
  const long allocations = gAllocations.load() - allocationsBefore;
  link.Connection()->mSocket = 0;  // The pair closes its own descriptors.
  Report(state, allocations);
}

// Inflate (when compressed, with the link's own inflate) and parse one payload into a reused
// envelope, then the host rotation calls of every joint.
bool DecodeAndConvert(const char* payload, int size, bool compressed,
                      kovrim::wire::PayloadDecoder* decoder, IVRA_PLUGIN_MESSAGE* envelope,
                      const std::vector<JointRotation>& rotations) {
  const unsigned char* plain = reinterpret_cast<const unsigned char*>(payload);
  int plainLength = size;
  if (compressed && decoder->Inflate(plain, static_cast<size_t>(size), &plain, &plainLength) !=
                        kovrim::wire::PayloadDecoder::Result::kDecoded) {
    return false;
  }
  if (!envelope->ParseFromArray(plain, plainLength) || !envelope->has_frame()) return false;
  const auto& data = envelope->frame().motiondata();
  for (const JointRotation& joint : rotations) {
    FBMatrix composed, single, product;
    for (int n = 0; n < 3; ++n) {
      FBRVector angles(0.0, 0.0, 0.0);
      angles[joint.mAxes[n]] = static_cast<double>(data.Get(joint.mFirstValue + n));
      FBRotationToMatrix(n == 0 ? composed : single, angles, kFBXYZ);
      if (n == 0) continue;
      FBMatrixMult(product, composed, single);
      composed = product;
    }
    FBRVector result;
    FBMatrixToRotation(result, composed, kFBXYZ);
    benchmark::DoNotOptimize(result);
  }
  return true;
}

void RunFloor(benchmark::State& state, bool withSocket) {
  const bool compressed = state.range(1) != 0;
  const Stream stream = MakeStream(static_cast<int>(state.range(0)), compressed);
  SocketPair pair;
  if (!stream.mValid || pair.mFds[0] < 0) {
    state.SkipWithError("no stream");
    return;
  }
  IVRA_PLUGIN_MESSAGE envelope;
  kovrim::wire::PayloadDecoder decoder;
  std::vector<char> buffer(kovrim::wire::kReceiveLimit);
  size_t frame = 0;
  const long allocationsBefore = gAllocations.load();
  for (auto _ : state) {
    const std::string& bytes = stream.mFrames[frame];
    const char* payload = bytes.data() + kovrim::wire::kFrameHeaderSize;
    const int size = static_cast<int>(bytes.size() - kovrim::wire::kFrameHeaderSize);
    if (withSocket) {
      pair.Write(bytes);
      if (recv(pair.mFds[0], buffer.data(), kovrim::wire::kFrameHeaderSize, MSG_DONTWAIT) != 8 ||
          recv(pair.mFds[0], buffer.data(), size, MSG_DONTWAIT) != size) {
        state.SkipWithError("short read");
        break;
      }
      payload = buffer.data();
    }
    if (!DecodeAndConvert(payload, size, compressed, &decoder, &envelope, stream.mRotations)) {
      state.SkipWithError("payload does not decode");
      break;
    }
    frame = (frame + 1) % stream.mFrames.size();
  }
  Report(state, gAllocations.load() - allocationsBefore);
}

void BM_LinkFloor(benchmark::State& state) { RunFloor(state, false); }
void BM_LinkFloorWithSocket(benchmark::State& state) { RunFloor(state, true); }

// zlib's inflate as the link ran it before libdeflate (15 window bits plus 32: gzip or zlib by
// the stream's header; streams in a row; output bounded by the buffer), for comparison only. With
// `reuse` one z_stream is reset between payloads instead of set up and torn down for each.
class ZlibInflate {
 public:
  explicit ZlibInflate(bool reuse) : mReuse(reuse), mOut(kovrim::wire::kReceiveLimit + 1) {
    mReady = mReuse && inflateInit2(&mStream, 15 + 32) == Z_OK;
  }
  ~ZlibInflate() {
    if (mReady) inflateEnd(&mStream);
  }
  // Returns the inflated byte count, or -1.
  long Run(const unsigned char* payload, size_t length) {
    if (mReuse ? (!mReady || inflateReset(&mStream) != Z_OK)
               : inflateInit2(&mStream, 15 + 32) != Z_OK) {
      return -1;
    }
    mStream.next_in = const_cast<Bytef*>(payload);
    mStream.avail_in = static_cast<uInt>(length);
    mStream.next_out = mOut.data();
    mStream.avail_out = static_cast<uInt>(mOut.size());
    long result = -1;
    for (;;) {
      const int status = inflate(&mStream, Z_NO_FLUSH);
      if (status == Z_STREAM_END && mStream.avail_out > 0) {
        if (mStream.avail_in == 0) {
          result = static_cast<long>(mOut.size() - mStream.avail_out);
          break;
        }
        if (inflateReset(&mStream) == Z_OK) continue;
      }
      if (status != Z_OK || mStream.avail_out == 0) break;
    }
    if (!mReuse) inflateEnd(&mStream);
    return result;
  }
  const unsigned char* Out() const { return mOut.data(); }

 private:
  const bool mReuse;
  bool mReady = false;
  z_stream mStream{};
  std::vector<unsigned char> mOut;
};

// Args: joints, format (0 zlib, 1 gzip), inflater (0 zlib with a stream per payload, as the link
// did; 1 zlib reusing one stream; 2 libdeflate through the link's PayloadDecoder). Every inflater
// is checked to give the same bytes before it is timed.
void BM_Inflate(benchmark::State& state) {
  const auto format = state.range(1) == 0 ? kmq::Compression::kZlib : kmq::Compression::kGzip;
  const Stream stream = MakeStream(static_cast<int>(state.range(0)), format);
  if (!stream.mValid) {
    state.SkipWithError("no stream");
    return;
  }
  const int inflater = static_cast<int>(state.range(2));
  state.SetLabel(inflater == 0   ? "zlib, stream per payload"
                 : inflater == 1 ? "zlib, one stream"
                                 : "libdeflate (the link's)");
  ZlibInflate zlib(inflater == 1);
  kovrim::wire::PayloadDecoder decoder;
  auto run = [&](const std::string& frame, const unsigned char** plain) -> long {
    const auto* payload =
        reinterpret_cast<const unsigned char*>(frame.data()) + kovrim::wire::kFrameHeaderSize;
    const size_t length = frame.size() - kovrim::wire::kFrameHeaderSize;
    if (inflater < 2) {
      *plain = zlib.Out();
      return zlib.Run(payload, length);
    }
    int plainLength = 0;
    return decoder.Inflate(payload, length, plain, &plainLength) ==
                   kovrim::wire::PayloadDecoder::Result::kDecoded
               ? plainLength
               : -1;
  };
  ZlibInflate reference(false);
  for (const std::string& frame : stream.mFrames) {
    const unsigned char* plain = nullptr;
    const long length = run(frame, &plain);
    const auto* payload =
        reinterpret_cast<const unsigned char*>(frame.data()) + kovrim::wire::kFrameHeaderSize;
    if (length < 0 ||
        reference.Run(payload, frame.size() - kovrim::wire::kFrameHeaderSize) != length ||
        std::memcmp(plain, reference.Out(), static_cast<size_t>(length)) != 0) {
      state.SkipWithError("inflaters disagree");
      return;
    }
  }
  size_t frame = 0;
  long bytes = 0;
  for (auto _ : state) {
    const unsigned char* plain = nullptr;
    const long length = run(stream.mFrames[frame], &plain);
    if (length < 0) {
      state.SkipWithError("payload does not inflate");
      break;
    }
    benchmark::DoNotOptimize(plain);
    bytes += length;
    frame = (frame + 1) % stream.mFrames.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(bytes);
}

void Sizes(benchmark::internal::Benchmark* benchmark) {
  for (int joints : {31, 59, 173}) {
    for (int compressed : {0, 1}) benchmark->Args({joints, compressed});
  }
}
void Inflaters(benchmark::internal::Benchmark* benchmark) {
  for (int joints : {31, 59, 173}) {
    for (int format : {0, 1}) {
      for (int inflater : {0, 1, 2}) benchmark->Args({joints, format, inflater});
    }
  }
}
BENCHMARK(BM_LinkReadMessage)->Apply(Sizes);
BENCHMARK(BM_LinkFloor)->Apply(Sizes);
BENCHMARK(BM_LinkFloorWithSocket)->Apply(Sizes);
BENCHMARK(BM_Inflate)->Apply(Inflaters);

}  // namespace
