// FBEvaluateInfo: what the host tells a box about the evaluation pass it runs in (times, pass
// id). Built by the host only; valid for the duration of the call that receives it, on that
// thread.
#ifndef FBSDK_FBEVALUATEINFO_H_
#define FBSDK_FBEVALUATEINFO_H_

#include <fbsdk/fbtime.h>
#include <fbsdk/fbtypes.h>

namespace fbsdk_internal {
struct HostAccess;
}  // namespace fbsdk_internal

namespace FBSDKNamespace {

class FBSDK_DLL FBEvaluateInfo {
 public:
  FBTime& GetLocalTime();   // The scene time being evaluated.
  FBTime& GetSystemTime();  // The host clock when the pass started.
  bool IsStop();            // True unless the transport is playing.
  int GetSyncCount();       // -1: no sync signal in this host.
  int GetEvaluationID();    // Unique, increasing per pass.
  int GetDeviceID();        // 0 in this host.

 private:
  friend struct ::fbsdk_internal::HostAccess;
  friend class FBDeviceNotifyInfo;
  FBEvaluateInfo();

  FBTime mLocalTime;
  FBTime mSystemTime;
  bool mStop;
  int mSyncCount;
  int mEvaluationID;
  int mDeviceID;
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBEVALUATEINFO_H_
