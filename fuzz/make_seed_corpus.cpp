// Writes the fuzz targets' seed corpora from the bundled captures, encoded by the reference
// server's own message builders and framing: `kmq-fuzz-seeds OUT_DIR` (fuzz/corpus in the repo).
// The seeds are committed; run this again only when the wire format or a target's input layout
// changes.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bvh.h"
#include "capture_file.h"
#include "fuzz_support.h"
#include "motion_protocol.h"

namespace {

using IvraPlugs::IVRA_PLUGIN_MESSAGE;
using kmq::Compression;

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "kmq-fuzz-seeds: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

// The trailer the stream targets read from the back of their input (kmqfuzz::ChunkedInput): the
// socket's read limit in the last byte, then, walking back, each chunk's size minus one as two
// bytes, high byte last. The stream splits into chunks of `chunk`.
std::string WithChunking(const std::string& stream, size_t chunk, int readLimit) {
  std::vector<size_t> sizes;
  for (size_t at = 0; at < stream.size(); at += chunk) {
    sizes.push_back(std::min(chunk, stream.size() - at));
  }
  std::string trailer;
  for (auto it = sizes.rbegin(); it != sizes.rend(); ++it) {
    const size_t value = *it - 1;
    trailer += static_cast<char>(value & 0xFF);
    trailer += static_cast<char>((value >> 8) & 0xFF);
  }
  trailer += static_cast<char>(readLimit);
  return stream + trailer;
}

std::string Frames(const bvh::Clip& clip, int first, int count, Compression compression) {
  std::string bytes;
  for (int i = first; i < first + count && i < clip.mFrameCount; ++i) {
    bytes += kmq::EncodeFrame(kmq::MakeFrameMessage(clip, i, kmqfuzz::kActorTag), compression);
  }
  return bytes;
}

// The payload of a frame, without marker and length.
std::string Payload(const std::string& frame) {
  return frame.substr(kovrim::wire::kFrameHeaderSize);
}

IVRA_PLUGIN_MESSAGE ActorListQuery() {
  IVRA_PLUGIN_MESSAGE message;
  message.set_message(IVRA_PLUGIN_MESSAGE::COMMAND);
  message.mutable_command()->set_cmdtype(IvraPlugs::COMMAND::Command_Query_ActorList);
  return message;
}

// The first frames of a clip, as a shorter clip of the same skeleton.
bvh::Clip FirstFrames(const bvh::Clip& clip, int count) {
  bvh::Clip cut = clip;
  cut.mFrameCount = std::min(count, clip.mFrameCount);
  cut.mValues.resize(static_cast<size_t>(cut.mFrameCount) *
                     static_cast<size_t>(clip.mChannelCount));
  return cut;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kmq-fuzz-seeds OUT_DIR\n");
    return 2;
  }
  const std::string out = argv[1];
  for (const char* dir :
       {"", "/link_stream", "/link_dispatch", "/bvh", "/motion_protocol", "/capture_file"}) {
    ::mkdir((out + dir).c_str(), 0755);
  }
  const bvh::Clip& walk = kmqfuzz::WalkClip();
  const std::map<uint32_t, std::string> actors = {{kmqfuzz::kActorTag, kmqfuzz::kActorName},
                                                  {2, "makehuman_walk1"}};
  const std::string actorList =
      kmq::EncodeFrame(kmq::MakeActorListMessage(actors), Compression::kGzip);
  const std::string headerGzip = kmq::EncodeFrame(
      kmq::MakeHeaderMessage(walk, kmqfuzz::kActorTag, kmqfuzz::kActorName), Compression::kGzip);
  const std::string query =
      kmq::EncodeFrame(kmq::MakeHeaderQuery(kmqfuzz::kActorTag), Compression::kGzip);
  const std::string listQuery = kmq::EncodeFrame(ActorListQuery(), Compression::kZlib);
  const std::string error =
      kmq::EncodeFrame(kmq::MakeErrorMessage(1, "unknown actor tag 9"), Compression::kPlain);

  bool ok = true;
  // The link's stream: what the reference server sends, in several chunkings and read limits.
  const std::string plain = Frames(walk, 0, 4, Compression::kPlain);
  ok &= WriteFile(out + "/link_stream/plain_frames", WithChunking(plain, 1000, 0));
  ok &= WriteFile(
      out + "/link_stream/list_header_gzip_frames",
      WithChunking(actorList + headerGzip + Frames(walk, 10, 3, Compression::kGzip), 97, 0));
  ok &= WriteFile(out + "/link_stream/zlib_frames_short_reads",
                  WithChunking(Frames(walk, 20, 3, Compression::kZlib), 512, 3));
  ok &= WriteFile(out + "/link_stream/error_then_frames",
                  WithChunking(error + Frames(walk, 30, 2, Compression::kGzip), 4096, 0));

  // DispatchMessage's payloads, plain and compressed.
  ok &= WriteFile(out + "/link_dispatch/frame_plain",
                  Payload(Frames(walk, 0, 1, Compression::kPlain)));
  ok &=
      WriteFile(out + "/link_dispatch/frame_gzip", Payload(Frames(walk, 1, 1, Compression::kGzip)));
  ok &=
      WriteFile(out + "/link_dispatch/frame_zlib", Payload(Frames(walk, 2, 1, Compression::kZlib)));
  ok &= WriteFile(out + "/link_dispatch/header_gzip", Payload(headerGzip));
  ok &= WriteFile(out + "/link_dispatch/actor_list_gzip", Payload(actorList));
  ok &= WriteFile(out + "/link_dispatch/error_plain", Payload(error));

  // BVH text: the walk and the MakeHuman walk, a few frames each.
  ok &= WriteFile(out + "/bvh/cmu_12_01_walk_3_frames.bvh", bvh::WriteBvh(FirstFrames(walk, 3)));
  bvh::Clip makehuman;
  std::string problem;
  if (bvh::ParseBvhFile(std::string(KMQ_DATA_DIR) + "/bvh/makehuman_walk1.bvh", &makehuman,
                        &problem)) {
    ok &= WriteFile(out + "/bvh/makehuman_walk1_2_frames.bvh",
                    bvh::WriteBvh(FirstFrames(makehuman, 2)));
  } else {
    std::fprintf(stderr, "kmq-fuzz-seeds: %s\n", problem.c_str());
    ok = false;
  }

  // The server's reader: the plug-in's commands, and the server's own stream for the splitter.
  ok &= WriteFile(out + "/motion_protocol/header_query", WithChunking(query, 4096, 0));
  ok &= WriteFile(out + "/motion_protocol/queries_split",
                  WithChunking(listQuery + query + query, 5, 0));
  ok &= WriteFile(
      out + "/motion_protocol/server_stream",
      WithChunking(actorList + headerGzip + Frames(walk, 0, 2, Compression::kGzip), 700, 0));

  // A capture file as kovrim-stream-capture writes it.
  const std::string capturePath = out + "/capture_file/walk.kmqcap";
  kmq::CaptureWriter writer;
  kmq::CaptureHeader header;
  header.mCreatedMicros = 1765000000000000;
  header.mServerAddress = "127.0.0.1:7005";
  header.mActorTags = {kmqfuzz::kActorTag};
  uint64_t micros = 0;
  ok &= writer.Open(capturePath, header, &problem);
  for (const std::string& frame :
       {actorList, headerGzip, Frames(walk, 0, 1, Compression::kGzip),
        Frames(walk, 1, 1, Compression::kPlain), Frames(walk, 2, 1, Compression::kZlib)}) {
    const uint32_t marker =
        frame[0] == 'A' ? kovrim::wire::kPlainMarker : kovrim::wire::kCompressedMarker;
    const std::string payload = Payload(frame);
    ok &= writer.Append(micros, marker, payload.data(), payload.size(), &problem);
    micros += 8333;
  }
  ok &= writer.Close(&problem);
  if (!ok) {
    std::fprintf(stderr, "kmq-fuzz-seeds: failed %s\n", problem.c_str());
    return 1;
  }
  return 0;
}
