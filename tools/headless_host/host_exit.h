// The headless host's exit codes, for the one-shot job, the command scripts and main alike. Kept
// apart so that every layer of the host can name them without including the layers above it.
#ifndef KMQ_TOOLS_HEADLESS_HOST_HOST_EXIT_H_
#define KMQ_TOOLS_HEADLESS_HOST_HOST_EXIT_H_

namespace kmq {

enum HostExitCode {
  kExitOk = 0,
  kExitCommandFailed = 1,  // a script command answered "error"
  kExitUsage = 2,
  kExitPlugin = 3,  // library not loaded, device or panel not created
  kExitServerUnreachable = 4,
  kExitNoActor = 5,
  kExitNoHeader = 6,
  kExitRecording = 7,        // skeleton not bound, nothing recorded, take not written
  kExitReferenceServer = 8,  // the in-process server could not start (bad capture file)
  kExitInterrupted = 130,    // a stop was requested before the recording began
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_HOST_EXIT_H_
