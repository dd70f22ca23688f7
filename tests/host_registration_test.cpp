// Registration and creation through the SDK macros: the library entry, the two records of a
// device, the creator's success and failure paths, class identity and handles.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host_sample_device.h"

// The library entry, exported under its C++ name.
void EntryPointSampleDevice(kFBDllOperation);
extern "C" bool LIBRARY_INIT(HIError);

namespace {

// Index of a group by name, -1 if absent.
int GroupIndex(const char* name) {
  for (int i = 0; i < FBObject_GetGroupCount(); ++i) {
    if (std::strcmp(FBObject_GetGroupName(i), name) == 0) return i;
  }
  return -1;
}

// Index of an entry of a group, -1 if absent.
int EntryIndex(int group, const char* name) {
  for (int i = 0; i < FBObject_GetEntryCount(group); ++i) {
    if (std::strcmp(FBObject_GetEntryName(group, i), name) == 0) return i;
  }
  return -1;
}

// Records registered under group/entry.
int RecordCount(const char* group, const char* entry) {
  const int g = GroupIndex(group);
  const int e = g < 0 ? -1 : EntryIndex(g, entry);
  if (e < 0) return 0;
  int count = 0;
  while (FBObject_GetEntryDescription(g, e, count)) ++count;
  return count;
}

class HostRegistrationTest : public ::testing::Test {
 protected:
  fbsdk_control::ScopedHostCapture mCapture;
};

TEST_F(HostRegistrationTest, LoadingTheLibraryRegistersBothRecordsOfTheDevice) {
  const int devices = GroupIndex("Boxes/Devices");
  ASSERT_GE(devices, 0);
  const int entry = EntryIndex(devices, SAMPLE_DEVICE_LABEL);
  ASSERT_GE(entry, 0);
  EXPECT_STREQ(FBObject_GetEntryDescription(devices, entry), "Sample device description");
  EXPECT_STREQ(FBObject_GetIconName(devices, entry), "sample_icon.png");
  EXPECT_TRUE(FBObject_GetMultiplicity(devices, entry));
  EXPECT_NE(FBObject_GetEntryDLLName(devices, entry), nullptr);

  const int storables = GroupIndex("FbxStorable/Device");
  ASSERT_GE(storables, 0);
  const int stored = EntryIndex(storables, SAMPLE_DEVICE_UNIQUE_NAME);
  ASSERT_GE(stored, 0);
  EXPECT_STREQ(FBObject_GetEntryDescription(storables, stored), "Sample device description");
  EXPECT_EQ(FBObject_GetEntryDescription(storables, stored, 1), nullptr);
}

TEST_F(HostRegistrationTest, CallingTheEntryAgainRegistersNothingTwice) {
  ASSERT_EQ(RecordCount("Boxes/Devices", SAMPLE_DEVICE_LABEL), 1);
  EntryPointSampleDevice(kFBDllLoad);
  EntryPointSampleDevice(kFBDllUnLoad);
  EXPECT_EQ(RecordCount("Boxes/Devices", SAMPLE_DEVICE_LABEL), 1);
  EXPECT_EQ(RecordCount("FbxStorable/Device", SAMPLE_DEVICE_UNIQUE_NAME), 1);
  EXPECT_TRUE(LIBRARY_INIT(nullptr));
}

TEST_F(HostRegistrationTest, RegisterAndUnregisterKeepRecordsApartByIndex) {
  auto creator = [](HIObject, const char*, void*) -> HIObject { return nullptr; };
  ASSERT_TRUE(FBObject_Register("Test/Group", "Entry", "first", creator, false, "a.png"));
  ASSERT_TRUE(FBObject_Register("Test/Group", "Entry", "second", creator, true, "b.png"));
  EXPECT_FALSE(FBObject_Register(nullptr, "Entry", "x", creator, true, nullptr));
  EXPECT_FALSE(FBObject_Register("Test/Group", "Entry", "x", nullptr, true, nullptr));
  const int group = GroupIndex("Test/Group");
  ASSERT_GE(group, 0);
  EXPECT_EQ(FBObject_GetEntryCount(group), 1);
  EXPECT_STREQ(FBObject_GetEntryDescription(group, 0, 1), "second");
  EXPECT_FALSE(FBObject_GetMultiplicity(group, 0, 0));

  EXPECT_TRUE(FBObject_Unregister("Test/Group", "Entry", 0));
  EXPECT_STREQ(FBObject_GetEntryDescription(group, 0, 0), "second");
  EXPECT_TRUE(FBObject_Unregister("Test/Group", "Entry"));
  EXPECT_EQ(GroupIndex("Test/Group"), -1);
  EXPECT_FALSE(FBObject_Unregister("Test/Group", "Entry"));
  EXPECT_EQ(FBObject_GetGroupName(-1), nullptr);
  EXPECT_EQ(FBObject_GetEntryName(0, 100000), nullptr);
}

TEST_F(HostRegistrationTest, CreatorBuildsTheDeviceWithItsNamesAndStatus) {
  FBComponent* component = FBCreateObject("Boxes/Devices", SAMPLE_DEVICE_LABEL, "My device");
  SampleDevice* device = FBCast<SampleDevice>(component);
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(device->mAllocated);
  EXPECT_STREQ(device->UniqueName, SAMPLE_DEVICE_UNIQUE_NAME);
  EXPECT_TRUE(device->Name == "My device");
  EXPECT_TRUE(device->mWasCreatingInFBCreate);
  EXPECT_FALSE(device->GetObjectStatus(kFBStatusCreating));
  EXPECT_EQ(static_cast<int>(device->SamplingMode), kFBHardwareTimestamp);
  const FBTime period = device->SamplingPeriod;
  FBTime second = FBTime::OneSecond;
  EXPECT_EQ(period.Get(), (second / 96.0).Get());
  // The FbxStorable record creates the same class.
  FBDevice* stored =
      FBCast<FBDevice>(FBCreateObject("FbxStorable/Device", SAMPLE_DEVICE_UNIQUE_NAME, "Stored"));
  ASSERT_NE(stored, nullptr);
  EXPECT_STREQ(stored->ClassName(), "SampleDevice");
  fbsdk_control::DestroyDevice(stored);
  fbsdk_control::DestroyDevice(device);
}

TEST_F(HostRegistrationTest, FailedCreationReturnsNullAndFreesEverythingItMade) {
  const int before = fbsdk_control::LiveComponentCount();
  FailingDevice::sLastCreated = nullptr;
  EXPECT_EQ(fbsdk_control::CreateDevice(FAILING_DEVICE_LABEL, "Failing"), nullptr);
  const void* created = FailingDevice::sLastCreated.load();
  ASSERT_NE(created, nullptr);
  EXPECT_FALSE(fbsdk_control::IsLiveComponent(created));
  // The device, its template and its node are gone.
  EXPECT_EQ(fbsdk_control::LiveComponentCount(), before);
  EXPECT_EQ(FBCreateObject("Boxes/Devices", "No such device", "x"), nullptr);
}

TEST_F(HostRegistrationTest, TypeIdsComeFromTheCounterInDefinitionOrder) {
  // The stand-in's classes take their ids first, the library's follow in source order.
  EXPECT_LT(FBComponent::TypeInfo, FBDevice::TypeInfo);
  EXPECT_LT(FBDevice::TypeInfo, SampleDevice::TypeInfo);
  EXPECT_LT(FBModelSkeleton::TypeInfo, SampleDevice::TypeInfo);
  EXPECT_EQ(FailingDevice::TypeInfo, SampleDevice::TypeInfo + 1);
}

TEST_F(HostRegistrationTest, IdentityFollowsTheClassChain) {
  SampleDevice* device =
      FBCast<SampleDevice>(fbsdk_control::CreateDevice(SAMPLE_DEVICE_LABEL, "Identity"));
  ASSERT_NE(device, nullptr);
  EXPECT_STREQ(device->ClassName(), "SampleDevice");
  EXPECT_EQ(device->GetTypeId(), SampleDevice::TypeInfo);
  EXPECT_TRUE(device->Is(SampleDevice::TypeInfo));
  EXPECT_TRUE(device->Is(FBDevice::TypeInfo));
  EXPECT_TRUE(device->Is(FBBox::TypeInfo));
  EXPECT_TRUE(device->Is(FBComponent::TypeInfo));
  EXPECT_FALSE(device->Is(FailingDevice::TypeInfo));
  EXPECT_FALSE(device->Is(FBModel::TypeInfo));
  EXPECT_TRUE(FBIS(device, FBDevice));
  EXPECT_EQ(FBCast<FBModel>(device), nullptr);

  // A handle maps back to the same object.
  HIObject handle = device->GetHIObject();
  EXPECT_EQ(FBCast<SampleDevice>(FBGetFBObject(handle)), device);
  EXPECT_EQ(FBGetFBComponent(handle), static_cast<FBComponent*>(device));
  EXPECT_EQ(FBGetFBObject(nullptr), nullptr);

  FBModelTemplate* root = device->ModelTemplate.Children[0];
  ASSERT_NE(root, nullptr);
  EXPECT_STREQ(root->ClassName(), "FBModelTemplate");
  EXPECT_EQ(FBCast<FBModelTemplate>(static_cast<FBComponent*>(root)), root);
  fbsdk_control::DestroyDevice(device);
}

TEST_F(HostRegistrationTest, PropertiesAreListedByName) {
  FBDevice* device = fbsdk_control::CreateDevice(SAMPLE_DEVICE_LABEL, "Listed");
  ASSERT_NE(device, nullptr);
  FBProperty* online = device->PropertyList.Find("Online");
  ASSERT_NE(online, nullptr);
  EXPECT_EQ(online, static_cast<FBProperty*>(&device->Online));
  EXPECT_EQ(online->GetPropertyType(), kFBPT_bool);
  EXPECT_STREQ(online->GetPropertyTypeName(), "bool");
  EXPECT_TRUE(device->PropertyList.Find("Name") != nullptr);
  EXPECT_EQ(device->PropertyList.Find("NoSuchProperty"), nullptr);
  EXPECT_TRUE(device->LongName.IsReadOnly());
  EXPECT_FALSE(device->Name.IsReadOnly());
  EXPECT_TRUE(device->ModelTemplate.Children.IsList());
  EXPECT_TRUE(device->ModelTemplate.Children.IsObjectList());
  fbsdk_control::DestroyDevice(device);
}

}  // namespace
