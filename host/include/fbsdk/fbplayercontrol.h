// FBPlayerControl: the host's transport (play, stop, record) and the switch that pauses device
// evaluation. Every instance shows the one host transport; all methods may be called from any
// thread.
#ifndef FBSDK_FBPLAYERCONTROL_H_
#define FBSDK_FBPLAYERCONTROL_H_

#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbtime.h>

namespace FBSDKNamespace {

__FB_FORWARD(FBPlayerControl);

enum FBTransportMode {
  kFBTransportPlay,
  kFBTransportPlayPrepare,
  kFBTransportPlayReady,
  kFBTransportStop,
  kFBTransportStopPost,
  kFBTransportStopReady,
  kFBTransportShuttle,
  kFBTransportShuttlePrepare,
  kFBTransportShuttleReady,
  kFBTransportPlayReverse,
  kFBTransportPlayReversePrepare,
  kFBTransportPlayReverseReady,
  kFBTransportJog,
  kFBTransportJogPrepare,
  kFBTransportJogReady,
  kFBTransportGoto,
  kFBTransportGotoPrepare,
  kFBTransportGotoReady,
  kFBTransportStepForward,
  kFBTransportStepForwardPrepare,
  kFBTransportStepForwardReady,
  kFBTransportStepBackward,
  kFBTransportStepBackwardPrepare,
  kFBTransportStepBackwardReady
};

class FBSDK_DLL FBPlayerControl : public FBComponent {
  __FBClassDeclare(FBPlayerControl, FBComponent);

 public:
  FBPlayerControl(HIObject pObject = NULL);
  static FBPlayerControl& TheOne();  // The host's instance; lives as long as the process.

  FBTransportMode GetTransportMode();  // kFBTransportStop until the transport moves.
  // Pauses device evaluation: when it returns no evaluation pass is running (except the
  // caller's own, when called from one) and none starts until the matching EvaluationResume.
  // Pauses nest. REQUIRES: the caller holds no lock that AnimationNodeNotify takes.
  void EvaluationPause();
  // Ends one EvaluationPause; evaluation resumes when every pause has ended.
  void EvaluationResume();

  bool Play(bool pUseMarkers = false);  // Transport to play; true.
  bool Stop();                          // Transport to stop and recording off; true.
  bool Goto(FBTime pTime);              // Sets the current local time; true.
  // Arms recording: output nodes bound to models return take animations to record into. True.
  bool Record(bool pOverrideTake = false, bool pCopyData = true);

  FBPropertyBool IsRecording;  // Read-only.
  FBPropertyBool IsPlaying;    // Read-only: transport is kFBTransportPlay.
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBPLAYERCONTROL_H_
