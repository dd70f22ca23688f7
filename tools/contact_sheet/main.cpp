// kovrim-contact-sheet TAKE.bvh [--out SHEET.svg] [--frames N]: draws a recorded take as a
// contact sheet, and a PNG of it when rsvg-convert is on the PATH.
#include <iostream>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "bvh.h"
#include "contact_sheet.h"
#include "svg_to_png.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  kmq::ContactSheetArgs parsed;
  std::string error;
  if (!kmq::ParseContactSheetArgs(args, &parsed, &error)) {
    std::cerr << "kovrim-contact-sheet: " << error << "\n" << kmq::ContactSheetUsage();
    return 2;
  }
  if (parsed.mHelp) {
    std::cout << kmq::ContactSheetUsage();
    return 0;
  }
  bvh::Clip clip;
  if (!bvh::ParseBvhFile(parsed.mTakePath, &clip, &error)) {
    std::cerr << "kovrim-contact-sheet: " << error << "\n";
    return 1;
  }
  kmq::ContactSheetOptions options;
  options.mFrames = parsed.mFrames;
  const size_t slash = parsed.mTakePath.find_last_of('/');
  options.mTitle =
      slash == std::string::npos ? parsed.mTakePath : parsed.mTakePath.substr(slash + 1);
  const std::string svg = kmq::RenderContactSheet(clip, options);
  if (svg.empty()) {
    std::cerr << "kovrim-contact-sheet: " << parsed.mTakePath
              << ": the take has no frames to draw\n";
    return 1;
  }
  if (!kmq::WriteFileAtomically(parsed.mOutPath, svg)) {
    std::cerr << "kovrim-contact-sheet: cannot write " << parsed.mOutPath << "\n";
    return 1;
  }
  std::cout << "wrote " << parsed.mOutPath << "\n";

  std::string png;
  if (kmq::WritePngBeside(parsed.mOutPath, {parsed.mTakePath}, &png)) {
    std::cout << "wrote " << png << "\n";
  } else if (!png.empty()) {
    std::cerr << "kovrim-contact-sheet: rsvg-convert could not make " << png
              << "; the SVG is complete\n";
  }
  return 0;
}
