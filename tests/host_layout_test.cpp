// Layouts of the host stand-in: regions worked out from their attachments, controls and borders
// recorded per region, and the SVG picture of a layout.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/ui_control.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using fbsdk_control::RegionInfo;

struct Rect {
  int x, y, w, h;
  bool operator==(const Rect& o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};

std::ostream& operator<<(std::ostream& out, const Rect& r) {
  return out << "(" << r.x << ", " << r.y << ", " << r.w << ", " << r.h << ")";
}

Rect Computed(FBLayout& layout, const char* name) {
  Rect r{-1, -1, -1, -1};
  EXPECT_TRUE(layout.GetRegionPositions(name, true, &r.x, &r.y, &r.w, &r.h)) << name;
  return r;
}

// A region with a fixed size placed by its X and Y attachments.
void AddFixed(FBLayout& layout, const char* name, int x, FBAttachType xType, const char* xRel,
              int y, FBAttachType yType, const char* yRel, int w, int h) {
  ASSERT_TRUE(layout.AddRegion(name, name, x, xType, xRel, 1.0f, y, yType, yRel, 1.0f, w,
                               kFBAttachNone, "", 1.0f, h, kFBAttachNone, "", 1.0f));
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

class HostLayoutTest : public testing::Test {
 protected:
  void SetUp() override { fbsdk_control::SetLayoutSize(mLayout, 800, 600); }
  fbsdk_control::ScopedHostCapture mHost;
  FBLayout mLayout;
};

TEST_F(HostLayoutTest, EdgesOfTheLayoutWithNegativeInsets) {
  ASSERT_TRUE(mLayout.AddRegion("main", "Main", 5, kFBAttachLeft, "", 1.0f, 5, kFBAttachTop, "",
                                1.0f, -5, kFBAttachRight, "", 1.0f, -5, kFBAttachBottom, "", 1.0f));
  EXPECT_EQ(Computed(mLayout, "main"), (Rect{5, 5, 790, 590}));

  fbsdk_control::SetLayoutSize(mLayout, 400, 300);
  EXPECT_EQ(Computed(mLayout, "main"), (Rect{5, 5, 390, 290})) << "follows the layout's size";
}

TEST_F(HostLayoutTest, NoneGivesAbsoluteSizesAndOtherRegionsGivePositions) {
  AddFixed(mLayout, "a", 10, kFBAttachLeft, "", 20, kFBAttachTop, "", 100, 30);
  AddFixed(mLayout, "right", 10, kFBAttachRight, "a", 0, kFBAttachTop, "a", 50, 30);
  AddFixed(mLayout, "below", 0, kFBAttachLeft, "a", 5, kFBAttachBottom, "a", 100, 25);
  EXPECT_EQ(Computed(mLayout, "a"), (Rect{10, 20, 100, 30}));
  EXPECT_EQ(Computed(mLayout, "right"), (Rect{120, 20, 50, 30}));
  EXPECT_EQ(Computed(mLayout, "below"), (Rect{10, 55, 100, 25}));
}

TEST_F(HostLayoutTest, SizesAttachedToEdgesOrSizesOfOtherRegions) {
  AddFixed(mLayout, "a", 10, kFBAttachLeft, "", 20, kFBAttachTop, "", 100, 30);
  // Stretches from 'a' to 10 short of the layout's right edge, and as tall as 'a' plus 4.
  ASSERT_TRUE(mLayout.AddRegion("b", "b", 5, kFBAttachRight, "a", 1.0f, 0, kFBAttachTop, "a", 1.0f,
                                -10, kFBAttachRight, "", 1.0f, 4, kFBAttachHeight, "a", 1.0f));
  EXPECT_EQ(Computed(mLayout, "b"), (Rect{115, 20, 675, 34}));
}

TEST_F(HostLayoutTest, MultipliersScaleAboutTheLayoutOrigin) {
  ASSERT_TRUE(mLayout.AddRegion("left", "", 0, kFBAttachLeft, "", 1.0f, 0, kFBAttachTop, "", 1.0f,
                                0, kFBAttachWidth, "", 0.5f, 0, kFBAttachHeight, "", 1.0f));
  ASSERT_TRUE(mLayout.AddRegion("right", "", 0, kFBAttachRight, "", 0.5f, 0, kFBAttachTop, "", 1.0f,
                                0, kFBAttachRight, "", 1.0f, 0, kFBAttachBottom, "", 0.25f));
  EXPECT_EQ(Computed(mLayout, "left"), (Rect{0, 0, 400, 600}));
  EXPECT_EQ(Computed(mLayout, "right"), (Rect{400, 0, 400, 150}));
}

TEST_F(HostLayoutTest, RegionsMayNameRegionsAddedLater) {
  AddFixed(mLayout, "second", 0, kFBAttachLeft, "first", 3, kFBAttachBottom, "first", 10, 10);
  AddFixed(mLayout, "first", 7, kFBAttachLeft, "", 9, kFBAttachTop, "", 10, 10);
  EXPECT_EQ(Computed(mLayout, "second"), (Rect{7, 22, 10, 10}));
}

TEST_F(HostLayoutTest, UnknownNamesAndCyclesFallBackInsteadOfFailing) {
  AddFixed(mLayout, "stray", 4, kFBAttachLeft, "nowhere", 6, kFBAttachTop, "nowhere", 10, 10);
  EXPECT_EQ(Computed(mLayout, "stray"), (Rect{4, 6, 10, 10})) << "unknown = the layout itself";

  AddFixed(mLayout, "p", 5, kFBAttachRight, "q", 0, kFBAttachTop, "", 10, 10);
  AddFixed(mLayout, "q", 5, kFBAttachRight, "p", 0, kFBAttachTop, "", 10, 10);
  int x = -1;
  EXPECT_TRUE(mLayout.GetRegionPositions("p", true, &x, nullptr));
  EXPECT_GE(x, 0);
}

TEST_F(HostLayoutTest, NestedLayoutResolvesNamesThroughItsHolders) {
  // The device page's shape: a framed region of the page holds a layout whose regions attach to
  // that region by name, and a layout inside that attaches to names two levels up.
  ASSERT_TRUE(mLayout.AddRegion("mSetup", "mSetup", 5, kFBAttachLeft, "", 1.0f, 5, kFBAttachTop, "",
                                1.0f, -5, kFBAttachRight, "", 1.0f, -5, kFBAttachBottom, "", 1.0f));
  FBLayout setup;
  FBLayout communication;
  ASSERT_TRUE(mLayout.SetControl("mSetup", setup));
  AddFixed(setup, "Button", 5, kFBAttachLeft, "mSetup", 5, kFBAttachTop, "mSetup", 210, 20);
  AddFixed(setup, "Below", 5, kFBAttachLeft, "mSetup", 5, kFBAttachBottom, "Button", 210, 20);
  AddFixed(setup, "Communication", 230, kFBAttachLeft, "", 5, kFBAttachTop, "", 210, 115);
  ASSERT_TRUE(setup.SetControl("Communication", &communication));
  AddFixed(communication, "Label", 10, kFBAttachLeft, "Communication", 10, kFBAttachBottom,
           "Button", 90, 25);

  EXPECT_EQ(Computed(setup, "Button"), (Rect{5, 5, 210, 20}));
  EXPECT_EQ(Computed(setup, "Below"), (Rect{5, 30, 210, 20}));
  EXPECT_EQ(Computed(setup, "Communication"), (Rect{230, 5, 210, 115}));
  // 'communication' sits at (235, 10) on the page; 'Button' ends at page y 30.
  EXPECT_EQ(Computed(communication, "Label"), (Rect{10, 30, 90, 25}));

  const std::vector<RegionInfo> regions = fbsdk_control::Regions(communication);
  ASSERT_EQ(regions.size(), 1u);
  EXPECT_EQ(regions[0].mRootX, 245);
  EXPECT_EQ(regions[0].mRootY, 40);
  EXPECT_EQ(communication.Left, 230);
  EXPECT_EQ(communication.Width, 210);
}

TEST_F(HostLayoutTest, RegionsRecordEveryArgument) {
  ASSERT_TRUE(mLayout.AddRegion("r", "Title", 1, kFBAttachLeft, "", 1.5f, 2, kFBAttachTop, "x",
                                2.0f, 3, kFBAttachWidth, "y", 0.5f, 4, kFBAttachNone, "", 1.0f));
  EXPECT_FALSE(mLayout.AddRegion("r", "again", 0, kFBAttachNone, "", 1.0f, 0, kFBAttachNone, "",
                                 1.0f, 0, kFBAttachNone, "", 1.0f, 0, kFBAttachNone, "", 1.0f));
  EXPECT_FALSE(mLayout.AddRegion("", "", 0, kFBAttachNone, "", 1.0f, 0, kFBAttachNone, "", 1.0f, 0,
                                 kFBAttachNone, "", 1.0f, 0, kFBAttachNone, "", 1.0f));
  const std::vector<RegionInfo> regions = fbsdk_control::Regions(mLayout);
  ASSERT_EQ(regions.size(), 1u);
  const RegionInfo& r = regions[0];
  EXPECT_EQ(r.mTitle, "Title");
  EXPECT_EQ(r.mX, 1);
  EXPECT_EQ(r.mY, 2);
  EXPECT_EQ(r.mW, 3);
  EXPECT_EQ(r.mH, 4);
  EXPECT_EQ(r.mXType, kFBAttachLeft);
  EXPECT_EQ(r.mWType, kFBAttachWidth);
  EXPECT_EQ(r.mHType, kFBAttachNone);
  EXPECT_EQ(r.mYRelative, "x");
  EXPECT_EQ(r.mWRelative, "y");
  EXPECT_FLOAT_EQ(r.mMultX, 1.5f);
  EXPECT_FLOAT_EQ(r.mMultW, 0.5f);
  EXPECT_EQ(r.mControl, nullptr);
  EXPECT_FALSE(r.mHasBorder);

  int x = 0, y = 0, w = 0, h = 0;
  ASSERT_TRUE(mLayout.GetRegionPositions("r", false, &x, &y, &w, &h));
  EXPECT_EQ((Rect{x, y, w, h}), (Rect{1, 2, 3, 4}));
  EXPECT_FALSE(mLayout.GetRegionPositions("missing", true, &x, &y));
}

TEST_F(HostLayoutTest, MoveSizeRenameAndRemoveRegions) {
  AddFixed(mLayout, "a", 10, kFBAttachLeft, "", 10, kFBAttachTop, "", 50, 50);
  FBButton button;
  ASSERT_TRUE(mLayout.SetControl("a", button));
  ASSERT_TRUE(mLayout.MoveRegion("a", 20, 30));
  ASSERT_TRUE(mLayout.SizeRegion("a", 70, 80));
  EXPECT_EQ(Computed(mLayout, "a"), (Rect{20, 30, 70, 80}));

  AddFixed(mLayout, "b", 0, kFBAttachLeft, "", 0, kFBAttachTop, "", 1, 1);
  EXPECT_FALSE(mLayout.RenameRegion("a", "b")) << "name taken";
  ASSERT_TRUE(mLayout.RenameRegion("a", "c"));
  EXPECT_FALSE(mLayout.GetRegion("a"));
  EXPECT_EQ(mLayout.GetControl("c"), &button);

  ASSERT_TRUE(mLayout.RemoveRegion("c"));
  EXPECT_FALSE(mLayout.GetRegion("c"));
  EXPECT_EQ(fbsdk_control::HolderOf(button), nullptr);
  EXPECT_TRUE(mLayout.SetControl("b", button)) << "a released control can be shown again";
}

TEST_F(HostLayoutTest, ControlsAreSetByReferenceOrPointerAndMoveBetweenRegions) {
  AddFixed(mLayout, "one", 0, kFBAttachLeft, "", 0, kFBAttachTop, "", 10, 10);
  AddFixed(mLayout, "two", 0, kFBAttachLeft, "", 20, kFBAttachTop, "", 10, 10);
  FBLabel label;
  FBEdit edit;
  EXPECT_FALSE(mLayout.SetControl("none", label));
  EXPECT_FALSE(mLayout.SetControl("one", nullptr));
  ASSERT_TRUE(mLayout.SetControl("one", label));
  ASSERT_TRUE(mLayout.SetControl("two", &edit));
  EXPECT_EQ(fbsdk_control::ControlIn(mLayout, "one"), &label);
  EXPECT_EQ(mLayout.GetControl("two"), &edit);
  EXPECT_EQ(edit.Top, 20);

  // Shown in one place at a time: moving the label empties its old region.
  ASSERT_TRUE(mLayout.SetControl("two", label));
  EXPECT_EQ(mLayout.GetControl("one"), nullptr);
  EXPECT_EQ(mLayout.GetControl("two"), &label);
  EXPECT_EQ(fbsdk_control::HolderOf(edit), nullptr);

  mLayout.ClearControl("two");
  EXPECT_EQ(mLayout.GetControl("two"), nullptr);
  EXPECT_EQ(fbsdk_control::HolderOf(label), nullptr);
}

TEST_F(HostLayoutTest, DestroyedControlsAndLayoutsLeaveNoDanglingRegions) {
  AddFixed(mLayout, "slot", 0, kFBAttachLeft, "", 0, kFBAttachTop, "", 10, 10);
  {
    FBButton shortLived;
    ASSERT_TRUE(mLayout.SetControl("slot", shortLived));
  }
  EXPECT_EQ(mLayout.GetControl("slot"), nullptr);

  FBButton survivor;
  {
    FBLayout inner;
    AddFixed(inner, "x", 0, kFBAttachLeft, "", 0, kFBAttachTop, "", 10, 10);
    ASSERT_TRUE(inner.SetControl("x", survivor));
    ASSERT_TRUE(mLayout.SetControl("slot", inner));
  }
  EXPECT_EQ(mLayout.GetControl("slot"), nullptr);
  EXPECT_EQ(fbsdk_control::HolderOf(survivor), nullptr);
  EXPECT_TRUE(mLayout.SetControl("slot", survivor));
}

TEST_F(HostLayoutTest, ALayoutCannotBeShownInsideItself) {
  AddFixed(mLayout, "slot", 0, kFBAttachLeft, "", 0, kFBAttachTop, "", 10, 10);
  FBLayout inner;
  AddFixed(inner, "deeper", 0, kFBAttachLeft, "", 0, kFBAttachTop, "", 10, 10);
  ASSERT_TRUE(mLayout.SetControl("slot", inner));
  EXPECT_FALSE(inner.SetControl("deeper", mLayout));
  EXPECT_FALSE(mLayout.SetControl("slot", mLayout));
}

TEST_F(HostLayoutTest, BordersAreRecordedAndRemoved) {
  AddFixed(mLayout, "framed", 0, kFBAttachLeft, "", 0, kFBAttachTop, "", 10, 10);
  EXPECT_FALSE(mLayout.SetBorder("none", kFBStandardBorder, false, true, 1, 0, 90.0f, 0));
  ASSERT_TRUE(mLayout.SetBorder("framed", kFBEmbossBorder, true, false, 2, 1, 45.0f, 3));
  RegionInfo r = fbsdk_control::Regions(mLayout)[0];
  EXPECT_TRUE(r.mHasBorder);
  EXPECT_EQ(r.mBorderStyle, kFBEmbossBorder);
  EXPECT_TRUE(r.mBorderShowTitle);
  EXPECT_FALSE(r.mBorderInSet);
  EXPECT_EQ(r.mBorderWidth, 2);
  EXPECT_EQ(r.mBorderSpacing, 1);
  EXPECT_FLOAT_EQ(r.mBorderMaxAngle, 45.0f);
  EXPECT_EQ(r.mBorderCornerRadius, 3);

  ASSERT_TRUE(mLayout.SetBorder("framed", kFBNoBorder, false, false, 0, 0, 0.0f, 0));
  EXPECT_FALSE(fbsdk_control::Regions(mLayout)[0].mHasBorder);
}

TEST_F(HostLayoutTest, SvgDrawsOneRegionRectPerRegionWithTheControlsState) {
  ASSERT_TRUE(mLayout.AddRegion("mSetup", "Setup", 5, kFBAttachLeft, "", 1.0f, 5, kFBAttachTop, "",
                                1.0f, -5, kFBAttachRight, "", 1.0f, -5, kFBAttachBottom, "", 1.0f));
  ASSERT_TRUE(mLayout.SetBorder("mSetup", kFBStandardBorder, false, true, 1, 0, 90.0f, 0));
  FBLayout setup;
  ASSERT_TRUE(mLayout.SetControl("mSetup", setup));
  FBButton push, check;
  FBEdit edit;
  FBLabel label;
  FBList list;
  AddFixed(setup, "push", 5, kFBAttachLeft, "mSetup", 5, kFBAttachTop, "mSetup", 210, 20);
  AddFixed(setup, "check", 5, kFBAttachLeft, "mSetup", 30, kFBAttachTop, "mSetup", 210, 20);
  AddFixed(setup, "edit", 5, kFBAttachLeft, "mSetup", 55, kFBAttachTop, "mSetup", 90, 25);
  AddFixed(setup, "label", 5, kFBAttachLeft, "mSetup", 85, kFBAttachTop, "mSetup", 90, 25);
  AddFixed(setup, "list", 5, kFBAttachLeft, "mSetup", 115, kFBAttachTop, "mSetup", 90, 25);
  AddFixed(setup, "empty", 5, kFBAttachLeft, "mSetup", 145, kFBAttachTop, "mSetup", 90, 25);
  setup.SetControl("push", push);
  setup.SetControl("check", check);
  setup.SetControl("edit", edit);
  setup.SetControl("label", label);
  setup.SetControl("list", list);
  push.Caption = "Request <Header>";
  check.Style = kFBCheckbox;
  check.Caption = "Stay In T-Pose";
  edit.Text = "127.0.0.1";
  label.Caption = "Address :";
  list.Items.Add("Actor A", 1);
  list.Items.Add("Actor B", 2);
  list.ItemIndex = 1;

  std::string svg = fbsdk_control::RenderLayoutSvg(mLayout, 640, 480);
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
  EXPECT_EQ(Count(svg, "class=\"region\""), 7u);
  EXPECT_EQ(Count(svg, "class=\"border\""), 1u);
  EXPECT_NE(svg.find("data-region=\"mSetup\""), std::string::npos);
  EXPECT_NE(svg.find("Request &lt;Header&gt;"), std::string::npos) << "text is escaped";
  EXPECT_NE(svg.find("Stay In T-Pose"), std::string::npos);
  EXPECT_NE(svg.find("127.0.0.1"), std::string::npos);
  EXPECT_NE(svg.find("Address :"), std::string::npos);
  EXPECT_NE(svg.find("Actor B"), std::string::npos);
  EXPECT_EQ(svg.find("Actor A"), std::string::npos) << "a drop-down shows its selection only";
  EXPECT_EQ(Count(svg, "class=\"tick\""), 0u);
  // The outer region spans the picture less its insets.
  EXPECT_NE(svg.find("class=\"region\" x=\"5\" y=\"5\" width=\"630\" height=\"470\""),
            std::string::npos);

  check.State = 1;
  push.Visible = false;
  svg = fbsdk_control::RenderLayoutSvg(mLayout, 640, 480);
  EXPECT_EQ(Count(svg, "class=\"tick\""), 1u);
  EXPECT_EQ(svg.find("Request"), std::string::npos) << "hidden controls are not drawn";
  EXPECT_EQ(Count(svg, "class=\"region\""), 7u);
}

}  // namespace
