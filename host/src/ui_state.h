// The host's UI and character state: the private data behind controls, layouts, events, string
// lists, the scene's character table and the system facts, plus the geometry of layouts. Controls,
// layouts, events and characters belong to the UI thread (as in the host, nothing here is locked);
// the system facts are atomics, and the required-slot list has its own lock.
#ifndef FBSDK_SRC_UI_STATE_H_
#define FBSDK_SRC_UI_STATE_H_

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fbcontrols/fbcontrols.h>
#include <fbcontrols/fbdevicelayout.h>
#include <fbsdk/fbcharacter.h>
#include <fbsdk/fbpropertyevent.h>
#include <fbsdk/fbpropertystringlist.h>
#include <fbsdk/fbscene.h>
#include <fbsdk/fbsystem.h>

#include "thread_annotations.h"
#include "ui_regions.h"

// An event payload as the host passes it to handlers; read through FBEvent and its subclasses.
class KEventBase {
 public:
  int mType = 0;        // FBEvent::Type.
  bool mShown = false;  // FBEventShow::Shown.
};

namespace FBSDKNamespace {

class DataFBPropertyEvent {
 public:
  struct Handler {
    HICallback mOwner;
    kICallbackHandler mHandler;
    bool mActive;  // Cleared by Remove and by the event's destruction, even mid-firing.
  };
  // Attach order. Shared so that a firing keeps its snapshot alive while handlers change it.
  std::vector<std::shared_ptr<Handler>> mHandlers;
};

class DataFBPropertyStringList {
 public:
  struct Item {
    std::string mText;
    kReference mRef = 0;
    bool mSelected = false;  // Selection of the list control owning the items.
  };
  std::vector<Item> mItems;
};

class DataFBVisualComponent {
 public:
  FBLayout* mHolder = nullptr;  // The layout whose region shows the component, if any.
  std::string mRegion;          // That region's name.
  std::vector<FBVisualComponent*> mChildren;  // AddChild; not owned.
  std::string mCaption;                       // Caption storage.
  std::string mHint;
};

// One region of a layout, with every AddRegion and SetBorder argument.
struct RegionData {
  std::string mName;
  std::string mTitle;
  fbsdk_internal::UiAttach mX, mY, mW, mH;
  FBVisualComponent* mControl = nullptr;  // Not owned.
  bool mHasBorder = false;
  FBBorderStyle mBorderStyle = kFBNoBorder;
  bool mBorderShowTitle = false;
  bool mBorderInSet = false;
  int mBorderWidth = 0;
  int mBorderSpacing = 0;
  float mBorderMaxAngle = 0.0f;
  int mBorderCornerRadius = 0;
  int mSplitStyle = 0;      // FBLayout::FBSplitStyle.
  bool mResolving = false;  // Set while its rectangle is being worked out (breaks cycles).
};

class DataFBLayout {
 public:
  std::vector<RegionData> mRegions;  // In AddRegion order.
  // Size of the layout when no region holds it (the host's panel area).
  int mRootWidth = 800;
  int mRootHeight = 600;
  bool mAutoRestructure = true;
};

class DataFBButton {};
class DataFBLabel {};

class DataFBEdit {
 public:
  std::string mText;
};

class DataFBList {};

class DataFBEvent {
 public:
  KEventBase* mEvent = nullptr;  // The payload wrapped; valid during the handler call.
};

class DataFBEventShow {};

class DataFBDeviceLayout {
 public:
  FBDevice* mDevice = nullptr;  // Not owned.
};

class DataFBSystem {};

class DataFBScene {};

class DataFBPropertyListCharacter {
 public:
  std::vector<FBCharacter*> mItems;  // The scene owns them.
};

class DataFBConstraint {};

class DataFBCharacter {
 public:
  std::vector<std::unique_ptr<FBPropertyListObject>> mSlots;  // One per standard slot.
  bool mCharacterized = false;
  std::string mError;
};

}  // namespace FBSDKNamespace

namespace fbsdk_internal {

using FBSDKNamespace::FBCharacter;
using FBSDKNamespace::FBComponent;
using FBSDKNamespace::FBLayout;
using FBSDKNamespace::FBPropertyEvent;
using FBSDKNamespace::FBPropertyStringList;
using FBSDKNamespace::FBScene;
using FBSDKNamespace::FBVisualComponent;

struct UiState {
  std::atomic<double> mVersion{19000.0};
  std::atomic<bool> mEditCodeChangeFires{true};
  kovrim::Mutex mMutex;
  std::vector<std::string> mRequiredSlots GUARDED_BY(mMutex) = {"Hips"};
  // Test control's hook in FBPropertyStringList::Add; run with mMutex released.
  std::function<void(const char*, kReference)> mStringListAddHook GUARDED_BY(mMutex);
};

// The single instance (created on first use, intentionally leaked).
UiState& Ui();

// Access to the private parts of UI classes.
struct UiAccess {
  // Calls the handlers attached when the firing starts, in attach order, skipping any removed
  // meanwhile. pSender's handle is passed as the sender.
  static void Fire(FBPropertyEvent& pEvent, FBComponent* pSender, KEventBase* pPayload);
  static int HandlerCount(FBPropertyEvent& pEvent);
  // The application's one list of idle handlers, behind every FBSystem::OnUIIdle.
  static FBPropertyEvent& ApplicationIdle();
  static FBSDKNamespace::DataFBPropertyStringList& Items(FBPropertyStringList& pList) {
    return *pList.mLocalPtr;
  }
  // The one scene, made on first use and never destroyed.
  static FBScene& TheScene();
  static std::vector<FBCharacter*>& SceneCharacters();
  // Removes a character from the scene's table (without deleting it); false if absent.
  static bool LeaveScene(FBCharacter* pCharacter);
  static void JoinScene(FBCharacter* pCharacter);
};

// Geometry, in the coordinates of the outermost layout.
UiRect LayoutFrame(FBLayout& pLayout);  // The rectangle a layout occupies.
// The rectangle of pLayout's region pIndex.
UiRect RegionRect(FBLayout& pLayout, size_t pIndex);
// The region of pLayout named pName, NULL when it has none.
FBSDKNamespace::RegionData* FindRegion(FBLayout& pLayout, const char* pName);

// Slot names of a character, in property order ("Reference", "Hips", ...).
const std::vector<std::string>& CharacterSlotNames();

// Deletes every character of the scene and restores the UI defaults (ResetHost).
void ResetUiState();

}  // namespace fbsdk_internal

#endif  // FBSDK_SRC_UI_STATE_H_
