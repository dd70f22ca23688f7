// The reference server on Windows: not served there. It runs on Linux (natively, or under WSL on
// the Windows machine); a Windows program reaches it over the network. Every call reports that,
// so the headless host's --server mode (which never starts one) is what works on Windows.
#include "motion_server.h"

namespace kmq {
namespace {

constexpr const char* kNotOnWindows =
    "the reference server runs on Linux; start it there and pass its address with --server";

bool Refuse(std::string* error) {
  if (error != nullptr) *error = kNotOnWindows;
  return false;
}

}  // namespace

struct MotionServer::Actor {};
struct MotionServer::Client {};

MotionServer::MotionServer(ServerOptions options) : mOptions(std::move(options)) {}
MotionServer::~MotionServer() {}

bool MotionServer::AddActor(uint32_t, const std::string&, bvh::Clip, std::string* error) {
  return Refuse(error);
}
bool MotionServer::AddSyntheticActor(uint32_t, const std::string&, std::string* error) {
  return Refuse(error);
}
bool MotionServer::AddReplay(const Capture&, std::string* error) { return Refuse(error); }
bool MotionServer::Start(std::string* error) { return Refuse(error); }
void MotionServer::Stop() {}

Stats MotionServer::GetStats() const {
  kovrim::MutexLock lock(&mStatsMutex);
  return mStats;
}

bool MotionServer::WaitForClients(int, std::chrono::milliseconds) { return false; }

bool MotionServer::WaitForStats(const std::function<bool(const Stats&)>&,
                                std::chrono::milliseconds) {
  return false;
}

}  // namespace kmq
