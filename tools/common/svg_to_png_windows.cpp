// The PNG step on Windows: not offered (the converter is a Linux tool); the SVG is complete.
#include "svg_to_png.h"

namespace kmq {

std::string FindOnPath(const std::string&) { return std::string(); }

bool ConvertToPng(const std::string&, const std::string&, const std::string&) { return false; }

}  // namespace kmq
