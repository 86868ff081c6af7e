// lyr info: what a Vek scene holds, as a readable tree or as JSON.
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "common.h"
#include "scene_info.h"

namespace lyr::tool {

Command AddInfoCommand(CLI::App& app) {
  struct Options {
    std::string file;
    bool json = false;
  };
  auto options = std::make_shared<Options>();
  CLI::App* sub = app.add_subcommand(
      "info",
      "Show what a Vek scene holds: the frame tree, each mesh container (kind, vertices, faces or "
      "patches, materials, bones) and the animation sets (names, periods, interpolators)");
  sub->add_option("FILE", options->file, "the Vek file (text, binary or compressed)")->required();
  sub->add_flag("--json", options->json, "print JSON instead of the readable tree");
  sub->footer(
      "Unnamed frames and meshes are shown as such (null in JSON). Animation sets are listed in "
      "the order of the file; the last one is the set that plays when the scene is loaded.");
  return {sub, [options] {
            Scene scene;
            scene.Load(options->file);
            const SceneSummary summary = Summarize(scene);
            const std::string text = options->json ? SummaryJson(summary) : SummaryText(summary);
            std::fwrite(text.data(), 1, text.size(), stdout);
            return 0;
          }};
}

}  // namespace lyr::tool
