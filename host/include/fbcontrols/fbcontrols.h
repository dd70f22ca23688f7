// Host UI: the visual components a device panel is made of (layouts with attached regions,
// buttons, labels, edits, lists), their events and the modal message box. Components, their
// properties and their events belong to the host's UI thread; the host fires every UI event on
// that thread. FBMessageBox blocks the calling thread until the user picks a button; the stand-in
// accepts it from any thread.
#ifndef FBCONTROLS_FBCONTROLS_H_
#define FBCONTROLS_FBCONTROLS_H_

#include <cstddef>

#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbpropertyevent.h>
#include <fbsdk/fbpropertystringlist.h>
#include <fbsdk/fbtypes.h>

namespace fbsdk_internal {
struct UiAccess;  // The stand-in's UI internals; not for plug-ins.
}  // namespace fbsdk_internal

namespace FBSDKNamespace {

// What one coordinate of a region is attached to.
enum FBAttachType {
  kFBAttachLeft = 0,    // The left edge of the region (or layout) named.
  kFBAttachRight = 1,   // Its right edge.
  kFBAttachTop = 2,     // Its top edge.
  kFBAttachBottom = 3,  // Its bottom edge.
  kFBAttachWidth = 4,   // Its width.
  kFBAttachHeight = 5,  // Its height.
  kFBAttachCenter = 6,  // Its centre.
  kFBAttachNone = 7     // Nothing: the value is absolute.
};

// Frame drawn around a region.
enum FBBorderStyle {
  kFBNoBorder = 0,
  kFBStandardBorder = 1,
  kFBEmbossBorder = 2,
  kFBEmbossSmoothBorder = 3,
  kFBEmbossEdgeSmoothBorder = 4,
  kFBEmbossSmoothEdgeBorder = 5,
  kFBStandardSmoothBorder = 6,
  kFBStandardEdgeSmoothBorder = 7,
  kFBStandardSmoothEdgeBorder = 8,
  kFBHighlightBorder = 9,
  kFBPickingBorder = 10
};

// What a button looks like and how a click changes its State.
enum FBButtonStyle {
  kFBPushButton = 0,
  kFBBitmapButton = 1,
  kFBRadioButton = 2,
  kFB2States = 3,
  kFBCheckbox = 3,  // Check box: a two-state button.
  kFBBitmap2States = 4
};

// The two values of a two-state button's State.
enum FBButtonState { kFBButtonState0 = 0, kFBButtonState1 = 1 };

// Where text sits in its control.
enum FBTextJustify { kFBTextJustifyLeft = 0, kFBTextJustifyRight = 1, kFBTextJustifyCenter = 2 };

// A drop-down list shows its selected item only; a vertical list shows every item.
enum FBListStyle { kFBDropDownList = 0, kFBVerticalList = 1 };

// FBPropertyButtonStyle, FBPropertyTextJustify, FBPropertyListStyle.
FB_DEFINE_ENUM(FBSDK_DLL, ButtonStyle);
FB_DEFINE_ENUM(FBSDK_DLL, TextJustify);
FB_DEFINE_ENUM(FBSDK_DLL, ListStyle);

__FB_FORWARD(FBVisualComponent);
__FB_FORWARD(FBLayout);
__FB_FORWARD(FBButton);
__FB_FORWARD(FBLabel);
__FB_FORWARD(FBEdit);
__FB_FORWARD(FBList);
__FB_FORWARD(FBEvent);
__FB_FORWARD(FBEventShow);

// Anything drawn in a layout region. A component shows in at most one region at a time; placing
// it elsewhere moves it, and destroying it empties its region.
class FBSDK_DLL FBVisualComponent : public FBComponent {
  __FBClassDeclare(FBVisualComponent, FBComponent);

 public:
  FBVisualComponent(HIObject pObject);
  // Attaches a child component (host containers other than layouts); false for NULL.
  virtual bool AddChild(FBVisualComponent* pChild, int pId = 0);
  // Asks for a redraw; the stand-in draws on demand, so nothing is pending.
  virtual void Refresh(bool pNow = false);

  FBPropertyString Caption;  // The text shown on buttons, labels and frames.
  FBPropertyBool Visible;    // Default true; the user cannot act on a hidden control.
  FBPropertyBool ReadOnly;   // Default false; the user cannot type into a read-only edit.
  FBPropertyBool Enabled;    // Default true; the user cannot act on a disabled control.
  FBPropertyString Hint;     // Tool tip.
  // Where the component is drawn, in the coordinates of the layout holding it (0 when it is in
  // no region). Read-only.
  FBPropertyInt Left;
  FBPropertyInt Top;
  FBPropertyInt Width;
  FBPropertyInt Height;
  FBPropertyEvent OnEnter;  // The control got the keyboard focus.
  FBPropertyEvent OnExit;   // The control lost it.

 private:
  friend struct ::fbsdk_internal::UiAccess;
};

// A container of named regions. Each region's rectangle follows from its four attachments, worked
// out whenever asked, so regions may be added in any order and may name regions added later. A
// name a layout does not own is looked up in the layout holding it, and so on outwards; "" (or an
// unknown name) is the layout itself.
class FBSDK_DLL FBLayout : public FBVisualComponent {
  __FBClassDeclare(FBLayout, FBVisualComponent);

 public:
  enum FBSplitStyle { kFBNoSplit = 0, kFBHSplit = 1, kFBVSplit = 2, kFBHVSplit = 3 };

  FBLayout(HIObject pObject = NULL);

  // Adds a region. Each coordinate is pValue plus pMult times the attached edge (or size) of the
  // region pRelative; a W or H attached to an edge places the far edge there, so negative values
  // inset it from the right or bottom; kFBAttachNone makes the value absolute. False for a
  // NULL or empty name or a name already used in this layout.
  virtual bool AddRegion(const char* pName, const char* pTitle, int pX, FBAttachType pXType,
                         const char* pXRelative, float pMultX, int pY, FBAttachType pYType,
                         const char* pYRelative, float pMultY, int pW, FBAttachType pWType,
                         const char* pWRelative, float pMultW, int pH, FBAttachType pHType,
                         const char* pHRelative, float pMultH);
  virtual bool MoveRegion(const char* pName, int pX, int pY);  // New X and Y values.
  virtual bool SizeRegion(const char* pName, int pW, int pH);  // New W and H values.
  virtual bool RemoveRegion(const char* pName);  // Its control is released, not deleted.
  // False when pOldName is unknown or pNewName is empty or taken.
  virtual bool RenameRegion(const char* pOldName, const char* pNewName);
  virtual bool GetRegion(const char* pName);  // True when this layout has the region.
  // The region's values as given (pComputed false) or its computed rectangle in this layout's
  // coordinates (pComputed true). Any of the pointers may be NULL. False for an unknown region.
  virtual bool GetRegionPositions(const char* pName, bool pComputed, int* pX, int* pY,
                                  int* pW = NULL, int* pH = NULL);
  // Shows pComponent in the region, replacing its control; the layout does not own it. False for
  // an unknown region, NULL, or a layout that contains this one.
  virtual bool SetControl(const char* pName, FBVisualComponent* pComponent);
  virtual bool SetControl(const char* pName, FBVisualComponent& pComponent);
  virtual void ClearControl(const char* pName);              // Empties the region.
  virtual FBVisualComponent* GetControl(const char* pName);  // NULL when empty or unknown.
  // As SetControl, for views.
  virtual bool SetView(const char* pName, FBVisualComponent* pComponent);
  virtual bool SetView(const char* pName, FBVisualComponent& pComponent);
  // Frames the region; kFBNoBorder removes the frame. False for an unknown region.
  virtual bool SetBorder(const char* pName, FBBorderStyle pType, bool pShowTitle, bool pInSet,
                         int pWidth, int pSpacing, float pMaxAngle, int pCornerRadius);
  virtual bool SetSplitStyle(const char* pName, FBSplitStyle pSplitStyle);
  virtual bool SetRegionTitle(const char* pName, const char* pTitle);
  // Regions are always computed on demand, so both only record the wish.
  void SetAutoRestructure(bool pAutoRestructure);
  void Restructure(bool pNoMove);

  FBPropertyEvent OnInput;
  FBPropertyEvent OnPaint;
  FBPropertyEvent OnIdle;  // Fired repeatedly while the host's UI is idle and the layout shown.
  FBPropertyEvent OnShow;  // Fired when the layout is shown or hidden; payload: FBEventShow.
  FBPropertyEvent OnResize;

 private:
  friend struct ::fbsdk_internal::UiAccess;
};

// Push button, check box or radio button.
class FBSDK_DLL FBButton : public FBVisualComponent {
  __FBClassDeclare(FBButton, FBVisualComponent);

 public:
  FBButton(HIObject pObject = NULL);

  // 0 or 1 for two-state styles. A user click on a check box (or a radio button) changes it
  // before OnClick fires; setting it from code fires nothing.
  FBPropertyInt State;
  FBPropertyButtonStyle Style;  // Default kFBPushButton.
  FBPropertyTextJustify Justify;
  FBPropertyEvent OnClick;  // Fired after each user click.
  FBPropertyEvent OnDragAndDrop;
};

// Static text (its Caption).
class FBSDK_DLL FBLabel : public FBVisualComponent {
  __FBClassDeclare(FBLabel, FBVisualComponent);

 public:
  FBLabel(HIObject pObject = NULL);

  FBPropertyTextJustify Justify;
  FBPropertyBool WordWrap;
};

// One-line text entry.
class FBSDK_DLL FBEdit : public FBVisualComponent {
  __FBClassDeclare(FBEdit, FBVisualComponent);

 public:
  FBEdit(HIObject pObject = NULL);

  // The text. The user's typing fires OnChange; an assignment from code that changes the text
  // fires it too (see fbsdk_control::SetEditCodeChangeFiresEvent), one that keeps it does not.
  FBPropertyString Text;
  FBPropertyBool PasswordMode;
  FBPropertyEvent OnChange;       // The text changed.
  FBPropertyEvent OnTransaction;  // The user confirmed the text (Enter or focus lost).
};

// A list or drop-down list of Items.
class FBSDK_DLL FBList : public FBVisualComponent {
  __FBClassDeclare(FBList, FBVisualComponent);

 public:
  FBList(HIObject pObject = NULL);

  FBPropertyStringList Items;  // The texts shown, each with the plug-in's reference.
  // The selected item (the first one with MultiSelect); with nothing selected, 0 for a non-empty
  // drop-down list (it always shows an item) and -1 otherwise. Setting it from code
  // selects that single item (-1 or an index out of range clears the selection) and fires
  // nothing; a user's choice fires OnChange.
  FBPropertyInt ItemIndex;
  FBPropertyBool MultiSelect;  // Default false: selecting an item deselects the others.
  FBPropertyBool ExtendedSelect;
  FBPropertyListStyle Style;  // Default kFBDropDownList.
  FBPropertyEvent OnChange;   // The user changed the selection.
  FBPropertyEvent OnDragAndDrop;

  virtual bool IsSelected(int pIndex);  // False when out of range.
  // Selects or deselects one item from code (no event); without MultiSelect, selecting an item
  // deselects the others. Ignored when out of range.
  virtual void Selected(int pIndex, bool pSelected);
};

// Read access to an event payload (valid during the handler call only).
class FBSDK_DLL FBEvent : public FBComponent {
  __FBClassDeclare(FBEvent, FBComponent);

 public:
  FBEvent(HKEventBase pEvent);
  FBPropertyInt Type;  // The host's kind of event; 0 when unknown. Read-only.
};

// The payload of OnShow.
class FBSDK_DLL FBEventShow : public FBEvent {
  __FBClassDeclare(FBEventShow, FBEvent);

 public:
  FBEventShow(HKEventBase pEvent);
  FBPropertyBool Shown;  // True when the layout is being shown, false when hidden. Read-only.
};

// Shows a modal box with up to three buttons (NULL = absent) and returns the number of the
// button pressed, counting from 1.
FBSDK_DLL int FBMessageBox(const char* pBoxTitle, const char* pMessage, const char* pButton1Str,
                           const char* pButton2Str = NULL, const char* pButton3Str = NULL,
                           int pDefaultButton = 0, int pScrolledMessage = 0);

}  // namespace FBSDKNamespace

#endif  // FBCONTROLS_FBCONTROLS_H_
