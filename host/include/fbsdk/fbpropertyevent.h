// Event properties: the lists of callbacks a component fires (a button's OnClick, a layout's
// OnIdle, ...), and the handler types plug-ins attach with Add(this, (FBCallback)&Class::Handler).
// The host fires events on its UI thread only; Add and Remove belong to that thread too. A
// handler may add or remove handlers, or destroy the event's owner, while the event is firing.
#ifndef FBSDK_FBPROPERTYEVENT_H_
#define FBSDK_FBPROPERTYEVENT_H_

#include <fbsdk/fbproperties.h>

namespace fbsdk_internal {
struct UiAccess;  // The stand-in's UI internals; not for plug-ins.
}  // namespace fbsdk_internal

namespace FBSDKNamespace {

__FB_FORWARD(FBPropertyEvent);

typedef HIRegister HISender;  // The object firing the event.
typedef HKEventBase HKEvent;  // The event payload; wrap it (FBEvent, FBEventShow) to read it.
// A handler: void Class::Handler(HISender, HKEvent) of a class deriving from ICallback, cast with
// (FBCallback)&Class::Handler.
typedef void (ICallback::*FBCallback)(HISender pSender, HKEvent pEvent);

class FBSDK_DLL FBPropertyEvent : public FBProperty {
 public:
  FBPropertyEvent();
  ~FBPropertyEvent() override;
  // Appends a handler; firing calls handlers in the order they were added. Adding a pair that is
  // already attached changes nothing. Owner and handler must stay valid until removed.
  virtual void Add(HICallback pOwner, kICallbackHandler pHandler);
  // Detaches the pair given to Add; it is not called again, even later in a firing under way.
  virtual void Remove(HICallback pOwner, kICallbackHandler pHandler);
  FBPropertyType GetPropertyType() override;  // kFBPT_event.

 private:
  friend struct ::fbsdk_internal::UiAccess;
  DataFBPropertyEvent* mLocalPtr;
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBPROPERTYEVENT_H_
