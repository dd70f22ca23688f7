// The reference motion server a HeadlessHost may start in-process: it streams captures as actors
// on a free port of 127.0.0.1, for the host's devices to connect to (one actor for each device,
// or more). Started and stopped on the user-interface thread; the server runs on threads of its
// own, and Stats may be read from any thread.
#ifndef KMQ_TOOLS_HEADLESS_HOST_CAPTURE_SERVER_H_
#define KMQ_TOOLS_HEADLESS_HOST_CAPTURE_SERVER_H_

#include <memory>
#include <string>
#include <vector>

#include "bvh.h"
#include "motion_server.h"

namespace kmq {

// One actor the server streams.
struct ServedActor {
  std::string mName;
  bvh::Clip mClip;
};

class CaptureServer {
 public:
  CaptureServer();
  // Stop.
  ~CaptureServer();
  CaptureServer(const CaptureServer&) = delete;
  CaptureServer& operator=(const CaptureServer&) = delete;

  // Starts streaming each capture as one actor (tags 1, 2, ... named after the files' stems),
  // every capture copies times: with copies > 1 the actors of a capture are named STEM-1 to
  // STEM-copies. Fails when the server runs already, or a capture cannot be read; *message says
  // what was done or why nothing was.
  bool Serve(const std::vector<std::string>& paths, std::string* message, int copies = 1);
  // Starts streaming actors[i] with tag i + 1, with options (its port and quiet overridden: a
  // free port, no console lines), for tests and measurements that make their own clips.
  bool ServeActors(const ServerOptions& options, std::vector<ServedActor> actors,
                   std::string* message);
  bool IsServing() const { return mServer != nullptr; }
  // The port it listens on; 0 when it does not run.
  int Port() const;
  // The server's counts (connections, slow clients dropped); zeros when it does not run.
  Stats GetStats() const { return mServer ? mServer->GetStats() : Stats(); }
  // Idempotent.
  void Stop();

 private:
  bool Start(const ServerOptions& options, std::vector<ServedActor> actors, std::string* error);

  std::unique_ptr<MotionServer> mServer;
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_CAPTURE_SERVER_H_
