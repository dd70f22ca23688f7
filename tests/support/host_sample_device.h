// A sample device written the way a device plug-in is, used by the host stand-in tests: it
// registers through the SDK macros, builds a "Reference" template tree with one translation and
// one rotation output node per joint, writes values in AnimationNodeNotify, records keys in
// DeviceIONotify and logs every host call it receives. Its logs are guarded by mLogMutex;
// counters are atomics, so tests read them from any thread.
#ifndef KMQ_TESTS_SUPPORT_HOST_SAMPLE_DEVICE_H_
#define KMQ_TESTS_SUPPORT_HOST_SAMPLE_DEVICE_H_

#include <fbsdk/fbsdk.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#define SAMPLE_DEVICE_LABEL "Sample device (1.0)"
#define SAMPLE_DEVICE_UNIQUE_NAME "Sample Unique Device"
#define FAILING_DEVICE_LABEL "Failing device (1.0)"

// One joint of the sample skeleton: a template with its two output nodes.
struct SampleJoint {
  FBModelTemplate* mTemplate = nullptr;
  FBAnimationNode* mTranslation = nullptr;
  FBAnimationNode* mRotation = nullptr;
};

class SampleDevice : public FBDevice {
  FBDeviceDeclare(SampleDevice, FBDevice);

 public:
  bool FBCreate() override;
  void FBDestroy() override;
  bool DeviceOperation(kDeviceOperations pOperation) override;
  void DeviceIONotify(kDeviceIOs pAction, FBDeviceNotifyInfo& pDeviceNotifyInfo) override;
  bool AnimationNodeNotify(FBAnimationNode* pAnimationNode, FBEvaluateInfo* pEvaluateInfo) override;
  bool ModelTemplateBindNotify(FBModel* pModel, int pIndex, FBModelTemplate* pTemplate) override;
  bool ModelTemplateUnBindNotify(int pIndex, FBModelTemplate* pTemplate) override;

  // Adds a joint template named pName below pParent (the "Reference" root when NULL) with its
  // nodes (references 10000 + joint index), and returns it.
  SampleJoint AddJoint(const char* pName, FBModelTemplate* pParent = nullptr);
  // Everything the device was told, in order ("op:1", "bind:0:Reference:Hips", ...).
  std::vector<std::string> Log();
  void ClearLog();

  FBModelTemplate* mRoot = nullptr;  // "Reference", made by FBCreate.
  std::vector<SampleJoint> mJoints;  // Owned by the test thread.
  std::atomic<bool> mStartResult{true};
  std::atomic<bool> mWasCreatingInFBCreate{false};
  std::atomic<long> mNotifications{0};
  std::atomic<long> mIONotifications{0};
  // Value written for a node: base + reference (all three components), per notification.
  std::atomic<int> mWriteBase{0};
  // When set, each notification writes every output node of the device, as a real device does,
  // instead of only the node asked about.
  std::atomic<bool> mWriteEveryNode{false};
  // Output nodes with this reference are never written (0: every node is written).
  std::atomic<kReference> mUnwrittenReference{0};
  // Called from AnimationNodeNotify (evaluation thread) when set before the evaluation starts.
  std::function<void()> mOnNotify;
  // Called from ModelTemplateUnBindNotify (UI thread) when set.
  std::function<void(FBModelTemplate*)> mOnUnbind;
  // Also receives every log entry when set (it outlives the device in destruction tests).
  std::function<void(const std::string&)> mOnLog;
  FBPlayerControl mPlayerControl;

 private:
  void Append(const std::string& pEntry);
  std::mutex mLogMutex;
  std::vector<std::string> mLog;  // Guarded by mLogMutex.
};

// Its FBCreate builds a template and a node, then fails.
class FailingDevice : public FBDevice {
  FBDeviceDeclare(FailingDevice, FBDevice);

 public:
  bool FBCreate() override;
  static std::atomic<const void*> sLastCreated;  // The object whose FBCreate ran last.
};

#endif  // KMQ_TESTS_SUPPORT_HOST_SAMPLE_DEVICE_H_
