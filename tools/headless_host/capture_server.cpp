#include "capture_server.h"

#include <cstdint>
#include <utility>

#include "bvh.h"
#include "host_text.h"
#include "motion_server.h"

namespace kmq {

CaptureServer::CaptureServer() = default;

CaptureServer::~CaptureServer() { Stop(); }

bool CaptureServer::Serve(const std::vector<std::string>& paths, std::string* message) {
  if (mServer) {
    return Fail(message, "the reference server already runs on 127.0.0.1:" +
                             std::to_string(mServer->Port()));
  }
  if (paths.empty()) return Fail(message, "no capture to stream");
  ServerOptions serverOptions;
  serverOptions.mPort = 0;
  serverOptions.mQuiet = true;
  auto server = std::make_unique<MotionServer>(serverOptions);
  std::string error;
  for (size_t i = 0; i < paths.size(); ++i) {
    bvh::Clip clip;
    if (!bvh::ParseBvhFile(paths[i], &clip, &error)) {
      return Fail(message, "cannot read the capture to stream: " + error);
    }
    if (!server->AddActor(static_cast<uint32_t>(i + 1), Stem(paths[i]), std::move(clip), &error)) {
      return Fail(message, "cannot start the reference server: " + error);
    }
  }
  if (!server->Start(&error)) {
    return Fail(message, "cannot start the reference server: " + error);
  }
  mServer = std::move(server);
  std::string streamed;
  for (const std::string& path : paths) streamed += (streamed.empty() ? "" : ", ") + path;
  return Done(message, "Reference server streaming " + streamed +
                           " on 127.0.0.1:" + std::to_string(mServer->Port()));
}

int CaptureServer::Port() const { return mServer ? mServer->Port() : 0; }

void CaptureServer::Stop() {
  if (mServer) mServer->Stop();
  mServer.reset();
}

}  // namespace kmq
