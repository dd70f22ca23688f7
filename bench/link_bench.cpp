// Cost of taking one frame of motion: parsing and decompressing the envelope, then decoding it
// into the pose table under the link's lock, for skeletons of growing size.
#include <benchmark/benchmark.h>

#include <fbsdk_control/host_control.h>

#include "link_test_util.h"
#include "server_link.h"

using namespace linktest;

namespace {

// A skeleton of `joints` joints: a six-channel root and chains of three-channel joints below it,
// at most 20 deep so that the header stays within the parser's nesting limit.
BVH_JOIN Skeleton(int joints) {
  BVH_JOIN root = Joint("Root", {X_POS, Y_POS, Z_POS, Z_ROT, Y_ROT, X_ROT}, {0, 0, 0});
  BVH_JOIN* parent = &root;
  for (int i = 1; i < joints; ++i) {
    if ((i - 1) % 20 == 0) parent = &root;
    *parent->add_childjoin() = Joint("J" + std::to_string(i), {Z_ROT, X_ROT, Y_ROT}, {0, 1, 0});
    parent = parent->mutable_childjoin(parent->childjoin_size() - 1);
  }
  return root;
}

void DispatchFrames(benchmark::State& state, Payload format) {
  fbsdk_control::SetTraceEcho(false);
  const int joints = static_cast<int>(state.range(0));
  ServerLink link;
  link.mActorTag = 1;
  link.mOnline = true;
  const std::string header = HeaderMessage(1, Skeleton(joints)).SerializeAsString();
  link.DispatchMessage(reinterpret_cast<const unsigned char*>(header.data()),
                       static_cast<int>(header.size()), kovrim::wire::kPlainMarker);
  std::vector<float> values(3 + 3 * joints);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i % 90);
  const std::string payload = EncodePayload(FrameMessage(1, values).SerializeAsString(), format);
  const uint32_t marker =
      format == Payload::kPlain ? kovrim::wire::kPlainMarker : kovrim::wire::kCompressedMarker;
  if (link.GetJointCount() != joints) state.SkipWithError("header not taken");
  for (auto _ : state) {
    link.DispatchMessage(reinterpret_cast<const unsigned char*>(payload.data()),
                         static_cast<int>(payload.size()), marker);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(payload.size()));
}

void BM_DispatchPlainFrame(benchmark::State& state) { DispatchFrames(state, Payload::kPlain); }
void BM_DispatchGzipFrame(benchmark::State& state) { DispatchFrames(state, Payload::kGzip); }
BENCHMARK(BM_DispatchPlainFrame)->Arg(31)->Arg(75)->Arg(150);
BENCHMARK(BM_DispatchGzipFrame)->Arg(31)->Arg(75)->Arg(150);

void BM_ToHostRotation(benchmark::State& state) {
  const std::vector<int> channels = {Z_ROT, X_ROT, Y_ROT};
  const float values[3] = {12.5f, -40.0f, 77.0f};
  for (auto _ : state) benchmark::DoNotOptimize(ServerLink::ToHostRotation(channels, values));
}
BENCHMARK(BM_ToHostRotation);

// The evaluation's read of one joint while no frame competes for the lock.
void BM_GetPose(benchmark::State& state) {
  fbsdk_control::SetTraceEcho(false);
  ServerLink link;
  link.mActorTag = 1;
  link.mOnline = true;
  const std::string header = HeaderMessage(1, Skeleton(31)).SerializeAsString();
  link.DispatchMessage(reinterpret_cast<const unsigned char*>(header.data()),
                       static_cast<int>(header.size()), kovrim::wire::kPlainMarker);
  int index = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(link.GetTranslation(index));
    benchmark::DoNotOptimize(link.GetRotation(index));
    index = (index + 1) % 31;
  }
}
BENCHMARK(BM_GetPose);

}  // namespace
