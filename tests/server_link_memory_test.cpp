// How much memory the worst payloads we can build take while the link decodes them. Every heap
// allocation of this program is counted (operator new is replaced here, so this suite is a
// program of its own), and each case prints the peak of live heap bytes above what was live
// before the payload was handed over, and the time it took.
#include <gtest/gtest.h>
#include <malloc.h>

#include <fbsdk_control/host_control.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "link_test_util.h"
#include "server_link.h"
#include "server_link_test_peer.h"
#include "wire_format.h"

namespace {

std::atomic<int64_t> gLiveBytes{0};
std::atomic<int64_t> gPeakBytes{0};

void* CountedAllocate(size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  const int64_t live = gLiveBytes += static_cast<int64_t>(malloc_usable_size(block));
  int64_t peak = gPeakBytes.load();
  while (live > peak && !gPeakBytes.compare_exchange_weak(peak, live)) {
  }
  return block;
}

void CountedRelease(void* block) {
  if (block == nullptr) return;
  gLiveBytes -= static_cast<int64_t>(malloc_usable_size(block));
  std::free(block);
}

}  // namespace

void* operator new(size_t size) { return CountedAllocate(size); }
void* operator new[](size_t size) { return CountedAllocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAllocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAllocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept { CountedRelease(block); }
void operator delete[](void* block) noexcept { CountedRelease(block); }
void operator delete(void* block, size_t) noexcept { CountedRelease(block); }
void operator delete[](void* block, size_t) noexcept { CountedRelease(block); }

using namespace linktest;

namespace {

constexpr uint32_t kTag = 3;
constexpr int kBuffer = kovrim::wire::kReceiveLimit;
// What the link may take above its baseline for any one payload.
constexpr int64_t kMemoryBound = 64ll << 20;

// ---- Wire bytes by hand, for payloads the message classes would not build compactly. ----
std::string Varint(uint64_t value) {
  std::string out;
  while (value >= 0x80) {
    out += static_cast<char>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  out += static_cast<char>(value);
  return out;
}
std::string Tag(int field, int wireType) { return Varint((field << 3) | wireType); }
std::string Delimited(int field, const std::string& body) {
  return Tag(field, 2) + Varint(body.size()) + body;
}
std::string Envelope(int type, int contentField, const std::string& content) {
  return Tag(1, 0) + Varint(type) + Delimited(contentField, content);
}
const int kHeaderData = IVRA_PLUGIN_MESSAGE::HEADER_DATA;
const int kFrameData = IVRA_PLUGIN_MESSAGE::FRAME_DATA;

// The largest count n whose build(n) fits the receive buffer (sizes grow with n).
std::string Fill(const std::function<std::string(int)>& build) {
  int low = 1;
  int high = kBuffer;
  while (low < high) {
    const int middle = low + (high - low + 1) / 2;
    if (static_cast<int>(build(middle).size()) <= kBuffer) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  return build(low);
}

std::string Repeat(const std::string& unit, int n) {
  std::string out;
  out.reserve(unit.size() * static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) out += unit;
  return out;
}

const std::string kZeroVector = Tag(1, 5) + std::string(4, '\0') + Tag(2, 5) +
                                std::string(4, '\0') + Tag(3, 5) + std::string(4, '\0');
// A joint with an empty name and a zero offset, so it passes the completeness test.
std::string JointBody(const std::string& extra = "") {
  return Delimited(1, "") + Delimited(3, kZeroVector) + extra;
}
std::string HeaderOf(const std::string& rootBody) {
  return Envelope(kHeaderData, 2, Delimited(1, rootBody) + Tag(2, 0) + Varint(kTag));
}

struct Measured {
  int64_t mPeak = 0;
  double mMilliseconds = 0;
};

class ServerLinkMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fbsdk_control::SetTraceEcho(false);
    mLink.mActorTag = kTag;
    mLink.mOnline = true;
    mSeams.UseManualClock();
  }

  // Dispatches the payload, plain or compressed, and returns the heap's peak above the bytes
  // that were live before.
  Measured Dispatch(const std::string& name, const std::string& plain, bool compress = false) {
    const std::string payload = compress ? Compress(plain, Payload::kGzip) : plain;
    EXPECT_LE(static_cast<int>(payload.size()), kBuffer) << name;
    const int64_t baseline = gLiveBytes.load();
    gPeakBytes = baseline;
    const auto start = std::chrono::steady_clock::now();
    mLink.DispatchMessage(reinterpret_cast<const unsigned char*>(payload.data()),
                          static_cast<int>(payload.size()),
                          compress ? kovrim::wire::kCompressedMarker : kovrim::wire::kPlainMarker);
    Measured measured;
    measured.mMilliseconds =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    measured.mPeak = gPeakBytes.load() - baseline;
    std::printf("%-44s %9zu B %s -> %9zu B  peak heap +%7.2f MB  %8.2f ms\n", name.c_str(),
                payload.size(), compress ? "gzip " : "plain", plain.size(),
                static_cast<double>(measured.mPeak) / (1 << 20), measured.mMilliseconds);
    EXPECT_LT(measured.mPeak, kMemoryBound) << name;
    return measured;
  }

  fbsdk_control::ScopedHostCapture mHost;
  ServerLink mLink;
  ServerLinkTestPeer mSeams{&mLink};
};

TEST_F(ServerLinkMemoryTest, EveryWorstPayloadStaysWithinTheBound) {
  const std::string emptyChildren =
      Fill([](int n) { return HeaderOf(JointBody(Repeat(Delimited(5, ""), n))); });
  const std::string unknownStrings =
      Fill([](int n) { return Tag(1, 0) + Varint(0) + Repeat(Delimited(15, ""), n); });
  const std::string unknownGroups =
      Fill([](int n) { return Tag(1, 0) + Varint(0) + Repeat(Tag(15, 3) + Tag(15, 4), n); });
  const std::string childUnit = Delimited(5, JointBody(Delimited(4, kZeroVector)));
  const std::string validJoints =
      Fill([&](int n) { return HeaderOf(JointBody(Repeat(childUnit, n))); });
  const std::string packedChannels = Fill(
      [](int n) { return HeaderOf(JointBody(Delimited(2, Repeat(std::string(1, '\x05'), n)))); });
  const std::string unpackedChannels =
      Fill([](int n) { return HeaderOf(JointBody(Repeat(Tag(2, 0) + Varint(3), n))); });
  const std::string actors = Fill([](int n) {
    std::string map;
    for (int i = 0; i < n; ++i) {
      map += Delimited(1, Tag(1, 0) + Varint(static_cast<uint32_t>(i) + 1));
    }
    return Tag(1, 0) + Varint(0) + Delimited(4, Tag(1, 0) + Varint(3) + Delimited(3, map));
  });
  // Nested as deep as the parser allows, every level as wide as the rest of the buffer allows.
  std::string deepBody = JointBody();
  for (int level = 0; level < kovrim::wire::kMaxMessageDepth - 4; ++level) {
    deepBody = Delimited(1, "") + Delimited(3, kZeroVector) + Delimited(5, deepBody);
  }
  const std::string deepAndWide = Fill([&](int n) {
    return HeaderOf(JointBody(Delimited(5, deepBody) + Repeat(Delimited(5, ""), n)));
  });

  const struct {
    const char* mName;
    const std::string& mPlain;
  } cases[] = {{"empty child joints", emptyChildren},
               {"unknown length-delimited fields", unknownStrings},
               {"unknown empty groups", unknownGroups},
               {"valid joints with end sites", validJoints},
               {"one joint, packed channels", packedChannels},
               {"one joint, unpacked channels", unpackedChannels},
               {"actor list entries", actors},
               {"deepest nesting plus empty child joints", deepAndWide}};
  for (const auto& c : cases) {
    mLink.mHeaderPending = true;
    Dispatch(c.mName, c.mPlain);
    mLink.mHeaderPending = true;
    Dispatch(c.mName, c.mPlain, true);
  }
}

TEST_F(ServerLinkMemoryTest, FullFramesForTheWidestSkeletonsStayWithinTheBound) {
  // One joint listing as many channels as a full frame has values.
  const int values = (kBuffer - 16) / 4;
  std::string channels;
  for (int i = 0; i < values; ++i) channels += static_cast<char>(i % 6);
  mLink.mHeaderPending = true;
  Dispatch("header: one joint, a frame's worth of channels",
           HeaderOf(JointBody(Delimited(2, channels))));
  ASSERT_EQ(mLink.GetJointCount(), 1);
  std::string floats;
  for (int i = 0; i < values; ++i) floats += std::string("\x00\x00\x80\x3f", 4);
  const std::string frame =
      Envelope(kFrameData, 3, Delimited(1, floats) + Tag(2, 0) + Varint(kTag));
  Dispatch("frame: packed values for that joint", frame);
  Dispatch("frame: packed values for that joint", frame, true);
  EXPECT_EQ(fbsdk_control::CountTraces("Frame Wrong"), 0u);
  EXPECT_EQ(fbsdk_control::CountTraces("incorrect"), 0u);
}

TEST_F(ServerLinkMemoryTest, InflationBombsStopAtTheReceiveBuffer) {
  for (int joints : {1 << 20, 10 << 20}) {
    const std::string bomb = HeaderOf(JointBody(Repeat(Delimited(5, ""), joints)));
    mLink.mHeaderPending = true;
    Dispatch("bomb: " + std::to_string(joints) + " empty child joints", bomb, true);
  }
  // The clock stands still, so the second is held back for the next trace of its kind.
  EXPECT_EQ(fbsdk_control::CountTraces(ServerLink::kTraceFrameInflatesTooFar), 1u);
}

}  // namespace
