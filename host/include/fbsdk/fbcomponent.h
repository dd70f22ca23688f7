// FBComponent: the base of every host object a plug-in creates or receives (devices, models,
// templates, nodes), with its name, lifetime status and the host's tracking allocator; plus the
// host's registration table (group/entry -> creator) and the library entry macros. The table may
// be used from any thread; it never calls a creator while locked. Components themselves belong
// to the UI thread unless a class says otherwise.
#ifndef FBSDK_FBCOMPONENT_H_
#define FBSDK_FBCOMPONENT_H_

#include <cstddef>

#include <fbsdk/fbplug.h>
#include <fbsdk/fbproperties.h>

namespace FBSDKNamespace {

__FB_FORWARD(FBComponent);

// Lifetime status of a component.
enum FBObjectStatus {
  kFBStatusCreating = 1 << 0,  // Set while its registered creator runs (FBCreate).
  kFBStatusStoring = 1 << 1,
  kFBStatusRetrieving = 1 << 2,
  kFBStatusMerging = 1 << 3,
  kFBStatusDestroying = 1 << 4,  // Set from the start of the host's destruction.
  kFBStatusClearing = 1 << 5
};

class FBSDK_DLL FBComponent : public FBPlug {
  __FBClassDeclare(FBComponent, FBPlug);

 public:
  // pObject: the host object behind it, NULL for a new one.
  FBComponent(HIObject pObject);
  // The creation hook the host calls after construction; false makes the creator fail.
  virtual bool FBCreate();
  // The destruction hook the host calls before deleting the object.
  virtual void FBDestroy();
  // Deletes the object when it came from operator new (see FBPlug::FBDelete).
  void FBDelete() override;

  // Status flags; atomic, so any thread may read them.
  void SetObjectStatus(FBObjectStatus pStatus, bool pValue);
  bool GetObjectStatus(FBObjectStatus pStatus);
  const char* GetFullName();  // The LongName.

  // The host allocator: every component made with new is tracked until deleted.
  void* operator new(size_t stAllocateBlock);
  void operator delete(void* pvMem);
  void* operator new(size_t stAllocateBlock, int blockType, const char* filename, int linenumber);
  void operator delete(void* pvMem, int blockType, const char* filename, int linenumber);

  FBPropertyManager PropertyList;  // Name, LongName, Selected and the class's own properties.
  FBPropertyBool Selected;         // Stored only: no selection in this host.
  FBPropertyString Name;           // The object's name.
  FBPropertyString LongName;       // "Namespace:Name", or Name without a namespace. Read-only.
};

typedef FBComponent FBObject;

// True when Component is non-NULL and Is a ComponentType.
#define FBIS(Component, ComponentType) ((Component) && (Component)->Is(ComponentType::TypeInfo))

// The component behind a handle (NULL for NULL).
FBSDK_DLL FBComponent* FBGetFBComponent(HIObject pObject, bool pAutoCreate = true);

// ---- Registration table ----

// Adds a record under pGroupName/pEntryName; several records may share a name (see nth).
// Strings are copied. False for a NULL group, entry or creator.
FBSDK_DLL bool FBObject_Register(const char* pGroupName, const char* pEntryName,
                                 const char* pDescription, kObjectCreatorFnc pCreatorFnc,
                                 bool pIsMultipleAllowed, const char* pIconFilename);
// Removes the nth record of that name; false if there is none.
FBSDK_DLL bool FBObject_Unregister(const char* pGroupName, const char* pEntryName, int nth = 0);
// Groups in registration order; names stay valid while the group has records.
FBSDK_DLL int FBObject_GetGroupCount();
FBSDK_DLL const char* FBObject_GetGroupName(int pGroupIndex);  // NULL when out of range.
// Distinct entry names of a group, in registration order (0 when out of range).
FBSDK_DLL int FBObject_GetEntryCount(int pGroupIndex);
FBSDK_DLL const char* FBObject_GetEntryName(int pGroupIndex, int pEntryIndex);
// Attributes of the nth record of an entry; NULL (or false) when it does not exist.
FBSDK_DLL const char* FBObject_GetEntryDescription(int pGroupIndex, int pEntryIndex, int nth = 0);
FBSDK_DLL const char* FBObject_GetEntryDLLName(int pGroupIndex, int pEntryIndex, int nth = 0);
FBSDK_DLL const char* FBObject_GetIconName(int pGroupIndex, int pEntryIndex, int nth = 0);
FBSDK_DLL bool FBObject_GetMultiplicity(int pGroupIndex, int pEntryIndex, int nth = 0);
// Calls the creator of the nth record (outside any host lock) and returns the object, with
// kFBStatusCreating set while the creator runs. NULL when there is no record or it failed.
FBSDK_DLL FBComponent* FBCreateObject(const char* pGroupName, const char* pEntryName,
                                      const char* pName, void* pData = NULL, int nth = 0);

// Registers once per process: a function-local static, so repeated module calls are harmless.
#define FBRegisterObject(LocalId, Path, Name, Description, Constructor, IsMultipleAllowed,      \
                         IconFilename)                                                          \
  static int __R##LocalId =                                                                     \
      FBObject_Register(Path, Name, Description, Constructor, IsMultipleAllowed, IconFilename); \
  (void)__R##LocalId

// ---- Library entry ----

enum kFBDllOperation { kFBDllLoad = 0, kFBDllUnLoad = 1 };

// A class's registration module, run from the library entry.
#define FBLibraryModule(Name) void FBModule##Name()

// The library entry EntryPoint<DllName>(operation). The loader calls it with kFBDllLoad when the
// library is loaded and kFBDllUnLoad when it is unloaded: from DllMain on Windows (process attach
// and detach), from constructor and destructor functions with GCC elsewhere, and from a static
// initialiser when K_NODLL is defined (the code is linked into a program, where Windows never
// runs a DllMain). The host may call it again by its C++ (decorated) name.
#if defined(K_NODLL)
#define FB_DLL_INIT(DllName, Startup)                                            \
  K_DLLEXPORT void EntryPoint##DllName(FBSDKNamespace::kFBDllOperation Startup); \
  static const bool DllName##FBDllLoaded =                                       \
      (EntryPoint##DllName(FBSDKNamespace::kFBDllLoad), true);                   \
  K_DLLEXPORT void EntryPoint##DllName(FBSDKNamespace::kFBDllOperation Startup)
#elif defined(_WIN32)
#define FB_DLL_INIT(DllName, Startup)                                                     \
  K_DLLEXPORT void EntryPoint##DllName(FBSDKNamespace::kFBDllOperation Startup);          \
  extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD pReason, LPVOID) {                      \
    if (pReason == DLL_PROCESS_ATTACH) EntryPoint##DllName(FBSDKNamespace::kFBDllLoad);   \
    if (pReason == DLL_PROCESS_DETACH) EntryPoint##DllName(FBSDKNamespace::kFBDllUnLoad); \
    return TRUE;                                                                          \
  }                                                                                       \
  K_DLLEXPORT void EntryPoint##DllName(FBSDKNamespace::kFBDllOperation Startup)
#else
#define FB_DLL_INIT(DllName, Startup)                                            \
  K_DLLEXPORT void EntryPoint##DllName(FBSDKNamespace::kFBDllOperation Startup); \
  static void __attribute__((constructor)) DllName##FBDllLoad() {                \
    EntryPoint##DllName(FBSDKNamespace::kFBDllLoad);                             \
  }                                                                              \
  static void __attribute__((destructor)) DllName##FBDllUnLoad() {               \
    EntryPoint##DllName(FBSDKNamespace::kFBDllUnLoad);                           \
  }                                                                              \
  K_DLLEXPORT void EntryPoint##DllName(FBSDKNamespace::kFBDllOperation Startup)
#endif

// Opens the library entry: the library object, LIBRARY_INIT (the host's init call) and the start
// of the load case. Follow with FBLibraryRegister lines and FBLibraryDeclareEnd.
#define FBLibraryDeclare(LibName)                                                                  \
  static FBLibrary LibName##GlobalFBLibrary;                                                       \
  extern "C" K_DLLEXPORT bool LIBRARY_INIT(HIError) { return LibName##GlobalFBLibrary.LibInit(); } \
  FB_DLL_INIT(LibName, Operation) {                                                                \
    switch (Operation) {                                                                           \
      case FBSDKNamespace::kFBDllLoad: {
// Runs a class's registration module (defined by its FBRegister... macro).
#define FBLibraryRegister(ClassName) \
  extern void FBModule##ClassName(); \
  FBModule##ClassName()
#define FBLibraryDeclareEnd \
  }                         \
  break;                    \
  default:                  \
    break;                  \
    }                       \
    }

}  // namespace FBSDKNamespace

#endif  // FBSDK_FBCOMPONENT_H_
