#include "scene_skeleton.h"

#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>

#include "host_text.h"

namespace kmq {
namespace {

FBModelTemplate* ReferenceTemplate(FBDevice* device) {
  if (device == nullptr) return nullptr;
  return device->ModelTemplate.Children.GetCount() > 0 ? device->ModelTemplate.Children[0]
                                                       : nullptr;
}

int CountTemplates(FBModelTemplate* modelTemplate) {
  int count = 0;
  for (int i = 0; i < modelTemplate->Children.GetCount(); ++i) {
    count += 1 + CountTemplates(modelTemplate->Children[i]);
  }
  return count;
}

int CountBound(FBModelTemplate* modelTemplate) {
  int bound = 0;
  for (int i = 0; i < modelTemplate->Children.GetCount(); ++i) {
    FBModelTemplate* child = modelTemplate->Children[i];
    bound += (static_cast<FBModel*>(child->Model) != nullptr ? 1 : 0) + CountBound(child);
  }
  return bound;
}

int KeyCount(FBPropertyAnimatable& property) {
  FBAnimationNode* node = property.GetAnimationNode();
  return node != nullptr ? static_cast<int>(node->KeyCount) : 0;
}

std::vector<TakeKey> Keys(FBModel* model, const char* channel) {
  std::vector<TakeKey> keys;
  for (const fbsdk_control::RecordedKey& recorded : fbsdk_control::RecordedKeys(model, channel)) {
    TakeKey key;
    key.mTicks = recorded.mTime.Get();
    for (int i = 0; i < 3; ++i) key.mValue[i] = recorded.mValue[i];
    keys.push_back(key);
  }
  return keys;
}

}  // namespace

SceneSkeleton::SceneSkeleton(PluginCallHook* hook) : mHook(hook) {}

SceneSkeleton::~SceneSkeleton() { Delete(); }

int SceneSkeleton::TemplateCount(FBDevice* device) {
  FBModelTemplate* reference = ReferenceTemplate(device);
  return reference != nullptr ? CountTemplates(reference) : 0;
}

int SceneSkeleton::TemplateRootCount(FBDevice* device) {
  FBModelTemplate* reference = ReferenceTemplate(device);
  return reference != nullptr ? reference->Children.GetCount() : 0;
}

std::string SceneSkeleton::TemplateRootName(FBDevice* device) {
  FBModelTemplate* reference = ReferenceTemplate(device);
  if (reference == nullptr || reference->Children.GetCount() == 0) return "";
  return static_cast<const char*>(reference->Children[0]->Name);
}

FBModel* SceneSkeleton::RootJoint(FBDevice* device) {
  FBModelTemplate* reference = ReferenceTemplate(device);
  if (reference == nullptr || reference->Children.GetCount() == 0) return nullptr;
  return static_cast<FBModel*>(reference->Children[0]->Model);
}

bool SceneSkeleton::IsBound(FBDevice* device) {
  FBModelTemplate* reference = ReferenceTemplate(device);
  return reference != nullptr && static_cast<FBModel*>(reference->Model) != nullptr;
}

void SceneSkeleton::BuildModels(FBModelTemplate* modelTemplate, FBModel* parent,
                                SkeletonNode* node) {
  node->mName = static_cast<const char*>(modelTemplate->Name);
  node->mModel = fbsdk_control::CreateModel(node->mName.c_str(), parent,
                                            mNameSpace.empty() ? nullptr : mNameSpace.c_str());
  mModels.push_back(node->mModel);
  const int count = modelTemplate->Children.GetCount();
  node->mChildren.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    BuildModels(modelTemplate->Children[i], node->mModel, &node->mChildren[i]);
  }
}

void SceneSkeleton::Delete() {
  // The evaluation thread stops reading the root before it goes.
  if (mHook != nullptr) mHook->RootJointBound(nullptr);
  // Leaves first, so that no model is moved to the top of the scene on its way out.
  for (auto model = mModels.rbegin(); model != mModels.rend(); ++model) {
    fbsdk_control::DestroyModel(*model);
  }
  Forget();
}

void SceneSkeleton::Forget() {
  if (mHook != nullptr) mHook->RootJointBound(nullptr);
  mModels.clear();
  mSkeleton.clear();
  mReferenceModel = nullptr;
  mNameSpace.clear();
}

bool SceneSkeleton::Make(FBDevice* device, const std::string& nameSpace, std::string* message) {
  FBModelTemplate* reference = ReferenceTemplate(device);
  if (reference == nullptr || reference->Children.GetCount() == 0) {
    return Fail(message, "the device has no templates below \"Reference\" yet");
  }
  if (IsBound(device) && mReferenceModel != nullptr) {
    return Fail(message, "the skeleton is bound: unbind it before making a new one");
  }
  Delete();
  mNameSpace = nameSpace;
  // A model for "Reference" itself, bound as the host binds a device's root template; the joint
  // trees hang below it.
  mReferenceModel = fbsdk_control::CreateModel(static_cast<const char*>(reference->Name), nullptr,
                                               nameSpace.empty() ? nullptr : nameSpace.c_str());
  mModels.push_back(mReferenceModel);
  const int roots = reference->Children.GetCount();
  mSkeleton.resize(static_cast<size_t>(roots));
  for (int i = 0; i < roots; ++i) {
    BuildModels(reference->Children[i], mReferenceModel, &mSkeleton[static_cast<size_t>(i)]);
  }
  const std::string where = nameSpace.empty() ? "" : " in namespace \"" + nameSpace + "\"";
  return Done(message, "skeleton \"Reference\" with " + std::to_string(mModels.size() - 1) +
                           " models below it" + where);
}

bool SceneSkeleton::Bind(FBDevice* device, std::string* message) {
  if (mReferenceModel == nullptr) return Fail(message, "no skeleton yet (make it with skeleton)");
  if (!fbsdk_control::BindSkeleton(device, mReferenceModel)) {
    return Fail(message, "the scene skeleton could not be bound to the device");
  }
  FBModelTemplate* reference = ReferenceTemplate(device);
  const int templates = CountTemplates(reference);
  const int bound = CountBound(reference);
  if (bound != templates) {
    return Fail(message, "only " + std::to_string(bound) + " of " + std::to_string(templates) +
                             " templates were bound to the scene skeleton");
  }
  // The model bound below "Reference" for the skeleton's root joint.
  if (mHook != nullptr) mHook->RootJointBound(RootJoint(device));
  return Done(message, "skeleton of " + std::to_string(templates) + " models bound");
}

bool SceneSkeleton::Unbind(FBDevice* device, std::string* message) {
  if (!IsBound(device)) return Fail(message, "no skeleton is bound");
  if (mHook != nullptr) mHook->RootJointBound(nullptr);
  fbsdk_control::UnbindSkeleton(device);
  if (IsBound(device)) return Fail(message, "the skeleton is still bound");
  return Done(message, "skeleton unbound");
}

int SceneSkeleton::CountKeys(const SkeletonNode& node) {
  int keys = KeyCount(node.mModel->Translation) + KeyCount(node.mModel->Rotation);
  for (const SkeletonNode& child : node.mChildren) keys += CountKeys(child);
  return keys;
}

int SceneSkeleton::CountKeys() const {
  int keys = 0;
  for (const SkeletonNode& root : mSkeleton) keys += CountKeys(root);
  return keys;
}

TakeJoint SceneSkeleton::CollectTake(const SkeletonNode& node, int* keys) {
  TakeJoint joint;
  joint.mName = node.mName;
  joint.mTranslation = Keys(node.mModel, ANIMATIONNODE_TYPE_LOCAL_TRANSLATION);
  joint.mRotation = Keys(node.mModel, ANIMATIONNODE_TYPE_LOCAL_ROTATION);
  *keys += static_cast<int>(joint.mTranslation.size() + joint.mRotation.size());
  for (const SkeletonNode& child : node.mChildren) {
    joint.mChildren.push_back(CollectTake(child, keys));
  }
  return joint;
}

TakeJoint SceneSkeleton::CollectTake(int* keys) const {
  *keys = 0;
  if (mSkeleton.empty()) return TakeJoint();
  return CollectTake(mSkeleton[0], keys);
}

std::vector<CharacterItem> SceneSkeleton::Characters() {
  std::vector<CharacterItem> characters;
  for (FBCharacter* character : fbsdk_control::SceneCharacters()) {
    CharacterItem item;
    item.mName = static_cast<const char*>(character->Name);
    item.mCharacterized = character->GetCharacterize();
    characters.push_back(item);
  }
  return characters;
}

}  // namespace kmq
