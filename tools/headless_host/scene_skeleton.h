// The scene skeleton a device's templates are bound to: one model named "Reference" with one model
// per template below it, same names and nesting, made and bound as the host's 'Model binding'
// control does, and read back after a recording as the take's keys. It tells its hook which model
// is bound to the root joint (the health tap reads it after each evaluation). User-interface
// thread only.
#ifndef KMQ_TOOLS_HEADLESS_HOST_SCENE_SKELETON_H_
#define KMQ_TOOLS_HEADLESS_HOST_SCENE_SKELETON_H_

#include <string>
#include <vector>

#include <fbsdk/fbsdk.h>

#include "plugin_call_hook.h"
#include "take_export.h"

namespace kmq {

struct CharacterItem {
  std::string mName;
  bool mCharacterized = false;
};

class SceneSkeleton {
 public:
  // hook (null for none) remains the caller's and must outlive the skeleton; it is told which
  // model is bound to the root joint.
  explicit SceneSkeleton(PluginCallHook* hook);
  // Delete.
  ~SceneSkeleton();
  SceneSkeleton(const SceneSkeleton&) = delete;
  SceneSkeleton& operator=(const SceneSkeleton&) = delete;

  // The device's templates. REQUIRES for all that take one: device is the live device, or null
  // where it says so. Templates below "Reference" (joints and end sites); 0 without a device.
  static int TemplateCount(FBDevice* device);
  // Joint trees below "Reference" (one for a sound header); 0 without a device.
  static int TemplateRootCount(FBDevice* device);
  // The first template below "Reference", or "" when none or without a device.
  static std::string TemplateRootName(FBDevice* device);
  // The model bound to the first template below "Reference"; null when none is, or without a
  // device.
  static FBModel* RootJoint(FBDevice* device);
  // Whether "Reference" is bound to a scene model; false without a device.
  static bool IsBound(FBDevice* device);

  // Makes the skeleton in nameSpace when not empty. A skeleton made before is deleted first, so
  // it must not be bound. REQUIRES: device not null. *message says what was done or why not.
  bool Make(FBDevice* device, const std::string& nameSpace, std::string* message);
  // Binds the skeleton; fails unless every template is bound. REQUIRES: device not null.
  bool Bind(FBDevice* device, std::string* message);
  // REQUIRES: device not null.
  bool Unbind(FBDevice* device, std::string* message);
  // Deletes the skeleton's models, leaves first. Idempotent.
  void Delete();
  // Lets go of the skeleton without deleting its models: the host deleted them with the scene.
  void Forget();
  bool HasSkeleton() const { return mReferenceModel != nullptr; }
  std::string NameSpace() const { return mNameSpace; }

  // Keys now on the skeleton's channels.
  int CountKeys() const;
  // The keys of the skeleton's first joint tree; *keys counts them.
  TakeJoint CollectTake(int* keys) const;
  bool IsEmpty() const { return mSkeleton.empty(); }

  // The characters of the scene.
  static std::vector<CharacterItem> Characters();

 private:
  struct SkeletonNode {
    FBModel* mModel = nullptr;
    std::string mName;
    std::vector<SkeletonNode> mChildren;
  };

  void BuildModels(FBModelTemplate* modelTemplate, FBModel* parent, SkeletonNode* node);
  static int CountKeys(const SkeletonNode& node);
  static TakeJoint CollectTake(const SkeletonNode& node, int* keys);

  PluginCallHook* const mHook;
  // "Reference" and the joint trees below it.
  FBModel* mReferenceModel = nullptr;
  std::vector<SkeletonNode> mSkeleton;
  std::string mNameSpace;
  std::vector<FBModel*> mModels;  // scene models made here, in creation order
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_SCENE_SKELETON_H_
