// The plug-in DLL as Windows loads it: LoadLibrary runs DllMain, which registers the classes
// once (the host's second call by name adds nothing), the records name the DLL file, the entry
// is exported under GCC's decorated name, and a DLL without the entry is refused.
#include <windows.h>

#include <fbsdk/fbsdk.h>
#include <gtest/gtest.h>

#include <string>

#include "host_options.h"
#include "plugin_library.h"

namespace {

const char* const kDevice = "Motion quorve (2.0.0.116)";

// Records of group/entry, and the DLL name of the first (empty when there is none).
int CountRecords(const std::string& group, const std::string& entry, std::string* dll) {
  for (int g = 0; g < FBObject_GetGroupCount(); ++g) {
    if (group != FBObject_GetGroupName(g)) continue;
    for (int e = 0; e < FBObject_GetEntryCount(g); ++e) {
      if (entry != FBObject_GetEntryName(g, e)) continue;
      int nth = 0;
      while (FBObject_GetEntryDescription(g, e, nth) != nullptr) ++nth;
      if (dll != nullptr && nth > 0) *dll = FBObject_GetEntryDLLName(g, e, 0);
      return nth;
    }
  }
  return 0;
}

TEST(WindowsPluginLoad, DllMainRegistersOnceAndTheRecordsNameTheDll) {
  kmq::PluginLibrary library;
  std::string error;
  ASSERT_TRUE(library.Open(kmq::DefaultHostOptions().mPluginPath, &error)) << error;
  EXPECT_EQ(library.RecordsAddedByEntry(), 0);
  std::string dll;
  EXPECT_EQ(CountRecords("Boxes/Devices", kDevice, &dll), 1);
  EXPECT_EQ(dll, "KovrimMotionQuorve.dll");
  library.Close();
  const int left = CountRecords("Boxes/Devices", kDevice, nullptr);
  if (library.RecordsRemovedOnClose() > 0) {
    EXPECT_EQ(library.RecordsRemovedOnClose(), 3);
    EXPECT_EQ(left, 0);
  } else {
    EXPECT_EQ(left, 1);
  }
}

TEST(WindowsPluginLoad, EntryIsExportedUnderGccsDecoratedName) {
  kmq::PluginLibrary library;
  std::string error;
  const std::string path = kmq::DefaultHostOptions().mPluginPath;
  ASSERT_TRUE(library.Open(path, &error)) << error;
  HMODULE module = GetModuleHandleA(path.c_str());
  ASSERT_NE(module, nullptr);
  const std::string symbol = kmq::PluginLibrary::EntryPointSymbol("KovrimDevice");
  EXPECT_NE(GetProcAddress(module, symbol.c_str()), nullptr) << symbol;
  EXPECT_NE(GetProcAddress(module, "LIBRARY_INIT"), nullptr);
}

TEST(WindowsPluginLoad, DllWithoutTheEntryIsRefused) {
  const std::string plugin = kmq::DefaultHostOptions().mPluginPath;
  const std::string standIn = plugin.substr(0, plugin.find_last_of("/\\") + 1) + "fbsdk.dll";
  kmq::PluginLibrary library;
  std::string error;
  EXPECT_FALSE(library.Open(standIn, &error));
  EXPECT_FALSE(library.IsOpen());
  EXPECT_NE(error.find("is not a plug-in library"), std::string::npos) << error;
}

}  // namespace
