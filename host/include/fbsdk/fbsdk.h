// The SDK umbrella header: a plug-in includes only this. It pulls in every SDK header and, unless
// K_NO_UI is defined, the UI headers. Thread rules are given per header.
#ifndef FBSDK_FBSDK_H_
#define FBSDK_FBSDK_H_

#include <fbsdk/fbcharacter.h>
#include <fbsdk/fbcomponent.h>
#include <fbsdk/fbconstraint.h>
#include <fbsdk/fbcore.h>
#include <fbsdk/fbdata.h>
#include <fbsdk/fbdefines.h>
#include <fbsdk/fbevaluateinfo.h>
#include <fbsdk/fbio.h>
#include <fbsdk/fblibrary.h>
#include <fbsdk/fbmath.h>
#include <fbsdk/fbmodel.h>
#include <fbsdk/fbplayercontrol.h>
#include <fbsdk/fbplug.h>
#include <fbsdk/fbproperties.h>
#include <fbsdk/fbpropertyevent.h>
#include <fbsdk/fbpropertystringlist.h>
#include <fbsdk/fbscene.h>
#include <fbsdk/fbstring.h>
#include <fbsdk/fbsystem.h>
#include <fbsdk/fbtime.h>
#include <fbsdk/fbtypes.h>
#include <fbsdk/fbversion.h>

#ifndef K_NO_UI
#include <fbcontrols/fbcontrols.h>
#include <fbcontrols/fbdevicelayout.h>
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
