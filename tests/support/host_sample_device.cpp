#include "host_sample_device.h"

FBRegisterDevice(SAMPLE_DEVICE_UNIQUE_NAME, SampleDevice, SAMPLE_DEVICE_LABEL,
                 "Sample device description", "sample_icon.png");
FBRegisterDevice("Failing Unique Device", FailingDevice, FAILING_DEVICE_LABEL,
                 "Failing device description", "failing_icon.png");

std::atomic<const void*> FailingDevice::sLastCreated{nullptr};

bool SampleDevice::FBCreate() {
  mWasCreatingInFBCreate = GetObjectStatus(kFBStatusCreating);
  mRoot = new FBModelTemplate("Sample", "Reference", kFBModelTemplateRoot);
  ModelTemplate.Children.Add(mRoot);
  SamplingMode = kFBHardwareTimestamp;
  SamplingPeriod = FBTime(0, 0, 1, 0, 0, kFBTimeModeDefault) / 96.0;
  return true;
}

void SampleDevice::FBDestroy() {
  Append("destroy");
  ParentClass::FBDestroy();
}

bool SampleDevice::DeviceOperation(kDeviceOperations pOperation) {
  Append("op:" + std::to_string(static_cast<int>(pOperation)));
  switch (pOperation) {
    case kOpStart:
      return mStartResult;
    case kOpStop:
      return false;
    default:
      return ParentClass::DeviceOperation(pOperation);
  }
}

void SampleDevice::DeviceIONotify(kDeviceIOs, FBDeviceNotifyInfo& pDeviceNotifyInfo) {
  ++mIONotifications;
  FBTime localTime = pDeviceNotifyInfo.GetLocalTime();
  for (SampleJoint& joint : mJoints) {
    if (!joint.mTranslation) continue;
    if (FBAnimationNode* record = joint.mTranslation->GetAnimationToRecord()) {
      if (mPlayerControl.GetTransportMode() == kFBTransportPlay) {
        const kReference reference = joint.mTranslation->Reference;
        FBVector4<double> value(static_cast<double>(reference), 1.0, 2.0);
        if (static_cast<int>(SamplingMode) == kFBHardwareTimestamp) {
          record->KeyAdd(localTime, value, kFBInterpolationCubic, kFBTangentModeAuto);
        } else {
          record->KeyAdd(value, kFBInterpolationLinear, kFBTangentModeUser);
        }
      }
    }
  }
  AckOneSampleReceived();
}

bool SampleDevice::AnimationNodeNotify(FBAnimationNode* pAnimationNode,
                                       FBEvaluateInfo* pEvaluateInfo) {
  ++mNotifications;
  if (mOnNotify) mOnNotify();
  auto write = [&](FBAnimationNode* node) {
    const kReference reference = node->Reference;
    if (reference == mUnwrittenReference.load()) return;
    const double value = mWriteBase.load() + static_cast<double>(reference);
    FBVector4<double> data(value, value, value);
    node->WriteData(data, pEvaluateInfo);
  };
  if (mWriteEveryNode) {
    for (int i = 0; i < GetOutConnectorCount(); ++i) {
      if (FBAnimationNode* node = GetOutConnector(i)) write(node);
    }
  } else {
    write(pAnimationNode);
  }
  return ParentClass::AnimationNodeNotify(pAnimationNode, pEvaluateInfo);
}

bool SampleDevice::ModelTemplateBindNotify(FBModel* pModel, int pIndex,
                                           FBModelTemplate* pTemplate) {
  Append("bind:" + std::to_string(pIndex) + ":" + static_cast<const char*>(pTemplate->Name) + ":" +
         static_cast<const char*>(pModel->Name));
  return true;
}

bool SampleDevice::ModelTemplateUnBindNotify(int pIndex, FBModelTemplate* pTemplate) {
  FBModel* model = pTemplate->Model;
  Append("unbind:" + std::to_string(pIndex) + ":" + static_cast<const char*>(pTemplate->Name) +
         ":" + (model ? static_cast<const char*>(model->Name) : "(none)"));
  if (mOnUnbind) mOnUnbind(pTemplate);
  return true;
}

SampleJoint SampleDevice::AddJoint(const char* pName, FBModelTemplate* pParent) {
  SampleJoint joint;
  const kReference reference = 10000 + mJoints.size();
  joint.mTemplate = new FBModelTemplate("Sample", pName, kFBModelTemplateSkeleton);
  (pParent ? pParent : mRoot)->Children.Add(joint.mTemplate);
  const FBString name(pName);
  joint.mTranslation =
      AnimationNodeOutCreate(reference, FBString(name, "T"), ANIMATIONNODE_TYPE_LOCAL_TRANSLATION,
                             true, nullptr, nullptr, false);
  joint.mRotation =
      AnimationNodeOutCreate(reference, FBString(name, "R"), ANIMATIONNODE_TYPE_LOCAL_ROTATION,
                             true, nullptr, nullptr, false);
  joint.mTemplate->Bindings.Add(joint.mTranslation);
  joint.mTemplate->Bindings.Add(joint.mRotation);
  mJoints.push_back(joint);
  return joint;
}

std::vector<std::string> SampleDevice::Log() {
  std::lock_guard<std::mutex> lock(mLogMutex);
  return mLog;
}

void SampleDevice::ClearLog() {
  std::lock_guard<std::mutex> lock(mLogMutex);
  mLog.clear();
}

void SampleDevice::Append(const std::string& pEntry) {
  std::lock_guard<std::mutex> lock(mLogMutex);
  mLog.push_back(pEntry);
  if (mOnLog) mOnLog(pEntry);
}

bool FailingDevice::FBCreate() {
  sLastCreated = this;
  FBModelTemplate* root = new FBModelTemplate("Failing", "Reference", kFBModelTemplateRoot);
  ModelTemplate.Children.Add(root);
  FBAnimationNode* node = AnimationNodeOutCreate(1, "RootT", ANIMATIONNODE_TYPE_LOCAL_TRANSLATION);
  root->Bindings.Add(node);
  return false;
}

// The library entry, as a plug-in's library source has it. The two ids come from the counter in
// this order.
FBDeviceImplementation(SampleDevice);
FBDeviceImplementation(FailingDevice);

FBLibraryDeclare(SampleDevice) {
  FBLibraryRegister(SampleDevice);
  FBLibraryRegister(FailingDevice);
}
FBLibraryDeclareEnd;

bool FBLibrary::LibInit() { return true; }
bool FBLibrary::LibOpen() { return true; }
bool FBLibrary::LibReady() { return true; }
bool FBLibrary::LibClose() { return true; }
bool FBLibrary::LibRelease() { return true; }
