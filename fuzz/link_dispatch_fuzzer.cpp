// Fuzz target: ServerLink::DispatchMessage on an arbitrary payload, under the plain marker and
// then under the compressed one, on a link that has accepted the walk's header (so frame payloads
// are decoded against a real skeleton; the link is kept from input to input, see walk_link.h).
// The getters run after each, as the evaluation would.
#include <cstddef>
#include <cstdint>

#include <fbsdk_control/host_control.h>

#include "fuzz_support.h"
#include "server_link.h"
#include "walk_link.h"
#include "wire_format.h"

namespace {

void ReadPose(ServerLink& link) {
  const int count = link.GetJointCount();
  for (int i = -1; i <= count; ++i) {
    link.GetRotation(i);
    link.GetTranslation(i);
    link.GetTPoseRotation(i);
  }
  link.CopyActors();
}

kmqfuzz::WalkLink gLink;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fbsdk_control::SetTraceEcho(false);
  kmqfuzz::SilenceProtobufLog();
  kmqfuzz::WalkHeaderPayload();
  gLink.Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > static_cast<size_t>(kovrim::wire::kReceiveLimit)) return 0;  // never reaches it
  ServerLink& link = gLink.Get();

  link.DispatchMessage(data, static_cast<int>(size), kovrim::wire::kPlainMarker);
  ReadPose(link);
  link.DispatchMessage(data, static_cast<int>(size), kovrim::wire::kCompressedMarker);
  ReadPose(link);
  gLink.AfterInput();
  // What the input left in the host (its traces, its connection) goes with it, for the same
  // reason.
  fbsdk_control::ResetHost();
  return 0;
}
