// Fuzz target: arbitrary bytes, cut into arbitrary chunks, arrive through the stand-in's in-memory
// connection (the same FBTCPIP calls as a real socket, without the kernel) at a link that has
// accepted the walk's header, and ReadMessage is called until it has nothing more
// after each chunk, so frames are cut, completed, skipped and decoded as on the I/O thread.
//
// Input: the stream is read from the front; the socket's per-read limit (last byte) and each
// chunk's size (two bytes each, walking back from the end) are taken from the back, so a seed is
// real wire bytes followed by a short trailer (see make_seed_corpus.cpp).
#include <cstddef>
#include <cstdint>

#include <fbsdk_control/host_control.h>

#include "fuzz_support.h"
#include "server_link.h"

namespace {

// ReadMessage returns false when no whole frame is waiting; this only guards the harness against
// a reader that never says so.
constexpr int kMaxReadsPerChunk = 1 << 16;

void Drain(ServerLink& link) {
  for (int i = 0; i < kMaxReadsPerChunk && link.ReadMessage(); ++i) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fbsdk_control::SetTraceEcho(false);
  kmqfuzz::SilenceProtobufLog();
  kmqfuzz::WalkHeaderPayload();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fbsdk_control::ResetHost();  // forgets the traces of the last input
  kmqfuzz::ChunkedInput input(data, size);
  fbsdk_control::SetSocketReadLimit(static_cast<int>(input.TakeNumber(0, 64)));

  const int socket = fbsdk_control::OpenMemoryConnection();
  {
    ServerLink link;
    link.mActorTag = kmqfuzz::kActorTag;
    const std::string& header = kmqfuzz::WalkHeaderPayload();
    link.DispatchMessage(reinterpret_cast<const unsigned char*>(header.data()),
                         static_cast<int>(header.size()), kovrim::wire::kPlainMarker);
    link.Connection()->mSocket = socket;  // the link owns it now and closes it
    link.mOnline = true;

    while (input.Remaining() > 0) {
      const auto bytes = input.TakeBytes(input.TakeNumber(1, 4096));
      fbsdk_control::FeedMemoryConnection(socket, bytes.first, bytes.second);
      Drain(link);
    }
    // What the evaluation reads from the tables the stream left.
    const int count = link.GetJointCount();
    for (int i = -1; i <= count; ++i) {
      link.GetRotation(i);
      link.GetTranslation(i);
    }
    link.Close();
  }
  return 0;
}
