#include "health_tap.h"

#include <chrono>
#include <utility>

#include <fbsdk_control/host_control.h>

namespace kmq {

HealthTap::HealthTap(int silenceMs)
    : mSilenceMs(silenceMs), mHealth(std::make_unique<StreamHealth>()) {}

HealthTap::~HealthTap() { Remove(); }

int64_t HealthTap::NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void HealthTap::Install() {
  fbsdk_control::SetSocketTap([this](int socket, bool outgoing, const char* data, int size) {
    OnTappedBytes(socket, outgoing, data, size);
  });
  mInstalled = true;
}

void HealthTap::Remove() {
  if (mInstalled) fbsdk_control::SetSocketTap(nullptr);
  mInstalled = false;
}

void HealthTap::SetListener(std::function<void(const std::string& line)> listener) {
  mListener = std::move(listener);
}

HealthTap::UiCall::UiCall(HealthTap* tap) : mTap(tap) {
  if (mTap != nullptr) mTap->EnterUiCall();
}

HealthTap::UiCall::~UiCall() {
  if (mTap != nullptr) mTap->LeaveUiCall();
}

bool HealthTap::AroundPluginCall(const std::function<bool()>& call) {
  UiCall inside(this);
  return call();
}

void HealthTap::EnterUiCall() {
  if (mUiDepth++ == 0) mUiBusy = true;
}

void HealthTap::LeaveUiCall() {
  if (--mUiDepth > 0) return;
  mUiBusy = false;
  kovrim::MutexLock lock(&mIncomingMutex);
  FeedHeldBytes();
}

void HealthTap::OnTappedBytes(int socket, bool outgoing, const char* data, int size) {
  const int64_t now = NowUs();
  if (outgoing) {
    mHealth->OnBytes(now, socket, true, data, size);
    return;
  }
  kovrim::MutexLock lock(&mIncomingMutex);
  const bool hold = mUiBusy && mHeldBytes < kMaxHeldBytes &&
                    (mHeld.empty() || now - mHeld.front().mTimeUs < kMaxHoldUs);
  if (hold && size > 0) {
    mHeld.push_back(HeldBytes{now, socket, std::string(data, static_cast<size_t>(size))});
    mHeldBytes += static_cast<size_t>(size);
    return;
  }
  FeedHeldBytes();
  mHealth->OnBytes(now, socket, false, data, size);
}

void HealthTap::FeedHeldBytes() {
  for (const HeldBytes& held : mHeld) {
    mHealth->OnBytes(held.mTimeUs, held.mSocket, false, held.mBytes.data(),
                     static_cast<int>(held.mBytes.size()));
  }
  mHeld.clear();
  mHeldBytes = 0;
}

void HealthTap::ReportOnline(bool online) {
  if (online == mHealthOnline) return;
  mHealthOnline = online;
  mHealth->SetOnline(NowUs(), online);
}

void HealthTap::Poll() {
  const int64_t now = NowUs();
  // The trace list is copied to be counted: a few times a second is enough.
  if (now - mTracesCountedUs >= kTraceCountPeriodUs) {
    mHealth->SetTracesSeen(fbsdk_control::TracesSeen().size());
    mTracesCountedUs = now;
  }
  if (!mHealth->SilentFor(now, mSilenceMs)) {
    mSilenceWarned = false;
    return;
  }
  if (mSilenceWarned) return;
  mSilenceWarned = true;
  ++mSilenceWarnings;
  if (mListener) mListener(mHealth->SilenceWarning(now, mSilenceMs));
}

void HealthTap::SetServedRoot(FBModel* model) {
  kovrim::MutexLock lock(&mServedRootMutex);
  mServedRoot = model;
}

void HealthTap::AfterEvaluation(bool evaluated) {
  kovrim::MutexLock lock(&mServedRootMutex);
  if (!evaluated || mServedRoot == nullptr) {
    mHealth->OnEvaluationServed(NowUs(), nullptr);
    return;
  }
  FBVector3d local;
  mServedRoot->GetVector(local, kModelTranslation, false);
  const double translation[3] = {local[0], local[1], local[2]};
  mHealth->OnEvaluationServed(NowUs(), translation);
}

}  // namespace kmq
