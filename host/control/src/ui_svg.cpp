// Draws a layout as plain SVG, region by region, for panel pictures and tests.
#include <fbsdk_control/ui_control.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "ui_state.h"

namespace fbsdk_control {

using namespace FBSDKNamespace;
using fbsdk_internal::UiAccess;
using fbsdk_internal::UiRect;

namespace {

constexpr int kTextSize = 11;
constexpr const char* kFont = "font-family=\"sans-serif\" font-size=\"11\"";

std::string Escape(const std::string& pText) {
  std::string out;
  for (const char c : pText) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // Control characters are not allowed in XML 1.0 text.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n') out += c;
        break;
    }
  }
  return out;
}

std::string RectTag(const char* pClass, const UiRect& pRect, const char* pStyle) {
  std::ostringstream out;
  out << "<rect class=\"" << pClass << "\" x=\"" << pRect.mX << "\" y=\"" << pRect.mY
      << "\" width=\"" << pRect.mW << "\" height=\"" << pRect.mH << "\" " << pStyle << "/>\n";
  return out.str();
}

// Text vertically centred in pRect, starting pIndent from its left edge.
std::string TextTag(const char* pClass, const UiRect& pRect, int pIndent, const std::string& pText,
                    const char* pAnchor = "start") {
  std::ostringstream out;
  const int x = std::string(pAnchor) == "middle" ? pRect.mX + pRect.mW / 2 : pRect.mX + pIndent;
  out << "<text class=\"" << pClass << "\" x=\"" << x << "\" y=\""
      << pRect.mY + pRect.mH / 2 + kTextSize / 2 - 1 << "\" text-anchor=\"" << pAnchor << "\" "
      << kFont << " fill=\"#e8e8e8\">" << Escape(pText) << "</text>\n";
  return out.str();
}

void DrawLayout(FBLayout& pLayout, std::ostringstream& pOut);

void DrawButton(FBButton& pButton, const UiRect& pRect, std::ostringstream& pOut) {
  const std::string caption = static_cast<const char*>(pButton.Caption);
  const FBButtonStyle style = pButton.Style;
  const bool on = static_cast<int>(pButton.State) != 0;
  if (style == kFB2States || style == kFBBitmap2States) {
    UiRect box;
    box.mW = box.mH = 12;
    box.mX = pRect.mX + 2;
    box.mY = pRect.mY + (pRect.mH - box.mH) / 2;
    pOut << RectTag(on ? "checkbox checked" : "checkbox", box,
                    "fill=\"#2b2b2b\" stroke=\"#bdbdbd\"");
    if (on) {
      pOut << "<path class=\"tick\" d=\"M" << box.mX + 2 << " " << box.mY + 6 << " L" << box.mX + 5
           << " " << box.mY + 10 << " L" << box.mX + 10 << " " << box.mY + 2
           << "\" fill=\"none\" stroke=\"#f0f0f0\" stroke-width=\"2\"/>\n";
    }
    pOut << TextTag("caption", pRect, box.mW + 8, caption);
  } else if (style == kFBRadioButton) {
    const int cx = pRect.mX + 8;
    const int cy = pRect.mY + pRect.mH / 2;
    pOut << "<circle class=\"radio\" cx=\"" << cx << "\" cy=\"" << cy
         << "\" r=\"6\" fill=\"#2b2b2b\" stroke=\"#bdbdbd\"/>\n";
    if (on) {
      pOut << "<circle class=\"radio-dot\" cx=\"" << cx << "\" cy=\"" << cy
           << "\" r=\"3\" fill=\"#f0f0f0\"/>\n";
    }
    pOut << TextTag("caption", pRect, 20, caption);
  } else {
    pOut << RectTag("button", pRect, "rx=\"3\" fill=\"#5a5a5a\" stroke=\"#8a8a8a\"");
    pOut << TextTag("caption", pRect, 0, caption, "middle");
  }
}

void DrawEdit(FBEdit& pEdit, const UiRect& pRect, std::ostringstream& pOut) {
  std::string text = static_cast<const char*>(pEdit.Text);
  if (pEdit.PasswordMode) text.assign(text.size(), '*');
  pOut << RectTag("edit", pRect, "fill=\"#1e1e1e\" stroke=\"#6a6a6a\"");
  pOut << TextTag("value", pRect, 4, text);
}

void DrawList(FBList& pList, const UiRect& pRect, std::ostringstream& pOut) {
  const int selected = pList.ItemIndex;
  const FBListStyle style = pList.Style;
  pOut << RectTag("list", pRect, "fill=\"#1e1e1e\" stroke=\"#6a6a6a\"");
  if (style == kFBVerticalList) {
    const int count = pList.Items.GetCount();
    const int lineHeight = kTextSize + 6;
    for (int i = 0; i < count && (i + 1) * lineHeight <= pRect.mH; ++i) {
      UiRect line;
      line.mX = pRect.mX;
      line.mY = pRect.mY + i * lineHeight;
      line.mW = pRect.mW;
      line.mH = lineHeight;
      if (pList.IsSelected(i)) pOut << RectTag("item selected", line, "fill=\"#3d5a80\"");
      pOut << TextTag("item", line, 4, pList.Items.GetAt(i));
    }
    return;
  }
  const char* text = selected >= 0 ? pList.Items.GetAt(selected) : nullptr;
  pOut << TextTag("value", pRect, 4, text ? text : "");
  const int ax = pRect.mX + pRect.mW - 12;
  const int ay = pRect.mY + pRect.mH / 2 - 2;
  pOut << "<path class=\"arrow\" d=\"M" << ax << " " << ay << " L" << ax + 8 << " " << ay << " L"
       << ax + 4 << " " << ay + 5 << " Z\" fill=\"#bdbdbd\"/>\n";
}

void DrawControl(FBVisualComponent& pControl, const UiRect& pRect, std::ostringstream& pOut) {
  if (!pControl.Visible) return;
  if (pControl.Is(FBLayout::TypeInfo)) {
    DrawLayout(static_cast<FBLayout&>(pControl), pOut);
  } else if (pControl.Is(FBButton::TypeInfo)) {
    DrawButton(static_cast<FBButton&>(pControl), pRect, pOut);
  } else if (pControl.Is(FBEdit::TypeInfo)) {
    DrawEdit(static_cast<FBEdit&>(pControl), pRect, pOut);
  } else if (pControl.Is(FBList::TypeInfo)) {
    DrawList(static_cast<FBList&>(pControl), pRect, pOut);
  } else if (pControl.Is(FBLabel::TypeInfo)) {
    pOut << TextTag("label", pRect, 0, static_cast<const char*>(pControl.Caption));
  } else {
    pOut << RectTag("control", pRect, "fill=\"none\" stroke=\"#8a8a8a\"");
    pOut << TextTag("caption", pRect, 4, pControl.ClassName());
  }
}

void DrawLayout(FBLayout& pLayout, std::ostringstream& pOut) {
  auto& regions = pLayout.mLocalPtr->mRegions;
  for (size_t i = 0; i < regions.size(); ++i) {
    // Copies: drawing reads properties, which never changes regions, but stay safe anyway.
    const std::string name = regions[i].mName;
    const UiRect rect = fbsdk_internal::RegionRect(pLayout, i);
    pOut << "<g data-region=\"" << Escape(name) << "\">\n";
    pOut << RectTag("region", rect, "fill=\"none\" stroke=\"#4a4a4a\" stroke-dasharray=\"2,2\"");
    const RegionData& region = pLayout.mLocalPtr->mRegions[i];
    if (region.mHasBorder) {
      const bool emboss = region.mBorderStyle >= kFBEmbossBorder &&
                          region.mBorderStyle <= kFBEmbossSmoothEdgeBorder;
      char style[160];
      std::snprintf(style, sizeof(style),
                    "fill=\"none\" stroke=\"%s\" stroke-width=\"%d\" rx=\"%d\"",
                    emboss ? "#9a9a9a" : "#c8c8c8",
                    region.mBorderWidth > 0 ? region.mBorderWidth : 1, region.mBorderCornerRadius);
      pOut << RectTag("border", rect, style);
      if (region.mBorderShowTitle && !region.mTitle.empty()) {
        pOut << "<text class=\"title\" x=\"" << rect.mX + 6 << "\" y=\"" << rect.mY - 2 << "\" "
             << kFont << " fill=\"#e8e8e8\">" << Escape(region.mTitle) << "</text>\n";
      }
    }
    if (region.mControl) DrawControl(*region.mControl, rect, pOut);
    pOut << "</g>\n";
  }
}

}  // namespace

std::string RenderLayoutSvg(FBLayout& layout, int width, int height) {
  // A layout shown in another one keeps the place its holder gives it; only an outermost layout
  // takes the picture's size.
  if (!layout.FBVisualComponent::mLocalPtr->mHolder) SetLayoutSize(layout, width, height);
  const UiRect frame = fbsdk_internal::LayoutFrame(layout);
  std::ostringstream out;
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"" << frame.mX << " " << frame.mY << " " << width << " " << height << "\">\n";
  out << "<rect class=\"background\" x=\"" << frame.mX << "\" y=\"" << frame.mY << "\" width=\""
      << width << "\" height=\"" << height << "\" fill=\"#3a3a3a\"/>\n";
  DrawLayout(layout, out);
  out << "</svg>\n";
  return out.str();
}

}  // namespace fbsdk_control
