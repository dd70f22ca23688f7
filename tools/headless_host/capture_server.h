// The reference motion server a HeadlessHost may start in-process: it streams capture files as
// actors on a free port of 127.0.0.1, for the device to connect to. Started and stopped on the
// user-interface thread; the server runs on threads of its own.
#ifndef KMQ_TOOLS_HEADLESS_HOST_CAPTURE_SERVER_H_
#define KMQ_TOOLS_HEADLESS_HOST_CAPTURE_SERVER_H_

#include <memory>
#include <string>
#include <vector>

namespace kmq {

class MotionServer;

class CaptureServer {
 public:
  CaptureServer();
  // Stop.
  ~CaptureServer();
  CaptureServer(const CaptureServer&) = delete;
  CaptureServer& operator=(const CaptureServer&) = delete;

  // Starts streaming each capture as one actor (tags 1, 2, ... named after the files' stems).
  // Fails when the server runs already, or a capture cannot be read; *message says what was done
  // or why nothing was.
  bool Serve(const std::vector<std::string>& paths, std::string* message);
  bool IsServing() const { return mServer != nullptr; }
  // The port it listens on; 0 when it does not run.
  int Port() const;
  // Idempotent.
  void Stop();

 private:
  std::unique_ptr<MotionServer> mServer;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_CAPTURE_SERVER_H_
