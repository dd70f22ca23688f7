#include "kovrim_device.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using IvraPlugs::BVH_HEADER;
using IvraPlugs::BVH_JOIN;

namespace {

constexpr kReference kJointNodeReferenceBase = 10000;
constexpr const char* kTemplatePrefix = "KovrimQuorve";

}  // namespace

FBRegisterDevice(KOVRIM_DEVICE_UNIQUE_NAME, KovrimDevice, KOVRIM_DEVICE_LABEL,
                 KOVRIM_DEVICE_DESCRIPTION, KOVRIM_DEVICE_ICON);

bool KovrimDevice::FBCreate() {
  mRootTemplate = new FBModelTemplate(kTemplatePrefix, "Reference", kFBModelTemplateRoot);
  ModelTemplate.Children.Add(mRootTemplate);
  SamplingMode = kFBHardwareTimestamp;
  SamplingPeriod = FBTime(0, 0, 1, 0, 0, kFBTimeModeDefault) / 96.0;
  mHeaderRequestPending = false;
  mStayInTPose = false;
  mSavedStayInTPose = false;
  mCharacterizePending = false;
  mRebuilding = false;
  mTemplateRebuildPending = true;
  mTPoseFrameCount = 0;
  mEvaluationCount = 0;
  Status = kovrim_texts::kStatusOffline;
  Information = "";
  FBSystem::TheOne().OnUIIdle.Add(this, (FBCallback)&KovrimDevice::EventUIIdle);
  return true;
}

void KovrimDevice::FBDestroy() {
  FBSystem::TheOne().OnUIIdle.Remove(this, (FBCallback)&KovrimDevice::EventUIIdle);
  ParentClass::FBDestroy();
}

void KovrimDevice::EventUIIdle(HISender, HKEvent) {
  mLink.KeepConnected();
  UpdateStatus();
}

namespace {

// Whole seconds, rounded up, so that "retrying in 1 s" lasts until the attempt.
long long CeilSeconds(std::chrono::steady_clock::duration duration) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
  return ms <= 0 ? 0 : (ms + 999) / 1000;
}

void SetText(FBPropertyString& property, const std::string& text) {
  if (std::strcmp(static_cast<const char*>(property), text.c_str()) != 0) property = text.c_str();
}

}  // namespace

void KovrimDevice::UpdateStatus() {
  using std::chrono::duration;
  const ServerLink::Clock::time_point now = mLink.Now();
  const uint64_t frames = mLink.FramesDecoded();
  if (!mRateStarted) {
    mRateStarted = true;
    mRateStart = now;
    mRateStartFrames = frames;
    mSeenFrames = frames;
    mLastFrameSeen = now;
  }
  if (frames != mSeenFrames) {
    mSeenFrames = frames;
    mLastFrameSeen = now;
  }
  const duration<double> window = now - mRateStart;
  if (window.count() >= 1.0) {
    mFramesPerSecond = static_cast<double>(frames - mRateStartFrames) / window.count();
    mRateStart = now;
    mRateStartFrames = frames;
  }

  const char* status = kovrim_texts::kStatusOffline;
  std::string information;
  switch (mLink.GetConnectionState()) {
    case ServerLink::ConnectionState::kOffline:
      break;
    case ServerLink::ConnectionState::kConnecting:
      status = kovrim_texts::kStatusConnecting;
      information = std::string(kovrim_texts::kInfoConnectingTo) +
                    static_cast<const char*>(mLink.mAddress) + ":" + std::to_string(mLink.mPort);
      break;
    case ServerLink::ConnectionState::kWaiting:
      status = kovrim_texts::kStatusReconnecting;
      information = std::string(mLink.LastAttemptFailed() ? kovrim_texts::kInfoServerUnreachable
                                                          : kovrim_texts::kInfoConnectionLost) +
                    kovrim_texts::kInfoRetryingIn + std::to_string(CeilSeconds(mLink.RetryIn())) +
                    " s";
      break;
    case ServerLink::ConnectionState::kConnected:
      status = kovrim_texts::kStatusOnline;
      information = OnlineInformation(now);
      break;
  }
  SetText(Status, status);
  SetText(Information, information);
}

std::string KovrimDevice::OnlineInformation(ServerLink::Clock::time_point now) {
  const uint32_t tag = mLink.mActorTag;
  std::string actor = mLink.ActorName(tag);
  if (actor.empty()) {
    if (tag == 0) return kovrim_texts::kInfoWaitingForActors;
    actor = "actor " + std::to_string(tag);
  }
  if (mLink.mHeaderPending) return kovrim_texts::kInfoWaitingForSkeleton + actor;
  const ServerLink::Clock::time_point since = std::max(mLastFrameSeen, mLink.ConnectedAt());
  const long long silent = std::chrono::duration_cast<std::chrono::seconds>(now - since).count();
  if (silent >= kSilenceSeconds) {
    return kovrim_texts::kInfoNoFramesFrom + actor + " for " + std::to_string(silent) + " s";
  }
  return actor + ", " + std::to_string(std::lround(mFramesPerSecond)) + kovrim_texts::kInfoFps;
}

bool KovrimDevice::DeviceOperation(kDeviceOperations pOperation) {
  switch (pOperation) {
    case kOpInit:
      return true;
    case kOpStart:
      return mLink.Open();
    case kOpStop:
      mLink.Close();
      mLink.ReleaseSocket();
      return true;
    case kOpReset:
      mLink.Open();
      mLink.Close();
      mLink.ReleaseSocket();
      return true;
    case kOpDone:
      ClearJointTemplates();
      return true;
    default:
      return ParentClass::DeviceOperation(pOperation);
  }
}

void KovrimDevice::ClearJointTemplates() {
  mJointsGate.BeginChange();
  ClearJointTemplatesLocked();
  mJointsGate.EndChange();
}

void KovrimDevice::ClearJointTemplatesLocked() {
  // Every template is detached from the others before any of them is deleted.
  for (JointNodes& joint : mJoints) {
    if (joint.mTemplate) {
      if (joint.mRotationNode) joint.mTemplate->Bindings.Remove(joint.mRotationNode);
      if (joint.mTranslationNode) joint.mTemplate->Bindings.Remove(joint.mTranslationNode);
      if (mRootTemplate && mRootTemplate->Children.Find(joint.mTemplate) >= 0) {
        mRootTemplate->Children.Remove(joint.mTemplate);
      }
    }
    if (joint.mRotationNode) AnimationNodeDestroy(joint.mRotationNode);
    if (joint.mTranslationNode) AnimationNodeDestroy(joint.mTranslationNode);
    joint.mRotationNode = nullptr;
    joint.mTranslationNode = nullptr;
    if (joint.mTemplate) joint.mTemplate->Children.RemoveAll();
  }
  for (JointNodes& joint : mJoints) {
    if (joint.mTemplate) {
      delete joint.mTemplate;
      joint.mTemplate = nullptr;
    }
  }
  mJoints.clear();
}

void KovrimDevice::BuildJointTemplates(const BVH_JOIN& joint, FBModelTemplate* parent) {
  mJoints.emplace_back();
  JointNodes& record = mJoints.back();
  const kReference reference = kJointNodeReferenceBase + mJoints.size();

  const FBString name(joint.joinname().c_str());
  const FBModelTemplateStyle style =
      name == "Hips" ? kFBModelTemplateRoot : kFBModelTemplateSkeleton;
  record.mTemplate = new FBModelTemplate(kTemplatePrefix, name, style);
  parent->Children.Add(record.mTemplate);
  record.mTranslationNode =
      AnimationNodeOutCreate(reference, FBString(name, "T"), ANIMATIONNODE_TYPE_LOCAL_TRANSLATION,
                             true, nullptr, nullptr, false);
  record.mRotationNode =
      AnimationNodeOutCreate(reference, FBString(name, "R"), ANIMATIONNODE_TYPE_LOCAL_ROTATION,
                             true, nullptr, nullptr, false);
  record.mTemplate->Bindings.Add(record.mRotationNode);
  record.mTemplate->Bindings.Add(record.mTranslationNode);
  record.mIsEndSite = false;

  for (const BVH_JOIN& child : joint.childjoin()) BuildJointTemplates(child, record.mTemplate);

  if (joint.has_endsite()) {
    mJoints.emplace_back();
    JointNodes& endSite = mJoints.back();
    const kReference endReference = kJointNodeReferenceBase + mJoints.size();
    const FBString endName(name, "_End");
    endSite.mTemplate = new FBModelTemplate(kTemplatePrefix, endName, kFBModelTemplateSkeleton);
    record.mTemplate->Children.Add(endSite.mTemplate);
    endSite.mTranslationNode =
        AnimationNodeOutCreate(endReference, FBString(endName, "T"),
                               ANIMATIONNODE_TYPE_LOCAL_TRANSLATION, true, nullptr, nullptr, false);
    endSite.mRotationNode =
        AnimationNodeOutCreate(endReference, FBString(endName, "R"),
                               ANIMATIONNODE_TYPE_LOCAL_ROTATION, true, nullptr, nullptr, false);
    endSite.mTemplate->Bindings.Add(endSite.mRotationNode);
    endSite.mTemplate->Bindings.Add(endSite.mTranslationNode);
    endSite.mIsEndSite = true;
  }
}

bool KovrimDevice::RebuildRootTemplate() {
  if (!mLink.mHeaderReceived) return true;
  // Taken before the change begins, so that the passes are kept out only for the host calls.
  const std::shared_ptr<const BVH_HEADER> header = mLink.Header();
  mJointsGate.BeginChange();
  InstallRootTemplateLocked(*header);
  mJointsGate.EndChange();
  return true;
}

void KovrimDevice::InstallRootTemplateLocked(const BVH_HEADER& header) {
  FBModelTemplate* oldRoot = mRootTemplate;
  mRootTemplate = new FBModelTemplate(kTemplatePrefix, "Reference", kFBModelTemplateRoot);
  BuildJointTemplates(header.rootjoin(), mRootTemplate);
  ModelTemplate.Children.RemoveAll();
  ModelTemplate.Children.Add(mRootTemplate);
  if (oldRoot) delete oldRoot;
  mTemplateRebuildPending = false;
}

int KovrimDevice::RebuildSkeletonTemplate() {
  mRebuilding = true;
  const bool haveHeader = mLink.mHeaderReceived;
  const std::shared_ptr<const BVH_HEADER> header = mLink.Header();
  // The clear and the build are one change: no pass runs between them.
  mJointsGate.BeginChange();
  ClearJointTemplatesLocked();
  if (haveHeader) InstallRootTemplateLocked(*header);
  mJointsGate.EndChange();
  mRebuilding = false;
  return FBMessageBox(kovrim_texts::kInfoTitle, kovrim_texts::kSkeletonRebuiltText,
                      kovrim_texts::kOkButton, nullptr, nullptr, 0, 0);
}

void KovrimDevice::RequestBvhHeader() {
  if (Online) {
    mHeaderRequestPending = true;
    mLink.RequestHeader();
  } else {
    FBMessageBox(kovrim_texts::kWarningTitle, kovrim_texts::kNotOnlineText, kovrim_texts::kOkButton,
                 nullptr, nullptr, 0, 0);
  }
}

void KovrimDevice::ProcessPending() {
  if (mTemplateRebuildPending) RebuildRootTemplate();
  if (mHeaderRequestPending && !mLink.mHeaderPending) {
    mHeaderRequestPending = false;
    FBMessageBox(kovrim_texts::kInfoTitle, kovrim_texts::kHeaderDoneText, kovrim_texts::kOkButton,
                 nullptr, nullptr, 0, 0);
  }
  if (mCharacterizePending && mTPoseFrameCount > kCharacterizeThreshold) {
    Characterize();
    mStayInTPose = mSavedStayInTPose.load();
    mCharacterizePending = false;
  }
}

void KovrimDevice::RequestCharacterize() {
  // While armed, the T-pose is forced: saving it again would lose the user's own choice.
  if (!mCharacterizePending) mSavedStayInTPose = mStayInTPose.load();
  mCharacterizePending = true;
  mTPoseFrameCount = 0;
  mStayInTPose = true;
}

std::string KovrimDevice::CharacterName(const char* longName, const char* name) {
  std::string prefix = longName ? longName : "";
  prefix = prefix.substr(0, prefix.find(':'));
  if (prefix.empty() && name) prefix = name;
  if (prefix.empty()) prefix = "Character";
  return prefix;
}

void KovrimDevice::Characterize() {
  FBModel* model = mRootTemplate ? static_cast<FBModel*>(mRootTemplate->Model) : nullptr;
  if (!model) {
    FBMessageBox(kovrim_texts::kWarningTitle, kovrim_texts::kNoModelText, kovrim_texts::kOkButton,
                 nullptr, nullptr, 0, 0);
    return;
  }
  const std::string prefix = CharacterName(model->LongName, model->Name);

  FBSystem system;
  FBScene* scene = system.Scene;
  const int count = scene->Characters.GetCount();
  for (int i = 0; i < count; ++i) {
    if (scene->Characters[i]->Name == prefix.c_str()) {
      const int answer =
          FBMessageBox(kovrim_texts::kWarningTitle, kovrim_texts::kCharacterizedAlreadyText,
                       kovrim_texts::kYesButton, kovrim_texts::kNoButton, nullptr, 0, 0);
      if (answer == 2) return;
    }
  }
  FBCharacter* character = new FBCharacter(prefix.c_str());
  LinkModelToCharacter(character, model);
  character->SetCharacterizeOn(true);
}

void KovrimDevice::LinkModelToCharacter(FBCharacter* pCharacter, FBModel* pModel) {
  const FBString slot(static_cast<const char*>(pModel->Name), "Link");
  FBProperty* property = pCharacter->PropertyList.Find(slot, false);
  if (property && property->IsList()) static_cast<FBPropertyListObject*>(property)->Add(pModel);
  for (int i = 0; i < pModel->Children.GetCount(); ++i) {
    LinkModelToCharacter(pCharacter, pModel->Children[i]);
  }
}

namespace {

// Leaves an animatable property animated, with its current value as its node's candidate.
void FreezeProperty(FBPropertyAnimatable& property) {
  property.SetAnimated(true, false);
  FBAnimationNode* node = property.GetAnimationNode(nullptr);
  FBVector3<double> value;
  property.GetData(value.mValue, sizeof(value.mValue), nullptr);
  if (node) node->SetCandidate(value.mValue, false);
}

}  // namespace

bool KovrimDevice::ModelTemplateUnBindNotify(int, FBModelTemplate* pModelTemplate) {
  // While the device is made, merged, destroyed or cleared with the scene (File > New), the
  // models bound to it are on their way out too: freezing them would animate, and pause the
  // evaluation for, objects the host is taking down.
  const bool busy = GetObjectStatus(kFBStatusCreating) || GetObjectStatus(kFBStatusDestroying) ||
                    GetObjectStatus(kFBStatusMerging) || GetObjectStatus(kFBStatusClearing);
  FBModel* model = pModelTemplate ? static_cast<FBModel*>(pModelTemplate->Model) : nullptr;
  if (!model) return true;
  FBModel* rootModel = mRootTemplate ? static_cast<FBModel*>(mRootTemplate->Model) : nullptr;
  if (rootModel != model || busy) return true;

  FBPlayerControl::TheOne().EvaluationPause();
  // The list changes only on this thread, so reading it here needs no pass.
  mJointsGate.AssertChangingThread();
  for (JointNodes& joint : mJoints) {
    if (!joint.mTranslationNode || !joint.mRotationNode || !joint.mTemplate) continue;
    FBModel* jointModel = joint.mTemplate->Model;
    if (!jointModel) continue;
    FreezeProperty(jointModel->Translation);
    FreezeProperty(jointModel->Rotation);
  }
  FBPlayerControl::TheOne().EvaluationResume();
  return true;
}

int KovrimDevice::GetJointCount() {
  mJointsGate.AssertChangingThread();
  return static_cast<int>(mJoints.size());
}

void KovrimDevice::DeviceIONotify(kDeviceIOs pAction, FBDeviceNotifyInfo& pDeviceNotifyInfo) {
  if (static_cast<unsigned>(pAction) > 1) return;
  // A pass drains what is waiting but never more than kMaxMessagesPerIoPass messages, and reads
  // another only while the time spent and the dearest message of the pass so far still fit in
  // kIoPassTime: a server sending faster than frames are applied, or sending messages that take
  // milliseconds each (a large skeleton keyed), would otherwise keep the I/O thread inside this
  // callback for seconds. What is left stays in the socket for the next notification; nothing is
  // lost.
  const int read =
      kovrim::ReadBoundedPass(mLink, kMaxMessagesPerIoPass, kIoPassTime, mIoPassClock, [&] {
        // Only a frame of the chosen actor uses up an evaluation and is keyed: another actor's
        // frame (which the link drops), a header or an actor list would otherwise key the previous
        // pose again and leave the gate closed for the chosen actor's next frame. Only this thread
        // lowers the gate, so the test and the decrement cannot race below zero.
        if (mLink.FrameApplied() && mEvaluationCount > 0) {
          // A list that is changing is left alone, exactly as while rebuilding: no keys this time.
          if (!mRebuilding) {
            if (mJointsGate.TryEnterPass()) {
              RecordKeys(pDeviceNotifyInfo);
              mJointsGate.ExitPass();
            }
          }
          --mEvaluationCount;
        }
        AckOneSampleReceived();
      });
  // The stream is quiet: counts of traces held back whose second is over are told now.
  if (read == 0) mLink.FlushTraces();
}

namespace {

// Keys one output node's animation to record, when there is one and the transport plays: with
// the notification's time for timestamp sampling, at the host's current time for frequency
// sampling, not at all for other modes. The pose is read only when a key is added.
template <typename ReadPose>
void KeyNode(FBAnimationNode* output, FBPlayerControl& player, int samplingMode, FBTime& time,
             ReadPose readPose) {
  FBAnimationNode* record = output->GetAnimationToRecord();
  if (!record || player.GetTransportMode() != kFBTransportPlay) return;
  if (samplingMode == kFBHardwareTimestamp || samplingMode == kFBSoftwareTimestamp) {
    auto pose = readPose();
    record->KeyAdd(time, pose, kFBInterpolationCubic, kFBTangentModeAuto);
  } else if (samplingMode == kFBHardwareFrequency || samplingMode == kFBAutoFrequency) {
    auto pose = readPose();
    record->KeyAdd(pose, kFBInterpolationCubic, kFBTangentModeAuto);
  }
}

}  // namespace

void KovrimDevice::RecordKeys(FBDeviceNotifyInfo& pDeviceNotifyInfo) {
  FBTime localTime;
  localTime = pDeviceNotifyInfo.GetLocalTime();
  int index = 0;
  for (JointNodes& joint : mJoints) {
    // The sampling mode is read afresh for every node, like the transport mode.
    KeyNode(joint.mTranslationNode, mPlayerControl, SamplingMode, localTime,
            [&] { return mLink.GetTranslation(index); });
    KeyNode(joint.mRotationNode, mPlayerControl, SamplingMode, localTime,
            [&] { return mLink.GetRotation(index); });
    ++index;
  }
}

bool KovrimDevice::AnimationNodeNotify(FBAnimationNode* pAnimationNode,
                                       FBEvaluateInfo* pEvaluateInfo) {
  if (mRebuilding) return false;
  // A list that is changing is left alone, exactly as while rebuilding.
  if (!mJointsGate.TryEnterPass()) return false;
  const kReference reference = pAnimationNode->Reference;
  if (reference >= kJointNodeReferenceBase) {
    // The host notifies the device once per pass (the first pull of a pass writes every node, the
    // other pulls find their data), so the gate counts passes against frames. Should it ever
    // outrun the frames for long (passes with no stream), it stops at a bound instead of
    // wrapping to a closed gate.
    int32_t count = mEvaluationCount.load();
    while (count < kEvaluationCountLimit &&
           !mEvaluationCount.compare_exchange_weak(count, count + 1)) {
    }
    WritePose(pEvaluateInfo);
  }
  mJointsGate.ExitPass();
  return ParentClass::AnimationNodeNotify(pAnimationNode, pEvaluateInfo);
}

void KovrimDevice::WritePose(FBEvaluateInfo* pEvaluateInfo) {
  // One copy of the whole pose under one take of the link's lock, into a buffer of this thread
  // that keeps its capacity: a pass allocates nothing once the skeleton's size has been seen, and
  // passes on other threads (or of other devices) never share it.
  thread_local std::vector<ServerLink::PoseValues> pose;
  // The pass shows one pose: the T-pose or the live one, as the flag stands when it starts.
  const bool stayInTPose = mStayInTPose;
  mLink.CopyPose(stayInTPose, static_cast<int>(mJoints.size()), &pose);
  size_t index = 0;
  for (JointNodes& joint : mJoints) {
    ServerLink::PoseValues& values = pose[index];
    joint.mTranslationNode->WriteData(values.mTranslation, pEvaluateInfo);
    joint.mRotationNode->WriteData(values.mRotation, pEvaluateInfo);
    if (stayInTPose && mCharacterizePending) ++mTPoseFrameCount;
    ++index;
  }
}
