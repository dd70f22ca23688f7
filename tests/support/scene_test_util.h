// Scene helpers the tests and the benchmarks share. Like the stand-in's scene, they belong to the
// test's user-interface thread.
#ifndef KMQ_TEST_SUPPORT_SCENE_TEST_UTIL_H_
#define KMQ_TEST_SUPPORT_SCENE_TEST_UTIL_H_

#include <fbsdk/fbsdk.h>
#include <fbsdk_control/scene_control.h>

namespace kmq_test {

// Creates below model one scene model per child template of modelTemplate, named after it, and so
// on down the tree: a skeleton shaped like the device's templates, ready to bind. The models
// belong to the scene.
inline void MirrorTemplates(FBModelTemplate* modelTemplate, FBModel* model) {
  for (int i = 0; i < modelTemplate->Children.GetCount(); ++i) {
    FBModelTemplate* child = modelTemplate->Children[i];
    MirrorTemplates(child,
                    fbsdk_control::CreateModel(static_cast<const char*>(child->Name), model));
  }
}

}  // namespace kmq_test

#endif  // KMQ_TEST_SUPPORT_SCENE_TEST_UTIL_H_
