// The library object of a plug-in: the host calls its hooks as the library is initialised,
// opened, made ready, closed and released, on the UI thread. FBLibrary is not exported: every
// plug-in defines FBLibrary::LibInit, LibOpen, LibReady, LibClose and LibRelease itself.
#ifndef FBSDK_FBLIBRARY_H_
#define FBSDK_FBLIBRARY_H_

#include <fbsdk/fbcomponent.h>

namespace FBSDKNamespace {

class FBSDK_DLL FBLibraryBase : public ICallback {
 public:
  FBLibraryBase();
  virtual ~FBLibraryBase();
  HIObject IQuery(kInterfaceID pInterfaceID, int IsLocal = 0) override;  // NULL.
  void Destroy(int IsLocal = 0) override;                                // Nothing to release.
  virtual bool LibInit();     // After loading; false refuses the library. Base: true.
  virtual bool LibOpen();     // Base: true.
  virtual bool LibReady();    // Base: true.
  virtual bool LibClose();    // Base: true.
  virtual bool LibRelease();  // Base: true.
};

class FBLibrary : public FBLibraryBase {
 public:
  bool LibInit() override;
  bool LibOpen() override;
  bool LibReady() override;
  bool LibClose() override;
  bool LibRelease() override;
};

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBLIBRARY_H_
