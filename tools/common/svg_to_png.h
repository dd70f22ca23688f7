// Turning an SVG picture into a PNG with rsvg-convert when it is installed. The tools draw SVG
// themselves; the PNG is a convenience, never required. Safe from any thread.
#ifndef KMQ_TOOLS_COMMON_SVG_TO_PNG_H_
#define KMQ_TOOLS_COMMON_SVG_TO_PNG_H_

#include <string>

namespace kmq {

// The full path of program in a directory of PATH, or "".
std::string FindOnPath(const std::string& program);
// Runs converter -o png svg without a shell; true when it exits 0.
bool ConvertToPng(const std::string& converter, const std::string& svg, const std::string& png);

}  // namespace kmq

#endif  // KMQ_TOOLS_COMMON_SVG_TO_PNG_H_
