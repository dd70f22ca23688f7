// SDK version selection: every SDK name lives in the namespace named by FBSDKNamespace, which
// tracks the host release the plug-in is built for. Compile-time only; no threading concerns.
#ifndef FBSDK_FBVERSION_H_
#define FBSDK_FBVERSION_H_

// The host release this SDK stand-in mirrors.
#define FBSDKNamespace ORSDK2019

#endif  // FBSDK_FBVERSION_H_
