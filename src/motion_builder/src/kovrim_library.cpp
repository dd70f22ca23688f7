// The library: the class type ids, in a fixed order (one translation unit, so static
// initialisation takes the device's id before the panel's), the library object and the entry
// that registers the classes. The host's loader runs the entry on attach (DllMain on Windows, a
// constructor function elsewhere) and the host calls it again by name; each record registers once.
#include "kovrim_device.h"
#include "kovrim_layout.h"

FBDeviceImplementation(KovrimDevice);
FBDeviceLayoutImplementation(KovrimDeviceLayout);

FBLibraryDeclare(KovrimDevice) {
  FBLibraryRegister(KovrimDevice);
  FBLibraryRegister(KovrimDeviceLayout);
}
FBLibraryDeclareEnd;

bool FBLibrary::LibInit() { return true; }
bool FBLibrary::LibOpen() { return true; }
bool FBLibrary::LibReady() { return true; }
bool FBLibrary::LibClose() { return true; }
bool FBLibrary::LibRelease() { return true; }
