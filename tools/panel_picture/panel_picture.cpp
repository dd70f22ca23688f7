// kovrim-panel-picture: draws the device panel as the host lays it out, without the host. It
// loads the plug-in, creates a device and its panel through the host's registries for a given
// host version, fires the show event so the controls hold the device's values, and writes the
// regions that the panel's creation hook really added (captions, borders, current values) as SVG,
// and as PNG when rsvg-convert is installed.
#include <fbsdk/fbsdk.h>
#include <fbsdk_control/host_control.h>
#include <fbsdk_control/scene_control.h>
#include <fbsdk_control/ui_control.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "plugin_library.h"
#include "svg_to_png.h"

namespace {

constexpr const char* kDeviceLabel = "Motion quorve (2.0.0.116)";
constexpr int kWidth = 460;
constexpr int kHeight = 200;

void PrintUsage() {
  std::printf(
      "Usage: kovrim-panel-picture [--plugin PATH] [--version N] [--out FILE.svg]\n"
      "Draws the device panel for host version N (default 19000) as SVG, and as PNG next to it\n"
      "when rsvg-convert is installed.\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string plugin = KMQ_PLUGIN_PATH;
  std::string out = "panel.svg";
  double version = 19000.0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage();
      return 0;
    } else if (arg == "--plugin" && i + 1 < argc) {
      plugin = argv[++i];
    } else if (arg == "--version" && i + 1 < argc) {
      version = std::atof(argv[++i]);
    } else if (arg == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else {
      std::fprintf(stderr, "error: unknown option %s (see --help)\n", arg.c_str());
      return 2;
    }
  }

  kmq::PluginLibrary library;
  std::string error;
  if (!library.Open(plugin, &error)) {
    std::fprintf(stderr, "error: cannot load the plug-in %s: %s\n", plugin.c_str(), error.c_str());
    return 1;
  }
  fbsdk_control::SetSystemVersion(version);
  FBDevice* device = fbsdk_control::CreateDevice(kDeviceLabel, "Kovrim device");
  FBDeviceLayout* layout = device ? fbsdk_control::CreateDeviceLayout(device) : nullptr;
  if (!layout) {
    std::fprintf(stderr, "error: the plug-in made no device panel\n");
    fbsdk_control::DestroyDevice(device);
    return 1;
  }
  fbsdk_control::SetLayoutSize(*layout, kWidth, kHeight);
  fbsdk_control::FireShow(*layout);
  const std::string svg = fbsdk_control::RenderLayoutSvg(*layout, kWidth, kHeight);
  fbsdk_control::DestroyDeviceLayout(layout);
  fbsdk_control::DestroyDevice(device);

  std::ofstream file(out, std::ios::binary);
  file << svg;
  file.close();
  if (!file) {
    std::fprintf(stderr, "error: cannot write %s\n", out.c_str());
    return 1;
  }
  std::printf("Wrote %s (host version %.0f)\n", out.c_str(), version);
  const std::string converter = kmq::FindOnPath("rsvg-convert");
  if (!converter.empty() && out.size() > 4 && out.compare(out.size() - 4, 4, ".svg") == 0) {
    const std::string png = out.substr(0, out.size() - 4) + ".png";
    if (kmq::ConvertToPng(converter, out, png)) std::printf("Wrote %s\n", png.c_str());
  }
  return 0;
}
