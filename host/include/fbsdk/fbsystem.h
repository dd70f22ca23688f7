// Host system services: FBTrace, the host console trace, which every thread may call (the
// stand-in serialises traces; the host itself documents FBTrace as not thread safe), and
// FBSystem, the application's facts, its scene and its idle event. FBSystem's values may be read
// from any thread; the scene it leads to and OnUIIdle belong to the UI thread.
#ifndef FBSDK_FBSYSTEM_H_
#define FBSDK_FBSYSTEM_H_

#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbproperties.h>
#include <fbsdk/fbpropertyevent.h>
#include <fbsdk/fbtypes.h>

namespace FBSDKNamespace {

// Trace verbosity levels; a trace is shown when its level is at most the host's level.
enum FBTraceLevel {
  kFBNO_TRACE = 0,
  kFBCRITICAL_TRACE = 1,
  kFBNORMAL_TRACE = 10,  // The host's default level.
  kFBALL_TRACE = 20
};

// printf-style line to the host console (stderr); the result is cut to 2048 bytes.
FBSDK_DLL void FBTrace(const char* pFormatString, ...) __attribute__((format(printf, 1, 2)));
// As FBTrace, shown only when pLevel is at most the host's trace level.
FBSDK_DLL void FBTraceWithLevel(unsigned int pLevel, const char* pFormatString, ...)
    __attribute__((format(printf, 2, 3)));

__FB_FORWARD(FBSystem);
FB_DEFINE_COMPONENT(FBSDK_DLL, Scene);

// The application's idle event: fired on the UI thread whenever the host is idle, whatever
// windows are shown. One list of handlers for the application: a handler added through any
// FBSystem is called once per idle tick, and removed through any FBSystem.
class FBSDK_DLL FBPropertyEventUIIdle : public FBPropertyEvent {
 public:
  void Add(HICallback pOwner, kICallbackHandler pHandler) override;
  void Remove(HICallback pOwner, kICallbackHandler pHandler) override;
};

// The application itself. Every FBSystem, TheOne or a local one, shows the same application.
class FBSDK_DLL FBSystem : public FBComponent {
  __FBClassDeclare(FBSystem, FBComponent);

 public:
  FBSystem();
  static FBSystem& TheOne();  // The application's own instance.

  FBPropertyScene Scene;             // The open scene; never NULL. Read-only.
  FBPropertyDouble Version;          // Application version (major x 1000), e.g. 19000.0. Read-only.
  FBPropertyString BuildId;          // Build identification text. Read-only.
  FBPropertyString BuildVersion;     // "Major.Minor.Revision.BuildNumber". Read-only.
  FBPropertyTime SystemTime;         // The host clock (time since the application started).
  FBPropertyString ApplicationPath;  // Directory of the application's executable.
  FBPropertyString TempPath;         // Directory for temporary files, ending with '/'.
  FBPropertyString ComputerName;     // The machine's host name.
  FBPropertyEventUIIdle OnUIIdle;    // The application's idle ticks (UI thread).
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBSYSTEM_H_
