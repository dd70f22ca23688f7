// Fuzz target: arbitrary bytes, cut into arbitrary chunks, arrive through the stand-in's in-memory
// connection (the same FBTCPIP calls as a real socket, without the kernel) at a link that has
// accepted the walk's header (kept from input to input: walk_link.h), and ReadMessage is called
// until it has nothing more after each chunk, so frames are cut, completed, skipped and decoded as
// on the I/O thread.
//
// Input: the stream is read from the front; the socket's per-read limit (last byte) and each
// chunk's size (two bytes each, walking back from the end) are taken from the back, so a seed is
// real wire bytes followed by a short trailer (see make_seed_corpus.cpp).
#include <cstddef>
#include <cstdint>
#include <vector>

#include <fbsdk_control/host_control.h>

#include "fuzz_support.h"
#include "server_link.h"
#include "walk_link.h"

namespace {

// ReadMessage returns false when no whole frame is waiting; this only guards the harness against
// a reader that never says so.
constexpr int kMaxReadsPerChunk = 1 << 16;

void Drain(ServerLink& link) {
  for (int i = 0; i < kMaxReadsPerChunk && link.ReadMessage(); ++i) {
  }
}

kmqfuzz::WalkLink gLink;
std::vector<ServerLink::PoseValues> gPose;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fbsdk_control::SetTraceEcho(false);
  kmqfuzz::SilenceProtobufLog();
  kmqfuzz::WalkHeaderPayload();
  gLink.Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kmqfuzz::ChunkedInput input(data, size);
  fbsdk_control::SetSocketReadLimit(static_cast<int>(input.TakeNumber(0, 64)));

  // Each input is a connection of its own; the link closes its socket as it goes offline.
  ServerLink& link = gLink.Get();
  link.Connection()->InstallSocket(fbsdk_control::OpenMemoryConnection(), link.Now());
  link.mOnline = true;
  while (input.Remaining() > 0) {
    const auto bytes = input.TakeBytes(input.TakeNumber(1, 4096));
    fbsdk_control::FeedMemoryConnection(link.Connection()->mSocket, bytes.first, bytes.second);
    Drain(link);
  }
  // What the evaluation reads from the tables the stream left: the getters at and past both ends
  // (every joint in between is the same copy) and the whole pose in one copy, one entry past the
  // tables.
  const int count = link.GetJointCount();
  for (const int i : {-1, 0, count - 1, count}) {
    link.GetRotation(i);
    link.GetTranslation(i);
  }
  link.CopyPose(false, count + 1, &gPose);
  link.Close();
  gLink.AfterInput();
  // What the input left in the host (its traces, its connection) goes with it, for the same
  // reason.
  fbsdk_control::ResetHost();
  return 0;
}
