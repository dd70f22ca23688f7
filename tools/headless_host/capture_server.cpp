#include "capture_server.h"

#include <cstdint>
#include <utility>

#include "host_text.h"

namespace kmq {

CaptureServer::CaptureServer() = default;

CaptureServer::~CaptureServer() { Stop(); }

bool CaptureServer::Start(const ServerOptions& options, std::vector<ServedActor> actors,
                          std::string* error) {
  ServerOptions serverOptions = options;
  serverOptions.mPort = 0;
  serverOptions.mQuiet = true;
  auto server = std::make_unique<MotionServer>(serverOptions);
  for (size_t i = 0; i < actors.size(); ++i) {
    if (!server->AddActor(static_cast<uint32_t>(i + 1), actors[i].mName, std::move(actors[i].mClip),
                          error)) {
      return false;
    }
  }
  if (!server->Start(error)) return false;
  mServer = std::move(server);
  return true;
}

bool CaptureServer::Serve(const std::vector<std::string>& paths, std::string* message, int copies) {
  if (mServer) {
    return Fail(message, "the reference server already runs on 127.0.0.1:" +
                             std::to_string(mServer->Port()));
  }
  if (paths.empty() || copies < 1) return Fail(message, "no capture to stream");
  std::vector<ServedActor> actors;
  std::string error;
  for (const std::string& path : paths) {
    bvh::Clip clip;
    if (!bvh::ParseBvhFile(path, &clip, &error)) {
      return Fail(message, "cannot read the capture to stream: " + error);
    }
    for (int copy = 1; copy <= copies; ++copy) {
      const std::string number = copies > 1 ? "-" + std::to_string(copy) : "";
      actors.push_back(ServedActor{Stem(path) + number, clip});
    }
  }
  if (!Start(ServerOptions(), std::move(actors), &error)) {
    return Fail(message, "cannot start the reference server: " + error);
  }
  std::string streamed;
  for (const std::string& path : paths) streamed += (streamed.empty() ? "" : ", ") + path;
  if (copies > 1) streamed += " " + std::to_string(copies) + " times";
  return Done(message, "Reference server streaming " + streamed +
                           " on 127.0.0.1:" + std::to_string(mServer->Port()));
}

bool CaptureServer::ServeActors(const ServerOptions& options, std::vector<ServedActor> actors,
                                std::string* message) {
  if (mServer) return Fail(message, "the reference server runs already");
  if (actors.empty()) return Fail(message, "no actor to stream");
  const size_t count = actors.size();
  std::string error;
  if (!Start(options, std::move(actors), &error)) {
    return Fail(message, "cannot start the reference server: " + error);
  }
  return Done(message, "Reference server streaming " + std::to_string(count) +
                           " actors on 127.0.0.1:" + std::to_string(mServer->Port()));
}

int CaptureServer::Port() const { return mServer ? mServer->Port() : 0; }

void CaptureServer::Stop() {
  if (mServer) mServer->Stop();
  mServer.reset();
}

}  // namespace kmq
