// Host system services. For now: FBTrace, the host console trace, which every thread may call
// (the stand-in serialises traces; the host itself documents FBTrace as not thread safe).
#ifndef FBSDK_FBSYSTEM_H_
#define FBSDK_FBSYSTEM_H_

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

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBSYSTEM_H_
