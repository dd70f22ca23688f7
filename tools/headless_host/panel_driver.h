// The user at the device's panel: the device and its panel are made through the host's registry
// as the host makes them, and the user types into the panel's edits, chooses from its actor list
// and clicks its buttons, found by their regions and captions as a user finds them. Every call
// into the plug-in runs inside the hook given (PluginCallHook). User-interface thread only.
#ifndef KMQ_TOOLS_HEADLESS_HOST_PANEL_DRIVER_H_
#define KMQ_TOOLS_HEADLESS_HOST_PANEL_DRIVER_H_

#include <set>
#include <string>
#include <vector>

#include <fbsdk/fbsdk.h>

#include "kovrim_texts.h"
#include "plugin_call_hook.h"

namespace kmq {

// One item of the panel's actor list as the user sees it.
struct ActorItem {
  int mIndex = 0;
  long long mTag = 0;  // the item's reference: the actor's tag
  std::string mName;
  bool mSelected = false;  // the item the list shows as chosen
};

// A control of the panel the user can act on.
struct PanelControl {
  std::string mRegion;   // the region showing it
  std::string mCaption;  // a button's text; empty for edits and lists
  std::string mKind;     // "edit", "button", "check box" or "list"
};

// The panel's buttons.
enum class PanelButton { kRequestHeader, kRebuildSkeleton, kCharacterize };

class PanelDriver {
 public:
  static constexpr const char* kDeviceEntry = KOVRIM_DEVICE_LABEL;
  static constexpr const char* kDeviceGroup = "Boxes/Devices";
  static constexpr const char* kDeviceName = "Kovrim Motion Quorve";
  static constexpr const char* kRequestHeaderCaption = kovrim_texts::kRequestHeaderCaption;
  static constexpr const char* kRebuildSkeletonCaption = kovrim_texts::kRebuildSkeletonCaption;
  static constexpr const char* kCharacterizeCaption = kovrim_texts::kCharacterizeCaption;
  static constexpr const char* kTPoseCaption = kovrim_texts::kTPoseCaption;

  // hook (null for none) remains the caller's and must outlive the driver.
  explicit PanelDriver(PluginCallHook* hook);
  // Destroy.
  ~PanelDriver();
  PanelDriver(const PanelDriver&) = delete;
  PanelDriver& operator=(const PanelDriver&) = delete;

  // Every operation returns true when done; *message (when given) then says what was done, and
  // otherwise why nothing was.

  // Creates the device and its panel and shows the panel. A panel that lacks its address, port or
  // actor controls fails the call but is kept, with its device, until Destroy.
  // REQUIRES: no device yet, the plug-in loaded (the caller checks).
  bool Create(std::string* message);
  // Destroys the panel and the device (the caller takes the device offline first). Idempotent.
  void Destroy();
  // Destroys the panel, as the host closes a device's page before it deletes the device, and
  // hands the device over: the caller destroys it (alone or with the scene). Null without one.
  FBDevice* ClosePanel();
  bool HasDevice() const { return mDevice != nullptr; }
  // The device, host object owned here; nullptr before Create and after Destroy.
  FBDevice* Device() const { return mDevice; }
  // True with a device; otherwise false, and *message asks for one.
  bool NeedDevice(std::string* message) const;

  bool TypeAddress(const std::string& text, std::string* message);
  bool TypePort(const std::string& text, std::string* message);
  std::string AddressText() const;
  std::string PortText() const;
  std::vector<ActorItem> Actors() const;
  bool ChooseActor(int index, std::string* message);
  bool Click(PanelButton button, std::string* message);
  bool HasButton(PanelButton button) const { return ButtonFor(button) != nullptr; }
  // Clicks "Stay In T-Pose" when its state differs from on; *clicked says whether it did.
  bool SetTPose(bool on, bool* clicked, std::string* message);
  bool TPoseChecked() const;
  // Every control of the panel the user can act on, and the regions of those acted on so far.
  std::vector<PanelControl> PanelControls() const;
  const std::set<std::string>& DrivenControls() const { return mDriven; }
  // Fires the panel's idle event (nothing without a panel).
  void FireIdle();

 private:
  FBButton* ButtonFor(PanelButton button) const;

  PluginCallHook* const mHook;
  FBDevice* mDevice = nullptr;        // host object: destroyed in Destroy
  FBDeviceLayout* mLayout = nullptr;  // host object: destroyed in Destroy
  // Controls of mLayout; the button pointers are null when the panel has no such button.
  FBEdit* mAddressEdit = nullptr;
  FBEdit* mPortEdit = nullptr;
  FBList* mActorList = nullptr;
  FBButton* mRequestHeaderButton = nullptr;
  FBButton* mRebuildButton = nullptr;
  FBButton* mCharacterizeButton = nullptr;
  FBButton* mTPoseBox = nullptr;
  std::set<std::string> mDriven;  // regions of the controls the user acted on
};

}  // namespace kmq

#endif  // KMQ_TOOLS_HEADLESS_HOST_PANEL_DRIVER_H_
