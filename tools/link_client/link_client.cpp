// kovrim-link-client: connects the plug-in's server link to a motion server, chooses an actor,
// asks for its skeleton and prints the skeleton and the frame rate that arrives. With --local it
// first starts the reference motion server in this process, on a free port, with a bundled capture.
// The main thread plays the host's device I/O thread: it reads the link in passes bounded as the
// device's I/O notification is, a millisecond apart while nothing arrives.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bvh.h"
#include "kovrim_device.h"
#include "motion_server.h"
#include "option_table.h"
#include "server_link.h"
#include "tool_text.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

struct Options {
  std::string mAddress = "127.0.0.1";
  int mPort = 7005;
  bool mLocal = false;
  std::string mLocalFile;
  int64_t mActor = -1;  // -1: the first offered
  double mSeconds = 5.0;
  double mTimeout = 5.0;
};

// Longest wait, in seconds: longer ones would overflow the clock's tick count.
constexpr double kMaxSeconds = 1e6;

kmq::OptionTable LinkClientOptionTable(Options* options, bool* help) {
  using namespace kmq;
  OptionTable table;
  table.mIntro =
      "Usage: kovrim-link-client [options]\n"
      "Connects the plug-in's server link to a motion server and prints the chosen actor's\n"
      "skeleton and the frames that arrive. See docs/link-client.md.\n\n";
  table.mUnknown = "unknown option {name} (see --help)";
  table.mMissing = "{name} needs a value";
  Option local = Custom(
      "--local", "[FILE]",
      [options](const std::string& value, std::string*) {
        options->mLocal = true;
        options->mLocalFile = value;
        return true;
      },
      "start the reference server in this process on a free port, serving\n"
      "FILE or the bundled capture");
  local.mValueOptional = true;
  table.mGroups = {
      {"",
       17,
       {Text("--address", "ADDR", &options->mAddress, "server address (default 127.0.0.1)",
             "--address needs an address"),
        Integer("--port", "N", &options->mPort, 1, 65535, "server port (default 7005)",
                "--port needs a number from 1 to 65535, not '{value}'"),
        local,
        Integer<int64_t>("--actor", "TAG", &options->mActor, 0, UINT32_MAX,
                         "actor to choose (default: the first offered)",
                         "--actor needs an actor tag (a number), not '{value}'"),
        Number("--seconds", "S", &options->mSeconds, 0, kMaxSeconds, false,
               "how long to receive frames (default 5)",
               "--seconds needs a number of seconds from 0 to 1000000, not '{value}'"),
        Number("--timeout", "S", &options->mTimeout, 0, kMaxSeconds, true,
               "how long to wait for the actor list and the header (default 5)",
               "--timeout needs a positive number of seconds up to 1000000, not '{value}'"),
        HelpFlag(help)}}};
  return table;
}

const char* ChannelName(int channel) {
  static const char* kNames[] = {"Xposition", "Yposition", "Zposition",
                                 "Xrotation", "Yrotation", "Zrotation"};
  return channel >= 0 && channel < 6 ? kNames[channel] : "?";
}

void PrintJoint(const IvraPlugs::BVH_JOIN& joint, int depth, int* count) {
  ++*count;
  std::printf("  %*s%s  offset (%.3f, %.3f, %.3f)", depth * 2, "", joint.joinname().c_str(),
              static_cast<double>(joint.offset().x()), static_cast<double>(joint.offset().y()),
              static_cast<double>(joint.offset().z()));
  if (joint.channels_size() > 0) {
    std::printf("  channels");
    for (int channel : joint.channels()) std::printf(" %s", ChannelName(channel));
  }
  std::printf("\n");
  for (const auto& child : joint.childjoin()) PrintJoint(child, depth + 1, count);
  if (joint.has_endsite()) {
    std::printf("  %*sEnd Site  (%.3f, %.3f, %.3f)\n", depth * 2 + 2, "",
                static_cast<double>(joint.endsite().x()), static_cast<double>(joint.endsite().y()),
                static_cast<double>(joint.endsite().z()));
  }
}

using Clock = std::chrono::steady_clock;

// One pass over the link, bounded as the device's I/O notification bounds it
// (KovrimDevice::DeviceIONotify): at most kMaxMessagesPerIoPass messages, and another only while
// the time spent plus the dearest message of the pass is under kIoPassTime. What is left waits in
// the socket for the next pass. Returns the messages read.
int ReadPass(ServerLink& link) {
  return kovrim::ReadBoundedPass(
      link, KovrimDevice::kMaxMessagesPerIoPass, KovrimDevice::kIoPassTime,
      [] { return Clock::now(); }, [] {});
}

// Reads the link pass by pass until pred holds or the timeout passes; returns whether pred held.
// Between passes it looks at pred, the clock and Ctrl-C, also while a server sends faster than
// the link reads.
template <typename Pred>
bool PumpUntil(ServerLink& link, double seconds, Pred pred, long* frames = nullptr) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (!pred()) {
    if (gStop || Clock::now() > end) return false;
    const int read = ReadPass(link);
    if (frames) *frames += read;
    if (read == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool help = false;
  std::string problem;
  if (!kmq::ParseOptions(LinkClientOptionTable(&options, &help),
                         std::vector<std::string>(argv + 1, argv + argc), nullptr, &problem)) {
    std::fprintf(stderr, "error: %s\n", problem.c_str());
    return 2;
  }
  if (help) {
    std::fputs(kmq::Usage(LinkClientOptionTable(&options, &help)).c_str(), stdout);
    return 0;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  std::unique_ptr<kmq::MotionServer> server;
  if (options.mLocal) {
    const std::string file = options.mLocalFile.empty()
                                 ? std::string(KMQ_DATA_DIR) + "/bvh/cmu_12_01_walk.bvh"
                                 : options.mLocalFile;
    bvh::Clip clip;
    std::string error;
    if (!bvh::ParseBvhFile(file, &clip, &error)) {
      std::fprintf(stderr, "error: %s\n", error.c_str());
      return 1;
    }
    kmq::ServerOptions serverOptions;
    serverOptions.mPort = 0;
    serverOptions.mQuiet = true;
    server = std::make_unique<kmq::MotionServer>(serverOptions);
    if (!server->AddActor(1, kmq::Stem(file), std::move(clip), &error) || !server->Start(&error)) {
      std::fprintf(stderr, "error: cannot start the reference server: %s\n", error.c_str());
      return 1;
    }
    options.mAddress = "127.0.0.1";
    options.mPort = server->Port();
    std::printf("Reference server serving %s on 127.0.0.1:%d\n", file.c_str(), options.mPort);
  }

  ServerLink link;
  link.mAddress = options.mAddress.c_str();
  link.mPort = options.mPort;
  std::printf("Connecting to %s:%d\n", options.mAddress.c_str(), options.mPort);
  if (!link.Open()) {
    std::fprintf(stderr, "error: cannot connect to %s:%d\n", options.mAddress.c_str(),
                 options.mPort);
    return 1;
  }

  if (!PumpUntil(link, options.mTimeout, [&] { return link.mActorsChanged.load(); })) {
    std::fprintf(stderr, "error: the server offered no actor within %.1f s\n", options.mTimeout);
    return 1;
  }
  link.mActorsChanged = false;
  const auto actors = link.CopyActors();
  std::printf("Actors offered:");
  for (const auto& actor : actors) std::printf("  %u \"%s\"", actor.first, actor.second.c_str());
  std::printf("\n");
  if (actors.empty()) {
    std::fprintf(stderr, "error: the server's actor list is empty\n");
    return 1;
  }
  uint32_t tag = actors.begin()->first;
  if (options.mActor >= 0) {
    tag = static_cast<uint32_t>(options.mActor);
    if (!actors.count(tag)) {
      std::fprintf(stderr, "error: the server offers no actor %u\n", tag);
      return 1;
    }
  }
  if (tag == link.mActorTag) {
    link.RequestHeader();
  } else {
    link.SelectActor(tag);
  }
  if (!PumpUntil(link, options.mTimeout,
                 [&] { return link.mHeaderReceived.load() && !link.mHeaderPending.load(); })) {
    std::fprintf(stderr, "error: no skeleton header for actor %u within %.1f s\n", tag,
                 options.mTimeout);
    return 1;
  }
  const IvraPlugs::BVH_HEADER header = link.CopyHeader();
  std::printf("Skeleton of actor %u \"%s\":\n", tag, header.actorname().c_str());
  int joints = 0;
  PrintJoint(header.rootjoin(), 0, &joints);
  std::printf("%d joints, %d pose entries\n", joints, link.GetJointCount());

  long frames = 0;
  long lastFrames = 0;
  const auto start = Clock::now();
  auto lastReport = start;
  const auto end = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(options.mSeconds));
  while (!gStop && Clock::now() < end) {
    const auto next = std::min(end, lastReport + std::chrono::seconds(1));
    PumpUntil(
        link, std::chrono::duration<double>(next - Clock::now()).count(), [] { return false; },
        &frames);
    const auto now = Clock::now();
    const double span = std::chrono::duration<double>(now - lastReport).count();
    const FBVector4<double> t = link.GetTranslation(0);
    const FBVector3<double> r = link.GetRotation(0);
    std::printf("frames %6ld  rate %6.1f fps  root (%8.3f %8.3f %8.3f)  rot (%7.2f %7.2f %7.2f)\n",
                frames, span > 0 ? (frames - lastFrames) / span : 0.0, t.mValue[0], t.mValue[1],
                t.mValue[2], r.mValue[0], r.mValue[1], r.mValue[2]);
    std::fflush(stdout);
    lastFrames = frames;
    lastReport = now;
  }
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("Received %ld frames in %.2f s (%.1f fps)\n", frames, total,
              total > 0 ? frames / total : 0.0);
  link.Close();
  if (server) server->Stop();
  return frames > 0 ? 0 : 1;
}
