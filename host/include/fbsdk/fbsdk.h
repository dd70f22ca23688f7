// The SDK umbrella header: a plug-in includes only this. It pulls in every SDK header and, unless
// K_NO_UI is defined, the UI headers. Thread rules are given per header.
#ifndef FBSDK_FBSDK_H_
#define FBSDK_FBSDK_H_

#include <fbsdk/fbio.h>
#include <fbsdk/fbmath.h>
#include <fbsdk/fbstring.h>
#include <fbsdk/fbsystem.h>
#include <fbsdk/fbtime.h>
#include <fbsdk/fbtypes.h>
#include <fbsdk/fbversion.h>

#ifndef K_NO_UI
#include <fbcontrols/fbcontrols.h>
#else
namespace FBSDKNamespace {
// Without the UI no box is shown: the default button is the answer.
inline int FBMessageBox(const char*, const char*, const char*, const char* = NULL,
                        const char* = NULL, int pDefaultButton = 0, int = 0) {
  return pDefaultButton;
}
}  // namespace FBSDKNamespace
#endif

using namespace FBSDKNamespace;

#endif  // FBSDK_FBSDK_H_
