// Builders and fixture verbs shared by the server link tests: envelopes, frame bytes in every
// payload format, damage verbs, a scripted peer that plays the motion server on loopback, and a
// port nothing listens on.
#ifndef KOVRIM_TESTS_SUPPORT_LINK_TEST_UTIL_H_
#define KOVRIM_TESTS_SUPPORT_LINK_TEST_UTIL_H_

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fbsdk/fbsdk.h>
#include <gtest/gtest.h>

#include <cmath>

#include "IVRA_PLUG_MESSAGE.pb.h"
#include "payload_codec.h"
#include "test_rotation.h"
#include "test_socket.h"

namespace linktest {

using IvraPlugs::BVH_FRAME;
using IvraPlugs::BVH_HEADER;
using IvraPlugs::BVH_JOIN;
using IvraPlugs::COMMAND;
using IvraPlugs::IVRA_PLUGIN_MESSAGE;

enum class Payload { kPlain, kGzip, kZlib };

constexpr int X_POS = BVH_JOIN::Xposition;
constexpr int Y_POS = BVH_JOIN::Yposition;
constexpr int Z_POS = BVH_JOIN::Zposition;
constexpr int X_ROT = BVH_JOIN::Xrotation;
constexpr int Y_ROT = BVH_JOIN::Yrotation;
constexpr int Z_ROT = BVH_JOIN::Zrotation;

// A gzip or zlib stream of data, written by the one payload encoder.
inline std::string Compress(const std::string& data, Payload format) {
  std::string out;
  google::protobuf::io::StringOutputStream sink(&out);
  EXPECT_TRUE(kovrim::wire::EncodeBytes(data.data(), data.size(),
                                        format == Payload::kZlib ? kovrim::wire::Compression::kZlib
                                                                 : kovrim::wire::Compression::kGzip,
                                        &sink));
  return out;
}

// What a compressed payload inflates to, through the one (bounded) payload decoder; empty, with
// a test failure, when it does not inflate within the receive limit.
inline std::string Decompress(const std::string& data) {
  kovrim::wire::PayloadDecoder decoder;
  const unsigned char* plain = nullptr;
  int length = 0;
  const auto result = decoder.Inflate(reinterpret_cast<const unsigned char*>(data.data()),
                                      data.size(), &plain, &length);
  EXPECT_EQ(result, kovrim::wire::PayloadDecoder::Result::kDecoded);
  if (result != kovrim::wire::PayloadDecoder::Result::kDecoded) return std::string();
  return std::string(reinterpret_cast<const char*>(plain), static_cast<size_t>(length));
}

inline std::string Le32(uint32_t value) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

// marker + length + payload, with the length given explicitly (for lying lengths).
inline std::string RawFrame(uint32_t marker, int32_t length, const std::string& payload) {
  return Le32(marker) + Le32(static_cast<uint32_t>(length)) + payload;
}

inline std::string EncodePayload(const std::string& serialized, Payload format) {
  return format == Payload::kPlain ? serialized : Compress(serialized, format);
}

inline std::string FrameBytes(const std::string& serialized, Payload format) {
  const std::string payload = EncodePayload(serialized, format);
  const uint32_t marker = format == Payload::kPlain ? 0x41414141u : 0x43434343u;
  return RawFrame(marker, static_cast<int32_t>(payload.size()), payload);
}

inline std::string FrameBytes(const IVRA_PLUGIN_MESSAGE& envelope, Payload format) {
  return FrameBytes(envelope.SerializePartialAsString(), format);
}

// ---- Damage verbs ----
inline std::string FlipByte(std::string bytes, size_t offset) {
  bytes[offset] = static_cast<char>(bytes[offset] ^ 0x5A);
  return bytes;
}
inline std::string Truncate(const std::string& bytes, size_t keep) { return bytes.substr(0, keep); }

// ---- Envelope builders ----
inline BVH_JOIN Joint(const std::string& name, std::initializer_list<int> channels,
                      std::vector<float> offset, std::vector<BVH_JOIN> children = {},
                      const std::vector<float>& endSite = {}) {
  BVH_JOIN joint;
  joint.set_joinname(name);
  for (int channel : channels) joint.add_channels(static_cast<BVH_JOIN::Channel>(channel));
  joint.mutable_offset()->set_x(offset[0]);
  joint.mutable_offset()->set_y(offset[1]);
  joint.mutable_offset()->set_z(offset[2]);
  if (!endSite.empty()) {
    joint.mutable_endsite()->set_x(endSite[0]);
    joint.mutable_endsite()->set_y(endSite[1]);
    joint.mutable_endsite()->set_z(endSite[2]);
  }
  for (auto& child : children) *joint.add_childjoin() = std::move(child);
  return joint;
}

inline IVRA_PLUGIN_MESSAGE HeaderMessage(uint32_t tag, const BVH_JOIN& root, bool withTag = true) {
  IVRA_PLUGIN_MESSAGE envelope;
  envelope.set_message(IVRA_PLUGIN_MESSAGE::HEADER_DATA);
  BVH_HEADER* header = envelope.mutable_header();
  *header->mutable_rootjoin() = root;
  if (withTag) header->set_actortag(tag);
  header->set_actorname("Actor");
  return envelope;
}

inline IVRA_PLUGIN_MESSAGE FrameMessage(uint32_t tag, const std::vector<float>& values,
                                        bool withTag = true) {
  IVRA_PLUGIN_MESSAGE envelope;
  envelope.set_message(IVRA_PLUGIN_MESSAGE::FRAME_DATA);
  BVH_FRAME* frame = envelope.mutable_frame();
  for (float value : values) frame->add_motiondata(value);
  if (withTag) frame->set_actortag(tag);
  return envelope;
}

inline IVRA_PLUGIN_MESSAGE ActorListMessage(
    const std::vector<std::pair<uint32_t, std::string>>& actors, bool withList = true) {
  IVRA_PLUGIN_MESSAGE envelope;
  envelope.set_message(IVRA_PLUGIN_MESSAGE::COMMAND);
  COMMAND* command = envelope.mutable_command();
  command->set_cmdtype(COMMAND::Notify_ActorsList);
  if (withList) {
    auto* map = command->mutable_actorslist()->mutable_map();
    for (const auto& actor : actors) (*map)[actor.first] = actor.second;
  }
  return envelope;
}

// Waits for pred with a deadline, calling step between checks; false at the deadline. Callers
// must check the result (EXPECT_TRUE / ASSERT_TRUE), or use WaitUntil.
inline bool PollUntil(const std::function<bool()>& pred, const std::function<void()>& step,
                      std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    step();
  }
  return true;
}

// PollUntil that fails the test, naming what it waited for, when the deadline passes.
inline bool WaitUntil(const char* what, const std::function<bool()>& pred,
                      const std::function<void()>& step,
                      std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
  if (PollUntil(pred, step, deadline)) return true;
  ADD_FAILURE() << "timed out waiting for " << what;
  return false;
}

// The server end of one connection on 127.0.0.1, driven byte by byte by a test.
class ScriptedPeer {
 public:
  ScriptedPeer() { mListen = testsocket::ListenLoopback(&mPort); }
  ~ScriptedPeer() {
    CloseConnection();
    if (mListen >= 0) testsocket::Close(mListen);
  }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  int Port() const { return mPort; }

  bool Accept(int timeoutMs = 5000) {
    mConnection = testsocket::AcceptWithin(mListen, timeoutMs);
    return mConnection >= 0;
  }

  bool Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const long n = testsocket::SendSome(mConnection, bytes.data() + sent, bytes.size() - sent);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads until `count` bytes have arrived or the deadline passes.
  std::string Receive(size_t count, int timeoutMs = 5000) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
      if (!testsocket::Readable(mConnection, 50)) continue;
      char buffer[4096];
      const long n = testsocket::ReceiveSome(mConnection, buffer,
                                             std::min(sizeof(buffer), count - out.size()));
      if (n <= 0) break;
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  }

  // True when nothing arrives within the window (used to show that nothing was sent).
  bool Silent(int windowMs = 200) { return !testsocket::Readable(mConnection, windowMs); }

  // True once the other end has closed the connection.
  bool SeesEof(int timeoutMs = 5000) {
    if (!testsocket::Readable(mConnection, timeoutMs)) return false;
    char byte;
    return testsocket::ReceiveSome(mConnection, &byte, 1) == 0;
  }

  // True once the other end has closed the connection, cleanly or by a reset (a socket closed
  // with unread bytes resets the connection).
  bool SeesClosed(int timeoutMs = 5000) {
    if (!testsocket::Readable(mConnection, timeoutMs)) return false;
    char byte;
    return testsocket::ReceiveSome(mConnection, &byte, 1) <= 0;
  }

  void CloseConnection() {
    if (mConnection >= 0) testsocket::Close(mConnection);
    mConnection = -1;
  }
  // Ends the connection with a reset instead of an orderly close.
  void ResetConnection() {
    if (mConnection >= 0) testsocket::Reset(mConnection);
    mConnection = -1;
  }

  // The connection's descriptor (-1 before Accept), for tests that feed it from a tap.
  int Connection() const { return mConnection; }

 private:
  int mListen = -1;
  int mConnection = -1;
  int mPort = 0;
};

using testmath::Mat3;
using testmath::Multiply;

// A rotation channel's matrix (the rotation channels are x, y, z in order).
inline Mat3 AxisMatrix(int channel, double degrees) {
  return testmath::AxisRotation(channel - X_ROT, degrees);
}

// The host's XYZ order: x applied first.
inline Mat3 HostXyz(const FBVector3<double>& angles) {
  FBVector3<double> a = angles;
  return Multiply(AxisMatrix(Z_ROT, a[2]),
                  Multiply(AxisMatrix(Y_ROT, a[1]), AxisMatrix(X_ROT, a[0])));
}

// Channels listed first are leftmost.
inline Mat3 Listed(const std::vector<std::pair<int, double>>& rotations) {
  Mat3 r{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  for (const auto& rotation : rotations)
    r = Multiply(r, AxisMatrix(rotation.first, rotation.second));
  return r;
}

inline ::testing::AssertionResult SameRotation(const Mat3& expected,
                                               const FBVector3<double>& angles,
                                               double tolerance = 1e-9) {
  const Mat3 actual = HostXyz(angles);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (std::fabs(expected.m[i][j] - actual.m[i][j]) > tolerance) {
        return ::testing::AssertionFailure() << "element " << i << "," << j << ": "
                                             << expected.m[i][j] << " vs " << actual.m[i][j];
      }
  return ::testing::AssertionSuccess();
}

// A port on 127.0.0.1 that nothing listens on: bound by the system, then released.
inline int FreePort() { return testsocket::UnusedLoopbackPort(); }

}  // namespace linktest

#endif  // KOVRIM_TESTS_SUPPORT_LINK_TEST_UTIL_H_
