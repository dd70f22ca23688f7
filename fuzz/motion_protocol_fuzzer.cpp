// Fuzz target: the reference server's side of the wire. The same bytes, in chunks taken from the
// input, go through the command reader a client connection uses (FrameReader with the server's
// 64 KiB command bound), through the plug-in-rules splitter the capture and health tools use
// (RawFrameSplitter), and each raw frame's payload through DecodePayload; every envelope is read
// the way the server reads a command.
//
// Input: like the link stream target, wire bytes from the front and chunk sizes from the back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "motion_protocol.h"

namespace {

// What a client connection's reader is built with in the reference server.
constexpr size_t kServerCommandBound = 64u << 10;

// The fields the server's command handling reads.
void ReadCommand(const IvraPlugs::IVRA_PLUGIN_MESSAGE& message) {
  if (message.message() != IvraPlugs::IVRA_PLUGIN_MESSAGE::COMMAND || !message.has_command()) {
    return;
  }
  const IvraPlugs::COMMAND& command = message.command();
  volatile uint32_t sink = static_cast<uint32_t>(command.cmdtype());
  if (command.Content_case() == IvraPlugs::COMMAND::kActorTag) sink = command.actortag();
  (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kmqfuzz::SilenceProtobufLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kmqfuzz::ChunkedInput input(data, size);
  kmq::FrameReader reader(kServerCommandBound);
  kmq::RawFrameSplitter splitter;
  IvraPlugs::IVRA_PLUGIN_MESSAGE message;
  kmq::RawFrame frame;
  uint64_t fed = 0;
  while (input.Remaining() > 0) {
    const auto bytes = input.TakeBytes(input.TakeNumber(1, 4096));
    fed += bytes.second;
    reader.Feed(bytes.first, bytes.second);
    while (reader.Next(&message)) ReadCommand(message);
    splitter.Feed(bytes.first, bytes.second);
    while (splitter.Next(&frame)) {
      std::string error;
      if (kmq::DecodePayload(frame.mMarker == kovrim::wire::kCompressedMarker,
                             frame.mPayload.data(), frame.mPayload.size(), &message, &error)) {
        ReadCommand(message);
      }
    }
    // Both keep at most one frame plus the last chunk.
    if (reader.BufferedBytes() > kServerCommandBound + 8 + 4096) std::abort();
    if (splitter.BufferedBytes() >
        kovrim::wire::kReceiveLimit + kovrim::wire::kFrameHeaderSize + 4096)
      std::abort();
  }
  if (splitter.SkippedBytes() > fed) std::abort();  // counted bytes it never saw
  return 0;
}
