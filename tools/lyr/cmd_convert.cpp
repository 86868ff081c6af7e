// lyr convert: loads a Vek scene and saves it in another format, then checks that the new file
// loads back to the same scene.
#include <memory>
#include <string>

#include "commands.h"
#include "common.h"
#include "scene_info.h"

namespace lyr::tool {

namespace {

// The first line where two summaries differ, for the message.
std::string FirstDifference(const std::string& a, const std::string& b) {
  size_t line = 0, start = 0;
  for (size_t i = 0; i < a.size() && i < b.size() && a[i] == b[i]; ++i)
    if (a[i] == '\n') ++line, start = i + 1;
  const size_t endA = a.find('\n', start), endB = b.find('\n', start);
  return "line " + std::to_string(line + 1) + " of the JSON summary: '" +
         a.substr(start, endA - start) + "' became '" + b.substr(start, endB - start) + "'";
}

}  // namespace

Command AddConvertCommand(CLI::App& app) {
  struct Options {
    std::string in, out, format;
    bool noCheck = false;
  };
  auto options = std::make_shared<Options>();
  CLI::App* sub = app.add_subcommand(
      "convert", "Load a Vek scene and save it in another format, animation sets included");
  sub->add_option("IN", options->in, "the Vek file to read")->required();
  sub->add_option("OUT", options->out, "the Vek file to write (replaced when it exists)")
      ->required();
  AddFormatOption(sub, options->format, "the format to write: text, binary, text-zip or binary-zip")
      ->required();
  sub->add_flag("--no-check", options->noCheck,
                "skip loading the written file back and comparing it with the input");
  sub->footer(
      "After saving, OUT is loaded again and its frames, meshes, materials, bones and animation "
      "sets are compared with those of IN (as `lyr info --json` shows them); a difference is an "
      "error. OUT is written under a temporary name and renamed when complete.");
  return {sub, [options] {
            Scene scene;
            scene.Load(options->in);
            scene.Save(options->out, VekFormats().at(options->format));
            WarnPassedOver(scene, options->in, options->out);
            if (options->noCheck) return 0;
            const std::string before = SummaryJson(Summarize(scene));
            Scene again;
            again.Load(options->out);
            const std::string after = SummaryJson(Summarize(again));
            if (before != after)
              throw Failure("'" + options->out + "' was written but does not load back the same: " +
                            FirstDifference(before, after));
            return 0;
          }};
}

}  // namespace lyr::tool
