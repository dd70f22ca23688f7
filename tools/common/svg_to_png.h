// Turning an SVG picture into a PNG with rsvg-convert when it is installed. The tools draw SVG
// themselves; the PNG is a convenience, never required. Safe from any thread.
#ifndef KMQ_TOOLS_COMMON_SVG_TO_PNG_H_
#define KMQ_TOOLS_COMMON_SVG_TO_PNG_H_

#include <string>
#include <vector>

namespace kmq {

// The full path of program in a directory of PATH, or "".
std::string FindOnPath(const std::string& program);
// Runs converter -o png svg without a shell; true when it exits 0.
bool ConvertToPng(const std::string& converter, const std::string& svg, const std::string& png);

// Where the PNG of the SVG at svgPath goes, the one rule of every tool: the file name's last
// extension replaced by ".png", or ".png" appended to a name without one. "" (no PNG) when that
// is svgPath itself or one of keep: files the PNG must never replace, such as a take the
// picture was drawn from.
std::string PngPathBeside(const std::string& svgPath, const std::vector<std::string>& keep = {});
// Writes that PNG with rsvg-convert when it is on the PATH. *pngPath is the PNG tried, "" when
// none was (no converter, or no place for it). True when it was written.
bool WritePngBeside(const std::string& svgPath, const std::vector<std::string>& keep,
                    std::string* pngPath);

}  // namespace kmq

#endif  // KMQ_TOOLS_COMMON_SVG_TO_PNG_H_
