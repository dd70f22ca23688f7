// The motion server's playback: actors' clips on their schedules, and a capture's timeline
// replayed to each connection.
#include <algorithm>
#include <chrono>

#include "server_internals.h"

namespace kmq {
namespace {

using IvraPlugs::IVRA_PLUGIN_MESSAGE;
using server_internals::kAsapWindow;

// Frames one actor may send back to back when playback is late, before it gives up catching up
// and restarts its schedule from now.
constexpr int kMaxBurstFrames = 10;
// Records one connection's replay may send in one loop turn; more overdue than that, and its
// schedule restarts from now.
constexpr int kMaxReplayPerTurn = 256;

}  // namespace

void MotionServer::ResumePlayback(Clock::time_point now) {
  // Playback runs only while someone watches, and goes on where it stopped; with no loop, a
  // clip is then seen whole by the first client.
  mPlaying = true;
  for (auto& actor : mActors) {
    actor->mBase = now - std::chrono::duration_cast<Clock::duration>(
                             actor->mPeriod * static_cast<double>(actor->mNextFrame));
  }
}

void MotionServer::SetPaused(bool paused) {
  mPauseRequested = paused;
  mWait.Wake();
}

void MotionServer::AdvancePlayback(Clock::time_point now) {
  const bool pause = mPauseRequested.load();
  if (pause != mPaused) {
    mPaused = pause;
    if (!mPaused && mPlaying) ResumePlayback(now);
    mLocalStats.mPaused = mPaused;
  }
  if (!mPlaying || mPaused) return;
  for (auto& actor : mActors) actor->mBurst = 0;
  // Overdue frames go out in the order they fell due, whichever actor they belong to, so that
  // the order of the stream does not depend on how late this turn runs.
  for (;;) {
    Actor* next = nullptr;
    for (auto& actor : mActors) {
      if (actor->mFinished || actor->mBurst >= kMaxBurstFrames) continue;
      Clock::time_point due = actor->Due(actor->mNextFrame);
      if (due <= now && (next == nullptr || due < next->Due(next->mNextFrame))) {
        next = actor.get();
      }
    }
    if (next == nullptr) break;
    PlayFrame(next, now);
    ++next->mBurst;
  }
  for (auto& actor : mActors) {
    if (!actor->mFinished && actor->Due(actor->mNextFrame) <= now) {
      // Too far behind: keep the frame order and restart the schedule one period from now.
      actor->mBase = now + std::chrono::duration_cast<Clock::duration>(actor->mPeriod) -
                     std::chrono::duration_cast<Clock::duration>(
                         actor->mPeriod * static_cast<double>(actor->mNextFrame));
      ++mLocalStats.mResyncs;
    }
  }
}

void MotionServer::PlayFrame(Actor* actor, Clock::time_point now) {
  const bvh::Clip& clip = actor->mClip;
  auto row = static_cast<size_t>(actor->mNextFrame % static_cast<uint64_t>(clip.mFrameCount));
  const size_t channels = static_cast<size_t>(clip.mChannelCount);
  const float* values = clip.mValues.data() + row * channels;
  mFrameMessage.set_message(IVRA_PLUGIN_MESSAGE::FRAME_DATA);
  IvraPlugs::BVH_FRAME* frame = mFrameMessage.mutable_frame();
  frame->clear_motiondata();
  for (size_t i = 0; i < channels; ++i) frame->add_motiondata(values[i]);
  frame->set_actortag(actor->mTag);

  ++actor->mNextFrame;
  if (!mOptions.mLoop && actor->mNextFrame >= static_cast<uint64_t>(clip.mFrameCount)) {
    actor->mFinished = true;
  }
  ++mLocalStats.mFramesPlayed;
  std::string bytes = EncodeFrame(mFrameMessage, mOptions.mCompression);
  if (bytes.empty()) return;  // AddActor checked the size, so only a failing compressor gets here
  for (auto& client : mClients) {
    if (client->mClosed) continue;
    Send(client.get(), Outgoing::kMotion, actor->mTag, bytes, &mFrameMessage, now);
    if (!client->mClosed) ++mLocalStats.mFramesSent;
  }
  if (mOptions.mOnFramePlayed) mOptions.mOnFramePlayed(actor->mTag, row);
}

MotionServer::Clock::time_point MotionServer::ReplayDue(const Client& client) const {
  const ReplayRecord& record = mReplay->mTimeline[client.mReplayNext];
  double micros =
      (static_cast<double>(client.mReplayPass) * static_cast<double>(mReplay->mPassMicros) +
       static_cast<double>(record.mMicros)) /
      mOptions.mReplaySpeed;
  return client.mReplayBase + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double, std::micro>(micros));
}

void MotionServer::AdvanceReplay(Clock::time_point now) {
  if (!mReplay) return;
  for (auto& owned : mClients) {
    Client* client = owned.get();
    int played = 0;
    while (!client->mClosed && !client->mReplayDone &&
           !(client->mFaults && client->mFaults->Cutting())) {
      if (mOptions.mReplayAsap) {
        if (client->Pending() >= kAsapWindow || played >= kMaxReplayPerTurn) break;
      } else {
        Clock::time_point due = ReplayDue(*client);
        if (due > now) break;
        if (played >= kMaxReplayPerTurn) {
          // Too far behind: keep the order and go on from now.
          client->mReplayBase += now - due;
          ++mLocalStats.mResyncs;
          break;
        }
      }
      PlayReplayRecord(client, now);
      ++played;
    }
  }
}

void MotionServer::PlayReplayRecord(Client* client, Clock::time_point now) {
  const ReplayRecord& record = mReplay->mTimeline[client->mReplayNext];
  switch (record.mKind) {
    case ReplayRecord::Kind::kMotion:
      ++mLocalStats.mFramesPlayed;
      Send(client, Outgoing::kMotion, record.mTag, record.mBytes, nullptr, now);
      if (!client->mClosed) ++mLocalStats.mFramesSent;
      break;
    case ReplayRecord::Kind::kActorList:
      client->mReplayList = &record.mBytes;
      Send(client, Outgoing::kOther, 0, record.mBytes, nullptr, now);
      break;
    case ReplayRecord::Kind::kHeader:
      client->mReplayHeaders[record.mTag] = &record.mBytes;
      Send(client, Outgoing::kOther, record.mTag, record.mBytes, nullptr, now);
      break;
    case ReplayRecord::Kind::kOther:
      Send(client, Outgoing::kOther, 0, record.mBytes, nullptr, now);
      break;
  }
  if (++client->mReplayNext < mReplay->mTimeline.size()) return;
  ++mLocalStats.mReplayPasses;
  if (!mOptions.mLoop) {
    client->mReplayDone = true;
    if (client->mFaults) client->mFaults->ReleaseBurst();
    return;
  }
  client->mReplayNext = 0;
  ++client->mReplayPass;
  if (mReplay->mTimelineChangesState) {
    // The pass changed the list or a skeleton: the next one starts from the captured state.
    client->mReplayList = &mReplay->mActorList;
    for (const auto& [tag, frame] : mReplay->mHeaders) client->mReplayHeaders[tag] = &frame;
    if (!mReplay->mActorList.empty()) {
      Send(client, Outgoing::kOther, 0, mReplay->mActorList, nullptr, now);
    }
    for (uint32_t tag : client->mAskedTags) {
      auto found = mReplay->mHeaders.find(tag);
      if (found != mReplay->mHeaders.end()) {
        Send(client, Outgoing::kOther, tag, found->second, nullptr, now);
      }
    }
  }
}

}  // namespace kmq
