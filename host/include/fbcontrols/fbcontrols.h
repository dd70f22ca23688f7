// Host UI controls. For now: the modal message box, which blocks the calling thread until the
// user picks a button. Call it from the UI thread; the stand-in accepts any thread.
#ifndef FBCONTROLS_FBCONTROLS_H_
#define FBCONTROLS_FBCONTROLS_H_

#include <cstddef>

#include <fbsdk/fbtypes.h>

namespace FBSDKNamespace {

// Shows a modal box with up to three buttons (NULL = absent) and returns the number of the
// button pressed, counting from 1.
FBSDK_DLL int FBMessageBox(const char* pBoxTitle, const char* pMessage, const char* pButton1Str,
                           const char* pButton2Str = NULL, const char* pButton3Str = NULL,
                           int pDefaultButton = 0, int pScrolledMessage = 0);

}  // namespace FBSDKNamespace

#endif  // FBCONTROLS_FBCONTROLS_H_
