#include "contact_sheet.h"
#include "option_table.h"
#include "tool_text.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

namespace kmq {
namespace {

constexpr double kPi = 3.14159265358979323846;
// Largest number of frames one sheet draws.
constexpr int kMaxSheetFrames = 1000;
// Frames the fit looks at, spread over the take; a longer take is sampled.
constexpr int kMaxFitFrames = 5000;

// Row-major 4x4 matrix acting on column vectors.
struct Matrix {
  double m[4][4];

  static Matrix Identity() {
    Matrix result{};
    for (int i = 0; i < 4; ++i) result.m[i][i] = 1;
    return result;
  }
  static Matrix Translation(const double t[3]) {
    Matrix result = Identity();
    for (int i = 0; i < 3; ++i) result.m[i][3] = t[i];
    return result;
  }
  // Rotation about axis 0 (X), 1 (Y) or 2 (Z), degrees, right-handed.
  static Matrix Rotation(int axis, double degrees) {
    Matrix result = Identity();
    const double radians = degrees * kPi / 180.0;
    const double c = std::cos(radians);
    const double s = std::sin(radians);
    const int a = (axis + 1) % 3;
    const int b = (axis + 2) % 3;
    result.m[a][a] = c;
    result.m[a][b] = -s;
    result.m[b][a] = s;
    result.m[b][b] = c;
    return result;
  }
  Matrix operator*(const Matrix& other) const {
    Matrix result{};
    for (int i = 0; i < 4; ++i) {
      for (int j = 0; j < 4; ++j) {
        double sum = 0;
        for (int k = 0; k < 4; ++k) sum += m[i][k] * other.m[k][j];
        result.m[i][j] = sum;
      }
    }
    return result;
  }
  std::array<double, 3> Apply(const double p[3]) const {
    std::array<double, 3> result{};
    for (int i = 0; i < 3; ++i) {
      result[static_cast<size_t>(i)] = m[i][0] * p[0] + m[i][1] * p[1] + m[i][2] * p[2] + m[i][3];
    }
    return result;
  }
};

// The joint's local transform from its offset and this frame's values of its channels.
Matrix LocalTransform(const bvh::Joint& joint, const float* values) {
  double translation[3] = {joint.mOffset[0], joint.mOffset[1], joint.mOffset[2]};
  for (size_t i = 0; i < joint.mChannels.size(); ++i) {
    const int channel = joint.mChannels[i];
    if (channel >= bvh::kXposition && channel <= bvh::kZposition) {
      translation[channel - bvh::kXposition] = static_cast<double>(values[i]);
    }
  }
  Matrix local = Matrix::Translation(translation);
  for (size_t i = 0; i < joint.mChannels.size(); ++i) {
    const int channel = joint.mChannels[i];
    if (channel >= bvh::kXrotation && channel <= bvh::kZrotation) {
      local = local * Matrix::Rotation(channel - bvh::kXrotation, static_cast<double>(values[i]));
    }
  }
  return local;
}

// Walks the tree without recursion in the points' order. visitJoint(joint, parentPoint) and
// visitEndSite(joint, jointPoint) return the index they gave the point. False if a joint lists a
// channel code outside 0..5.
template <typename JointVisitor, typename EndSiteVisitor>
bool Walk(const bvh::Joint& root, JointVisitor visitJoint, EndSiteVisitor visitEndSite) {
  struct Level {
    const bvh::Joint* mJoint;
    int mPoint;
    size_t mNextChild;
  };
  auto valid = [](const bvh::Joint& joint) {
    for (int channel : joint.mChannels) {
      if (channel < bvh::kXposition || channel > bvh::kZrotation) return false;
    }
    return true;
  };
  if (!valid(root)) return false;
  std::vector<Level> stack;
  stack.push_back({&root, visitJoint(root, -1), 0});
  while (!stack.empty()) {
    Level& top = stack.back();
    if (top.mNextChild < top.mJoint->mChildren.size()) {
      const bvh::Joint& child = top.mJoint->mChildren[top.mNextChild++];
      if (!valid(child)) return false;
      const int point = visitJoint(child, top.mPoint);
      stack.push_back({&child, point, 0});
      continue;
    }
    if (top.mJoint->mHasEndSite) visitEndSite(*top.mJoint, top.mPoint);
    stack.pop_back();
  }
  return true;
}

bool ClipMatches(const bvh::Clip& clip) {
  if (clip.mFrameCount <= 0 || clip.mChannelCount < 0) return false;
  if (bvh::CountChannels(clip.mRoot) != clip.mChannelCount) return false;
  return clip.mValues.size() ==
         static_cast<size_t>(clip.mFrameCount) * static_cast<size_t>(clip.mChannelCount);
}

// Global positions without the argument checks. REQUIRES: ClipMatches(clip), frame in range.
bool Positions(const bvh::Clip& clip, int frame, std::vector<std::array<double, 3>>* positions) {
  const float* row =
      clip.mValues.data() + static_cast<size_t>(frame) * static_cast<size_t>(clip.mChannelCount);
  std::vector<Matrix> globals;
  std::vector<std::array<double, 3>> points;
  size_t cursor = 0;
  const bool walked = Walk(
      clip.mRoot,
      [&](const bvh::Joint& joint, int parent) {
        const Matrix local = LocalTransform(joint, row + cursor);
        cursor += joint.mChannels.size();
        globals.push_back(parent < 0 ? local : globals[static_cast<size_t>(parent)] * local);
        const double origin[3] = {0, 0, 0};
        points.push_back(globals.back().Apply(origin));
        return static_cast<int>(points.size()) - 1;
      },
      [&](const bvh::Joint& joint, int jointPoint) {
        globals.push_back(globals[static_cast<size_t>(jointPoint)]);
        points.push_back(globals.back().Apply(joint.mEndSite));
        return static_cast<int>(points.size()) - 1;
      });
  if (!walked) return false;
  *positions = std::move(points);
  return true;
}

// Text for an XML attribute or element: markup characters escaped, control characters dropped.
std::string Xml(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) escaped += c;
        break;
    }
  }
  return escaped;
}

enum class Side { kCenter, kLeft, kRight };

// Left and right limbs by the usual naming: "Left...", "L" + capital ("LHipJoint"), "..._L",
// ".L"; the same for right.
Side SideOf(const std::string& name) {
  auto marked = [&name](const char* word, char letter) {
    if (name.compare(0, std::char_traits<char>::length(word), word) == 0) return true;
    if (name.size() >= 2 && name[0] == letter && name[1] >= 'A' && name[1] <= 'Z') return true;
    if (name.size() >= 2 && (name[name.size() - 2] == '_' || name[name.size() - 2] == '.') &&
        (name.back() == letter || name.back() == letter + ('a' - 'A'))) {
      return true;
    }
    return false;
  };
  if (marked("Left", 'L')) return Side::kLeft;
  if (marked("Right", 'R')) return Side::kRight;
  return Side::kCenter;
}

const char* SideClass(Side side) {
  switch (side) {
    case Side::kLeft:
      return "left";
    case Side::kRight:
      return "right";
    case Side::kCenter:
      break;
  }
  return "center";
}

bool Finite(const std::array<double, 3>& p) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

struct Range {
  double mMin = std::numeric_limits<double>::infinity();
  double mMax = -std::numeric_limits<double>::infinity();
  void Add(double value) {
    mMin = std::min(mMin, value);
    mMax = std::max(mMax, value);
  }
  bool Empty() const { return !(mMin <= mMax); }
  double Size() const { return mMax - mMin; }
  // Widened about its centre to at least size.
  void AtLeast(double size) {
    if (Size() >= size) return;
    const double centre = (mMin + mMax) / 2;
    mMin = centre - size / 2;
    mMax = centre + size / 2;
  }
  void Pad(double amount) {
    mMin -= amount;
    mMax += amount;
  }
};

}  // namespace

std::vector<SkeletonPoint> SkeletonPoints(const bvh::Joint& root) {
  std::vector<SkeletonPoint> points;
  Walk(
      root,
      [&points](const bvh::Joint& joint, int parent) {
        points.push_back({joint.mName, parent, false});
        return static_cast<int>(points.size()) - 1;
      },
      [&points](const bvh::Joint& joint, int jointPoint) {
        points.push_back({joint.mName + "_End", jointPoint, true});
        return static_cast<int>(points.size()) - 1;
      });
  return points;
}

bool ComputeGlobalPositions(const bvh::Clip& clip, int frame,
                            std::vector<std::array<double, 3>>* positions) {
  if (positions == nullptr || !ClipMatches(clip) || frame < 0 || frame >= clip.mFrameCount) {
    return false;
  }
  return Positions(clip, frame, positions);
}

std::vector<int> ContactSheetFrames(int frameCount, int count) {
  std::vector<int> frames;
  if (frameCount <= 0 || count <= 0) return frames;
  if (count >= frameCount) {
    for (int frame = 0; frame < frameCount; ++frame) frames.push_back(frame);
    return frames;
  }
  if (count == 1) return {0};
  for (int i = 0; i < count; ++i) {
    const double at = static_cast<double>(i) * (frameCount - 1) / (count - 1);
    frames.push_back(static_cast<int>(std::lround(at)));
  }
  return frames;
}

std::string RenderContactSheet(const bvh::Clip& clip, const ContactSheetOptions& options) {
  if (!ClipMatches(clip)) return std::string();
  const std::vector<SkeletonPoint> points = SkeletonPoints(clip.mRoot);
  const std::vector<int> frames =
      ContactSheetFrames(clip.mFrameCount, std::clamp(options.mFrames, 1, kMaxSheetFrames));

  // One window for the whole take: every point of (a sample of) its frames, and the drawn ones.
  std::vector<int> fitFrames = ContactSheetFrames(clip.mFrameCount, kMaxFitFrames);
  fitFrames.insert(fitFrames.end(), frames.begin(), frames.end());
  Range x, y, z;
  std::vector<std::array<double, 3>> positions;
  std::vector<std::array<double, 3>> rootPath;
  for (int frame : fitFrames) {
    if (!Positions(clip, frame, &positions)) return std::string();
    for (const auto& p : positions) {
      if (!Finite(p)) continue;
      x.Add(p[0]);
      y.Add(p[1]);
      z.Add(p[2]);
    }
    if (rootPath.size() < static_cast<size_t>(kMaxFitFrames) && !positions.empty() &&
        Finite(positions[0])) {
      rootPath.push_back(positions[0]);
    }
  }
  if (x.Empty()) {
    x.Add(0);
    y.Add(0);
    z.Add(0);
  }
  const double floorY = y.mMin;
  // The larger of the take's height and its widths sets the unit; narrow views get some room.
  const double extent = std::max({y.Size(), x.Size(), z.Size(), 1e-9});
  y.AtLeast(extent * 0.25);
  x.AtLeast(extent * 0.25);
  z.AtLeast(extent * 0.25);
  y.Pad(extent * 0.04);
  x.Pad(extent * 0.04);
  z.Pad(extent * 0.04);
  const double figureHeight = std::clamp(options.mFigureHeight, 40.0, 2000.0);
  // A view is never wider than three times the figure height: a long walk shrinks the scale.
  double scale = figureHeight / y.Size();
  scale = std::min(scale, 3 * figureHeight / std::max(x.Size(), z.Size()));
  const double viewHeight = y.Size() * scale;
  const double frontWidth = x.Size() * scale;
  const double sideWidth = z.Size() * scale;

  constexpr double kGap = 8;       // between the two views of a frame
  constexpr double kCellGap = 24;  // between frames
  constexpr double kLabel = 22;    // frame label above the views
  constexpr double kMargin = 16;
  constexpr double kTitle = 44;
  constexpr double kAutoWidth = 1800;  // sheet width the automatic column count aims at
  int columns = options.mColumns;
  if (columns <= 0) {
    columns = static_cast<int>(std::floor((kAutoWidth - 2 * kMargin + kCellGap) /
                                          (frontWidth + kGap + sideWidth + kCellGap)));
  }
  columns = std::clamp(columns, 1, static_cast<int>(frames.size()));
  const int rows = (static_cast<int>(frames.size()) + columns - 1) / columns;
  const double cellWidth = frontWidth + kGap + sideWidth;
  const double cellHeight = kLabel + viewHeight;
  const double width = 2 * kMargin + columns * cellWidth + (columns - 1) * kCellGap;
  const double height = kMargin + kTitle + rows * cellHeight + (rows - 1) * kCellGap + kMargin;

  std::string svg;
  svg += Printf(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
      "viewBox=\"0 0 %.0f %.0f\">\n",
      std::ceil(width), std::ceil(height), std::ceil(width), std::ceil(height));
  svg +=
      "<style>\n"
      "text{font-family:sans-serif;fill:#222}\n"
      ".title{font-size:16px;font-weight:bold}.info{font-size:11px;fill:#555}\n"
      ".label{font-size:12px}.viewname{font-size:10px;fill:#888}\n"
      ".cell{fill:#fafafa;stroke:#ccc;stroke-width:1}\n"
      ".floor{stroke:#6a9a6a;stroke-width:1;stroke-dasharray:5 3}\n"
      ".path{fill:none;stroke:#d4d4d4;stroke-width:0.8}\n"
      ".bone{stroke-width:2.2;stroke-linecap:round}\n"
      ".center{stroke:#333}.left{stroke:#1f5fbf}.right{stroke:#c0392b}\n"
      ".joint{fill:#111}.end{fill:#888}\n"
      "</style>\n";
  svg += Printf("<rect x=\"0\" y=\"0\" width=\"%.0f\" height=\"%.0f\" fill=\"#ffffff\"/>\n",
                std::ceil(width), std::ceil(height));
  const std::string title = options.mTitle.empty() ? std::string("Take") : options.mTitle;
  svg += Printf("<text class=\"title\" x=\"%.1f\" y=\"%.1f\">", kMargin, kMargin + 14) +
         Xml(title) + "</text>\n";
  int joints = 0;
  for (const SkeletonPoint& point : points) joints += point.mIsEndSite ? 0 : 1;
  svg += Printf(
      "<text class=\"info\" x=\"%.1f\" y=\"%.1f\">%d frames at %.4g fps, %d joints, %d end "
      "sites; front view X right, side view Z right, Y up; one scale for all (1 unit = %.3g px); "
      "dashed: lowest point of the take; grey: root path; blue left, red right</text>\n",
      kMargin, kMargin + 32, clip.mFrameCount, clip.mFrameTime > 0 ? 1.0 / clip.mFrameTime : 0.0,
      joints, static_cast<int>(points.size()) - joints, scale);

  for (size_t i = 0; i < frames.size(); ++i) {
    const int frame = frames[i];
    if (!Positions(clip, frame, &positions)) return std::string();
    const int column = static_cast<int>(i) % columns;
    const int row = static_cast<int>(i) / columns;
    const double cellX = kMargin + column * (cellWidth + kCellGap);
    const double cellY = kMargin + kTitle + row * (cellHeight + kCellGap);
    svg += Printf("<text class=\"label\" x=\"%.1f\" y=\"%.1f\">frame %d (t = %.3f s)</text>\n",
                  cellX, cellY + 15, frame, frame * clip.mFrameTime);
    for (int view = 0; view < 2; ++view) {
      const bool front = view == 0;
      const int axis = front ? 0 : 2;
      const Range& across = front ? x : z;
      const double left = cellX + (front ? 0 : frontWidth + kGap);
      const double top = cellY + kLabel;
      const double viewWidth = front ? frontWidth : sideWidth;
      auto px = [&](const std::array<double, 3>& p) {
        return left + (p[static_cast<size_t>(axis)] - across.mMin) * scale;
      };
      auto py = [&](double worldY) { return top + (y.mMax - worldY) * scale; };
      svg += Printf("<g class=\"view %s\" data-frame=\"%d\">\n", front ? "front" : "side", frame);
      svg += Printf("<rect class=\"cell\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\"/>\n",
                    left, top, viewWidth, viewHeight);
      svg += Printf("<text class=\"viewname\" x=\"%.2f\" y=\"%.2f\">%s</text>\n", left + 3,
                    top + 11, front ? "front (X)" : "side (Z)");
      svg += Printf("<line class=\"floor\" x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\"/>\n",
                    left, py(floorY), left + viewWidth, py(floorY));
      if (rootPath.size() >= 2) {
        svg += "<polyline class=\"path\" points=\"";
        for (size_t p = 0; p < rootPath.size(); ++p) {
          svg += Printf("%s%.1f,%.1f", p == 0 ? "" : " ", px(rootPath[p]), py(rootPath[p][1]));
        }
        svg += "\"/>\n";
      }
      for (size_t p = 1; p < points.size(); ++p) {
        const auto& child = positions[p];
        const auto& parent = positions[static_cast<size_t>(points[p].mParent)];
        if (!Finite(child) || !Finite(parent)) continue;
        const std::string& sideName = points[p].mIsEndSite
                                          ? points[static_cast<size_t>(points[p].mParent)].mName
                                          : points[p].mName;
        svg +=
            Printf("<line class=\"bone %s\" x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\"/>\n",
                   SideClass(SideOf(sideName)), px(parent), py(parent[1]), px(child), py(child[1]));
      }
      for (size_t p = 0; p < points.size(); ++p) {
        if (!Finite(positions[p])) continue;
        svg += Printf("<circle class=\"%s\" data-name=\"", points[p].mIsEndSite ? "end" : "joint") +
               Xml(points[p].mName) +
               Printf("\" cx=\"%.2f\" cy=\"%.2f\" r=\"%.1f\"/>\n", px(positions[p]),
                      py(positions[p][1]), points[p].mIsEndSite ? 1.6 : 2.4);
      }
      svg += "</g>\n";
    }
  }
  svg += "</svg>\n";
  return svg;
}

namespace {

// The options of kovrim-contact-sheet, writing into *parsed.
OptionTable ContactSheetOptionTable(ContactSheetArgs* parsed) {
  OptionTable table;
  table.mIntro =
      "usage: kovrim-contact-sheet TAKE.bvh [--out SHEET.svg] [--frames N]\n"
      "Draws the take's skeleton at N evenly spaced frames (default 8), front and side, as an\n"
      "SVG picture (default: the take's name with .svg). Also writes a PNG next to it when\n"
      "rsvg-convert is on the PATH. See docs/contact-sheet.md.\n\n";
  table.mUnknown = "unknown option {name}";
  table.mMissing = "{name} needs a value";
  table.mOperands = true;
  table.mGroups = {
      {"",
       17,
       {Text("--out", "SHEET.svg", &parsed->mOutPath, "the SVG to write",
             "--out needs a file name"),
        Integer("--frames", "N", &parsed->mFrames, 1, kMaxSheetFrames,
                "how many frames to draw (1 to " + std::to_string(kMaxSheetFrames) + ")",
                "--frames takes a whole number from 1 to " + std::to_string(kMaxSheetFrames) +
                    ", not '{value}'"),
        HelpFlag(&parsed->mHelp)}}};
  return table;
}

}  // namespace

bool ParseContactSheetArgs(const std::vector<std::string>& args, ContactSheetArgs* parsed,
                           std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  ContactSheetArgs result;
  std::vector<std::string> takes;
  std::string problem;
  if (!ParseOptions(ContactSheetOptionTable(&result), args, &takes, &problem)) {
    return fail(problem);
  }
  if (result.mHelp) {
    *parsed = result;
    return true;
  }
  if (takes.size() > 1) return fail("more than one take given: " + takes[1]);
  if (takes.empty()) return fail("no take given");
  result.mTakePath = takes[0];
  if (result.mOutPath.empty()) {
    const std::string& take = result.mTakePath;
    const size_t slash = take.find_last_of('/');
    const size_t dot = take.find_last_of('.');
    const bool hasExtension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash);
    result.mOutPath = (hasExtension ? take.substr(0, dot) : take) + ".svg";
    if (result.mOutPath == take) result.mOutPath = take + ".svg";
  }
  if (result.mOutPath == result.mTakePath) return fail("--out would overwrite the take");
  *parsed = result;
  return true;
}

std::string ContactSheetUsage() {
  ContactSheetArgs unused;
  return Usage(ContactSheetOptionTable(&unused));
}

}  // namespace kmq
