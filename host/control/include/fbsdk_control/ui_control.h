// Test control of the host's user interface and characters: create and destroy device pages as
// the host does, act as the user on controls (typing, clicking, choosing, idle and show), inspect
// layouts region by region, draw a layout as SVG, and set the application version. State lives
// inside libfbsdk.so. Like the host's UI, these functions belong to one thread (the test's "UI
// thread"); handlers run on it, inside the call that fires them.
#ifndef FBSDK_CONTROL_UI_CONTROL_H_
#define FBSDK_CONTROL_UI_CONTROL_H_

#include <functional>
#include <string>
#include <vector>

#include <fbcontrols/fbcontrols.h>
#include <fbcontrols/fbdevicelayout.h>
#include <fbsdk/fbcharacter.h>
#include <fbsdk/fbcore.h>

namespace fbsdk_control {

// ---- Device pages ----

// Creates the page of a device as the host does: the "UI_Associated_ClassName" entry named after
// device->UniqueName, its creator called with device->GetHIObject() as data. NULL when the device
// is NULL, no page is registered for it, the creator failed or did not make a device layout.
FBSDKNamespace::FBDeviceLayout* CreateDeviceLayout(FBSDKNamespace::FBDevice* device);
// Destroys a page as the host does: FBDestroy, then delete (FBDelete). NULL is ignored.
void DestroyDeviceLayout(FBSDKNamespace::FBDeviceLayout* layout);

// ---- The user ----
// Each returns false, doing nothing, when the user could not do it: the control is hidden or
// disabled (an edit also when read-only, a list when the index is out of range).

// Replaces the edit's text as typed by the user, then fires OnChange and OnTransaction, even when
// the text is unchanged.
bool TypeText(FBSDKNamespace::FBEdit& edit, const char* text);
// Clicks the button: a check box (two-state style) toggles State between 0 and 1 and a radio
// button sets it to 1, before OnClick fires.
bool Click(FBSDKNamespace::FBButton& button);
// Selects item index alone, as a mouse choice; fires OnChange when the selection changed.
bool ChooseItem(FBSDKNamespace::FBList& list, int index);
// One idle tick: fires OnIdle of the layout, then of each layout shown in it, outermost first.
void FireIdle(FBSDKNamespace::FBLayout& layout);
// Shows (or hides) the layout: fires OnShow with an FBEventShow payload whose Shown is shown, on
// the layout and then on each layout shown in it.
void FireShow(FBSDKNamespace::FBLayout& layout, bool shown = true);
// One idle tick of the application: fires FBSystem::OnUIIdle (every handler added through any
// FBSystem), with the application's FBSystem as the sender.
void FireUIIdle();
// Handlers attached to FBSystem::OnUIIdle.
int UIIdleHandlerCount();
// Fires any event with sender as the sender and an empty payload (Type 0).
void FireEvent(FBSDKNamespace::FBPropertyEvent& event, FBSDKNamespace::FBComponent* sender);
// Handlers attached to an event.
int HandlerCount(FBSDKNamespace::FBPropertyEvent& event);

// Runs hook in every FBPropertyStringList::Add (a list control's items among them), before the
// item is added, with the item's text and reference; the hook runs on the UI thread inside the
// plug-in's call and may feed the plug-in meanwhile (for instance deliver data while a panel fills
// its list). nullptr removes it. Reset by ResetHost.
void SetStringListAddHook(std::function<void(const char* text, kReference reference)> hook);

// Whether assigning a different FBEdit::Text from code fires OnChange (default true; the user's
// typing always does). Reset by ResetHost.
void SetEditCodeChangeFiresEvent(bool fires);

// ---- Layout inspection ----

// A region with everything its layout recorded, and the rectangle worked out for it.
struct RegionInfo {
  std::string mName, mTitle;
  int mX, mY, mW, mH;  // As given to AddRegion (or MoveRegion / SizeRegion).
  FBSDKNamespace::FBAttachType mXType, mYType, mWType, mHType;
  std::string mXRelative, mYRelative, mWRelative, mHRelative;
  float mMultX, mMultY, mMultW, mMultH;
  FBSDKNamespace::FBVisualComponent* mControl;  // NULL when empty.
  bool mHasBorder;                              // SetBorder with a style other than kFBNoBorder.
  int mBorderStyle;                             // FBBorderStyle.
  bool mBorderShowTitle, mBorderInSet;
  int mBorderWidth, mBorderSpacing;
  float mBorderMaxAngle;
  int mBorderCornerRadius;
  int mSplitStyle;  // FBLayout::FBSplitStyle.
  // The computed rectangle in the layout's own coordinates, as GetRegionPositions gives it.
  int mComputedX, mComputedY, mComputedW, mComputedH;
  // The computed position in the coordinates of the outermost layout.
  int mRootX, mRootY;
};

// The regions of a layout, in the order they were added.
std::vector<RegionInfo> Regions(FBSDKNamespace::FBLayout& layout);
// The control shown in a region of the layout, NULL when empty or unknown.
FBSDKNamespace::FBVisualComponent* ControlIn(FBSDKNamespace::FBLayout& layout, const char* region);
// The layout whose region shows the component, NULL when it is shown nowhere.
FBSDKNamespace::FBLayout* HolderOf(FBSDKNamespace::FBVisualComponent& component);
// The size of a layout that no region holds (the host's panel area; default 800 x 600).
void SetLayoutSize(FBSDKNamespace::FBLayout& layout, int width, int height);

// Draws the layout at width x height (its panel size) as a plain SVG document: one
// <rect class="region"> per region (nested layouts included), frames for bordered regions, and
// each visible control as the user sees it (buttons, check boxes with their tick, edits with
// their text, lists with the selected item, labels as text), nested layouts recursively. Every
// region's group carries data-region="name".
std::string RenderLayoutSvg(FBSDKNamespace::FBLayout& layout, int width, int height);

// ---- System and characters ----

// FBSystem::Version (default 19000.0). Reset by ResetHost.
void SetSystemVersion(double version);
// The scene's characters in order (the scene owns them; ResetHost deletes them).
std::vector<FBSDKNamespace::FBCharacter*> SceneCharacters();
// Slots that must hold a model for SetCharacterizeOn to succeed (default {"Hips"}); names
// without "Link". Reset by ResetHost.
void SetCharacterizeRequiredSlots(std::vector<std::string> slots);
// Every slot a character has, in property order ("Reference", "Hips", ...), without "Link".
std::vector<std::string> CharacterSlots();

// The UI part of ResetHost: deletes every character of the scene and restores the version, the
// edit behaviour, the required slots and removes the string-list hook.
void ResetUi();

}  // namespace fbsdk_control

#endif  // FBSDK_CONTROL_UI_CONTROL_H_
