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
#include <string>
#include <vector>

#include "atomic_file.h"
#include "kovrim_texts.h"
#include "option_table.h"
#include "plugin_library.h"
#include "svg_to_png.h"

namespace {

constexpr int kWidth = 460;
constexpr int kHeight = 200;

kmq::OptionTable PanelPictureOptionTable(std::string* plugin, double* version, std::string* out,
                                         bool* help) {
  using namespace kmq;
  OptionTable table;
  table.mIntro =
      "Usage: kovrim-panel-picture [--plugin PATH] [--version N] [--out FILE.svg]\n"
      "Draws the device panel for host version N (default 19000) as SVG, and as PNG next to it\n"
      "when rsvg-convert is installed. See docs/panel-picture.md.\n\n";
  table.mUnknown = "unknown option {name} (see --help)";
  table.mMissing = "{name} needs a value";
  table.mGroups = {
      {"",
       16,
       {Text("--plugin", "PATH", plugin, "the plug-in library (default: the one built here)",
             "--plugin needs a path"),
        Number("--version", "N", version, 0, 1e9, false, "the host version (default 19000)",
               "--version needs a host version number, not '{value}'"),
        Text("--out", "FILE.svg", out, "the SVG to write (default panel.svg)",
             "--out needs a file"),
        HelpFlag(help)}}};
  return table;
}

}  // namespace

int main(int argc, char** argv) {
  std::string plugin = KMQ_PLUGIN_PATH;
  std::string out = "panel.svg";
  double version = 19000.0;
  bool help = false;
  std::string problem;
  if (!kmq::ParseOptions(PanelPictureOptionTable(&plugin, &version, &out, &help),
                         std::vector<std::string>(argv + 1, argv + argc), nullptr, &problem)) {
    std::fprintf(stderr, "error: %s\n", problem.c_str());
    return 2;
  }
  if (help) {
    std::fputs(kmq::Usage(PanelPictureOptionTable(&plugin, &version, &out, &help)).c_str(), stdout);
    return 0;
  }

  kmq::PluginLibrary library;
  std::string error;
  if (!library.Open(plugin, &error)) {
    std::fprintf(stderr, "error: cannot load the plug-in %s: %s\n", plugin.c_str(), error.c_str());
    return 1;
  }
  fbsdk_control::SetSystemVersion(version);
  FBDevice* device = fbsdk_control::CreateDevice(KOVRIM_DEVICE_LABEL, "Kovrim device");
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

  if (!kmq::WriteFileAtomically(out, svg)) {
    std::fprintf(stderr, "error: cannot write %s\n", out.c_str());
    return 1;
  }
  std::printf("Wrote %s (host version %.0f)\n", out.c_str(), version);
  std::string png;
  if (kmq::WritePngBeside(out, {}, &png)) std::printf("Wrote %s\n", png.c_str());
  return 0;
}
