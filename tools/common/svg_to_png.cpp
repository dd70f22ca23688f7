// Where the PNG beside an SVG goes and its writing, the same on every platform; the converter
// itself is found and run by the platform's file (svg_to_png_posix.cpp, svg_to_png_windows.cpp).
#include "svg_to_png.h"

#include <algorithm>

namespace kmq {

std::string PngPathBeside(const std::string& svgPath, const std::vector<std::string>& keep) {
  const size_t slash = svgPath.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = svgPath.find_last_of('.');
  std::string png = dot != std::string::npos && dot > nameStart ? svgPath.substr(0, dot) : svgPath;
  png += ".png";
  if (png == svgPath || std::find(keep.begin(), keep.end(), png) != keep.end()) return "";
  return png;
}

bool WritePngBeside(const std::string& svgPath, const std::vector<std::string>& keep,
                    std::string* pngPath) {
  pngPath->clear();
  const std::string converter = FindOnPath("rsvg-convert");
  if (converter.empty()) return false;
  *pngPath = PngPathBeside(svgPath, keep);
  return !pngPath->empty() && ConvertToPng(converter, svgPath, *pngPath);
}

}  // namespace kmq
