// Controls and events of the host stand-in: handler order and removal, the user's clicks, typing
// and choices, list selection and the string list behind it.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/ui_control.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records every handler call with what the control showed at that moment.
class Recorder : public FBComponent {
 public:
  Recorder() : FBComponent(NULL) {}

  void First(HISender pSender, HKEvent) { Note("first", pSender); }
  void Second(HISender pSender, HKEvent) { Note("second", pSender); }
  void Third(HISender pSender, HKEvent) { Note("third", pSender); }
  void RemovesThird(HISender pSender, HKEvent) {
    Note("removes-third", pSender);
    if (mEvent) mEvent->Remove(this, (FBCallback)&Recorder::Third);
  }
  void AddsThird(HISender pSender, HKEvent) {
    Note("adds-third", pSender);
    if (mEvent) mEvent->Add(this, (FBCallback)&Recorder::Third);
  }
  void CheckState(HISender, HKEvent) { mStates.push_back(mButton->State); }
  void ReadText(HISender, HKEvent) { mTexts.push_back(static_cast<const char*>(mEdit->Text)); }
  void ReadIndex(HISender, HKEvent) { mIndexes.push_back(mList->ItemIndex); }
  void ReadShow(HISender pSender, HKEvent pEvent) {
    FBEventShow event(pEvent);
    mShown.push_back(event.Shown);
    Note("show", pSender);
  }
  void DeletesEvent(HISender, HKEvent) {
    mCalls.push_back("deletes");
    delete mOwnedEdit;
    mOwnedEdit = nullptr;
  }

  void Note(const char* pWhat, HISender pSender) {
    mCalls.push_back(pWhat);
    mSenders.push_back(pSender);
  }

  std::vector<std::string> mCalls;
  std::vector<HISender> mSenders;
  std::vector<int> mStates;
  std::vector<std::string> mTexts;
  std::vector<int> mIndexes;
  std::vector<bool> mShown;
  FBPropertyEvent* mEvent = nullptr;
  FBButton* mButton = nullptr;
  FBEdit* mEdit = nullptr;
  FBList* mList = nullptr;
  FBEdit* mOwnedEdit = nullptr;
};

class HostControlsTest : public testing::Test {
 protected:
  fbsdk_control::ScopedHostCapture mHost;
  Recorder mRecorder;
};

TEST_F(HostControlsTest, HandlersRunInAttachOrderWithTheControlAsSender) {
  FBButton button;
  button.OnClick.Add(&mRecorder, (FBCallback)&Recorder::Second);
  button.OnClick.Add(&mRecorder, (FBCallback)&Recorder::First);
  button.OnClick.Add(&mRecorder, (FBCallback)&Recorder::Second);  // Already attached.
  EXPECT_EQ(fbsdk_control::HandlerCount(button.OnClick), 2);
  ASSERT_TRUE(fbsdk_control::Click(button));
  EXPECT_EQ(mRecorder.mCalls, (std::vector<std::string>{"second", "first"}));
  ASSERT_EQ(mRecorder.mSenders.size(), 2u);
  EXPECT_EQ(reinterpret_cast<HIObject>(mRecorder.mSenders[0]), button.GetHIObject());

  button.OnClick.Remove(&mRecorder, (FBCallback)&Recorder::Second);
  mRecorder.mCalls.clear();
  fbsdk_control::Click(button);
  EXPECT_EQ(mRecorder.mCalls, (std::vector<std::string>{"first"}));
  button.OnClick.Remove(&mRecorder, (FBCallback)&Recorder::Third);  // Not attached: no effect.
  EXPECT_EQ(fbsdk_control::HandlerCount(button.OnClick), 1);
}

TEST_F(HostControlsTest, HandlersChangedDuringAFiringTakeEffectSafely) {
  FBButton button;
  mRecorder.mEvent = &button.OnClick;
  button.OnClick.Add(&mRecorder, (FBCallback)&Recorder::RemovesThird);
  button.OnClick.Add(&mRecorder, (FBCallback)&Recorder::Third);
  fbsdk_control::Click(button);
  EXPECT_EQ(mRecorder.mCalls, (std::vector<std::string>{"removes-third"}))
      << "a handler removed during the firing is not called";

  button.OnClick.Remove(&mRecorder, (FBCallback)&Recorder::RemovesThird);
  button.OnClick.Add(&mRecorder, (FBCallback)&Recorder::AddsThird);
  mRecorder.mCalls.clear();
  fbsdk_control::Click(button);
  EXPECT_EQ(mRecorder.mCalls, (std::vector<std::string>{"adds-third"}))
      << "a handler added during the firing waits for the next one";
  mRecorder.mCalls.clear();
  fbsdk_control::Click(button);
  EXPECT_EQ(mRecorder.mCalls, (std::vector<std::string>{"adds-third", "third"}));
}

TEST_F(HostControlsTest, AHandlerMayDestroyTheControlFiringIt) {
  mRecorder.mOwnedEdit = new FBEdit;
  mRecorder.mOwnedEdit->OnChange.Add(&mRecorder, (FBCallback)&Recorder::DeletesEvent);
  mRecorder.mOwnedEdit->OnChange.Add(&mRecorder, (FBCallback)&Recorder::First);
  mRecorder.mOwnedEdit->Text = "changed";
  EXPECT_EQ(mRecorder.mOwnedEdit, nullptr);
  EXPECT_EQ(mRecorder.mCalls, (std::vector<std::string>{"deletes"}));
}

TEST_F(HostControlsTest, CheckBoxClickTogglesStateBeforeOnClick) {
  FBButton check;
  check.Style = kFBCheckbox;
  mRecorder.mButton = &check;
  check.OnClick.Add(&mRecorder, (FBCallback)&Recorder::CheckState);
  EXPECT_EQ(static_cast<int>(check.State), 0);
  ASSERT_TRUE(fbsdk_control::Click(check));
  ASSERT_TRUE(fbsdk_control::Click(check));
  EXPECT_EQ(mRecorder.mStates, (std::vector<int>{1, 0}));

  check.State = 1;  // From code: no event.
  EXPECT_EQ(mRecorder.mStates.size(), 2u);

  FBButton push;
  fbsdk_control::Click(push);
  EXPECT_EQ(static_cast<int>(push.State), 0) << "a push button keeps its state";
  FBButton radio;
  radio.Style = kFBRadioButton;
  fbsdk_control::Click(radio);
  fbsdk_control::Click(radio);
  EXPECT_EQ(static_cast<int>(radio.State), 1);
}

TEST_F(HostControlsTest, HiddenOrDisabledControlsIgnoreTheUser) {
  FBButton button;
  button.OnClick.Add(&mRecorder, (FBCallback)&Recorder::First);
  button.Enabled = false;
  EXPECT_FALSE(fbsdk_control::Click(button));
  button.Enabled = true;
  button.Visible = false;
  EXPECT_FALSE(fbsdk_control::Click(button));
  EXPECT_TRUE(mRecorder.mCalls.empty());

  FBEdit edit;
  edit.OnChange.Add(&mRecorder, (FBCallback)&Recorder::First);
  edit.ReadOnly = true;
  EXPECT_FALSE(fbsdk_control::TypeText(edit, "x"));
  EXPECT_STREQ(edit.Text, "");
  EXPECT_TRUE(mRecorder.mCalls.empty());
}

TEST_F(HostControlsTest, TypingFiresOnChangeWithTheNewText) {
  FBEdit edit;
  mRecorder.mEdit = &edit;
  edit.OnChange.Add(&mRecorder, (FBCallback)&Recorder::ReadText);
  edit.OnTransaction.Add(&mRecorder, (FBCallback)&Recorder::First);
  ASSERT_TRUE(fbsdk_control::TypeText(edit, "10.0.0.7"));
  ASSERT_TRUE(fbsdk_control::TypeText(edit, "10.0.0.7"));  // The user typed it again.
  EXPECT_EQ(mRecorder.mTexts, (std::vector<std::string>{"10.0.0.7", "10.0.0.7"}));
  EXPECT_EQ(mRecorder.mCalls.size(), 2u) << "OnTransaction after each typing";
  EXPECT_STREQ(edit.Text, "10.0.0.7");
}

TEST_F(HostControlsTest, CodeAssignmentFiresOnChangeOnlyWhenTheTextChanges) {
  FBEdit edit;
  mRecorder.mEdit = &edit;
  edit.OnChange.Add(&mRecorder, (FBCallback)&Recorder::ReadText);
  edit.Text = "127.0.0.1";
  edit.Text = "127.0.0.1";
  EXPECT_EQ(mRecorder.mTexts, (std::vector<std::string>{"127.0.0.1"}));

  fbsdk_control::SetEditCodeChangeFiresEvent(false);
  edit.Text = "localhost";
  EXPECT_EQ(mRecorder.mTexts.size(), 1u);
  EXPECT_STREQ(edit.Text, "localhost");
  edit.Text = nullptr;
  EXPECT_STREQ(edit.Text, "");
}

TEST_F(HostControlsTest, ListSelectionFromCodeAndFromTheUser) {
  FBList list;
  list.Style = kFBVerticalList;
  mRecorder.mList = &list;
  list.OnChange.Add(&mRecorder, (FBCallback)&Recorder::ReadIndex);
  list.Items.Add("Actor 7", static_cast<kReference>(7));
  list.Items.Add("Actor 3", static_cast<kReference>(3));
  list.Items.Add("Actor 9", static_cast<kReference>(9));
  EXPECT_EQ(list.Items.GetCount(), 3);
  EXPECT_EQ(list.Items.GetReferenceAt(1), static_cast<kReference>(3));
  EXPECT_EQ(static_cast<int>(list.ItemIndex), -1) << "nothing selected until chosen";

  list.Selected(2, true);
  EXPECT_EQ(static_cast<int>(list.ItemIndex), 2);
  list.ItemIndex = 0;
  EXPECT_TRUE(list.IsSelected(0));
  EXPECT_FALSE(list.IsSelected(2)) << "single selection";
  EXPECT_TRUE(mRecorder.mIndexes.empty()) << "code does not fire OnChange";

  ASSERT_TRUE(fbsdk_control::ChooseItem(list, 1));
  ASSERT_TRUE(fbsdk_control::ChooseItem(list, 1));  // No change: no event.
  EXPECT_EQ(mRecorder.mIndexes, (std::vector<int>{1}));
  EXPECT_FALSE(fbsdk_control::ChooseItem(list, 3));
  EXPECT_FALSE(fbsdk_control::ChooseItem(list, -1));

  list.ItemIndex = 5;
  EXPECT_EQ(static_cast<int>(list.ItemIndex), -1) << "out of range clears the selection";
  list.Selected(1, true);
  list.Items.Clear();
  EXPECT_EQ(static_cast<int>(list.ItemIndex), -1);
  EXPECT_FALSE(list.IsSelected(1));
}

TEST_F(HostControlsTest, DropDownListShowsItsFirstItemUntilOneIsChosen) {
  FBList list;
  EXPECT_EQ(static_cast<int>(list.ItemIndex), -1) << "empty";
  list.Items.Add("a", 4);
  list.Items.Add("b", 8);
  EXPECT_EQ(static_cast<int>(list.ItemIndex), 0);
  EXPECT_FALSE(list.IsSelected(0));
  list.Selected(1, true);
  EXPECT_EQ(static_cast<int>(list.ItemIndex), 1);
  list.Items.Clear();
  EXPECT_EQ(static_cast<int>(list.ItemIndex), -1);
}

TEST_F(HostControlsTest, SelectionFollowsItsItemWhenItemsMove) {
  FBList list;
  list.Style = kFBVerticalList;
  list.Items.Add("a");
  list.Items.Add("b");
  list.Selected(1, true);
  list.Items.InsertAt(0, "first");
  EXPECT_EQ(static_cast<int>(list.ItemIndex), 2);
  list.Items.RemoveAt(2);
  EXPECT_EQ(static_cast<int>(list.ItemIndex), -1);

  list.MultiSelect = true;
  list.Selected(0, true);
  list.Selected(1, true);
  EXPECT_TRUE(list.IsSelected(0));
  EXPECT_TRUE(list.IsSelected(1));
  list.Selected(0, false);
  EXPECT_EQ(static_cast<int>(list.ItemIndex), 1);
}

TEST_F(HostControlsTest, StringListOperations) {
  FBPropertyStringList items;
  EXPECT_TRUE(items.IsList());
  EXPECT_EQ(items.GetPropertyType(), kFBPT_stringlist);
  EXPECT_EQ(items.Add("pear", 30), 0);
  EXPECT_EQ(items.Add("apple", 10), 1);
  EXPECT_EQ(items.Add("fig"), 2);
  items.InsertAt(1, "kiwi", 20);
  items.InsertAt(99, "lime", 50);  // Past the end: appended.
  ASSERT_EQ(items.GetCount(), 5);
  EXPECT_STREQ(items[1], "kiwi");
  EXPECT_STREQ(items.GetAt(4), "lime");
  EXPECT_EQ(items.GetAt(5), nullptr);
  EXPECT_EQ(items.GetReferenceAt(-1), 0u);
  EXPECT_EQ(items.Find(static_cast<kReference>(10)), 2);
  EXPECT_EQ(items.Find("fig"), 3);
  EXPECT_EQ(items.IndexOf("nothing"), -1);
  EXPECT_EQ(items.Find(static_cast<kReference>(77)), -1);

  items.SetReferenceAt(3, 40);
  EXPECT_EQ(items.GetReferenceAt(3), 40u);
  EXPECT_TRUE(items.SetAt(0, "plum"));
  EXPECT_FALSE(items.SetAt(9, "x"));
  EXPECT_EQ(items.Remove("kiwi"), 1);
  EXPECT_EQ(items.Remove("kiwi"), -1);
  items.RemoveAt(42);
  ASSERT_EQ(items.GetCount(), 4);

  items.Sort();
  EXPECT_STREQ(items[0], "apple");
  EXPECT_STREQ(items[3], "plum");
  EXPECT_EQ(items.GetReferenceAt(0), 10u) << "references travel with their text";
  EXPECT_EQ(items.GetReferenceAt(3), 30u);
  items.Clear();
  EXPECT_EQ(items.GetCount(), 0);
}

TEST_F(HostControlsTest, ShowAndIdleReachNestedLayoutsOutermostFirst) {
  FBLayout outer, inner;
  outer.AddRegion("r", "r", 0, kFBAttachLeft, "", 1.0f, 0, kFBAttachTop, "", 1.0f, 10,
                  kFBAttachNone, "", 1.0f, 10, kFBAttachNone, "", 1.0f);
  ASSERT_TRUE(outer.SetControl("r", inner));
  outer.OnShow.Add(&mRecorder, (FBCallback)&Recorder::ReadShow);
  inner.OnShow.Add(&mRecorder, (FBCallback)&Recorder::ReadShow);
  fbsdk_control::FireShow(outer);
  fbsdk_control::FireShow(outer, false);
  EXPECT_EQ(mRecorder.mShown, (std::vector<bool>{true, true, false, false}));
  ASSERT_EQ(mRecorder.mSenders.size(), 4u);
  EXPECT_EQ(reinterpret_cast<HIObject>(mRecorder.mSenders[0]), outer.GetHIObject());
  EXPECT_EQ(reinterpret_cast<HIObject>(mRecorder.mSenders[1]), inner.GetHIObject());

  mRecorder.mCalls.clear();
  inner.OnIdle.Add(&mRecorder, (FBCallback)&Recorder::Second);
  outer.OnIdle.Add(&mRecorder, (FBCallback)&Recorder::First);
  fbsdk_control::FireIdle(outer);
  EXPECT_EQ(mRecorder.mCalls, (std::vector<std::string>{"first", "second"}));
}

TEST_F(HostControlsTest, ApplicationIdleIsOneListWhicheverSystemObjectIsUsed) {
  FBSystem first;
  first.OnUIIdle.Add(&mRecorder, (FBCallback)&Recorder::First);
  FBSystem::TheOne().OnUIIdle.Add(&mRecorder, (FBCallback)&Recorder::Second);
  FBSystem().OnUIIdle.Add(&mRecorder, (FBCallback)&Recorder::First);  // attached already
  EXPECT_EQ(fbsdk_control::UIIdleHandlerCount(), 2);
  fbsdk_control::FireUIIdle();
  EXPECT_EQ(mRecorder.mCalls, (std::vector<std::string>{"first", "second"}));
  ASSERT_EQ(mRecorder.mSenders.size(), 2u);
  EXPECT_EQ(reinterpret_cast<HIObject>(mRecorder.mSenders[0]), FBSystem::TheOne().GetHIObject());
  EXPECT_EQ(first.PropertyList.Find("OnUIIdle"), &first.OnUIIdle);
  // Removed through another object than the one it was added through.
  FBSystem().OnUIIdle.Remove(&mRecorder, (FBCallback)&Recorder::First);
  FBSystem::TheOne().OnUIIdle.Remove(&mRecorder, (FBCallback)&Recorder::Second);
  EXPECT_EQ(fbsdk_control::UIIdleHandlerCount(), 0);
  mRecorder.mCalls.clear();
  fbsdk_control::FireUIIdle();
  EXPECT_TRUE(mRecorder.mCalls.empty());
}

TEST_F(HostControlsTest, VisualPropertiesAreListedByName) {
  FBButton button;
  EXPECT_TRUE(button.Visible);
  EXPECT_TRUE(button.Enabled);
  EXPECT_EQ(static_cast<FBButtonStyle>(button.Style), kFBPushButton);
  FBProperty* caption = button.PropertyList.Find("Caption");
  ASSERT_NE(caption, nullptr);
  button.Caption = "Go";
  EXPECT_STREQ(static_cast<FBPropertyString*>(caption)->operator const char*(), "Go");
  FBProperty* click = button.PropertyList.Find("OnClick");
  ASSERT_NE(click, nullptr);
  EXPECT_EQ(click->GetPropertyType(), kFBPT_event);
  EXPECT_TRUE(button.Left.IsReadOnly());
  EXPECT_EQ(static_cast<int>(button.Width), 0) << "not shown anywhere";
}

}  // namespace
