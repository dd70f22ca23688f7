// KovrimDeviceLayout: the device's page in the host's device navigator. Command buttons and the
// T-pose check box on the left; the server's address and port and the actor list on the right.
// Its controls act on the device and its link directly.
//
// Threads: the host creates, shows and destroys the panel and calls every handler on its
// user-interface thread, one at a time. The only data shared with other threads is the link's
// actor map (copied under the link's lock) and its atomic flags, and the device's T-pose flag.
#ifndef KOVRIM_LAYOUT_H_
#define KOVRIM_LAYOUT_H_

#include <fbsdk/fbsdk.h>

#include "kovrim_device.h"

// The host version from which the panel offers "Characterize".
constexpr int kCharacterizeMinimumVersion = 13000;

class KovrimDeviceLayout : public FBDeviceLayout {
  FBDeviceLayoutDeclare(KovrimDeviceLayout, FBDeviceLayout);

 public:
  // Lays out every region and attaches the handlers; always true.
  bool FBCreate() override;
  void FBDestroy() override;

  // Handlers, attached in this order by FBCreate.
  void EventAddressChange(HISender pSender, HKEvent pEvent);
  void EventPortChange(HISender pSender, HKEvent pEvent);
  void EventRequestBvhHeaderClick(HISender pSender, HKEvent pEvent);
  void EventRebuildSkeletonClick(HISender pSender, HKEvent pEvent);
  void EventCharacterizeClick(HISender pSender, HKEvent pEvent);
  void EventStayTPoseClick(HISender pSender, HKEvent pEvent);
  void EventRolesListChange(HISender pSender, HKEvent pEvent);
  void EventUIIdle(HISender pSender, HKEvent pEvent);
  void EventUIShow(HISender pSender, HKEvent pEvent);

  // Refills the actor list from the link (ascending tags; item reference = tag) and selects the
  // chosen actor's item. Returns the number of items.
  int RefreshActorList();

  // Converts a port text as atoi does (blanks, an optional sign, digits up to the first other
  // character; 0 without digits), clamped to the range of int instead of overflowing.
  static int ParsePortText(const char* text);

  KovrimDevice* mDevice = nullptr;  // not owned; the device this panel belongs to
  FBLayout mSetupLayout;
  FBLayout mCommunicationLayout;
  FBLabel mTcpLabel;
  FBLabel mAddressLabel;
  FBEdit mAddressEdit;
  FBLabel mPortLabel;
  FBEdit mPortEdit;
  FBButton mCharacterizeButton;
  FBButton mRequestBvhHeaderButton;
  FBButton mRebuildSkeletonButton;
  FBButton mStayTPoseCheckBox;
  FBLayout mRoleControlLayout;
  FBLabel mRoleNameLabel;
  FBList mRolesList;
  bool mShowCharacterize = false;

 private:
  void LayoutSetup();
  void LayoutCommunication();
  void LayoutRoleControl();
};

#endif  // KOVRIM_LAYOUT_H_
